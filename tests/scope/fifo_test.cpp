// The FIFO verdict in the scope: the worker reads the drain statistics of
// its run, and the controller keeps the warning on the screen, in red with
// the count of such gaps, until the next Run.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fake_board.h"
#include "read_file.h"
#include "scope_controller.h"
#include "tick_until.h"
#include "wait.h"

namespace kv318::scope {
namespace {

using cli::test::FakeBoard;

ScopeSettings slow() {
    ScopeSettings s;
    s.divider = 20;  // 100 kS/s at 2 MHz: 0.2 MB/s fills 496 KiB in 2.54 s
    s.secondsPerDiv = 1e-3;
    s.mode = analysis::TriggerMode::Auto;
    return s;
}

// A run whose statistics hold gaps of 5 s (two) and 3 s (one).
void script_long_gaps() {
    KV318_STREAM_STATS& st = FakeBoard::get().stats;
    st.mode = KV318_STATS_STREAM;
    st.longest_gap_us = 5'000'000;
    st.gap_histogram[13] = 900;
    st.gap_histogram[21] = 1;  // 2.1-4.2 s
    st.gap_histogram[22] = 2;  // 4.2-8.4 s
}

// Whether the texts of `color`, read in order as one text, hold `text`: a
// long one wraps onto several lines.
bool shows(const DrawList& d, const std::string& text, Color color) {
    std::string all;
    for (const Text& t : d.texts) {
        if (t.color == color) all += (all.empty() ? "" : " ") + t.text;
    }
    return all.find(text) != std::string::npos;
}

TEST(ScopeFifo, APossibleLossShowsInRedWithItsCountUntilTheNextRun) {
    const std::string warning =
        "samples may have been lost in the board's FIFO: a gap of 5000.0 ms between drains at 0.2 MB/s exceeds its "
        "512 KiB (3 such gaps)";
    const pipeline::BoardApi api = cli::test::fake_api();
    FakeBoard::reset();
    script_long_gaps();
    FakeBoard::get().reads = {500, 500, -3};  // the run ends by itself
    ScopeController sc(api, slow(), nullptr);
    sc.run();
    ASSERT_TRUE(tick_until(sc, [&] { return !sc.running() && !sc.message().empty(); }));
    EXPECT_EQ(sc.fifoWarning(), warning);
    EXPECT_TRUE(shows(sc.view(800, 600), warning, kFailureText));
    EXPECT_EQ(sc.screenshotExitCode(), 1);
    // A --screenshot run prints what the window shows in red: the failure,
    // the warning, then its summary.
    const std::vector<std::string> report = sc.screenshotReport(10);
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(report[0], sc.message());
    EXPECT_EQ(report[1], warning);
    EXPECT_EQ(report[2], sc.summary(10));

    // A larger FIFO takes the same gaps: a run with it shows nothing, and
    // the next Run has cleared the old warning at once.
    ScopeSettings big = slow();
    big.fifoBytes = 2u << 20;
    sc.apply(big);
    FakeBoard::get().reads = {500, -3};
    sc.run();
    EXPECT_EQ(sc.fifoWarning(), "");
    ASSERT_TRUE(tick_until(sc, [&] { return !sc.running() && !sc.message().empty(); }));
    EXPECT_EQ(sc.fifoWarning(), "");
    EXPECT_FALSE(shows(sc.view(800, 600), "samples may have been lost", kFailureText));
    EXPECT_EQ(sc.screenshotReport(10), (std::vector<std::string>{sc.message(), sc.summary(10)}));
}

TEST(ScopeFifo, TheWorkerLooksAtTheStatisticsWhileItRunsAndAfterTheStop) {
    const pipeline::BoardApi api = cli::test::fake_api();
    FakeBoard::reset();
    script_long_gaps();
    AcquisitionWorker w(api);
    ASSERT_TRUE(w.start(7, slow(), nullptr));
    // Reads that bring nothing: the run goes on until its look at the
    // statistics, about once a second, finds the gaps.
    ASSERT_TRUE(test::wait_until([&] { return w.fifo().possibleLoss; }));
    EXPECT_EQ(w.fifo().riskyGaps, 3u);
    EXPECT_EQ(w.fifo().longestGapUs, 5'000'000u);
    w.request_stop();
    w.join();
    const int looks = FakeBoard::get().statsCalls;
    EXPECT_GE(looks, 2) << "once while running, once after the stop";
    EXPECT_FALSE(w.statsUnreadable());

    // A recording made meanwhile ends on the note.
    FakeBoard::reset();
    script_long_gaps();
    FakeBoard::get().reads = {1000, -3};
    const std::string path = ::testing::TempDir() + "scope_fifo_record.csv";
    auto rec = std::make_unique<RecordTarget>();
    rec->path = path;
    rec->file = std::make_unique<pipeline::FileOutput>(path);
    ASSERT_TRUE(rec->file->ok());
    ASSERT_TRUE(w.start(7, slow(), std::move(rec)));
    ASSERT_TRUE(test::wait_until([&] { return w.finished(); }));
    w.join();
    const std::string text = kv318::test::read_file_text(path);
    EXPECT_NE(text.find("\n999,"), std::string::npos);
    EXPECT_NE(text.find("\n# fifo: samples may have been lost in the board's FIFO: a gap of 5000.0 ms"),
              std::string::npos)
        << text.substr(text.size() - 300);
    std::remove(path.c_str());

    // Statistics that cannot be read are said to be unknown, not good.
    FakeBoard::reset();
    FakeBoard::get().statsResult = -1;
    FakeBoard::get().reads = {100, -3};
    ASSERT_TRUE(w.start(7, slow(), nullptr));
    ASSERT_TRUE(test::wait_until([&] { return w.finished(); }));
    w.join();
    EXPECT_TRUE(w.statsUnreadable());
    EXPECT_FALSE(w.fifo().possibleLoss);
}

}  // namespace
}  // namespace kv318::scope
