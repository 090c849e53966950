// kv318-cli is built on the shared sample pipeline (pipeline/): the board
// table, the recordings and their writers, and the option limits that
// kv318-scope and kv318-sim read numbers by too.  The CLI's code names
// them as its own.
#pragma once

#include "board_api.h"
#include "option_limits.h"
#include "recording.h"
#include "sample_format.h"
#include "sample_store.h"
#include "sample_writer.h"

namespace kv318::cli {
using namespace kv318::pipeline;
}  // namespace kv318::cli
