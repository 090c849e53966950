// The exit codes kv318-cli ends with.  Scripts branch on them, so a code
// keeps its meaning once published; new conditions get new numbers.
#pragma once

#include <string>

#include "reader.h"

namespace kv318::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,          // a board operation failed
    kExitUsage = 2,           // bad arguments or a value out of range
    kExitNotFound = 3,        // the board did not open
    kExitNotEnabled = 4,      // a read found acquisition not enabled
    kExitOverflow = 5,        // samples were or may have been lost (the ring, or the FIFO verdict)
    kExitBulkFailed = 6,      // a bulk transfer failed, or the board stopped delivering samples
    kExitOutputFailed = 7,    // the output could not be written (or took no more after a stop)
    kExitSelftestFailed = 8,  // selftest: a check failed
    kExitNoTrigger = 9,       // capture: no trigger within --timeout, nothing written
    kExitBoardBusy = 10,      // stream/poll/capture/reg: another process (or kv318-server client) has the board
    kExitFellBehind = 11,     // stream/poll --server: blocks of the server's stream never arrived
};

// The exit code of a run that a failed read ended (pipeline::Reader's
// verdict): 4 not enabled, 5 ring overflow, 6 transfer failed; 0 for none.
ExitCode exit_code_for(pipeline::ReadEnd end);

// The exit codes as the top-level --help lists them, one per line;
// docs/cli.md lists the same codes in its table of exit codes.
std::string exit_code_table();

}  // namespace kv318::cli
