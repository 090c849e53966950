// How every KV318 program reads a number someone typed: kv318-cli,
// kv318-scope (its command line and the Windows window's edit fields) and
// kv318-sim.  One spelling for each kind of number, and one wording for a
// refusal, so a value one program takes another does not read differently.
//
// Pure functions on strings: no locale (a "1.5" means the same everywhere),
// no OS headers and no command-line toolkit, so the simulator links it too.
//
// The spellings:
// - a whole number: an optional sign, then decimal digits without a leading
//   zero ("010" is refused: some readers take it as octal), or 0x and hex
//   digits.  Any number of digits is either taken whole or named as out of
//   range, never capped.
// - a real number: an optional sign, decimal digits with an optional
//   fraction and exponent ("1.5", ".5", "1e-3").  No hex, no inf or nan.
// - a duration: a real number, then optionally one blank, then ns, us, ms
//   or s ("200us", "2 s"); a bare number is in the unit the option names.
// Nothing else: no blank before or after, no trailing text.
//
// Every function here may be called on any thread; none keeps state.
#pragma once

#include <cstdint>
#include <string>

namespace kv318::pipeline {

// A whole-number range and how a refusal names the value.
struct Limit {
    const char* what;  // how a refusal names the value: "divider"
    std::int64_t min;
    std::int64_t max;
    bool hex;  // refusals show the range in hex too
};

// A range of real numbers (for a duration, in seconds) and how a refusal
// names the value.
struct RealLimit {
    const char* what;  // "pre-trigger", "holdoff"
    double min;
    double max;
};

// Why a text is not taken, before any range applies.
enum class NumberStatus {
    Ok,
    NotANumber,  // not the spelling at all
    ZeroPrefix,  // a decimal whole number written with a leading zero
    TooLarge,    // the spelling, but too large for any value (or inf, nan)
};

// What a decimal whole number with a leading zero ("010") means.
enum class LeadingZero {
    Refuse,   // ZeroPrefix: the user may mean eight, or ten
    Decimal,  // ten: kv318-sim has always read it so, and scripts rely on it
};

// Reads `text` as a whole number: *negative and *magnitude set when Ok.
NumberStatus read_whole(const std::string& text, bool* negative, std::uint64_t* magnitude,
                        LeadingZero zero = LeadingZero::Refuse);

// Reads `text` as a real number: *value set when Ok.  "1e400", "inf" and
// "nan" are TooLarge; so is an underflow such as "1e-400".
NumberStatus read_real(const std::string& text, double* value);

// Reads `text` as a duration into *seconds.  `bareUnit` is what a number
// without a unit counts, in seconds (1 for an option in seconds, 1e-3 for
// one in milliseconds); 0 means a unit must be given.
NumberStatus read_duration(const std::string& text, double bareUnit, double* seconds);

// The range as refusals show it: "2-4095", "0-255 (0x00-0xFF)".
std::string range_text(const Limit& limit);

// Empty when `value` is within `limit`; else one sentence saying so, e.g.
// "register 256 is out of range 0-255 (0x00-0xFF)".
std::string check_limit(const Limit& limit, std::int64_t value);
// The same for a real number, shown as %g: "pre-trigger 150 is out of
// range 0 to 100".  A NaN is out of every range.
std::string check_real(const RealLimit& limit, double value);

// Reads `text` as a whole number and checks it against `limit`.  Empty with
// *value set when taken; else the reason, naming the text as typed: "'abc'
// is not a number", "'010': write decimal without a leading zero, or hex as
// 0x...", or "divider 1 is out of range 2-4095" however many digits it has.
std::string parse_within(const Limit& limit, const std::string& text, std::int64_t* value);

// Reads `text` as a whole number from lo to hi over the whole unsigned
// 64-bit range (a seed, a count); true with *value set when taken.
bool parse_unsigned_within(const std::string& text, std::uint64_t lo, std::uint64_t hi, std::uint64_t* value,
                           LeadingZero zero = LeadingZero::Refuse);

// Reads `text` as a real number within `limit`.  Empty with *value set;
// else "'abc' is not a number" or "pre-trigger 150 is out of range 0 to 100".
std::string parse_real(const RealLimit& limit, const std::string& text, double* value);

// Reads `text` as a duration within `limit` (seconds), a bare number
// counting `bareUnit` seconds.  Empty with *seconds set; else
// "--holdoff '5x' is not a time such as 200us, 10ms or 2s" or
// "--holdoff 200s is out of range 0 s to 100 s".
std::string parse_duration(const RealLimit& limit, const std::string& text, double bareUnit, double* seconds);

// Reads `text` as a whole number of `unit` ("ms": a time option that
// counts milliseconds) within `limit`: the whole-number spelling, or a
// duration with its own unit that comes to a whole number of `unit`
// ("2s" is 2000 ms; "1.5ms" is refused).  Empty with *value set; else the
// reason, as parse_within words it, or "interval 2h ..." for a time.
std::string parse_whole_duration(const Limit& limit, const std::string& text, const char* unit, std::int64_t* value);

// The range as refusals and help texts show it: "0 to 100", "0 s to 100 s".
std::string real_range_text(const RealLimit& limit, const char* unit = "");

}  // namespace kv318::pipeline
