// An HDF5 run as the writer and the stream command see it, without the HDF5
// library: the codes and calls a SampleStore gets, a store that fails part
// way, and the refusals made before a board is opened.  Runs in every build,
// the Windows ones (which have no HDF5) included.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "fake_board.h"
#include "sample_store.h"
#include "sample_units.h"
#include "sample_writer.h"
#include "scratch_file.h"
#include "stream_loop.h"

namespace kv318::cli::test {
namespace {

// A store in memory that takes `room` codes and then fails, as a full disk.
class MemoryStore : public SampleStore {
public:
    std::uint64_t room = UINT64_MAX;
    std::vector<std::int16_t> codes;
    Recording recording;
    std::uint64_t firstIndex = 0;
    int begins = 0, checkpoints = 0, finishes = 0;
    std::string note;
    bool full = false;
    struct Event {
        std::uint64_t index;
        std::string kind, text;
    };
    std::vector<Event> events;

    bool begin(const Recording& r, std::uint64_t first) override {
        ++begins;
        recording = r;
        firstIndex = first;
        return true;
    }
    // As a compressed HDF5 run: codes are held until the next checkpoint
    // and only then stored (and found not to fit).
    bool holds = false;
    std::vector<std::int16_t> held;

    bool append(const std::int16_t* c, std::size_t n) override {
        if (holds) return held.insert(held.end(), c, c + n), true;
        return store(c, n);
    }
    bool store(const std::int16_t* c, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (codes.size() == room) return full = true, false;
            codes.push_back(c[i]);
        }
        return true;
    }
    bool checkpoint() override {
        ++checkpoints;
        std::vector<std::int16_t> now;
        now.swap(held);
        return store(now.data(), now.size());
    }
    bool finish(const std::string& fifoNote) override {
        ++finishes;
        note = fifoNote;
        return checkpoint();
    }
    void note_event(std::uint64_t index, const std::string& kind, const std::string& text) override {
        events.push_back({index, kind, text});
    }
    std::string error() const override { return full ? "the disk is full" : ""; }
    std::uint64_t appended() const override { return codes.size(); }
    std::string groups() const override { return "/run_0001"; }
};

TEST(Hdf5Run, TheStoreGetsEveryCodeAndTheRunsEndAndAFailureCountsWhatLanded) {
    constexpr std::uint64_t kStart = (std::uint64_t{1} << 32) - 100;
    const struct {
        std::uint64_t room;
        std::uint64_t written;  // of the run's 1157 samples
        bool holds;
    } cases[] = {
        {UINT64_MAX, 1157, false}, {100, 100, false}, {0, 0, false}, {UINT64_MAX, 1157, true}, {100, 100, true}};
    for (const auto& c : cases) {
        FakeBoard::reset();
        FakeBoard::get().reads = {150, 7, 1000};
        MemoryStore store;
        store.room = c.room;
        store.holds = c.holds;
        SampleWriter w(store, 2'000'000, 50);
        w.count_from(kStart);
        ASSERT_TRUE(w.begin());
        StreamSettings s;
        s.maxSamples = 1157;
        const std::atomic<bool> stop{false};
        const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
        EXPECT_EQ(store.begins, 1);
        EXPECT_EQ(store.firstIndex, kStart);
        EXPECT_EQ(store.recording.clockHz, 2'000'000u) << "an undescribed run still has its clock";
        EXPECT_EQ(store.recording.divider, 50u);
        EXPECT_EQ(r.samples, kStart + c.written) << c.room;
        EXPECT_EQ(r.unwritten, 1157 - c.written) << c.room;
        EXPECT_EQ(w.failed(), c.written < 1157) << c.room;
        EXPECT_EQ(w.error(), w.failed() ? "the disk is full" : "");
        ASSERT_EQ(store.codes.size(), c.written);
        for (std::size_t i = 0; i < store.codes.size(); ++i) {
            ASSERT_EQ(store.codes[i], units::sample_code(FakeBoard::ramp(i))) << "code " << i;
        }
        EXPECT_EQ(store.finishes, 1) << "the file is closed whole, after a failure too";
        EXPECT_EQ(store.note.rfind("fifo: ", 0), 0u) << store.note;
    }
}

std::int32_t opens = 0;
std::int32_t KV318_CALL counting_open(std::int32_t) { return ++opens, 1; }

// Samples a server's stream never delivered show as a jump in the indices
// the writer is given; the HDF5 run, whose samples sit back to back, notes
// each jump where it lands in its own numbering.
TEST(Hdf5Run, EachJumpInAFollowedStreamIsAMissedEventWhereItLands) {
    MemoryStore store;
    SampleWriter w(store, 2'000'000, 50);
    w.count_from(7);
    w.words_for_missed([](std::uint64_t missed) { return std::to_string(missed) + " never arrived"; });
    ASSERT_TRUE(w.begin());
    const std::int32_t samples[10] = {};
    // Joined at the stream's sample 5000: not a jump, where it joins.
    ASSERT_EQ(w.write(5000, samples, 10), 10u);
    ASSERT_EQ(w.write(5010, samples, 4), 4u);    // in order
    ASSERT_EQ(w.write(5020, samples, 10), 10u);  // 6 missed
    ASSERT_EQ(w.write(5030, samples, 1), 1u);
    ASSERT_EQ(w.write(6031, samples, 2), 2u);  // 1000 missed
    ASSERT_TRUE(w.finish());
    ASSERT_EQ(store.events.size(), 2u);
    // The run's numbers: 7 + 14 written before the first jump, 7 + 25 before the second.
    EXPECT_EQ(store.events[0].index, 21u);
    EXPECT_EQ(store.events[0].kind, "missed");
    EXPECT_EQ(store.events[0].text, "6 never arrived");
    EXPECT_EQ(store.events[1].index, 32u);
    EXPECT_EQ(store.events[1].text, "1000 never arrived");
    EXPECT_EQ(store.codes.size(), 27u);
}

// kv318-scope shows the same words, so they name no program but the way
// that works in a build without HDF5.
TEST(Hdf5Run, TheWordsOfABuildWithoutHdf5NameThePythonRecorderAndNoProgram) {
    const std::string says = kHdf5Unavailable;
    EXPECT_NE(says.find("write HDF5 with the kv318 Python package (kv318.record)"), std::string::npos) << says;
    EXPECT_EQ(says.find("kv318-cli"), std::string::npos) << says;
    EXPECT_EQ(says.find("kv318-scope"), std::string::npos) << says;
}

TEST(Hdf5Run, ImpossibleHdf5OutputsAreRefusedBeforeTheBoardIsOpened) {
    const bool here = hdf5_available();
    const struct {
        const char* output;
        bool formatGiven;
        double split;
        const char* says;  // empty: not refused up front
        bool compress = false;
    } cases[] = {
        {"-", true, 0, here ? "an HDF5 recording needs a file it can seek in, not standard output" : kHdf5Unavailable},
        {"", true, 0, here ? "not standard output" : kHdf5Unavailable},
        {"run.csv", false, 1, "--split starts the next run group of an HDF5 recording"},
        {"run.wav", false, 0, "--compress stores an HDF5 recording's samples compressed: use -o FILE.h5", true},
        {"run.h5", false, 1e-9, here ? "--split 1e-09 is less than one sample" : kHdf5Unavailable},
        {"run.h5", false, 0, here ? "" : kHdf5Unavailable},
    };
    for (const auto& c : cases) {
        FakeBoard::reset();
        opens = 0;
        Invocation inv;
        inv.command = Command::Stream;
        inv.output = c.output;
        inv.format = Format::Hdf5;
        inv.formatGiven = c.formatGiven;
        inv.splitSeconds = c.split;
        inv.compress = c.compress;
        BoardApi api = fake_api();
        api.open = counting_open;
        const std::atomic<bool> stop{false};
        std::FILE* out = kv318::test::scratch_file();
        std::FILE* err = kv318::test::scratch_file();
        ASSERT_TRUE(out != nullptr && err != nullptr);
        const Environment env{api, out, err, stop, [](int) { return std::string(); }};
        // Only a build with HDF5 writes run.h5: not checked here.
        if (c.says[0] != '\0') {
            EXPECT_EQ(run_command(inv, env), kExitUsage) << c.output;
            EXPECT_EQ(opens, 0) << c.output;
            std::string text(4096, '\0');
            std::rewind(err);
            text.resize(std::fread(text.data(), 1, text.size(), err));
            EXPECT_NE(text.find(c.says), std::string::npos) << c.output << ": " << text;
        }
        std::fclose(out);
        std::fclose(err);
    }
}

}  // namespace
}  // namespace kv318::cli::test
