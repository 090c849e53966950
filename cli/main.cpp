// kv318-cli: the board from a shell.  The command line is read here; the
// commands themselves live in core/ and reach the board through KV318.h.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "command_line.h"
#include "board_api.h"
#include "core/commands.h"
#include "core/exit_codes.h"
#include "platform/console.h"
#include "served_api.h"

int main(int argc, char** argv) {
    using namespace kv318::cli;
    Invocation inv;
    const int parsed = parse_command_line(argc, argv, &inv);
    if (parsed >= 0) return parsed;

    static std::atomic<bool> stop{false};
    platform::install_stop_handlers(&stop);
    platform::set_binary(stdout);
    const BoardApi* api = &library_api();
    std::string (*notFoundHint)(int) = platform::not_found_hint;
    bool (*streamingElsewhere)(std::int32_t, std::uint32_t*) = board_lock_held;
    bool (*heldElsewhere)(std::int32_t, std::uint32_t*) = board_held_elsewhere;
    if (!inv.server.empty()) {
        // Through the library's exports, as any program reaches a served
        // board; the library's client finds this user's keys of a loopback
        // server by itself.
        ServedChoice choice;
        choice.url = inv.server;
        choice.keys = inv.serverKeys;
        choice.clockHz = inv.clockHz;
        choice.fifoBytes = inv.stream.fifoBytes;
        choice.follow = inv.follow;
        api = &served_api(choice);
        notFoundHint = served_open_hint;
        // The server holds the board's lock; it says itself who controls it.
        streamingElsewhere = nullptr;
        heldElsewhere = nullptr;
    }
    const Environment env{*api,
                          stdout,
                          stderr,
                          stop,
                          notFoundHint,
                          platform::is_terminal(stdout),
                          platform::is_terminal(stderr),
                          platform::open_output,
                          streamingElsewhere,
                          heldElsewhere};
    const int code = run_command(inv, env);
    std::fflush(stdout);
    return code;
}
