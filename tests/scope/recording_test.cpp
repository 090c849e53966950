// What the scope writes of a run, read back: its recordings (the run's
// description, every sample, kept valid while the run goes on), Save CSV,
// a refused --record file, and a run that follows a stream of kv318-server
// through a substitute board table: the samples it missed, the stream's
// index of its first sample, and a restarted stream's new rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_board.h"
#include "read_file.h"
#include "scope_controller.h"
#include "tick_until.h"
#include "wait.h"
#include "wav_chunks.h"

namespace kv318::scope {
namespace {

using cli::test::FakeBoard;

const char* const kIdentity = "KV318 board   serial 42";

ScopeSettings auto_settings() {
    ScopeSettings s;
    s.divider = 20;
    s.secondsPerDiv = 1e-3;
    s.mode = analysis::TriggerMode::Auto;
    return s;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

// The description every recording of the scope carries, each line in
// `text` between `before` and `after` ("\n# " and "\n" in a CSV file).
void expect_described(const std::string& text, const std::string& before, const std::string& after) {
    for (const std::string& line :
         {tool_name(), std::string("board: 0"), std::string("identity: KV318 board | serial 42"),
          std::string("divider: 20"), std::string("sample rate: 100000 samples/s")}) {
        EXPECT_NE(text.find(before + line + after), std::string::npos) << "no line '" << line << "' in " << text;
    }
    EXPECT_NE(text.find(before + "converter clock: 2000000 Hz"), std::string::npos);
    EXPECT_NE(text.find(before + "start: 20"), std::string::npos) << "the UTC start";
}

// Recorded as --record gives the file: described, every sample, and the
// file brought up to date about once a second while the run goes on, so a
// scope killed with SIGKILL leaves it valid up to its last update.
TEST(ScopeRecording, TheFileDescribesItsRunAndHoldsEverySampleAsItGoes) {
    const pipeline::BoardApi api = cli::test::fake_api();
    for (const char* name : {"scope_described.csv", "scope_described.wav"}) {
        SCOPED_TRACE(name);
        const std::string path = ::testing::TempDir() + name;
        const bool wav = std::string(name).find(".wav") != std::string::npos;
        FakeBoard::reset();
        FakeBoard::get().identity = kIdentity;
        FakeBoard::get().reads = {500, 0, 700};  // then nothing: the run goes on
        ScopeSettings s = auto_settings();
        s.record = path;
        ScopeController sc(api, s, nullptr);
        sc.run();
        ASSERT_TRUE(sc.message().empty()) << sc.message();
        std::vector<std::int32_t> samples;
        std::string text;
        ASSERT_TRUE(tick_until(sc, [&] {
            const std::vector<std::uint8_t> bytes = kv318::test::read_file_bytes(path);
            samples.clear();
            if (wav) {
                const kv318::test::WavChunks w = kv318::test::walk_wav(bytes);
                if (w.valid) samples = w.samples;
                // The comment's lines, "; " between them, from ICMT on.
                text = w.info;
                if (const std::size_t icmt = text.find("ICMT="); icmt != std::string::npos) text.replace(icmt, 5, "; ");
            } else {
                text.assign(bytes.begin(), bytes.end());
                for (const std::string& line : lines_of(text)) {
                    if (line.empty() || line[0] == '#' || line[0] == 'i') continue;
                    samples.push_back(4 * std::stoi(line.substr(line.find(',', line.find(',') + 1) + 1)));
                }
            }
            return samples.size() == 1200u;
        }));
        EXPECT_TRUE(sc.running()) << "on the disk while the run goes on, not only at its end";
        sc.close();
        if (wav) {
            EXPECT_NE(text.find("ISFT=" + tool_name() + ";"), std::string::npos) << text;
            expect_described(text, "; ", ";");
        } else {
            expect_described("\n" + text, "\n# ", "\n");
        }
        for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], FakeBoard::ramp(i)) << i;
        // Once the run has ended the file says what the drain statistics
        // say of the FIFO: a WAV file's note no longer waits for the end.
        const std::vector<std::uint8_t> bytes = kv318::test::read_file_bytes(path);
        const std::string ended = wav ? kv318::test::walk_wav(bytes).info : std::string(bytes.begin(), bytes.end());
        EXPECT_NE(ended.find(wav ? "; fifo: no gap between drains" : "\n# fifo: no gap between drains"),
                  std::string::npos)
            << ended.substr(ended.size() > 400 ? ended.size() - 400 : 0);
        EXPECT_EQ(ended.find("not known until the run ends"), std::string::npos);
        std::remove(path.c_str());
    }
}

// A --screenshot run's report counts the samples the run took, however it
// ended: the run ends before the report is made.
TEST(ScopeRecording, TheScreenshotReportCountsTheRunsSamples) {
    const pipeline::BoardApi api = cli::test::fake_api();
    const struct {
        std::vector<std::int32_t> reads;
        const char* samples;
    } cases[] = {{{10000, 10000}, ", 20000 samples ("}, {{5000, 12000}, ", 17000 samples ("}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.samples);
        FakeBoard::reset();
        FakeBoard::get().reads.assign(c.reads.begin(), c.reads.end());
        // The ramp rises through 0 V at its sample 16384: the one frame.
        ScopeSettings s = auto_settings();
        s.mode = analysis::TriggerMode::Normal;
        ScopeController sc(api, s, nullptr);
        sc.run();
        ASSERT_TRUE(tick_until(sc, [&] { return sc.hasFrame(); }));
        const std::vector<std::string> report = sc.endForScreenshot(1);
        ASSERT_FALSE(report.empty());
        EXPECT_NE(report.back().find(c.samples), std::string::npos) << report.back();
        EXPECT_EQ(report.back().find("(0 S/s)"), std::string::npos) << report.back();
    }
}

