// kv318.exe under Wine and Xvfb, driven from this process as a technician
// would drive it: real clicks and keys through the system's input queue,
// and what the window shows read back from its controls.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "control_ids.h"
#include "controls.h"
#include "panel_driver.h"
#include "board.h"
#include "clock.h"
#include "pipe_server.h"
#include "sim_process.h"
#include "text.h"

namespace kv318::test {
namespace {

using panel::Control;
using panel::ControlSpec;
using panel::Kind;

const std::wstring kEnterCorrectly = L"\u8bf7\u6b63\u786e\u8f93\u5165\uff01";                 // 请正确输入！
const std::wstring kListTitle = L"\u901a\u9053\u53f7 \u91c7\u6837\u503c \u7535\u538b\u503c";  // 通道号 采样值 电压值

class PanelWindow : public ::testing::Test {
protected:
    // Pixels are compared at the screen's real dpi, as the panel sees it.
    static void SetUpTestSuite() { SetProcessDPIAware(); }
};

std::wstring panel_exe() { return native_path(KV318_PANEL_EXE); }

// A listed sample line: index, eleven blanks, " code ", five blanks,
// " volts ", carriage return.
std::wstring sample_line(int index, const std::wstring& code, const std::wstring& volts) {
    return std::to_wstring(index) + std::wstring(11, L' ') + L" " + code + L" " + std::wstring(5, L' ') + L" " + volts +
           L" \r";
}

// Every message box of the panel is titled with the application's name,
// the executable's name without ".exe", as the Qt window's are.
const std::wstring kBoxTitle = L"kv318";

// The message box that must be showing now: its title and text, then OK.
void answer_box(PanelProcess& panel, const std::wstring& expected) {
    HWND box = panel.wait_message_box();
    ASSERT_NE(box, nullptr) << "no message box appeared";
    EXPECT_EQ(window_text(box), kBoxTitle) << "the title of the box " << win32::narrow(expected);
    EXPECT_EQ(message_box_text(box), expected);
    close_message_box(box);
    ASSERT_TRUE(wait_until([&] { return !panel.message_box_open(); })) << "the message box stayed open";
}

HWND start_form(PanelProcess& panel) {
    if (!panel.started()) return nullptr;
    HWND form = panel.wait_form();
    if (form != nullptr) bring_to_front(form);
    return form;
}

// Where `c` must sit on the client area, in pixels at `dpi`.
RECT expected_rect(const ControlSpec& c, int dpi) {
    int left = c.left;
    int top = c.top;
    for (Control in = c.container; in != Control::Form1; in = panel::control_spec(in).container) {
        left += panel::control_spec(in).left;
        top += panel::control_spec(in).top;
    }
    const int x = panel::twips_to_pixels(left, dpi);
    const int y = panel::twips_to_pixels(top, dpi);
    return RECT{x, y, x + panel::twips_to_pixels(c.width, dpi), y + panel::twips_to_pixels(c.height, dpi)};
}

void expect_layout(HWND form, const char* when) {
    const int dpi = screen_dpi();
    for (const ControlSpec& c : panel::control_table()) {
        if (c.kind == Kind::Window || c.kind == Kind::Timer) continue;
        HWND h = control(form, c.id);
        ASSERT_NE(h, nullptr) << c.name;
        RECT r;
        GetWindowRect(h, &r);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
        const RECT want = expected_rect(c, dpi);
        EXPECT_EQ(r.left, want.left) << c.name << when;
        EXPECT_EQ(r.top, want.top) << c.name << when;
        EXPECT_EQ(r.right, want.right) << c.name << when;
        EXPECT_EQ(r.bottom, want.bottom) << c.name << when;
    }
}

TEST_F(PanelWindow, WithoutABoardTheTitleSaysSoAndEveryControlKeepsItsPlace) {
    PanelProcess panel(panel_exe());
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr) << "kv318.exe showed no window";
    EXPECT_EQ(window_text(form), L"Error Load KV318");

