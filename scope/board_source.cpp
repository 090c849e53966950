#include "board_source.h"

#include "served_api.h"

namespace kv318::scope {

int choose_board_source(ScopeSettings* s, BoardSource* source, std::FILE* err) {
    if (s->server.empty()) return -1;
    // Through the library's exports, as any program reaches a served board.
    pipeline::ServedChoice choice;
    choice.url = s->server;
    choice.keys = s->serverKeys;
    choice.clockHz = s->clockHz;
    choice.fifoBytes = s->fifoBytes;
    choice.follow = s->follow;
    const pipeline::BoardApi& api = pipeline::served_api(choice);
    source->api = &api;
    source->notFoundHint = pipeline::served_open_hint;
    // The server holds the board's lock; its refusals name who controls it.
    source->lockHeld = nullptr;
    if (!s->follow) return -1;
    const std::int32_t h = api.open(s->board);
    if (h == -1) {
        std::fprintf(err, "kv318-scope: board %d: not found%s\n", s->board,
                     pipeline::served_open_hint(s->board).c_str());
        return 1;
    }
    pipeline::RemoteStatus joined;
    const bool ok = api.follow(h) == 0;
    pipeline::served_status(api, h, &joined);
    api.stopAd(h);
    api.close(h);
    if (!ok) {
        std::fprintf(err, "kv318-scope: %s\n", joined.failure.c_str());
        return 1;
    }
    s->clockHz = joined.clockHz;
    s->divider = static_cast<std::int32_t>(joined.divider);
    return -1;
}

}  // namespace kv318::scope
