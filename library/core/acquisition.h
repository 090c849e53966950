// Streaming acquisition's internal operations: the sample timer and its
// procedure, the ring's writer and reader, and the end of a stream when the
// library goes away.  The exports KV318_AD, KV318_Read and KV318_StopAD are
// built on these in exports_stream.cpp.
#pragma once

#include <cstdint>

#include "acquisition_common.h"
#include "drain_period.h"

namespace kv318 {

// The period a stream's timer starts at; drain_period.h says when it ticks
// faster.
inline constexpr std::uint32_t kSamplePeriodMs = kLongPeriodMs;
inline constexpr std::uint32_t kTimerResolutionMs = 2;
inline constexpr std::uint32_t kMaxMinimumPeriodMs = 2;
inline constexpr std::int32_t kMinReadBytes = 100;
inline constexpr std::int32_t kMaxReadSamples = 0x80000;  // 1 MiB of ring bytes per read

inline constexpr char kTextNoTimerCaps[] = "Can not Get The Timer's Resolution Data";
inline constexpr char kTextTimerTooCoarse[] = "The Timer Resolution Data is Great than 2";
inline constexpr char kTextNoTimer[] = "error open timer event";

// Checks the timer service's minimum period and creates the periodic timer
// that runs SampleTimerProc every `periodMs`; its ticks may then change the
// period as the rate asks (drain_period.h).  Caller's thread.  Returns 0,
// or -1 with the reason in LastErrorText and, in plain words, in the
// calling thread's failure text for KV318_AD (last_error.h).
std::int32_t StartSampleTimer(std::uint32_t periodMs);

// Cancels the timer StartSampleTimer created, if it is still live, and
// returns once SampleTimerProc can no longer run.  TimerId keeps its value.
void StopSampleTimer();

// One timer tick: drains the FIFO of AcqDevice into the ring unless the
// stream is stopped or a reader holds the ring, and moves the timer to the
// period the status it read asks for (drain_period.h).  Timer thread.
void SampleTimerProc(std::uintptr_t user);

// Appends `n` bytes (0 < n < kRingSize) to the ring at RingWritePos,
// wrapping at its end, and adds them to RingCount (saturating).  The
// tick's side of the handshake must be held.
void ring_append(const std::uint8_t* bytes, std::int32_t n);

// Converts `n` samples from ring position `from` (even) on, wrapping at the
// ring's end; changes no ring state.  The `n` pairs must be buffered and
// unread.  The reader's thread, without the handshake held: the writer
// never touches unread bytes unless the ring overflows, which KV318_Read
// checks after the conversion.
void ring_copy_samples(std::int32_t from, std::int32_t* samples, std::int32_t n);

// Waits for a drain in progress to end (the reader, a stop or the unload): at most one drain, which may take
// its whole period when the board keeps answering in full.  It blocks on
// the flag itself (the tick wakes it as its drain ends) rather than spinning
// or sleeping: on a loaded machine a spinning caller gives its turn away
// to every other process at each yield, and one that sleeps waits for the
// processor again after each sleep; a reader late by a few such turns lets
// the ring run over.  A thread woken from a wait is run soon.
void wait_for_drain_end();

// The reader's side of the handshake: raise our flag, and keep it only if
// no drain runs; else lower it while waiting for the drain to end, and try
// again.  A reader that kept its flag up while it waits would, on a loaded
// machine, keep it up for as long as the scheduler takes to run it again
// after the drain, and every tick meanwhile would find the ring held.
// ReaderBusy.store(0) lets go.
void hold_ring();

// Ends a stream because the library is unloaded or the process exits: no
// drain continues, the timer is cancelled and its procedure has returned,
// and every board lock is given back.  The board is not touched.  Called by the platform's unload hook on a
// thread that is not the timer's, while the timer's thread still runs.
void EndStreamForUnload();

}  // namespace kv318
