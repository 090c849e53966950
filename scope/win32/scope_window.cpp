#include "scope_window.h"

#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>

#include "option_limits.h"
#include "png_writer.h"
#include "text.h"

namespace kv318::scope::win32 {

using kv318::win32::narrow;
using kv318::win32::widen;

namespace {

constexpr wchar_t kWindowClass[] = L"KV318ScopeWindow";
constexpr wchar_t kScreenClass[] = L"KV318ScopeScreen";
constexpr UINT_PTR kTimer = 1;
// About 33 frames a second: more than the eye needs, and the worker drops
// what the screen cannot show.
constexpr UINT kTickMs = 30;
constexpr int kRowHeight = 26;
constexpr int kGap = 4;

enum Id : int {
    kLabel = 0,
    kBoard = 100,
    kDivider,
    kRun,
    kStop,
    kSingle,
    kTimebase,
    kVolts,
    kOffset,
    kAutoscale,
    kMode,
    kEdge,
    kLevel,
    kPre,
    kHoldoff,
    kCursors,
    kSaveCsv,
    kSavePng,
    kRecord,
};

enum class Kind { Label, Edit, Button, Combo, Check };

struct Item {
    Kind kind;
    int id;
    const wchar_t* text;
    int width;
    int row;
};

const Item kItems[] = {
    {Kind::Label, kLabel, L"Board", 40, 0},
    {Kind::Edit, kBoard, L"", 40, 0},
    {Kind::Label, kLabel, L"Divider", 50, 0},
    {Kind::Edit, kDivider, L"", 50, 0},
    {Kind::Button, kRun, L"Run", 60, 0},
    {Kind::Button, kStop, L"Stop", 60, 0},
    {Kind::Button, kSingle, L"Single", 60, 0},
    {Kind::Label, kLabel, L"Time/div", 60, 0},
    {Kind::Combo, kTimebase, L"", 90, 0},
    {Kind::Label, kLabel, L"V/div", 40, 0},
    {Kind::Combo, kVolts, L"", 80, 0},
    {Kind::Label, kLabel, L"Offset", 45, 0},
    {Kind::Edit, kOffset, L"", 60, 0},
    {Kind::Button, kAutoscale, L"Autoscale", 80, 0},
    {Kind::Label, kLabel, L"Mode", 40, 1},
    {Kind::Combo, kMode, L"", 80, 1},
    {Kind::Combo, kEdge, L"", 80, 1},
    {Kind::Label, kLabel, L"Level V", 50, 1},
    {Kind::Edit, kLevel, L"", 60, 1},
    {Kind::Label, kLabel, L"Pre %", 40, 1},
    {Kind::Edit, kPre, L"", 40, 1},
    {Kind::Label, kLabel, L"Holdoff s", 65, 1},
    {Kind::Edit, kHoldoff, L"", 60, 1},
    {Kind::Check, kCursors, L"Cursors", 75, 1},
    {Kind::Button, kSaveCsv, L"Save CSV", 80, 1},
    {Kind::Button, kSavePng, L"Save PNG", 80, 1},
    {Kind::Button, kRecord, L"Record...", 110, 1},
};

COLORREF rgb(const Color& c) { return RGB(c.r, c.g, c.b); }

int px(double v) { return static_cast<int>(std::lround(v)); }

ScopeWindow* from(HWND hwnd) { return reinterpret_cast<ScopeWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

std::wstring number_text(double v) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%g", v);
    return text;
}

}  // namespace

void render(HDC dc, const DrawList& m, HFONT font) {
    for (const Rect& r : m.rects) {
        if (r.filled) {
            HBRUSH brush = CreateSolidBrush(rgb(r.color));
            const RECT rc{px(r.x), px(r.y), px(r.x + r.w), px(r.y + r.h)};
            FillRect(dc, &rc, brush);
            DeleteObject(brush);
        } else {
            HPEN pen = CreatePen(PS_SOLID, 1, rgb(r.color));
            HGDIOBJ oldPen = SelectObject(dc, pen);
            HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
            // The outline covers both edges, x and x + w, as the Qt shell's does.
            ::Rectangle(dc, px(r.x), px(r.y), px(r.x + r.w) + 1, px(r.y + r.h) + 1);
            SelectObject(dc, oldBrush);
            SelectObject(dc, oldPen);
            DeleteObject(pen);
        }
    }
    std::vector<POINT> points;
    for (const Polyline& l : m.lines) {
        if (l.points.size() < 2) continue;
        HPEN pen = CreatePen(PS_SOLID, l.width, rgb(l.color));
        HGDIOBJ old = SelectObject(dc, pen);
        points.clear();
        for (const Point& p : l.points) points.push_back({px(p.x), px(p.y)});
        ::Polyline(dc, points.data(), static_cast<int>(points.size()));
        // GDI leaves a polyline's last pixel out; set it, as Qt draws it.
        SetPixel(dc, points.back().x, points.back().y, rgb(l.color));
        SelectObject(dc, old);
        DeleteObject(pen);
    }
    HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextAlign(dc, TA_BASELINE | TA_LEFT);
    for (const Text& t : m.texts) {
        SetTextColor(dc, rgb(t.color));
        const std::wstring w = widen(t.text);
        TextOutW(dc, px(t.x), px(t.y), w.c_str(), static_cast<int>(w.size()));
    }
    SelectObject(dc, oldFont);
}

std::vector<std::uint8_t> render_rgb(const DrawList& m, HFONT font) {
    std::vector<std::uint8_t> out;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = m.width;
    bi.bmiHeader.biHeight = -m.height;  // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dc == nullptr || bmp == nullptr || bits == nullptr) {
        if (bmp != nullptr) DeleteObject(bmp);
        if (dc != nullptr) DeleteDC(dc);
        return out;
    }
    HGDIOBJ old = SelectObject(dc, bmp);
    render(dc, m, font);
    GdiFlush();
    const auto* p = static_cast<const std::uint8_t*>(bits);
    const std::size_t n = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    out.resize(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        out[3 * i] = p[4 * i + 2];  // the DIB holds blue, green, red, unused
        out[3 * i + 1] = p[4 * i + 1];
        out[3 * i + 2] = p[4 * i];
    }
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
    return out;
}

