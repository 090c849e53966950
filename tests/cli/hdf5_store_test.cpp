// The HDF5 recording: samples written through the SampleWriter in uneven
// blocks and read back with HDF5's own API code by code, the group's
// attributes, a second run appended, a split run, a file that is not HDF5.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/resource.h>

#include <csignal>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "fake_board.h"
#include "hdf5_reader.h"
#include "recording.h"
#include "sample_store.h"
#include "sample_units.h"
#include "sample_writer.h"
#include "pipeline_names.h"
#include "scratch_file.h"

namespace kv318::cli::test {
namespace {

constexpr std::uint64_t kNear2To32 = (std::uint64_t{1} << 32) - 100;

// A temporary file name, removed at the end of the test.
struct TempPath {
    std::string path;
    explicit TempPath(const char* name) : path(std::string(::testing::TempDir()) + name) { std::remove(path.c_str()); }
    ~TempPath() { std::remove(path.c_str()); }
};

Recording a_recording() {
    Recording r;
    r.tool = "kv318-cli 9.8.7";
    r.board = 3;
    r.identity1 = "KV318 test board";
    r.identity2 = "SN 42";
    r.clockHz = 8'000'000;
    r.divider = 3;
    r.startUtc = "2026-12-08T10:11:12Z";
    return r;
}

// Sample i of a test stream: every bit pattern of a 16-bit word comes by.
std::int32_t sample_of(std::uint64_t i) { return static_cast<std::int16_t>((i * 40503u + 7u) & 0xFFFFu); }

// Writes samples from..from+count-1 in blocks of the sizes given, over and
// over, checkpointing between some of them, and finishes with `note`.
void write_run(SampleStore& store, std::uint64_t from, std::size_t count, const std::string& note) {
    SampleWriter w(store, 8'000'000, 3);
    w.describe(a_recording());
    w.count_from(from);
    ASSERT_TRUE(w.begin()) << w.error();
    const std::size_t blocks[] = {1, 7, 65'535, 3, 65'537, 100'000, 2};
    std::vector<std::int32_t> samples;
    std::size_t done = 0;
    for (std::size_t b = 0; done < count; ++b) {
        const std::size_t n = std::min(blocks[b % std::size(blocks)], count - done);
        samples.resize(n);
        for (std::size_t i = 0; i < n; ++i) samples[i] = sample_of(from + done + i);
        ASSERT_EQ(w.write(samples.data(), n), n) << w.error();
        done += n;
        if (b % 3 == 2) {
            ASSERT_TRUE(w.checkpoint()) << w.error();
        }
    }
    w.note_fifo(note);
    ASSERT_TRUE(w.finish()) << w.error();
    EXPECT_EQ(w.written(), from + count);
    EXPECT_FALSE(w.failed());
}

// Read back with the HDF5 API, independent of the writer's code.
using Reader = kv318::test::Hdf5Reader;

void expect_codes(const Reader& f, const std::string& group, std::uint64_t from, std::size_t count) {
    const std::vector<std::int16_t> codes = f.samples(group);
    ASSERT_EQ(codes.size(), count) << group;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t want = units::sample_code(sample_of(from + i));
        if (codes[i] != want) {
            ADD_FAILURE() << group << ": code " << i << " is " << codes[i] << ", expected " << want;
            return;
        }
    }
    EXPECT_EQ(f.u64(group, "first_index"), from) << group;
    EXPECT_EQ(f.u64(group, "samples_written"), count) << group;
}

TEST(Hdf5Store, RunsAreWrittenCodeByCodeAndAppendedAsNextGroups) {
    const TempPath file("hdf5_store_runs.h5");
    std::string why;
    {
        auto store = open_hdf5_store(file.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        write_run(*store, kNear2To32, 200'003, "fifo: the first run's note");
        EXPECT_EQ(store->groups(), "/run_0001");
        EXPECT_EQ(store->appended(), 200'003u);
    }
    {
        auto store = open_hdf5_store(file.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        write_run(*store, 0, 5, "fifo: the second run's note");
        EXPECT_EQ(store->groups(), "/run_0002");
    }
    const Reader f(file.path);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(f.groups(), (std::vector<std::string>{"run_0001", "run_0002"}));
    expect_codes(f, "/run_0001", kNear2To32, 200'003);
    expect_codes(f, "/run_0002", 0, 5);

    EXPECT_EQ(f.u64("/run_0001", "clock_hz"), 8'000'000u);
    EXPECT_EQ(f.u32("/run_0001", "divider"), 3u);
    EXPECT_EQ(f.f64("/run_0001", "sample_rate_hz"), 8'000'000.0 / 3);
    EXPECT_EQ(f.f64("/run_0001", "volts_per_code"), units::kVoltsPerCode);
    EXPECT_EQ(f.f64("/run_0001", "volts_offset"), 0.0);
    EXPECT_EQ(f.text("/run_0001", "started_utc"), "2026-12-08T10:11:12Z");
    EXPECT_EQ(f.text("/run_0001", "tool"), "kv318-cli 9.8.7");
    std::string lines;
    for (const std::string& line : describe(a_recording())) lines += (lines.empty() ? "" : "\n") + line;
    EXPECT_EQ(f.text("/run_0001", "description"), lines);
    EXPECT_EQ(f.text("/run_0001", "fifo"), "fifo: the first run's note");
    EXPECT_EQ(f.text("/run_0002", "fifo"), "fifo: the second run's note");
}

TEST(Hdf5Store, ASplitRunGoesOnInNextGroupsWithoutLosingOrRepeatingASample) {
    const struct {
        std::uint64_t from;
        std::size_t count;
        std::uint64_t split;
        std::vector<std::size_t> groups;
    } cases[] = {
        {kNear2To32, 250'000, 100'000, {100'000, 100'000, 50'000}},
        {0, 200'000, 100'000, {100'000, 100'000}},  // ends exactly on a group's end: no empty group
        {7, 3, 1, {1, 1, 1}},
    };
    for (const auto& c : cases) {
        const TempPath file("hdf5_store_split.h5");
        std::string why;
        {
            auto store = open_hdf5_store(file.path, c.split, &why);
            ASSERT_NE(store, nullptr) << why;
            write_run(*store, c.from, c.count, "fifo: note");
        }
        const Reader f(file.path);
        const std::vector<std::string> names = f.groups();
        ASSERT_EQ(names.size(), c.groups.size()) << c.count;
        std::uint64_t first = c.from;
        for (std::size_t g = 0; g < names.size(); ++g) {
            EXPECT_EQ(names[g], "run_000" + std::to_string(g + 1));
            expect_codes(f, "/" + names[g], first, c.groups[g]);
            EXPECT_EQ(f.text("/" + names[g], "fifo"), "fifo: note") << "every group of the run gets the note";
            first += c.groups[g];
        }
    }
}

TEST(Hdf5Store, EventsGoToTheGroupHoldingTheSampleAfterThemAndEveryGroupHasTheDataset) {
    using Event = Reader::Event;
    const TempPath file("hdf5_store_events.h5");
    std::string why;
    {
        // Groups of 100 samples from 1000: 1000-1099, 1100-1199, 1200-1249.
        auto store = open_hdf5_store(file.path, 100, &why);
        ASSERT_NE(store, nullptr) << why;
        SampleWriter w(*store, 8'000'000, 3);
        w.describe(a_recording());
        w.count_from(1000);
        ASSERT_TRUE(w.begin()) << w.error();
        std::vector<std::int32_t> samples(50);
        for (int block = 0; block < 5; ++block) {
            if (block == 1) w.note_event("missed", "a jump inside the first group: 1050");
            if (block == 2) w.note_event("missed", "at the second group's first sample: 1100, ünïcode");
            ASSERT_EQ(w.write(samples.data(), samples.size()), samples.size());
            // Noted after the first checkpoint too, so both ways of writing
            // them are taken.
            if (block == 2) {
                ASSERT_TRUE(w.checkpoint()) << w.error();
            }
        }
        w.note_event("overflow", "the run's end: 1250");
        w.note_event("fifo", "and the FIFO: 1250");
        w.note_fifo("fifo: note");
        ASSERT_TRUE(w.finish()) << w.error();
    }
    {
        // A run where nothing happened still has the dataset, empty.
        auto store = open_hdf5_store(file.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        write_run(*store, 0, 10, "");
    }
    const Reader f(file.path);
    EXPECT_EQ(f.groups(), (std::vector<std::string>{"run_0001", "run_0002", "run_0003", "run_0004"}));
    EXPECT_EQ(f.events("/run_0001"), (std::vector<Event>{{1050, "missed", "a jump inside the first group: 1050"}}));
    EXPECT_EQ(f.events("/run_0002"),
              (std::vector<Event>{{1100, "missed", "at the second group's first sample: 1100, ünïcode"}}));
    EXPECT_EQ(f.events("/run_0003"),
              (std::vector<Event>{{1250, "overflow", "the run's end: 1250"}, {1250, "fifo", "and the FIFO: 1250"}}));
    EXPECT_EQ(f.events("/run_0004"), std::vector<Event>{});
}

TEST(Hdf5Store, CompressedRunsHoldTheSameCodesThroughShuffleAndDeflate) {
    const struct {
        bool compress;
        std::uint64_t split;
        std::size_t count;
        std::vector<std::size_t> groups;
    } cases[] = {
        {false, 0, 300'001, {300'001}},
        {true, 0, 300'001, {300'001}},
        {true, 120'000, 300'001, {120'000, 120'000, 60'001}},
    };
    for (const auto& c : cases) {
        const TempPath file("hdf5_store_compress.h5");
        std::string why;
        {
            auto store = open_hdf5_store(file.path, c.split, &why, c.compress);
            ASSERT_NE(store, nullptr) << why;
            write_run(*store, kNear2To32, c.count, "fifo: note");
            EXPECT_EQ(store->appended(), c.count);
        }
        const Reader f(file.path);
        const std::vector<std::string> names = f.groups();
        ASSERT_EQ(names.size(), c.groups.size()) << c.compress << " " << c.split;
        std::uint64_t first = kNear2To32;
        for (std::size_t g = 0; g < names.size(); ++g) {
            expect_codes(f, "/" + names[g], first, c.groups[g]);
            first += c.groups[g];
            const auto filters = f.filters("/" + names[g]);
            if (c.compress) {
                EXPECT_EQ(filters, (std::vector<std::pair<H5Z_filter_t, unsigned>>{{H5Z_FILTER_SHUFFLE, 2},
                                                                                   {H5Z_FILTER_DEFLATE, 4}}));
            } else {
                EXPECT_TRUE(filters.empty());
            }
        }
    }
}

// kv318-cli's own runs on a scripted board: how each ended is a row of
// the group's `events`, in the words the tool prints, at the sample after
// the last one written.
TEST(Hdf5Store, TheWaysARunEndsBecomeEventsRowsInTheToolsOwnWords) {
    using Event = Reader::Event;
    const std::string ring =
        "board 0: ring overflow: the reader fell behind and samples were lost (KV318_Read returned -2); write to a "
        "faster disk or use --format raw, or raise --divider";
    const std::string bulk =
        "board 0: bulk transfer failed: the board stopped delivering samples (KV318_Read returned -3); check the USB "
        "cable and the board's power, then run again";
    const std::string stopped =
        "board 0: acquisition not enabled: the board reports its converter stopped (KV318_Read returned -1); check "
        "that no other program stopped or reset the board, then run again";
    const std::string fifo =
        "board 0: samples may have been lost in the board's FIFO: a gap of 100.0 ms between drains at 26.0 MB/s "
        "exceeds its 512 KiB (1 such gap)";
    const struct {
        std::int32_t read;
        std::int32_t status;
        std::uint64_t gapUs;  // 0: no gap scripted
        int code;
        std::vector<Event> events;
    } cases[] = {
        {0, 0x04, 0, kExitOk, {}},
        {-2, 0x04, 0, kExitOverflow, {{100, "overflow", ring}}},
        {-3, 0x04, 0, kExitBulkFailed, {{100, "transfer", bulk}}},
        {-1, 0x00, 0, kExitNotEnabled, {{100, "stopped", stopped}}},
        {-2, 0x04, 100'000, kExitOverflow, {{100, "fifo", fifo}, {100, "overflow", ring}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("read " + std::to_string(c.read) + " gap " + std::to_string(c.gapUs));
        const TempPath file("hdf5_store_ends.h5");
        FakeBoard::reset();
        FakeBoard::get().reads = {60, 40, c.read};
        FakeBoard::get().status = c.status;
        if (c.gapUs > 0) {
            KV318_STREAM_STATS& st = FakeBoard::get().stats;
            st.mode = KV318_STATS_STREAM;
            st.longest_gap_us = c.gapUs;
            st.gap_histogram[16] = 1;  // 65.5-131 ms
        }
        Invocation inv;
        inv.command = Command::Stream;
        inv.clockHz = 26'000'000;
        inv.stream.divider = 2;
        inv.stream.maxSamples = c.read == 0 ? 100 : 0;
        inv.output = file.path;
        const std::atomic<bool> stop{false};
        std::FILE* out = kv318::test::scratch_file();
        std::FILE* err = kv318::test::scratch_file();
        ASSERT_TRUE(out != nullptr && err != nullptr);
        const Environment env{fake_api(), out, err, stop, [](int) { return std::string(); }};
        EXPECT_EQ(run_command(inv, env), c.code);
        std::string said(4096, '\0');
        std::rewind(err);
        said.resize(std::fread(said.data(), 1, said.size(), err));
        std::fclose(out);
        std::fclose(err);
        const Reader f(file.path);
        ASSERT_TRUE(f.ok());
        EXPECT_EQ(f.samples("/run_0001").size(), 100u);
        EXPECT_EQ(f.events("/run_0001"), c.events) << said;
        for (const Event& e : c.events) EXPECT_NE(said.find(e.text + ". "), std::string::npos) << said;
    }
}

TEST(Hdf5Store, AFileThatIsNotHdf5IsRefusedAndLeftAsItWas) {
    const TempPath file("hdf5_store_notes.h5");
    const std::string notes = "my notes\nnot HDF5 at all\n";
    std::ofstream(file.path, std::ios::binary) << notes;
    std::string why;
    EXPECT_EQ(open_hdf5_store(file.path, 0, &why), nullptr);
    EXPECT_NE(why.find("is not an HDF5 file, so it was left unchanged"), std::string::npos) << why;
    std::ifstream in(file.path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), notes);

    // An empty file holds nothing to keep: it becomes the recording.
    const TempPath empty("hdf5_store_empty.h5");
    std::ofstream(empty.path, std::ios::binary).close();
    auto store = open_hdf5_store(empty.path, 0, &why);
    ASSERT_NE(store, nullptr) << why;
    write_run(*store, 0, 10, "");
    store.reset();
    const Reader f(empty.path);
    expect_codes(f, "/run_0001", 0, 10);
    EXPECT_FALSE(f.has("/run_0001", "fifo")) << "no note given, none written";
}

}  // namespace
}  // namespace kv318::cli::test

namespace kv318::cli::test {
namespace {

// A disk of `bytes` holding nothing but the file: the room it leaves.
RoomFor disk_of(std::uint64_t bytes) {
    return [bytes](const std::string& path) -> std::uint64_t {
        std::ifstream f(path, std::ios::binary | std::ios::ate);
        const auto size = f ? static_cast<std::uint64_t>(f.tellg()) : 0;
        return size < bytes ? bytes - size : 0;
    };
}

// A disk that fills up ends the run whole: the file holds exactly the codes
// it says it holds, each the one written, and its last events row says at
// which sample and why the recording ends.  At 8 MHz / 3 a chunk is 2^20
// codes (2 MiB), so a few megabytes of disk take a few chunks.
TEST(Hdf5Store, AFullDiskEndsTheRunWithTheCodesThatFitAndSaysWhy) {
    const struct {
        std::uint64_t disk;
        std::uint64_t split;
        bool compress;
    } cases[] = {{5'000'000, 0, false}, {9'000'000, 0, false}, {5'000'000, 0, true}, {7'000'000, 1'500'000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.disk << " bytes, split " << c.split << ", compress " << c.compress);
        const TempPath file("hdf5_store_full.h5");
        std::string why;
        auto store = open_hdf5_store(file.path, c.split, &why, c.compress, disk_of(c.disk));
        ASSERT_NE(store, nullptr) << why;
        SampleWriter w(*store, 8'000'000, 3);
        w.describe(a_recording());
        ASSERT_TRUE(w.begin()) << w.error();
        std::vector<std::int32_t> samples(100'000);
        std::uint64_t offered = 0;
        for (int block = 0; block < 100 && !w.failed(); ++block) {
            for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = sample_of(offered + i);
            w.write(samples.data(), samples.size());
            offered += samples.size();
            if (block % 5 == 4) w.checkpoint();
        }
        w.note_fifo("fifo: the note");
        EXPECT_FALSE(w.finish());
        ASSERT_TRUE(w.failed()) << "10 million codes never fit on " << c.disk << " bytes";
        EXPECT_NE(w.error().find("no room for more samples"), std::string::npos) << w.error();
        const std::uint64_t kept = w.written();
        EXPECT_GT(kept, 0u);
        EXPECT_EQ(kept, store->appended());
        store.reset();

        const Reader f(file.path);
        ASSERT_TRUE(f.ok());
        std::uint64_t seen = 0;
        std::vector<std::string> groups = f.groups();
        for (const std::string& name : groups) {
            const std::string g = "/" + name;
            const std::uint64_t n = f.u64(g, "samples_written");
            expect_codes(f, g, seen, n);
            EXPECT_EQ(f.text(g, "fifo"), "fifo: the note");
            seen += n;
        }
        EXPECT_EQ(seen, kept);
        const std::vector<Reader::Event> events = f.events("/" + groups.back());
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().index, kept);
        EXPECT_EQ(events.back().kind, "error");
        EXPECT_NE(events.back().text.find("the recording ends here"), std::string::npos) << events.back().text;
    }
}

// A write that fails after the room check said it fits (an I/O error, a
// disk something else filled meanwhile): here a limit on the file's size
// that the room function does not see.  The file keeps what its last flush
// wrote, and opens: it never claims a code that is not the one written, and
// the writer's words say where it ends.
TEST(Hdf5Store, AWriteThatFailsAfterTheRoomCheckLeavesTheFileAsItsLastFlushWroteIt) {
    // A write past the limit fails with EFBIG instead of killing the test.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const struct {
        std::uint64_t limit;
        std::uint64_t split;
        bool compress;
    } cases[] = {{3'000'000, 0, false},
                 {6'500'000, 0, false},
                 {12'000'000, 0, false},
                 {400'000, 0, true},
                 {9'000'000, 1'200'000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "file size limit " << c.limit << ", split " << c.split << ", compress "
                                        << c.compress);
        const TempPath file("hdf5_store_io_error.h5");
        std::string why;
        auto store =
            open_hdf5_store(file.path, c.split, &why, c.compress, [](const std::string&) { return UINT64_MAX; });
        ASSERT_NE(store, nullptr) << why;
        struct rlimit tight = old;
        tight.rlim_cur = c.limit;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        SampleWriter w(*store, 8'000'000, 3);
        w.describe(a_recording());
        bool begun = w.begin();
        std::vector<std::int32_t> samples(100'000);
        std::uint64_t offered = 0;
        for (int block = 0; begun && block < 100 && !w.failed(); ++block) {
            for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = sample_of(offered + i);
            w.write(samples.data(), samples.size());
            offered += samples.size();
            if (block % 5 == 4) w.checkpoint();
        }
        const bool finished = begun && w.finish();
        const std::uint64_t kept = w.written();
        const std::string error = w.error();
        store.reset();
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
        ASSERT_TRUE(begun) << error;
        EXPECT_FALSE(finished);
        EXPECT_NE(error.find("the file ends where its last flush left it"), std::string::npos) << error;
        EXPECT_LT(kept, offered);

        const Reader f(file.path);
        ASSERT_TRUE(f.ok()) << "the file no longer opens; the writer said: " << error;
        std::uint64_t seen = 0;
        for (const std::string& name : f.groups()) {
            // The dataset may run past the count, over samples HDF5 made
            // room for but never wrote: the count is what the file claims.
            const std::uint64_t n = f.u64("/" + name, "samples_written");
            const std::vector<std::int16_t> codes = f.samples("/" + name);
            ASSERT_GE(codes.size(), n) << name;
            for (std::uint64_t i = 0; i < n; ++i) {
                if (codes[i] != units::sample_code(sample_of(seen + i))) {
                    ADD_FAILURE() << name << ": code " << i << " of " << n << " is not the one written";
                    break;
                }
            }
            for (const Reader::Event& e : f.events("/" + name))
                EXPECT_LE(e.index, seen + n) << e.kind << ": " << e.text;
            seen += n;
        }
        EXPECT_EQ(seen, kept);
    }
    std::signal(SIGXFSZ, oldHandler);
}

// A capture's group names its trigger, which is its time axis's zero.
TEST(Hdf5Store, ACapturesGroupNamesItsTrigger) {
    const TempPath file("hdf5_store_trigger.h5");
    std::string why;
    {
        auto store = open_hdf5_store(file.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        Recording r = a_recording();
        r.triggered = true;
        r.trigger = {analysis::Edge::Falling, -1.25, 0.05, 30, 300, 123'456};
        SampleWriter w(*store, 8'000'000, 3);
        w.describe(r);
        ASSERT_TRUE(w.begin());
        std::vector<std::int32_t> samples(1000);
        ASSERT_EQ(w.write(samples.data(), samples.size()), samples.size());
        ASSERT_TRUE(w.finish()) << w.error();
    }
    const Reader f(file.path);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(f.text("/run_0001", "trigger_edge"), "falling");
    EXPECT_EQ(f.f64("/run_0001", "trigger_level_volts"), -1.25);
    EXPECT_EQ(f.f64("/run_0001", "trigger_hysteresis_volts"), 0.05);
    EXPECT_EQ(f.f64("/run_0001", "pretrigger_percent"), 30.0);
    EXPECT_EQ(f.u64("/run_0001", "trigger_index"), 300u);
    EXPECT_EQ(f.u64("/run_0001", "trigger_stream_index"), 123'456u);
    EXPECT_NE(f.text("/run_0001", "description").find("time_s = (index - 300) x divider / clock"), std::string::npos);
    // A run without a trigger has none of them.
    const TempPath plain("hdf5_store_untriggered.h5");
    {
        auto store = open_hdf5_store(plain.path, 0, &why);
        ASSERT_NE(store, nullptr) << why;
        write_run(*store, 0, 10, "fifo: none");
    }
    const Reader g(plain.path);
    EXPECT_FALSE(g.has("/run_0001", "trigger_index"));
}

}  // namespace
}  // namespace kv318::cli::test
