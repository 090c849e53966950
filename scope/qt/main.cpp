// kv318-scope: the board's analog input as a live trace, on Linux.  The
// command line sets the view; the window runs from the start.
#include <QApplication>

#include "board_api.h"
#include "command_line.h"
#include "console.h"
#include "scope_window.h"

int main(int argc, char** argv) {
    kv318::scope::ScopeSettings settings;
    const int parsed = kv318::scope::parse_command_line(argc, argv, &settings);
    if (parsed >= 0) return parsed;
    QApplication app(argc, argv);
    kv318::scope::qt::ScopeWindow window(kv318::cli::library_api(), settings, kv318::cli::platform::not_found_hint);
    window.show();
    const int code = app.exec();
    return code != 0 ? code : window.exitCode();
}
