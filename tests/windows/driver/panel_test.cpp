// kv318.exe on the test driver's board 0: the kernel path end to end, from
// the panel's start-up to its analog tick, driven as a technician would.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "control_ids.h"
#include "controls.h"
#include "format.h"
#include "panel_driver.h"
#include "text.h"

namespace kv318::test {
namespace {

using panel::Control;

TEST(DriverPanel, ShowsTheDriversHandleAndListsTheRamp) {
    PanelProcess panel(native_path(KV318_PANEL_EXE));
    ASSERT_TRUE(panel.started());
    HWND form = panel.wait_form();
    ASSERT_NE(form, nullptr);
    bring_to_front(form);
    const std::wstring title = window_text(form);
    const std::size_t at = title.rfind(L"    HANDLE=");
    ASSERT_NE(at, std::wstring::npos) << win32::narrow(title);
    EXPECT_EQ(title.back(), L'H') << win32::narrow(title);
    const std::wstring digits = title.substr(at + 11, title.size() - at - 12);
    EXPECT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << win32::narrow(title);

    // "启动AD": each tick restarts the converter, so every batch begins
    // with the ramp's first eight samples, 0 to 7.
    HWND list = control(form, Control::List1);
    click(control(form, Control::Command6));
    ASSERT_TRUE(wait_until([&] { return list_items(list).size() == 9; })) << "List1 never showed a batch";
    const auto items = list_items(list);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(items[static_cast<std::size_t>(i) + 1], win32::widen(panel::sample_line(i, i))) << i;
    EXPECT_FALSE(panel.message_box_open());

    click(control(form, Control::Command7));
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(control(form, Control::Command6)) != 0; }));
    click(control(form, Control::Command8));
    EXPECT_EQ(panel.wait_exit(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace kv318::test
