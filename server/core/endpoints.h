// Where kv318-server listens and who may come in: the rule that a socket
// other machines can reach needs keys, and the allow file's format.  Pure
// logic; the main thread.
#pragma once

#include <string>
#include <vector>

namespace kv318::server {

// One place the server listens.
struct Endpoint {
    std::string url;      // control URL; the data socket is remote::data_url(url)
    bool secure = false;  // CURVE with the server's keys; clients need an allowed key
};

// The server's CURVE keys and the clients it lets in.
struct Keys {
    std::string publicKey;  // Z85, 40 characters
    std::string secretKey;
    std::vector<std::string> allowed;  // clients' public keys, Z85
};

// Whether `url` reaches this machine only: tcp on 127.0.0.0/8, [::1] or
// localhost, or an ipc socket.  Anything else needs keys.
bool is_local_url(const std::string& url);

// Decides how each of `urls` is served: local ones plain; others with
// CURVE when `haveKeys`, plain when `insecure` (adding a warning for each
// to *warnings), and otherwise refused: false with *error saying what to do.
bool plan_endpoints(const std::vector<std::string>& urls, bool haveKeys, bool insecure,
                    std::vector<Endpoint>* endpoints, std::vector<std::string>* warnings, std::string* error);

// The keys of an allow file: one Z85 public key (40 characters) at the
// start of a line, anything after a blank a comment, as are empty lines and
// lines starting with '#'.  A line that holds no valid key is refused: false
// with *error naming its number, so a typo never locks a client out unseen.
bool parse_allowed_keys(const std::string& text, std::vector<std::string>* keys, std::string* error);

// Whether `text` (trimmed of one trailing newline) is a Z85 key.
bool is_z85_key(const std::string& text);

}  // namespace kv318::server
