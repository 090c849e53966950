// kv318-server: opens the boards it is told, holds each while it streams,
// and shares them with every program that connects.  The command line and
// the wiring are here; the rules live in core/, the sockets in platform/.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "board_api.h"
#include "command_line.h"
#include "console.h"
#include "control.h"
#include "endpoints.h"
#include "host.h"
#include "serve_lock.h"
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

bool read_file(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

int keygen(const ServerOptions& o) {
    std::string pub, sec, error;
    if (!make_key_pair(&pub, &sec)) {
        std::fprintf(stderr, "kv318-server: this build's ZeroMQ %s cannot make CURVE keys\n",
                     zmq_version_text().c_str());
        return 1;
    }
    const std::string base = o.keygenDir + "/" + o.keygenName;
    if (!platform::make_key_directory(o.keygenDir, &error) ||
        !platform::write_key_file(base + ".key", sec + "\n", true, &error) ||
        !platform::write_key_file(base + ".pub", pub + "\n", false, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pub.c_str());
    std::fprintf(stderr, "kv318-server: wrote %s.key (secret) and %s.pub\n", base.c_str(), base.c_str());
    return 0;
}

bool load_keys(const std::string& dir, Keys* keys, std::string* error) {
    std::string sec, pub, allowed;
    if (!read_file(dir + "/server.key", &sec) || !read_file(dir + "/server.pub", &pub)) {
        *error = "no key pair in " + dir + " (kv318-server keygen " + dir + " makes one)";
        return false;
    }
    keys->secretKey = first_line(sec);
    keys->publicKey = first_line(pub);
    if (!is_z85_key(keys->secretKey) || !is_z85_key(keys->publicKey)) {
        *error = dir + "/server.key or server.pub holds no key";
        return false;
    }
    if (!read_file(dir + "/" + kAllowedFile, &allowed)) {
        *error = "no " + dir + "/" + kAllowedFile + ": list the clients' public keys there, one a line";
        return false;
    }
    if (!parse_allowed_keys(allowed, &keys->allowed, error)) {
        *error = dir + "/" + kAllowedFile + ": " + *error;
        return false;
    }
    return true;
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
    Keys keys;
    std::string error;
    if (!o.keysDir.empty() && !load_keys(o.keysDir, &keys, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 2;
    }
    std::vector<Endpoint> endpoints;
    std::vector<std::string> warnings;
    if (!plan_endpoints(urls, !o.keysDir.empty(), o.insecure, &endpoints, &warnings, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 2;
    }
    for (const std::string& w : warnings) std::fprintf(stderr, "kv318-server: %s\n", w.c_str());

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
    if (!transport.listen(endpoints, keys, &error)) {
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
        std::printf("kv318-server: listening on %s (blocks on %s%s)\n", e.url.c_str(),
                    kv318::remote::data_url(e.url).c_str(), e.secure ? ", CURVE" : "");
    }
    std::printf("kv318-server: serving board%s %s\n", hosts.size() > 1 ? "s" : "", boardList.c_str());
    std::fflush(stdout);

    while (!stop.load()) {
        transport.serve(kServeWaitMs, [&](const std::string& request, const Caller& caller) {
            return control.answer(request, caller, now_ms());
        });
        control.tick(now_ms());
    }
    control.stop_all();
    std::printf("kv318-server: stopped\n");
    return 0;
}
