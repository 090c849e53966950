// The test's own line to the KV318 test driver: the private control
// request that scripts failures and stalls and reports the board's
// counters, on a handle of its own, beside whatever KV318.dll opened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "test_control.h"
#include "wait.h"

namespace kv318::driver_test {

inline constexpr std::uint32_t kBulkRead = 0x222000;
inline constexpr std::uint32_t kBulkWrite = 0x222004;
inline constexpr std::uint32_t kString = 0x222008;
inline constexpr std::uint32_t kCommand = 0x22200C;
inline constexpr std::uint32_t kCommandPayload = 0x222010;

struct BoardStats {
    std::uint32_t requests = 0, failed = 0, unknown = 0, lastUnknown = 0;
    std::uint32_t fifoBytes = 0, dropped = 0, converted = 0;
    std::uint64_t time100ns = 0;
};

class DriverClient {
public:
    // Opens "\\.\KV318Device<board>" directly; ok() tells whether it did.
    explicit DriverClient(int board);
    ~DriverClient();
    DriverClient(const DriverClient&) = delete;
    DriverClient& operator=(const DriverClient&) = delete;

    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return h_; }

    // One control operation (KVT_OP_*); false when the request failed.
    bool control(std::uint8_t op, std::uint32_t value = 0, std::uint8_t times = 0, BoardStats* stats = nullptr);
    bool fail_request(std::uint32_t code, std::uint8_t times) { return control(KVT_OP_FAIL_REQUEST, code, times); }
    bool fail_command(std::uint8_t code, std::uint8_t times) { return control(KVT_OP_FAIL_COMMAND, code, times); }
    bool stall(bool on) { return control(KVT_OP_STALL, on ? 1 : 0); }
    bool reply_limit(std::uint32_t bytes) { return control(KVT_OP_REPLY_LIMIT, bytes); }
    bool clear() { return control(KVT_OP_CLEAR); }
    BoardStats stats();

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

using kv318::test::wait_until;

// Runs `call` on a thread of its own and waits at most `ms` for it.
// Returns false when it has not returned by then; the thread is then left
// behind (the process ends it at exit), since a hung call cannot be undone.
bool returns_within(const std::function<void()>& call, int ms);

}  // namespace kv318::driver_test
