// kv318-sim as a benchmark's board: a separate process standing in for
// hardware.  A real board keeps converting whatever the host is doing, so
// the simulator must not be the one that falls behind under load; it is
// started at kBoardNice (board_core.h) where this process may give it, and
// the load falls on the library and its caller, as on a user's machine.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kv318::bench {

// Starts args[0] with args[1..], its stdout and stderr into `logPath`
// (created or truncated).  The pid, or -1 when it cannot be started.
// Without the right to raise it, it runs at this process's priority.
// It is kept on `core` (see board_core.h); -1 lets the scheduler place it.
pid_t spawn_board_process(int core, const std::vector<std::string>& args, const std::string& logPath);

// The same for a program under test (a tool reading from the board): it
// runs at this process's own priority.
pid_t spawn_program(const std::vector<std::string>& args, const std::string& logPath);

// The samples the simulator's FIFO dropped, from the last "FIFO drops so
// far" figure in its log; -1 when the log holds none yet.
long fifo_drops_in(const std::string& logPath);

}  // namespace kv318::bench
