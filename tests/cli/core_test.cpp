// The tool's own logic without a board: number limits, the sample formats
// byte by byte, the writer keeping files valid, and the stream loop against
// a scripted board (the recording's description and files: recording_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "fake_board.h"
#include "json.h"
#include "memory_output.h"
#include "option_limits.h"
#include "sample_writer.h"
#include "stream_loop.h"
#include "wait.h"
#include "wav_chunks.h"
#include "pipeline_names.h"
#include "scratch_file.h"

namespace kv318::cli::test {
namespace {

TEST(Limits, RefuseOutsideTheirRangeAndNameIt) {
    const struct {
        Limit limit;
        std::int64_t value;
        const char* says;
    } cases[] = {
        {kRegister, 256, "register 256 is out of range 0-255 (0x00-0xFF)"},
        {kRegister, -1, "register -1 is out of range"},
        {kRegisterValue, 0x100, "register value 256"},
        {kOutputWord, 0x10000, "output word 65536 is out of range 0-65535 (0x0000-0xFFFF)"},
        {kDivider, 1, "divider 1 is out of range 2-4095"},
        {kDivider, 4096, "divider 4096"},
        {kPulseDivisor, 1, "pulse divisor 1 is out of range 2-255"},
        {kPulseDivisor, 256, "pulse divisor 256"},
        {kBoardNumber, 256, "board number 256"},
        {kFifoBytes, 16'383, "FIFO size 16383 is out of range 16384-1073741824"},
    };
    for (const auto& c : cases) EXPECT_NE(check_limit(c.limit, c.value).find(c.says), std::string::npos) << c.says;
    for (const auto& [limit, value] : {std::pair{kRegister, 255},
                                       {kOutputWord, 0xFFFF},
                                       {kDivider, 2},
                                       {kDivider, 4095},
                                       {kPulseDivisor, 2},
                                       {kPulseDivisor, 255},
                                       {kBoardNumber, 0}}) {
        EXPECT_EQ(check_limit(limit, value), "") << limit.what << " " << value;
    }
}

TEST(Limits, NumbersAreTakenAsTypedOrRefusedNeverCapped) {
    const struct {
        Limit limit;
        const char* text;
        std::int64_t value;
        const char* says;
    } cases[] = {
        {kRegister, "0", 0, ""},
        {kRegister, "255", 255, ""},
        {kRegister, "0x1f", 31, ""},
        {kRegister, "0X1F", 31, ""},
        {kRegister, "+7", 7, ""},
        {kOutputWord, "0xFFFF", 0xFFFF, ""},
        {kSampleCount, "9223372036854775807", INT64_MAX, ""},
        {kRegister, "010", 0, "without a leading zero"},
        {kRegister, "00", 0, "without a leading zero"},
        {kRegister, "-010", 0, "without a leading zero"},
        {kRegister, "+07", 0, "without a leading zero"},
        {kRegister, "abc", 0, "'abc' is not a number"},
        {kRegister, "", 0, "is not a number"},
        {kRegister, "0x", 0, "is not a number"},
        {kRegister, "12abc", 0, "is not a number"},
        {kRegister, "1.5", 0, "is not a number"},
        {kRegister, "--1", 0, "is not a number"},
        {kRegister, "256", 0, "register 256 is out of range 0-255 (0x00-0xFF)"},
        {kOutputWord, "-1", 0, "output word -1 is out of range"},
        {kOutputWord, "-0x1", 0, "output word -1 is out of range"},
        // Too many digits for any integer: refused as typed, not capped to
        // the largest one.
        {kOutputWord, "0xFFFFFFFFFFFFFFFFFF", 0, "output word 0xFFFFFFFFFFFFFFFFFF is out of range 0-65535"},
        {kSampleCount, "99999999999999999999999", 0, "sample count 99999999999999999999999 is out of range"},
        {kSampleCount, "9223372036854775808", 0, "sample count 9223372036854775808 is out of range"},
        {kSampleCount, "0", 0, "sample count 0 is out of range"},
    };
    for (const auto& c : cases) {
        std::int64_t v = -12345;
        const std::string bad = parse_within(c.limit, c.text, &v);
        if (c.says[0] == '\0') {
            EXPECT_EQ(bad, "") << c.text;
            EXPECT_EQ(v, c.value) << c.text;
        } else {
            EXPECT_NE(bad.find(c.says), std::string::npos) << c.text << ": " << bad;
            EXPECT_EQ(v, -12345) << c.text << " left the value alone";
        }
    }
}

TEST(Limits, SecondsAreFinitePositiveNumbersAndBecomeExactSampleCounts) {
    const struct {
        const char* text;
        double value;
        const char* says;
    } cases[] = {
        {"1", 1, ""},
        {"1.5", 1.5, ""},
        {"+2", 2, ""},
        {"1e-3", 1e-3, ""},
        {"abc", 0, "'abc' is not a number"},
        {"", 0, "is not a number"},
        // A unit may follow, as in every time the programs take.
        {"1s", 1, ""},
        {"250ms", 0.25, ""},
        {"2 s", 2, ""},
        {"1 x", 0, "is not a number"},
        {"1sec", 0, "is not a number"},
        {" 1", 0, "is not a number"},
        {"0x1", 0, "is not a number"},
        {"0ms", 0, "more than 0"},
        {"nan", 0, "not a finite number"},
        {"inf", 0, "not a finite number"},
        {"-inf", 0, "not a finite number"},
        {"1e400", 0, "not a finite number"},
        {"0", 0, "more than 0"},
        {"-1", 0, "more than 0"},
    };
    for (const auto& c : cases) {
        double v = -7;
        const std::string bad = parse_seconds("--seconds", c.text, &v);
        if (c.says[0] == '\0') {
            EXPECT_EQ(bad, "") << c.text;
            EXPECT_EQ(v, c.value) << c.text;
        } else {
            EXPECT_NE(bad.find(c.says), std::string::npos) << c.text << ": " << bad;
            EXPECT_NE(bad.find("--seconds"), std::string::npos) << "names the option: " << bad;
        }
    }
    const struct {
        double seconds;
        std::uint64_t clock;
        std::uint32_t divider;
        std::uint64_t count;
        const char* says;
    } counts[] = {
        {1, 2'000'000, 50, 40'000, ""},
        {0.5, 2'000'000, 3, 333'333, ""},  // 333,333.33 rounds down
        {2.5, 1'000, 400, 6, ""},          // 6.25
        {0.5, 3, 1, 2, ""},                // 1.5 rounds away from zero
        {60, 26'000'000, 2, 780'000'000, ""},
        {0.0001, 2'000'000, 4095, 0, "less than one sample"},
        {1.5e-5, 2'000'000, 50, 0, "less than one sample"},  // 0.6 of one, which rounds to 1
        {1e300, 2'000'000, 2, 0, "more samples than"},
    };
    for (const auto& c : counts) {
        std::uint64_t n = 0;
        const std::string bad = samples_for_seconds(c.seconds, c.clock, c.divider, &n);
        if (c.says[0] == '\0') {
            EXPECT_EQ(bad, "");
            EXPECT_EQ(n, c.count) << c.seconds << " s at " << c.clock << "/" << c.divider;
        } else {
            EXPECT_NE(bad.find(c.says), std::string::npos) << bad;
        }
    }
}

TEST(Json, EscapesWhatWouldBreakTheDocument) {
    EXPECT_EQ(json_string("KV318 \"A\"\\B"), "\"KV318 \\\"A\\\"\\\\B\"");
    EXPECT_EQ(json_string(std::string("a\nb\x01\xE9", 5)), "\"a\\nb\\u0001\\u00e9\"");
}

TEST(Csv, LinesGiveIndexExactTimeCodeAndVolts) {
    const struct {
        std::uint64_t clock;
        std::uint32_t divider;
        std::uint64_t index;
        std::int32_t sample;
        const char* line;
    } cases[] = {
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
    const std::uint8_t want[44] = {'R',  'I', 'F', 'F', 236, 0, 0,   0,   'W', 'A',  'V',  'E',  'f', 'm',  't',
                                   ' ',  16,  0,   0,   0,   1, 0,   1,   0,   0x40, 0x42, 0x0F, 0,   0x80, 0x84,
                                   0x1E, 0,   2,   0,   16,  0, 'd', 'a', 't', 'a',  200,  0,    0,   0};
    EXPECT_EQ(std::memcmp(h.data(), want, 44), 0);
    EXPECT_EQ(wav_rate(2'000'000, 50), 40'000u);
    EXPECT_EQ(wav_rate(2'000'000, 3), 666'667u);
    EXPECT_EQ(wav_rate(1, 4095), 1u);
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

// An output that fills up part way through a line or a sample keeps only
// the whole ones before it, and what the file says of itself (the count,
// a WAV header's sizes, its FIFO note) is of those alone.  A pipe, which
// cannot be cut, keeps the part; the count still leaves it out.
TEST(Writer, AFullOutputKeepsOnlyWholeSamplesAndSaysJustThose) {
    const struct {
        Format format;
        std::size_t failAfter;
        bool seekable;
    } cases[] = {{Format::Csv, 1'000'000, true}, {Format::Csv, 1'000'001, true}, {Format::Raw, 1'048'577, true},
                 {Format::Wav, 1'048'577, true}, {Format::Wav, 2'000'000, true}, {Format::Csv, 1'000'001, false},
                 {Format::Raw, 1'048'577, false}};
    std::vector<std::int32_t> samples(1'000'000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = FakeBoard::ramp(i);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.format) << " fails after " << c.failAfter
                                        << (c.seekable ? "" : " bytes, a pipe"));
        MemoryOutput out;
        out.failAfter = c.failAfter;
        out.seekable = c.seekable;
        SampleWriter w(c.format, out, 2'000'000, 2);
        w.describe(Recording{});
        ASSERT_TRUE(w.begin());
        EXPECT_LT(w.write(samples.data(), samples.size()), samples.size() + 1);
        w.note_fifo("fifo: the run's note");
        EXPECT_FALSE(w.finish());
        ASSERT_TRUE(w.failed());
        std::size_t whole = 0;  // samples whole in the output, the first `whole` of the ramp
        if (c.format == Format::Csv) {
            const std::string text(out.bytes.begin(), out.bytes.end());
            EXPECT_EQ(text.back() == '\n', c.seekable) << text.substr(text.size() - 40);
            const std::size_t header = text.find("index,time_s,code,volts\n");
            ASSERT_NE(header, std::string::npos);
            std::size_t at = header + 24;
            for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++whole) {
                const std::string line = text.substr(at, end - at);
                ASSERT_EQ(line.substr(0, line.find(',')), std::to_string(whole)) << line;
            }
        } else {
            std::size_t data = 0;  // where the samples start
            if (c.format == Format::Wav) {
                const kv318::test::WavChunks wav = kv318::test::walk_wav(out.bytes);
                EXPECT_TRUE(wav.valid) << "its sizes are those of the file";
                EXPECT_NE(wav.info.find("fifo: the run's note"), std::string::npos) << wav.info;
                for (const auto& chunk : wav.chunks) {
                    if (chunk.first == "data") data = chunk.second;
                }
                ASSERT_GT(data, 0u);
            }
            EXPECT_EQ((out.bytes.size() - data) % 2, c.seekable ? 0u : 1u);
            whole = (out.bytes.size() - data) / 2;
            for (std::size_t i = 0; i < whole; ++i) {
                const auto s = static_cast<std::int16_t>(out.bytes[data + 2 * i] | (out.bytes[data + 2 * i + 1] << 8));
                ASSERT_EQ(s, static_cast<std::int16_t>(FakeBoard::ramp(i))) << i;
            }
        }
        EXPECT_EQ(w.written(), whole);
        EXPECT_GT(whole, 0u);
    }
}

TEST(Writer, BlocksCarryTheirIndexSoACsvShowsAGapAndOtherFormatsHoldTheSamplesBackToBack) {
    struct Block {
        std::uint64_t first;
        std::size_t count;
    };
    const struct {
        const char* what;
        Format format;
        std::vector<Block> blocks;
        std::vector<std::uint64_t> indices;  // of the samples in the file, in order
    } cases[] = {
        {"consecutive blocks", Format::Csv, {{0, 3}, {3, 2}}, {0, 1, 2, 3, 4}},
        {"a followed run starts at the stream's index", Format::Csv, {{4410, 2}, {4412, 1}}, {4410, 4411, 4412}},
        {"a gap is a jump", Format::Csv, {{0, 2}, {5, 2}, {7, 1}}, {0, 1, 5, 6, 7}},
        {"raw cannot show it", Format::Raw, {{0, 2}, {5, 2}}, {0, 1, 5, 6}},
        {"nor can WAV", Format::Wav, {{10, 1}, {20, 1}}, {10, 20}},
    };
    for (const auto& c : cases) {
        MemoryOutput file;
        SampleWriter w(c.format, file, 2'000'000, 50);
        ASSERT_TRUE(w.begin());
        for (const Block& b : c.blocks) {
            std::vector<std::int32_t> samples;
            for (std::size_t i = 0; i < b.count; ++i) samples.push_back(FakeBoard::ramp(b.first + i));
            EXPECT_EQ(w.write(b.first, samples.data(), samples.size()), b.count) << c.what;
        }
        ASSERT_TRUE(w.finish()) << c.what;
        EXPECT_EQ(w.written(), c.indices.size()) << c.what << ": the count is of samples taken, not of indices";
        std::vector<std::int32_t> want;
        for (const std::uint64_t i : c.indices) want.push_back(FakeBoard::ramp(i));
        if (c.format == Format::Csv) {
            std::string text(file.bytes.begin(), file.bytes.end());
            std::vector<std::string> lines;
            for (std::size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1)
                lines.push_back(text.substr(at, text.find('\n', at) - at));
            ASSERT_EQ(lines.size(), c.indices.size()) << c.what;
            for (std::size_t k = 0; k < lines.size(); ++k) {
                char line[CsvFormatter::kMaxLine];
                const std::size_t n = CsvFormatter(2'000'000, 50).line(c.indices[k], want[k], line);
                EXPECT_EQ(lines[k] + "\n", std::string(line, n)) << c.what << ", row " << k;
            }
        } else {
            const std::size_t header = c.format == Format::Wav ? kWavHeaderBytes : 0;
            std::vector<std::int32_t> got;
            for (std::size_t at = header; at + 1 < file.bytes.size(); at += 2)
                got.push_back(static_cast<std::int16_t>(file.bytes[at] | file.bytes[at + 1] << 8));
            EXPECT_EQ(got, want) << c.what;
        }
    }
}

TEST(StreamLoop, StopsAtTheSampleCountWithTheRampWhole) {
    FakeBoard::reset();
    FakeBoard::get().reads = {0, 700, KV318_READ_MAX_SAMPLES, 1000, 5000};
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
    // A -1 with a status register that cannot be read is a board that is
    // gone, not one whose converter was stopped.
    for (const auto& [failure, status, reported] :
         {std::tuple{-1, 0x00, -1}, {-2, 0x04, -2}, {-3, 0x04, -3}, {-1, -1, -3}, {-2, -1, -2}}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {100, 200, failure, 300};
        FakeBoard::get().status = status;
        MemoryOutput out;
        SampleWriter w(Format::Raw, out, 2'000'000, 2);
        std::atomic<bool> stop{false};
        const StreamOutcome r = run_stream(fake_api(), 1, StreamSettings{}, w, stop, nullptr);
        EXPECT_EQ(r.readFailure, reported) << failure << " with status " << status;
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
    const StreamOutcome r =
        run_stream(fake_api(), 1, StreamSettings{}, w, stop, [&](const StreamProgress& p, bool last) {
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

TEST(StreamLoop, ABoardThatStopsDeliveringEndsTheRunAsStalledWithTheFileWhole) {
    // Reads that return 0 for ever are what a board gives that stopped
    // converting without a fault; the run must end, not wait for -s.  At
    // the stall the status register says whether the converter was stopped
    // (a FIFO tail below the drain's first level never reaches the ring, so
    // no read says -1); one that cannot be read says nothing of it.
    struct Case {
        bool polled;
        std::int32_t status;
        bool converterOff;
    };
    for (const Case c : {Case{false, 0x04, false}, Case{true, 0x04, false}, Case{false, 0x00, true},
                         Case{true, 0x70, true}, Case{false, -1, false}}) {
        FakeBoard::reset();
        FakeBoard::get().reads = {100, 0, 250};
        FakeBoard::get().status = c.status;
        MemoryOutput out;
        SampleWriter w(Format::Wav, out, 2'000'000, 2);
        ASSERT_TRUE(w.begin());
        StreamSettings s;
        s.polled = c.polled;
        s.maxSamples = 1'000'000;
        s.maxSeconds = 60;  // a backstop: without the stall check the run ends here, not stalled
        s.stallSeconds = 0.2;
        std::atomic<bool> stop{false};
        const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
        SCOPED_TRACE(testing::Message() << "polled " << c.polled << " status " << c.status);
        EXPECT_TRUE(r.stalled);
        EXPECT_EQ(r.stalledConverterOff, c.converterOff);
        EXPECT_EQ(r.readFailure, 0);
        EXPECT_EQ(r.stallSeconds, 0.2);
        EXPECT_EQ(r.samples, 350u);
        EXPECT_EQ(FakeBoard::get().stops, 1);
        EXPECT_EQ(u32_at(out.bytes, 40), 700u) << "the header holds what came before the stall";
        const auto got = raw_samples(out);
        for (std::size_t i = 0; i < 350; ++i) ASSERT_EQ(got[22 + i], FakeBoard::ramp(i)) << "sample " << i;
    }
    // The default timeout: 100 times 50 samples' time, never under 1 s.
    EXPECT_EQ(stall_timeout_for(2'000'000, 50), 1.0);
    EXPECT_DOUBLE_EQ(stall_timeout_for(2'000'000, 4095), 100 * 50 * 4095 / 2e6);
    EXPECT_DOUBLE_EQ(stall_timeout_for(1'000, 2), 10.0);
}

// An output like a pipe nobody reads: every write waits until abandon().
class StuckOutput : public ByteOutput {
public:
    bool write(const void*, std::size_t) override {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = true;
        stopsWhenStuck_ = FakeBoard::get().stops;
        changed_.wait(lock, [this] { return abandoned_; });
        return false;
    }
    std::uint64_t landed() const override { return 0; }
    bool rewrite(std::uint64_t, const void*, std::size_t) override { return false; }
    bool flush() override { return true; }
    std::string error() const override { return "stuck"; }
    void abandon() override {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }
    bool waited() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_;
    }
    int stopsWhenStuck_ = -1;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool waiting_ = false;
    bool abandoned_ = false;
};

TEST(StreamLoop, AStopEndsTheRunEvenWhenTheOutputTakesNothing) {
    FakeBoard::reset();
    FakeBoard::get().reads = {1000, 2000};
    StuckOutput out;
    SampleWriter w(Format::Raw, out, 2'000'000, 2);
    std::atomic<bool> stop{false};
    StreamSettings s;
    s.maxSamples = 3000;
    // Without a stop the run waits for the output as long as it takes (a
    // slow reader gets every sample), so the stop comes once it is stuck.
    std::thread stopper([&] {
        kv318::test::wait_until([&] { return out.waited(); });
        stop = true;
    });
    const StreamOutcome r = run_stream(fake_api(), 1, s, w, stop, nullptr);
    stopper.join();
    EXPECT_TRUE(r.abandoned);
    EXPECT_EQ(r.samples, 0u);
    EXPECT_EQ(r.unwritten, 3000u) << "every sample read and not written is counted";
    EXPECT_EQ(out.stopsWhenStuck_, 1) << "the board was stopped before the output was waited for";
    EXPECT_EQ(FakeBoard::get().stops, 1);
}

// Runs selftest on the fake board; returns what it printed.
std::string run_selftest_on_fake(bool loopback, int* code) {
    const BoardApi api = fake_api();
    std::FILE* out = kv318::test::scratch_file();
    std::FILE* err = kv318::test::scratch_file();
    const std::atomic<bool> stop{false};
    const Environment env{api, out, err, stop, [](int) { return std::string(); }};
    Invocation inv;
    inv.command = Command::Selftest;
    inv.loopback = loopback;
    *code = run_command(inv, env);
    std::string text(1 << 16, '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    std::fclose(err);
    return text;
}

TEST(Selftest, PutsBackWhatItChangedOrSaysPlainlyWhatItLeftChanged) {
    const struct {
        std::int32_t counter, reg8, outputs;
        bool loopback;
        int counterStarts;  // how often selftest restarted the counter
        std::int32_t reg8After, outputsAfter;
        std::vector<const char*> says;
    } cases[] = {
        // A counter that counts is watched, not restarted; a stopped pulse
        // generator is left stopped; loopback outputs are put back.
        {1234,
         0x00,
         0xA5C3,
         true,
         0,
         0x00,
         0xA5C3,
         {"restored      counter: left counting, not restarted", "restored      pulse generator: stopped, as before",
          "restored      outputs: 0xA5C3 again"}},
        // What cannot be put back is named.
        {-1,
         0xC0,
         0x0001,
         false,
         1,
         0x00,
         0x0001,
         {"LEFT CHANGED  counter: left counting from 0",
          "LEFT CHANGED  pulse generator: left stopped; it was running (mode 1), and its divisor cannot be read back"}},
    };
    for (const auto& c : cases) {
        FakeBoard::reset();
        FakeBoard& b = FakeBoard::get();
        b.counter = c.counter;
        b.reg8 = c.reg8;
        b.outputs = c.outputs;
        int code = -1;
        const std::string text = run_selftest_on_fake(c.loopback, &code);
        EXPECT_EQ(b.counterStarts, c.counterStarts) << text;
        EXPECT_EQ(b.reg8, c.reg8After) << text;
        EXPECT_EQ(b.outputs, c.outputsAfter) << text;
        for (const char* line : c.says) EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
        EXPECT_NE(text.find("PASS  counter advances"), std::string::npos) << text;
        EXPECT_NE(text.find("PASS  pulse generator starts and stops"), std::string::npos) << text;
        if (c.loopback) {
            EXPECT_NE(text.find("PASS  loopback walking zero"), std::string::npos) << text;
        }
    }
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
        std::FILE* out = kv318::test::scratch_file();
        std::FILE* err = kv318::test::scratch_file();
        ASSERT_TRUE(out != nullptr && err != nullptr);
        Environment env{api, out, err, stop, no_hint, false, false, nullptr, scripted_lock};
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
    std::FILE* out = kv318::test::scratch_file();
    std::FILE* err = kv318::test::scratch_file();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    Environment env{api, out, err, stop, no_hint, false, false, nullptr, scripted_lock};
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

// Raw register calls as the library answers them while another process
// holds the board: refused.  Counted, to see what selftest still asks.
int g_rawCalls = 0;
std::int32_t KV318_CALL refused_inb(std::int32_t, std::int32_t) {
    ++g_rawCalls;
    return -1;
}
std::int32_t KV318_CALL refused_outb(std::int32_t, std::int32_t, std::int32_t) {
    ++g_rawCalls;
    return -1;
}
int g_pulseCalls = 0;
std::int32_t KV318_CALL counted_p_run(std::int32_t, std::int32_t, std::int32_t) {
    ++g_pulseCalls;
    return 0;
}
std::int32_t KV318_CALL counted_p_stop(std::int32_t) {
    ++g_pulseCalls;
    return 0;
}
std::int32_t KV318_CALL failing_info(std::int32_t, char*) { return -1; }
std::int32_t KV318_CALL all_inputs_high(std::int32_t) { return 0xFFFF; }

TEST(BoardBusy, RawAccessTheLibraryRefusesNamesTheHolder) {
    struct Case {
        const char* what;
        Command command;
        bool held;  // another process holds the board's acquisition lock
        std::uint32_t pid;
        bool infoFails;  // DI: whether the identity answers
        int code;
        const char* says;  // on stderr, or on stdout for a success
    };
    const Case cases[] = {
        {"reg get, held", Command::RegGet, true, 4242, false, 10,
         "board 3 is streaming in another process (pid 4242): KV318_inb is refused until it stops "
         "(DI, DO, counter and pulse stay free)\n"},
        {"reg set, held, no pid", Command::RegSet, true, 0, false, 10,
         "board 3 is streaming in another process: KV318_outb is refused until it stops"},
        {"reg get, failed otherwise", Command::RegGet, false, 0, false, 1, "board 3: KV318_inb failed\n"},
        {"reg set, failed otherwise", Command::RegSet, false, 0, false, 1, "board 3: KV318_outb failed\n"},
        // All inputs high is a true reading while the status register is
        // refused: the identity tells a live board from a failed one.
        {"di, held", Command::Di, true, 4242, false, 0, "0xFFFF"},
        {"di, held, board gone", Command::Di, true, 4242, true, 1, "board 3: KV318_DI failed"},
        {"di, not held", Command::Di, false, 0, false, 1, "board 3: KV318_DI failed"},
    };
    const std::atomic<bool> stop{false};
    for (const Case& c : cases) {
        FakeBoard::reset();
        BoardApi api = fake_api();
        api.inb = refused_inb;
        api.outb = refused_outb;
        api.di = all_inputs_high;
        if (c.infoFails) api.info = failing_info;
        g_looks = 0;
        g_busyAfter = c.held ? 0 : 1 << 30;
        g_busyPid = c.pid;
        std::FILE* out = kv318::test::scratch_file();
        std::FILE* err = kv318::test::scratch_file();
        ASSERT_TRUE(out != nullptr && err != nullptr);
        Environment env{api, out, err, stop, no_hint, false, false, nullptr, nullptr, scripted_lock};
        Invocation inv;
        inv.command = c.command;
        inv.board = 3;
        inv.reg = 4;
        inv.value = 0x5A;
        EXPECT_EQ(run_command(inv, env), c.code) << c.what;
        const std::string said = read_all(c.code == 0 ? out : err);
        EXPECT_NE(said.find(c.says), std::string::npos) << c.what << ": " << said;
        std::fclose(out);
        std::fclose(err);
    }
}

TEST(BoardBusy, SelftestLeavesThePulseGeneratorOfABoardAnotherProcessHolds) {
    FakeBoard::reset();
    g_looks = 0;
    g_busyAfter = 0;
    g_busyPid = 4242;
    g_rawCalls = 0;
    g_pulseCalls = 0;
    BoardApi api = fake_api();
    api.inb = refused_inb;
    api.pRun = counted_p_run;
    api.pStop = counted_p_stop;
    const std::atomic<bool> stop{false};
    std::FILE* out = kv318::test::scratch_file();
    std::FILE* err = kv318::test::scratch_file();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    Environment env{api, out, err, stop, no_hint, false, false, nullptr, scripted_lock, scripted_lock};
    Invocation inv;
    inv.command = Command::Selftest;
    inv.board = 3;
    run_command(inv, env);
    const std::string text = read_all(out);
    EXPECT_NE(text.find("SKIP  pulse generator starts and stops: board 3 is streaming in another process (pid 4242)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(", 2 skipped\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("pulse generator: left"), std::string::npos) << "nothing was changed: " << text;
    EXPECT_EQ(g_pulseCalls, 0);
    EXPECT_EQ(g_rawCalls, 0) << "no register request the library would refuse";
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
}  // namespace kv318::cli::test
