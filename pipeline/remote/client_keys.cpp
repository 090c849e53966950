#include "client_keys.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "remote_board.h"

#ifndef _WIN32
#include "driver_dir.h"
#endif

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

bool is_loopback_url(const std::string& url) {
    if (url.rfind("tcp://", 0) != 0) return false;
    const std::size_t colon = url.rfind(':');
    const std::string host = url.substr(6, colon == std::string::npos || colon < 6 ? std::string::npos : colon - 6);
    return host.rfind("127.", 0) == 0 || host == "localhost" || host == "[::1]";
}

std::string local_keys_name(const std::string& url) {
    if (!is_loopback_url(url)) return "";
    const std::size_t colon = url.rfind(':');
    std::string host = url.substr(6, colon - 6);
    if (host == "localhost") host = "127.0.0.1";
    std::string name = host + "_" + url.substr(colon + 1);
    // File names of every OS: "[::1]" would not be one on Windows.
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
    }
    return name;
}

std::string local_keys_root() {
#ifdef _WIN32
    const char* base = std::getenv("LOCALAPPDATA");
    if (base == nullptr || base[0] == '\0') return "";
    return std::string(base) + "\\kv318\\server";
#else
    return linux_channel::driver_directory() + "/kv318-server-keys";
#endif
}

std::string local_keys_dir(const std::string& url) {
    const std::string name = local_keys_name(url);
    const std::string root = local_keys_root();
    if (name.empty() || root.empty()) return "";
    return (std::filesystem::path(root) / name).string();
}

bool find_local_keys(const std::string& url, ClientKeys* keys) {
    const std::string dir = local_keys_dir(url);
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec)) return false;
    keys->serverPublic = key_in(std::filesystem::path(dir) / "server.pub");
    keys->clientSecret = key_in(std::filesystem::path(dir) / (std::string(kLocalClientName) + ".key"));
    return !keys->serverPublic.empty() && !keys->clientSecret.empty();
}

bool choose_keys(const std::string& dir, RemoteSettings* settings, std::string* error) {
    ClientKeys keys;
    if (!dir.empty()) {
        if (!read_client_keys(dir, &keys, error)) return false;
        settings->localKeysDir.clear();
    } else if (find_local_keys(settings->url, &keys)) {
        // A loopback server keeps its user's keys where that user alone can
        // read them: the same user's programs need no setup.
        settings->localKeysDir = local_keys_dir(settings->url);
    } else {
        keys = ClientKeys{};
        settings->localKeysDir.clear();
    }
    settings->serverPublicKey = keys.serverPublic;
    settings->clientSecretKey = keys.clientSecret;
    return true;
}

}  // namespace kv318::remote
