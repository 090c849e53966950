#include "board_source.h"

#ifdef KV318_HAVE_REMOTE_CLIENT
#include "remote_api.h"
#endif

namespace kv318::scope {

int choose_board_source(ScopeSettings* s, BoardSource* source, std::FILE* err) {
    if (s->server.empty()) return -1;
#ifdef KV318_HAVE_REMOTE_CLIENT
    remote::RemoteSettings settings;
    settings.url = s->server;
    settings.program = "kv318-scope";
    settings.follow = s->follow;
    settings.clockHz = s->clockHz;
    settings.fifoBytes = s->fifoBytes;
    std::string error;
    if (!remote::choose_keys(s->serverKeys, &settings, &error)) {
        std::fprintf(err, "kv318-scope: --server-keys: %s\n", error.c_str());
        return 2;
    }
    const pipeline::BoardApi& api = remote::remote_api(settings);
    source->api = &api;
    source->notFoundHint = remote::remote_open_hint;
    // The server holds the board's lock; its refusals name who controls it.
    source->lockHeld = nullptr;
    if (!s->follow) return -1;
    const std::int32_t h = api.open(s->board);
    if (h == -1) {
        std::fprintf(err, "kv318-scope: board %d: not found%s\n", s->board, remote::remote_open_hint(s->board).c_str());
        return 1;
    }
    pipeline::RemoteStatus joined;
    const bool ok = api.ad(h, 0, 0, 0, 0, s->divider) == 0;
    pipeline::remote_status(api, h, &joined);
    api.stopAd(h);
    api.close(h);
    if (!ok) {
        std::fprintf(err, "kv318-scope: %s\n", joined.failure.c_str());
        return 1;
    }
    s->clockHz = joined.clockHz;
    s->divider = static_cast<std::int32_t>(joined.divider);
    return -1;
#else
    (void)source;
    std::fprintf(err, "kv318-scope: --server is not available in this build\n");
    return 2;
#endif
}

}  // namespace kv318::scope
