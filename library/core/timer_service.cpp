#include "timer_service.h"

#include <atomic>

namespace kv318 {
namespace {
// Written by set_timer_service (test set-up, no stream running), read by
// the start and stop calls.  Acquire/release publishes the substitute's
// construction to whichever thread starts a stream, without a lock.
std::atomic<TimerService*> g_override{nullptr};
}  // namespace

TimerService& timer_service() {
    TimerService* s = g_override.load(std::memory_order_acquire);
    return s != nullptr ? *s : platform_timer_service();
}

void set_timer_service(TimerService* service) { g_override.store(service, std::memory_order_release); }

}  // namespace kv318
