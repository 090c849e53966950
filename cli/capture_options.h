// The command line of `capture`, beside the other subcommands'.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

#include "core/commands.h"
#include "core/option_limits.h"

namespace kv318::cli {

// Adds capture's options to `cmd` (its board option is already there).
// `within` is the number check every subcommand uses.
void capture_options(CLI::App* cmd, Invocation* inv, const std::function<CLI::Validator(const Limit&)>& within);

}  // namespace kv318::cli
