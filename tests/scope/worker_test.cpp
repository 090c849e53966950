// The acquisition worker against a scripted board, and the frame
// hand-off between two threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "acquisition_worker.h"
#include "fake_board.h"
#include "wait.h"

namespace kv318::scope {
namespace {

using cli::test::FakeBoard;

ScopeSettings normal_settings() {
    ScopeSettings s;
    s.clockHz = 2'000'000;
    s.divider = 20;  // 100 kS/s: 1 ms/div is 1000 samples a screen
    s.secondsPerDiv = 1e-3;
    s.mode = analysis::TriggerMode::Normal;
    s.levelVolts = 0.5;
    s.pretriggerPercent = 50;
    return s;
}

// The scripted reads and how each run must end: whatever ends it, the
// converter is stopped exactly once, and a failure is named.
TEST(AcquisitionWorker, EveryRunEndsWithTheConverterStopped) {
    struct Case {
        const char* name;
        std::int32_t startResult;
        std::deque<std::int32_t> reads;
        analysis::TriggerMode mode;
        Failure failure;
        int stops;
        std::uint64_t samples;
        std::int32_t status = 0x04;  // register 0 when a read fails; -1: unreadable
    };
    const std::vector<Case> cases = {
        {"overflow", 0, {5000, 5000, -2}, analysis::TriggerMode::Normal, Failure::Overflow, 1, 10000},
        {"not enabled", 0, {3000, -1}, analysis::TriggerMode::Normal, Failure::NotEnabled, 1, 3000},
        {"bulk", 0, {-3}, analysis::TriggerMode::Auto, Failure::BulkFailed, 1, 0},
        // A driver that went away makes a read say "not enabled" too; the
        // status register it cannot read tells the two apart: the board is
        // gone, which the controller waits out.
        {"driver gone", 0, {3000, -1}, analysis::TriggerMode::Normal, Failure::Disconnected, 1, 3000, -1},
        // Single ends by itself once its frame is in: the trigger at 820
        // needs 500 samples after it, which the second read brings.
        {"single", 0, {700, 700, 700, 700}, analysis::TriggerMode::Single, Failure::None, 1, 1400},
        // A refused start stops nothing: nothing was started.
        {"refused", -1, {}, analysis::TriggerMode::Auto, Failure::StartFailed, 0, 0},
        // Refused by a board that no longer answers: gone, not refused.
        {"refused, board gone", -1, {}, analysis::TriggerMode::Auto, Failure::Disconnected, 0, 0, -1},
    };
    const pipeline::BoardApi api = cli::test::fake_api();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBoard::reset();
        FakeBoard::get().startResult = c.startResult;
        FakeBoard::get().reads = c.reads;
        FakeBoard::get().status = c.status;
        AcquisitionWorker w(api);
        ScopeSettings s = normal_settings();
        s.mode = c.mode;
        ASSERT_TRUE(w.start(7, s, nullptr));
        ASSERT_TRUE(test::wait_until([&] { return w.finished(); }));
        w.join();
        EXPECT_EQ(w.failure(), c.failure);
        EXPECT_EQ(FakeBoard::get().stops, c.stops);
        EXPECT_EQ(FakeBoard::get().starts, 1);
        EXPECT_EQ(FakeBoard::get().lastDivider, 20);
        EXPECT_EQ(w.samples(), c.samples);
    }
}

TEST(AcquisitionWorker, HandsOnTheTriggeredFrameCutFromTheStream) {
    FakeBoard::reset();
    FakeBoard::get().reads = {333, 4000, 1000, -2};
    const pipeline::BoardApi api = cli::test::fake_api();
    AcquisitionWorker w(api);
    ASSERT_TRUE(w.start(7, normal_settings(), nullptr));
    ASSERT_TRUE(test::wait_until([&] { return w.finished(); }));
    w.join();
    const DisplayFrame* f = w.take_frame();
    ASSERT_NE(f, nullptr);
    // The ramp passes 0.5 V (code 820) at sample 820; 500 samples before it.
    EXPECT_TRUE(f->triggered);
    EXPECT_EQ(f->firstSample, 320u);
    EXPECT_EQ(f->triggerIndex, 500u);
    ASSERT_EQ(f->samples.size(), 1000u);
    for (std::size_t i = 0; i < f->samples.size(); ++i) ASSERT_EQ(f->samples[i], FakeBoard::ramp(320 + i)) << i;
    EXPECT_EQ(w.take_frame(), nullptr);  // taken once
}

TEST(AcquisitionWorker, StopRequestEndsAnEndlessRun) {
    FakeBoard::reset();
    const pipeline::BoardApi api = cli::test::fake_api();
    AcquisitionWorker w(api);
    ASSERT_TRUE(w.start(7, normal_settings(), nullptr));
    EXPECT_FALSE(w.start(7, normal_settings(), nullptr));  // one run at a time
    w.request_stop();
    ASSERT_TRUE(test::wait_until([&] { return w.finished(); }));
    w.join();
    EXPECT_EQ(FakeBoard::get().stops, 1);
    EXPECT_EQ(w.failure(), Failure::None);
}

// Recording goes through the shared writer: every sample read, in order.
TEST(AcquisitionWorker, RecordsEverySampleWithTheSharedWriter) {
    FakeBoard::reset();
    FakeBoard::get().reads = {1234, 0, 4321, -2};
    const std::string path = ::testing::TempDir() + "scope_record.csv";
    auto rec = std::make_unique<RecordTarget>();
    rec->path = path;
    rec->file = std::make_unique<pipeline::FileOutput>(path);
    ASSERT_TRUE(rec->file->ok());
    const pipeline::BoardApi api = cli::test::fake_api();
    {
        AcquisitionWorker w(api);
        ASSERT_TRUE(w.start(7, normal_settings(), std::move(rec)));
        ASSERT_TRUE(test::wait_until([&] { return w.finished(); }));
    }
    std::ifstream in(path);
    std::string line;
    // The run's description first, then the table.
    while (std::getline(in, line) && line.rfind("# ", 0) == 0) {
    }
    EXPECT_EQ(line, "index,time_s,code,volts");
    std::uint64_t n = 0;
    while (std::getline(in, line) && line.rfind("# ", 0) != 0) {
        const long code = std::stol(line.substr(line.find(',', line.find(',') + 1) + 1));
        ASSERT_EQ(code, FakeBoard::ramp(n) / 4) << line;
        ++n;
    }
    EXPECT_EQ(n, 1234u + 4321u);
    // The FIFO's verdict is the last line, as in kv318-cli's files.
    EXPECT_EQ(line.rfind("# fifo: ", 0), 0u) << line;
    EXPECT_FALSE(std::getline(in, line)) << line;
    std::remove(path.c_str());
}

// The reader sees whole frames only, each newer than the last, while the
// writer publishes as fast as it can and never waits.
TEST(FrameHandoff, ReaderSeesWholeFramesInOrder) {
    struct Payload {
        std::vector<std::uint64_t> words = std::vector<std::uint64_t>(256);
    };
    FrameHandoff<Payload> h;
    constexpr std::uint64_t kFrames = 200000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t seq = 1; seq <= kFrames; ++seq) {
            Payload& p = h.write_slot();
            for (auto& w : p.words) w = seq;
            h.publish();
        }
        done = true;
    });
    std::uint64_t last = 0, seen = 0;
    while (true) {
        const bool finished = done.load();
        if (const Payload* p = h.take()) {
            const std::uint64_t seq = p->words[0];
            for (std::uint64_t w : p->words) ASSERT_EQ(w, seq);
            ASSERT_GT(seq, last);
            last = seq;
            ++seen;
        } else if (finished) {
            break;
        }
    }
    writer.join();
    EXPECT_EQ(last, kFrames);  // the newest is never lost
    EXPECT_GT(seen, 0u);
}

}  // namespace
}  // namespace kv318::scope
