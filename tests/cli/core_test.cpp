// The tool's own logic without a board: number limits, the sample formats
// byte by byte, the writer keeping files valid, and the stream loop against
// a scripted board.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "fake_board.h"
#include "json.h"
#include "option_limits.h"
#include "sample_writer.h"
#include "stream_loop.h"

namespace kv318::cli::test {
namespace {

TEST(Limits, RefuseOutsideTheirRangeAndNameIt) {
    const struct { Limit limit; std::int64_t value; const char* says; } cases[] = {
        {kRegister, 256, "register 256 is out of range 0-255 (0x00-0xFF)"},
        {kRegister, -1, "register -1 is out of range"},
        {kRegisterValue, 0x100, "register value 256"},
        {kOutputWord, 0x10000, "output word 65536 is out of range 0-65535 (0x0000-0xFFFF)"},
        {kDivider, 1, "divider 1 is out of range 2-4095"},
        {kDivider, 4096, "divider 4096"},
        {kPulseDivisor, 1, "pulse divisor 1 is out of range 2-255"},
        {kPulseDivisor, 256, "pulse divisor 256"},
        {kBoardNumber, 256, "board number 256"},
    };
    for (const auto& c : cases) EXPECT_NE(check_limit(c.limit, c.value).find(c.says), std::string::npos) << c.says;
    for (const auto& [limit, value] : {std::pair{kRegister, 255}, {kOutputWord, 0xFFFF}, {kDivider, 2}, {kDivider, 4095},
                                       {kPulseDivisor, 2}, {kPulseDivisor, 255}, {kBoardNumber, 0}}) {
        EXPECT_EQ(check_limit(limit, value), "") << limit.what << " " << value;
    }
}

TEST(Limits, ALeadingZeroDecimalIsRefusedNotReadAsOctal) {
    for (const char* bad : {"010", "00", "-010", "+07"}) EXPECT_NE(check_number_text(bad), "") << bad;
    for (const char* good : {"0", "10", "0x10", "0X1f", "-1", "255"}) EXPECT_EQ(check_number_text(good), "") << good;
}

TEST(Json, EscapesWhatWouldBreakTheDocument) {
    EXPECT_EQ(json_string("KV318 \"A\"\\B"), "\"KV318 \\\"A\\\"\\\\B\"");
    EXPECT_EQ(json_string(std::string("a\nb\x01\xE9", 5)), "\"a\\nb\\u0001\\u00e9\"");
}

TEST(Csv, LinesGiveIndexExactTimeCodeAndVolts) {
    const struct { std::uint64_t clock; std::uint32_t divider; std::uint64_t index; std::int32_t sample; const char* line; } cases[] = {
        {2'000'000, 50, 0, 0, "0,0.000000,0,0\n"},
        {2'000'000, 50, 3, 3 << 2, "3,0.000075,3,0.0018310546875\n"},
        {2'000'000, 2, 1'000'001, -8192 * 4, "1000001,1.000001,-8192,-5\n"},
        {2'000'000, 4095, 7, 8191 * 4, "7,0.0143325,8191,4.9993896484375\n"},
        {1'000, 1, 1'234, -4, "1234,1.234,-1,-0.0006103515625\n"},
        {1, 1, 5, 4096 * 4, "5,5,4096,2.5\n"},
        // 1/3 s per sample cannot be written exactly: rounded at 9 decimals.
        {3, 1, 2, 0, "2,0.666666667,0,0\n"},
        {3, 1, 3, 0, "3,1.000000000,0,0\n"},
    };
    for (const auto& c : cases) {
        CsvFormatter f(c.clock, c.divider);
        char out[CsvFormatter::kMaxLine];
        const std::size_t n = f.line(c.index, c.sample, out);
        EXPECT_EQ(std::string(out, n), c.line);
    }
}

TEST(Wav, HeaderIsTheCanonicalPcmMonoLayout) {
    const auto h = wav_header(1'000'000, 200);
    const std::uint8_t want[44] = {'R', 'I', 'F', 'F', 236, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                   16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x42, 0x0F, 0, 0x80, 0x84, 0x1E, 0,
                                   2, 0, 16, 0, 'd', 'a', 't', 'a', 200, 0, 0, 0};
    EXPECT_EQ(std::memcmp(h.data(), want, 44), 0);
    EXPECT_EQ(wav_rate(2'000'000, 50), 40'000u);
    EXPECT_EQ(wav_rate(2'000'000, 3), 666'667u);
    EXPECT_EQ(wav_rate(1, 4095), 1u);
}

// An output in memory that can refuse to seek or fail after some bytes.
class MemoryOutput : public ByteOutput {
public:
    std::vector<std::uint8_t> bytes;
    bool seekable = true;
    std::size_t failAfter = SIZE_MAX;
    bool write(const void* data, std::size_t size) override {
        if (bytes.size() + size > failAfter) {
            err_ = "No space left on device";
            return false;
        }
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return true;
    }
    bool rewrite(std::uint64_t offset, const void* data, std::size_t size) override {
        if (!seekable) return false;
        std::memcpy(bytes.data() + offset, data, size);
        return true;
    }
    bool flush() override { return true; }
    std::string error() const override { return err_; }

private:
    std::string err_;
};

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

TEST(Writer, WavSizesAreFixedAtEachCheckpointAndOpenEndedOnAPipe) {
    const std::int32_t samples[3] = {4, -4, 0x7FFC};
    MemoryOutput file;
    SampleWriter w(Format::Wav, file, 2'000'000, 2);
    ASSERT_TRUE(w.begin());
    EXPECT_EQ(w.write(samples, 3), 3u);
    ASSERT_TRUE(w.checkpoint());
    ASSERT_EQ(file.bytes.size(), 44u + 6);
    EXPECT_EQ(u32_at(file.bytes, 4), 36u + 6);
    EXPECT_EQ(u32_at(file.bytes, 40), 6u);
    EXPECT_EQ(u32_at(file.bytes, 24), 1'000'000u);
    const std::uint8_t data[6] = {0x04, 0x00, 0xFC, 0xFF, 0xFC, 0x7F};
    EXPECT_EQ(std::memcmp(file.bytes.data() + 44, data, 6), 0);

    MemoryOutput pipe;
    pipe.seekable = false;
    SampleWriter p(Format::Wav, pipe, 2'000'000, 2);
    ASSERT_TRUE(p.begin());
    p.write(samples, 3);
    EXPECT_TRUE(p.finish()) << "a pipe that cannot seek is not a failure";
    EXPECT_EQ(u32_at(pipe.bytes, 40), kWavMaxDataBytes) << "readers take it as: to the end of the file";
}

TEST(Writer, AWavFileStopsWholeAtItsLimit) {
    std::vector<std::int32_t> samples(10, 8);
    MemoryOutput file;
    SampleWriter w(Format::Wav, file, 2'000'000, 2, /*maxWavData=*/13);
    ASSERT_TRUE(w.begin());
    EXPECT_EQ(w.write(samples.data(), 4), 4u);
    EXPECT_EQ(w.write(samples.data(), 4), 2u) << "12 bytes is the most a 13-byte limit holds in whole samples";
    EXPECT_TRUE(w.full());
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(file.bytes.size(), 44u + 12);
    EXPECT_EQ(u32_at(file.bytes, 40), 12u);
}

TEST(Writer, CsvOutputOnlyEverEndsOnAWholeLineAndReportsAFailedWrite) {
    std::vector<std::int32_t> samples(100000, -4);
    MemoryOutput file;
    SampleWriter w(Format::Csv, file, 2'000'000, 2);
    ASSERT_TRUE(w.begin());
    EXPECT_EQ(w.write(samples.data(), samples.size()), samples.size());
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(file.bytes.back(), '\n');
    EXPECT_EQ(std::count(file.bytes.begin(), file.bytes.end(), '\n'), 100001);

    MemoryOutput full;
    full.failAfter = 100;
    SampleWriter f(Format::Csv, full, 2'000'000, 2);
    ASSERT_TRUE(f.begin());
    f.write(samples.data(), samples.size());
    EXPECT_FALSE(f.finish());
    EXPECT_TRUE(f.failed());
    EXPECT_EQ(f.error(), "No space left on device");
}

std::vector<std::int32_t> raw_samples(const MemoryOutput& out) {
    std::vector<std::int32_t> s;
    for (std::size_t i = 0; i + 1 < out.bytes.size(); i += 2)
        s.push_back(static_cast<std::int16_t>(out.bytes[i] | (out.bytes[i + 1] << 8)));
    return s;
}

TEST(StreamLoop, StopsAtTheSampleCountWithTheRampWhole) {
    FakeBoard::reset();
    FakeBoard::get().reads = {0, 700, 524288, 1000, 5000};
    MemoryOutput out;
    SampleWriter w(Format::Raw, out, 2'000'000, 2);
    StreamSettings s;
    s.divider = 7;
    s.flags[2] = 1;
    s.maxSamples = 526000;
    std::atomic<bool> stop{false};
    const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.readFailure, 0);
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(r.samples, 526000u);
    const auto got = raw_samples(out);
    ASSERT_EQ(got.size(), 526000u);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], FakeBoard::ramp(i)) << "sample " << i;
    EXPECT_EQ(FakeBoard::get().lastDivider, 7);
    EXPECT_EQ(FakeBoard::get().lastFlags[2], 1);
    EXPECT_EQ(FakeBoard::get().stops, 1);
}

TEST(StreamLoop, ANegativeReadEndsTheRunKeepingWhatCameBefore) {
    for (const std::int32_t failure : {-1, -2, -3}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {100, 200, failure, 300};
        MemoryOutput out;
        SampleWriter w(Format::Raw, out, 2'000'000, 2);
        std::atomic<bool> stop{false};
        const StreamOutcome r = run_stream(fake_api(), 1, StreamSettings{}, w, stop, nullptr);
        EXPECT_EQ(r.readFailure, failure);
        EXPECT_EQ(r.samples, 300u);
        EXPECT_EQ(out.bytes.size(), 600u);
        EXPECT_EQ(FakeBoard::get().stops, 1) << "the stream is stopped after a failure too";
        EXPECT_EQ(FakeBoard::get().readCalls, 3) << "nothing is read after the failure";
    }
}

TEST(StreamLoop, PolledRunsPassTheCarryAndTellAFailedTransferFromADisabledConverter) {
    for (const auto& [status, expected] : {std::pair{0x04, -3}, {0x00, -1}, {-1, -3}}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {10, -1};
        FakeBoard::get().status = status;
        MemoryOutput out;
        SampleWriter w(Format::Raw, out, 2'000'000, 2);
        StreamSettings s;
        s.polled = true;
        std::atomic<bool> stop{false};
        const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
        EXPECT_EQ(r.readFailure, expected) << "status " << status;
        EXPECT_EQ(r.samples, 10u);
        EXPECT_EQ(FakeBoard::get().carryIn, 0x10000 | 0x5A) << "the carry of one read goes into the next";
    }
}

TEST(StreamLoop, AStopRequestReadsWhatIsBufferedThenStopsTheBoard) {
    FakeBoard::reset();
    FakeBoard::get().reads = {1234};
    MemoryOutput out;
    SampleWriter w(Format::Wav, out, 2'000'000, 2);
    ASSERT_TRUE(w.begin());
    std::atomic<bool> stop{true};
    int lastReports = 0;
    const StreamOutcome r = run_stream(fake_api(), 1, StreamSettings{}, w, stop, [&](const StreamProgress& p, bool last) {
        if (last) {
            ++lastReports;
            EXPECT_EQ(p.samples, 1234u);
        }
    });
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.samples, 1234u);
    EXPECT_EQ(FakeBoard::get().stops, 1);
    EXPECT_EQ(lastReports, 1);
    EXPECT_EQ(u32_at(out.bytes, 40), 2u * 1234) << "the header is fixed up at the end";
}

