#include "registers.h"

#include <cstring>

#include "last_error.h"
#include "requests.h"

namespace kv318 {

std::int32_t ControlRequest(Handle h, std::uint8_t code, const std::uint8_t (&values)[4], std::uint8_t* reply,
                            std::uint8_t replyLength) {
    std::uint8_t in[kCommandInputSize];
    build_command(in, code, replyLength, values);
    std::uint8_t out[kCommandReplySize] = {};
    std::uint32_t returned = 0;
    if (!device_service().ioctl(h, kIoctlCommand, in, sizeof in, out, sizeof out, &returned)) {
        note_failed_request(h, RequestKind::Command, code, values[0]);
        return -1;
    }
    // The service never reports more than the capacity; the clamp keeps a
    // faulty one from writing past the caller's reply area all the same.
    if (returned > sizeof out) returned = sizeof out;
    std::memcpy(reply, out, returned);
    return 0;
}

std::int32_t GetStringDescriptor(Handle h, char* text, std::uint8_t index) {
    std::uint8_t in[kStringRequestSize];
    build_string_request(in, index);
    std::uint8_t out[kStringReplySize] = {};
    std::uint32_t returned = 0;
    if (!device_service().ioctl(h, kIoctlStringDescriptor, in, sizeof in, out, sizeof out, &returned)) {
        note_failed_request(h, RequestKind::String, 0, index);
        return -1;
    }
    if (returned > sizeof out) returned = sizeof out;
    // The count is in bytes; each character is one 16-bit unit.
    const std::uint32_t units = returned / 2;
    std::uint32_t n = 0;
    for (; n < units; ++n) {
        const std::uint8_t lo = out[std::size_t{2} * n];
        const std::uint8_t hi = out[std::size_t{2} * n + 1];
        if (lo == 0 && hi == 0) break;
        text[n] = static_cast<char>(lo);
    }
    text[n] = '\0';
    return 0;
}

const char* register_name(std::uint8_t code, std::uint8_t reg) {
    struct Name {
        std::uint8_t code, reg;
        const char* name;
    };
    static constexpr Name kNames[] = {
        {kCmdRead8, reg::kStatus, "status"},
        {kCmdRead8, reg::kStart, "start conversion"},
        {kCmdRead8, reg::kMode, "stop conversion"},
        {kCmdWrite8, reg::kMode, "mode"},
        {kCmdWrite16, reg::kDivider, "divider"},
        {kCmdRead8, reg::kCounterLow, "counter low byte"},
        {kCmdRead8, reg::kCounterHigh, "counter high byte"},
        {kCmdRead8, reg::kCounterState, "counter state"},
        {kCmdWrite8, reg::kCounterState, "counter start"},
        {kCmdWrite8, reg::kPulseControl, "pulse control"},
        {kCmdWrite8, reg::kPulseDivisor, "pulse divisor"},
        {kCmdRead16, reg::kDigital, "digital inputs"},
        {kCmdWrite16, reg::kDigital, "digital outputs"},
    };
    for (const Name& n : kNames)
        if (n.code == code && n.reg == reg) return n.name;
    return nullptr;
}

namespace {
// Every register request sends 8 as its reply length.
std::int32_t command(Handle h, std::uint8_t code, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                     std::uint8_t* reply) {
    const std::uint8_t values[4] = {b0, b1, b2, 0};
    return ControlRequest(h, code, values, reply, kCommandReplyLength);
}
}  // namespace

std::int32_t RegRead8(Handle h, std::uint8_t reg) {
    std::uint8_t reply[kCommandReplySize] = {};
    if (command(h, kCmdRead8, reg, 0, 0, reply) < 0) return -1;
    return reply[0];
}

std::int32_t RegRead16(Handle h, std::uint8_t reg) {
    std::uint8_t reply[kCommandReplySize] = {};
    if (command(h, kCmdRead16, reg, 0, 0, reply) < 0) return -1;
    return reply[0] + reply[1] * 256;
}

std::int32_t RegWrite8(Handle h, std::uint8_t reg, std::uint8_t value) {
    std::uint8_t reply[kCommandReplySize];
    return command(h, kCmdWrite8, reg, value, 0, reply) < 0 ? -1 : 0;
}

std::int32_t RegWrite16(Handle h, std::uint8_t reg, std::uint16_t value) {
    std::uint8_t reply[kCommandReplySize];
    return command(h, kCmdWrite16, reg, static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8),
                   reply) < 0
               ? -1
               : 0;
}

std::int32_t ResetUsb(Handle h) {
    std::uint8_t reply[kCommandReplySize];
    const std::int32_t r = command(h, kCmdResetUsb, 0, 0, 0, reply);
    // Give the board its millisecond to settle whether or not the reset went through.
    device_service().sleep_ms(1);
    return r < 0 ? -1 : 0;
}

std::int32_t BulkIn(Handle h, std::uint8_t* buffer, std::int32_t length) {
    std::uint8_t in[kBulkReadInputSize];
    const std::uint32_t capacity = build_bulk_read(in, length);
    std::uint32_t returned = 0;
    if (!device_service().ioctl(h, kIoctlBulkRead, in, sizeof in, buffer, capacity, &returned)) {
        note_failed_request(h, RequestKind::Bulk, 0, capacity - 1);  // the length as the board was asked
        return -1;
    }
    if (returned > capacity) returned = capacity;
    return static_cast<std::int32_t>(returned);
}

}  // namespace kv318
