// A timer service for tests: no thread of its own.  The test sets what the
// capability query answers and whether creation fails, and fires the live
// timer's ticks by hand, on whichever thread it likes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "timer_service.h"

namespace kv318::test {

struct CreatedTimer {
    TimerHandle id;
    std::uint32_t periodMs;
    std::uint32_t resolutionMs;
    std::uintptr_t user;
};

class ManualTimer final : public TimerService {
public:
    // Installs itself as the library's timer service; the destructor
    // restores the platform's.
    ManualTimer();
    ~ManualTimer() override;

    // ---- set-up (any thread) ----
    void set_capabilities(bool ok, std::uint32_t minPeriodMs);  // default: ok, 1 ms
    void set_create_fails(bool fails);

    // Calls the live timer's procedure once on the calling thread.  Returns
    // false when no timer is live (nothing is called).
    bool fire();
    bool live() const;
    std::vector<CreatedTimer> created() const;
    std::vector<TimerHandle> cancelled() const;
    // The period the live timer ticks at now (its creation's, or the last
    // set_period's), or 0 when none is live.
    std::uint32_t period_ms() const;
    // Every period set_period accepted, in order.
    std::vector<std::uint32_t> periods_set() const;
    void set_period_fails(bool fails);

    // ---- TimerService ----
    bool capabilities(std::uint32_t* minPeriodMs) override;
    TimerHandle create(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerProcedure procedure,
                       std::uintptr_t user) override;
    // Waits for a tick in progress on another thread, as a real timer does.
    void cancel(TimerHandle id) override;
    // Accepted only from inside the live timer's procedure (a fire in
    // progress), as a real timer requires; else false.
    bool set_period(TimerHandle id, std::uint32_t periodMs) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool capsOk_ = true;
    std::uint32_t minPeriod_ = 1;
    bool createFails_ = false;
    bool setPeriodFails_ = false;
    std::uint32_t periodMs_ = 0;
    std::vector<std::uint32_t> periodsSet_;
    TimerHandle nextId_ = 0x51;
    TimerHandle liveId_ = 0;
    TimerProcedure procedure_ = nullptr;
    std::uintptr_t user_ = 0;
    int inFlight_ = 0;
    std::vector<CreatedTimer> created_;
    std::vector<TimerHandle> cancelled_;
};

}  // namespace kv318::test
