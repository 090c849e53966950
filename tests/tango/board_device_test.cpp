// One board as a control system's device, against a scripted board behind
// the exports' table: a stream's windows arrive sample by sample at their
// indices, a second start names the first client, a possible FIFO loss is
// an alarm in the windows and the state, a board that goes away is FAULT
// and comes back by itself, outputs loop back to the inputs' events, and a
// capture writes its file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "fake_board.h"
#include "hdf5_reader.h"
#include "board_device.h"
#include "sample_store.h"
#include "sample_units.h"
#include "wait.h"

namespace kv318::tango {
namespace {

using cli::test::FakeBoard;
using cli::test::PluggedBoard;
using kv318::test::wait_until;

struct Events : DeviceEvents {
    std::mutex m;
    std::vector<Window> windows;
    std::vector<std::int32_t> inputValues;
    void waveform(const Window& w) override {
        const std::lock_guard<std::mutex> l(m);
        windows.push_back(w);
    }
    void inputs(std::int32_t v) override {
        const std::lock_guard<std::mutex> l(m);
        inputValues.push_back(v);
    }
    std::size_t count() {
        const std::lock_guard<std::mutex> l(m);
        return windows.size();
    }
    std::vector<Window> copy() {
        const std::lock_guard<std::mutex> l(m);
        return windows;
    }
    bool saw_input(std::int32_t v) {
        const std::lock_guard<std::mutex> l(m);
        return std::find(inputValues.begin(), inputValues.end(), v) != inputValues.end();
    }
};

class BoardDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        PluggedBoard::reset();
        FakeBoard::get().identity = "KV318 scripted   rev 2";
        api_ = cli::test::plugged_api();
        config_.waveformLength = 1000;
        config_.eventRate = 50;
        char dir[] = "/tmp/kv318-tango-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        config_.dataDirectory = dir;
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + config_.dataDirectory + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    // Reads of `per` samples, `reads` of them, then empty reads.
    static void script_reads(int reads, std::int32_t per) {
        for (int i = 0; i < reads; ++i) FakeBoard::get().reads.push_back(per);
    }
    DeviceState state(BoardDevice& d) { return d.readings().summary.state; }

    pipeline::BoardApi api_{};
    DeviceConfig config_;
    Events events_;
};

TEST_F(BoardDeviceTest, AStreamsWindowsArriveSampleBySampleAtTheirIndices) {
    script_reads(20, 1500);  // 30 whole windows
    BoardDevice d(api_, config_, events_);
    EXPECT_EQ(d.readings().identity1, "KV318 scripted");
    ASSERT_TRUE(d.start("client A").ok);
    EXPECT_EQ(state(d), DeviceState::kRunning);
    ASSERT_TRUE(wait_until([&] { return events_.count() + d.readings().skippedWindows == 30; }));
    const auto skipped = d.readings().skippedWindows;
    ASSERT_TRUE(d.stop().ok);
    EXPECT_EQ(state(d), DeviceState::kOn);
    const std::vector<Window> got = events_.copy();
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].volts.size(), 1000u);
        if (skipped == 0) {
            EXPECT_EQ(got[k].firstIndex, k * 1000);
        }
        for (std::size_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(got[k].volts[i], units::sample_volts(FakeBoard::ramp(got[k].firstIndex + i)))
                << "window " << k << " sample " << i;
        }
        EXPECT_EQ(got[k].quality, WindowQuality::kValid);
    }
    EXPECT_EQ(FakeBoard::get().starts, 1);
    EXPECT_EQ(FakeBoard::get().lastDivider, config_.divider);
    EXPECT_EQ(FakeBoard::get().stops, 1);
}

