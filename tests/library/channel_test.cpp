// The Linux driver channel, end to end: a small driver inside the test
// (tests/support/socket_driver.h) listens on a socket in a private
// directory, and the library reaches it through KV318_OpenDevice like any
// board.  The transport-independent cases
// are the channel contract; the cases below it are the socket's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
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

void set_or_unset(const char* name, const char* value) {
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

// Where the library looks without KV318_DRIVER_DIR, and which defaults it
// refuses: a symbolic link, another user's directory.  A directory the user
// named through KV318_DRIVER_DIR may be reached through a link of theirs.
TEST(DriverDirectory, ChoiceAndRefusals) {
    const char* keepXdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedXdg = keepXdg != nullptr ? keepXdg : "";
    const std::string tmpDefault = "/tmp/kv318-" + std::to_string(::geteuid());
    struct Choice {
        const char* env;  // KV318_DRIVER_DIR; nullptr = unset
        const char* xdg;  // XDG_RUNTIME_DIR; nullptr = unset
        std::string dir;
        bool isDefault;
    };
    const Choice choices[] = {
        {"/x/env", "/run/user/5", "/x/env", false},
        {"", "/run/user/5", "/run/user/5/kv318", true},
        {nullptr, "run/user/5", tmpDefault, true},  // a relative XDG_RUNTIME_DIR is no runtime directory
        {nullptr, "", tmpDefault, true},
        {nullptr, nullptr, tmpDefault, true},
    };
    for (const Choice& c : choices) {
        set_or_unset("KV318_DRIVER_DIR", c.env);
        set_or_unset("XDG_RUNTIME_DIR", c.xdg);
        EXPECT_EQ(linux_channel::driver_directory(), c.dir) << c.dir;
        EXPECT_EQ(linux_channel::driver_directory_is_default(), c.isDefault) << c.dir;
    }
    ::unsetenv("KV318_DRIVER_DIR");
    set_or_unset("XDG_RUNTIME_DIR", keepXdg != nullptr ? savedXdg.c_str() : nullptr);

    char tmpl[] = "/tmp/kv318-dir-test-XXXXXX";
    const std::string root = ::mkdtemp(tmpl);
    const std::string mine = root + "/mine", link = root + "/link", open = root + "/open", foreign = root + "/foreign";
    ASSERT_EQ(::mkdir(mine.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(mine.c_str(), link.c_str()), 0);
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
    const bool root_user = ::geteuid() == 0;
    if (root_user) {
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    }
    struct Check {
        std::string dir;
        bool isDefault;
        bool ok;
        bool namesVariable;  // the reason points at KV318_DRIVER_DIR
    };
    const Check checks[] = {
        {mine, true, true, false},
        {mine, false, true, false},
        {link, true, false, true},
        {link, false, true, false},
        {open, true, false, false},
        {open, false, false, false},
        {root + "/missing", true, false, false},
        {foreign, true, !root_user, root_user},
    };
    for (const Check& c : checks) {
        const std::string why = linux_channel::driver_directory_problem(c.dir, c.isDefault);
        EXPECT_EQ(why.empty(), c.ok) << c.dir << (c.isDefault ? " (default): " : ": ") << why;
        EXPECT_EQ(why.find("KV318_DRIVER_DIR") != std::string::npos, c.namesVariable) << why;
    }

    // The library: a default that is a link is refused before any connect;
    // the same place named through KV318_DRIVER_DIR is the user's choice.
    {
        SocketDriver driver;
        const std::string served = std::getenv("KV318_DRIVER_DIR");
        const std::string runtime = root + "/run", planted = runtime + "/kv318";
        ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
        ASSERT_EQ(::symlink(served.c_str(), planted.c_str()), 0);
        ::unsetenv("KV318_DRIVER_DIR");
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(KV318_OpenDevice(0), -1) << "a default that is a link";
        ::setenv("KV318_DRIVER_DIR", planted.c_str(), 1);
        const std::int32_t h = KV318_OpenDevice(0);
        EXPECT_GE(h, 0) << "the same link, named by the user";
        if (h >= 0) KV318_CloseDevice(h);
        set_or_unset("XDG_RUNTIME_DIR", keepXdg != nullptr ? savedXdg.c_str() : nullptr);
    }
    const std::string cmd = "rm -rf '" + root + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST(DriverUser, OnlyTheSameUserOrRootMayServe) {
    const struct {
        uid_t driver, own;
        bool trusted;
    } cases[] = {
        {1000, 1000, true},
        {0, 1000, true},
        {1001, 1000, false},
        {65534, 1000, false},
        {0, 0, true},
        {1000, 0, false},
        {static_cast<uid_t>(-1), 1000, false},
        {1000, 1001, false},
        {static_cast<uid_t>(-1), static_cast<uid_t>(-1), true},
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

std::string last_error() {
    char text[1024];
    EXPECT_GE(KV318_LastError(text, sizeof text), 0);
    return text;
}

// What the channel found, in the words KV318_LastError hands out: a board
// nobody serves, a driver that refuses, breaks the frame or goes away, and
// a handle used after its close.
TEST(SocketChannel, EachFailureSaysWhatTheChannelFound) {
    SocketDriver driver;
    const std::string dir = std::getenv("KV318_DRIVER_DIR");
    EXPECT_EQ(KV318_OpenDevice(1), -1);
    EXPECT_EQ(last_error(),
              "KV318_OpenDevice: board 1: no such board (driver channel " + dir + "/KV318Device1 not found)");
    struct Case {
        DriverAction action;
        std::string cause;
    };
    const std::string gone = "the board is disconnected (its driver closed the connection or stopped answering)";
    const Case cases[] = {
        {DriverAction::Fail, "the driver refused it"},
        {DriverAction::CountOverCapacity,
         "the driver's replies went out of step with the requests, so the handle is unusable; close it and open "
         "the board again"},
        {DriverAction::Close, gone},
        {DriverAction::ShortFrame, gone},
    };
    for (const Case& c : cases) {
        driver.set_action(DriverAction::Reply);
        const std::int32_t h = KV318_OpenDevice(0);
        ASSERT_GE(h, 0);
        driver.set_action(c.action);
        EXPECT_EQ(KV318_DO(h, 1), -1);
        const std::string text =
            "KV318_DO: writing register 14 (digital outputs) on handle " + std::to_string(h) + " failed: " + c.cause;
        EXPECT_EQ(last_error(), text);
        // A clean failure leaves the handle working; a broken handle fails
        // every later request at once, and says how it broke.
        driver.set_action(DriverAction::Reply);
        const bool broken = c.action != DriverAction::Fail;
        EXPECT_EQ(KV318_DO(h, 1), broken ? -1 : 0);
        EXPECT_EQ(last_error(), broken ? text : "");
        EXPECT_EQ(KV318_CloseDevice(h), 0);
        EXPECT_EQ(last_error(), "");
        EXPECT_EQ(KV318_DO(h, 1), -1);
        EXPECT_EQ(last_error(), "KV318_DO: handle " + std::to_string(h) + " is not open");
        EXPECT_EQ(KV318_CloseDevice(h), -1);
        EXPECT_EQ(last_error(), "KV318_CloseDevice: handle " + std::to_string(h) + " is not open");
    }
    ::setenv("KV318_DRIVER_DIR", "/nonexistent/kv318", 1);
    EXPECT_EQ(KV318_OpenDevice(0), -1);
    EXPECT_EQ(last_error(),
              "KV318_OpenDevice: board 0: no board answers: cannot use /nonexistent/kv318: No such file or directory");
}

// KV318_CloseDevice closes only what the library opened: any other
// number is refused with -1, and the descriptor behind it (the program's
// own file, standard error, a number a stale handle shares with a newer
// file) stays open.
TEST(SocketChannel, CloseRefusesDescriptorsTheLibraryDidNotOpen) {
    SocketDriver driver;
    const int own = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(own, 0);
    const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(spare, 0);
    const std::int32_t stale = KV318_OpenDevice(0);
    ASSERT_GE(stale, 0);
    // Once a request is answered the driver thread has accepted this
    // connection.  When the close ends it, that thread blocks in accept()
    // again, which reserves the lowest free number at once: the spare's
    // number, freed here, is lower than the stale one and goes to it.
    ASSERT_NE(KV318_inb(stale, 0), -1);
    ::close(spare);
    ASSERT_EQ(KV318_CloseDevice(stale), 0);
    // A file of the program's takes the stale handle's number.
    const int reused = ::fcntl(own, F_DUPFD_CLOEXEC, stale);
    ASSERT_EQ(reused, stale) << "the lowest free number from the stale one";
    // Standard error, kept aside so that a faulty close cannot lose it.
    const int savedErr = ::dup(2);
    struct Case {
        const char* what;
        int fd;
    };
    const Case cases[] = {
        {"a stale handle closed twice", reused}, {"a file of the program's", own}, {"standard error", 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(KV318_CloseDevice(c.fd), -1) << c.what;
        const bool open = ::fcntl(c.fd, F_GETFD) != -1;
        if (!open && c.fd == 2) ::dup2(savedErr, 2);
        EXPECT_TRUE(open) << c.what << " was closed";
    }
    ::close(savedErr);
    ::close(own);
    ::close(reused);
}

// A close while another thread's request waits on the handle for its reply:
// the request fails, and has ended before the close returns, so it cannot
// reach the connection a new open gets, even under the same number.
TEST(SocketChannel, CloseDuringARequestThenReopenNeverCrossesBoards) {
    SocketDriver driver;
    std::atomic<bool> release{false};
    std::atomic<int> answered{0};
    // The first connection's board is 0x11 and slow; the next is 0x22.
    driver.set_answer([&](const SeenRequest&) {
        if (answered++ == 0) {
            wait_until([&] { return release.load(); });
            return std::vector<std::uint8_t>{0x11};
        }
        return std::vector<std::uint8_t>{0x22};
    });
    driver.set_action(DriverAction::Answer);
    const std::int32_t h = KV318_OpenDevice(0);
    ASSERT_GE(h, 0);
    std::int32_t inFlight = 0;
    std::thread request([&] { inFlight = KV318_inb(h, 0); });
    ASSERT_TRUE(wait_until([&] { return driver.seen().size() == 1; }));
    EXPECT_EQ(KV318_CloseDevice(h), 0);
    const std::int32_t h2 = KV318_OpenDevice(0);
    release = true;
    request.join();
    EXPECT_EQ(inFlight, -1) << "a request cut off by the close fails";
    ASSERT_GE(h2, 0);
    EXPECT_EQ(KV318_inb(h2, 0), 0x22);
    EXPECT_EQ(KV318_inb(h2, 0), 0x22) << "and the next: no reply was left over";
    EXPECT_EQ(KV318_CloseDevice(h2), 0);
}

}  // namespace
}  // namespace kv318::test
