#include "flag_wait.h"

namespace kv318 {

void FlagWaiter::wait_lowered(std::atomic<std::int32_t>& flag) {
    if (method_ == Method::AtomicWait) {
        for (std::int32_t held = flag.load(); held != 0; held = flag.load()) flag.wait(held);
        return;
    }
    // The look happens under the mutex, and lower() passes through it
    // between its store and its notify, so a waiter that saw the flag
    // raised is asleep before the notify comes.
    std::unique_lock<std::mutex> lock(mutex_);
    lowered_.wait(lock, [&flag] { return flag.load() == 0; });
}

void FlagWaiter::lower(std::atomic<std::int32_t>& flag) {
    flag.store(0);
    if (method_ == Method::AtomicWait) {
        flag.notify_all();
        return;
    }
    { std::lock_guard<std::mutex> pass(mutex_); }
    lowered_.notify_all();
}

}  // namespace kv318
