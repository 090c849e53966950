#include "sample_format.h"

#include <charconv>
#include <cstring>

#include "bytes.h"
#include "trigger.h"

namespace kv318::pipeline {

CsvFormatter::CsvFormatter(std::uint64_t clockHz, std::uint32_t divider)
    : clockHz_(clockHz == 0 ? 1 : clockHz), divider_(divider == 0 ? 1 : divider) {
    // The fewest decimals that write every sample time exactly; the period
    // of a clock that is not a divisor of a power of ten is rounded at 9.
    while (decimals_ < 9 && (divider_ * scale_) % clockHz_ != 0) {
        ++decimals_;
        scale_ *= 10;
    }
    if ((divider_ * scale_) % clockHz_ == 0) periodUnits_ = divider_ * scale_ / clockHz_;
    for (std::int32_t code = units::kCodeMin; code <= units::kCodeMax; ++code) {
        Volts& v = volts_[static_cast<std::size_t>(code - units::kCodeMin)];
        // Code x 5 / 8192 has at most 13 binary places, so the shortest
        // fixed text is exact.
        const auto r = std::to_chars(v.text, v.text + sizeof v.text, units::code_volts(code), std::chars_format::fixed);
        v.size = static_cast<std::uint8_t>(r.ptr - v.text);
    }
}

std::size_t CsvFormatter::line(std::uint64_t index, std::int32_t sample, char* out) const {
    char* p = out;
    char* const end = out + kMaxLine;
    p = std::to_chars(p, end, index).ptr;
    *p++ = ',';
    // The time's sign first, then its size from the samples apart.
    const std::int64_t apart = analysis::samples_from_trigger(index, zero_);
    if (apart < 0) *p++ = '-';
    const std::uint64_t from = apart < 0 ? 0 - static_cast<std::uint64_t>(apart) : static_cast<std::uint64_t>(apart);
    if (periodUnits_ != 0) {
        // samples x period in units of the last decimal, the point put in.
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, from * periodUnits_);
        const auto n = static_cast<int>(r.ptr - digits);
        if (n <= decimals_) {
            *p++ = '0';
            *p++ = '.';
            for (int i = n; i < decimals_; ++i) *p++ = '0';
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
        } else {
            const auto whole = static_cast<std::size_t>(n - decimals_);
            std::memcpy(p, digits, whole);
            p += whole;
            if (decimals_ > 0) {
                *p++ = '.';
                std::memcpy(p, digits + whole, static_cast<std::size_t>(decimals_));
                p += decimals_;
            }
        }
    } else {
        // index x divider / clock in whole seconds and 9 rounded digits;
        // the product stays far inside 64 bits for any run a disk can hold.
        const std::uint64_t ticks = from * divider_;
        std::uint64_t seconds = ticks / clockHz_;
        std::uint64_t fraction = ((ticks % clockHz_) * scale_ + clockHz_ / 2) / clockHz_;
        if (fraction >= scale_) {  // rounded up to the next second
            fraction -= scale_;
            ++seconds;
        }
        p = std::to_chars(p, end, seconds).ptr;
        *p++ = '.';
        char digits[20];
        const auto r = std::to_chars(digits, digits + sizeof digits, fraction);
        const auto n = static_cast<int>(r.ptr - digits);
        for (int i = n; i < decimals_; ++i) *p++ = '0';
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        p += n;
    }
    *p++ = ',';
    const std::int32_t code = sample_code(static_cast<std::int16_t>(sample));
    p = std::to_chars(p, end, code).ptr;
    *p++ = ',';
    const Volts& v = volts_[static_cast<std::size_t>(code - units::kCodeMin)];
    std::memcpy(p, v.text, v.size);
    p += v.size;
    *p++ = '\n';
    return static_cast<std::size_t>(p - out);
}

std::array<std::uint8_t, kWavHeaderBytes> wav_header(std::uint32_t sampleRate, std::uint32_t dataBytes) {
    std::array<std::uint8_t, kWavHeaderBytes> h{};
    std::uint8_t* p = h.data();
    std::memcpy(p, "RIFF", 4);
    put_u32le(p + 4, static_cast<std::uint32_t>(36 + static_cast<std::uint64_t>(dataBytes)));
    std::memcpy(p + 8, "WAVEfmt ", 8);
    put_u32le(p + 16, 16);  // fmt chunk size
    put_u16le(p + 20, 1);   // PCM
    put_u16le(p + 22, 1);   // mono
    put_u32le(p + 24, sampleRate);
    put_u32le(p + 28, sampleRate * 2u);  // bytes per second
    put_u16le(p + 32, 2);                // bytes per frame
    put_u16le(p + 34, 16);               // bits per sample
    std::memcpy(p + 36, "data", 4);
    put_u32le(p + 40, dataBytes);
    return h;
}

std::uint32_t wav_rate(std::uint64_t clockHz, std::uint32_t divider) {
    if (divider == 0) divider = 1;
    const std::uint64_t rate = (clockHz + divider / 2) / divider;
    if (rate == 0) return 1;
    return rate > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(rate);
}

}  // namespace kv318::pipeline
