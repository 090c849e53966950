// The local board's device-level calls: open, close, identity, raw
// registers, bulk read, reset.
#include <cstring>
#include <initializer_list>

#include "KV318.h"
#include "local_board.h"
#include "acquisition_common.h"
#include "acquisition_lock.h"
#include "channel_frame.h"
#include "last_error.h"
#include "registers.h"

using namespace kv318;

namespace {

// The raw exports' refusal while another process holds h's board; false
// when the export may go on.  Writes the failure text for `call`.
bool refused_as_busy(const char* call, Handle h) {
    std::int32_t board = -1;
    if (!board_held_by_another(h, &board)) return false;
    record_lock_refusal(call, LockRefusal{board, true});
    return true;
}

// A raw export's result: `r`, with the failure text for `call` when it is
// negative.
std::int32_t checked(const char* call, std::int32_t r) {
    if (r < 0) record_request_failure(call);
    return r;
}

}  // namespace

namespace kv318::local {

std::int32_t open_device(int32_t board) {
    clear_last_error();
    char name[kDeviceNameSize];
    format_device_name(name, board);
    DeviceService& device = device_service();
    const Handle h = device.open(name);
    if (h != kInvalidHandle) {
        note_board_handle(h, board);
        return h;
    }
    const char* why = device.open_failure();
    record_failure("KV318_OpenDevice", "board %d: %s", static_cast<int>(board),
                   why != nullptr && why[0] != '\0' ? why : "no board answers");
    return h;
}

std::int32_t close_device(int32_t handle) {
    clear_last_error();
    if (handle == kInvalidHandle) return 0;
    // An acquisition on this handle ends first, as its stop call ends it:
    // its timer must not go on asking a closed handle, and a run nobody can
    // stop any more must not refuse every later start.
    const std::int32_t session = AcqSession.load();
    if (AcqSessionHandle.load() == handle) {
        if (session == kSessionStream) stop_ad(handle);
        if (session == kSessionPolled) m_stop_ad(handle);
    }
    // Closing the handle ends its acquisitions' hold on the board.
    forget_board_handle(handle);
    DeviceService& device = device_service();
    if (device.close(handle) == 0) return 0;
    if (device.last_request_fault() == RequestFault::NotOpen)
        record_failure("KV318_CloseDevice", "handle %d is not open", static_cast<int>(handle));
    else record_failure("KV318_CloseDevice", "the system refused to close handle %d", static_cast<int>(handle));
    return -1;
}

std::int32_t info(int32_t handle, char* text) {
    constexpr char kCall[] = "KV318_Info";
    clear_last_error();
    if (text == nullptr) {
        record_failure(kCall, "text is NULL");
        return -1;
    }
    char a[kStringTextSize];
    char b[kStringTextSize];
    char c[kStringTextSize] = {};
    if (GetStringDescriptor(handle, a, 1) < 0) return checked(kCall, -1);
    const std::int32_t second = GetStringDescriptor(handle, b, 2);
    if (second < 0) {
        record_request_failure(kCall, "string 1 was written without string 2");
        b[0] = '\0';
    }
    // "%s   %s", bounded by slot C; each string holds at most 32 characters.
    std::size_t n = 0;
    for (const char* part : {static_cast<const char*>(a), "   ", static_cast<const char*>(b)})
        for (; *part != '\0' && n + 1 < sizeof c; ++part) c[n++] = *part;
    // Exactly KV318_INFO_BYTES (70), whatever the length: the strings are at
    // most 32 characters each, so the text is always terminated within them.
    static_assert(KV318_INFO_BYTES == 70 && KV318_INFO_BYTES <= sizeof c, "KV318.h states what KV318_Info writes");
    std::memcpy(text, c, KV318_INFO_BYTES);
    return second;
}

// Raw access goes straight to the board, past every rule an acquisition
// keeps: a read of the mode register stops conversion, a reset or a bulk
// read takes the FIFO's bytes.  So while another process holds the board's
// acquisition lock these four send nothing and fail, as a start does; the
// holder itself (its own stream uses the same requests) is not held back.

std::int32_t inb(int32_t handle, int32_t reg) {
    constexpr char kCall[] = "KV318_inb";
    clear_last_error();
    if (refused_as_busy(kCall, handle)) return -1;
    return checked(kCall, RegRead8(handle, static_cast<std::uint8_t>(reg & 0xFF)));
}

std::int32_t outb(int32_t handle, int32_t reg, int32_t value) {
    constexpr char kCall[] = "KV318_outb";
    clear_last_error();
    if (refused_as_busy(kCall, handle)) return -1;
    return checked(kCall,
                   RegWrite8(handle, static_cast<std::uint8_t>(reg & 0xFF), static_cast<std::uint8_t>(value & 0xFF)));
}

std::int32_t bulk_read(int32_t handle, void* buffer, int32_t length) {
    constexpr char kCall[] = "KV318_BulkRead";
    clear_last_error();
    if (buffer == nullptr) {
        record_failure(kCall, "buffer is NULL");
        return -1;
    }
    if (refused_as_busy(kCall, handle)) return -1;
    return checked(kCall, BulkIn(handle, static_cast<std::uint8_t*>(buffer), length));
}

std::int32_t reset_usb(int32_t handle) {
    constexpr char kCall[] = "KV318_ResetUSB";
    clear_last_error();
    if (refused_as_busy(kCall, handle)) return -1;
    return checked(kCall, ResetUsb(handle));
}

}  // namespace kv318::local
