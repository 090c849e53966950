// The periodic-timer seam: the one timing service streaming acquisition
// needs.  The core never creates threads or OS timers itself; the build links
// exactly one platform implementation (the multimedia timer on Windows, one
// thread per timer on Linux), and tests install a substitute whose ticks they
// fire by hand.
#pragma once

#include <cstdint>

namespace kv318 {

// A timer's identifier; 0 is never a live timer.
using TimerHandle = std::uint32_t;

// The procedure a periodic timer calls, with the user value given at
// creation.  It runs on the timer's own thread, never on the creator's.
using TimerProcedure = void (*)(std::uintptr_t user);

class TimerService {
public:
    virtual ~TimerService() = default;

    // The smallest period the service can keep, in milliseconds, into
    // *minPeriodMs.  Any thread.  Returns false when the service cannot tell
    // (then *minPeriodMs is not written).
    virtual bool capabilities(std::uint32_t* minPeriodMs) = 0;

    // Starts calling `procedure`(user) every `periodMs` milliseconds, to
    // within about `resolutionMs`, on a thread of the service's own, until
    // the timer is cancelled.  Any thread.  Returns the new timer's
    // identifier, or 0 when no timer could be created (nothing then runs);
    // a period of 0 or a missing procedure is always refused.
    virtual TimerHandle create(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerProcedure procedure,
                               std::uintptr_t user) = 0;

    // Stops timer `id`.  Returns only once its procedure can no longer run:
    // a call in progress on the timer's thread has finished and no later
    // call will start.  An unknown or already cancelled id does nothing.
    // Any thread except the timer's own (the procedure must not cancel its
    // own timer, since it would wait for itself).
    virtual void cancel(TimerHandle id) = 0;

    // Makes live timer `id` tick every `periodMs` milliseconds from its next
    // tick on, keeping the resolution it was created with.  Called only from
    // inside that timer's own procedure, on the timer's thread (so it never
    // races a tick of the same timer, and a cancel from another thread
    // still returns only once no call can run); it waits for nothing.  The
    // next tick comes one new period after the one that called it.  Returns
    // false, changing nothing, for a period of 0 or an unknown id, or when
    // the platform could not make the new schedule (the timer then ticks on
    // at its old period).
    virtual bool set_period(TimerHandle id, std::uint32_t periodMs) = 0;
};

// The service in use: the platform's unless a test installed another.
TimerService& timer_service();

// Installs `service` (owned by the caller, who keeps it alive while it is
// installed); nullptr restores the platform's.  Meant for tests: call it
// while no stream is running.
void set_timer_service(TimerService* service);

// The build's platform implementation, defined by one file under platform/.
TimerService& platform_timer_service();

}  // namespace kv318