TEST_F(BoardDeviceTest, RefusalsSayWhyAndSendNothing) {
    BoardDevice d(api_, config_, events_);
    ASSERT_TRUE(d.start("Tango client pid 11 at 10.0.0.7").ok);
    struct Case {
        const char* what;
        Outcome outcome;
        const char* reason;
        const char* words;
    };
    const std::vector<Case> cases = {
        {"a second start", d.start("Tango client pid 12"), "KV318_BoardBusy", "Tango client pid 11 at 10.0.0.7"},
        {"the clock while running", d.set_clock(1'000'000), "KV318_Running", "Stop it first"},
        {"the divider while running", d.set_divider(100), "KV318_Running", "Stop it first"},
        {"outputs out of range", d.write_outputs(0x10000), "KV318_OutOfRange", "output word"},
        {"a pulse divisor out of range", d.pulse_run(0, 1), "KV318_OutOfRange", "pulse divisor"},
        {"a waveform too long", d.set_waveform_length(0), "KV318_OutOfRange", "waveform length"},
        {"record with a name that is not HDF5", d.record("run.csv", nullptr), "KV318_BadName", "HDF5"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.outcome.ok) << c.what;
        EXPECT_EQ(c.outcome.reason, c.reason) << c.what;
        EXPECT_NE(c.outcome.words.find(c.words), std::string::npos) << c.what << ": " << c.outcome.words;
    }
    // Another device of the same server on another local board: the
    // library streams one of this machine's boards per process.
    DeviceConfig second = config_;
    second.board = 1;
    second.name = "lab/kv318/1";
    config_.name = "lab/kv318/0";
    BoardDevice d2(api_, second, events_);
    const Outcome other = d2.start("client B");
    EXPECT_EQ(other.reason, "KV318_ProcessBusy");
    EXPECT_NE(other.words.find("already streams board 0"), std::string::npos) << other.words;
    EXPECT_EQ(FakeBoard::get().starts, 1);
    EXPECT_EQ(FakeBoard::get().lastDivider, config_.divider);
    ASSERT_TRUE(d.stop().ok);
    const Outcome follow = d.follow();
    EXPECT_EQ(follow.reason, "KV318_NotServed");
    EXPECT_EQ(FakeBoard::get().starts, 1);
    // Once the first has stopped, the second starts.
    EXPECT_TRUE(d2.start("client B").ok);
    EXPECT_EQ(FakeBoard::get().starts, 2);
}

TEST_F(BoardDeviceTest, APossibleFifoLossIsAnAlarmInTheWindowsAndTheState) {
    // A gap of 400 ms at 40 kS/s (80 KB/s) is within 512 KiB; a FIFO of
    // 16 KiB cannot hold it.
    config_.fifoBytes = 16384 + 4096;
    FakeBoard::get().stats.mode = KV318_STATS_STREAM;
    FakeBoard::get().stats.longest_gap_us = 400'000;
    FakeBoard::get().stats.gap_histogram[18] = 1;
    script_reads(10, 1000);
    BoardDevice d(api_, config_, events_);
    ASSERT_TRUE(d.start("client").ok);
    ASSERT_TRUE(wait_until([&] { return events_.count() + d.readings().skippedWindows >= 10; }));
    const Readings r = d.readings();
    EXPECT_EQ(r.summary.state, DeviceState::kAlarm);
    EXPECT_TRUE(r.verdict.possibleLoss);
    EXPECT_NE(r.summary.status.find("FIFO may have run over"), std::string::npos) << r.summary.status;
    bool alarmed = false;
    for (const Window& w : events_.copy()) alarmed = alarmed || w.quality == WindowQuality::kAlarm;
    EXPECT_TRUE(alarmed);
    ASSERT_TRUE(d.stop().ok);
    // The run's trouble stays in the state until the next start.
    EXPECT_EQ(state(d), DeviceState::kAlarm);
}

TEST_F(BoardDeviceTest, AStreamThatStallsAfterAPossibleLossReadsAsAnAlarm) {
    // One window's samples, then none (a stalled FIFO), and statistics
    // that say the FIFO may have run over.
    config_.fifoBytes = 16384 + 4096;
    FakeBoard::get().stats.mode = KV318_STATS_STREAM;
    FakeBoard::get().stats.longest_gap_us = 400'000;
    FakeBoard::get().stats.gap_histogram[18] = 1;
    script_reads(1, 1000);
    BoardDevice d(api_, config_, events_);
    ASSERT_TRUE(d.start("client").ok);
    ASSERT_TRUE(wait_until([&] { return events_.count() == 1 && d.readings().verdict.possibleLoss; }));
    const Readings r = d.readings();
    EXPECT_EQ(r.latest.firstIndex, 0u);
    EXPECT_EQ(r.latest.quality, WindowQuality::kAlarm);
    EXPECT_NE(r.latest.why.find("may have lost samples"), std::string::npos) << r.latest.why;
    ASSERT_TRUE(d.stop().ok);
}

