// The Windows timer service: the multimedia timer (timeGetDevCaps,
// timeSetEvent with TIME_PERIODIC, timeKillEvent).  Its procedure runs on
// the system's timer thread.  Each timer raises the system's timer
// resolution (timeBeginPeriod) for as long as it lives, and gives it back
// (timeEndPeriod) when it is cancelled or could not be made, so the machine
// runs at the finer resolution only while a stream does.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>

#include "timer_service.h"

namespace kv318 {
namespace {

constexpr UINT kEventFlags = TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS;

// One record per live timer, in a fixed table: the library runs one timer
// at a time, and nothing is allocated for it.
struct Slot {
    // Claimed by create, released by cancel (both caller threads).
    std::atomic<bool> used{false};
    // True from before timeSetEvent until cancel.  The callback raises
    // inFlight and then checks live; cancel lowers live and then waits for
    // inFlight to fall.  Each stores before it loads the other's variable,
    // so with sequentially consistent operations either the callback sees
    // live == false and does not call, or cancel sees it in flight and waits.
    std::atomic<bool> live{false};
    std::atomic<int> inFlight{0};
    // The timer's handle for its callers, which stays when set_period
    // replaces the event (event identifiers may be used again once killed).
    // Written by create and cancel.
    std::atomic<UINT> handle{0};
    // The event that ticks now.  Written by create, by set_period on the
    // timer's thread (a new event replaces the old one), and by cancel.
    std::atomic<UINT> id{0};
    // The event set_period replaced, whose callbacks, should one still come,
    // call nothing.
    std::atomic<UINT> retired{0};
    TimerProcedure procedure = nullptr;  // set before live, read by the callback
    std::uintptr_t user = 0;
    // Set by create before the first event; period also by set_period, on
    // the timer's thread, while no other thread reads it.
    UINT periodMs = 0;
    UINT resolutionMs = 0;
    bool resolutionRaised = false;  // timeBeginPeriod succeeded: cancel ends it
};

constexpr int kSlots = 4;
Slot g_slots[kSlots];
// The next handle create gives out; 0 is never one.  Any caller's thread.
std::atomic<UINT> g_nextHandle{1};

TimerHandle new_handle() {
    for (;;) {
        const UINT h = g_nextHandle.fetch_add(1);
        if (h != 0) return h;
    }
}

// The slot whose procedure runs on this thread, for set_period.
thread_local Slot* t_current = nullptr;

void CALLBACK timer_callback(UINT event, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Slot* slot = reinterpret_cast<Slot*>(user);
    if (event == slot->retired.load()) return;
    slot->inFlight.fetch_add(1);
    if (slot->live.load()) {
        t_current = slot;
        slot->procedure(slot->user);
        t_current = nullptr;
    }
    slot->inFlight.fetch_sub(1);
}

// The resolution to ask the system for: what the timer asked, within what
// the system offers.
UINT resolution_for(UINT asked) {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) return asked;
    return std::clamp(asked, caps.wPeriodMin, caps.wPeriodMax);
}

void end_resolution(Slot& slot) {
    if (slot.resolutionRaised) (void)timeEndPeriod(slot.resolutionMs);
    slot.resolutionRaised = false;
}

class MultimediaTimerService final : public TimerService {
public:
    bool capabilities(std::uint32_t* minPeriodMs) override {
        TIMECAPS caps{};
        if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) return false;
        *minPeriodMs = caps.wPeriodMin;
        return true;
    }

    TimerHandle create(std::uint32_t periodMs, std::uint32_t resolutionMs, TimerProcedure procedure,
                       std::uintptr_t user) override {
        if (procedure == nullptr || periodMs == 0) return 0;
        for (Slot& slot : g_slots) {
            bool expected = false;
            if (!slot.used.compare_exchange_strong(expected, true)) continue;
            slot.procedure = procedure;
            slot.user = user;
            slot.periodMs = periodMs;
            slot.resolutionMs = resolution_for(resolutionMs);
            slot.resolutionRaised = timeBeginPeriod(slot.resolutionMs) == TIMERR_NOERROR;
            slot.retired.store(0);
            slot.live.store(true);
            // TIME_KILL_SYNCHRONOUS: no callback starts once timeKillEvent has been called.
            const MMRESULT id = timeSetEvent(periodMs, slot.resolutionMs, timer_callback,
                                             reinterpret_cast<DWORD_PTR>(&slot), kEventFlags);
            if (id == 0) {
                slot.live.store(false);
                end_resolution(slot);
                slot.used.store(false);
                return 0;
            }
            slot.id.store(id);
            const TimerHandle handle = new_handle();
            slot.handle.store(handle);
            return handle;
        }
        return 0;
    }

    void cancel(TimerHandle id) override {
        if (id == 0) return;
        for (Slot& slot : g_slots) {
            if (!slot.used.load() || slot.handle.load() != id) continue;
            slot.live.store(false);
            UINT killed = slot.id.load();
            timeKillEvent(killed);
            // A call that began before the kill finishes before we return.
            while (slot.inFlight.load() != 0) Sleep(1);
            // That call may have moved the timer to a new event; no call
            // after it does (live is down), so this one is the last.
            const UINT last = slot.id.load();
            if (last != killed) {
                timeKillEvent(last);
                while (slot.inFlight.load() != 0) Sleep(1);
            }
            end_resolution(slot);
            slot.handle.store(0);
            slot.id.store(0);
            slot.used.store(false);
            return;
        }
    }

    bool set_period(TimerHandle id, std::uint32_t periodMs) override {
        // A multimedia timer's period is fixed, so a new event takes over from
        // the old one.  This runs inside the old event's callback, where
        // timeSetEvent and timeKillEvent are among the few calls the system
        // allows; the kill does not wait for that callback, which is ours.
        Slot* slot = t_current;
        if (periodMs == 0 || slot == nullptr || slot->handle.load() != id) return false;
        if (periodMs == slot->periodMs) return true;
        const UINT old = slot->id.load();
        const MMRESULT fresh =
            timeSetEvent(periodMs, slot->resolutionMs, timer_callback, reinterpret_cast<DWORD_PTR>(slot), kEventFlags);
        if (fresh == 0) return false;
        slot->retired.store(old);
        slot->id.store(fresh);
        slot->periodMs = periodMs;
        timeKillEvent(old);
        return true;
    }
};

}  // namespace

TimerService& platform_timer_service() {
    // Never destroyed: at process exit the system has already ended the
    // timer thread, and nothing here needs tearing down.
    static MultimediaTimerService* service = new MultimediaTimerService;
    return *service;
}

}  // namespace kv318
