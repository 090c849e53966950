// Driving a running kv318.exe from another process, as a technician would:
// it finds the window and its controls, clicks and types through the
// system's input queue (SendInput), reads back what the window shows, and
// answers the panel's modal message boxes.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "controls.h"
#include "wait.h"

namespace kv318::test {

// Generous, for a busy machine: Wine starts a process in a second or two.
inline constexpr int kDeadlineMs = 30000;

// A path handed over by the build, as this system takes it: a POSIX path
// from the build host becomes the same file on Wine's drive Z:.
std::wstring native_path(const char* path);

// A fresh directory under the system's temporary directory, removed with
// its files when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    // Copies `from` into this directory as `name`.
    bool copy_in(const std::wstring& from, const std::wstring& name) const;

private:
    std::wstring path_;
};

// One run of kv318.exe.  The child's PATH holds the system directories
// only, so KV318.dll is found beside the executable or not at all.  Ended
// with TerminateProcess when destroyed, if still running.
class PanelProcess {
public:
    explicit PanelProcess(const std::wstring& exe);
    ~PanelProcess();
    PanelProcess(const PanelProcess&) = delete;
    PanelProcess& operator=(const PanelProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    // The exit code once the process has ended within `ms`.
    std::optional<DWORD> wait_exit(int ms = kDeadlineMs);
    // The visible Form1 window of this process, once it shows.
    HWND wait_form(int ms = kDeadlineMs);
    // A visible message box of this process, once one shows.
    HWND wait_message_box(int ms = kDeadlineMs);
    // Whether a message box of this process shows now.
    bool message_box_open() const;
    // Whether a Form1 window of this process is visible now.
    bool form_visible() const;

private:
    HWND find(const wchar_t* windowClass) const;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// The control `id` of the panel's window.
HWND control(HWND form, panel::Control id);

// Window text, through WM_GETTEXT (the system carries it across processes).
std::wstring window_text(HWND h);
// Every item of a list box, carriage returns and all.
std::vector<std::wstring> list_items(HWND list);
// The message of a message box: its non-empty static text.
std::wstring message_box_text(HWND box);
// Presses the box's OK button.
void close_message_box(HWND box);
// The control that holds the keyboard focus on `form`'s thread.
HWND focus_of(HWND form);

// Brings `form` to the front, so keys and clicks reach it.
void bring_to_front(HWND form);
// A click of the left mouse button in the middle of `h`.
void click(HWND h);
// Presses a button through its own message, not the mouse: for tests about
// what a press does rather than about input reaching the window.
void press(HWND button);
// A key pressed and released, by virtual-key code, with Shift held if asked.
void press_key(WORD vk, bool shift = false);
// Characters typed as themselves, independent of the keyboard layout.
void type_text(const std::wstring& text);

// The screen's dots per inch.
int screen_dpi();

// The window `h`, frame and all, as the screen shows it, saved as a PNG.
bool save_screenshot(HWND h, const std::wstring& path);

}  // namespace kv318::test