    const int dpi = screen_dpi();
    RECT client;
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, panel::twips_to_pixels(panel::kClientWidthTwips, dpi));
    EXPECT_EQ(client.bottom, panel::twips_to_pixels(panel::kClientHeightTwips, dpi));
    const LONG style = GetWindowLongW(form, GWL_STYLE);
    EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW) << "title, system menu, min/max boxes, sizing border";
    EXPECT_EQ(GetMenu(form), nullptr);

    // Captions, start texts and initial states, as the table gives them.
    for (const ControlSpec& c : panel::control_table()) {
        if (c.kind == Kind::Window || c.kind == Kind::Timer || c.kind == Kind::ListBox) continue;
        HWND h = control(form, c.id);
        EXPECT_EQ(win32::narrow(window_text(h)), c.caption) << c.name;
        EXPECT_TRUE(IsWindowEnabled(h)) << c.name;
    }
    EXPECT_EQ(window_text(control(form, Control::Command6)), L"\u542f\u52a8AD");  // 启动AD
    EXPECT_EQ(SendMessageW(control(form, Control::Text1), EM_GETLIMITTEXT, 0, 0), 7);
    EXPECT_NE(GetWindowLongW(control(form, Control::Text2), GWL_STYLE) & ES_READONLY, 0);
    EXPECT_EQ(GetWindowLongW(control(form, Control::List1), GWL_STYLE) & LBS_SORT, 0);
    EXPECT_EQ(SendMessageW(control(form, Control::List1), LB_GETCOUNT, 0, 0), 0);

    expect_layout(form, " at start");
    // A bigger window moves and stretches nothing.
    SetWindowPos(form, nullptr, 0, 0, 1000, 800, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(wait_until([&] {
        RECT c;
        GetClientRect(form, &c);
        return c.right > panel::twips_to_pixels(panel::kClientWidthTwips, dpi);
    }));
    expect_layout(form, " after a resize");
}

TEST_F(PanelWindow, FocusStartsInText1AndTabFollowsTheTabOrder) {
    PanelProcess panel(panel_exe());
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(wait_until([&] { return focus_of(form) == control(form, Control::Text1); }, std::chrono::seconds(5)));

    const auto order = panel::focus_order();
    for (std::size_t i = 1; i <= order.size(); ++i) {
        press_key(VK_TAB);
        const Control next = order[i % order.size()];
        EXPECT_TRUE(wait_until([&] { return focus_of(form) == control(form, next); }, std::chrono::seconds(5)))
            << "Tab " << i << " should reach " << panel::control_spec(next).name;
    }
    press_key(VK_TAB, true);
    EXPECT_TRUE(wait_until([&] { return focus_of(form) == control(form, order.back()); }, std::chrono::seconds(5)))
        << "Shift+Tab from Text1 goes back to the last control";
}

TEST_F(PanelWindow, Text1RefusesWhatIsNotHexadecimalAndStopsAtSevenCharacters) {
    PanelProcess panel(panel_exe());
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    HWND text1 = control(form, Control::Text1);
    ASSERT_TRUE(wait_until([&] { return focus_of(form) == text1; }, std::chrono::seconds(5)));

    const struct {
        WORD vk;
        const char* what;
    } refused[] = {{'G', "g"}, {VK_SPACE, "a blank"}, {VK_RETURN, "Enter"}, {VK_ESCAPE, "Escape"}};
    for (const auto& key : refused) {
        SCOPED_TRACE(key.what);
        press_key(key.vk);
        ASSERT_NO_FATAL_FAILURE(answer_box(panel, kEnterCorrectly));
        EXPECT_EQ(window_text(text1), L" ") << "the refused character reached the box";
        EXPECT_TRUE(wait_until([&] { return focus_of(form) == text1; }, std::chrono::seconds(5)))
            << "the focus came back to Text1";
    }

    // Digits and both cases of a to f pass as typed, up to seven characters
    // with the start-up blank; backspace passes without a word.
    type_text(L"aF1234");
    ASSERT_TRUE(wait_until([&] { return window_text(text1) == L" aF1234"; }))
        << "now " << win32::narrow(window_text(text1));
    type_text(L"5");
    press_key(VK_BACK);
    EXPECT_TRUE(wait_until([&] { return window_text(text1) == L" aF123"; }))
        << "an eighth character was taken: " << win32::narrow(window_text(text1));
    EXPECT_FALSE(panel.message_box_open()) << "backspace or a digit was refused";
}

