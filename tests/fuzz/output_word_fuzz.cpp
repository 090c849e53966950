// The panel's output-word parsing (the hexadecimal text of Text1) fed
// arbitrary texts, alone and through the "输出" button's handler.
//
// Input: the text, as the box would hand it over.  Each run checks the
// parser against a plain reading of the same text, the handler against
// the parser (the word written, the text shown, the message given), and
// the key filter against the characters it should let through.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fakes.h"
#include "format.h"
#include "fuzz_check.h"
#include "panel.h"

namespace {

using namespace kv318::panel;
using namespace kv318::panel::testing;

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Blanks off both ends; then nothing but hexadecimal digits, at least one;
// the value, held to 0xFFFF.
std::optional<std::uint16_t> reference_word(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (!is_hex(c)) return std::nullopt;
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    if (text.size() > 4) return 0xFFFF;
    return static_cast<std::uint16_t>(std::stoul(std::string(text), nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::optional<std::uint16_t> word = parse_output_word(text);
    const std::optional<std::uint16_t> expected = reference_word(text);
    KV318_FUZZ_CHECK(word.has_value() == expected.has_value(), "accepted texts");
    if (word) {
        KV318_FUZZ_CHECK(*word == *expected, "the word read");
        // What the box shows afterwards reads back as the same word.
        const std::string shown = hex_upper(*word);
        KV318_FUZZ_CHECK(parse_output_word(shown) == word, "the shown word reads back");
    }

    // The button's handler on the same text.  One panel serves every run
    // (making one clears a 600,001-sample buffer); the handler keeps no
    // state of its own between clicks, and the logs start empty each time.
    static Log log;
    static FakeView view(log);
    static FakeClock clock;
    static FakeLibrary lib(log, clock);
    static Panel panel(view, lib, clock);
    log.clear();
    view.messages.clear();
    view.texts[Control::Text1] = text;
    panel.Command1_Click();
    const Log calls = library_calls(log);
    if (text == " ") {
        KV318_FUZZ_CHECK(calls.empty() && view.messages.size() == 1 && view.messages[0] == kMsgEnterData,
                         "the start-up blank asks for data");
    } else if (word) {
        KV318_FUZZ_CHECK(calls.size() == 1 && calls[0] == "lib DO(0," + std::to_string(*word) + ")",
                         "the word written");
        KV318_FUZZ_CHECK(view.messages.empty(), "no message for a good word");
        KV318_FUZZ_CHECK(view.texts[Control::Text1] == hex_upper(*word), "the word shown");
    } else {
        KV318_FUZZ_CHECK(calls.empty() && view.messages.size() == 1 && view.messages[0] == kMsgEnterCorrectly,
                         "a bad text is refused with its message");
        KV318_FUZZ_CHECK(view.texts[Control::Text1] == text, "a bad text stays as typed");
    }

    // The key filter: hexadecimal digits and backspace, nothing else.
    view.messages.clear();
    for (std::size_t i = 0; i + 1 < size && i < 64; i += 2) {
        const std::uint32_t ch = static_cast<std::uint32_t>(data[i]) | static_cast<std::uint32_t>(data[i + 1]) << 8;
        const bool want = ch == 8 || (ch < 128 && is_hex(static_cast<char>(ch)));
        const std::size_t before = view.messages.size();
        KV318_FUZZ_CHECK(panel.Text1_KeyPress(ch) == want, "the keys Text1 takes");
        KV318_FUZZ_CHECK(view.messages.size() == before + (want ? 0 : 1), "a refused key shows its message");
    }
    return 0;
}
