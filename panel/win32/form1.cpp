#include "form1.h"

#include <imm.h>

#include <algorithm>
#include <vector>

#include "control_ids.h"
#include "text.h"

namespace kv318::win32 {

using panel::Control;
using panel::ControlSpec;
using panel::Kind;

namespace {

// The window's top-left corner of `c` in twips: its own offset plus the
// offsets of the frames that hold it.
POINT absolute_twips(const ControlSpec& c) {
    POINT p{c.left, c.top};
    for (Control in = c.container; in != Control::Form1;) {
        const ControlSpec& frame = panel::control_spec(in);
        p.x += frame.left;
        p.y += frame.top;
        in = frame.container;
    }
    return p;
}

// The controls in the order they are made.  A new child window goes below
// its siblings, so this is both the order Tab walks through and the
// z-order: the focusable controls and labels by their tab place, then the
// frames, which then lie beneath the controls they hold.
std::vector<const ControlSpec*> creation_order() {
    std::vector<const ControlSpec*> rows;
    for (const ControlSpec& c : panel::control_table()) {
        if (c.kind != Kind::Window && c.kind != Kind::Timer) rows.push_back(&c);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ControlSpec* a, const ControlSpec* b) {
        const bool aFrame = a->kind == Kind::Frame;
        const bool bFrame = b->kind == Kind::Frame;
        if (aFrame != bFrame) return bFrame;
        return a->tab < b->tab;
    });
    return rows;
}

}  // namespace

Form1::Form1(HINSTANCE instance, panel::Binding& lib, panel::Clock& clock)
    : instance_(instance), panel_(*this, lib, clock) {}

Form1::~Form1() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    if (font_ != nullptr) DeleteObject(font_);
}

bool Form1::create() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kForm1Class;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    HDC screen = GetDC(nullptr);
    dpiX_ = GetDeviceCaps(screen, LOGPIXELSX);
    dpiY_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    // The client area is fixed in twips; the frame around it is whatever
    // this system's title bar and borders need.
    // Not WS_CLIPCHILDREN: a group box draws its frame and caption only, so
    // the window's own background must show through inside it.
    const DWORD style = WS_OVERLAPPEDWINDOW;
    RECT r{0, 0, px_x(panel::kClientWidthTwips), px_y(panel::kClientHeightTwips)};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    // Made hidden: the title comes from the load handler before the window
    // is first shown.
    hwnd_ = CreateWindowExW(0, kForm1Class, L"", style, CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left,
                            r.bottom - r.top, nullptr, nullptr, instance_, this);
    return hwnd_ != nullptr;
}

void Form1::make_font() {
    // The system's message font.  This process is DPI-aware, so the system
    // hands it over already scaled to the screen's dpi.  Should the metrics
    // be unavailable, the stock GUI font is scaled from its 96 dpi size.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    LOGFONTW lf{};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        lf = metrics.lfMessageFont;
    } else {
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
        lf.lfHeight = MulDiv(lf.lfHeight, dpiY_, 96);
    }
    font_ = CreateFontIndirectW(&lf);
}

