// The board acquisition lock as every process sees it: one lock file per
// board, named after the board's device ("KV318Device0.lock"), which the
// process that streams or polls the board holds with an OS lock for as long
// as its acquisition runs, and in which it writes its process id as decimal
// text and a newline.  The kernel drops the lock when the holder exits or
// crashes, so a dead holder never blocks a board; the file itself stays (a
// lock file that holders deleted would let two processes lock two files of
// one name).
//
// The library takes and releases the lock; tools that want to say who
// holds a board (kv318-cli, the Python package) only look, through
// probe_board_lock.  Where the file lives is an OS matter, in
// board_lock_file.h (one per OS).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv318 {

// "KV318Device<board>.lock": the name of the board's socket or pipe plus ".lock".
std::string board_lock_file_name(std::int32_t board);

// The text a holder writes into the file: its pid in decimal and "\n".
std::string board_lock_pid_text(std::uint32_t pid);

// Reads a pid from the start of a lock file's `len` bytes at `text`: one
// to ten decimal digits followed by "\n", a value from 1 to 2^32-1.
// Anything after the newline is ignored (a shorter pid written over a
// longer one leaves its tail).  False for anything else, such as a file a
// new holder has locked but not written yet; *pid is then not written.
bool parse_board_lock_pid(const char* text, std::size_t len, std::uint32_t* pid);

// How long a start waits out locks that are only looks at who holds the
// board (shared locks held for an instant), in milliseconds.
inline constexpr int kLookRetryMs = 250;

struct BoardLockProbe {
    bool held = false;      // another process holds the board's lock
    std::uint32_t pid = 0;  // its pid when the file says, else 0
};

// Looks whether another process holds `board`'s lock, without taking it
// for longer than the look itself, and reads the holder's pid.  Any thread.
// A board whose lock file does not exist, or cannot be opened, is not held.
// The look tries a shared lock for an instant; a start that meets it
// tries again for up to kLookRetryMs, so looks may be made at any time,
// also in a loop.
BoardLockProbe probe_board_lock(std::int32_t board);

// The second lock of a board, kv318-server's: one server per board.  A
// server holds it for as long as it serves the board, streaming or not
// (the acquisition lock above it holds only while the board streams), so
// a second server on the board is refused before it touches it.  Its file
// is "KV318Device<board>.served", beside the acquisition lock file and
// made, checked, locked and written exactly as that one (the holder's
// pid, as board_lock_pid_text writes it); the OS drops the lock when the
// server exits.
std::string board_served_file_name(std::int32_t board);

// The text a server writes into a board's served lock file: its pid, as
// board_lock_pid_text writes it, then the URL of the endpoint a program of
// the same user on this machine reaches it through, and "\n".  A program
// that opens the board while a server serves it is served through that
// URL instead (the library's KV318_OpenDevice).
std::string board_served_text(std::uint32_t pid, const std::string& url);

// The longest URL a served lock file may name.
inline constexpr std::size_t kServedUrlMax = 255;

// Reads the URL from a served lock file's `len` bytes at `text`: the line
// after the pid's.  True only for a URL of this machine: ipc://, or tcp://
// on 127.0.0.1, localhost or [::1], of printable characters without
// spaces, at most kServedUrlMax long and ended by "\n".  False for
// anything else, such as the pid alone (a server that names no such URL);
// *url is then not written.
bool parse_board_served_url(const char* text, std::size_t len, std::string* url);

struct BoardServedProbe {
    bool held = false;      // a server holds the board's served lock
    std::uint32_t pid = 0;  // its pid when the file says, else 0
    std::string url;        // its local URL when the file names one, else ""
};

// Looks whether a process holds `board`'s served lock, as probe_board_lock
// looks at the acquisition lock, and reads what its file says.  Any
// thread.  A file that does not exist or cannot be opened is not held.
BoardServedProbe probe_board_served(std::int32_t board);

struct ServedLockTake {
    enum Result { Taken, Busy, Failed } result = Failed;
    std::intptr_t token = -1;  // Taken: what release_board_served_lock needs
    std::uint32_t holder = 0;  // Busy: the holder's pid when its file says, else 0
    std::string why;           // Failed: what is wrong, in words naming the file
};

// Takes `board`'s served lock without waiting for a holder (a look at it
// is waited out as a start waits one out), and writes board_served_text
// with `url` into it ("" writes the pid alone).  Any thread.  Only a Taken
// result holds anything.  The take and the release are the OS's, in
// board_lock_file.cpp.
ServedLockTake take_board_served_lock(std::int32_t board, const std::string& url);

// Gives back a lock take_board_served_lock took.  Any thread.
void release_board_served_lock(std::intptr_t token);

// Why the library will not use `board`'s lock file, in words for the user
// that name the file ("the lock file /run/user/1000/kv318/KV318Device0.lock
// is a symbolic link"), or "" when it will or when there is no file yet.
// The library refuses every start of the board while this is not empty,
// without a byte sent.  Any thread.
std::string board_lock_file_problem(std::int32_t board);

}  // namespace kv318
