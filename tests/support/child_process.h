// A program run as a child of the test, as a user would run it from a
// shell: its standard input is a pipe the test holds (closing it is the
// end of the child's input), and its standard output and standard error
// each go to a file of their own that the test reads as it goes.  On
// Windows, a host path given for the program (as the build hands paths
// over) is the same file on Wine's drive Z:.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "wait.h"

namespace kv318::test {

class ChildProcess {
public:
    // Starts `program` with `args`.  started() tells whether it ran.  On
    // Windows the arguments are joined with spaces as given, so an argument
    // with spaces carries its own quotes.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Closes its input, gives it ten seconds to end, then kills it, and
    // removes its output files.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;

    // Everything written to standard output, or to standard error, so far.
    std::string out() const;
    std::string err() const;
    // Both, standard error first, for tests that look for a line in either.
    std::string output() const { return err() + out(); }

    // True once `text` shows in its output; false when it ends first or
    // `limit` passes.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit = kWaitLimit);

    // Closes the test's end of its standard input.
    void close_input();

    // Its exit code once it has ended within `limit` (on Linux, 128 plus
    // the signal that ended it); nothing when it runs on.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = kWaitLimit);

    // Whether it has ended; does not wait.
    bool exited() { return wait_exit(std::chrono::milliseconds(0)).has_value(); }

    // Ends it at once (SIGKILL, TerminateProcess).
    void kill();

#ifndef _WIN32
    // Sends it `signal`.
    void signal(int signal);
    // Its process id, for reading /proc.
    int pid() const { return pid_; }
#endif

private:
    std::string outPath_, errPath_;
    std::optional<int> code_;  // once it has been reaped
#ifdef _WIN32
    void* process_ = nullptr;  // the process's HANDLE
    void* input_ = nullptr;    // our end of its standard input
#else
    int pid_ = -1;
    int input_ = -1;  // our end of its standard input
#endif
};

}  // namespace kv318::test
