#include "client_keys.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace kv318::remote {

namespace {

// The characters of Z85, ZeroMQ's text form of a key.
constexpr const char* kZ85 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";

// The key on the first line of `path`, or empty when there is none.
std::string key_in(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() != 40) return {};
    for (const char c : line) {
        if (c == '\0' || std::strchr(kZ85, c) == nullptr) return {};
    }
    return line;
}

}  // namespace

bool read_client_keys(const std::string& dir, ClientKeys* keys, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> secrets;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (p.extension() == ".key" && p.filename() != "server.key") secrets.push_back(p);
    }
    if (ec) {
        *error = "cannot read the key directory " + dir + ": " + ec.message();
        return false;
    }
    if (secrets.size() != 1) {
        *error = dir + " must hold one client key pair (kv318-server keygen " + dir +
                 " --name NAME writes NAME.key and NAME.pub); it holds " + std::to_string(secrets.size());
        return false;
    }
    keys->serverPublic = key_in(fs::path(dir) / "server.pub");
    keys->clientSecret = key_in(secrets[0]);
    if (keys->serverPublic.empty()) {
        *error = (fs::path(dir) / "server.pub").string() + " holds no key: copy the server's server.pub there";
        return false;
    }
    if (keys->clientSecret.empty()) {
        *error = secrets[0].string() + " holds no key (40 characters of Z85)";
        return false;
    }
    return true;
}

}  // namespace kv318::remote
