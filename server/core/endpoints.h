// Where kv318-server listens and who may come in: the rule that a socket
// other machines can reach needs keys, and the allow file's format.  Pure
// logic; the main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kv318::server {

// What keeps strangers off an endpoint.
enum class Guard {
    KeysDir,     // CURVE with the pair and the allow list of --keys DIR
    LocalKeys,   // CURVE with a pair the server keeps where only its user can read
    PrivateIpc,  // plain: the socket lies in a folder only this user can enter
    Insecure     // plain, as --insecure asked: anyone who reaches it gets in
};

// One place the server listens.
struct Endpoint {
    std::string url;      // control URL; the data socket is remote::data_url(url)
    bool secure = false;  // CURVE with the server's keys; clients need an allowed key
    Guard guard = Guard::Insecure;
};

// How the start line names an endpoint's guard: "CURVE, keys in DIR" etc.
std::string guard_text(Guard guard, const std::string& keysDir);

// The server's CURVE keys and the clients it lets in.
struct Keys {
    std::string publicKey;  // Z85, 40 characters
    std::string secretKey;
    std::vector<std::string> allowed;  // clients' public keys, Z85
};

// Whether `url` reaches this machine only: tcp on 127.0.0.0/8, [::1] or
// localhost, or an ipc socket.
bool is_local_url(const std::string& url);

// The endpoint through which a program of this user on this machine is
// served without keys of its own, written into each served board's lock
// file for the library to find (board_lock.h): a private ipc socket
// first, else loopback tcp with this user's local keys, else loopback tcp
// served plain; "" when there is none (every endpoint wants --keys).
std::string local_program_url(const std::vector<Endpoint>& endpoints);

// Decides how each of `urls` is served.  With `haveKeys` (--keys) every
// endpoint is CURVE with those keys.  Without: an ipc socket for which
// `privateIpc(url)` holds is plain; a loopback tcp one is CURVE with the
// user's local keys, since every user of the machine reaches loopback;
// with `insecure` everything else is plain, each with a warning in
// *warnings; and otherwise the endpoint is refused: false with *error
// saying what to do.
bool plan_endpoints(const std::vector<std::string>& urls, bool haveKeys, bool insecure,
                    const std::function<bool(const std::string&)>& privateIpc, std::vector<Endpoint>* endpoints,
                    std::vector<std::string>* warnings, std::string* error);

// The keys of an allow file: one Z85 public key (40 characters) at the
// start of a line, anything after a blank a comment, as are empty lines and
// lines starting with '#'.  A line that holds no valid key is refused: false
// with *error naming its number, so a typo never locks a client out unseen.
bool parse_allowed_keys(const std::string& text, std::vector<std::string>* keys, std::string* error);

// Whether `text` (trimmed of one trailing newline) is a Z85 key.
bool is_z85_key(const std::string& text);

}  // namespace kv318::server
