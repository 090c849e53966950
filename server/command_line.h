// kv318-server's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv318::server {

struct ServerOptions {
    std::vector<std::int64_t> boards;  // empty: boards 0-15, each once it answers
    std::vector<std::string> listen;   // empty: the default endpoints
    std::string keysDir;               // the server's key pair and the allowed clients' keys
    bool insecure = false;             // a network endpoint without keys, said explicitly
    // `keygen DIR [--name NAME]`: writes NAME.key and NAME.pub into DIR.
    bool keygen = false;
    std::string keygenDir;
    std::string keygenName = "server";
};

// Reads argv into *options.  Returns -1 to go on, or the exit code to end
// with at once (--help, --version, or a refusal already printed).
int parse_command_line(int argc, char** argv, ServerOptions* options);

}  // namespace kv318::server
