// kv318-server: opens the boards it is told, holds each while it streams,
// and shares them with every program that connects.  The command line and
// the wiring are here; the rules live in core/, the sockets in platform/.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

#include "board_api.h"
#include "board_pool.h"
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
// clock on (expiry, idle blocks, boards that come and go).
constexpr int kServeWaitMs = 50;

void say(const std::string& line) {
    std::printf("kv318-server: %s\n", line.c_str());
    std::fflush(stdout);
}

void complain(const std::string& line) { std::fprintf(stderr, "kv318-server: %s\n", line.c_str()); }

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

    platform::open_boards_directly();
    const kv318::pipeline::BoardApi& api = kv318::pipeline::library_api();
    Transport transport;
    ServeLocks serveLocks;  // before the pool: it outlives the boards
    serveLocks.set_local_url(local_program_url(endpoints));
    // Boards that are not there yet are waited for, and boards that go away
    // are taken back when they return, each under its served lock
    // (board_pool.h).
    BoardPool pool(api, transport, o.boards, serveLocks, say, complain,
                   [](int b) { return kv318::pipeline::platform::not_found_hint(b); });
    if (pool.refused()) return 3;
    if (!transport.listen(endpoints, keys, &error) || !localKeys.publish(endpoints, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 2;
    }
    Control control(pool.hosts(), platform::process_name());
    for (const Endpoint& e : endpoints) {
        std::printf("kv318-server: listening on %s (blocks on %s; %s)\n", e.url.c_str(),
                    kv318::remote::data_url(e.url).c_str(), guard_text(e.guard, o.keysDir).c_str());
    }
    for (const std::string& line : pool.start_lines()) say(line);

    while (!stop.load()) {
        transport.serve(kServeWaitMs, [&](const std::string& request, const Caller& caller) {
            return control.answer(request, caller, now_ms());
        });
        pool.tick(now_ms());
        control.tick(now_ms());
        if (watch != nullptr && watch->poll(now_ms())) reload_allowed(*watch, transport);
    }
    control.stop_all();
    std::printf("kv318-server: stopped\n");
    return 0;
}
