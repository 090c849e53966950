// kv318-scope.exe: the board's analog input as a live trace, on Windows.
// The command line sets the view, as on Linux; the window runs from the
// start.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board_api.h"
#include "board_source.h"
#include "command_line.h"
#include "console.h"
#include "scope_window.h"
#include "text.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // A GUI program has no console of its own; when started from one, its
    // messages (a bad value, a screenshot's failure) go to that console.
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
    int argc = 0;
    wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(kv318::win32::narrow(wargv[i]));
    LocalFree(wargv);
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (auto& a : args) argv.push_back(a.data());

    kv318::scope::ScopeSettings settings;
    const int parsed = kv318::scope::parse_command_line(static_cast<int>(argv.size()), argv.data(), &settings);
    if (parsed >= 0) return parsed;
    kv318::scope::BoardSource source{&kv318::pipeline::library_api(), kv318::pipeline::platform::not_found_hint,
                                     kv318::pipeline::board_lock_held};
    if (const int code = kv318::scope::choose_board_source(&settings, &source, stderr); code >= 0) return code;

    kv318::scope::win32::ScopeWindow window(instance, *source.api, settings, source.notFoundHint, source.lockHeld);
    if (!window.create()) {
        MessageBoxW(nullptr, L"Cannot create the window of kv318-scope.", L"kv318-scope", MB_OK);
        return 1;
    }
    window.show(showCommand);
    return window.run();
}
