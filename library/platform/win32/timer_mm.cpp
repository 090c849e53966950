// The Windows timer service: the multimedia timer (timeGetDevCaps,
// timeSetEvent with TIME_PERIODIC, timeKillEvent).  Its procedure runs on
// the system's timer thread.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>

#include "timer_service.h"

namespace kv318 {
namespace {

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
    std::atomic<UINT> id{0};
    TimerProcedure procedure = nullptr;  // set before live, read by the callback
    std::uintptr_t user = 0;
};

constexpr int kSlots = 4;
Slot g_slots[kSlots];

void CALLBACK timer_callback(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Slot* slot = reinterpret_cast<Slot*>(user);
    slot->inFlight.fetch_add(1);
    if (slot->live.load()) slot->procedure(slot->user);
    slot->inFlight.fetch_sub(1);
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
        if (procedure == nullptr) return 0;
        for (Slot& slot : g_slots) {
            bool expected = false;
            if (!slot.used.compare_exchange_strong(expected, true)) continue;
            slot.procedure = procedure;
            slot.user = user;
            slot.live.store(true);
            // TIME_KILL_SYNCHRONOUS: no callback starts once timeKillEvent has been called.
            const MMRESULT id = timeSetEvent(periodMs, resolutionMs, timer_callback, reinterpret_cast<DWORD_PTR>(&slot),
                                             TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
            if (id == 0) {
                slot.live.store(false);
                slot.used.store(false);
                return 0;
            }
            slot.id.store(id);
            return id;
        }
        return 0;
    }

    void cancel(TimerHandle id) override {
        if (id == 0) return;
        for (Slot& slot : g_slots) {
            if (!slot.used.load() || slot.id.load() != id) continue;
            slot.live.store(false);
            timeKillEvent(id);
            // A call that began before the kill finishes before we return.
            while (slot.inFlight.load() != 0) Sleep(1);
            slot.id.store(0);
            slot.used.store(false);
            return;
        }
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
