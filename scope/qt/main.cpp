// kv318-scope: the board's analog input as a live trace, on Linux.  The
// command line sets the view; the window runs from the start.
#include <QApplication>

#include <atomic>

#include "board_api.h"
#include "board_source.h"
#include "command_line.h"
#include "console.h"
#include "scope_window.h"

int main(int argc, char** argv) {
    kv318::scope::ScopeSettings settings;
    const int parsed = kv318::scope::parse_command_line(argc, argv, &settings);
    if (parsed >= 0) return parsed;
    kv318::scope::BoardSource source{&kv318::pipeline::library_api(), kv318::pipeline::platform::not_found_hint,
                                     kv318::pipeline::board_lock_held};
    if (const int code = kv318::scope::choose_board_source(&settings, &source, stderr); code >= 0) return code;
    QApplication app(argc, argv);
    // Ctrl-C and SIGTERM close the window like the user would, so the
    // converter is stopped before the process ends.
    static std::atomic<bool> quit{false};
    kv318::pipeline::platform::install_stop_handlers(&quit);
    kv318::scope::qt::ScopeWindow window(*source.api, settings, source.notFoundHint, source.lockHeld);
    window.setQuitFlag(&quit);
    window.show();
    const int code = app.exec();
    return code != 0 ? code : window.exitCode();
}
