#include "panel_driver.h"

#include "control_ids.h"
#include "png_file.h"

namespace kv318::test {

std::wstring native_path(const char* path) {
    std::wstring out;
    if (path[0] == '/') out = L"Z:";
    for (const char* p = path; *p != '\0'; ++p) out += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return out;
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (unsigned n = GetTickCount(); path_.empty(); ++n) {
        std::wstring candidate =
            std::wstring(base) + L"kv318-panel-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(n);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate;
    }
}

TempDir::~TempDir() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((path_ + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path_.c_str());
}

bool TempDir::copy_in(const std::wstring& from, const std::wstring& name) const {
    return CopyFileW(from.c_str(), (path_ + L"\\" + name).c_str(), FALSE) != 0;
}

namespace {

// This process's environment with PATH replaced by the system directories.
std::wstring system_only_environment() {
    wchar_t system[MAX_PATH];
    wchar_t windows[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; *p != L'\0'; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, L"PATH=", 5) == 0) continue;
        block.append(p).push_back(L'\0');
    }
    FreeEnvironmentStringsW(env);
    block.append(L"PATH=").append(system).append(L";").append(windows).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

struct FindArgs {
    DWORD pid;
    const wchar_t* windowClass;
    HWND found;
};

BOOL CALLBACK find_window(HWND h, LPARAM lp) {
    auto* args = reinterpret_cast<FindArgs*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    wchar_t name[64];
    if (pid == args->pid && IsWindowVisible(h) && GetClassNameW(h, name, 64) > 0 &&
        wcscmp(name, args->windowClass) == 0) {
        args->found = h;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK find_text(HWND h, LPARAM lp) {
    wchar_t name[16];
    if (GetClassNameW(h, name, 16) > 0 && _wcsicmp(name, L"Static") == 0) {
        std::wstring text = window_text(h);
        if (!text.empty()) {
            *reinterpret_cast<std::wstring*>(lp) = text;
            return FALSE;
        }
    }
    return TRUE;
}

void send(INPUT* inputs, UINT n) { SendInput(n, inputs, sizeof(INPUT)); }

}  // namespace

PanelProcess::PanelProcess(const std::wstring& exe) {
    std::wstring dir = exe.substr(0, exe.find_last_of(L'\\'));
    std::wstring env = system_only_environment();
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                       dir.c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
    }
}

PanelProcess::~PanelProcess() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, kDeadlineMs);
    }
    CloseHandle(process_);
}

std::optional<DWORD> PanelProcess::wait_exit(int ms) {
    if (process_ == nullptr || WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

HWND PanelProcess::find(const wchar_t* windowClass) const {
    FindArgs args{pid_, windowClass, nullptr};
    EnumWindows(find_window, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

HWND PanelProcess::wait_form(int ms) {
    HWND h = nullptr;
    wait_until([&] { return (h = find(win32::kForm1Class)) != nullptr; }, std::chrono::milliseconds(ms));
    return h;
}

HWND PanelProcess::wait_message_box(int ms) {
    HWND h = nullptr;
    wait_until([&] { return (h = find(L"#32770")) != nullptr; }, std::chrono::milliseconds(ms));
    return h;
}

bool PanelProcess::message_box_open() const { return find(L"#32770") != nullptr; }

bool PanelProcess::form_visible() const { return find(win32::kForm1Class) != nullptr; }

HWND control(HWND form, panel::Control id) { return GetDlgItem(form, win32::control_id(id)); }

std::wstring window_text(HWND h) {
    wchar_t buffer[512];
    const LRESULT n = SendMessageW(h, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
    return std::wstring(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
}

std::vector<std::wstring> list_items(HWND list) {
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT len = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (len < 0) break;
        std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
        const LRESULT got =
            SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
        items.push_back(text);
    }
    return items;
}

std::wstring message_box_text(HWND box) {
    std::wstring text;
    EnumChildWindows(box, find_text, reinterpret_cast<LPARAM>(&text));
    return text;
}

void close_message_box(HWND box) { PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

HWND focus_of(HWND form) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

void bring_to_front(HWND form) {
    SetForegroundWindow(form);
    // Keys go to the foreground window: typing before it is there loses them.
    wait_until([&] { return GetForegroundWindow() == form; });
}

// Buttons are pressed through BM_CLICK, the message Windows itself uses
// when a button is worked from the keyboard: the panel sees the same
// BN_CLICKED, and no mouse input can be lost on a loaded machine.
void click(HWND h) {
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    if (lstrcmpiW(cls, L"Button") == 0) {
        press(h);
        return;
    }
    RECT r;
    GetWindowRect(h, &r);
    const POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    // On a busy machine the window may not be mapped and on top yet when the
    // test wants to click it; input sent then lands on whatever is there.
    // A disabled control is never found there, so the wait is short and
    // the click goes ahead either way.
    wait_until([&] { return WindowFromPoint(centre) == h; }, std::chrono::seconds(5));
    SetCursorPos(centre.x, centre.y);
    INPUT in[2]{};
    in[0].type = in[1].type = INPUT_MOUSE;
    in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    send(in, 2);
}

void press(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void press_key(WORD vk, bool shift) {
    INPUT in[4]{};
    UINT n = 0;
    auto key = [&](WORD code, bool up) {
        in[n].type = INPUT_KEYBOARD;
        in[n].ki.wVk = code;
        in[n].ki.wScan = static_cast<WORD>(MapVirtualKeyW(code, MAPVK_VK_TO_VSC));
        in[n].ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        ++n;
    };
    if (shift) key(VK_SHIFT, false);
    key(vk, false);
    key(vk, true);
    if (shift) key(VK_SHIFT, true);
    send(in, n);
}

void type_text(const std::wstring& text) {
    for (wchar_t ch : text) {
        INPUT in[2]{};
        in[0].type = in[1].type = INPUT_KEYBOARD;
        in[0].ki.wScan = in[1].ki.wScan = ch;
        in[0].ki.dwFlags = KEYEVENTF_UNICODE;
        in[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
        send(in, 2);
    }
}

int screen_dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

bool save_screenshot(HWND h, const std::wstring& path) {
    // The client area, read from the window's own surface: under Xvfb
    // there is no window manager to draw a title bar, and the screen may
    // hold other windows over this one.
    RECT r;
    GetClientRect(h, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;

    HDC screen = GetDC(h);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);

    // Top-down 24-bit rows, each padded to four bytes, blue first.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~static_cast<std::size_t>(3);
    std::vector<std::uint8_t> bgr(stride * static_cast<std::size_t>(height));
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), bgr.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(h, screen);
    if (rows != height) return false;

    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* p = bgr.data() + stride * static_cast<std::size_t>(y);
        for (int x = 0; x < width; ++x, p += 3) rgb.insert(rgb.end(), {p[2], p[1], p[0]});
    }
    return write_png(path, width, height, rgb);
}

}  // namespace kv318::test
