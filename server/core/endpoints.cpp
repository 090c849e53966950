#include "endpoints.h"

#include <cstring>

#include "client_keys.h"

namespace kv318::server {

namespace {

// The characters of Z85, ZeroMQ's text form of a key.
constexpr const char* kZ85 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";

}  // namespace

bool is_local_url(const std::string& url) { return url.rfind("ipc://", 0) == 0 || remote::is_loopback_url(url); }

std::string local_program_url(const std::vector<Endpoint>& endpoints) {
    for (const Guard preferred : {Guard::PrivateIpc, Guard::LocalKeys, Guard::Insecure})
        for (const Endpoint& e : endpoints)
            if (e.guard == preferred && (preferred != Guard::Insecure || remote::is_loopback_url(e.url))) return e.url;
    return {};
}

std::string guard_text(Guard guard, const std::string& keysDir) {
    switch (guard) {
    case Guard::KeysDir:
        return "CURVE, keys in " + keysDir;
    case Guard::LocalKeys:
        return "CURVE, this user's local keys";
    case Guard::PrivateIpc:
        return "plain: private ipc folder";
    case Guard::Insecure:
        break;
    }
    return "plain (--insecure)";
}

bool plan_endpoints(const std::vector<std::string>& urls, bool haveKeys, bool insecure,
                    const std::function<bool(const std::string&)>& privateIpc, std::vector<Endpoint>* endpoints,
                    std::vector<std::string>* warnings, std::string* error) {
    endpoints->clear();
    for (const std::string& url : urls) {
        const bool ipc = url.rfind("ipc://", 0) == 0;
        if (haveKeys) {
            endpoints->push_back({url, true, Guard::KeysDir});
        } else if (ipc && privateIpc(url)) {
            endpoints->push_back({url, false, Guard::PrivateIpc});
        } else if (insecure) {
            endpoints->push_back({url, false, Guard::Insecure});
            warnings->push_back("WARNING: " + url + " is open without keys (--insecure): anyone who reaches it" +
                                (is_local_url(url) ? ", every user of this machine," : "") + " may use the boards");
        } else if (!ipc && is_local_url(url)) {
            endpoints->push_back({url, true, Guard::LocalKeys});
        } else {
            *error = url + (ipc ? " lies in a folder other users can enter" : " can be reached from other machines") +
                     ": give --keys DIR (kv318-server keygen DIR makes them) or, to let anyone there use the boards, "
                     "--insecure";
            return false;
        }
    }
    return true;
}

bool is_z85_key(const std::string& text) {
    if (text.size() != 40) return false;
    for (const char c : text) {
        if (c == '\0' || std::strchr(kZ85, c) == nullptr) return false;
    }
    return true;
}

bool parse_allowed_keys(const std::string& text, std::vector<std::string>* keys, std::string* error) {
    keys->clear();
    std::size_t start = 0;
    int line = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string row = text.substr(start, end - start);
        start = end + 1;
        ++line;
        if (!row.empty() && row.back() == '\r') row.pop_back();
        if (row.empty() || row[0] == '#') continue;
        const std::string key = row.substr(0, row.find_first_of(" \t"));
        if (!is_z85_key(key)) {
            *error = "line " + std::to_string(line) + " holds no public key (40 characters of Z85)";
            return false;
        }
        keys->push_back(key);
    }
    return true;
}

}  // namespace kv318::server
