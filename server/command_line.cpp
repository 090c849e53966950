#include "command_line.h"

#include <CLI/CLI.hpp>

#include "option_checks.h"
#include "wire.h"

namespace kv318::server {

int parse_command_line(int argc, char** argv, ServerOptions* o) {
    CLI::App app{"kv318-server: one KV318 board for every program, on this machine and across the network",
                 "kv318-server"};
    app.set_version_flag("--version", std::string("kv318-server ") + KV318_PROJECT_VERSION);
    app.add_option("-b,--board", o->boards,
                   "serve board N, and wait for it while it is absent (repeatable; default: boards 0-15, each once it "
                   "answers)")
        ->transform(pipeline::whole_within(pipeline::kBoardNumber));
    app.add_option("--listen", o->listen,
                   std::string("listen on URL, tcp://HOST:PORT or ipc://PATH; the blocks go out on the next port, "
                               "or PATH.data (repeatable; default ") +
                       remote::kDefaultUrl + ", and on Linux an ipc socket in the driver directory)");
    app.add_option(
        "--keys", o->keysDir,
        "CURVE on every endpoint with the server's key pair (server.key, server.pub) and the clients' public "
        "keys, one a line, in DIR/allowed (default: loopback with this user's local keys, the private ipc "
        "socket plain, and nothing else)");
    app.add_flag("--insecure", o->insecure,
                 "serve without keys the endpoints that would need them, loopback included: anyone who reaches them "
                 "may use the boards");
    CLI::App* keygen = app.add_subcommand("keygen", "write a CURVE key pair, NAME.key and NAME.pub, into DIR");
    keygen->add_option("DIR", o->keygenDir, "where the keys go (made when missing)")->required();
    keygen->add_option("--name", o->keygenName, "the files' name (default server; a client's own name for its pair)");
    keygen->callback([o] { o->keygen = true; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return -1;
}

}  // namespace kv318::server
