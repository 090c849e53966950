// The panel's texts: number masks, converter codes and volts, hexadecimal
// words, the key filter and the window title.  Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv318::panel {

// Number of samples listed per batch, and the list's title line.
inline constexpr int kListedSamples = 8;
inline constexpr const char* kListTitle = "通道号 采样值 电压值";

// The panel's messages.
inline constexpr const char* kMsgOver = "over!";
inline constexpr const char* kMsgEnterData = "请输I/O数据！";
inline constexpr const char* kMsgEnterCorrectly = "请正确输入！";
inline constexpr const char* kTitleNoBoard = "Error Load KV318";

// The title text that comes before the handle: the program's name, five
// blanks and the version banner.
inline constexpr const char* kTitleText = "KV318 Testing Program     KV318 Bench Panel V1.0";

// Mask "0": the integer in decimal, no leading zeros, a minus sign when
// negative.
std::string format_0(std::int64_t value);

// Mask " 00 ": a blank, at least two digits, a blank.  A negative value
// carries its minus sign right before the digits (" -07 ").
std::string format_00(std::int64_t value);

// Mask " 0.000V ": a blank, at least one integer digit and three decimals
// (halves away from zero), "V", a blank.  A negative value carries its minus
// sign right before the digits; a value that rounds to zero shows no sign.
std::string format_volts(double volts);

// A raw sample divided by four, to the nearest integer, halves to the even
// neighbour: 6 gives 2, 10 gives 2, 4937 gives 1234.
std::int32_t converter_code(std::int32_t raw);

// A converter code in volts: 8192 codes are 5 V.
double code_volts(std::int32_t code);

// One listed line for sample `index` of a batch, from its raw value: the
// index, eleven blanks, the code (" 00 "), five blanks, the volts
// (" 0.000V ") and a carriage return.
std::string sample_line(int index, std::int32_t raw);

// `value` as a 32-bit word in upper-case hexadecimal, no leading zeros, no
// prefix: 255 gives "FF", 0 gives "0", -2 gives "FFFFFFFE".
std::string hex_upper(std::uint32_t value);

// An input word as Text2 shows it: "ox" (the letters o and x) and its
// hexadecimal form, e.g. "oxA5".
std::string input_word_text(std::int32_t value);

// The window title for `handle`: "Error Load KV318" for -1, otherwise the
// title text, "    HANDLE=", the handle in hexadecimal and "H".
std::string window_title(std::int32_t handle);

// True for the 23 characters Text1 accepts: 0-9, a-f, A-F and backspace (8).
bool key_accepted(std::uint32_t ch);

// Reads the text of Text1 as an output word: blanks at both ends are
// dropped and the rest must be hexadecimal digits (either case, no prefix).
// Values above 0xFFFF give 0xFFFF.  Returns nothing when the text is not a
// hexadecimal number: empty, a blank between digits, or any other character.
std::optional<std::uint16_t> parse_output_word(std::string_view text);

}  // namespace kv318::panel
