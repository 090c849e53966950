// Form1 as a raw Win32 window: places every control from the core's control
// table, forwards each event to the panel's handlers, and serves the
// panel's view requests.
//
// Frames are group boxes, and the controls a frame holds are its siblings in
// the main window, placed at the frame's offset.  So every notification
// reaches the main window, and the dialog manager (IsDialogMessage) walks
// one flat list of controls whose order is the tab order.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "binding.h"
#include "clock.h"
#include "controls.h"
#include "panel.h"
#include "view.h"

namespace kv318::win32 {

class Form1 final : public panel::View {
public:
    // `lib` and `clock` are owned by the caller and outlive the form.
    Form1(HINSTANCE instance, panel::Binding& lib, panel::Clock& clock);
    ~Form1() override;
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Creates the window and its controls, hidden.  False when the system
    // refuses the window (the reason is in GetLastError).
    bool create();

    // Runs the load handler: opens board 0 and sets the title.  Call it once,
    // after create() and before show().
    void load();

    // Shows the window the first time, with the focus in Text1.
    void show(int showCommand);

    // The message loop, until the window is gone.  Returns the exit code.
    int run();

    bool exitRequested() const { return exitRequested_; }
    int exitCode() const { return exitCode_; }

    // panel::View, on the GUI thread.
    void set_title(const std::string& text) override;
    void beep() override;
    std::string text(panel::Control box) override;
    void set_text(panel::Control box, const std::string& text) override;
    void set_enabled(panel::Control button, bool enabled) override;
    void set_timer(panel::Control timer, bool enabled) override;
    void clear_list(panel::Control list) override;
    void add_item(panel::Control list, const std::string& item) override;
    void message_box(const std::string& text) override;
    void exit(int code) override;

private:
    static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK text1_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT on_message(UINT msg, WPARAM wp, LPARAM lp);
    void build();
    void make_font();
    void on_command(int id, int code);
    void on_timer(UINT_PTR id);

    HWND control(panel::Control id) const { return hwnds_[static_cast<std::size_t>(id)]; }
    // Twips to pixels on this screen, across and down.
    int px_x(int twips) const { return panel::twips_to_pixels(twips, dpiX_); }
    int px_y(int twips) const { return panel::twips_to_pixels(twips, dpiY_); }

    HINSTANCE instance_;
    panel::Panel panel_;
    HWND hwnd_ = nullptr;
    std::array<HWND, panel::kControlCount> hwnds_{};
    HFONT font_ = nullptr;
    int dpiX_ = 96;
    int dpiY_ = 96;
    WNDPROC text1Base_ = nullptr;  // the EDIT class's own procedure, under the key filter
    bool timer1On_ = false;
    bool timer2On_ = false;
    HWND lastFocus_ = nullptr;  // the control that gets the focus back on activation
    bool exitRequested_ = false;
    int exitCode_ = 0;
};

}  // namespace kv318::win32