TEST(ScopeRecording, SaveCsvCarriesTheRunsDescriptionAboveTheTrace) {
    const pipeline::BoardApi api = cli::test::fake_api();
    FakeBoard::reset();
    FakeBoard::get().identity = kIdentity;
    FakeBoard::get().reads = {20000};
    ScopeController sc(api, auto_settings(), nullptr);
    sc.run();
    ASSERT_TRUE(tick_until(sc, [&] { return sc.hasFrame(); }));
    const std::string csv = sc.visibleCsv();
    const std::vector<std::string> lines = lines_of(csv);
    sc.close();
    expect_described("\n" + csv, "\n# ", "\n");
    std::size_t table = 0;
    while (table < lines.size() && lines[table].rfind("# ", 0) == 0) ++table;
    ASSERT_LT(table, lines.size());
    EXPECT_EQ(lines[table], "time_s,volts");
    EXPECT_EQ(lines.size() - table - 1, sc.frame().samples.size());
}

// A triggered trace names its trigger as a capture's file does, and its
// time axis is zero there.  The ramp rises through 0 V at its sample 16384.
TEST(ScopeRecording, SaveCsvNamesTheTriggerItsTimesCountFrom) {
    const pipeline::BoardApi api = cli::test::fake_api();
    FakeBoard::reset();
    FakeBoard::get().reads = {20000};
    ScopeSettings s = auto_settings();
    s.mode = analysis::TriggerMode::Normal;
    ScopeController sc(api, s, nullptr);
    sc.run();
    ASSERT_TRUE(tick_until(sc, [&] { return sc.hasFrame(); }));
    const std::string csv = sc.visibleCsv();
    sc.close();
    ASSERT_TRUE(sc.frame().triggered);
    EXPECT_NE(csv.find("\n# trigger: rising edge at 0 V, hysteresis 0.05 V, pretrigger 50 %; the trigger is index 500 "
                       "of this file and sample 16384 of the acquisition, and time_s is 0 there\n"),
              std::string::npos)
        << csv.substr(0, 1500);
    const std::vector<std::string> lines = lines_of(csv);
    std::size_t table = 0;
    while (table < lines.size() && lines[table].rfind("# ", 0) == 0) ++table;
    ASSERT_GT(lines.size(), table + 501);
    EXPECT_EQ(lines[table + 1 + 500].substr(0, 2), "0,");
    EXPECT_EQ(lines[table + 1].substr(0, 7), "-0.005,");
}

