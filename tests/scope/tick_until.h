// Drives a ScopeController the way the window's timer does, for the tests
// of the controller against a scripted board.
#pragma once

#include "scope_controller.h"
#include "wait.h"

namespace kv318::scope {

// Ticks `c` with a clock of its own, 30 ms a tick, until `done` holds or
// the generous deadline of wait_until passes; whether it held.
template <class Pred>
bool tick_until(ScopeController& c, Pred done) {
    double now = 0;
    return test::wait_until([&] {
        c.tick(now += 0.03);
        return done();
    });
}

}  // namespace kv318::scope
