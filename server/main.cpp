// kv318-server: opens the boards it is told, holds each while it streams,
// and shares them with every program that connects.  The command line and
// the wiring are here; the rules live in core/, the sockets in platform/.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

#include "board_api.h"
#include "command_line.h"
#include "console.h"
#include "control.h"
#include "endpoints.h"
#include "host.h"
#include "serve_lock.h"
#include "server_keys.h"
#include "transport.h"
#include "wire.h"

namespace {

using namespace kv318::server;

// How long the serving loop waits for a request before it runs the
// clock on (expiry, idle blocks).
constexpr int kServeWaitMs = 50;
// Boards tried when none is named, as kv318-cli list does.
constexpr int kProbeBoards = 16;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions o;
    const int parsed = parse_command_line(argc, argv, &o);
    if (parsed >= 0) return parsed;
    if (o.keygen) return keygen(o);

    std::vector<std::string> urls = o.listen;
    if (urls.empty()) {
        urls.push_back(kv318::remote::kDefaultUrl);
        for (const std::string& u : platform::default_local_urls()) urls.push_back(u);
    }
    // Stamped before the list is read, so a change meanwhile is seen.
    std::unique_ptr<AllowedWatch> watch = o.keysDir.empty() ? nullptr : std::make_unique<AllowedWatch>(o.keysDir);
    Keys keys;
    LocalKeys localKeys;
    std::vector<Endpoint> endpoints;
    std::string error;
    if (!plan_served_endpoints(o, urls, &endpoints, &keys, &localKeys, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 2;
    }

    static std::atomic<bool> stop{false};
    kv318::pipeline::platform::install_stop_handlers(&stop);

    const kv318::pipeline::BoardApi& api = kv318::pipeline::library_api();
    Transport transport;
    ServeLocks serveLocks;  // before the hosts: it outlives them
    std::vector<std::unique_ptr<BoardHost>> hosts;
    std::vector<std::int64_t> wanted = o.boards;
    const bool probing = wanted.empty();
    for (int b = 0; probing && b < kProbeBoards; ++b) wanted.push_back(b);
    for (const std::int64_t b : wanted) {
        const std::int32_t h = api.open(static_cast<std::int32_t>(b));
        if (h == -1) {
            if (probing) continue;
            std::fprintf(stderr, "kv318-server: board %d: not found%s\n", static_cast<int>(b),
                         kv318::pipeline::platform::not_found_hint(static_cast<int>(b)).c_str());
            return 3;
        }
        if (!serveLocks.take(static_cast<std::int32_t>(b), &error)) {
            api.close(h);
            std::fprintf(stderr, "kv318-server: %s%s\n", error.c_str(), probing ? "; skipped" : "");
            if (probing) continue;
            return 3;
        }
        hosts.push_back(std::make_unique<BoardHost>(api, h, static_cast<std::uint16_t>(b), transport));
    }
    if (hosts.empty()) {
        std::fprintf(stderr, "kv318-server: no board found among boards 0-%d%s\n", kProbeBoards - 1,
                     kv318::pipeline::platform::not_found_hint(0).c_str());
        return 3;
    }
    if (!transport.listen(endpoints, keys, &error) || !localKeys.publish(endpoints, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 2;
    }
    std::vector<BoardHost*> served;
    std::string boardList;
    for (const auto& h : hosts) {
        served.push_back(h.get());
        if (!boardList.empty()) boardList += ", ";
        boardList += std::to_string(h->board());
    }
    Control control(served, platform::process_name());
    for (const Endpoint& e : endpoints) {
        std::printf("kv318-server: listening on %s (blocks on %s; %s)\n", e.url.c_str(),
                    kv318::remote::data_url(e.url).c_str(), guard_text(e.guard, o.keysDir).c_str());
    }
    std::printf("kv318-server: serving board%s %s\n", hosts.size() > 1 ? "s" : "", boardList.c_str());
    std::fflush(stdout);

    while (!stop.load()) {
        transport.serve(kServeWaitMs, [&](const std::string& request, const Caller& caller) {
            return control.answer(request, caller, now_ms());
        });
        control.tick(now_ms());
        if (watch != nullptr && watch->poll(now_ms())) reload_allowed(*watch, transport);
    }
    control.stop_all();
    std::printf("kv318-server: stopped\n");
    return 0;
}
