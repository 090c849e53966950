// The CURVE keys a client needs for a kv318-server endpoint that other
// machines reach: the server's public key and the client's own secret key,
// kept in a key directory as `kv318-server keygen` writes them.  The Python
// package reads the same directory the same way.
#pragma once

#include <string>

namespace kv318::remote {

// The help of every program's --server-keys option (env KV318_SERVER_KEYS).
inline constexpr const char* kServerKeysHelp =
    "the CURVE keys for a kv318-server that other machines reach: DIR holds the server's server.pub and this "
    "client's pair NAME.key, NAME.pub (kv318-server keygen DIR --name NAME)";
inline constexpr const char* kServerKeysEnv = "KV318_SERVER_KEYS";

struct ClientKeys {
    std::string serverPublic;  // Z85, 40 characters
    std::string clientSecret;  // Z85, 40 characters
};

// Reads `dir`: the server's public key from server.pub and the one client
// pair NAME.key (any name but server), as `kv318-server keygen DIR --name
// NAME` writes it.  False with *error saying what is missing or wrong: no
// server.pub, no client key or more than one, a file holding no key.  The
// calling thread; it reads files only.
bool read_client_keys(const std::string& dir, ClientKeys* keys, std::string* error);

}  // namespace kv318::remote
