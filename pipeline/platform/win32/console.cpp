#include "console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace kv318::pipeline::platform {

namespace {

// Written by the console control handler (on a thread Windows starts for
// it), read by the command's loop; lock-free, so no lock is held across
// the two threads.
std::atomic<bool>* g_stop = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    // The second event falls through to the default: the process ends.
    if (g_stop->exchange(true)) return FALSE;
    // Closing the console ends the process once this returns; a few
    // seconds let the run stop the board and finish its file first.
    if (event == CTRL_CLOSE_EVENT) Sleep(4000);
    return TRUE;
}

}  // namespace

bool is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void set_binary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

void install_stop_handlers(std::atomic<bool>* stop) {
    g_stop = stop;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

std::unique_ptr<ByteOutput> open_output(const std::string& path, std::string* error) {
    // Plain C streams: a write to a pipe nobody reads still waits here, as
    // Windows offers no readiness wait on an anonymous pipe.
    if (path.empty()) return std::make_unique<FileOutput>(stdout);
    auto file = std::make_unique<FileOutput>(path);
    if (file->ok()) return file;
    *error = file->error();
    return nullptr;
}

std::string not_found_hint(int board) {
    const std::string n = std::to_string(board);
    return " (no driver publishes \\\\.\\KV318Device" + n + " and no kv318-sim.exe serves \\\\.\\pipe\\KV318Device" +
           n + ")";
}

}  // namespace kv318::pipeline::platform
