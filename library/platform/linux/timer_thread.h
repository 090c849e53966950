// The Linux timer thread's schedule, apart from the thread so it can be
// tested without waiting on a clock.
#pragma once

#include <cstdint>

namespace kv318::linux_timer {

// The name every timer thread carries (at most 15 characters, the kernel's
// limit), as KV318.h states, so a tool can find it in /proc.
inline constexpr char kThreadName[] = "kv318-timer";

// The deadline after a tick due at `deadline`, all in nanoseconds on one
// clock, with the tick's procedure done at `now`.  It is one period on, so
// a late tick does not shift the ones after it; only when whole periods
// were missed does it skip them, staying on the same grid, so a stalled
// thread does not fire a burst of ticks.
std::int64_t next_deadline(std::int64_t deadline, std::int64_t now, std::int64_t period);

// Cancels every timer of the service and joins its thread.  Called by the
// library's unload guard, after the running stream has ended.
void cancel_all();

}  // namespace kv318::linux_timer
