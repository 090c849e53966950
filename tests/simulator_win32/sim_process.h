// kv318-sim.exe started as a child of the test: standard input is a pipe
// the test holds (closing it stops a simulator started with --stop-on-eof),
// standard output and error go to a file the test reads as it goes.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv318::sim::test {

// Polls `done` every few milliseconds until it holds or `ms` pass.
bool wait_until(const std::function<bool()>& done, int ms = 20000);

class SimProcess {
public:
    // Starts `exe` (a host path; Wine shows the host's root as drive Z:)
    // with `args`.  started() tells whether CreateProcess succeeded.
    SimProcess(const char* exe, const std::vector<std::string>& args);
    // Closes standard input and waits a while for the exit, then
    // terminates it if it is still running.
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    // Everything written to standard output and error so far.
    std::string output() const;
    // True once the "serving" line is out; false when it exits first or
    // the deadline passes.
    bool wait_serving(int ms = 20000);
    // Closes the write end of its standard input: end of file for the child.
    void close_input();
    // The exit code, or nothing when it has not exited within `ms`.
    std::optional<DWORD> wait_exit(int ms = 20000);

private:
    std::string logPath_;
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;  // our end of its standard input
};

}  // namespace kv318::sim::test
