// The board lock file on Linux: its name and pid text, and the flock
// service against a real driver directory.  Two open files of one process
// conflict under flock just as two processes do, so one process can play
// both the holder and the one refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "board_lock.h"
#include "board_lock_file.h"
#include "board_lock_service.h"

namespace kv318::test {
namespace {

TEST(BoardLockText, AServedFileNamesOnlyAnEndpointOfThisMachine) {
    EXPECT_EQ(board_served_text(42, "ipc:///run/user/1000/kv318/kv318-server"),
              "42\nipc:///run/user/1000/kv318/kv318-server\n");
    EXPECT_EQ(board_served_text(42, ""), "42\n");
    const std::string longest = "ipc:///" + std::string(kServedUrlMax - 7, 'a');
    struct Case {
        std::string text;
        const char* url;  // nullptr: refused
    };
    const Case cases[] = {
        {"42\nipc:///run/user/1000/kv318/kv318-server\n", "ipc:///run/user/1000/kv318/kv318-server"},
        {"42\ntcp://127.0.0.1:6318\n", "tcp://127.0.0.1:6318"},
        {"42\ntcp://localhost:6318\nmore\n", "tcp://localhost:6318"},
        {"42\ntcp://[::1]:6318\n", "tcp://[::1]:6318"},
        {"42\n" + longest + "\n", longest.c_str()},
        {"42\n" + longest + "a\n", nullptr},
        {"42\n", nullptr},                       // the pid alone: an older server
        {"42\ntcp://127.0.0.1:6318", nullptr},   // not ended: still being written
        {"42\ntcp://10.0.0.7:6318\n", nullptr},  // off this machine
        {"42\ntcp://127.0.0.1.evil:1\n", nullptr},
        {"42\nipc:///tmp/a b\n", nullptr},
        {"42\nipc:///tmp/\x01\n", nullptr},
        {"\nipc:///tmp/s\n", nullptr},  // no pid
        {"x\nipc:///tmp/s\n", nullptr},
    };
    for (const Case& c : cases) {
        std::string url = "untouched";
        const bool ok = parse_board_served_url(c.text.data(), c.text.size(), &url);
        EXPECT_EQ(ok, c.url != nullptr) << c.text;
        EXPECT_EQ(url, c.url != nullptr ? c.url : "untouched") << c.text;
    }
}

TEST(BoardLockText, NameAndPidTextReadBackAndOddFilesAreRefused) {
    EXPECT_EQ(board_lock_file_name(0), "KV318Device0.lock");
    EXPECT_EQ(board_lock_file_name(17), "KV318Device17.lock");
    EXPECT_EQ(board_lock_pid_text(4242), "4242\n");

    struct Case {
        const char* text;
        bool ok;
        std::uint32_t pid;
    };
    const Case cases[] = {
        {"4242\n", true, 4242},
        {"123\n8\n", true, 123},  // a shorter pid over a longer one's tail
        {"4294967295\n", true, 4294967295u},
        {"", false, 0},      // locked, not written yet
        {"4242", false, 0},  // written halfway
        {"0\n", false, 0},
        {"4294967296\n", false, 0},   // past 32 bits
        {"12345678901\n", false, 0},  // eleven digits
        {"-5\n", false, 0},
        {" 42\n", false, 0},
        {"42 \n", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t pid = 7;
        EXPECT_EQ(parse_board_lock_pid(c.text, std::strlen(c.text), &pid), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(pid, c.ok ? c.pid : 7u) << '"' << c.text << '"';
    }
}

class LockDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kv318-lock-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unlink((dir_ + "/" + board_lock_file_name(3)).c_str());
        ::unlink((dir_ + "/" + board_served_file_name(3)).c_str());
        ::rmdir(dir_.c_str());
        ::unsetenv("KV318_DRIVER_DIR");
    }
    std::string file_text() const {
        std::ifstream f(linux_channel::board_lock_path(3));
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    std::string dir_;
    BoardLockService& locks = platform_board_lock_service();
};

TEST_F(LockDir, TheHolderWritesItsPidAndASecondTakerIsRefusedUntilTheRelease) {
    EXPECT_EQ(linux_channel::board_lock_path(3), dir_ + "/KV318Device3.lock");
    EXPECT_FALSE(probe_board_lock(3).held) << "no file yet";

    BoardLockToken first = -1;
    ASSERT_EQ(locks.acquire(3, &first), BoardLockResult::Taken);
    EXPECT_EQ(file_text(), std::to_string(::getpid()) + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(linux_channel::board_lock_path(3).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const BoardLockProbe probe = probe_board_lock(3);
    EXPECT_TRUE(probe.held);
    EXPECT_EQ(probe.pid, static_cast<std::uint32_t>(::getpid()));
    BoardLockToken second = -1;
    EXPECT_EQ(locks.acquire(3, &second), BoardLockResult::Busy);
    EXPECT_FALSE(probe_board_lock(4).held) << "another board is free";

    // Who holds it, as a refused start names the holder: the pid from the
    // file and the program's name as the kernel keeps it.
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    const BoardHolder who = locks.holder(3);
    EXPECT_EQ(who.pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(who.name, name);
    EXPECT_FALSE(name.empty());

    locks.release(first);
    EXPECT_FALSE(probe_board_lock(3).held);
    EXPECT_EQ(locks.holder(3).pid, 0u) << "nobody holds it";
    EXPECT_EQ(locks.holder(3).name, "");
    // A longer text left behind is cut to the new holder's.
    {
        std::ofstream f(linux_channel::board_lock_path(3), std::ios::trunc);
        f << "99999999999\ngarbage\n";
    }
    ASSERT_EQ(locks.acquire(3, &second), BoardLockResult::Taken);
    EXPECT_EQ(file_text(), std::to_string(::getpid()) + "\n");
    locks.release(second);
}

TEST_F(LockDir, OneServerPerBoardWhateverTheAcquisitionLockSays) {
    EXPECT_EQ(board_served_file_name(3), "KV318Device3.served");
    EXPECT_EQ(linux_channel::board_served_path(3), dir_ + "/KV318Device3.served");
    const std::uint32_t self = static_cast<std::uint32_t>(::getpid());
    const std::string url = "ipc://" + dir_ + "/kv318-server";
    EXPECT_FALSE(probe_board_served(3).held) << "no file yet";
    ServedLockTake first = take_board_served_lock(3, url);
    ASSERT_EQ(first.result, ServedLockTake::Taken) << first.why;
    std::ifstream f(linux_channel::board_served_path(3));
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_EQ(text.str(), std::to_string(self) + "\n" + url + "\n")
        << "the server's pid, for the next one to name, and its local URL, for programs to reach it by";
    const BoardServedProbe look = probe_board_served(3);
    EXPECT_TRUE(look.held);
    EXPECT_EQ(look.pid, self);
    EXPECT_EQ(look.url, url);
    EXPECT_FALSE(probe_board_served(4).held);

    // A second open conflicts under flock as a second process's does.
    struct Step {
        const char* what;
        std::int32_t board;
        ServedLockTake::Result result;
        std::uint32_t holder;
    };
    const Step steps[] = {
        {"the same board", 3, ServedLockTake::Busy, self},
        {"another board", 4, ServedLockTake::Taken, 0},
    };
    for (const Step& s : steps) {
        const ServedLockTake t = take_board_served_lock(s.board, "");
        EXPECT_EQ(t.result, s.result) << s.what << ": " << t.why;
        EXPECT_EQ(t.holder, s.holder) << s.what;
        if (t.result == ServedLockTake::Taken) release_board_served_lock(t.token);
    }
    ::unlink((dir_ + "/" + board_served_file_name(4)).c_str());
    EXPECT_FALSE(probe_board_lock(3).held) << "serving is not streaming: the acquisition lock stays free";
    BoardLockToken acquisition = -1;
    ASSERT_EQ(locks.acquire(3, &acquisition), BoardLockResult::Taken);
    locks.release(acquisition);

    release_board_served_lock(first.token);
    EXPECT_FALSE(probe_board_served(3).held) << "a file nobody locks names no server";
    const ServedLockTake again = take_board_served_lock(3, "");
    EXPECT_EQ(again.result, ServedLockTake::Taken) << "free once given back";
    release_board_served_lock(again.token);

    ASSERT_EQ(::unlink(linux_channel::board_served_path(3).c_str()), 0);
    ASSERT_EQ(::symlink((dir_ + "/elsewhere").c_str(), linux_channel::board_served_path(3).c_str()), 0);
    const ServedLockTake planted = take_board_served_lock(3, url);
    EXPECT_EQ(planted.result, ServedLockTake::Failed);
    EXPECT_EQ(planted.why, "the lock file " + linux_channel::board_served_path(3) + " is a symbolic link");
}

TEST_F(LockDir, APlantedSymlinkOrASharedDirectoryIsNeverLocked) {
    const std::string path = linux_channel::board_lock_path(3);
    const std::string target = dir_ + "/elsewhere";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    BoardLockToken token = -1;
    EXPECT_EQ(locks.acquire(3, &token), BoardLockResult::Failed);
    EXPECT_NE(::access(target.c_str(), F_OK), 0) << "nothing is created where the link points";
    EXPECT_FALSE(probe_board_lock(3).held);
    ::unlink(path.c_str());

    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(locks.acquire(3, &token), BoardLockResult::Failed) << "others could replace the file";
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
}

// Another open of board 3's lock file holding `op` (LOCK_SH: a look at who
// holds the board; LOCK_EX: a holder), as another process would.
int hold(const std::string& path, int op) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && ::flock(fd, op | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether `path` names the file open on `fd`.
bool names(const std::string& path, int fd) {
    struct stat a {};
    struct stat b {};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Looks at who holds the board take a shared lock for an instant; a take
// that meets only those waits them out, for a moment and no longer, and a
// holder's exclusive lock still refuses it at once.
TEST_F(LockDir, ATakeWaitsOutALookButNeitherAHolderNorAnEndlessLook) {
    const std::string path = linux_channel::board_lock_path(3);
    struct Case {
        const char* what;
        int op;
        int dropAfter;  // opens after which the other lock goes; 0 = never
        linux_channel::LockFileTake expect;
    };
    const Case cases[] = {
        {"a look", LOCK_SH, 3, linux_channel::LockFileTake::Taken},
        {"a look that never ends", LOCK_SH, 0, linux_channel::LockFileTake::Busy},
        {"a holder", LOCK_EX, 0, linux_channel::LockFileTake::Busy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int other = hold(path, c.op);
        ASSERT_GE(other, 0);
        int opens = 0;
        int fd = -1;
        const auto result = linux_channel::take_board_lock_file(3, &fd, [&] {
            if (++opens == c.dropAfter) {
                ::close(other);
                other = -1;
            }
        });
        EXPECT_EQ(result, c.expect);
        if (c.op == LOCK_EX) {
            EXPECT_EQ(opens, 1) << "a holder is not waited for";
        }
        if (result == linux_channel::LockFileTake::Taken) {
            EXPECT_TRUE(names(path, fd));
            EXPECT_EQ(::flock(fd, LOCK_UN), 0);
            ::close(fd);
        }
        if (other >= 0) ::close(other);
    }
}

// A lock file removed or replaced between the open and the lock: a lock on
// the old file would keep nobody out, so the take starts again on the file
// the path names now, and so meets its holder.
TEST_F(LockDir, ATakeLocksTheFileThePathNamesNotOneReplacedUnderIt) {
    const std::string path = linux_channel::board_lock_path(3);
    for (const bool heldAfter : {true, false}) {
        SCOPED_TRACE(heldAfter ? "the new file is held" : "the new file is free");
        int newHolder = -1;
        int opens = 0;
        int fd = -1;
        const auto result = linux_channel::take_board_lock_file(3, &fd, [&] {
            if (++opens != 1) return;
            ASSERT_EQ(::unlink(path.c_str()), 0);
            if (heldAfter) {
                newHolder = hold(path, LOCK_EX);
            } else {
                ::close(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
            }
        });
        EXPECT_EQ(opens, 2);
        if (heldAfter) {
            EXPECT_EQ(result, linux_channel::LockFileTake::Busy);
            ::close(newHolder);
        } else {
            ASSERT_EQ(result, linux_channel::LockFileTake::Taken);
            EXPECT_TRUE(names(path, fd));
            ::close(fd);
        }
        ::unlink(path.c_str());
    }
}

// A lock file the library will not use: every start is refused (Failed,
// which the start turns into -1 with nothing sent), no look reports a
// holder, and the words for the user name the file and what is wrong.
TEST_F(LockDir, AnUnusableLockFileIsRefusedAndNamed) {
    const std::string path = linux_channel::board_lock_path(3);
    struct Case {
        const char* what;
        std::function<bool()> make;  // false when this process cannot make it
        const char* problem;         // "" for a file the library uses
    };
    const Case cases[] = {
        {"no file yet", [] { return true; }, ""},
        {"a file of ours", [&] { return ::close(::open(path.c_str(), O_RDWR | O_CREAT, 0600)) == 0; }, ""},
        {"a symbolic link", [&] { return ::symlink((dir_ + "/elsewhere").c_str(), path.c_str()) == 0; },
         " is a symbolic link"},
        {"a FIFO", [&] { return ::mkfifo(path.c_str(), 0600) == 0; }, " is a FIFO"},
        {"a directory", [&] { return ::mkdir(path.c_str(), 0700) == 0; }, " is a directory"},
        {"another user's file",
         [&] {
             // Only root can give a file away; others skip this case.
             return ::close(::open(path.c_str(), O_RDWR | O_CREAT, 0600)) == 0 &&
                    ::chown(path.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) == 0;
         },
         " belongs to another user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.make()) {
            ::unlink(path.c_str());
            continue;
        }
        const std::string problem = board_lock_file_problem(3);
        if (*c.problem == '\0') {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_EQ(problem.rfind("the lock file " + path + c.problem, 0), 0u) << problem;
            BoardLockToken token = -1;
            EXPECT_EQ(locks.acquire(3, &token), BoardLockResult::Failed);
            EXPECT_FALSE(probe_board_lock(3).held);
        }
        if (::unlink(path.c_str()) != 0) ::rmdir(path.c_str());
    }
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    EXPECT_NE(board_lock_file_problem(3).find("cannot be used"), std::string::npos) << "others could replace it";
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
}

// The socket beside the file: its name follows the lock file's resolved
// path (hashed where too long for a socket name), and it keeps the board
// held when the file is removed under its holder, where a start would
// otherwise lock a new file of that name.
TEST_F(LockDir, ABoardStaysHeldWhenItsLockFileIsRemoved) {
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(dir_.c_str(), resolved), nullptr);
    EXPECT_EQ(linux_channel::board_lock_socket_name(3),
              std::string(1, '\0') + "kv318-lock:" + resolved + "/KV318Device3.lock");

    const std::string path = linux_channel::board_lock_path(3);
    BoardLockToken first = -1;
    ASSERT_EQ(locks.acquire(3, &first), BoardLockResult::Taken);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    for (const bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "a new file of that name" : "no file");
        if (fresh) ::close(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        EXPECT_TRUE(probe_board_lock(3).held);
        EXPECT_EQ(probe_board_lock(3).pid, 0u) << "the socket does not say who holds it";
        BoardLockToken second = -1;
        EXPECT_EQ(locks.acquire(3, &second), BoardLockResult::Busy);
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st) == 0, fresh) << "a refused start makes no file";
        EXPECT_FALSE(probe_board_lock(4).held) << "another board is free";
    }
    locks.release(first);
    EXPECT_FALSE(probe_board_lock(3).held);
    BoardLockToken again = -1;
    ASSERT_EQ(locks.acquire(3, &again), BoardLockResult::Taken);
    EXPECT_EQ(file_text(), std::to_string(::getpid()) + "\n");
    locks.release(again);

    // A driver directory whose path is too long for a socket name.
    const std::string a = "/" + std::string(200, 'a');
    const std::string b = "/" + std::string(200, 'b');
    ::setenv("KV318_DRIVER_DIR", a.c_str(), 1);
    const std::string nameA = linux_channel::board_lock_socket_name(3);
    ::setenv("KV318_DRIVER_DIR", b.c_str(), 1);
    const std::string nameB = linux_channel::board_lock_socket_name(3);
    ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
    for (const std::string& name : {nameA, nameB}) {
        EXPECT_LE(name.size(), sizeof(sockaddr_un::sun_path));
        EXPECT_EQ(name.rfind(std::string(1, '\0') + "kv318-lock:#", 0), 0u);
        EXPECT_EQ(name.substr(name.size() - 18), ":KV318Device3.lock");
    }
    EXPECT_NE(nameA, nameB);
}

// A child forked from the holder closes its copies of the lock at the
// fork: once the parent lets go, the board is free while the child lives.
TEST_F(LockDir, AForkedChildDoesNotKeepTheBoardHeld) {
    BoardLockToken token = -1;
    ASSERT_EQ(locks.acquire(3, &token), BoardLockResult::Taken);
    int pipeFds[2];   // the parent closes [1] to end the child
    int readyFds[2];  // the child writes to [1] once fork has returned in it
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(readyFds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The fork handlers have run when fork returns here.
        ::close(pipeFds[1]);
        char c = 1;
        (void)!::write(readyFds[1], &c, 1);
        while (::read(pipeFds[0], &c, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(pipeFds[0]);
    ::close(readyFds[1]);
    char c = 0;
    ssize_t n = 0;
    while ((n = ::read(readyFds[0], &c, 1)) < 0 && errno == EINTR) {
    }
    ::close(readyFds[0]);
    ASSERT_EQ(n, 1);
    locks.release(token);
    EXPECT_FALSE(probe_board_lock(3).held) << "the child keeps the parent's board";
    BoardLockToken again = -1;
    EXPECT_EQ(locks.acquire(3, &again), BoardLockResult::Taken);
    if (again != -1) locks.release(again);
    ::close(pipeFds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kv318::test
