// kv318-sim as a process: its command line, its driver directory, its
// refusal to share a directory with a live driver, and its clean exit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KV318.h"
#include "child_process.h"
#include "read_file.h"
#include "wait.h"

namespace {

using kv318::test::ChildProcess;
using kv318::test::read_file_text;
using kv318::test::wait_until;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A private scratch directory; the simulator's driver directory lives inside it.
class Scratch {
public:
    Scratch() {
        char tmpl[] = "/tmp/kv318-sim-cli-XXXXXX";
        root_ = ::mkdtemp(tmpl);
    }
    ~Scratch() {
        const std::string cmd = "rm -rf '" + root_ + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string path(const std::string& name) const { return root_ + "/" + name; }

private:
    std::string root_;
};

// kv318-sim as a child process, started through `launcher` when one is
// given (a program and its arguments, which runs kv318-sim's path and
// `args`).
class SimProcess : public ChildProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args, const std::vector<std::string>& launcher = {})
        : ChildProcess(launcher.empty() ? KV318_SIM_EXE : launcher[0], arguments(args, launcher)) {
        EXPECT_TRUE(started());
    }

    // The exit code, or -1 when it did not exit within the deadline.
    int wait() { return wait_exit().value_or(-1); }
    bool wait_serving() { return wait_for_output("serving"); }
    // CPU time used so far, user and system, in seconds.
    double cpu_seconds() const {
        const std::string stat = read_file_text("/proc/" + std::to_string(pid()) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

private:
    static std::vector<std::string> arguments(const std::vector<std::string>& args,
                                              const std::vector<std::string>& launcher) {
        std::vector<std::string> all;
        if (!launcher.empty()) {
            all.assign(launcher.begin() + 1, launcher.end());
            all.push_back(KV318_SIM_EXE);
        }
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
};

std::string board_info(const std::string& dir, int board = 0) {
    ::setenv("KV318_DRIVER_DIR", dir.c_str(), 1);
    const std::int32_t h = KV318_OpenDevice(board);
    std::string text;
    if (h >= 0) {
        char buf[80] = {};
        if (KV318_Info(h, buf) == 0) text = buf;
        KV318_CloseDevice(h);
    }
    ::unsetenv("KV318_DRIVER_DIR");
    return text;
}

TEST(SimCli, BadArgumentsGetTheUsageAndExitCode2) {
    Scratch s;
    const std::vector<std::vector<std::string>> cases = {
        {"--boards", "0"},
        {"--boards", "17"},
        {"--boards", "two"},
        {"--boards"},
        {"--signal", "triangle"},
        {"--duty", "101"},
        {"--noise", "-1"},
        {"--seed", "x"},
        {"--bogus"},
        {"stray"},
        {"--clock", "10"},
        {"--fifo", "1000"},
        {"--inputs", "12345"},
        {"--inputs", "0x"},
        {"--amp", "nan"},
        {"--fail", "everything"},
        {"--fail", "bulk-read:twice"},
        {"--counter-input", "both"},
        {"--counter-rate", "-5"},
        {"--dir="},
    };
    for (const auto& args : cases) {
        SimProcess p(args);
        EXPECT_EQ(p.wait(), 2) << args[0];
        EXPECT_NE(p.err().find("usage: kv318-sim"), std::string::npos) << args[0];
        EXPECT_NE(p.err().find("kv318-sim: "), std::string::npos) << args[0] << ": a reason comes first";
    }
}

TEST(SimCli, HelpListsEveryOption) {
    Scratch s;
    SimProcess p({"--help"});
    EXPECT_EQ(p.wait(), 0);
    const std::string out = p.out();
    for (const char* opt :
         {"--boards", "--dir", "--signal", "--freq", "--amp", "--offset", "--value", "--clock", "--duty", "--noise",
          "--seed", "--fifo", "--inputs", "--counter-rate", "--counter-input", "--fail", "KV318_DRIVER_DIR"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

TEST(SimCli, ServesBoardsAndStopsCleanlyOnSignals) {
    for (int sig : {SIGTERM, SIGINT}) {
        Scratch s;
        const std::string dir = s.path("drv");
        SimProcess p({"--boards", "2", "--dir", dir, "--signal", "const", "--value", "2"});
        ASSERT_TRUE(p.wait_serving()) << p.err();
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << "created private";
        EXPECT_EQ(board_info(dir, 0), "KV318 USB DAQ simulator   SN KVS-0000 FW 1.00");
        EXPECT_EQ(board_info(dir, 1), "KV318 USB DAQ simulator   SN KVS-0001 FW 1.00");
        EXPECT_EQ(board_info(dir, 2), "");
        p.signal(sig);
        EXPECT_EQ(p.wait(), 0) << strsignal(sig);
        EXPECT_FALSE(exists(dir + "/KV318Device0"));
        EXPECT_FALSE(exists(dir + "/KV318Device1"));
        EXPECT_FALSE(exists(dir + "/.kv318-sim.lock"));
        const std::string err = p.err();
        EXPECT_NE(err.find("board 0: connection 1 closed by the client"), std::string::npos) << err;
        EXPECT_NE(err.find("board 1: connection 2 closed by the client"), std::string::npos) << err;
    }
}

// With KV318_DRIVER_DIR unset, the default is $XDG_RUNTIME_DIR/kv318,
// created private; a default that is a symbolic link (as another user may
// plant one in /tmp) or another user's directory is refused with a reason
// that names KV318_DRIVER_DIR, and nothing is written where it leads.
TEST(SimCli, TheDefaultDirectoryIsPrivateOrRefused) {
    struct Case {
        const char* what;
        const char* plant;  // what stands at $XDG_RUNTIME_DIR/kv318 before the start
        bool serves;
    };
    const Case cases[] = {
        {"nothing: created", "", true},
        {"a symbolic link to a directory of ours", "link", false},
        {"another user's directory", "foreign", false},
    };
    for (const Case& c : cases) {
        Scratch s;
        const std::string runtime = s.path("run");
        const std::string dir = runtime + "/kv318";
        const std::string target = s.path("elsewhere");
        ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
        if (std::string(c.plant) == "link") {
            ASSERT_EQ(::symlink(target.c_str(), dir.c_str()), 0);
        }
        if (std::string(c.plant) == "foreign") {
            if (::geteuid() != 0) continue;  // only root can give a directory away
            ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
            ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        }
        ::unsetenv("KV318_DRIVER_DIR");
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        SimProcess p({});
        ::unsetenv("XDG_RUNTIME_DIR");
        if (c.serves) {
            ASSERT_TRUE(p.wait_serving()) << c.what << "\n" << p.err();
            struct stat st {};
            ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << c.what;
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.what;
            EXPECT_EQ(st.st_mode & 0777, 0700u) << c.what;
            EXPECT_NE(board_info(dir), "") << c.what;
            p.signal(SIGTERM);
            EXPECT_EQ(p.wait(), 0) << c.what;
        } else {
            EXPECT_EQ(p.wait(), 1) << c.what;
            EXPECT_NE(p.err().find("KV318_DRIVER_DIR"), std::string::npos) << c.what << "\n" << p.err();
            EXPECT_FALSE(exists(target + "/KV318Device0")) << c.what;
            EXPECT_FALSE(exists(target + "/.kv318-sim.lock")) << c.what;
        }
    }
}

TEST(SimCli, DefaultDirectoryIsTheChannelsOwn) {
    Scratch s;
    const std::string dir = s.path("from-env");
    ::setenv("KV318_DRIVER_DIR", dir.c_str(), 1);
    SimProcess p({});
    ::unsetenv("KV318_DRIVER_DIR");
    ASSERT_TRUE(p.wait_serving()) << p.err();
    EXPECT_TRUE(exists(dir + "/KV318Device0"));
    EXPECT_NE(board_info(dir), "");
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

TEST(SimCli, RefusesADirectoryALiveDriverServes) {
    Scratch s;
    const std::string dir = s.path("drv");
    SimProcess first({"--dir", dir});
    ASSERT_TRUE(first.wait_serving()) << first.err();
    SimProcess second({"--dir", dir});
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.err().find("already serves"), std::string::npos) << second.err();
    EXPECT_NE(board_info(dir), "") << "the first one serves on, its socket untouched";
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);

    // Some other driver process listening on the board's socket.
    const std::string other = s.path("other");
    ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, (other + "/KV318Device0").c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    SimProcess third({"--dir", other});
    EXPECT_EQ(third.wait(), 1);
    EXPECT_NE(third.err().find("live driver"), std::string::npos) << third.err();
    EXPECT_TRUE(exists(other + "/KV318Device0"));
    ::close(fd);

    // A directory others may write.
    const std::string open = s.path("open");
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ::chmod(open.c_str(), 0777);
    SimProcess fourth({"--dir", open});
    EXPECT_EQ(fourth.wait(), 1);
    EXPECT_NE(fourth.err().find("nobody else can write"), std::string::npos) << fourth.err();
}

// A raw client of board 0's socket, or -1.  The connect does not block: a
// listener whose queue stays full is a failure here, not a hang.
int raw_client(const std::string& dir) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (dir + "/KV318Device0").c_str(), sizeof addr.sun_path - 1);
    int fd = -1;
    wait_until([&] {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
        ::close(fd);
        fd = -1;
        return false;
    });
    return fd;
}

TEST(SimCli, FaultsStartAfterTheGivenNumberOfRequests) {
    const struct {
        const char* fail;
        std::vector<bool> ok;  // successive KV318_inb
    } cases[] = {
        {"0x80:after=3", {true, true, true, false, false, false}},
        {"0x80:after=3:once", {true, true, true, false, true, true}},
        {"any:after=2", {true, true, false, false, false, false}},
    };
    for (const auto& c : cases) {
        Scratch s;
        const std::string dir = s.path("drv");
        SimProcess p({"--dir", dir, "--fail", c.fail});
        ASSERT_TRUE(p.wait_serving()) << p.err();
        ::setenv("KV318_DRIVER_DIR", dir.c_str(), 1);
        const std::int32_t h = KV318_OpenDevice(0);
        ASSERT_GE(h, 0) << c.fail;
        for (std::size_t i = 0; i < c.ok.size(); ++i) EXPECT_EQ(KV318_inb(h, 14) >= 0, c.ok[i]) << c.fail << " " << i;
        KV318_CloseDevice(h);
        ::unsetenv("KV318_DRIVER_DIR");
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait(), 0);
    }
}

TEST(SimCli, OutOfDescriptorsItRefusesConnectionsWithoutSpinning) {
#ifdef KV318_SANITIZED_SIM
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own (the linux preset runs this)";
#endif
    Scratch s;
    const std::string dir = s.path("drv");
    // Room for its own files and about a dozen connections.
    SimProcess p({"--dir", dir}, {"/bin/sh", "-c", "ulimit -n 24 && exec \"$0\" \"$@\""});
    ASSERT_TRUE(p.wait_serving()) << p.err();
    std::vector<int> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(raw_client(dir));
        ASSERT_GE(clients.back(), 0) << "client " << i << " left waiting";
    }
    // The over-limit ones are closed at once, not left waiting.
    std::size_t refused = 0;
    EXPECT_TRUE(wait_until([&] {
        std::size_t closed = 0;
        for (int fd : clients) {
            pollfd pf{fd, POLLIN, 0};
            closed += ::poll(&pf, 1, 0) == 1 ? 1 : 0;
        }
        refused = closed;
        return closed >= 16;
    })) << refused
        << " of 40 refused";
    EXPECT_NE(p.err().find("connection refused: the process is out of file descriptors"), std::string::npos);
    const double cpu = p.cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_LT(p.cpu_seconds() - cpu, 0.5) << "CPU seconds in 3 s with every descriptor in use";
    for (int fd : clients) ::close(fd);
    // Once the clients are gone, it serves again.
    EXPECT_TRUE(wait_until([&] { return board_info(dir) != ""; }));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

TEST(SimCli, ReplacesTheStaleSocketOfAKilledSimulator) {
    Scratch s;
    const std::string dir = s.path("drv");
    {
        SimProcess killed({"--dir", dir});
        ASSERT_TRUE(killed.wait_serving()) << killed.err();
        killed.signal(SIGKILL);
        EXPECT_EQ(killed.wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(exists(dir + "/KV318Device0")) << "a killed simulator leaves its socket";
    SimProcess next({"--dir", dir});
    ASSERT_TRUE(next.wait_serving()) << next.err();
    EXPECT_NE(next.err().find("replaced the stale socket"), std::string::npos);
    EXPECT_NE(board_info(dir), "");
    next.signal(SIGTERM);
    EXPECT_EQ(next.wait(), 0);
}

}  // namespace
