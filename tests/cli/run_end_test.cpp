// How a run's end is reported: the FIFO verdict (exit 5, the message, the
// note in the file), a process paused mid-run, a busy board for capture,
// outputs that fail part way, counts past 2^32 and a board's identity
// strings on a terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "fake_board.h"
#include "memory_output.h"
#include "read_file.h"
#include "sample_writer.h"
#include "stream_loop.h"
#include "wait.h"
#include "pipeline_names.h"
#include "scratch_file.h"

namespace kv318::cli::test {
namespace {

std::string no_hint(int) { return {}; }

std::string read_all(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

// Runs `inv` on the fake board; returns the exit code, with stdout and
// stderr in *out and *err.
int run_on_fake(const Invocation& inv, std::string* out, std::string* err,
                bool (*lock)(std::int32_t, std::uint32_t*) = nullptr) {
    const BoardApi api = fake_api();
    const std::atomic<bool> stop{false};
    std::FILE* o = kv318::test::scratch_file();
    std::FILE* e = kv318::test::scratch_file();
    EXPECT_TRUE(o != nullptr && e != nullptr);
    const Environment env{api, o, e, stop, no_hint, false, false, nullptr, lock};
    const int code = run_command(inv, env);
    *out = read_all(o);
    *err = read_all(e);
    std::fclose(o);
    std::fclose(e);
    return code;
}

// The statistics of a run at 26 MHz / 2 with one gap of `gapUs`.
void script_gap(std::uint64_t gapUs) {
    KV318_STREAM_STATS& st = FakeBoard::get().stats;
    st.mode = KV318_STATS_STREAM;
    st.longest_gap_us = gapUs;
    st.gap_histogram[10] = 400;  // ticks of about a millisecond
    int bucket = 0;
    while ((std::uint64_t{2} << bucket) <= gapUs) ++bucket;
    st.gap_histogram[bucket] += 1;
}

TEST(FifoVerdict, ARunThatCouldHaveLostSamplesEndsWithExit5AndTheFileSaysSo) {
    const std::string base = (std::filesystem::temp_directory_path() / "kv318-fifo-test").string();
    const std::string loss =
        "samples may have been lost in the board's FIFO: a gap of 100.0 ms between drains at 26.0 MB/s exceeds "
        "its 512 KiB";
    struct Case {
        Command command;
        const char* ext;
        std::uint64_t gapUs;
        std::uint64_t fifoBytes;
        std::int32_t statsResult;
        int code;
        const char* says;  // on stderr; "" for nothing about the FIFO
        const char* note;  // in the file
    };
    const Case cases[] = {
        {Command::Stream, ".csv", 100'000, 524'288, 0, kExitOverflow, loss.c_str(), loss.c_str()},
        {Command::Poll, ".csv", 100'000, 524'288, 0, kExitOverflow, loss.c_str(), loss.c_str()},
        {Command::Stream, ".wav", 100'000, 524'288, 0, kExitOverflow, loss.c_str(), loss.c_str()},
        {Command::Stream, ".raw", 100'000, 524'288, 0, kExitOverflow, loss.c_str(), ""},
        // The same gap fits a FIFO of 4 MiB; and a gap the board's takes.
        {Command::Stream, ".csv", 100'000, 4'194'304, 0, kExitOk, "",
         "fifo: no gap between drains exceeded its 4096 KiB (the longest: 100.0 ms at 26.0 MB/s)"},
        {Command::Poll, ".wav", 19'534, 524'288, 0, kExitOk, "", "fifo: no gap between drains exceeded its 512 KiB"},
        // Statistics that cannot be read are not taken for good news.
        {Command::Stream, ".csv", 0, 524'288, -1, kExitOk, "whether samples were lost in the board's FIFO is not known",
         "fifo: not known"},
    };
    for (const Case& c : cases) {
        const std::string path = base + c.ext;
        SCOPED_TRACE(path + " gap " + std::to_string(c.gapUs));
        FakeBoard::reset();
        FakeBoard::get().reads = {700, 300};
        FakeBoard::get().statsResult = c.statsResult;
        script_gap(c.gapUs);
        Invocation inv;
        inv.command = c.command;
        inv.clockHz = 26'000'000;
        inv.stream.divider = 2;
        inv.stream.fifoBytes = c.fifoBytes;
        inv.stream.maxSamples = 1000;
        inv.output = path;
        inv.stallSeconds = 0.2;
        std::string out, err;
        EXPECT_EQ(run_on_fake(inv, &out, &err), c.code) << err;
        if (c.says[0] != '\0') {
            EXPECT_NE(err.find(c.says), std::string::npos) << err;
        } else {
            EXPECT_EQ(err.find("FIFO"), std::string::npos) << err;
        }
        if (c.code == kExitOverflow) {
            EXPECT_NE(err.find("exceeds its 512 KiB (1 such gap). "), std::string::npos) << err;
        }
        EXPECT_GE(FakeBoard::get().statsCalls, 1);
        const std::vector<std::uint8_t> bytes = kv318::test::read_file_bytes(path);
        const std::string text(bytes.begin(), bytes.end());
        if (std::string(c.ext) == ".csv") {
            // Every sample, then the note as the last line.
            const std::size_t last = text.rfind("\n# fifo: ");
            ASSERT_NE(last, std::string::npos) << text.substr(text.size() - 200);
            EXPECT_NE(text.find("\n999,"), std::string::npos);
            EXPECT_NE(text.find(c.note, last), std::string::npos) << text.substr(last);
            EXPECT_EQ(text.back(), '\n');
        } else if (std::string(c.ext) == ".wav") {
            ASSERT_GT(bytes.size(), 2000u);
            const std::size_t data = bytes.size() - 2000;
            EXPECT_EQ(std::memcmp(bytes.data() + data - 8, "data", 4), 0) << "the header kept its size";
            EXPECT_EQ(u32_at(bytes, data - 4), 2000u);
            EXPECT_EQ(u32_at(bytes, 4), bytes.size() - 8);
            EXPECT_NE(text.substr(0, data).find(c.note), std::string::npos);
            EXPECT_EQ(text.find("not known until the run ends"), std::string::npos);
        } else {
            EXPECT_EQ(bytes.size(), 2000u) << "raw holds samples only";
        }
        std::filesystem::remove(path);
    }
}

TEST(StreamLoop, AProcessPausedMidRunIsNotABoardThatStalled) {
    // A read that takes a second, as one does in a process stopped with
    // Ctrl-Z and continued, then reads that find the ring still empty for a
    // moment: the board never stopped, so the run goes on to its count.
    for (const bool polled : {false, true}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {100, 0, 0, 250};
        FakeBoard::get().pauseOnRead = 2;
        FakeBoard::get().pauseSeconds = 1.0;
        MemoryOutput out;
        SampleWriter w(Format::Raw, out, 2'000'000, 50);
        StreamSettings s;
        s.polled = polled;
        s.maxSamples = 350;
        s.maxSeconds = 60;
        s.stallSeconds = 0.3;
        std::atomic<bool> stop{false};
        const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
        EXPECT_FALSE(r.stalled) << "polled " << polled;
        EXPECT_EQ(r.samples, 350u) << "polled " << polled;
    }
}

bool held_by_4242(std::int32_t, std::uint32_t* pid) {
    *pid = 4242;
    return true;
}

TEST(Capture, ABusyBoardIsNamedWithItsHolderAndNothingStarts) {
    FakeBoard::reset();
    Invocation inv;
    inv.command = Command::Capture;
    inv.board = 2;
    inv.output = (std::filesystem::temp_directory_path() / "kv318-busy-capture.csv").string();
    std::string out, err;
    EXPECT_EQ(run_on_fake(inv, &out, &err, held_by_4242), kExitBoardBusy);
    EXPECT_EQ(err, "board 2 is streaming in another process (pid 4242)\n");
    EXPECT_EQ(FakeBoard::get().starts, 0);
    EXPECT_FALSE(std::filesystem::exists(inv.output));
}

TEST(Writer, AWavHeaderSaysWhatLandedWhenTheDiskFills) {
    // The disk fills before the first checkpoint, after one, and part way
    // through a sample: the header always declares the whole samples there.
    std::vector<std::int32_t> samples(300'000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = FakeBoard::ramp(i);
    for (const bool checkpointFirst : {false, true}) {
        for (const std::size_t failAfter : {44u + 1'000'001u, 44u + 500'000u}) {
            SCOPED_TRACE(std::to_string(failAfter) + (checkpointFirst ? " after a checkpoint" : ""));
            MemoryOutput disk;
            disk.failAfter = failAfter;
            SampleWriter w(Format::Wav, disk, 2'000'000, 2);
            ASSERT_TRUE(w.begin());
            if (checkpointFirst) {
                w.write(samples.data(), 1000);
                ASSERT_TRUE(w.checkpoint());
            }
            std::size_t taken = 0;
            for (int i = 0; i < 10 && !w.failed(); ++i) taken += w.write(samples.data(), samples.size());
            EXPECT_FALSE(w.finish());
            ASSERT_TRUE(w.failed());
            const std::uint64_t whole = (failAfter - 44) / 2;
            EXPECT_EQ(w.written(), whole);
            EXPECT_EQ(u32_at(disk.bytes, 40), 2 * whole) << "data size";
            EXPECT_EQ(u32_at(disk.bytes, 4), 36 + 2 * whole) << "RIFF size";
            // The odd byte of a sample cut in two is cut off with it.
            EXPECT_EQ(disk.bytes.size(), 44 + 2 * whole);
        }
    }
}

// Like a pipe whose reader took `takes` bytes and then nothing: writes
// put in what fits and then wait until abandon().
class PipeThatFills : public ByteOutput {
public:
    explicit PipeThatFills(std::size_t takes) : room_(takes) {}
    bool write(const void*, std::size_t size) override {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t n = std::min(size, room_);
        room_ -= n;
        landed_ += n;
        if (n == size) return true;
        full_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return abandoned_; });
        return false;
    }
    std::uint64_t landed() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return landed_;
    }
    bool rewrite(std::uint64_t, const void*, std::size_t) override { return false; }
    bool flush() override { return true; }
    std::string error() const override { return "the reader took nothing more after the stop"; }
    void abandon() override {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }
    bool full() {
        std::lock_guard<std::mutex> lock(mutex_);
        return full_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t room_;
    std::uint64_t landed_ = 0;
    bool full_ = false;
    bool abandoned_ = false;
};

TEST(StreamLoop, AStoppedRunCountsTheSamplesThePipeReallyReceived) {
    // 64 KiB in the pipe: 32,768 raw samples, or the whole CSV lines in it.
    for (const Format format : {Format::Raw, Format::Csv}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {40'000, 40'008};
        PipeThatFills pipe(65'536);
        SampleWriter w(format, pipe, 2'000'000, 50);
        std::atomic<bool> stop{false};
        StreamSettings s;
        s.maxSamples = 80'008;
        std::thread stopper([&] {
            kv318::test::wait_until([&] { return pipe.full(); });
            stop = true;
        });
        const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
        stopper.join();
        EXPECT_TRUE(r.abandoned);
        // "index,time_s,code,volts\n" is 24 bytes; the lines of 0-9 are
        // "n,0.0000n5,c,v\n" long: counted from the bytes, not guessed.
        const std::uint64_t expected = format == Format::Raw ? 32'768u : r.samples;
        EXPECT_EQ(r.samples, expected);
        EXPECT_GT(r.samples, 0u);
        EXPECT_EQ(r.samples + r.unwritten, 80'008u);
    }
}

TEST(Counts, ARunPast2To32SamplesIsCountedExactly) {
    constexpr std::uint64_t kStart = (std::uint64_t{1} << 32) - 100;
    FakeBoard::reset();
    FakeBoard::get().reads = {150, 150};
    MemoryOutput out;
    SampleWriter w(Format::Csv, out, 2'000'000, 50);
    w.count_from(kStart);
    ASSERT_TRUE(w.begin());
    StreamSettings s;
    s.maxSamples = 300;
    std::atomic<bool> stop{false};
    std::uint64_t lastProgress = 0;
    const StreamOutcome r =
        run_stream(fake_api(), 1, s, w, stop, [&](const StreamProgress& p, bool) { lastProgress = p.samples; });
    EXPECT_EQ(r.samples, kStart + 300);
    EXPECT_EQ(lastProgress, kStart + 300);
    EXPECT_EQ(r.unwritten, 0u);
    const std::string text(out.bytes.begin(), out.bytes.end());
    // Index 2^32 is sample 100 of the run: 4294967296 x 50 / 2 MHz s.
    EXPECT_NE(text.find("\n4294967295,107374.182375,"), std::string::npos);
    EXPECT_NE(text.find("\n4294967296,107374.182400,"), std::string::npos);
    EXPECT_NE(text.find("\n4294967495,"), std::string::npos);

    // A WAV run that goes on in a next file there names its first sample.
    std::vector<std::uint8_t> second;
    struct Kept : ByteOutput {
        std::vector<std::uint8_t>* into;
        MemoryOutput mem;
        explicit Kept(std::vector<std::uint8_t>* i) : into(i) {}
        ~Kept() override { *into = mem.bytes; }
        bool write(const void* d, std::size_t n) override { return mem.write(d, n); }
        std::uint64_t landed() const override { return mem.landed(); }
        bool rewrite(std::uint64_t o, const void* d, std::size_t n) override { return mem.rewrite(o, d, n); }
        bool flush() override { return true; }
        std::string error() const override { return {}; }
    };
    {
        MemoryOutput first;
        SampleWriter wav(Format::Wav, first, 2'000'000, 50, /*maxWavData=*/200);
        wav.describe(Recording{});
        wav.continue_in([&](unsigned, std::string*) { return std::make_unique<Kept>(&second); });
        wav.count_from(kStart);
        ASSERT_TRUE(wav.begin());
        std::vector<std::int32_t> samples(150, 4);
        EXPECT_EQ(wav.write(samples.data(), samples.size()), 150u);
        ASSERT_TRUE(wav.finish());
        EXPECT_EQ(wav.written(), kStart + 150);
    }
    const std::string info(second.begin(), second.end());
    EXPECT_NE(info.find("part 2 of the run, from sample 4294967296"), std::string::npos);
}

TEST(ReadEnd, EveryFailedReadEndsTheCommandWithItsExitCodeAndItsWords) {
    const std::string path = (std::filesystem::temp_directory_path() / "kv318-read-end-test.raw").string();
    const std::string notEnabled = "acquisition not enabled: the board reports its converter stopped";
    const std::string checkBoard = "check that no other program stopped or reset the board, then run again";
    const std::string bulk = "bulk transfer failed: the board stopped delivering samples";
    const std::string checkCable = "check the USB cable and the board's power, then run again";
    const std::string stalled = "the board stopped delivering samples: none came for 0.2 s (--stall-timeout)";
    const std::string checkClock = "check the converter clock, the USB cable and the board's power";
    const struct {
        Command command;
        std::int32_t read;
        std::int32_t status;
        int code;
        std::string what;  // up to the advice
        const std::string& advice;
    } cases[] = {
        {Command::Stream, -1, 0x00, kExitNotEnabled, notEnabled + " (KV318_Read returned -1)", checkBoard},
        // The register cannot be read: the board is gone, not stopped.
        {Command::Stream, -1, -1, kExitBulkFailed, bulk + " (KV318_Read returned -3)", checkCable},
        {Command::Stream, -2, 0x04, kExitOverflow,
         "ring overflow: the reader fell behind and samples were lost (KV318_Read returned -2)",
         "write to a faster disk or use --format raw, or raise --divider"},
        {Command::Stream, -3, 0x04, kExitBulkFailed, bulk + " (KV318_Read returned -3)", checkCable},
        {Command::Poll, -1, 0x00, kExitNotEnabled, notEnabled + " (KV318_M_Read returned -1)", checkBoard},
        {Command::Poll, -1, 0x04, kExitBulkFailed, bulk + " (KV318_M_Read returned -1)", checkCable},
        {Command::Poll, -1, -1, kExitBulkFailed, bulk + " (KV318_M_Read returned -1)", checkCable},
        // Reads that return 0 for ever: a board stopped from outside whose
        // FIFO tail is too short to drain, told apart by the register.
        {Command::Stream, 0, 0x00, kExitNotEnabled,
         notEnabled + ": no samples came for 0.2 s (--stall-timeout), and the status register says conversion is "
                      "off (KV318_Read returned 0)",
         checkBoard},
        {Command::Stream, 0, 0x04, kExitBulkFailed, stalled, checkClock},
        {Command::Poll, 0, -1, kExitBulkFailed, stalled, checkClock},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command == Command::Poll ? "poll " : "stream ") + std::to_string(c.read) +
                     " status " + std::to_string(c.status));
        FakeBoard::reset();
        FakeBoard::get().reads = {60, 40, c.read};
        FakeBoard::get().status = c.status;
        Invocation inv;
        inv.command = c.command;
        inv.output = path;
        inv.stallSeconds = 0.2;
        std::string out, err;
        EXPECT_EQ(run_on_fake(inv, &out, &err), c.code) << err;
        EXPECT_EQ(err,
                  "board 0: " + c.what + "; " + c.advice + ". " + path + " keeps the 100 samples read before it.\n");
        EXPECT_EQ(kv318::test::read_file_bytes(path).size(), 200u);
        EXPECT_EQ(FakeBoard::get().stops, 1);
    }
    std::remove(path.c_str());
}

TEST(Identity, StringsFromTheBoardArePrintedEscaped) {
    // A board could send a terminal's escape sequences or line ends.
    const char identity[] =
        "KV318\x1B[2J\\x   SN\r\n\x9B"
        "1";
    for (const Command command : {Command::Info, Command::List}) {
        FakeBoard::reset();
        FakeBoard::get().identity = identity;
        Invocation inv;
        inv.command = command;
        inv.maxBoards = 1;
        std::string out, err;
        EXPECT_EQ(run_on_fake(inv, &out, &err), kExitOk) << err;
        EXPECT_EQ(out.find('\x1B'), std::string::npos) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << out;
        EXPECT_NE(out.find("KV318\\x1B[2J\\x5Cx"), std::string::npos) << out;
        EXPECT_NE(out.find("SN\\x0D\\x0A\\x9B1"), std::string::npos) << out;
    }
}

}  // namespace
}  // namespace kv318::cli::test
