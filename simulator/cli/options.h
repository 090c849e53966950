// The command line of kv318-sim, parsed without touching the OS so every
// transport's front end shares it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "connections.h"
#include "faults.h"

namespace kv318::sim {

inline constexpr int kMaxBoards = 16;

// Which driver channel the front end serves.  The options differ only where
// the channels do: a Unix socket lives in a directory, a named pipe has a
// fixed machine-wide name and is stopped through its console.
enum class Transport { UnixSocket, NamedPipe };

struct SimOptions {
    int boards = 1;
    std::string dir;                // empty: the driver channel's own directory (UnixSocket only)
    bool stopOnEof = false;         // end when standard input ends (NamedPipe only)
    BoardConfig board;              // every board's settings; the number is set per board
    std::vector<FaultRule> faults;  // given to every board
    ServerLimits limits;            // --max-clients, --client-timeout
};

enum class ParseStatus { Run, Help, Version, Error };

// Parses argv[1..argc-1] into *out.  Help when --help or -h is given,
// Version for --version,
// Error with a one-line reason in *error for anything it cannot take,
// including an option the transport has no use for.
ParseStatus parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error,
                          Transport transport = Transport::UnixSocket);

// What --version prints: "kv318-sim 1.1.0", the CMake project's version.
std::string version_text();

// The text --help prints for the transport's front end.
std::string usage_text(Transport transport = Transport::UnixSocket);

// Every option the transport's front end takes, by its long name
// ("--boards", ...), for checking that the usage text names them all.
std::vector<std::string> option_names(Transport transport = Transport::UnixSocket);

// One --fail value: WHAT[:after=N|:after=Ts|:after=Tms][:once|:always].
// Returns false with the reason in *why when it is not one.
bool parse_fault(const std::string& text, FaultRule* out, std::string* why);

// The boards the options ask for, numbered from 0, each with every scripted
// fault, on `clock` (which must outlive them).
std::vector<std::unique_ptr<Board>> make_boards(const SimOptions& options, const Clock& clock);

// The line a front end logs once it serves: "serving N boards <where>
// (signal ..., converter clock ... Hz)", `where` saying where, e.g.
// "in /tmp/kv318-1000".  Scripts wait for it.
std::string serving_line(const SimOptions& options, const std::string& where);

}  // namespace kv318::sim
