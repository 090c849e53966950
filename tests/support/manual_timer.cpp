#include "manual_timer.h"

namespace kv318::test {

ManualTimer::ManualTimer() { set_timer_service(this); }

ManualTimer::~ManualTimer() { set_timer_service(nullptr); }

void ManualTimer::set_capabilities(bool ok, std::uint32_t minPeriodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    capsOk_ = ok;
    minPeriod_ = minPeriodMs;
}

void ManualTimer::set_create_fails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    createFails_ = fails;
}

bool ManualTimer::fire() {
    TimerProcedure procedure = nullptr;
    std::uintptr_t user = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (liveId_ == 0) return false;
        procedure = procedure_;
        user = user_;
        ++inFlight_;
    }
    procedure(user);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
    }
    idle_.notify_all();
    return true;
}

bool ManualTimer::live() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return liveId_ != 0;
}

std::vector<CreatedTimer> ManualTimer::created() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return created_;
}

std::vector<TimerHandle> ManualTimer::cancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

std::uint32_t ManualTimer::period_ms() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return periodMs_;
}

std::vector<std::uint32_t> ManualTimer::periods_set() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return periodsSet_;
}

void ManualTimer::set_period_fails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    setPeriodFails_ = fails;
}

bool ManualTimer::set_period(TimerHandle id, std::uint32_t periodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (setPeriodFails_ || periodMs == 0 || id != liveId_ || inFlight_ == 0) return false;
    periodMs_ = periodMs;
    periodsSet_.push_back(periodMs);
    return true;
}

bool ManualTimer::capabilities(std::uint32_t* minPeriodMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!capsOk_) return false;
    *minPeriodMs = minPeriod_;
    return true;
}

TimerHandle ManualTimer::create(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerProcedure procedure,
                                std::uintptr_t user) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (createFails_) return 0;
    const TimerHandle id = nextId_++;
    created_.push_back(CreatedTimer{id, periodMs, resolutionMs, user});
    liveId_ = id;
    periodMs_ = periodMs;
    procedure_ = procedure;
    user_ = user;
    return id;
}

void ManualTimer::cancel(TimerHandle id) {
    std::unique_lock<std::mutex> lock(mutex_);
    cancelled_.push_back(id);
    if (id != liveId_) return;
    liveId_ = 0;
    periodMs_ = 0;
    idle_.wait(lock, [&] { return inFlight_ == 0; });
}

}  // namespace kv318::test
