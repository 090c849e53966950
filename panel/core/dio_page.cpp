// The digital I/O, counter and pulse groups.
#include "format.h"
#include "panel.h"

namespace kv318::panel {

bool Panel::Text1_KeyPress(std::uint32_t ch) {
    if (ended_) return false;
    if (key_accepted(ch)) return true;
    view_.message_box(kMsgEnterCorrectly);
    return false;
}

void Panel::Command1_Click() {
    run([this] {
        const std::string text = view_.text(Control::Text1);
        if (text == " ") {
            // The start-up blank: nothing entered yet.
            view_.message_box(kMsgEnterData);
            return;
        }
        // Pasted text, an emptied box or a blank between digits does not
        // read as a word: say so, and write nothing.
        const auto word = parse_output_word(text);
        if (!word) {
            view_.message_box(kMsgEnterCorrectly);
            return;
        }
        view_.set_text(Control::Text1, hex_upper(*word));
        lib_.DO(m_.hDevice, *word);
    });
}

void Panel::Command2_Click() {
    run([this] { view_.set_text(Control::Text2, input_word_text(lib_.DI(m_.hDevice))); });
}

void Panel::Command3_Click() {
    run([this] {
        lib_.CRun(m_.hDevice);
        view_.set_timer(Control::Timer2, true);
    });
}

void Panel::Timer2_Timer() {
    run([this] {
        const std::int32_t v = lib_.CRead(m_.hDevice);
        const std::string text = format_0(v);
        if (v == -1) {
            // Stop polling before the box opens, so no tick follows it.
            view_.set_timer(Control::Timer2, false);
            view_.message_box(kMsgOver);
        }
        view_.set_text(Control::Text3, text);
    });
}

void Panel::Command4_Click() {
    run([this] {
        lib_.PRun(m_.hDevice, 0, 2);
        view_.set_enabled(Control::Command4, false);
        view_.set_enabled(Control::Command5, true);
    });
}

void Panel::Command5_Click() {
    run([this] {
        lib_.PStop(m_.hDevice);
        view_.set_enabled(Control::Command5, false);
        view_.set_enabled(Control::Command4, true);
    });
}

}  // namespace kv318::panel
