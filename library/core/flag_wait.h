// Blocking until a flag another thread holds is lowered, without ever
// blocking the thread that lowers it for longer than a moment.
//
// std::atomic::wait would do, but not everywhere: the C++ library of the
// Windows cross-compilers (libstdc++ 12 without a futex) looks at the value
// outside the lock it then waits under, so a notify that falls between the
// look and the wait is lost, and the waiter sleeps for ever.  Where the
// operating system compares the value itself (the Linux futex) it is
// sound, and it keeps the lowering thread free of any lock; elsewhere a
// mutex and a condition variable do the same job.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kv318 {

class FlagWaiter {
public:
    enum class Method {
        AtomicWait,    // std::atomic::wait and notify_all
        LockedNotify,  // a mutex and a condition variable beside the flag
    };
#if defined(__linux__)
    static constexpr Method kNative = Method::AtomicWait;
#else
    static constexpr Method kNative = Method::LockedNotify;
#endif

    explicit FlagWaiter(Method method = kNative) : method_(method) {}
    FlagWaiter(const FlagWaiter&) = delete;
    FlagWaiter& operator=(const FlagWaiter&) = delete;

    // Returns once `flag` has been seen at 0, blocking while it is not.
    // Any thread but the one holding the flag.  Never fails.
    void wait_lowered(std::atomic<std::int32_t>& flag);

    // Stores 0 into `flag` (sequentially consistent, as the handshakes
    // built on it need) and wakes every thread in wait_lowered on it.  The
    // holder's thread; with LockedNotify it takes the mutex only between
    // its store and its notify, which a waiter holds only to look at the
    // flag, never while it sleeps.
    void lower(std::atomic<std::int32_t>& flag);

private:
    const Method method_;
    std::mutex mutex_;
    std::condition_variable lowered_;
};

}  // namespace kv318
