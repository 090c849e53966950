#include "controls.h"

#include <algorithm>
#include <array>

namespace kv318::panel {

namespace {

using C = Control;
using K = Kind;

// Captions are UTF-8.  The text boxes start with one blank, not empty.
constexpr std::array<ControlSpec, kControlCount> kTable{{
    {C::Form1, "Form1", K::Window, C::Form1, "", 0, 0, kClientWidthTwips, kClientHeightTwips, -1, false, false, 0},

    {C::Frame1, "Frame1", K::Frame, C::Form1, "AD测试", 120, 120, 2655, 3495, 15, false, false, 0},
    {C::List1, "List1", K::ListBox, C::Frame1, "", 120, 240, 2415, 2595, 19, true, false, 0},
    {C::Command6, "Command6", K::Button, C::Frame1, "启动AD", 120, 3000, 900, 280, 16, true, false, 0},
    {C::Command7, "Command7", K::Button, C::Frame1, "暂停AD", 1440, 3000, 900, 280, 17, true, false, 0},
    {C::Timer1, "Timer1", K::Timer, C::Form1, "", 0, 0, 0, 0, -1, false, false, 0},
    {C::Timer2, "Timer2", K::Timer, C::Form1, "", 0, 0, 0, 0, -1, false, false, 0},

    {C::Frame2, "Frame2", K::Frame, C::Form1, "I/O测试", 2880, 120, 2895, 2055, 0, false, false, 0},
    {C::Frame3, "Frame3", K::Frame, C::Frame2, "DO测试", 120, 240, 1215, 1575, 1, false, false, 0},
    {C::Label1, "Label1", K::Label, C::Frame3, "DO15~DO0", 120, 240, 975, 255, 5, false, false, 0},
    {C::Text1, "Text1", K::TextBox, C::Frame3, " ", 120, 480, 900, 280, 7, true, false, kText1MaxLength},
    {C::Command1, "Command1", K::Button, C::Frame3, "输出", 120, 1080, 900, 280, 9, true, false, 0},

    {C::Frame4, "Frame4", K::Frame, C::Frame2, "DI测试", 1440, 240, 1335, 1575, 2, false, false, 0},
    {C::Label2, "Label2", K::Label, C::Frame4, "DI15~DI0", 240, 240, 735, 375, 6, false, false, 0},
    {C::Text2, "Text2", K::TextBox, C::Frame4, " ", 240, 480, 900, 280, 8, true, true, 0},
    {C::Command2, "Command2", K::Button, C::Frame4, "输入", 240, 1080, 900, 280, 10, true, false, 0},

    {C::Frame5, "Frame5", K::Frame, C::Form1, "计数器测试", 2880, 2280, 1335, 1335, 3, false, false, 0},
    {C::Command3, "Command3", K::Button, C::Frame5, "开始", 240, 360, 900, 280, 11, true, false, 0},
    {C::Text3, "Text3", K::TextBox, C::Frame5, " ", 240, 840, 900, 280, 12, true, false, 0},

    {C::Frame6, "Frame6", K::Frame, C::Form1, "PULSE(2MHz)", 4320, 2280, 1455, 1335, 4, false, false, 0},
    {C::Command4, "Command4", K::Button, C::Frame6, "开始", 240, 360, 900, 280, 13, true, false, 0},
    {C::Command5, "Command5", K::Button, C::Frame6, "结束", 240, 840, 900, 280, 14, true, false, 0},

    {C::Command8, "Command8", K::Button, C::Form1, "退出", 4560, 3720, 900, 280, 18, true, false, 0},
}};

// Each row sits at the index of its own id, so a lookup is an index.
constexpr bool table_is_indexed() {
    for (int i = 0; i < kControlCount; ++i) {
        if (static_cast<int>(kTable[static_cast<std::size_t>(i)].id) != i) return false;
    }
    return true;
}
static_assert(table_is_indexed(), "control table rows must follow the Control enum");

constexpr int kFocusCount = [] {
    int n = 0;
    for (const auto& c : kTable) n += c.takesFocus ? 1 : 0;
    return n;
}();

constexpr std::array<Control, kFocusCount> kFocusOrder = [] {
    std::array<ControlSpec, kControlCount> rows = kTable;
    std::sort(rows.begin(), rows.end(), [](const ControlSpec& a, const ControlSpec& b) { return a.tab < b.tab; });
    std::array<Control, kFocusCount> order{};
    std::size_t n = 0;
    for (const auto& c : rows) {
        if (c.takesFocus) order[n++] = c.id;
    }
    return order;
}();

}  // namespace

std::span<const ControlSpec> control_table() { return kTable; }

const ControlSpec& control_spec(Control id) { return kTable[static_cast<std::size_t>(id)]; }

std::span<const Control> focus_order() { return kFocusOrder; }

}  // namespace kv318::panel
