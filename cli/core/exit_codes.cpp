#include "exit_codes.h"

namespace kv318::cli {

ExitCode exit_code_for(pipeline::ReadEnd end) {
    switch (end) {
    case pipeline::ReadEnd::kNotEnabled:
        return kExitNotEnabled;
    case pipeline::ReadEnd::kRingOverflow:
        return kExitOverflow;
    case pipeline::ReadEnd::kTransferFault:
        return kExitBulkFailed;
    case pipeline::ReadEnd::kNone:
        break;
    }
    return kExitOk;
}

std::string exit_code_table() {
    return "  0  success (also a stream or watch stopped by Ctrl-C or SIGTERM)\n"
           "  1  a board operation failed; the message names the board and the call\n"
           "  2  usage: bad arguments, or a value out of range (nothing was sent)\n"
           "  3  board not found\n"
           "  4  stream/poll/capture: acquisition not enabled on the board\n"
           "  5  stream/poll/capture: samples were or may have been lost: the library's ring\n"
           "     overflowed, or a gap between drains could have filled the board's FIFO\n"
           "     (--fifo-bytes); the file holds every sample read and says so\n"
           "  6  stream/poll/capture: a bulk transfer from the board failed, or (stream/poll)\n"
           "     the board stopped delivering samples (--stall-timeout)\n"
           "  7  the output could not be written, or took no more within a second of\n"
           "     Ctrl-C (the samples not written are counted)\n"
           "  8  selftest: a check failed\n"
           "  9  capture: no trigger within --timeout; no file was written\n"
           " 10  stream/poll/capture/reg: the board is streaming in another process, or\n"
           "     (--server) another client of the server controls it; the message names it\n"
           " 11  stream/poll --server: the run fell behind the server and samples were missed;\n"
           "     the message counts them, and the file holds every sample that arrived\n";
}

}  // namespace kv318::cli
