// Simulated boards served in-process for the simulator's suites: the shared
// ServedBoards, with a failure to start reported to GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "served_boards.h"
#include "wait.h"

namespace kv318::sim::test {

class SimulatedBoards : public kv318::test::ServedBoards {
public:
    SimulatedBoards(std::vector<BoardConfig> configs, const Clock* clock)
        : SimulatedBoards(std::move(configs), ServerLimits{}, nullptr, clock) {}
    explicit SimulatedBoards(std::vector<BoardConfig> configs = {BoardConfig{}}, ServerLimits limits = {},
                             ThreadStarter start = nullptr, const Clock* clock = nullptr)
        : ServedBoards(std::move(configs), limits, std::move(start), clock) {
        EXPECT_TRUE(started()) << error();
    }
};

using kv318::test::wait_until;

}  // namespace kv318::sim::test
