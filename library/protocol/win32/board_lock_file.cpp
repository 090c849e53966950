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
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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

BoardLockProbe probe_board_lock(std::int32_t board) {
    BoardLockProbe probe;
    const HANDLE file = win32::open_board_lock_file(board, false);
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
