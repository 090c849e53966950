// The Linux driver channel, end to end: a small driver inside the test
// (tests/support/socket_driver.h) listens on a socket in a private
// directory, and the library reaches it through KV318_OpenDevice like any
// board.  The transport-independent cases
// are the channel contract; the cases below it are the socket's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "KV318.h"
#include "channel_contract.h"
#include "driver_dir.h"
#include "scripted_driver.h"
#include "socket_driver.h"
#include "wait.h"

namespace kv318::test {
namespace {

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

TEST(DriverUser, OnlyTheSameUserOrRootMayServe) {
    const struct {
        uid_t driver, own;
        bool trusted;
    } cases[] = {
        {1000, 1000, true},  {0, 1000, true},           {1001, 1000, false}, {65534, 1000, false},
        {0, 0, true},        {1000, 0, false},          {static_cast<uid_t>(-1), 1000, false},
        {1000, 1001, false}, {static_cast<uid_t>(-1), static_cast<uid_t>(-1), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linux_channel::driver_user_is_trusted(c.driver, c.own), c.trusted) << c.driver << " " << c.own;
}

// A driver in a forked child that listens on board 0's socket in a private
// directory, as `uid`.  The socket is bound before the child gives up root,
// so the file and the directory pass the library's directory check; only
// the listener's credentials tell.  The child lives until destruction.
class ForeignDriver {
public:
    explicit ForeignDriver(uid_t uid) {
        char tmpl[] = "/tmp/kv318-peer-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
        path_ = dir_ + "/KV318Device0";
        int ready[2], hold[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(hold), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only system calls from here on: the parent may have threads.
            ::close(ready[0]);
            ::close(hold[1]);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strcpy(addr.sun_path, path_.c_str());
            char ok = 0;
            if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                ::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0 && ::listen(fd, 4) == 0)
                ok = 1;
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(hold[0], &c, 1);  // until the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        char ok = 0;
        EXPECT_EQ(::read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 1) << "the child could not listen as uid " << uid;
        ::close(ready[0]);
    }
    ~ForeignDriver() {
        ::close(hold_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
        ::unsetenv("KV318_DRIVER_DIR");
    }

private:
    std::string dir_, path_;
    pid_t pid_ = -1;
    int hold_ = -1;
};

TEST(SocketChannel, OpenChecksWhoTheDriverRunsAs) {
    if (::geteuid() != 0) GTEST_SKIP() << "running a driver as another user needs root";
    const struct {
        uid_t uid;
        bool opens;
    } cases[] = {{0, true}, {65534, false}, {1, false}};
    for (const auto& c : cases) {
        ForeignDriver driver(c.uid);
        const std::int32_t h = KV318_OpenDevice(0);
        EXPECT_EQ(h != -1, c.opens) << "driver uid " << c.uid;
        if (h != -1) KV318_CloseDevice(h);
    }
}

TEST(SocketChannel, AVanishedDriverNeverKillsTheCaller) {
    SocketDriver driver;
    driver.set_close_on_accept(true);
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0) << "the connection completes before the driver drops it";
    ASSERT_TRUE(wait_until([&] { return driver.dropped() == 1; }));
    // Sending to a socket whose peer is gone raises SIGPIPE unless the
    // channel sends with MSG_NOSIGNAL; the default action would end this test.
    EXPECT_EQ(KV318_outb(h, 9, 0), -1);
    EXPECT_EQ(KV318_inb(h, 0), -1);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

}  // namespace
}  // namespace kv318::test
