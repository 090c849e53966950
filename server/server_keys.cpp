#include "server_keys.h"

#include <zmq.h>

#include <cstdio>

#include "client_keys.h"
#include "host.h"
#include "transport.h"

namespace kv318::server {

namespace {

// A file's path in a key folder.
std::string in_dir(const std::string& dir, const std::string& name) {
    std::string path = dir;
    path += '/';
    path += name;
    return path;
}

// How often the allow list is looked at: a removed key is out within it.
constexpr std::int64_t kAllowedPollMs = 1000;
// The local client's files beside the server's.
const std::string kLocalSecret = std::string(remote::kLocalClientName) + ".key";
const std::string kLocalPublic = std::string(remote::kLocalClientName) + ".pub";

std::string public_of(const std::string& secret) {
    char pub[41] = {};
    if (secret.size() != 40 || zmq_curve_public(pub, secret.c_str()) != 0) return "";
    return pub;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

// Reads `path` held to `role`'s rules: false with *error when it breaks one.
bool read_checked(const std::string& path, KeyFileRole role, std::string* text, std::string* error) {
    FileFacts facts;
    if (!platform::read_key_file(path, role != KeyFileRole::Secret, kMaxKeyFileBytes, &facts, text, error))
        return false;
    *error = key_file_problem(path, role, facts);
    return error->empty();
}

struct Pair {
    std::string serverPublic, serverSecret, clientPublic, clientSecret;
};

// The sound local keys of `dir`, or false: every file by its rules, each
// public key the one of its secret, and the client admitted.
bool read_local(const std::string& dir, Pair* p) {
    std::string sec, pub, csec, cpub, allowed, error;
    Keys keys;
    if (!read_checked(in_dir(dir, kServerSecretFile), KeyFileRole::Secret, &sec, &error) ||
        !read_checked(in_dir(dir, kServerPublicFile), KeyFileRole::Public, &pub, &error) ||
        !read_checked(in_dir(dir, kLocalSecret), KeyFileRole::Secret, &csec, &error) ||
        !read_checked(in_dir(dir, kLocalPublic), KeyFileRole::Public, &cpub, &error) ||
        !read_checked(in_dir(dir, kAllowedFile), KeyFileRole::Allowed, &allowed, &error) ||
        !check_server_pair(dir, sec, pub, public_of(first_line(sec)), &keys, &error)) {
        return false;
    }
    std::vector<std::string> admitted;
    p->serverPublic = keys.publicKey;
    p->serverSecret = keys.secretKey;
    p->clientSecret = first_line(csec);
    p->clientPublic = public_of(p->clientSecret);
    return !p->clientPublic.empty() && first_line(cpub) == p->clientPublic &&
           parse_allowed_keys(allowed, &admitted, &error) && admitted == std::vector<std::string>{p->clientPublic};
}

bool is_local_keys(const Endpoint& e) { return e.guard == Guard::LocalKeys; }

}  // namespace

int keygen(const ServerOptions& o) {
    std::string pub, sec, error;
    if (!make_key_pair(&pub, &sec)) {
        std::fprintf(stderr, "kv318-server: this build's ZeroMQ %s cannot make CURVE keys\n",
                     zmq_version_text().c_str());
        return 1;
    }
    const std::string base = o.keygenDir + "/" + o.keygenName;
    for (const std::string& path : {base + ".key", base + ".pub"}) {
        if (platform::file_facts(path, false).exists) {
            std::fprintf(stderr, "kv318-server: %s is there already: a key pair is never overwritten\n", path.c_str());
            return 1;
        }
    }
    if (!platform::make_key_directory(o.keygenDir, &error) ||
        !platform::write_key_file(base + ".key", sec + "\n", true, false, &error) ||
        !platform::write_key_file(base + ".pub", pub + "\n", false, false, &error)) {
        std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pub.c_str());
    std::fprintf(stderr, "kv318-server: wrote %s.key (secret) and %s.pub\n", base.c_str(), base.c_str());
    return 0;
}

bool load_allowed(const std::string& dir, std::vector<std::string>* allowed, std::vector<std::string>* warnings,
                  std::string* error) {
    const std::string path = in_dir(dir, kAllowedFile);
    std::string text;
    if (!platform::file_facts(path, true).exists) {
        *error = "no " + path + ": list the clients' public keys there, one a line";
        return false;
    }
    if (!read_checked(path, KeyFileRole::Allowed, &text, error)) return false;
    if (!parse_allowed_keys(text, allowed, error)) {
        *error = path + ": " + *error;
        return false;
    }
    if (allowed->empty()) warnings->push_back(path + " lists no key: no client gets in");
    return true;
}

bool load_key_dir(const std::string& dir, Keys* keys, std::vector<std::string>* warnings, std::string* error) {
    if (*error = key_file_problem(dir, KeyFileRole::Folder, platform::file_facts(dir, true)); !error->empty())
        return false;
    const std::string secretPath = in_dir(dir, kServerSecretFile);
    if (!platform::file_facts(secretPath, false).exists) {
        *error = "no key pair in " + dir + " (kv318-server keygen " + dir + " makes one)";
        return false;
    }
    std::string sec, pub;
    if (!read_checked(secretPath, KeyFileRole::Secret, &sec, error) ||
        !read_checked(in_dir(dir, kServerPublicFile), KeyFileRole::Public, &pub, error) ||
        !check_server_pair(dir, sec, pub, public_of(first_line(sec)), keys, error)) {
        return false;
    }
    return load_allowed(dir, &keys->allowed, warnings, error);
}

bool LocalKeys::prepare(const std::vector<Endpoint>& endpoints, Keys* keys, std::string* error) {
    bool found = false;
    for (const Endpoint& e : endpoints) {
        if (!is_local_keys(e)) continue;
        const std::string dir = remote::local_keys_dir(e.url);
        if (dir.empty()) {
            *error = "no place for this user's local keys of " + e.url + ": give --keys DIR";
            return false;
        }
        if (!platform::make_local_keys_dir(dir, error)) return false;
        Pair p;
        if (!found && read_local(dir, &p)) {
            found = true;
            serverPublic_ = p.serverPublic;
            serverSecret_ = p.serverSecret;
            clientPublic_ = p.clientPublic;
            clientSecret_ = p.clientSecret;
        }
    }
    if (!found && (!make_key_pair(&serverPublic_, &serverSecret_) || !make_key_pair(&clientPublic_, &clientSecret_))) {
        *error = "this build's ZeroMQ " + zmq_version_text() + " cannot make CURVE keys: give --insecure";
        return false;
    }
    keys->publicKey = serverPublic_;
    keys->secretKey = serverSecret_;
    keys->allowed = {clientPublic_};
    return true;
}

bool LocalKeys::publish(const std::vector<Endpoint>& endpoints, std::string* error) const {
    for (const Endpoint& e : endpoints) {
        const std::string dir = remote::local_keys_dir(e.url);
        if (dir.empty()) continue;
        if (!is_local_keys(e)) {
            for (const std::string& f : {kLocalSecret, kLocalPublic, std::string(kServerSecretFile),
                                         std::string(kServerPublicFile), std::string(kAllowedFile)}) {
                platform::remove_file(in_dir(dir, f));
            }
            continue;
        }
        Pair p;
        if (read_local(dir, &p) && p.serverSecret == serverSecret_ && p.clientSecret == clientSecret_) continue;
        // The public files last: a client that finds them finds the rest.
        if (!platform::write_key_file(in_dir(dir, kServerSecretFile), serverSecret_ + "\n", true, true, error) ||
            !platform::write_key_file(in_dir(dir, kAllowedFile), clientPublic_ + " " + remote::kLocalClientName + "\n",
                                      false, true, error) ||
            !platform::write_key_file(in_dir(dir, kLocalSecret), clientSecret_ + "\n", true, true, error) ||
            !platform::write_key_file(in_dir(dir, kLocalPublic), clientPublic_ + "\n", false, true, error) ||
            !platform::write_key_file(in_dir(dir, kServerPublicFile), serverPublic_ + "\n", false, true, error)) {
            return false;
        }
    }
    return true;
}

AllowedWatch::AllowedWatch(std::string dir)
    : dir_(std::move(dir)), stamp_(platform::file_stamp(dir_ + "/" + kAllowedFile)) {}

bool AllowedWatch::poll(std::int64_t nowMs) {
    if (nowMs - lastMs_ < kAllowedPollMs) return false;
    lastMs_ = nowMs;
    const FileStamp now = platform::file_stamp(dir_ + "/" + kAllowedFile);
    if (now == stamp_) return false;
    stamp_ = now;
    return true;
}

bool plan_served_endpoints(const ServerOptions& o, const std::vector<std::string>& urls,
                           std::vector<Endpoint>* endpoints, Keys* keys, LocalKeys* local, std::string* error) {
    std::vector<std::string> warnings;
    const bool ok =
        (o.keysDir.empty() || load_key_dir(o.keysDir, keys, &warnings, error)) &&
        plan_endpoints(urls, !o.keysDir.empty(), o.insecure, platform::ipc_is_private, endpoints, &warnings, error) &&
        (!o.keysDir.empty() || local->prepare(*endpoints, keys, error));
    for (const std::string& w : warnings) std::fprintf(stderr, "kv318-server: %s\n", w.c_str());
    return ok;
}

void reload_allowed(const AllowedWatch& watch, Transport& transport) {
    std::vector<std::string> allowed, warnings;
    std::string error;
    if (!load_allowed(watch.dir(), &allowed, &warnings, &error)) {
        allowed.clear();
        std::fprintf(stderr, "kv318-server: %s; no client gets in until it is mended\n", error.c_str());
    } else {
        std::fprintf(stderr, "kv318-server: %s/%s read again: %zu key%s\n", watch.dir().c_str(), kAllowedFile,
                     allowed.size(), allowed.size() == 1 ? "" : "s");
    }
    for (const std::string& w : warnings) std::fprintf(stderr, "kv318-server: %s\n", w.c_str());
    if (!transport.set_allowed(allowed, &error)) std::fprintf(stderr, "kv318-server: %s\n", error.c_str());
}

}  // namespace kv318::server
