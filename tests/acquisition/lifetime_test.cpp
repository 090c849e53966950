// A stream that is never stopped: the process exits, or the library is
// unloaded, while the timer drains.  Neither may crash or hang.  The test
// panel exits without stopping anything, so this is an everyday path.
//
// The built libKV318.so is loaded with dlopen and reaches a small driver in
// the test over the Linux driver channel, as an application would.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include "KV318.h"
#include "board_lock.h"
#include "channel_frame.h"
#include "recording_device.h"
#include "register_map.h"
#include "requests.h"
#include "socket_driver.h"
#include "wait.h"

namespace kv318::test {
namespace {

// A board behind a socket: enabled, always holding 1024 bytes, which every
// bulk read returns in full.
class SocketBoard {
public:
    SocketBoard() {
        driver_.set_answer([](const SeenRequest& r) {
            std::vector<std::uint8_t> out(r.header.code == kIoctlBulkRead ? 1024 : 8, 0);
            for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i);
            if (r.header.code == kIoctlCommand && r.in[0] == kCmdRead8 && r.in[2] == 0) out[0] = 0x14;
            return out;
        });
    }
    std::size_t requests() { return driver_.seen().size(); }
    // Requests that stop conversion (a read of the mode register).
    std::size_t stops() {
        std::size_t n = 0;
        for (const SeenRequest& r : driver_.seen())
            if (r.header.code == kIoctlCommand && r.in[0] == kCmdRead8 && r.in[2] == reg::kMode) ++n;
        return n;
    }

private:
    SocketDriver driver_;
};

struct Library {
    void* handle = nullptr;
    decltype(&KV318_OpenDevice) open = nullptr;
    decltype(&KV318_AD) start = nullptr;
    decltype(&KV318_Read) read = nullptr;
    decltype(&KV318_StopAD) stop = nullptr;
    decltype(&KV318_CloseDevice) close = nullptr;

    bool load() {
        handle = ::dlopen(KV318_SO_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        open = reinterpret_cast<decltype(open)>(::dlsym(handle, "KV318_OpenDevice"));
        start = reinterpret_cast<decltype(start)>(::dlsym(handle, "KV318_AD"));
        read = reinterpret_cast<decltype(read)>(::dlsym(handle, "KV318_Read"));
        stop = reinterpret_cast<decltype(stop)>(::dlsym(handle, "KV318_StopAD"));
        close = reinterpret_cast<decltype(close)>(::dlsym(handle, "KV318_CloseDevice"));
        return open != nullptr && start != nullptr && read != nullptr && stop != nullptr && close != nullptr;
    }

    // Starts a stream on board 0 and waits until the timer has drained
    // samples into the ring.  Returns the board handle, or -1.
    std::int32_t stream() {
        const std::int32_t board = open(0);
        if (board < 0 || start(board, 0, 0, 0, 0, 50) != 0) return -1;
        std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
        if (!wait_until([&] { return read(board, samples.data()) > 0; })) return -1;
        return board;
    }
};

// Exits the process in the middle of a stream, with the timer still live.
[[noreturn]] void exit_mid_stream_through_library() {
    auto* board = new SocketBoard;  // outlives the exit: its thread may still serve
    (void)board;
    Library lib;
    if (!lib.load() || lib.stream() < 0) std::_Exit(3);
    std::exit(0);
}

[[noreturn]] void exit_mid_stream_linked() {
    auto* dev = new RecordingDevice;  // never destroyed: the timer uses it to the end
    dev->set_handler([](const Request& r) {
        if (r.code == kIoctlBulkRead) return Reply::bytes(std::vector<std::uint8_t>(2048, 0x5A));
        return register_reply(r.in[0] == kCmdRead8 && r.in[2] == 0 ? 0x14 : 0);
    });
    if (KV318_AD(0x11, 0, 0, 0, 0, 50) != 0) std::_Exit(3);
    std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
    if (!wait_until([&] { return KV318_Read(0x11, samples.data()) > 0; })) std::_Exit(4);
    std::exit(0);
}

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Lifetime, ExitWhileTheLibraryStreamsEndsCleanly) {
    EXPECT_EXIT(exit_mid_stream_through_library(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Lifetime, ExitWhileTheLinkedLogicStreamsEndsCleanly) {
    EXPECT_EXIT(exit_mid_stream_linked(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Lifetime, UnloadingTheLibraryMidStreamStopsItsTimerFirst) {
    SocketBoard board;
    Library lib;
    ASSERT_TRUE(lib.load()) << ::dlerror();
    const std::int32_t fd = lib.stream();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(probe_board_lock(0).held) << "the stream holds board 0";
    ASSERT_EQ(::dlclose(lib.handle), 0);
    // Gone with the library, or a library loaded again could never stream.
    EXPECT_FALSE(probe_board_lock(0).held);
    EXPECT_EQ(::dlopen(KV318_SO_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library is really gone";
    const std::size_t seen = board.requests();
    // A window in which a timer left behind would call into unmapped code
    // or keep asking the board; not a synchronisation.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(board.requests(), seen);
    ::close(fd);
}

// What a forked child does with the stream it inherited before it exits.
enum class ChildEnd { Exit, StopThenExit, CloseThenExit };

// The child's exit status once it ended, or -1 when it does not end in
// time (a child stuck in the library's exit teardown).
int wait_child(pid_t pid) {
    int status = 0;
    const bool ended = wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A process that streams and forks: the child shares the lock file's open
// file (flock belongs to it) and the connection to the driver, but the
// stream is the parent's.  However the child ends, with a normal exit or
// after a stop or close on the inherited handle, the parent keeps its lock
// and its stream, and nothing reaches the board from the child.
TEST_F(Lifetime, AForkedChildLeavesTheParentsStreamAndLockAlone) {
    SocketBoard board;
    Library lib;
    ASSERT_TRUE(lib.load()) << ::dlerror();
    const std::int32_t h = lib.stream();
    ASSERT_GE(h, 0);
    std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
    for (ChildEnd end : {ChildEnd::Exit, ChildEnd::StopThenExit, ChildEnd::CloseThenExit}) {
        SCOPED_TRACE(static_cast<int>(end));
        const std::size_t stopsBefore = board.stops();
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (end == ChildEnd::StopThenExit && lib.stop(h) != 0) std::_Exit(5);
            if (end == ChildEnd::CloseThenExit) (void)lib.close(h);
            std::exit(0);
        }
        EXPECT_EQ(wait_child(pid), 0);
        EXPECT_TRUE(probe_board_lock(0).held) << "the parent still holds board 0";
        EXPECT_EQ(board.stops(), stopsBefore) << "the child stopped the parent's conversion";
        // The parent's stream goes on: fresh samples, no transfer fault.
        std::int32_t got = 0;
        EXPECT_TRUE(wait_until([&] {
            got = lib.read(h, samples.data());
            return got != 0;
        }));
        EXPECT_GT(got, 0);
    }
    EXPECT_EQ(lib.stop(h), 0);
    EXPECT_FALSE(probe_board_lock(0).held);
    EXPECT_EQ(lib.close(h), 0);
    EXPECT_EQ(::dlclose(lib.handle), 0);
}

}  // namespace
}  // namespace kv318::test