TEST_F(PanelWindow, WithoutABoardTheAnalogTickGivesUpWithOver) {
    PanelProcess panel(panel_exe());
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    click(control(form, Control::Command6));
    ASSERT_NO_FATAL_FAILURE(answer_box(panel, L"over!"));

    HWND list = control(form, Control::List1);
    ASSERT_TRUE(wait_until([&] { return list_items(list).size() == 9; }));
    const auto items = list_items(list);
    EXPECT_EQ(items[0], kListTitle);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(items[static_cast<std::size_t>(i) + 1], sample_line(i, L"00", L"0.000V"));
    EXPECT_FALSE(IsWindowEnabled(control(form, Control::Command6)));
    EXPECT_TRUE(IsWindowEnabled(control(form, Control::Command7)));
}

TEST_F(PanelWindow, OnABoardItListsTheSamplesAndLoopsTheOutputsBack) {
    // The simulator's board and pipe transport inside this process, so that
    // the test can count the requests the panel makes.
    sim::BoardConfig config;
    config.signal.kind = sim::SignalKind::Constant;
    config.signal.constantV = 1.25;  // code 2048
    sim::SteadyClock clock;
    sim::Board board(config, clock);
    sim::PipeServer server({&board}, {});
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;

    PanelProcess panel(panel_exe());
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    const std::wstring title = window_text(form);
    const std::size_t at = title.rfind(L"    HANDLE=");
    ASSERT_NE(at, std::wstring::npos) << win32::narrow(title);
    const std::wstring digits = title.substr(at + 11, title.size() - at - 12);
    EXPECT_EQ(title.back(), L'H') << win32::narrow(title);
    EXPECT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << win32::narrow(title);
    EXPECT_GE(server.connections(), 1u);

    // "启动AD": every tick lists eight fresh samples under the title line.
    HWND list = control(form, Control::List1);
    click(control(form, Control::Command6));
    const std::wstring first = sample_line(0, L"2048", L"1.250V");
    ASSERT_TRUE(wait_until([&] {
        const auto items = list_items(list);
        return items.size() == 9 && items[1] == first;
    })) << "List1 never showed a batch";
    const auto items = list_items(list);
    EXPECT_EQ(items[0], kListTitle);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(items[static_cast<std::size_t>(i) + 1], sample_line(i, L"2048", L"1.250V"));
    EXPECT_FALSE(IsWindowEnabled(control(form, Control::Command6)));
    EXPECT_FALSE(panel.message_box_open());

    // "暂停AD" stops the ticks; the list keeps the last batch.
    click(control(form, Control::Command7));
    // The handler enables one button and then disables the other; the test
    // runs in another process, so it waits for both.
    EXPECT_TRUE(wait_until([&] {
        return IsWindowEnabled(control(form, Control::Command6)) != 0 &&
               IsWindowEnabled(control(form, Control::Command7)) == 0;
    })) << "暂停AD should enable 启动AD and disable itself";

    // "输出" writes Text1's word, "输入" reads it back: the board's inputs
    // follow its outputs.
    HWND text1 = control(form, Control::Text1);
    click(text1);
    ASSERT_TRUE(wait_until([&] { return focus_of(form) == text1; }, std::chrono::seconds(5)));
    press_key(VK_END);
    type_text(L"a5");
    ASSERT_TRUE(wait_until([&] { return window_text(text1) == L" a5"; }));
    click(control(form, Control::Command1));
    EXPECT_TRUE(wait_until([&] { return window_text(text1) == L"A5"; }));
    click(control(form, Control::Command2));
    EXPECT_TRUE(wait_until([&] { return window_text(control(form, Control::Text2)) == L"oxA5"; }));

    const std::wstring shot = native_path(KV318_PANEL_SHOT_DIR) + L"\\panel_win32.png";
    EXPECT_TRUE(save_screenshot(form, shot));

    // "退出" ends the panel at once, with no further request to the board.
    const std::uint64_t before = board.stats().requests;
    click(control(form, Control::Command8));
    EXPECT_EQ(panel.wait_exit(), std::optional<DWORD>(0));
    EXPECT_EQ(board.stats().requests, before);
}

