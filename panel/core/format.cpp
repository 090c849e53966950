#include "format.h"

#include <cmath>

#include "sample_units.h"

namespace kv318::panel {

namespace {

// Decimal digits of a magnitude, at least `minDigits` of them.
std::string digits(std::uint64_t magnitude, int minDigits) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    while (static_cast<int>(s.size()) < minDigits) s.insert(s.begin(), '0');
    return s;
}

std::uint64_t magnitude_of(std::int64_t v) {
    return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string format_0(std::int64_t value) {
    std::string s = value < 0 ? "-" : "";
    s += digits(magnitude_of(value), 1);
    return s;
}

std::string format_00(std::int64_t value) {
    std::string s = value < 0 ? " -" : " ";
    s += digits(magnitude_of(value), 2);
    s += ' ';
    return s;
}

std::string format_volts(double volts) {
    // Thousandths, halves away from zero (std::round).  For the panel's
    // values (code * 5 / 8192) the product is exact, so 0.3125 gives 0.313.
    const double thousandths = std::round(volts * 1000.0);
    const bool negative = thousandths < 0;
    const auto m = static_cast<std::uint64_t>(negative ? -thousandths : thousandths);
    std::string s = negative ? " -" : " ";
    s += digits(m / 1000, 1);
    s += '.';
    s += digits(m % 1000, 3);
    s += "V ";
    return s;
}

std::int32_t converter_code(std::int32_t raw) { return units::sample_code(raw); }

double code_volts(std::int32_t code) { return units::code_volts(code); }

std::string sample_line(int index, std::int32_t raw) {
    const std::int32_t code = converter_code(raw);
    return format_0(index) + std::string(11, ' ') + format_00(code) + std::string(5, ' ') +
           format_volts(code_volts(code)) + "\r";
}

std::string hex_upper(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    do {
        s.insert(s.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return s;
}

std::string input_word_text(std::int32_t value) { return "ox" + hex_upper(static_cast<std::uint32_t>(value)); }

std::string window_title(std::int32_t handle) {
    if (handle == -1) return kTitleNoBoard;
    return std::string(kTitleText) + "    HANDLE=" + hex_upper(static_cast<std::uint32_t>(handle)) + "H";
}

bool key_accepted(std::uint32_t ch) { return ch == 8 || (ch < 128 && hex_digit(static_cast<char>(ch)) >= 0); }

std::optional<std::uint16_t> parse_output_word(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::nullopt;
    const auto last = text.find_last_not_of(' ');
    text = text.substr(first, last - first + 1);
    std::uint32_t value = 0;
    for (char c : text) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        // Saturate: once over 0xFFFF the value only ever takes the clamp.
        value = value > 0xFFFF ? value : value * 16 + static_cast<std::uint32_t>(d);
    }
    return static_cast<std::uint16_t>(value > 0xFFFF ? 0xFFFF : value);
}

}  // namespace kv318::panel