TEST_F(BoardDeviceTest, ARecordingMadeMidStreamHoldsEverySampleFromItsOwnIndex) {
    if (!pipeline::hdf5_available()) GTEST_SKIP() << pipeline::kHdf5Unavailable;
    script_reads(40, 1000);  // 40 whole windows
    BoardDevice d(api_, config_, events_);
    std::string path;
    EXPECT_EQ(d.record("run.h5", &path).reason, "KV318_NotRunning");
    ASSERT_TRUE(d.start("client").ok);
    ASSERT_TRUE(wait_until([&] { return events_.count() + d.readings().skippedWindows >= 3; }));
    ASSERT_TRUE(d.record("run.h5", &path).ok);
    EXPECT_EQ(path, config_.dataDirectory + "/run.h5");
    EXPECT_EQ(d.readings().recordFile, path);
    EXPECT_EQ(d.record("again.h5", &path).reason, "KV318_Recording");
    ASSERT_TRUE(wait_until([&] { return events_.count() + d.readings().skippedWindows == 40; }));
    ASSERT_TRUE(d.stop().ok);  // the stop finishes the file
    EXPECT_TRUE(d.readings().recordFile.empty());

    test::Hdf5Reader file(path);
    ASSERT_TRUE(file.ok()) << path;
    const std::uint64_t first = file.u64("/run_0001", "first_index");
    const std::vector<std::int16_t> codes = file.samples("/run_0001");
    // It began where the stream was, not at the stream's start, and holds
    // every sample from there to the stream's end, each the ramp's.
    EXPECT_GE(first, 3000u);
    ASSERT_EQ(first + codes.size(), 40'000u);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        ASSERT_EQ(codes[i], units::sample_code(FakeBoard::ramp(first + i))) << "sample " << first + i;
    }
}

TEST_F(BoardDeviceTest, ABoardThatGoesAwayIsFaultAndComesBackByItself) {
    BoardDevice d(api_, config_, events_);
    ASSERT_EQ(state(d), DeviceState::kOn);
    ASSERT_TRUE(d.start("client").ok);
    PluggedBoard::gone() = true;
    ASSERT_TRUE(wait_until([&] { return state(d) == DeviceState::kFault; }));
    EXPECT_NE(d.readings().summary.status.find("not reachable"), std::string::npos);
    EXPECT_EQ(d.write_outputs(1).reason, "KV318_NotReachable");
    PluggedBoard::gone() = false;
    ASSERT_TRUE(wait_until([&] { return state(d) != DeviceState::kFault; }));
    // Ready again: the run the board's loss ended is told, not an alarm.
    EXPECT_EQ(state(d), DeviceState::kOn);
    EXPECT_NE(d.readings().summary.status.find("went away during the run"), std::string::npos);
    ASSERT_TRUE(d.start("client").ok);
    EXPECT_EQ(state(d), DeviceState::kRunning);
    EXPECT_GE(PluggedBoard::opens().load(), 2);
}

TEST_F(BoardDeviceTest, OutputsReachTheInputsEvents) {
    BoardDevice d(api_, config_, events_);
    for (std::int32_t v : {0x1234, 0x0000, 0xFFFF}) {
        ASSERT_TRUE(d.write_outputs(v).ok);
        EXPECT_EQ(d.readings().outputs, v);
        EXPECT_TRUE(wait_until([&] { return events_.saw_input(v); })) << v;
    }
}

TEST_F(BoardDeviceTest, ACaptureWritesItsFileOnlyWhenTheTriggerCame) {
    if (!pipeline::hdf5_available()) GTEST_SKIP() << pipeline::kHdf5Unavailable;
    BoardDevice d(api_, config_, events_);
    CaptureRequest r;
    r.samples = 500;
    r.levelVolts = 1.0;
    r.timeoutSeconds = 0.5;
    std::string path;
    // No samples come: no trigger, no file.
    const Outcome none = d.capture(r, &path);
    EXPECT_EQ(none.reason, "KV318_NoTrigger");
    EXPECT_TRUE(path.empty());
    // The ramp crosses 1 V rising at code 1639, sample 1639 of the stream.
    script_reads(4, 1000);
    r.timeoutSeconds = 20;
    const Outcome got = d.capture(r, &path);
    ASSERT_TRUE(got.ok) << got.words;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_GT(st.st_size, 1000);
    // The device's own run for the capture is over.
    EXPECT_EQ(state(d), DeviceState::kOn);
    EXPECT_EQ(FakeBoard::get().starts, 2);
    EXPECT_EQ(FakeBoard::get().stops, 2);
}

}  // namespace
}  // namespace kv318::tango
