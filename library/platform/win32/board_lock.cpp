// The Windows board lock: LockFileEx on one byte of KV318DeviceN.lock in
// the temporary directory.  The lock belongs to the open handle, so the
// system drops it when the process exits or is killed, and a dead holder
// never blocks a board.
#include <windows.h>

#include <string>

#include "board_lock.h"
#include "board_lock_file.h"
#include "board_lock_service.h"

namespace kv318 {
namespace {

// Whether every lock on the board's byte is shared (a look), tried on
// `file`, which holds none itself.
bool only_looks_hold(HANDLE file) {
    OVERLAPPED at{};
    at.Offset = win32::kBoardLockOffset;
    if (!LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return false;
    UnlockFileEx(file, 0, 1, 0, &at);
    return true;
}

class LockFileService final : public BoardLockService {
public:
    BoardLockResult acquire(std::int32_t board, BoardLockToken* token) override {
        HANDLE file = win32::open_board_lock_file(board, true);
        if (file == INVALID_HANDLE_VALUE) return BoardLockResult::Failed;
        OVERLAPPED at{};
        at.Offset = win32::kBoardLockOffset;
        // A look at who holds the board (probe_board_lock) holds a shared
        // lock for an instant; only an exclusive one is another start's.
        const ULONGLONG lookDeadline = GetTickCount64() + kLookRetryMs;
        while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            const bool busy = GetLastError() == ERROR_LOCK_VIOLATION;
            if (busy && only_looks_hold(file) && GetTickCount64() < lookDeadline) {
                Sleep(1);
                continue;
            }
            CloseHandle(file);
            return busy ? BoardLockResult::Busy : BoardLockResult::Failed;
        }
        // The pid is for people and tools; the lock holds whether or not it
        // could be written.  The end of the file moves to the text's end, so
        // a shorter pid leaves no tail of a longer one.
        win32::write_lock_pid(file);
        *token = reinterpret_cast<BoardLockToken>(file);
        return BoardLockResult::Taken;
    }

    void release(BoardLockToken token) override {
        HANDLE file = reinterpret_cast<HANDLE>(token);
        OVERLAPPED at{};
        at.Offset = win32::kBoardLockOffset;
        UnlockFileEx(file, 0, 1, 0, &at);
        CloseHandle(file);
    }

    bool held_elsewhere(std::int32_t board) override { return probe_board_lock(board).held; }

    // The pid from the lock file, and the file name of that process's
    // program without its folder ("kv318-cli.exe").  A holder that exited
    // meanwhile, or one this user may not look at, has no name.
    BoardHolder holder(std::int32_t board) override {
        BoardHolder who;
        who.pid = probe_board_lock(board).pid;
        if (who.pid == 0) return who;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, who.pid);
        if (process == nullptr) return who;
        char path[MAX_PATH];
        DWORD size = sizeof path;
        if (QueryFullProcessImageNameA(process, 0, path, &size)) {
            const std::string full(path, size);
            const std::size_t slash = full.find_last_of("\\/");
            who.name = slash == std::string::npos ? full : full.substr(slash + 1);
        }
        CloseHandle(process);
        return who;
    }

    std::string lock_file_problem(std::int32_t board) override { return board_lock_file_problem(board); }

    std::string served_url(std::int32_t board) override {
        const BoardServedProbe probe = probe_board_served(board);
        return probe.held ? probe.url : std::string();
    }
};

}  // namespace

BoardLockService& platform_board_lock_service() {
    // Never destroyed, like the other services: a start or stop may run
    // while the process exits.
    static LockFileService* service = new LockFileService;
    return *service;
}

}  // namespace kv318
