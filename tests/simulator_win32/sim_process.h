// kv318-sim.exe started as a child of the test: standard input is a pipe
// the test holds (closing it stops a simulator started with --stop-on-eof),
// standard output and error go to files the test reads as it goes.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "wait.h"

namespace kv318::sim::test {

using kv318::test::wait_until;

class SimProcess : public kv318::test::ChildProcess {
public:
    // Starts `exe` (a host path; Wine shows the host's root as drive Z:)
    // with `args`.  started() tells whether CreateProcess succeeded.
    SimProcess(const char* exe, const std::vector<std::string>& args) : ChildProcess(exe, args) {}

    // True once the "serving" line is out; false when it exits first or
    // the deadline passes.
    bool wait_serving() { return wait_for_output("kv318-sim: serving"); }
};

}  // namespace kv318::sim::test