ScopeWindow::ScopeWindow(HINSTANCE instance, const pipeline::BoardApi& api, const ScopeSettings& s,
                         std::string (*notFoundHint)(int), bool (*lockHeld)(std::int32_t, std::uint32_t*))
    : instance_(instance), scope_(api, s, notFoundHint, lockHeld) {}

ScopeWindow::~ScopeWindow() {
    scope_.close();
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    if (font_ != nullptr) DeleteObject(font_);
}

bool ScopeWindow::create() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    WNDCLASSEXW sc{};
    sc.cbSize = sizeof sc;
    sc.lpfnWndProc = screen_proc;
    sc.hInstance = instance_;
    sc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_CROSS));
    sc.lpszClassName = kScreenClass;
    if (RegisterClassExW(&sc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0))
        font_ = CreateFontIndirectW(&ncm.lfMessageFont);
    if (font_ == nullptr) font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    RECT r{0, 0, 1000, 720};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    hwnd_ = CreateWindowExW(0, kWindowClass, L"kv318-scope", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                            CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) return false;
    build_controls();
    sync_controls();
    layout();
    started_ = GetTickCount64();
    SetTimer(hwnd_, kTimer, kTickMs, nullptr);
    if (scope_.settings().mode == analysis::TriggerMode::Single) scope_.single();
    else scope_.run();
    return true;
}

void ScopeWindow::show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
}

int ScopeWindow::run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(hwnd_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return exitCode_;
}

void ScopeWindow::build_controls() {
    for (const Item& it : kItems) {
        const wchar_t* cls = L"STATIC";
        DWORD style = WS_CHILD | WS_VISIBLE;
        switch (it.kind) {
        case Kind::Label:
            style |= SS_CENTERIMAGE;
            break;
        case Kind::Edit:
            cls = L"EDIT", style |= WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
            break;
        case Kind::Button:
            cls = L"BUTTON", style |= WS_TABSTOP | BS_PUSHBUTTON;
            break;
        case Kind::Combo:
            cls = L"COMBOBOX", style |= WS_TABSTOP | CBS_DROPDOWNLIST | WS_VSCROLL;
            break;
        case Kind::Check:
            cls = L"BUTTON", style |= WS_TABSTOP | BS_AUTOCHECKBOX;
            break;
        }
        HWND c = CreateWindowExW(0, cls, it.text, style, 0, 0, it.width, it.kind == Kind::Combo ? 300 : kRowHeight - 4,
                                 hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(it.id)), instance_, nullptr);
        SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        controls_.push_back(c);
    }
    HWND volts = GetDlgItem(hwnd_, kVolts);
    for (double v : volt_scales())
        SendMessageW(volts, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(format_volts(v)).c_str()));
    for (const wchar_t* m : {L"Auto", L"Normal", L"Single", L"Roll"}) {
        SendMessageW(GetDlgItem(hwnd_, kMode), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(m));
    }
    for (const wchar_t* e : {L"Rising", L"Falling"}) {
        SendMessageW(GetDlgItem(hwnd_, kEdge), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e));
    }
    screen_ =
        CreateWindowExW(0, kScreenClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 100, hwnd_, nullptr, instance_, this);
}

