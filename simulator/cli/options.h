// The command line of kv318-sim, parsed without touching the OS so every
// transport's front end shares it.
#pragma once

#include <string>
#include <vector>

#include "board.h"
#include "faults.h"

namespace kv318::sim {

inline constexpr int kMaxBoards = 16;

// Which driver channel the front end serves.  The options differ only where
// the channels do: a Unix socket lives in a directory, a named pipe has a
// fixed machine-wide name and is stopped through its console.
enum class Transport { UnixSocket, NamedPipe };

struct SimOptions {
    int boards = 1;
    std::string dir;    // empty: the driver channel's own directory (UnixSocket only)
    bool stopOnEof = false;  // end when standard input ends (NamedPipe only)
    BoardConfig board;  // every board's settings; the number is set per board
    std::vector<FaultRule> faults;  // given to every board
};

enum class ParseStatus { Run, Help, Error };

// Parses argv[1..argc-1] into *out.  Help when --help or -h is given,
// Error with a one-line reason in *error for anything it cannot take,
// including an option the transport has no use for.
ParseStatus parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error,
                          Transport transport = Transport::UnixSocket);

// The text --help prints for the transport's front end.
std::string usage_text(Transport transport = Transport::UnixSocket);

}  // namespace kv318::sim
