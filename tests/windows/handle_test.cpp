// Board handles as 32-bit integers on either Windows.  A HANDLE is 64 bits
// wide on x64, so every export narrows and widens it; this proves, through
// KV318.dll's real entry points, that an opened handle survives the trip
// through every export, and that the invalid handle stays -1 both ways.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KV318.h"
#include "board.h"
#include "os_handle.h"
#include "pipe_server.h"
#include "sim_process.h"

namespace kv318::sim::test {
namespace {

TEST(OsHandle, NarrowsAndWidensBySignExtension) {
    EXPECT_EQ(win32::from_os(INVALID_HANDLE_VALUE), -1);
    EXPECT_EQ(win32::to_os(-1), INVALID_HANDLE_VALUE);
    // The pseudo handles are small negative values; they too must survive.
    EXPECT_EQ(win32::to_os(win32::from_os(GetCurrentProcess())), GetCurrentProcess());
    EXPECT_EQ(win32::to_os(win32::from_os(GetCurrentThread())), GetCurrentThread());
    for (const std::int32_t v : {0, 1, 0x1C4, 0x7FFFFFFC, -2, -0x7FFFFFFF}) {
        EXPECT_EQ(win32::from_os(win32::to_os(v)), v) << v;
        EXPECT_EQ(reinterpret_cast<std::intptr_t>(win32::to_os(v)), static_cast<std::intptr_t>(v)) << v;
    }
}

// KV318.dll's exports by name, typed by the public header.
struct Dll {
    Dll() : module(LoadLibraryA("KV318.dll")) {}
    ~Dll() {
        if (module != nullptr) FreeLibrary(module);
    }
    template <typename Fn>
    Fn get(Fn, const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    HMODULE module;
};
#define KV318_GET(dll, fn) (dll).get(&fn, #fn)

// Board 0 served by the simulator's pipe transport inside this process.
class ServedBoard {
public:
    ServedBoard() {
        BoardConfig config;
        board_ = std::make_unique<Board>(config, clock_);
        SignalConfig ramp;
        ramp.kind = SignalKind::Ramp;
        board_->set_signal(ramp);
        server_ = std::make_unique<PipeServer>(std::vector<Board*>{board_.get()}, [](const std::string&) {});
        std::string error;
        EXPECT_TRUE(server_->start(&error)) << error;
    }

private:
    SteadyClock clock_;
    std::unique_ptr<Board> board_;
    std::unique_ptr<PipeServer> server_;  // last: stopped before the board goes
};

TEST(HandleRoundTrip, AnOpenedHandleReachesTheBoardThroughEveryExport) {
    Dll dll;
    ASSERT_NE(dll.module, nullptr) << "LoadLibraryA(KV318.dll) failed, error " << GetLastError();
    ServedBoard sim;
    const auto open = KV318_GET(dll, KV318_OpenDevice);
    const std::int32_t h = open(0);
    ASSERT_NE(h, -1);
    // The integer is the OS handle itself: widened, it names this process's pipe.
    EXPECT_EQ(GetFileType(win32::to_os(h)), static_cast<DWORD>(FILE_TYPE_PIPE));

    char info[70] = {};
    EXPECT_EQ(KV318_GET(dll, KV318_Info)(h, info), 0);
    EXPECT_NE(std::string(info).find("KV318"), std::string::npos) << info;
    // The mode register reads back what was written.
    EXPECT_EQ(KV318_GET(dll, KV318_outb)(h, 4, 0x0A), 0);
    EXPECT_EQ(KV318_GET(dll, KV318_inb)(h, 4), 0x0A);
    EXPECT_EQ(KV318_GET(dll, KV318_DO)(h, 0xA55A), 0);
    EXPECT_EQ(KV318_GET(dll, KV318_DI)(h), 0xA55A);
    EXPECT_EQ(KV318_GET(dll, KV318_CRun)(h), 0);
    EXPECT_GE(KV318_GET(dll, KV318_CRead)(h), -1);
    EXPECT_EQ(KV318_GET(dll, KV318_PRun)(h, 1, 100), 0);
    EXPECT_EQ(KV318_GET(dll, KV318_PStop)(h), 0);
    EXPECT_EQ(KV318_GET(dll, KV318_ResetUSB)(h), 0);
    std::vector<std::uint8_t> bulk(65);
    EXPECT_GE(KV318_GET(dll, KV318_BulkRead)(h, bulk.data(), 64), 0);

    // Polled, then streamed: each start, read and stop on the same handle.
    std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
    std::int32_t carry = 0;
    ASSERT_EQ(KV318_GET(dll, KV318_M_AD)(h, 0, 0, 0, 0, 50), 0);
    std::int32_t got = 0;
    ASSERT_TRUE(wait_until([&] {
        got = KV318_GET(dll, KV318_M_Read)(h, samples.data(), &carry, 0);
        return got != 0;
    }));
    EXPECT_GT(got, 0);
    EXPECT_EQ(KV318_GET(dll, KV318_M_StopAD)(h), 0);
    ASSERT_EQ(KV318_GET(dll, KV318_AD)(h, 0, 0, 0, 0, 50), 0);
    ASSERT_TRUE(wait_until([&] {
        got = KV318_GET(dll, KV318_Read)(h, samples.data());
        return got != 0;
    }));
    EXPECT_GT(got, 0) << "the timer drained the handle the stream was started with";
    EXPECT_EQ(KV318_GET(dll, KV318_StopAD)(h), 0);

    EXPECT_EQ(KV318_GET(dll, KV318_CloseDevice)(h), 0);
    EXPECT_EQ(KV318_GET(dll, KV318_inb)(h, 4), -1) << "a closed handle reaches nothing";
}

TEST(HandleRoundTrip, TheInvalidHandleIsMinusOneBothWays) {
    Dll dll;
    ASSERT_NE(dll.module, nullptr);
    EXPECT_EQ(KV318_GET(dll, KV318_OpenDevice)(99), -1) << "no device and no pipe for board 99";
    EXPECT_EQ(KV318_GET(dll, KV318_CloseDevice)(-1), 0);
    EXPECT_EQ(KV318_GET(dll, KV318_inb)(-1, 0), -1);
    EXPECT_EQ(KV318_GET(dll, KV318_DI)(-1), 65535);
}

}  // namespace
}  // namespace kv318::sim::test