void ScopeWindow::layout() {
    RECT client;
    GetClientRect(hwnd_, &client);
    int x[2] = {kGap, kGap};
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const Item& it = kItems[i];
        const int y = kGap + it.row * kRowHeight;
        SetWindowPos(controls_[i], nullptr, x[it.row], y, it.width, it.kind == Kind::Combo ? 300 : kRowHeight - 4,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        x[it.row] += it.width + kGap;
    }
    const int top = kGap + 2 * kRowHeight;
    SetWindowPos(screen_, nullptr, 0, top, client.right, std::max(1L, client.bottom - top),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void ScopeWindow::sync_controls() {
    const ScopeSettings& s = scope_.settings();
    syncing_ = true;
    SetDlgItemTextW(hwnd_, kBoard, number_text(s.board).c_str());
    SetDlgItemTextW(hwnd_, kDivider, number_text(s.divider).c_str());
    HWND tb = GetDlgItem(hwnd_, kTimebase);
    SendMessageW(tb, CB_RESETCONTENT, 0, 0);
    const auto steps = time_bases(s.sampleRate());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SendMessageW(tb, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(format_seconds(steps[i])).c_str()));
        if (same_step(s.secondsPerDiv, steps[i])) SendMessageW(tb, CB_SETCURSEL, i, 0);
    }
    const auto volts = volt_scales();
    for (std::size_t i = 0; i < volts.size(); ++i) {
        if (same_step(s.voltsPerDiv, volts[i])) SendDlgItemMessageW(hwnd_, kVolts, CB_SETCURSEL, i, 0);
    }
    SetDlgItemTextW(hwnd_, kOffset, number_text(s.offsetVolts).c_str());
    SendDlgItemMessageW(hwnd_, kMode, CB_SETCURSEL, static_cast<WPARAM>(s.mode), 0);
    SendDlgItemMessageW(hwnd_, kEdge, CB_SETCURSEL, s.edge == analysis::Edge::Rising ? 0 : 1, 0);
    SetDlgItemTextW(hwnd_, kLevel, number_text(s.levelVolts).c_str());
    SetDlgItemTextW(hwnd_, kPre, number_text(s.pretriggerPercent).c_str());
    SetDlgItemTextW(hwnd_, kHoldoff, number_text(s.holdoffSeconds).c_str());
    SetDlgItemTextW(hwnd_, kRecord, scope_.recording().empty() ? L"Record..." : L"Stop recording");
    syncing_ = false;
}

void ScopeWindow::settings_changed() {
    if (syncing_) return;
    ScopeSettings s = scope_.settings();
    const ScopeSettings old = s;
    // A number typed out of range (or not a number) leaves its setting as
    // it was; the edit box shows the value in force again.  The boxes read
    // numbers as the command line does.
    auto text_of = [this](int id) {
        wchar_t text[64] = {};
        GetDlgItemTextW(hwnd_, id, text, 64);
        std::string narrow;
        for (const wchar_t* c = text; *c != L'\0'; ++c) {
            // No number has a character past ASCII; one such stays unread.
            narrow.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
        }
        return narrow;
    };
    auto whole = [&](int id, const pipeline::Limit& limit, std::int32_t current) {
        std::int64_t v = 0;
        return pipeline::parse_within(limit, text_of(id), &v).empty() ? static_cast<std::int32_t>(v) : current;
    };
    auto real = [&](int id, const pipeline::RealLimit& limit, double current) {
        double v = 0;
        return pipeline::parse_real(limit, text_of(id), &v).empty() ? v : current;
    };
    s.board = whole(kBoard, pipeline::kBoardNumber, s.board);
    s.divider = whole(kDivider, pipeline::kDivider, s.divider);
    s.offsetVolts = real(kOffset, pipeline::kOffsetVolts, s.offsetVolts);
    s.levelVolts = real(kLevel, pipeline::kTriggerLevelVolts, s.levelVolts);
    s.pretriggerPercent = real(kPre, pipeline::kPretriggerPercent, s.pretriggerPercent);
    // The hold-off box takes a time as --holdoff does: "10ms", or seconds.
    double holdoff = 0;
    if (pipeline::parse_duration(pipeline::kHoldoffSeconds, text_of(kHoldoff), 1, &holdoff).empty())
        s.holdoffSeconds = holdoff;
    const auto steps = time_bases(old.sampleRate());
    const auto tb = SendDlgItemMessageW(hwnd_, kTimebase, CB_GETCURSEL, 0, 0);
    if (tb >= 0 && static_cast<std::size_t>(tb) < steps.size()) s.secondsPerDiv = steps[static_cast<std::size_t>(tb)];
    const auto volts = volt_scales();
    const auto vi = SendDlgItemMessageW(hwnd_, kVolts, CB_GETCURSEL, 0, 0);
    if (vi >= 0 && static_cast<std::size_t>(vi) < volts.size()) s.voltsPerDiv = volts[static_cast<std::size_t>(vi)];
    const auto mode = SendDlgItemMessageW(hwnd_, kMode, CB_GETCURSEL, 0, 0);
    if (mode >= 0 && mode <= 3) s.mode = static_cast<analysis::TriggerMode>(mode);
    s.edge =
        SendDlgItemMessageW(hwnd_, kEdge, CB_GETCURSEL, 0, 0) == 1 ? analysis::Edge::Falling : analysis::Edge::Rising;
    scope_.apply(normalise(s));
    sync_controls();
    redraw();
}

