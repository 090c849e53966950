// The Linux driver channel, end to end: a small driver inside the test
// listens on a socket in a private directory, and the library reaches it
// through KV318_OpenDevice like any board.  The transport-independent cases
// are the channel contract; the cases below it are the socket's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "KV318.h"
#include "channel_contract.h"
#include "scripted_driver.h"

namespace kv318::test {
namespace {

class SocketConnection final : public DriverConnection {
public:
    explicit SocketConnection(int fd) : fd_(fd) {}
    bool read_all(std::uint8_t* p, std::size_t n) override {
        while (n > 0) {
            const ssize_t r = ::recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    void write_all(const std::uint8_t* p, std::size_t n) override { ::send(fd_, p, n, MSG_NOSIGNAL); }

private:
    int fd_;
};

// Serves board 0 in a private driver directory, one connection at a time.
class SocketDriver {
public:
    explicit SocketDriver(mode_t mode = 0700) {
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

    ~SocketDriver() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
        ::unsetenv("KV318_DRIVER_DIR");
    }

    std::int32_t board() const { return 0; }
    void set_action(DriverAction a) { script_.set_action(a); }
    std::vector<SeenRequest> seen() { return script_.seen(); }
    // Close every new connection as soon as it is accepted.
    void set_close_on_accept(bool on) { closeOnAccept_ = on; }
    int dropped() const { return dropped_; }

private:
    void serve() {
        for (;;) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;  // the listener was shut down
            if (closeOnAccept_) {
                ::close(fd);
                ++dropped_;
                continue;
            }
            SocketConnection c(fd);
            script_.serve(c);
            ::close(fd);
        }
    }

    std::string dir_, path_;
    int listener_ = -1;
    std::thread thread_;
    ScriptedDriver script_;
    // Set by the test thread, read by the serving thread at each accept.
    std::atomic<bool> closeOnAccept_{false};
    // Counted by the serving thread, read by the test thread while it waits.
    std::atomic<int> dropped_{0};
};

INSTANTIATE_TYPED_TEST_SUITE_P(Socket, ChannelContract, SocketDriver);

TEST(SocketChannel, OpenRefusesMissingBoardsAndUnsafeDirectories) {
    {
        SocketDriver driver;
        EXPECT_EQ(KV318_OpenDevice(1), -1) << "no socket for board 1";
        const std::int32_t h = KV318_OpenDevice(0);
        EXPECT_GE(h, 0);
        KV318_CloseDevice(h);
    }
    for (mode_t mode : {mode_t{0770}, mode_t{0707}, mode_t{0777}}) {
        SocketDriver driver(mode);
        EXPECT_EQ(KV318_OpenDevice(0), -1) << "mode " << std::oct << mode;
        EXPECT_TRUE(driver.seen().empty());
    }
    ::setenv("KV318_DRIVER_DIR", "/nonexistent/kv318", 1);
    EXPECT_EQ(KV318_OpenDevice(0), -1);
    ::unsetenv("KV318_DRIVER_DIR");
}

TEST(SocketChannel, AVanishedDriverNeverKillsTheCaller) {
    SocketDriver driver;
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
}  // namespace kv318::test
