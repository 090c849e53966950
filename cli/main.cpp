// kv318-cli: the board from a shell.  The command line is read here; the
// commands themselves live in core/ and reach the board through KV318.h.
#include <atomic>
#include <cstdio>

#include "command_line.h"
#include "board_api.h"
#include "core/commands.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    using namespace kv318::cli;
    Invocation inv;
    const int parsed = parse_command_line(argc, argv, &inv);
    if (parsed >= 0) return parsed;

    static std::atomic<bool> stop{false};
    platform::install_stop_handlers(&stop);
    platform::set_binary(stdout);
    const Environment env{library_api(),
                          stdout,
                          stderr,
                          stop,
                          platform::not_found_hint,
                          platform::is_terminal(stdout),
                          platform::is_terminal(stderr),
                          platform::open_output,
                          board_lock_held};
    const int code = run_command(inv, env);
    std::fflush(stdout);
    return code;
}
