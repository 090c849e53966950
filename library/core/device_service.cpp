#include "device_service.h"

#include <atomic>
#include <chrono>

namespace kv318 {
namespace {
// Written by set_device_service (test set-up, no stream running), read by
// every request on any thread.  An atomic pointer keeps a swap between
// tests free of torn reads without a lock on every request; acquire/release
// publishes the substitute's construction to the timer thread.
std::atomic<DeviceService*> g_override{nullptr};
}  // namespace

std::uint64_t DeviceService::now_ms() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

std::uint64_t DeviceService::now_us() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

RequestFault DeviceService::last_request_fault() { return RequestFault::Refused; }

const char* DeviceService::open_failure() { return ""; }

DeviceService& device_service() {
    DeviceService* s = g_override.load(std::memory_order_acquire);
    return s != nullptr ? *s : platform_device_service();
}

void set_device_service(DeviceService* service) { g_override.store(service, std::memory_order_release); }

}  // namespace kv318
