#include "last_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "registers.h"
#include "requests.h"

namespace kv318 {
namespace {

// The calling thread's text and its length.  Written and read by that
// thread alone, so they need no atomics; plain arrays, so no thread ever
// runs a destructor of ours at its end.
thread_local char t_text[kLastErrorCapacity];
thread_local std::size_t t_length = 0;

// The calling thread's last failed request.
thread_local FailedRequest t_request;

void append_v(const char* format, std::va_list args) {
    const std::size_t room = kLastErrorCapacity - t_length;
    if (room <= 1) return;
    const int n = std::vsnprintf(t_text + t_length, room, format, args);
    if (n < 0) {
        t_text[t_length] = '\0';
        return;
    }
    // A text that does not fit is cut where vsnprintf cut it.
    t_length += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
}

void append(const char* format, ...) __attribute__((format(printf, 1, 2)));
void append(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
}

// The request `r` in words: "reading register 0 (status)".
void append_request(const FailedRequest& r) {
    switch (r.kind) {
    case RequestKind::Command: {
        if (r.code == kCmdResetUsb) {
            append("resetting the USB pipe");
            return;
        }
        const bool read = r.code == kCmdRead8 || r.code == kCmdRead16;
        const bool write = r.code == kCmdWrite8 || r.code == kCmdWrite16;
        if (!read && !write) {
            append("command 0x%02X", static_cast<unsigned>(r.code));
            return;
        }
        append("%s register %u", read ? "reading" : "writing", static_cast<unsigned>(r.arg));
        if (const char* name = register_name(r.code, static_cast<std::uint8_t>(r.arg)); name != nullptr)
            append(" (%s)", name);
        return;
    }
    case RequestKind::String:
        append("reading identity string %u", static_cast<unsigned>(r.arg));
        return;
    case RequestKind::Bulk:
        append("a bulk read of %u bytes", static_cast<unsigned>(r.arg));
        return;
    case RequestKind::None:
        break;
    }
    append("a board request");
}

const char* fault_words(RequestFault f) {
    switch (f) {
    case RequestFault::Disconnected:
        return "the board is disconnected (its driver closed the connection or stopped answering)";
    case RequestFault::OutOfStep:
        return "the driver's replies went out of step with the requests, so the handle is unusable; "
               "close it and open the board again";
    case RequestFault::NotOpen:
    case RequestFault::Inherited:
    case RequestFault::Refused:
        break;
    }
    return "the driver refused it";
}

}  // namespace

void clear_last_error() {
    t_length = 0;
    t_text[0] = '\0';
}

void record_failure(const char* call, const char* format, ...) {
    clear_last_error();
    append("%s: ", call);
    std::va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
}

void append_failure(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
}

std::int32_t copy_last_error(char* text, std::int32_t size) {
    if (text == nullptr || size < 1) return -1;
    const std::size_t n = t_length < static_cast<std::size_t>(size) ? t_length : static_cast<std::size_t>(size) - 1;
    std::memcpy(text, t_text, n);
    text[n] = '\0';
    return static_cast<std::int32_t>(t_length);
}

void note_failed_request(Handle h, RequestKind kind, std::uint8_t code, std::uint32_t arg) {
    t_request = FailedRequest{kind, code, arg, h, device_service().last_request_fault()};
}

FailedRequest last_failed_request() { return t_request; }

void record_request_failure(const char* call, const char* context, const FailedRequest& r) {
    clear_last_error();
    append("%s: ", call);
    if (context != nullptr) append("%s: ", context);
    if (r.fault == RequestFault::NotOpen) {
        append("handle %d is not open", static_cast<int>(r.handle));
        return;
    }
    if (r.fault == RequestFault::Inherited) {
        append("handle %d belongs to the process this one was forked from; open the board again here",
               static_cast<int>(r.handle));
        return;
    }
    append_request(r);
    append(" on handle %d failed: %s", static_cast<int>(r.handle), fault_words(r.fault));
}

void record_request_failure(const char* call, const char* context) { record_request_failure(call, context, t_request); }

}  // namespace kv318
