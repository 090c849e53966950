// The little JSON the tool prints: strings quoted and escaped.
#pragma once

#include <string>
#include <string_view>

namespace kv318::cli {

// `text` as a JSON string literal, quotes included.  Bytes below 0x20,
// quotes and backslashes are escaped; a byte above 0x7F, which the board's
// identity strings never hold as UTF-8, is written as \u00XX so the output
// is valid whatever the board sends.
std::string json_string(std::string_view text);

}  // namespace kv318::cli
