// The one reading of a typed number: every spelling each kind takes or
// refuses, the edges of a range, overflow, and the words of a refusal.
#include "numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace kv318::pipeline {
namespace {

using S = NumberStatus;

TEST(Numbers, WholeNumbersAreDecimalOrHexWithOneSignAndNothingElse) {
    const struct {
        const char* text;
        S status;
        bool negative;
        std::uint64_t magnitude;
    } cases[] = {
        {"0", S::Ok, false, 0},
        {"7", S::Ok, false, 7},
        {"+7", S::Ok, false, 7},
        {"-7", S::Ok, true, 7},
        {"-0", S::Ok, true, 0},
        {"0x1f", S::Ok, false, 31},
        {"0X1F", S::Ok, false, 31},
        {"-0x10", S::Ok, true, 16},
        {"0x0010", S::Ok, false, 16},  // hex cannot be taken for octal
        {"18446744073709551615", S::Ok, false, UINT64_MAX},
        {"0xFFFFFFFFFFFFFFFF", S::Ok, false, UINT64_MAX},
        {"18446744073709551616", S::TooLarge, false, 0},
        {"0x10000000000000000", S::TooLarge, false, 0},
        {"99999999999999999999999", S::TooLarge, false, 0},
        {"010", S::ZeroPrefix, false, 0},
        {"00", S::ZeroPrefix, false, 0},
        {"-010", S::ZeroPrefix, false, 0},
        {"+07", S::ZeroPrefix, false, 0},
        {"", S::NotANumber, false, 0},
        {"+", S::NotANumber, false, 0},
        {"-", S::NotANumber, false, 0},
        {"0x", S::NotANumber, false, 0},
        {"0x+5", S::NotANumber, false, 0},
        {"0x-5", S::NotANumber, false, 0},
        {"--1", S::NotANumber, false, 0},
        {"+-1", S::NotANumber, false, 0},
        {" 1", S::NotANumber, false, 0},
        {"1 ", S::NotANumber, false, 0},
        {"1 2", S::NotANumber, false, 0},
        {"12abc", S::NotANumber, false, 0},
        {"1.5", S::NotANumber, false, 0},
        {"1e3", S::NotANumber, false, 0},
        {"0x1g", S::NotANumber, false, 0},
        {"abc", S::NotANumber, false, 0},
        {"inf", S::NotANumber, false, 0},
    };
    for (const auto& c : cases) {
        bool negative = false;
        std::uint64_t magnitude = 12345;
        EXPECT_EQ(read_whole(c.text, &negative, &magnitude), c.status) << "'" << c.text << "'";
        if (c.status != S::Ok) {
            EXPECT_EQ(magnitude, 12345u) << "'" << c.text << "' left the value alone";
            continue;
        }
        EXPECT_EQ(negative, c.negative) << c.text;
        EXPECT_EQ(magnitude, c.magnitude) << c.text;
    }
    // A whole number over the unsigned range, with its edges.
    const struct {
        const char* text;
        std::uint64_t lo, hi;
        bool taken;
    } ranged[] = {
        {"1", 1, 16, true},
        {"16", 1, 16, true},
        {"0", 1, 16, false},
        {"17", 1, 16, false},
        {"-0", 0, 16, true},
        {"-1", 0, 16, false},
        {"0x10", 1, 16, true},
        {"010", 0, 16, false},
        {"+0x0", 0, 16, true},
        {"18446744073709551615", 0, UINT64_MAX, true},
        {"18446744073709551616", 0, UINT64_MAX, false},
    };
    for (const auto& c : ranged) {
        std::uint64_t v = 99;
        EXPECT_EQ(parse_unsigned_within(c.text, c.lo, c.hi, &v), c.taken) << c.text;
        if (!c.taken) {
            EXPECT_EQ(v, 99u) << c.text;
        }
    }
    // Where a leading zero is decimal, it is ten and never eight; hex and
    // the range are read as ever.
    for (const char* text : {"010", "0010", "+010"}) {
        std::uint64_t v = 0;
        EXPECT_TRUE(parse_unsigned_within(text, 0, 16, &v, LeadingZero::Decimal)) << text;
        EXPECT_EQ(v, 10u) << text;
    }
    std::uint64_t v = 0;
    EXPECT_FALSE(parse_unsigned_within("017", 0, 16, &v, LeadingZero::Decimal));
    EXPECT_TRUE(parse_unsigned_within("0x010", 0, 16, &v, LeadingZero::Decimal));
    EXPECT_EQ(v, 16u);
}

TEST(Numbers, RealNumbersAreDecimalFiniteAndLocaleFree) {
    const struct {
        const char* text;
        S status;
        double value;
    } cases[] = {
        {"0", S::Ok, 0},
        {"1.5", S::Ok, 1.5},
        {"+2", S::Ok, 2},
        {"-2.25", S::Ok, -2.25},
        {".5", S::Ok, 0.5},
        {"5.", S::Ok, 5},
        {"1e-3", S::Ok, 1e-3},
        {"1E3", S::Ok, 1e3},
        {"-1e+2", S::Ok, -100},
        {"007", S::Ok, 7},  // no octal among reals, so no ambiguity
        {"1.7976931348623157e308", S::Ok, std::numeric_limits<double>::max()},
        {"1e400", S::TooLarge, 0},
        {"-1e400", S::TooLarge, 0},
        {"1e-400", S::TooLarge, 0},
        {"inf", S::TooLarge, 0},
        {"-Infinity", S::TooLarge, 0},
        {"nan", S::TooLarge, 0},
        {"NaN", S::TooLarge, 0},
        {"", S::NotANumber, 0},
        {"+", S::NotANumber, 0},
        {".", S::NotANumber, 0},
        {"e3", S::NotANumber, 0},
        {"1e", S::NotANumber, 0},
        {"--1", S::NotANumber, 0},
        {"+-1", S::NotANumber, 0},
        {"-+1", S::NotANumber, 0},
        {" 1", S::NotANumber, 0},
        {"1 ", S::NotANumber, 0},
        {"\t1", S::NotANumber, 0},
        {"1,5", S::NotANumber, 0},  // a locale's comma is no point here
        {"0x10", S::NotANumber, 0},
        {"0x1p3", S::NotANumber, 0},
        {"1.5V", S::NotANumber, 0},
        {"infinite", S::NotANumber, 0},
        {"abc", S::NotANumber, 0},
    };
    for (const auto& c : cases) {
        double v = -7;
        EXPECT_EQ(read_real(c.text, &v), c.status) << "'" << c.text << "'";
        EXPECT_EQ(v, c.status == S::Ok ? c.value : -7) << "'" << c.text << "'";
    }
}

TEST(Numbers, DurationsTakeOneUnitOrTheOptionsOwn) {
    constexpr double kNone = -1;
    const struct {
        const char* text;
        double bareUnit;  // what a bare number counts; 0: a unit is required
        double seconds;   // kNone: refused
        S status;
    } cases[] = {
        {"1", 1, 1, S::Ok},
        {"10", 1e-3, 0.01, S::Ok},  // an option in milliseconds
        {"0.001", 1, 0.001, S::Ok},
        {"2s", 1, 2, S::Ok},
        {"2 s", 1, 2, S::Ok},
        {"5ms", 1, 5e-3, S::Ok},
        {"200us", 1, 200e-6, S::Ok},
        {"200 us", 1, 200e-6, S::Ok},
        {"50ns", 1, 50e-9, S::Ok},
        {"1.5ms", 0, 1.5e-3, S::Ok},
        {"-1s", 1, -1, S::Ok},  // the option's range refuses it
        {"1e-3s", 1, 1e-3, S::Ok},
        {"5", 0, kNone, S::NotANumber},
        {"", 1, kNone, S::NotANumber},
        {"s", 1, kNone, S::NotANumber},
        {"ms", 1, kNone, S::NotANumber},
        {" s", 1, kNone, S::NotANumber},
        {"1  s", 1, kNone, S::NotANumber},
        {" 1s", 1, kNone, S::NotANumber},
        {"1s ", 1, kNone, S::NotANumber},
        {"1m s", 1, kNone, S::NotANumber},
        {"1sec", 1, kNone, S::NotANumber},
        {"1S", 1, kNone, S::NotANumber},
        {"1MS", 1, kNone, S::NotANumber},
        {"1h", 1, kNone, S::NotANumber},
        {"1ss", 1, kNone, S::NotANumber},
        {"0x1s", 1, kNone, S::NotANumber},
        {"fast", 1, kNone, S::NotANumber},
        {"nans", 1, kNone, S::NotANumber},  // "na" in ns
        {"nan s", 1, kNone, S::TooLarge},
        {"1e400ms", 1, kNone, S::TooLarge},
    };
    for (const auto& c : cases) {
        double v = kNone;
        EXPECT_EQ(read_duration(c.text, c.bareUnit, &v), c.status) << "'" << c.text << "'";
        EXPECT_DOUBLE_EQ(v, c.seconds) << "'" << c.text << "'";
    }
}

// The words of a refusal: the value's name, the text as typed, the range.
constexpr Limit kRegister{"register", 0, 0xFF, true};
constexpr Limit kDivider{"divider", 2, 4095, false};
constexpr Limit kWide{"sample count", 1, INT64_MAX, false};
constexpr RealLimit kPercent{"pre-trigger", 0, 100};
constexpr RealLimit kHoldoff{"holdoff", 0, 100};

enum class Kind { Whole, Real, Duration };

// Reads `text` as `kind` against the limit of that kind; the value read,
// in decimal, lands in *value when taken.
std::string parse_as(Kind kind, const Limit& whole, const RealLimit& real, const std::string& text,
                     std::string* value) {
    if (kind == Kind::Whole) {
        std::int64_t n = 0;
        const std::string bad = parse_within(whole, text, &n);
        if (bad.empty()) *value = std::to_string(n);
        return bad;
    }
    double x = 0;
    const std::string bad = kind == Kind::Real ? parse_real(real, text, &x) : parse_duration(real, text, 1, &x);
    if (bad.empty()) *value = std::to_string(x);
    return bad;
}

TEST(Numbers, RefusalsNameTheValueTheTextAndTheRange) {
    const struct {
        Kind kind;
        Limit whole;
        RealLimit real;
        const char* text;
        const char* value;  // what was read, in decimal, when taken
        const char* says;   // the whole refusal, when refused
    } cases[] = {
        {Kind::Whole, kDivider, {}, "2", "2", ""},
        {Kind::Whole, kDivider, {}, "4095", "4095", ""},
        {Kind::Whole, kDivider, {}, "0xFFF", "4095", ""},
        {Kind::Whole, kDivider, {}, "1", "", "divider 1 is out of range 2-4095"},
        {Kind::Whole, kDivider, {}, "4096", "", "divider 4096 is out of range 2-4095"},
        {Kind::Whole, kDivider, {}, "-0x1", "", "divider -1 is out of range 2-4095"},
        {Kind::Whole, kRegister, {}, "256", "", "register 256 is out of range 0-255 (0x00-0xFF)"},
        {Kind::Whole, kWide, {}, "9223372036854775807", "9223372036854775807", ""},
        {Kind::Whole,
         kWide,
         {},
         "9223372036854775808",
         "",
         "sample count 9223372036854775808 is out of range 1-9223372036854775807"},
        {Kind::Whole,
         kWide,
         {},
         "-9223372036854775808",
         "",
         "sample count -9223372036854775808 is out of range 1-9223372036854775807"},
        {Kind::Whole,
         kWide,
         {},
         "99999999999999999999999",
         "",
         "sample count 99999999999999999999999 is out of range 1-9223372036854775807"},
        {Kind::Whole, kDivider, {}, "abc", "", "'abc' is not a number"},
        {Kind::Whole, kDivider, {}, " 50", "", "' 50' is not a number"},
        {Kind::Whole, kDivider, {}, "050", "", "'050': write decimal without a leading zero, or hex as 0x..."},
        {Kind::Real, {}, kPercent, "0", "0.000000", ""},
        {Kind::Real, {}, kPercent, "100", "100.000000", ""},
        {Kind::Real, {}, kPercent, "100.001", "", "pre-trigger 100.001 is out of range 0 to 100"},
        {Kind::Real, {}, kPercent, "-0.5", "", "pre-trigger -0.5 is out of range 0 to 100"},
        {Kind::Real, {}, kPercent, "1e400", "", "pre-trigger 1e400 is out of range 0 to 100"},
        {Kind::Real, {}, kPercent, "nan", "", "pre-trigger nan is out of range 0 to 100"},
        {Kind::Real, {}, kPercent, "5 %", "", "'5 %' is not a number"},
        {Kind::Duration, {}, kHoldoff, "10ms", "0.010000", ""},
        {Kind::Duration, {}, kHoldoff, "100", "100.000000", ""},
        {Kind::Duration, {}, kHoldoff, "101s", "", "holdoff 101s is out of range 0 s to 100 s"},
        {Kind::Duration, {}, kHoldoff, "-1us", "", "holdoff -1us is out of range 0 s to 100 s"},
        {Kind::Duration, {}, kHoldoff, "5x", "", "holdoff '5x' is not a time such as 200us, 10ms or 2s"},
    };
    for (const auto& c : cases) {
        std::string value = "untouched";
        const std::string bad = parse_as(c.kind, c.whole, c.real, c.text, &value);
        EXPECT_EQ(bad, c.says) << "'" << c.text << "'";
        EXPECT_EQ(value, c.says[0] == '\0' ? c.value : "untouched") << "'" << c.text << "'";
    }
    EXPECT_EQ(check_limit(kDivider, 50), "");
    // A time counted in milliseconds: the whole-number spelling as ever,
    // or a time with its own unit that comes to whole milliseconds.
    constexpr Limit kIntervalMs{"interval", 1, 3'600'000, false};
    const struct {
        const char* text;
        std::int64_t ms;   // when taken
        const char* says;  // the whole refusal, when refused
    } intervals[] = {
        {"100", 100, ""},
        {"0x64", 100, ""},
        {"100ms", 100, ""},
        {"2s", 2000, ""},
        {"2 s", 2000, ""},
        {"1000us", 1, ""},
        {"0.1s", 100, ""},
        {"3600s", 3'600'000, ""},
        {"0", 0, "interval 0 is out of range 1-3600000"},
        {"3601s", 0, "interval 3601s is out of range 1-3600000 ms"},
        {"0.4ms", 0, "interval 0.4ms is out of range 1-3600000 ms"},
        {"1e300s", 0, "interval 1e300s is out of range 1-3600000 ms"},
        {"1.5ms", 0, "'1.5ms' is not a whole number of ms"},
        {"1500us", 0, "'1500us' is not a whole number of ms"},
        {"1.5", 0, "'1.5' is not a number"},
        {"010", 0, "'010': write decimal without a leading zero, or hex as 0x..."},
        {"2h", 0, "'2h' is not a number"},
    };
    for (const auto& c : intervals) {
        std::int64_t ms = -1;
        EXPECT_EQ(parse_whole_duration(kIntervalMs, c.text, "ms", &ms), c.says) << c.text;
        EXPECT_EQ(ms, c.says[0] == '\0' ? c.ms : -1) << c.text;
    }
    EXPECT_EQ(check_limit(kRegister, -1), "register -1 is out of range 0-255 (0x00-0xFF)");
    constexpr RealLimit kPretrigger{"pre-trigger", 0, 100};
    const struct {
        double value;
        const char* says;
    } reals[] = {{0, ""},
                 {100, ""},
                 {100.5, "pre-trigger 100.5 is out of range 0 to 100"},
                 {-1e-9, "pre-trigger -1e-09 is out of range 0 to 100"},
                 {std::nan(""), "pre-trigger nan is out of range 0 to 100"}};
    for (const auto& c : reals) EXPECT_EQ(check_real(kPretrigger, c.value), c.says) << c.value;
    EXPECT_EQ(real_range_text({"level", -5, 5}, "V"), "-5 V to 5 V");
}

}  // namespace
}  // namespace kv318::pipeline
