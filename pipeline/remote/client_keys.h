// The CURVE keys a client needs for a kv318-server endpoint: the server's
// public key and the client's own secret key, kept in a key directory as
// `kv318-server keygen` writes them, or for a loopback endpoint in the
// folder where the server keeps its user's local keys.  The Python package
// reads the same directories the same way.
#pragma once

#include <string>

#include "KV318.h"

namespace kv318::remote {

// The help of every program's --server-keys option (env KV318_SERVER_KEYS).
inline constexpr const char* kServerKeysHelp =
    "the CURVE keys for a kv318-server started with --keys: DIR holds the server's server.pub and this "
    "client's pair NAME.key, NAME.pub (kv318-server keygen DIR --name NAME); a loopback server's own user needs none";
inline constexpr const char* kServerKeysEnv = KV318_SERVER_KEYS_ENV;
// The server's URL, to every program that takes --server, as to the library.
inline constexpr const char* kServerEnv = KV318_SERVER_ENV;

// What the tools' --server help says of the values that name no server.
inline constexpr const char* kNoServerHelp = "; an empty value or " KV318_SERVER_NONE " means the local library";

// Forgets a --server value that names no server: "none", as the library
// takes it from KV318_SERVER, or empty.  The tools then open the board as
// the library does.
inline void forget_no_server(std::string* url) {
    if (*url == KV318_SERVER_NONE) url->clear();
}

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

// Whether `url` is tcp on 127.0.0.0/8, [::1] or localhost: an endpoint
// every user of this machine reaches.
bool is_loopback_url(const std::string& url);

// The local keys of a loopback endpoint: kv318-server, unless given other
// keys, serves it with CURVE and keeps its public key server.pub, the
// client pair local.key and local.pub, and the allow list admitting that
// pair in local_keys_dir(url), a folder only its user can read:
// DRIVERDIR/kv318-server-keys/HOST_PORT on Linux, and on Windows
// HOST_PORT in the folder kv318/server of %LOCALAPPDATA%.  localhost counts as 127.0.0.1, which it
// reaches.  Empty when `url` is not a loopback one or the place is unknown.
// Any thread.
inline constexpr const char* kLocalClientName = "local";
std::string local_keys_name(const std::string& url);
std::string local_keys_root();
std::string local_keys_dir(const std::string& url);

// This user's local keys for `url` (above): true with *keys set when that
// folder holds them, false when there are none to use.  Reads files only.
bool find_local_keys(const std::string& url, ClientKeys* keys);

// Sets the CURVE keys of settings->url, as every client chooses them: those
// of the key directory `dir` when it is given (read_client_keys), else this
// user's local keys of a loopback URL (find_local_keys, localKeysDir set),
// else none for a plain endpoint.  False with *error saying what is wrong
// with `dir`.  The calling thread; it reads files only.
struct RemoteSettings;
bool choose_keys(const std::string& dir, RemoteSettings* settings, std::string* error);

}  // namespace kv318::remote
