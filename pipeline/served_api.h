// The board table kv318-cli and kv318-scope use with --server: the
// library's own exports (library_api()), with the open going to the server
// the command line names, so the tools reach a served board as any program
// does, through libKV318 and the client library it loads.
#pragma once

#include <cstdint>
#include <string>

#include "board_api.h"

namespace kv318::pipeline {

// What a tool's command line says of the server and its board.
struct ServedChoice {
    std::string url;   // the server's URL (--server)
    std::string keys;  // a key directory (--server-keys), or empty for the library's own choice
    // What the tool knows of the board (--clock, --fifo-bytes), in the
    // ranges option_limits.h holds: told to the server with every start.
    std::uint64_t clockHz = 0;
    std::uint64_t fifoBytes = 0;
    // --follow: every start joins the running stream (KV318_Follow).
    bool follow = false;
};

// The table: open is KV318_OpenServed(url, board, keys) then
// KV318_ServedBoard with the choice's clock and FIFO size (-1, the handle
// closed again, when either fails); for a follower the starts are
// KV318_Follow of a stream that runs: one that finds none leaves again and
// fails, its status saying "no stream runs on board N of kv318-server at
// URL, so there is none to follow"; every other entry is library_api()'s.  An open after one
// whose server did not answer fails at once, so probing boards one by one
// waits out one silence only.  Main's thread calls it once, before the
// first open; the table's entries may then be called on any thread, and it
// lives until the process ends.
const BoardApi& served_api(const ServedChoice& choice);

// "no stream runs on board N of kv318-server at URL, so there is none to
// follow": what a follower says that found no stream.  Any thread.
std::string no_stream_text(const std::string& board, const std::string& url);

// What the tools print after "board N: not found": ": " and why the calling
// thread's last open of a served board failed (KV318_ServedStatus of
// handle -1), or empty.  Any thread.
std::string served_open_hint(int board);

}  // namespace kv318::pipeline
