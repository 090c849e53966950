// The local board's digital I/O, counter and pulse calls.  Each is a short fixed sequence of
// register accesses and keeps no state in the library.
#include "KV318.h"
#include "local_board.h"
#include "last_error.h"
#include "registers.h"

using namespace kv318;

namespace {
// A failed state read (-1) is used as the byte 0xFF.
std::uint8_t pulse_state(Handle h) { return static_cast<std::uint8_t>(RegRead8(h, reg::kCounterState) & 0xFF); }

// `r`, with the failure text for `call` when it is negative.
std::int32_t checked(const char* call, std::int32_t r) {
    if (r < 0) record_request_failure(call);
    return r;
}
}  // namespace

namespace kv318::local {

std::int32_t di(int32_t handle) {
    clear_last_error();
    // 65535 on failure, as for all inputs high: only the text tells them apart.
    return checked("KV318_DI", RegRead16(handle, reg::kDigital)) & 0xFFFF;
}

std::int32_t do_write(int32_t handle, int32_t value) {
    clear_last_error();
    return checked("KV318_DO", RegWrite16(handle, reg::kDigital, static_cast<std::uint16_t>(value & 0xFFFF)));
}

std::int32_t c_run(int32_t handle) {
    clear_last_error();
    return checked("KV318_CRun", RegWrite8(handle, reg::kCounterState, 0));
}

std::int32_t c_read(int32_t handle) {
    clear_last_error();
    // -1 from a failed read has bit 0 set too, so it also means "no count";
    // only a failed read writes the text.
    const std::int32_t state = checked("KV318_CRead", RegRead8(handle, reg::kCounterState));
    if (state & kCounterInvalid) return -1;
    const std::int32_t low = RegRead8(handle, reg::kCounterLow) & 0xFF;
    const std::int32_t high = RegRead8(handle, reg::kCounterHigh) & 0xFF;
    return high * 256 + low;
}

std::int32_t p_run(int32_t handle, int32_t mode, int32_t divisor) {
    clear_last_error();
    const std::int32_t s = pulse_state(handle);
    const std::int32_t control = mode == 0 ? ((s & 0x3F) | kPulseRun) : (s | kPulseRun | kPulseOneShot);
    // The divisor is written even when the control write fails.
    (void)RegWrite8(handle, reg::kPulseControl, static_cast<std::uint8_t>(control));
    if (divisor > 255) divisor = 255;
    if (divisor < 2) divisor = 2;
    return checked("KV318_PRun", RegWrite8(handle, reg::kPulseDivisor, static_cast<std::uint8_t>(divisor)));
}

std::int32_t p_stop(int32_t handle) {
    clear_last_error();
    return checked("KV318_PStop",
                   RegWrite8(handle, reg::kPulseControl, static_cast<std::uint8_t>(pulse_state(handle) & 0x7F)));
}

}  // namespace kv318::local
