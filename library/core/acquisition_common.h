// What the two analog acquisition modes share: the library-wide state, the
// start sequence, the chunk each FIFO level is drained in, and the sample
// conversion.  Streaming (acquisition.cpp) drains the FIFO from a periodic
// timer into the ring; polling (exports_polled.cpp) drains it on the caller's
// thread.  The two modes are never used at the same time: both land bulk
// replies in TransferBuffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "acquisition_lock.h"
#include "device_service.h"
#include "drain_stats.h"
#include "flag_wait.h"
#include "last_error.h"
#include "register_map.h"
#include "timer_service.h"

namespace kv318 {

inline constexpr std::int32_t kRingSize = 0x200000;  // 2 MiB
inline constexpr std::int32_t kRingMask = kRingSize - 1;
inline constexpr std::size_t kTransferSize = 70000;
inline constexpr std::size_t kPolledSize = 0x100000;  // 1 MiB
inline constexpr std::size_t kErrorTextSize = 80;

// ---- Library-wide state, zero at load ------------------------------------
//
// Streaming shares the ring and its counters between two threads: the
// caller's (KV318_Read, KV318_StopAD) and the timer's (SampleTimerProc).
// They never touch them at the same time, thanks to a two-flag handshake
// instead of a lock:
//   - the tick stores DrainBusy = 1, then loads ReaderBusy, and drains only
//     when it sees 0;
//   - the reader stores ReaderBusy = 1, then loads DrainBusy, and reads
//     only when it sees 0; else it lowers its flag, waits for DrainBusy to
//     fall (blocking on it; the tick notifies it when it lowers it) and
//     tries again.
// Each side stores its own flag before it loads the other's.  With
// sequentially consistent operations all four fall into one total order, so
// at least one side sees the other's flag raised: either the tick holds off
// its drain, or the reader holds off its read until the drain has ended.
// Plain acquire/release would allow both to miss each other's store.  The store that lowers a flag
// publishes the ring bytes and counters written before it to the side that
// loads it, which is why the ring itself needs no atomics.  A lock would do
// the same, but the timer thread must never block behind a slow caller: a
// tick that sees the reader's flag lowers its own, so the reader goes on,
// and tries the handshake again (sleeping 1 ms between looks) until the
// reader has let go or the tick's period is spent; only then is the drain
// left to the next tick.  Each try raises DrainBusy before it loads
// ReaderBusy, so every try keeps the guarantee above.

// The handle the running stream drains.  Written by KV318_AD before the
// timer is created (the creation publishes it); read by the timer thread.
extern Handle AcqDevice;
// 1 while the timer may drain, else 0.  Written by the caller's thread
// (start, stop, unload), read by the timer thread before and during a drain:
// a stop ends a drain early.  Sequentially consistent: StopAD stores 0 and
// then loads DrainBusy, as in the handshake above.
extern std::atomic<std::int32_t> AcqRunning;
// Negative after a transfer fault: a failed status read or bulk read in a
// tick, or a failed status read in KV318_Read.  KV318_StopAD sets it to 1.
// Guarded by the handshake.
extern std::int32_t AcqFault;
// 1 while a timer tick is inside its drain.  Written by the timer thread,
// waited on by the reader, stop and unload.
extern std::atomic<std::int32_t> DrainBusy;
// What those waits block on; the timer thread lowers DrainBusy through it.
extern FlagWaiter DrainWaiter;
// 1 while KV318_Read works on the ring.  Written by the reader, read by the tick.
extern std::atomic<std::uint8_t> ReaderBusy;

// Raw FIFO bytes, guarded by the handshake.
extern std::uint8_t RingBuffer[kRingSize];
extern std::int32_t RingWritePos;  // next byte to write, 0 to kRingMask
extern std::int32_t RingReadPos;   // next byte to read, always even
// Bytes written and not yet read.  kRingSize or more is the overflow state;
// it saturates at INT32_MAX instead of wrapping, so an overflow lasts.
extern std::int32_t RingCount;

// Landing area of one bulk read.  A reply is at most chunk + 1 <= 16385
// bytes, far inside it.
extern std::uint8_t TransferBuffer[kTransferSize];
extern std::int32_t LastChunk;  // byte count of the last bulk read, 0 after a failure
extern std::int32_t TickTotal;  // bytes drained in the current tick or polled read

// The last periodic timer created (0 before the first start).  A stop
// cancels it and leaves the value.  Written by the start on the caller's
// thread before its store of AcqRunning = 1, and read by a tick (to change
// its period) only after it loaded AcqRunning == 1, which orders the two.
extern TimerHandle TimerId;
// The reason of the last failed timer start.  Caller's thread only.
extern char LastErrorText[kErrorTextSize];
// The request whose failure made the transfer fault in AcqFault, for the
// words of KV318_Read's -3.  Written with AcqFault, guarded by the
// handshake as it is.
extern FailedRequest AcqFaultRequest;

// Where one polled read assembles the carried byte and all drained bytes.
extern std::uint8_t PolledBuffer[kPolledSize];

// ---- Start sequence -------------------------------------------------------

// The mode byte from the four flags of a start call.  Only bit 0 of each
// counts, and the middle two cross: flag1 -> bit 0, flag3 -> bit 1,
// flag2 -> bit 2, flag4 -> bit 3.
std::uint8_t mode_byte(std::int32_t flag1, std::int32_t flag2, std::int32_t flag3, std::int32_t flag4);

// The divider as the board takes it: its low 12 bits, at least 2.
std::uint16_t divider_value(std::int32_t divider);

// Configures conversion on `h`: stop conversion (read register 4), reset the
// USB pipe, write the mode byte, write the divider.  Stops at the first
// failing step.  Returns 0, or -1.  Touches no library state.
std::int32_t configure_conversion(Handle h, std::int32_t flag1, std::int32_t flag2, std::int32_t flag3,
                                  std::int32_t flag4, std::int32_t divider);

// Starts conversion: reads register 4, then register 1; their results
// carry no meaning.
void start_conversion(Handle h);

// Empties the ring and clears the per-drain counters (LastChunk, TickTotal,
// ReaderBusy).  Only while no timer drains.
void reset_ring_counters();

// ---- FIFO levels ----------------------------------------------------------

inline constexpr std::int32_t kMinChunk = 512;
inline constexpr std::int32_t kMaxChunk = 16384;

struct FifoLevel {
    std::int32_t level;  // bytes the FIFO is known to hold; 0 = nothing to drain
    std::int32_t chunk;  // length asked for per bulk read
};

// The level and chunk for a status register value (a RegRead8 result).
// Bits 4-6 are the level code; the chunk is twice the level, held to
// 512-16384 bytes.  A failed read (-1) is no level at all: it gives level
// 0, nothing to drain, and never the code its set bits would spell.
FifoLevel fifo_level(std::int32_t status);

// Whether a status register value reports acquisition enabled (bit 2).  A
// failed read (-1) is a failed request, never "enabled".
bool acquisition_enabled(std::int32_t status);

// ---- Who acquires -----------------------------------------------------------

// One acquisition at a time per loaded library: a stream or a polled run.
// A start claims it in one atomic step before it sends anything, so of two
// threads that start at the same moment exactly one goes on and the other
// is refused.  The transient states keep a stop from overlapping a start.
enum AcqSessionState : std::int32_t {
    kSessionIdle = 0,
    kSessionStarting = 1,  // a start call is between its claim and its outcome
    kSessionStream = 2,    // KV318_AD succeeded; its timer runs
    kSessionPolled = 3,    // KV318_M_AD succeeded
    kSessionStopping = 4,  // KV318_StopAD is ending a stream, or stopping while idle
};

// The state above.  Written and read by the start, stop and close calls on
// any caller's thread; never by the timer thread (it reads AcqRunning).
// Sequentially consistent compare-exchange makes a claim one step; the store
// that ends a transient state publishes what the start or stop wrote to the
// next thread that claims.  A mutex would do the same, but a refused start
// must not wait behind a start in progress that may take a whole channel
// timeout.
extern std::atomic<std::int32_t> AcqSession;
// The name of the export that starts an acquisition of `kind`, for the
// words of its failures.
const char* start_call(AcquisitionKind kind);

// The handle the current stream or polled run was started on, so that
// closing that handle ends it.  Written by the start that holds the claim,
// before the store that publishes kSessionStream or kSessionPolled; read by
// KV318_CloseDevice on any thread after it loads that state.
extern std::atomic<Handle> AcqSessionHandle;

// Claims acquisition for a start: idle -> starting, in one atomic step.
// Any thread.  False when another acquisition runs, starts or stops; the
// caller then returns -1 and sends nothing, and *seen (when given) holds
// the state that refused it.
bool claim_start(std::int32_t* seen = nullptr);

// Ends the claim of a start: `outcome` is kSessionStream or kSessionPolled
// for a start that succeeded on `h`, kSessionIdle for one that failed.
// Only the thread whose claim_start succeeded.
void finish_start(std::int32_t outcome, Handle h);

// The first steps of a start of `kind` on `h`, the same for KV318_AD and
// KV318_M_AD: claims acquisition (claim_start), takes the board's lock and
// configures conversion.  False when the claim or the lock is refused or a
// configuration step fails: what was taken is given back, the calling
// thread's failure text says which and why (last_error.h), and the caller
// returns -1.  True when the caller now holds the claim; `*lock` then says
// what the lock step did, for abandon_start.  Caller's thread.
bool begin_start(Handle h, AcquisitionKind kind, std::int32_t flag1, std::int32_t flag2, std::int32_t flag3,
                 std::int32_t flag4, std::int32_t divider, BoardLockStep* lock);

// Gives up a start that begin_start began and a later step failed: gives
// the board's lock back if begin_start took it, and ends the claim as idle.
// Caller's thread.
void abandon_start(Handle h, AcquisitionKind kind, BoardLockStep lock);

// ---- Draining the FIFO --------------------------------------------------------

// A drain asks again after a bulk reply of 0 bytes, but gives up after this
// many in a row.  The level the board reports is what its FIFO already
// holds, so a bulk read of it should come back with data at once; an empty
// reply is a hiccup of the USB stack (a zero-length packet at a transfer
// boundary), and a real board answers the retry.  Sixteen empty replies in
// a row, with not one byte between them, is a board that has stopped
// delivering (a stalled endpoint).  Giving up loses nothing: the bytes stay
// in the board's FIFO, and the next tick or polled read asks for them.
inline constexpr std::int32_t kMaxEmptyReplies = 16;

// A drain also stops asking once it has taken this long, however the board
// answers: a board that trickles (a few bytes a reply, or a reply every
// second) would otherwise hold the drain for as long as the level takes at
// its pace.  A tick gets the stream's long period (10 ms), also while its
// timer ticks every 2 ms (a drain that cannot keep up then is followed by
// the next tick at once), so the timer thread keeps its schedule and a
// KV318_Read waiting for the drain is never held much longer than 10 ms.  A polled read gets about a second: it runs on
// the caller's thread, and a second is far beyond what a healthy board needs for the largest level (256 KiB), yet short
// enough for a caller to stay responsive. Both bounds are checked after each reply, so a drain ends at most one reply
// after its bound.  What was drained is kept either way.  A drain that goes on past the level (see drain_fifo) stays
// within the same bound.
inline constexpr std::uint32_t kTickDrainLimitMs = 10;
inline constexpr std::uint32_t kPolledDrainLimitMs = 1000;

// Where one drain puts what the board sends.  Used on the draining thread only.
class DrainSink {
public:
    // Takes the `n` > 0 bytes of one reply (TransferBuffer, valid during the
    // call).  False ends the drain after them: the sink has no room for
    // another reply.
    virtual bool take(const std::uint8_t* bytes, std::int32_t n) = 0;
    // Asked after each reply: false ends the drain (the stream was stopped).
    virtual bool go_on() { return true; }

protected:
    ~DrainSink() = default;
};

enum class DrainEnd {
    RanDry,   // the level was drained and the last reply was shorter than asked
    Failed,   // a bulk read failed; LastChunk is 0
    Stalled,  // kMaxEmptyReplies empty replies in a row
    TimeUp,   // the time limit passed first
    Full,     // the sink has no room for another reply
    Stopped,  // the sink asked to stop
};

// Drains `fifo` from board `h` into `sink`, reply by reply through
// TransferBuffer, in two steps:
//   - first in chunks of fifo.chunk until *total (the bytes held, counting
//     any the caller already had) reaches fifo.level, asking again after
//     short or empty replies (the level is known to be there);
//   - then, as long as the board answers each request in full, in chunks
//     of kMaxChunk: the FIFO filled on while it was drained, and a board
//     converting faster than a level per period would otherwise gain on the
//     drains until it runs over.  The first reply shorter than asked ends it.
// A board that answers the level's chunks short, as a quiet board does (the
// chunk is twice the level), sees no request of the second step, so its
// bytes on the wire are those of the first alone.  Any other end above may
// come first.  Updates *total and LastChunk after each reply.  Stops asking
// once device_service().now_ms() has passed `startMs` + `limitMs`.  The
// draining thread only; the caller holds whatever guards TransferBuffer.
DrainEnd drain_fifo(Handle h, const FifoLevel& fifo, std::int32_t* total, std::uint64_t startMs, std::uint32_t limitMs,
                    DrainSink& sink);

// What an end means for the drain statistics: only a drain that ran dry
// knows the FIFO low, and the time bound is counted apart.
DrainOutcome drain_outcome(DrainEnd end);

// ---- Sample conversion ----------------------------------------------------

// Converts `count` byte pairs at `bytes` (low byte first) into signed 16-bit
// samples, sign-extended into `samples`.
void convert_samples(const std::uint8_t* bytes, std::int32_t* samples, std::size_t count);

}  // namespace kv318
