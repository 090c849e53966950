// Device-level exports: open, close, identity, raw registers, bulk read, reset.
#include <cstring>
#include <initializer_list>

#include "KV318.h"
#include "acquisition_common.h"
#include "acquisition_lock.h"
#include "channel_frame.h"
#include "registers.h"

using namespace kv318;

extern "C" {

KV318_EXPORT int32_t KV318_CALL KV318_OpenDevice(int32_t board) {
    char name[kDeviceNameSize];
    format_device_name(name, board);
    const Handle h = device_service().open(name);
    if (h != kInvalidHandle) note_board_handle(h, board);
    return h;
}

KV318_EXPORT int32_t KV318_CALL KV318_CloseDevice(int32_t handle) {
    if (handle == kInvalidHandle) return 0;
    // An acquisition on this handle ends first, as its stop call ends it:
    // its timer must not go on asking a closed handle, and a run nobody can
    // stop any more must not refuse every later start.
    const std::int32_t session = AcqSession.load();
    if (AcqSessionHandle.load() == handle) {
        if (session == kSessionStream) KV318_StopAD(handle);
        if (session == kSessionPolled) KV318_M_StopAD(handle);
    }
    // Closing the handle ends its acquisitions' hold on the board.
    forget_board_handle(handle);
    return device_service().close(handle) == 0 ? 0 : -1;
}

KV318_EXPORT int32_t KV318_CALL KV318_Info(int32_t handle, char* text) {
    if (text == nullptr) return -1;
    char a[kStringTextSize];
    char b[kStringTextSize];
    char c[kStringTextSize] = {};
    if (GetStringDescriptor(handle, a, 1) < 0) return -1;
    const std::int32_t second = GetStringDescriptor(handle, b, 2);
    if (second < 0) b[0] = '\0';
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

KV318_EXPORT int32_t KV318_CALL KV318_inb(int32_t handle, int32_t reg) {
    if (board_held_by_another(handle)) return -1;
    return RegRead8(handle, static_cast<std::uint8_t>(reg & 0xFF));
}

KV318_EXPORT int32_t KV318_CALL KV318_outb(int32_t handle, int32_t reg, int32_t value) {
    if (board_held_by_another(handle)) return -1;
    return RegWrite8(handle, static_cast<std::uint8_t>(reg & 0xFF), static_cast<std::uint8_t>(value & 0xFF));
}

KV318_EXPORT int32_t KV318_CALL KV318_BulkRead(int32_t handle, void* buffer, int32_t length) {
    if (buffer == nullptr || board_held_by_another(handle)) return -1;
    return BulkIn(handle, static_cast<std::uint8_t*>(buffer), length);
}

KV318_EXPORT int32_t KV318_CALL KV318_ResetUSB(int32_t handle) {
    if (board_held_by_another(handle)) return -1;
    return ResetUsb(handle);
}

}  // extern "C"