void Form1::build() {
    make_font();
    for (const ControlSpec* c : creation_order()) {
        const wchar_t* windowClass = L"BUTTON";
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD exStyle = 0;
        // Each focusable control is a group of its own, so the arrow keys
        // never move the focus across the window.
        const DWORD focusable = WS_TABSTOP | WS_GROUP;
        switch (c->kind) {
        case Kind::Frame:
            // Beneath the controls it holds, and clipped by them.
            style |= BS_GROUPBOX | WS_CLIPSIBLINGS;
            break;
        case Kind::Label:
            windowClass = L"STATIC";
            style |= SS_LEFT | SS_NOPREFIX;
            break;
        case Kind::TextBox:
            windowClass = L"EDIT";
            style |= focusable | ES_LEFT | ES_AUTOHSCROLL | (c->readOnly ? ES_READONLY : 0);
            exStyle = WS_EX_CLIENTEDGE;
            break;
        case Kind::Button:
            style |= focusable | BS_PUSHBUTTON;
            break;
        case Kind::ListBox:
            // Unsorted: items stay in the order they were added.  Not
            // integral height: the box keeps its size exactly.
            windowClass = L"LISTBOX";
            style |= focusable | WS_VSCROLL | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT;
            exStyle = WS_EX_CLIENTEDGE;
            break;
        case Kind::Window:
        case Kind::Timer:
            continue;
        }
        const POINT at = absolute_twips(*c);
        const std::wstring caption = c->kind == Kind::ListBox ? std::wstring() : widen(c->caption);
        HWND h = CreateWindowExW(exStyle, windowClass, caption.c_str(), style, px_x(at.x), px_y(at.y), px_x(c->width),
                                 px_y(c->height), hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(control_id(c->id))), instance_, nullptr);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        if (c->maxLength > 0) SendMessageW(h, EM_LIMITTEXT, static_cast<WPARAM>(c->maxLength), 0);
        hwnds_[static_cast<std::size_t>(c->id)] = h;
    }

    // Text1's key filter sees every character before the box does.  No
    // input method: its composed text would not pass through the filter.
    HWND text1 = control(Control::Text1);
    SetWindowLongPtrW(text1, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    text1Base_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(text1, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Form1::text1_proc)));
    ImmAssociateContext(text1, nullptr);
    lastFocus_ = text1;
}

LRESULT CALLBACK Form1::window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Form1* self = nullptr;
    if (msg == WM_NCCREATE) {
        self = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    return self->on_message(msg, wp, lp);
}

LRESULT Form1::on_message(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        build();
        return 0;
    case WM_COMMAND:
        on_command(LOWORD(wp), HIWORD(wp));
        return 0;
    case WM_TIMER:
        on_timer(wp);
        return 0;
    case WM_ACTIVATE:
        // Remember where the focus was, to give it back on return.
        if (LOWORD(wp) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus != nullptr && IsChild(hwnd_, focus)) lastFocus_ = focus;
        }
        break;
    case WM_SETFOCUS:
        // The window itself takes no keys: the focus goes on to a control.
        if (lastFocus_ != nullptr && IsWindow(lastFocus_)) SetFocus(lastFocus_);
        return 0;
    case WM_DESTROY:
        // Closing the window ends the program with no library call: the
        // system releases the board handle with the process.
        KillTimer(hwnd_, kTimer1Id);
        KillTimer(hwnd_, kTimer2Id);
        timer1On_ = timer2On_ = false;
        PostQuitMessage(exitCode_);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

void Form1::on_command(int id, int code) {
    // Enter and Escape come as IDOK and IDCANCEL from the dialog manager;
    // they match no control and do nothing.
    if (code != BN_CLICKED) return;
    const int index = id - kFirstControlId;
    if (index < 0 || index >= panel::kControlCount) return;
    switch (static_cast<Control>(index)) {
    case Control::Command1:
        panel_.Command1_Click();
        break;
    case Control::Command2:
        panel_.Command2_Click();
        break;
    case Control::Command3:
        panel_.Command3_Click();
        break;
    case Control::Command4:
        panel_.Command4_Click();
        break;
    case Control::Command5:
        panel_.Command5_Click();
        break;
    case Control::Command6:
        panel_.Command6_Click();
        break;
    case Control::Command7:
        panel_.Command7_Click();
        break;
    case Control::Command8:
        panel_.Command8_Click();
        break;
    default:
        break;
    }
}

void Form1::on_timer(UINT_PTR id) {
    // A tick already queued when its timer stopped is dropped here.
    if (id == kTimer1Id && timer1On_) panel_.Timer1_Timer();
    if (id == kTimer2Id && timer2On_) panel_.Timer2_Timer();
}

