// Where a board's lock file lives on Windows: in the user's temporary
// directory (GetTempPathW), which every process of the user shares, also
// programs that reach the board through its kernel driver.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kv318::win32 {

// The lock is one byte at this offset, far past any pid text at offset 0:
// Windows byte-range locks are mandatory, so a lock on the text itself
// would keep other processes from reading who holds the board.
inline constexpr DWORD kBoardLockOffset = 0x40000000;

// <temporary directory>KV318Device<board>.lock
std::wstring board_lock_path(std::int32_t board);

// <temporary directory>KV318Device<board>.served, kv318-server's lock
// (board_lock.h), opened and locked as the acquisition lock's file is.
std::wstring board_served_path(std::int32_t board);

// Opens the lock file at `path` as open_board_lock_file opens the board's;
// INVALID_HANDLE_VALUE for an empty path.
HANDLE open_lock_file(const std::wstring& path, bool create);

// Opens `board`'s lock file for reading and writing (creating it when
// `create` is set), shared for reading and writing, so any number of
// processes can open it and only the byte-range lock decides.  Not shared
// for deleting: while anyone has it open, nobody can remove or rename it,
// which would let the next start lock a new file of the same name.  Any
// thread.  Returns the handle, owned by the caller, or INVALID_HANDLE_VALUE.
HANDLE open_board_lock_file(std::int32_t board, bool create);

// Writes this process's id into a lock file it holds, from its start, and
// moves the file's end to the text's end so a shorter pid leaves no tail of
// a longer one.  The pid is for people and tools: the lock holds whether or
// not it could be written.  The caller's thread.
void write_lock_pid(HANDLE file);

// Writes `text` at the start of `file` and ends the file there.
void write_lock_text(HANDLE file, const std::string& text);

}  // namespace kv318::win32
