// The command line, read with CLI11 into an Invocation.
#pragma once

#include "core/commands.h"

namespace kv318::cli {

// Reads argv into *inv.  Returns -1 when the command is to run; otherwise
// the exit code after --help (0) or a usage error (2), with the help or the
// reason already printed.
int parse_command_line(int argc, char** argv, Invocation* inv);

}  // namespace kv318::cli
