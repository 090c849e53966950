// The command line of kv318-sim, parsed without touching the OS so every
// transport's front end shares it.
#pragma once

#include <string>
#include <vector>

#include "board.h"
#include "faults.h"

namespace kv318::sim {

inline constexpr int kMaxBoards = 16;

struct SimOptions {
    int boards = 1;
    std::string dir;    // empty: the driver channel's own directory
    BoardConfig board;  // every board's settings; the number is set per board
    std::vector<FaultRule> faults;  // given to every board
};

enum class ParseStatus { Run, Help, Error };

// Parses argv[1..argc-1] into *out.  Help when --help or -h is given,
// Error with a one-line reason in *error for anything it cannot take.
ParseStatus parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error);

// The text --help prints.
std::string usage_text();

}  // namespace kv318::sim