TEST(StreamLoop, AnOutputThatTakesNoMoreEndsTheRun) {
    FakeBoard::reset();
    for (int i = 0; i < 1000; ++i) FakeBoard::get().reads.push_back(100);
    MemoryOutput out;
    SampleWriter w(Format::Wav, out, 2'000'000, 2, /*maxWavData=*/300);
    ASSERT_TRUE(w.begin());
    std::atomic<bool> stop{false};
    const StreamOutcome r = run_stream(fake_api(), 1, StreamSettings{}, w, stop, nullptr);
    EXPECT_TRUE(w.full());
    EXPECT_EQ(r.samples, 150u);
    EXPECT_EQ(FakeBoard::get().stops, 1);
    EXPECT_LT(FakeBoard::get().readCalls, 1000) << "the run ended once the file was full";
    EXPECT_EQ(u32_at(out.bytes, 40), 300u);
}

TEST(StreamLoop, AFailedStartReadsNothing) {
    FakeBoard::reset();
    FakeBoard::get().startResult = -1;
    MemoryOutput out;
    SampleWriter w(Format::Raw, out, 2'000'000, 2);
    std::atomic<bool> stop{false};
    const StreamOutcome r = run_stream(fake_api(), 1, StreamSettings{}, w, stop, nullptr);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(FakeBoard::get().readCalls, 0);
}