LRESULT CALLBACK Form1::text1_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
    case WM_GETDLGCODE: {
        // Enter and Escape type characters here, for the filter to refuse,
        // instead of going to the dialog manager as IDOK and IDCANCEL.
        LRESULT code = CallWindowProcW(self->text1Base_, hwnd, msg, wp, lp);
        const auto* m = reinterpret_cast<const MSG*>(lp);
        if (m != nullptr && m->message == WM_KEYDOWN && (m->wParam == VK_RETURN || m->wParam == VK_ESCAPE)) {
            code |= DLGC_WANTMESSAGE;
        }
        return code;
    }
    case WM_CHAR:
    case WM_IME_CHAR:
        // A refused character never reaches the box.
        if (!self->panel_.Text1_KeyPress(static_cast<std::uint32_t>(wp))) return 0;
        break;
    default:
        break;
    }
    return CallWindowProcW(self->text1Base_, hwnd, msg, wp, lp);
}

void Form1::load() { panel_.Form1_Load(); }

void Form1::show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    // The caret starts after the box's start-up blank, so that what the
    // technician types follows it, as in the Qt window.
    HWND text1 = control(Control::Text1);
    SetFocus(text1);
    const LPARAM end = GetWindowTextLengthW(text1);
    SendMessageW(text1, EM_SETSEL, static_cast<WPARAM>(end), end);
}

int Form1::run() {
    MSG msg{};
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(msg.wParam);
        if (got == -1) return 1;
        // Tab, Shift+Tab and Space on buttons, as in a dialog.
        if (hwnd_ != nullptr && IsDialogMessageW(hwnd_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void Form1::set_title(const std::string& text) { SetWindowTextW(hwnd_, widen(text).c_str()); }

void Form1::beep() { MessageBeep(MB_OK); }

std::string Form1::text(Control box) {
    HWND h = control(box);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    const int n = GetWindowTextW(h, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    return narrow(text);
}

void Form1::set_text(Control box, const std::string& text) { SetWindowTextW(control(box), widen(text).c_str()); }

void Form1::set_enabled(Control button, bool enabled) { EnableWindow(control(button), enabled ? TRUE : FALSE); }

void Form1::set_timer(Control timer, bool enabled) {
    bool& on = timer == Control::Timer1 ? timer1On_ : timer2On_;
    const UINT_PTR id = timer == Control::Timer1 ? kTimer1Id : kTimer2Id;
    // Enabling a running timer leaves its period alone, as stopping a
    // stopped one does.
    if (enabled && !on) on = SetTimer(hwnd_, id, panel::kTimerIntervalMs, nullptr) != 0;
    if (!enabled && on) {
        KillTimer(hwnd_, id);
        on = false;
    }
}

void Form1::clear_list(Control list) { SendMessageW(control(list), LB_RESETCONTENT, 0, 0); }

void Form1::add_item(Control list, const std::string& item) {
    const std::wstring text = widen(item);
    SendMessageW(control(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Form1::message_box(const std::string& text) {
    // The box takes the focus and the owner's enabled state; the focus goes
    // back where it was once the box is closed.
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(hwnd_, focus)) lastFocus_ = focus;
    HWND owner = hwnd_ != nullptr && IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
    // Titled with the application's name: with no title the system would
    // call every box "Error", even "over!".
    MessageBoxW(owner, widen(text).c_str(), application_name().c_str(), MB_OK);
    if (hwnd_ != nullptr && lastFocus_ != nullptr && IsWindow(lastFocus_) && GetActiveWindow() == hwnd_) {
        SetFocus(lastFocus_);
    }
}

void Form1::exit(int code) {
    exitRequested_ = true;
    exitCode_ = code;
    set_timer(Control::Timer1, false);
    set_timer(Control::Timer2, false);
    // WM_DESTROY posts the quit message with the code; the message loop,
    // or main before the loop ever ran, returns it.
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

}  // namespace kv318::win32
