#include "driver_client.h"

#include <chrono>
#include <memory>
#include <thread>

namespace kv318::driver_test {
namespace {

std::uint32_t u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

DriverClient::DriverClient(int board) {
    const std::string name = "\\\\.\\KV318Device" + std::to_string(board);
    h_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

DriverClient::~DriverClient() {
    if (ok()) CloseHandle(h_);
}

bool DriverClient::control(std::uint8_t op, std::uint32_t value, std::uint8_t times, BoardStats* stats) {
    unsigned char in[KVT_CONTROL_INPUT_SIZE] = {};
    unsigned char out[64] = {};
    in[0] = op;
    in[1] = times;
    for (int i = 0; i < 4; ++i) in[4 + i] = static_cast<unsigned char>(value >> (8 * i));
    DWORD got = 0;
    if (!DeviceIoControl(h_, KVT_IOCTL_CONTROL, in, sizeof in, out, sizeof out, &got, nullptr)) return false;
    if (got != KVT_STATS_SIZE) return false;
    if (stats != nullptr) {
        stats->requests = u32(out + KVT_STATS_REQUESTS);
        stats->failed = u32(out + KVT_STATS_FAILED);
        stats->unknown = u32(out + KVT_STATS_UNKNOWN);
        stats->lastUnknown = u32(out + KVT_STATS_LAST_UNKNOWN);
        stats->fifoBytes = u32(out + KVT_STATS_FIFO_BYTES);
        stats->dropped = u32(out + KVT_STATS_DROPPED);
        stats->converted = u32(out + KVT_STATS_CONVERTED);
        stats->time100ns =
            u32(out + KVT_STATS_TIME_LOW) | (static_cast<std::uint64_t>(u32(out + KVT_STATS_TIME_HIGH)) << 32);
    }
    return true;
}

BoardStats DriverClient::stats() {
    BoardStats s;
    control(KVT_OP_QUERY, 0, 0, &s);
    return s;
}

bool returns_within(const std::function<void()>& call, int ms) {
    // The event outlives a call that never returns: the thread holds it too.
    auto finished = std::shared_ptr<void>(CreateEventA(nullptr, TRUE, FALSE, nullptr), CloseHandle);
    std::thread worker([call, finished] {
        call();
        SetEvent(finished.get());
    });
    const bool returned = WaitForSingleObject(finished.get(), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
    if (returned) worker.join();
    else worker.detach();
    return returned;
}

}  // namespace kv318::driver_test
