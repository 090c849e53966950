// kv318-scope.exe's window: raw Win32 controls above a screen that paints
// the core's drawing model with double-buffered GDI.  Everything here runs
// on the GUI thread; the board is reached only by the acquisition worker.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board_api.h"
#include "scope_controller.h"
#include "trace_view.h"

namespace kv318::scope::win32 {

// Paints `model` onto `dc` (the caller's, already the model's size).
void render(HDC dc, const DrawList& model, HFONT font);

// The model painted into a bitmap, as RGB bytes, rows top to bottom: the
// screenshot of the screen.
std::vector<std::uint8_t> render_rgb(const DrawList& model, HFONT font);

class ScopeWindow {
public:
    ScopeWindow(HINSTANCE instance, const pipeline::BoardApi& api, const ScopeSettings& s,
                std::string (*notFoundHint)(int), bool (*lockHeld)(std::int32_t, std::uint32_t*) = nullptr);
    ~ScopeWindow();
    ScopeWindow(const ScopeWindow&) = delete;
    ScopeWindow& operator=(const ScopeWindow&) = delete;

    bool create();
    void show(int showCommand);
    // The message loop; returns the exit code (0, or 1 after a screenshot
    // of a failure or one that could not be written).
    int run();

private:
    static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK screen_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT handle(UINT msg, WPARAM wp, LPARAM lp);
    LRESULT handle_screen(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    void build_controls();
    void layout();
    void sync_controls();
    void settings_changed();
    void command(int id, int code);
    void tick();
    void redraw();
    DrawList model() const;
    bool save_screenshot(const std::wstring& path);
    std::wstring ask_file(const wchar_t* filter, const wchar_t* name);

    HINSTANCE instance_;
    ScopeController scope_;
    HWND hwnd_ = nullptr;
    HWND screen_ = nullptr;
    HFONT font_ = nullptr;
    std::vector<HWND> controls_;
    ULONGLONG started_ = 0;
    bool syncing_ = false;
    bool dragging_ = false;
    // Where the plot lay in the picture last painted: what a click on it
    // means (a wrapped status line makes it shorter).  Empty until then.
    Plot shownPlot_{};
    int exitCode_ = 0;
};

}  // namespace kv318::scope::win32