TEST_F(PanelWindow, BesideKv318SimItCarriesTheHandleAndListsNineLines) {
    sim::test::SimProcess sim(KV318_SIM_EXE, {"--signal", "const", "--value", "2.5", "--stop-on-eof"});
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.wait_serving()) << sim.output();

    PanelProcess panel(panel_exe());
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    const std::wstring title = window_text(form);
    EXPECT_NE(title.rfind(L"    HANDLE="), std::wstring::npos) << win32::narrow(title);
    EXPECT_EQ(title.back(), L'H') << win32::narrow(title);

    HWND list = control(form, Control::List1);
    click(control(form, Control::Command6));
    ASSERT_TRUE(wait_until([&] { return list_items(list).size() == 9; })) << "List1 never showed a batch";
    const auto items = list_items(list);
    EXPECT_EQ(items[0], kListTitle);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(items[static_cast<std::size_t>(i) + 1], sample_line(i, L"4096", L"2.500V"));
    EXPECT_FALSE(panel.message_box_open());

    click(control(form, Control::Command8));
    EXPECT_EQ(panel.wait_exit(), std::optional<DWORD>(0));
    sim.close_input();
    EXPECT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.output();
}

TEST_F(PanelWindow, MissingLibraryIsNamedAndEndsThePanel) {
    TempDir dir;
    ASSERT_TRUE(dir.copy_in(panel_exe(), L"kv318.exe"));
    PanelProcess panel(dir.path() + L"\\kv318.exe");
    ASSERT_TRUE(panel.started());
    HWND box = panel.wait_message_box();
    ASSERT_NE(box, nullptr);
    const std::wstring text = message_box_text(box);
    EXPECT_NE(text.find(L"KV318"), std::wstring::npos) << win32::narrow(text);
    EXPECT_EQ(window_text(box), kBoxTitle);
    EXPECT_FALSE(panel.form_visible()) << "the window showed without its library";
    close_message_box(box);
    EXPECT_EQ(panel.wait_exit(), std::optional<DWORD>(1));
}

TEST_F(PanelWindow, MissingFunctionIsNamedAtItsFirstUse) {
    // A library with KV318_OpenDevice alone, which answers 0x7C.
    TempDir dir;
    ASSERT_TRUE(dir.copy_in(panel_exe(), L"kv318.exe"));
    ASSERT_TRUE(dir.copy_in(native_path(KV318_STUB_LIBRARY), L"KV318.dll"));
    PanelProcess panel(dir.path() + L"\\kv318.exe");
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    const std::wstring title = window_text(form);
    const std::wstring tail = L"    HANDLE=7CH";
    ASSERT_GE(title.size(), tail.size());
    EXPECT_EQ(title.substr(title.size() - tail.size()), tail) << win32::narrow(title);

    // The first tick needs KV318_AD.
    click(control(form, Control::Command6));
    ASSERT_NO_FATAL_FAILURE(answer_box(panel, L"Cannot find the function KV318_AD in KV318"));
    EXPECT_EQ(panel.wait_exit(), std::optional<DWORD>(1));
}

// The whole text of a small file, or "(missing)".
std::string file_text(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "(missing)";
    std::string text(4096, '\0');
    DWORD n = 0;
    ReadFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(f);
    text.resize(n);
    return text;
}

TEST_F(PanelWindow, ClosingTheWindowMakesNoLibraryCall) {
    // A library that logs every call to calls.log beside itself.
    TempDir dir;
    ASSERT_TRUE(dir.copy_in(panel_exe(), L"kv318.exe"));
    ASSERT_TRUE(dir.copy_in(native_path(KV318_RECORDING_LIBRARY), L"KV318.dll"));
    const std::wstring calls = dir.path() + L"\\calls.log";
    PanelProcess panel(dir.path() + L"\\kv318.exe");
    HWND form = start_form(panel);
    ASSERT_NE(form, nullptr);
    ASSERT_EQ(file_text(calls), "KV318_OpenDevice\n");

    // The close box, as the window manager reports a click on it.
    PostMessageW(form, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(panel.wait_exit(), std::optional<DWORD>(0));
    EXPECT_EQ(file_text(calls), "KV318_OpenDevice\n") << "a library call on closing";
}

}  // namespace
}  // namespace kv318::test
