// What the tool accepts for each number on its command line, and the exit
// codes it ends with.  A value out of range is refused before the board is
// opened, so nothing reaches the board; the library would otherwise mask or
// clamp it silently (a register of 256 would become 0).
#pragma once

#include <cstdint>
#include <string>

namespace kv318::cli {

struct Limit {
    const char* what;  // how a refusal names the value
    std::int64_t min;
    std::int64_t max;
    bool hex;          // refusals show the range in hex too
};

inline constexpr Limit kBoardNumber{"board number", 0, 255, false};
inline constexpr Limit kBoardCount{"board count", 1, 256, false};
inline constexpr Limit kRegister{"register", 0, 0xFF, true};
inline constexpr Limit kRegisterValue{"register value", 0, 0xFF, true};
inline constexpr Limit kOutputWord{"output word", 0, 0xFFFF, true};
inline constexpr Limit kDivider{"divider", 2, 4095, false};
inline constexpr Limit kPulseDivisor{"pulse divisor", 2, 255, false};
inline constexpr Limit kPulseMode{"pulse mode", 0, 1, false};
inline constexpr Limit kIntervalMs{"interval", 1, 3'600'000, false};
inline constexpr Limit kClockHz{"converter clock", 1, 1'000'000'000, false};
inline constexpr Limit kSampleCount{"sample count", 1, INT64_MAX, false};

// Empty when `value` is within `limit`; else one sentence saying so, e.g.
// "register 256 is out of range 0-255 (0x00-0xFF)".
std::string check_limit(const Limit& limit, std::int64_t value);

// Empty when `text` is a number as the tool reads them: decimal, or hex
// after 0x.  A decimal with a leading zero ("010") is refused, because the
// number reader would take it as octal and a user means ten.
std::string check_number_text(const std::string& text);

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,         // a board operation failed
    kExitUsage = 2,          // bad arguments or a value out of range
    kExitNotFound = 3,       // the board did not open
    kExitNotEnabled = 4,     // a read found acquisition not enabled
    kExitOverflow = 5,       // the library's ring overflowed: samples were lost
    kExitBulkFailed = 6,     // a bulk transfer from the board failed
    kExitOutputFailed = 7,   // the output file could not be written
    kExitSelftestFailed = 8, // selftest: a check failed
    kExitBoardBusy = 10,     // stream/poll: another process streams or polls the board
};

// The exit codes as --help and the README list them, one per line.
std::string exit_code_table();

}  // namespace kv318::cli
