// The command line of `capture`, beside the other subcommands'.
#pragma once

#include <CLI/CLI.hpp>

#include "core/commands.h"

namespace kv318::cli {

// Adds capture's options to `cmd` (its board option is already there): the
// trigger and the capture's length, and the options every acquisition to a
// file takes, defined once in acquisition_options.h.
void capture_options(CLI::App* cmd, Invocation* inv);

}  // namespace kv318::cli
