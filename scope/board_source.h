// Which board table kv318-scope shows: the linked library's, or with
// --server the same exports opening the boards of a kv318-server
// (pipeline/served_api.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "board_api.h"
#include "scope_settings.h"

namespace kv318::scope {

struct BoardSource {
    const pipeline::BoardApi* api = nullptr;
    std::string (*notFoundHint)(int board) = nullptr;
    bool (*lockHeld)(std::int32_t board, std::uint32_t* pid) = nullptr;
};

// Main's thread, before the window exists.  `source` holds the library's
// table and helpers; with s->server set they are replaced by the server's.
// A follower (s->follow) joins the running stream once here to learn its
// clock and divider into *s, and leaves it again.  Returns -1 to go on, or
// the exit code with the reason on `err`: 1 when the server or its stream
// cannot be reached.
int choose_board_source(ScopeSettings* s, BoardSource* source, std::FILE* err);

}  // namespace kv318::scope
