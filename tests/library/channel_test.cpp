// The Linux driver channel, end to end: a small driver inside the test
// listens on a socket in a private directory, and the library reaches it
// through KV318_OpenDevice like any board.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "bytes.h"
#include "channel_frame.h"
#include "requests.h"

namespace kv318 {
namespace {

// What the test driver does with one request.
enum class Action { Reply, Fail, CountOverCapacity, ShortFrame, Close, Silence };

struct Seen {
    RequestHeader header;
    std::vector<std::uint8_t> in;
};

class TestDriver {
public:
    explicit TestDriver(mode_t mode = 0700) {
        char tmpl[] = "/tmp/kv318-channel-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::chmod(dir_.c_str(), mode);
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
        path_ = dir_ + "/KV318Device0";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path_.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        thread_ = std::thread([this] { serve(); });
    }

    ~TestDriver() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
        ::unsetenv("KV318_DRIVER_DIR");
    }

    void set_action(Action a) { action_ = a; }
    // Close every new connection as soon as it is accepted.
    void set_close_on_accept(bool on) { closeOnAccept_ = on; }
    int dropped() const { return dropped_; }

    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    static bool read_all(int fd, std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            const ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }

    void serve() {
        while (!stop_) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            if (closeOnAccept_) {
                ::close(fd);
                ++dropped_;
                continue;
            }
            handle(fd);
            ::close(fd);
        }
    }

    void handle(int fd) {
        for (;;) {
            std::uint8_t h[kRequestHeaderSize];
            if (!read_all(fd, h, sizeof h)) return;
            Seen s{decode_request_header(h), {}};
            s.in.resize(s.header.inLen);
            if (!read_all(fd, s.in.data(), s.in.size())) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(s);
            }
            // Answer with a pattern so the test can check the bytes that cross.
            std::vector<std::uint8_t> body(std::min<std::uint32_t>(s.header.outCap, 5));
            for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(0xA0 + i);
            std::uint8_t rh[kReplyHeaderSize];
            switch (action_.load()) {
            case Action::Reply:
                encode_reply_header(rh, {0, static_cast<std::uint32_t>(body.size())});
                ::send(fd, rh, sizeof rh, MSG_NOSIGNAL);
                ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
                break;
            case Action::Fail:
                encode_reply_header(rh, {5, 0});
                ::send(fd, rh, sizeof rh, MSG_NOSIGNAL);
                break;
            case Action::CountOverCapacity:
                encode_reply_header(rh, {0, s.header.outCap + 1});
                ::send(fd, rh, sizeof rh, MSG_NOSIGNAL);
                body.resize(s.header.outCap + 1, 0xEE);
                ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
                break;
            case Action::ShortFrame:
                encode_reply_header(rh, {0, 4});
                ::send(fd, rh, sizeof rh, MSG_NOSIGNAL);
                ::send(fd, body.data(), 2, MSG_NOSIGNAL);
                return;  // the stream ends two bytes short
            case Action::Close:
                return;
            case Action::Silence:
                // Hold the connection open and say nothing until the client gives up.
                std::uint8_t sink[64];
                while (::recv(fd, sink, sizeof sink, 0) > 0) {
                }
                return;
            }
        }
    }

    std::string dir_, path_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closeOnAccept_{false};
    std::atomic<int> dropped_{0};
    std::atomic<Action> action_{Action::Reply};
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

TEST(Channel, RequestsAndRepliesCrossTheSocket) {
    TestDriver driver;
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(KV318_inb(h, 0x104), 0xA0);
    std::uint8_t buffer[32];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(KV318_BulkRead(h, buffer, 3), 4) << "a capacity of 4 caps the driver's 5 bytes";
    EXPECT_EQ(buffer[3], 0xA3);
    EXPECT_EQ(buffer[4], 0xEE);
    EXPECT_EQ(KV318_CloseDevice(h), 0);

    const auto seen = driver.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].header.code, kIoctlCommand);
    EXPECT_EQ(seen[0].header.outCap, 64u);
    EXPECT_EQ(seen[0].in, (std::vector<std::uint8_t>{0x80, 8, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(seen[1].header.code, kIoctlBulkRead);
    EXPECT_EQ(seen[1].header.outCap, 4u);
    EXPECT_EQ(seen[1].in, (std::vector<std::uint8_t>{3, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Channel, DriverFailureFailsOnlyThatRequest) {
    TestDriver driver;
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    driver.set_action(Action::Fail);
    EXPECT_EQ(KV318_inb(h, 1), -1);
    driver.set_action(Action::Reply);
    EXPECT_EQ(KV318_inb(h, 1), 0xA0) << "a clean failure reply keeps the frame";
    KV318_CloseDevice(h);
}

TEST(Channel, BrokenRepliesFailAndBreakTheHandle) {
    const struct { Action action; const char* what; } cases[] = {
        {Action::CountOverCapacity, "count over capacity"},
        {Action::ShortFrame, "short frame"},
        {Action::Close, "closed connection"},
        {Action::Silence, "silence"},
    };
    for (const auto& c : cases) {
        TestDriver driver;
        const std::int32_t h = KV318_OpenDevice(0);
        ASSERT_GE(h, 0) << c.what;
        driver.set_action(c.action);
        std::uint8_t buffer[16];
        std::memset(buffer, 0xEE, sizeof buffer);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KV318_BulkRead(h, buffer, 4), -1) << c.what;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(10)) << c.what << ": the channel's timeout bounds the wait";
        EXPECT_EQ(buffer[5], 0xEE) << c.what << ": nothing lands past the capacity";
        // The handle is broken now: later requests fail at once and reach no driver.
        driver.set_action(Action::Reply);
        const std::size_t before = driver.seen().size();
        EXPECT_EQ(KV318_inb(h, 0), -1) << c.what;
        EXPECT_EQ(KV318_DI(h), 65535) << c.what;
        EXPECT_EQ(driver.seen().size(), before) << c.what;
        EXPECT_EQ(KV318_CloseDevice(h), 0) << c.what;
    }
}

TEST(Channel, OpenRefusesMissingBoardsAndUnsafeDirectories) {
    {
        TestDriver driver;
        EXPECT_EQ(KV318_OpenDevice(1), -1) << "no socket for board 1";
        const std::int32_t h = KV318_OpenDevice(0);
        EXPECT_GE(h, 0);
        KV318_CloseDevice(h);
    }
    for (mode_t mode : {mode_t{0770}, mode_t{0707}, mode_t{0777}}) {
        TestDriver driver(mode);
        EXPECT_EQ(KV318_OpenDevice(0), -1) << "mode " << std::oct << mode;
        EXPECT_TRUE(driver.seen().empty());
    }
    ::setenv("KV318_DRIVER_DIR", "/nonexistent/kv318", 1);
    EXPECT_EQ(KV318_OpenDevice(0), -1);
    ::unsetenv("KV318_DRIVER_DIR");
}

TEST(Channel, AVanishedDriverNeverKillsTheCaller) {
    TestDriver driver;
    driver.set_close_on_accept(true);
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0) << "the connection completes before the driver drops it";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (driver.dropped() < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(driver.dropped(), 1);
    // Sending to a socket whose peer is gone raises SIGPIPE unless the
    // channel sends with MSG_NOSIGNAL; the default action would end this test.
    EXPECT_EQ(KV318_outb(h, 9, 0), -1);
    EXPECT_EQ(KV318_inb(h, 0), -1);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

}  // namespace
}  // namespace kv318
