// kv318-sim's one start-up routine, shared by every transport: parse the
// command line, make the boards, serve them, log the serving line, wait to
// be stopped, stop.  What each operating system does its own way (how it
// is stopped, where the boards are served) comes from its FrontEnd.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "connections.h"
#include "options.h"

namespace kv318::sim {

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // Readies the process once the options are parsed, before any thread
    // exists.  False with a reason in *error ends the run.
    virtual bool prepare(const SimOptions& options, std::string* error) = 0;

    // The transport's server for `boards` (owned by the caller, outliving
    // the server), writing its events to `log`.
    virtual std::unique_ptr<BoardServer> make_server(const SimOptions& options, std::vector<Board*> boards,
                                                     LogFn log) = 0;

    // Called once the server serves, before the serving line is logged:
    // a stop asked for from then on must be heard.
    virtual void serving(const SimOptions&) {}

    // Where the boards are served, for the serving line ("in /tmp/kv318-1000").
    virtual std::string where(const SimOptions& options) = 0;

    // Blocks until the simulator is asked to stop; returns what asked
    // ("SIGINT").
    virtual std::string wait_for_stop() = 0;

    // Called once the boards are no longer served, just before the exit.
    virtual void stopped() {}
};

// kv318-sim's main for `transport`: 0 once stopped, 1 when serving could
// not start, 2 for a command line it cannot take (with the usage).  Every
// line it writes goes to standard error, prefixed "kv318-sim: ".
int run_simulator(int argc, const char* const* argv, Transport transport, FrontEnd& front);

}  // namespace kv318::sim
