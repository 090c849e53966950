#include "endpoints.h"

#include <cstring>

namespace kv318::server {

namespace {

// The characters of Z85, ZeroMQ's text form of a key.
constexpr const char* kZ85 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";

}  // namespace

bool is_local_url(const std::string& url) {
    if (url.rfind("ipc://", 0) == 0) return true;
    if (url.rfind("tcp://", 0) != 0) return false;
    const std::size_t colon = url.rfind(':');
    const std::string host = url.substr(6, colon == std::string::npos || colon < 6 ? std::string::npos : colon - 6);
    return host.rfind("127.", 0) == 0 || host == "localhost" || host == "[::1]";
}

bool plan_endpoints(const std::vector<std::string>& urls, bool haveKeys, bool insecure,
                    std::vector<Endpoint>* endpoints, std::vector<std::string>* warnings, std::string* error) {
    endpoints->clear();
    for (const std::string& url : urls) {
        if (is_local_url(url)) {
            endpoints->push_back({url, false});
        } else if (haveKeys) {
            endpoints->push_back({url, true});
        } else if (insecure) {
            endpoints->push_back({url, false});
            warnings->push_back("WARNING: " + url +
                                " is open without keys (--insecure): anyone who reaches it may use the boards");
        } else {
            *error = url +
                     " can be reached from other machines: give --keys DIR (kv318-server keygen DIR makes them) or, "
                     "to let anyone there use the boards, --insecure";
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
