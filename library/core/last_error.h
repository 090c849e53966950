// The calling thread's last failure, in words, as KV318_LastError hands it
// out.  Every export but KV318_LastError empties the text first thing, and
// writes it where it fails, so after any call the text is that call's: the
// failure it returned, or nothing when it succeeded.
//
// A failure is often found below the export that reports it: a register
// primitive's request fails, and only the export knows whether that fails
// the call (KV318_StopAD ignores a failed stop request; KV318_PRun ignores
// its control write).  So the primitives only note the failed request, on
// the thread that made it, and the export that fails writes the text from
// the note.  A timer tick notes its requests on the timer's thread; the
// stream keeps the note of the tick's fault for KV318_Read (AcqFaultRequest).
//
// Everything here is per thread (thread_local), so two threads' failures
// never mix, and it is plain data with no destructor: a thread that ends,
// or a library unloaded while threads live on, frees nothing of ours.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_service.h"

namespace kv318 {

// The longest text kept, terminating zero included; longer texts are cut.
inline constexpr std::size_t kLastErrorCapacity = 1024;

// Empties the calling thread's text.  Called first by every export but
// KV318_LastError.
void clear_last_error();

// Writes the calling thread's text: "`call`: " and then `format` with its
// arguments as printf formats them, cut to kLastErrorCapacity.  Calling
// thread; `call` is an export's name.
void record_failure(const char* call, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Adds `format`, formatted, to the end of the calling thread's text.
void append_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies the calling thread's text into `text`, which holds `size` bytes:
// at most size - 1 bytes of it and a terminating zero.  Returns the text's
// whole length without the zero (0 when the thread has no failure
// recorded), or -1 when `text` is NULL or `size` is below 1 (then nothing
// is written).  Calling thread.
std::int32_t copy_last_error(char* text, std::int32_t size);

// ---- Failed requests ------------------------------------------------------

enum class RequestKind : std::uint8_t {
    None,     // no request failed on this thread yet
    Command,  // a register command: `code` and `arg` (the register) say which
    String,   // an identity string read: `arg` is its index
    Bulk,     // a bulk read: `arg` is the length asked for
};

// One failed request as the thread that made it saw it.  Plain data, so a
// stream can keep the timer's fault for the reader's thread.
struct FailedRequest {
    RequestKind kind = RequestKind::None;
    std::uint8_t code = 0;  // the command code (Command)
    std::uint32_t arg = 0;
    Handle handle = kInvalidHandle;
    RequestFault fault = RequestFault::Refused;  // what the device service said
};

// Notes that a request on `h` failed, asking the device service why.
// Called by the register primitives on the thread that made the request.
void note_failed_request(Handle h, RequestKind kind, std::uint8_t code, std::uint32_t arg);

// The calling thread's last failed request (kind None before the first).
FailedRequest last_failed_request();

// Writes the calling thread's text for export `call` from request `r`,
// after `context` (a phrase such as "configuring the board", or nullptr):
//   "KV318_DO: handle 7 is not open"                      (NotOpen)
//   "KV318_DO: writing register 14 (digital outputs) on handle 7 failed:
//    the driver refused it"                               (the others)
// Calling thread.
void record_request_failure(const char* call, const char* context, const FailedRequest& r);

// record_request_failure with the calling thread's last failed request.
void record_request_failure(const char* call, const char* context = nullptr);

}  // namespace kv318
