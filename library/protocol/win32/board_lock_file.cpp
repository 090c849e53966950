#include "board_lock_file.h"

#include "board_lock.h"

namespace kv318::win32 {

namespace {

// <temporary directory><name>; `name` is ASCII only.
std::wstring lock_path(const std::string& name) {
    wchar_t dir[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH) return {};
    return std::wstring(dir, n) + std::wstring(name.begin(), name.end());
}

}  // namespace

std::wstring board_lock_path(std::int32_t board) { return lock_path(board_lock_file_name(board)); }

std::wstring board_served_path(std::int32_t board) { return lock_path(board_served_file_name(board)); }

HANDLE open_lock_file(const std::wstring& path, bool create) {
    if (path.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE open_board_lock_file(std::int32_t board, bool create) { return open_lock_file(board_lock_path(board), create); }

}  // namespace kv318::win32

namespace kv318 {

namespace {

// The text of a lock file, read once it starts with a pid: the holder
// writes it right after it takes the lock, so a look that lands between
// the two sees an empty file; a few short retries cover that.  "" when no
// pid came.
std::string read_lock_text(HANDLE file) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        char text[kServedUrlMax + 32];
        OVERLAPPED at{};
        DWORD got = 0;
        std::uint32_t pid = 0;
        if (ReadFile(file, text, sizeof text, &got, &at) && parse_board_lock_pid(text, got, &pid))
            return std::string(text, got);
        Sleep(5);
    }
    return {};
}

std::uint32_t read_holder_pid(HANDLE file) {
    const std::string text = read_lock_text(file);
    std::uint32_t pid = 0;
    return parse_board_lock_pid(text.data(), text.size(), &pid) ? pid : 0;
}

// Whether another handle holds the lock of `file`: a shared lock tried for
// an instant, which a start waits out.
bool held_by_another(HANDLE file) {
    OVERLAPPED at{};
    at.Offset = win32::kBoardLockOffset;
    if (LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        UnlockFileEx(file, 0, 1, 0, &at);
        return false;
    }
    return GetLastError() == ERROR_LOCK_VIOLATION;
}

// `wide` in UTF-8, for messages.
std::string utf8(const std::wstring& wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), n, nullptr, nullptr);
    if (!text.empty()) text.pop_back();  // the terminating zero
    return text;
}

// Why the lock file at `wide` cannot be used, as board_lock_file_problem says it.
std::string lock_file_problem(const std::wstring& wide) {
    if (wide.empty()) return "the lock file cannot be used: the temporary directory is unknown";
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};  // none yet: a start makes it
    const std::string file = "the lock file " + utf8(wide);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return file + " is a symbolic link";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return file + " is a directory";
    HANDLE handle = win32::open_lock_file(wide, false);
    if (handle == INVALID_HANDLE_VALUE)
        return file + " cannot be opened (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(handle);
    return {};
}

}  // namespace

std::string board_lock_file_problem(std::int32_t board) { return lock_file_problem(win32::board_lock_path(board)); }

BoardLockProbe probe_board_lock(std::int32_t board) {
    BoardLockProbe probe;
    HANDLE file = win32::open_board_lock_file(board, false);
    if (file == INVALID_HANDLE_VALUE) return probe;
    if (held_by_another(file)) {
        probe.held = true;
        probe.pid = read_holder_pid(file);
    }
    CloseHandle(file);
    return probe;
}

BoardServedProbe probe_board_served(std::int32_t board) {
    BoardServedProbe probe;
    HANDLE file = win32::open_lock_file(win32::board_served_path(board), false);
    if (file == INVALID_HANDLE_VALUE) return probe;
    if (held_by_another(file)) {
        probe.held = true;
        const std::string text = read_lock_text(file);
        if (parse_board_lock_pid(text.data(), text.size(), &probe.pid))
            (void)parse_board_served_url(text.data(), text.size(), &probe.url);
    }
    CloseHandle(file);
    return probe;
}

ServedLockTake take_board_served_lock(std::int32_t board, const std::string& url) {
    const std::wstring path = win32::board_served_path(board);
    ServedLockTake take;
    HANDLE file = win32::open_lock_file(path, true);
    if (file == INVALID_HANDLE_VALUE) {
        take.why = lock_file_problem(path);
        if (take.why.empty()) take.why = "the lock file " + utf8(path) + " cannot be made";
        return take;
    }
    OVERLAPPED at{};
    at.Offset = win32::kBoardLockOffset;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION) {
            take.result = ServedLockTake::Busy;
            take.holder = read_holder_pid(file);
        } else {
            take.why = "the lock file " + utf8(path) + " cannot be locked (error " + std::to_string(error) + ")";
        }
        CloseHandle(file);
        return take;
    }
    // As for the acquisition lock: the text for people and programs, the
    // file's end at the text's end.
    win32::write_lock_text(file, board_served_text(static_cast<std::uint32_t>(GetCurrentProcessId()), url));
    take.result = ServedLockTake::Taken;
    take.token = reinterpret_cast<std::intptr_t>(file);
    return take;
}

void release_board_served_lock(std::intptr_t token) {
    HANDLE file = reinterpret_cast<HANDLE>(token);
    OVERLAPPED at{};
    at.Offset = win32::kBoardLockOffset;
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
}

void win32::write_lock_pid(HANDLE file) {
    write_lock_text(file, board_lock_pid_text(static_cast<std::uint32_t>(GetCurrentProcessId())));
}

void win32::write_lock_text(HANDLE file, const std::string& text) {
    OVERLAPPED start{};
    DWORD wrote = 0;
    if (WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, &start)) {
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(wrote);
        if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    }
}

}  // namespace kv318