TEST(StreamLoop, ProgressLineSaysRateAndErrors) {
    StreamProgress p;
    p.seconds = 2.0;
    p.samples = 4'000'000;
    p.errors = 1;
    const std::string line = progress_line(p);
    for (const char* part : {"2.0 s", "4000000 samples", "2.000 MS/s", "4.000 MB/s", "1 errors"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
}

}  // namespace
}  // namespace kv318::cli::test

namespace kv318::cli::test {
namespace {

// What the board lock says, as the program's probe would: held after
// `busyAfter` looks, by `busyPid` (0: the file does not say).
int g_looks = 0;
int g_busyAfter = 0;
std::uint32_t g_busyPid = 0;
bool scripted_lock(std::int32_t, std::uint32_t* pid) {
    *pid = g_busyPid;
    return g_looks++ >= g_busyAfter;
}
std::string no_hint(int) { return {}; }

std::string read_all(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

TEST(BoardBusy, AStartOnABoardAnotherProcessStreamsSaysWhoAndStartsNothing) {
    struct Case {
        Command command;
        std::uint32_t pid;
        int busyAfter;       // 0: held from the first look; 1: taken between the look and the start
        std::int32_t start;  // what the library's start answers
        int code;
        const char* says;
    };
    const Case cases[] = {
        {Command::Stream, 4242, 0, 0, 10, "board 3 is streaming in another process (pid 4242)\n"},
        {Command::Poll, 0, 0, 0, 10, "board 3 is streaming in another process\n"},
        {Command::Stream, 77, 1, -1, 10, "board 3 is streaming in another process (pid 77)\n"},
        {Command::Poll, 77, 99, -1, 1, "board 3: KV318_M_AD failed"},  // refused for another reason
    };
    const std::string path = (std::filesystem::temp_directory_path() / "kv318-busy-test.csv").string();
    const BoardApi api = fake_api();
    const std::atomic<bool> stop{false};
    for (const Case& c : cases) {
        FakeBoard::reset();
        FakeBoard::get().startResult = c.start;
        g_looks = 0;
        g_busyAfter = c.busyAfter;
        g_busyPid = c.pid;
        std::filesystem::remove(path);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        ASSERT_TRUE(out != nullptr && err != nullptr);
        Environment env{api, out, err, stop, no_hint, false, false, scripted_lock};
        Invocation inv;
        inv.command = c.command;
        inv.board = 3;
        inv.output = path;
        EXPECT_EQ(run_command(inv, env), c.code) << c.says;
        EXPECT_NE(read_all(err).find(c.says), std::string::npos) << read_all(err);
        if (c.busyAfter == 0) {
            EXPECT_EQ(FakeBoard::get().starts, 0) << c.says;
            EXPECT_FALSE(std::filesystem::exists(path)) << "a file the other run may be writing stays untouched";
        }
        std::fclose(out);
        std::fclose(err);
    }
    std::filesystem::remove(path);
}

TEST(BoardBusy, SelftestSkipsItsStreamCheckWithoutFailingIt) {
    FakeBoard::reset();
    g_looks = 0;
    g_busyAfter = 0;
    g_busyPid = 4242;
    const BoardApi api = fake_api();
    const std::atomic<bool> stop{false};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    Environment env{api, out, err, stop, no_hint, false, false, scripted_lock};
    Invocation inv;
    inv.command = Command::Selftest;
    inv.board = 3;
    run_command(inv, env);  // the fake board's counter and pulse checks fail; only the stream check counts here
    const std::string text = read_all(out);
    EXPECT_NE(text.find("SKIP  stream 1 s: board 3 is streaming in another process (pid 4242)\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find(", 1 skipped\n"), std::string::npos) << text;
    EXPECT_EQ(FakeBoard::get().starts, 0);
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
}  // namespace kv318::cli::test
