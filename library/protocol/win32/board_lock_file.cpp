#include "board_lock_file.h"

#include "board_lock.h"

namespace kv318::win32 {

std::wstring board_lock_path(std::int32_t board) {
    wchar_t dir[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH) return {};
    const std::string name = board_lock_file_name(board);  // ASCII only
    return std::wstring(dir, n) + std::wstring(name.begin(), name.end());
}

HANDLE open_board_lock_file(std::int32_t board, bool create) {
    const std::wstring path = board_lock_path(board);
    if (path.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace kv318::win32

namespace kv318 {

namespace {

// The holder writes its pid right after it takes the lock, so a look that
// lands between the two sees an empty file; a few short retries cover that.
std::uint32_t read_holder_pid(HANDLE file) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        char text[32];
        OVERLAPPED at{};
        DWORD got = 0;
        std::uint32_t pid = 0;
        if (ReadFile(file, text, sizeof text, &got, &at) && parse_board_lock_pid(text, got, &pid)) return pid;
        Sleep(5);
    }
    return 0;
}

}  // namespace

std::string board_lock_file_problem(std::int32_t board) {
    const std::wstring wide = win32::board_lock_path(board);
    if (wide.empty()) return "the lock file cannot be used: the temporary directory is unknown";
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string path(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, path.data(), n, nullptr, nullptr);
    if (!path.empty()) path.pop_back();  // the terminating zero
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};  // none yet: a start makes it
    const std::string file = "the lock file " + path;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return file + " is a symbolic link";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return file + " is a directory";
    HANDLE handle = win32::open_board_lock_file(board, false);
    if (handle == INVALID_HANDLE_VALUE)
        return file + " cannot be opened (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(handle);
    return {};
}

BoardLockProbe probe_board_lock(std::int32_t board) {
    BoardLockProbe probe;
    HANDLE file = win32::open_board_lock_file(board, false);
    if (file == INVALID_HANDLE_VALUE) return probe;
    OVERLAPPED at{};
    at.Offset = win32::kBoardLockOffset;
    if (LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        UnlockFileEx(file, 0, 1, 0, &at);
    } else if (GetLastError() == ERROR_LOCK_VIOLATION) {
        probe.held = true;
        probe.pid = read_holder_pid(file);
    }
    CloseHandle(file);
    return probe;
}

}  // namespace kv318