// A file that cannot be recorded to stops the run before it starts, with
// the reason where the window shows failures (a --screenshot run exits 1).
TEST(ScopeRecording, AFileThatCannotBeWrittenIsNamedAndNothingStarts) {
    const pipeline::BoardApi api = cli::test::fake_api();
    const struct {
        std::string path;
        std::string says;
    } cases[] = {
        {"/nonexistent-kv318-dir/r.csv", "cannot record to /nonexistent-kv318-dir/r.csv: "},
        {::testing::TempDir() + "r.txt", "cannot record to " + ::testing::TempDir() + "r.txt: " + ::testing::TempDir() +
                                             "r.txt has no recording's extension: name it .csv, .raw, .wav, "
                                             ".hdf5 or .h5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        FakeBoard::reset();
        ScopeSettings s = auto_settings();
        s.record = c.path;
        ScopeController sc(api, s, nullptr);
        sc.run();
        EXPECT_EQ(sc.message().substr(0, c.says.size()), c.says);
        EXPECT_FALSE(sc.running());
        EXPECT_EQ(FakeBoard::get().starts, 0);
        EXPECT_EQ(sc.screenshotExitCode(), 1);
    }
}

// kv318-server as a substitute table sees it: the stream's figures, set by
// the test; its position counts on with every sample the fake board reads.
// Read by the worker's and the test's threads, so atomic (relaxed: each is
// a figure on its own).
std::atomic<std::uint64_t> remoteMissed{0};
std::atomic<std::uint64_t> remoteDelivered{0};
std::atomic<std::uint32_t> remoteDivider{20};
constexpr std::uint64_t kJoinedAt = 5000;

std::int32_t KV318_CALL followed_status(std::int32_t, KV318_SERVED_STATUS* status) {
    std::snprintf(status->url, sizeof status->url, "tcp://lab:6318");
    status->flags = KV318_SERVED_FOLLOWING;
    status->stream = 3;
    status->missed = remoteMissed.load(std::memory_order_relaxed);
    status->next_index = kJoinedAt + remoteDelivered.load(std::memory_order_relaxed);
    status->clock_hz = 2'000'000;
    status->divider = remoteDivider.load(std::memory_order_relaxed);
    return 0;
}

std::int32_t KV318_CALL counted_read(std::int32_t handle, std::int32_t* samples) {
    const std::int32_t n = cli::test::fake_read(handle, samples);
    if (n > 0) remoteDelivered.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
    return n;
}

pipeline::BoardApi followed_api() {
    pipeline::BoardApi api = cli::test::fake_api();
    api.servedStatus = followed_status;
    api.read = counted_read;
    return api;
}

TEST(ScopeFollow, TheStatusAndTheReportNameWhatWasMissedAndWhereTheRunBegan) {
    const pipeline::BoardApi api = followed_api();
    const struct {
        std::uint64_t missed;
        const char* status;
        const char* report;
    } cases[] = {
        {0, "following stream 3 of kv318-server at tcp://lab:6318",
         "stream 3 of kv318-server at tcp://lab:6318: 1200 samples from index 5000, 0 missed"},
        {250, "following stream 3 of kv318-server at tcp://lab:6318, 250 samples missed",
         "stream 3 of kv318-server at tcp://lab:6318: 1200 samples from index 5000, 250 missed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const std::string path = ::testing::TempDir() + "scope_followed.csv";
        FakeBoard::reset();
        FakeBoard::get().reads = {500, 700};
        remoteMissed = c.missed;
        remoteDelivered = 0;
        remoteDivider = 20;
        ScopeSettings s = auto_settings();
        s.follow = true;
        s.server = "tcp://lab:6318";
        s.record = path;
        ScopeController sc(api, s, nullptr);
        sc.run();
        ASSERT_TRUE(tick_until(sc, [&] { return sc.source() == c.status; })) << sc.source();
        ASSERT_TRUE(tick_until(sc, [&] {
            const std::vector<std::string> r = sc.screenshotReport(1);
            return !r.empty() && r.back() == c.report;
        })) << sc.screenshotReport(1).back();
        std::string all;
        for (const Text& t : sc.view(1600, 600).texts) all += t.text + "\n";
        EXPECT_NE(all.find(c.status), std::string::npos) << all;
        // A --screenshot run ends the run before it reports, so the count
        // is the recording's; the stream's figures survive the end.
        EXPECT_EQ(sc.endForScreenshot(1).back(), c.report);
        EXPECT_FALSE(sc.running());
        const std::string text = kv318::test::read_file_text(path);
        EXPECT_NE(text.find("\n# server: kv318-server at tcp://lab:6318, stream 3, from its sample 5000 (followed"),
                  std::string::npos)
            << text.substr(0, 1000);
        std::remove(path.c_str());
    }
}

// The controller of a followed stream restarts it with another divider:
// the next run of the scope takes the stream's new rate, and so do its
// settings, its frames and the controls the window shows.
TEST(ScopeFollow, ARestartedStreamsNewRateIsTakenUp) {
    const pipeline::BoardApi api = followed_api();
    FakeBoard::reset();
    FakeBoard::get().reads = {20000};
    remoteMissed = 0;
    remoteDelivered = 0;
    remoteDivider = 20;
    ScopeSettings s = auto_settings();
    s.follow = true;
    ScopeController sc(api, s, nullptr);
    sc.run();
    ASSERT_TRUE(tick_until(sc, [&] { return sc.hasFrame(); }));
    EXPECT_EQ(sc.frame().sampleRate, 100'000);
    EXPECT_FALSE(sc.takeSettingsChanged());
    sc.stop();
    ASSERT_TRUE(tick_until(sc, [&] { return !sc.running(); }));

    const struct {
        std::uint32_t divider;
        double rate;
    } restarts[] = {{40, 50'000}, {4000, 500}, {20, 100'000}};
    for (const auto& r : restarts) {
        SCOPED_TRACE(r.divider);
        remoteDivider = r.divider;
        FakeBoard::get().reads = {20000};
        sc.run();
        ASSERT_TRUE(tick_until(sc, [&] { return sc.settings().divider == static_cast<std::int32_t>(r.divider); }));
        EXPECT_TRUE(sc.takeSettingsChanged()) << "the window shows the new divider";
        EXPECT_EQ(sc.settings().sampleRate(), r.rate);
        const std::vector<double> bases = time_bases(r.rate);
        EXPECT_NE(std::find(bases.begin(), bases.end(), sc.settings().secondsPerDiv), bases.end())
            << "a time base offered at the new rate";
        ASSERT_TRUE(tick_until(sc, [&] { return sc.hasFrame() && sc.frame().sampleRate == r.rate; }));
        sc.stop();
        ASSERT_TRUE(tick_until(sc, [&] { return !sc.running(); }));
    }
}

}  // namespace
}  // namespace kv318::scope
