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
#include "board_pool.h"
#include "command_line.h"
#include "console.h"
#include "control.h"
#include "endpoints.h"
#include "host.h"
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
    // Boards that are not there yet are waited for, and boards that go away
    // are taken back when they return (board_pool.h).
    BoardPool pool(api, transport, o.boards, say, [](int b) { return kv318::pipeline::platform::not_found_hint(b); });
    if (!transport.listen(endpoints, keys, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 2;
    }
    Control control(pool.hosts(), platform::process_name());
    for (const Endpoint& e : endpoints) {
        std::printf("kv318-server: listening on %s (blocks on %s%s)\n", e.url.c_str(),
                    kv318::remote::data_url(e.url).c_str(), e.secure ? ", CURVE" : "");
    }
    for (const std::string& line : pool.start_lines()) say(line);

    while (!stop.load()) {
        transport.serve(kServeWaitMs, [&](const std::string& request) { return control.answer(request, now_ms()); });
        pool.tick(now_ms());
        control.tick(now_ms());
    }
    control.stop_all();
    std::printf("kv318-server: stopped\n");
    return 0;
}
