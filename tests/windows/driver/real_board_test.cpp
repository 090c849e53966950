// The real board wins: with kv318-sim.exe serving boards 0 to 2 on their
// pipes and the test driver publishing boards 0 and 1, KV318.dll opens the
// driver's devices and falls back to the pipe only for board 2, which no
// driver publishes.  The identity strings tell the two apart.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "KV318.h"
#include "sim_process.h"
#include "test_control.h"

namespace kv318::driver_test {
namespace {

std::string identity(int board) {
    const int32_t h = KV318_OpenDevice(board);
    if (h == -1) return "(no board)";
    char text[80] = {};
    const int32_t r = KV318_Info(h, text);
    KV318_CloseDevice(h);
    return r == 0 ? std::string(text) : "(Info failed)";
}

TEST(RealBoard, TheDriversDeviceWinsOverTheSimulatorsPipe) {
    sim::test::SimProcess sim(KV318_SIM_EXE, {"--boards", "3", "--stop-on-eof"});
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.wait_serving()) << sim.output();

    const std::string driver = KVT_IDENTITY_1;
    const std::string simulator = "KV318 USB DAQ simulator";
    EXPECT_EQ(identity(0).rfind(driver, 0), 0u) << identity(0);
    EXPECT_EQ(identity(1).rfind(driver + "   KVT-0001", 0), 0u) << identity(1);
    EXPECT_EQ(identity(2).rfind(simulator, 0), 0u) << identity(2);

    sim.close_input();
    EXPECT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.output();
}

}  // namespace
}  // namespace kv318::driver_test