std::wstring ScopeWindow::ask_file(const wchar_t* filter, const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    std::wcsncpy(path, name, MAX_PATH - 1);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    return GetSaveFileNameW(&ofn) ? std::wstring(path) : std::wstring();
}

void ScopeWindow::command(int id, int code) {
    switch (id) {
    case kRun:
        settings_changed();
        scope_.run();
        break;
    case kStop:
        scope_.stop();
        break;
    case kSingle:
        settings_changed();
        scope_.single();
        sync_controls();
        break;
    case kAutoscale:
        scope_.autoscale();
        sync_controls();
        break;
    case kCursors: {
        Cursors& c = scope_.cursors();
        c.on = IsDlgButtonChecked(hwnd_, kCursors) == BST_CHECKED;
        if (c.on && c.t1 == c.t2) c.t1 = -scope_.settings().secondsPerDiv, c.t2 = scope_.settings().secondsPerDiv;
        break;
    }
    case kSaveCsv: {
        if (!scope_.hasFrame()) break;
        const std::wstring path = ask_file(L"CSV (*.csv)\0*.csv\0", L"trace.csv");
        if (path.empty()) break;
        const std::string text = scope_.visibleCsv();
        std::FILE* f = _wfopen(path.c_str(), L"wb");
        bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (f != nullptr && std::fclose(f) != 0) ok = false;
        if (!ok) MessageBoxW(hwnd_, (L"Cannot write " + path).c_str(), L"kv318-scope", MB_OK);
        break;
    }
    case kSavePng: {
        const std::wstring path = ask_file(L"PNG (*.png)\0*.png\0", L"scope.png");
        if (!path.empty() && !save_screenshot(path)) {
            MessageBoxW(hwnd_, (L"Cannot write " + path).c_str(), L"kv318-scope", MB_OK);
        }
        break;
    }
    case kRecord:
        if (!scope_.recording().empty()) {
            scope_.setRecording({});
        } else {
            const std::wstring path =
                ask_file(L"WAV (*.wav)\0*.wav\0CSV (*.csv)\0*.csv\0raw (*.raw)\0*.raw\0", L"record.wav");
            if (!path.empty()) scope_.setRecording(narrow(path));
        }
        sync_controls();
        break;
    case kTimebase:
    case kVolts:
    case kMode:
    case kEdge:
        if (code == CBN_SELCHANGE) settings_changed();
        break;
    case kBoard:
    case kDivider:
    case kOffset:
    case kLevel:
    case kPre:
    case kHoldoff:
        if (code == EN_KILLFOCUS) settings_changed();
        break;
    default:
        break;
    }
    redraw();
}

DrawList ScopeWindow::model() const {
    RECT r;
    GetClientRect(screen_, &r);
    // Texts wrap as wide as render() draws them: in font_.
    HDC dc = GetDC(screen_);
    HGDIOBJ oldFont = SelectObject(dc, font_);
    const auto width = [dc](const std::string& text) {
        const std::wstring w = widen(text);
        SIZE size{};
        GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
        return static_cast<double>(size.cx);
    };
    DrawList m = scope_.view(std::max(1L, r.right), std::max(1L, r.bottom), width);
    SelectObject(dc, oldFont);
    ReleaseDC(screen_, dc);
    return m;
}

