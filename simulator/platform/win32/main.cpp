// kv318-sim.exe: serves simulated KV318 boards on their named pipes until
// Ctrl-C, Ctrl-Break or the console closes, or, with --stop-on-eof, until
// its standard input ends.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "front_end.h"
#include "pipe_server.h"

using namespace kv318::sim;

namespace {

// Manual-reset, set once by whatever stops the simulator; main waits on it.
HANDLE g_stop = nullptr;
// Set by main once the boards are no longer served, for a console handler
// that must not return before then (the process ends when it returns).
HANDLE g_stopped = nullptr;
// Why it stops.  Written by the console handler's thread or the standard
// input's reader before they set g_stop, read by main after g_stop; the
// event orders them, the atomic only keeps two writers from tearing it.
std::atomic<const char*> g_reason{"?"};

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
        g_reason.store("Ctrl-C");
        break;
    case CTRL_BREAK_EVENT:
        g_reason.store("Ctrl-Break");
        break;
    case CTRL_CLOSE_EVENT:
        g_reason.store("closing the console");
        break;
    case CTRL_LOGOFF_EVENT:
        g_reason.store("logoff");
        break;
    case CTRL_SHUTDOWN_EVENT:
        g_reason.store("shutdown");
        break;
    default:
        return FALSE;
    }
    SetEvent(g_stop);
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        // Windows ends the process as soon as this returns: let main close
        // the pipes first, within the few seconds the system allows.
        WaitForSingleObject(g_stopped, 4000);
    }
    return TRUE;
}

// Reads standard input until it ends or fails, then stops the simulator.
// Blocked in ReadFile for the process's life otherwise, so it is detached;
// the process's exit ends it.
void stop_at_end_of_input() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in != nullptr && in != INVALID_HANDLE_VALUE) {
        char sink[256];
        DWORD got = 0;
        while (ReadFile(in, sink, sizeof sink, &got, nullptr) && got > 0) {
        }
    }
    g_reason.store("the end of standard input");
    SetEvent(g_stop);
}

class PipeFrontEnd final : public FrontEnd {
public:
    bool prepare(const SimOptions&, std::string* error) override {
        g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (g_stop == nullptr || g_stopped == nullptr) {
            *error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        return true;
    }

    std::unique_ptr<BoardServer> make_server(const SimOptions& options, std::vector<Board*> boards,
                                             LogFn log) override {
        return std::make_unique<PipeServer>(std::move(boards), std::move(log), options.limits);
    }

    void serving(const SimOptions& options) override {
        // Installed only once the pipes are served, so a refused start exits
        // the ordinary way.
        SetConsoleCtrlHandler(on_console_event, TRUE);
        if (options.stopOnEof) std::thread(stop_at_end_of_input).detach();
    }

    std::string where(const SimOptions& options) override {
        const std::string first = board_pipe_name(0);
        return "on " + (options.boards == 1 ? first : first + " to " + board_pipe_name(options.boards - 1).substr(9));
    }

    std::string wait_for_stop() override {
        WaitForSingleObject(g_stop, INFINITE);
        return g_reason.load();
    }

    void stopped() override { SetEvent(g_stopped); }
};

}  // namespace

int main(int argc, char** argv) {
    PipeFrontEnd front;
    return run_simulator(argc, argv, Transport::NamedPipe, front);
}
