// The little JSON the tool prints (strings quoted and escaped), and text
// from the board made safe to print.
#pragma once

#include <string>
#include <string_view>

namespace kv318::cli {

// `text` as a JSON string literal, quotes included.  Bytes below 0x20,
// quotes and backslashes are escaped; a byte above 0x7F, which the board's
// identity strings never hold as UTF-8, is written as \u00XX so the output
// is valid whatever the board sends.
std::string json_string(std::string_view text);

// `text` as plain output may show it: bytes outside printable ASCII (a
// terminal's escape sequences, line ends) and the backslash become \xHH,
// so a board's identity strings cannot steer the terminal that shows them
// and every byte can still be read off.
std::string escaped_text(std::string_view text);

}  // namespace kv318::cli