void ScopeWindow::redraw() { InvalidateRect(screen_, nullptr, FALSE); }

bool ScopeWindow::save_screenshot(const std::wstring& path) {
    const DrawList m = model();
    const std::vector<std::uint8_t> rgb = render_rgb(m, font_);
    if (rgb.empty()) return false;
    const std::vector<std::uint8_t> png = encode_png(m.width, m.height, rgb);
    std::FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && ok;
}

void ScopeWindow::tick() {
    const double now = static_cast<double>(GetTickCount64() - started_) / 1000.0;
    if (scope_.tick(now)) redraw();
    if (scope_.takeSettingsChanged()) sync_controls();
    if (scope_.screenshotDue(now)) {
        const std::string& path = scope_.settings().screenshot;
        if (!save_screenshot(widen(path))) {
            std::fprintf(stderr, "kv318-scope: cannot write %s\n", path.c_str());
            exitCode_ = 1;
        }
        // A picture of a failure is still saved, but the exit code says the
        // scope did not run, so a script does not take it for a trace.
        for (const std::string& line : scope_.endForScreenshot(now))
            std::fprintf(stderr, "kv318-scope: %s\n", line.c_str());
        if (exitCode_ == 0) exitCode_ = scope_.screenshotExitCode();
        std::fflush(stderr);
        PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    }
}

LRESULT CALLBACK ScopeWindow::window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<ScopeWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    ScopeWindow* self = from(hwnd);
    return self != nullptr ? self->handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT ScopeWindow::handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        command(LOWORD(wp), HIWORD(wp));
        return 0;
    case WM_TIMER:
        tick();
        return 0;
    case WM_SIZE:
        if (screen_ != nullptr) layout();
        return 0;
    case WM_CLOSE:
        // Closing while running stops the acquisition first, always.
        KillTimer(hwnd_, kTimer);
        scope_.close();
        DestroyWindow(hwnd_);
        return 0;
    case WM_DESTROY:
        hwnd_ = nullptr;
        PostQuitMessage(exitCode_);
        return 0;
    default:
        return DefWindowProcW(hwnd_, msg, wp, lp);
    }
}

LRESULT CALLBACK ScopeWindow::screen_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
    }
    ScopeWindow* self = from(hwnd);
    return self != nullptr ? self->handle_screen(hwnd, msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT ScopeWindow::handle_screen(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;  // the paint covers every pixel
    case WM_PAINT: {
        // Drawn into a bitmap first and copied in one go: no flicker.
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        const DrawList m = model();
        shownPlot_ = m.plot;
        HDC mem = CreateCompatibleDC(dc);
        HBITMAP bmp = CreateCompatibleBitmap(dc, m.width, m.height);
        HGDIOBJ old = SelectObject(mem, bmp);
        render(mem, m, font_);
        BitBlt(dc, 0, 0, m.width, m.height, mem, 0, 0, SRCCOPY);
        SelectObject(mem, old);
        DeleteObject(bmp);
        DeleteDC(mem);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_MOUSEMOVE: {
        const double x = GET_X_LPARAM(lp), y = GET_Y_LPARAM(lp);
        RECT r;
        GetClientRect(hwnd, &r);
        const Plot p = shownPlot_.w > 0 ? shownPlot_ : plot_area(std::max(1L, r.right), std::max(1L, r.bottom));
        if (msg == WM_LBUTTONDOWN && (wp & (MK_SHIFT | MK_CONTROL)) != 0) {
            if (!scope_.hasFrame() || scope_.frame().samples.empty()) return 0;
            const double t = x_to_seconds(p, scope_.frame(), x);
            ((wp & MK_SHIFT) != 0 ? scope_.cursors().t1 : scope_.cursors().t2) = t;
            scope_.cursors().on = true;
            CheckDlgButton(hwnd_, kCursors, BST_CHECKED);
            redraw();
            return 0;
        }
        if (msg == WM_LBUTTONDOWN) {
            dragging_ = true;
            SetCapture(hwnd);
        }
        if (!dragging_) return 0;
        // The trigger level follows the pointer.
        ScopeSettings s = scope_.settings();
        s.levelVolts = y_to_volts(p, s, y);
        scope_.apply(normalise(s));
        sync_controls();
        redraw();
        return 0;
    }
    case WM_LBUTTONUP:
        if (dragging_) {
            dragging_ = false;
            ReleaseCapture();
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

}  // namespace kv318::scope::win32
