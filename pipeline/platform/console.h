// What the tool needs from the operating system, one file per OS:
// terminals, binary standard output, the stop signals, and where the
// driver looks for a board.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "sample_writer.h"

namespace kv318::pipeline::platform {

bool is_terminal(std::FILE* stream);

// Samples go out byte for byte (no newline translation on Windows).
void set_binary(std::FILE* stream);

// Ctrl-C and SIGTERM (on Windows Ctrl-C, Ctrl-Break and closing the
// console) set *stop, which the running command polls; a second one ends
// the process at once, for a board that no longer answers.  A write to a
// closed pipe becomes an error the command reports instead of a signal
// that kills it with the converter running.
void install_stop_handlers(std::atomic<bool>* stop);

// The output of stream and poll: the file `path` (created or truncated),
// or standard output when `path` is empty.  Null with *error set when it
// cannot be opened.  Where the platform can, a write that waits on a pipe,
// FIFO or terminal nobody reads gives up once abandon() is called; a
// regular file is always written to the end.
std::unique_ptr<ByteOutput> open_output(const std::string& path, std::string* error);

// Said after "board N: not found": where the driver was looked for.
std::string not_found_hint(int board);

}  // namespace kv318::pipeline::platform
