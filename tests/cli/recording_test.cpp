// What a recording says about itself and how its files are named: the
// format from the file name, the CSV comment lines, the WAV INFO chunk and
// the numbered parts of a long WAV run, byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_board.h"
#include "memory_output.h"
#include "recording.h"
#include "sample_writer.h"
#include "wav_chunks.h"
#include "pipeline_names.h"

namespace kv318::cli::test {
namespace {

TEST(Format, ComesFromTheExtensionAndAContradictingFormatIsRefused) {
    const Format csv = Format::Csv, raw = Format::Raw, wav = Format::Wav, hdf5 = Format::Hdf5;
    const struct {
        const char* output;
        const Format* given;
        Format chosen;
        const char* says;
    } cases[] = {
        {"run.wav", nullptr, wav, ""},
        {"dir.x/RUN.WAV", nullptr, wav, ""},
        {"run.raw", nullptr, raw, ""},
        {"run.csv", nullptr, csv, ""},
        {"run.wav", &wav, wav, ""},
        {"run.dat", &raw, raw, ""},  // an extension of no format: -f decides
        {"run.dat", nullptr, csv, ""},
        {"", &wav, wav, ""},  // standard output
        {"", nullptr, csv, ""},
        {"dir.wav/run", nullptr, csv, ""},  // only the file name's extension counts
        {".wav", nullptr, csv, ""},         // a hidden file, not an extension
        {"run.wav", &raw, csv, "-f raw contradicts the output's extension: run.wav would be a wav file"},
        {"run.csv", &wav, csv, "-f wav contradicts"},
        {"run.h5", nullptr, hdf5, ""},
        {"RUN.HDF5", nullptr, hdf5, ""},
        {"run.H5", &hdf5, hdf5, ""},
        {"", &hdf5, hdf5, ""},  // chosen here; the stream command refuses standard output
        {"run.h5", &csv, csv, "-f csv contradicts the output's extension: run.h5 would be a hdf5 file"},
        {"run.wav", &hdf5, csv, "-f hdf5 contradicts"},
    };
    for (const auto& c : cases) {
        Format chosen = Format::Raw;
        const std::string bad = choose_format(c.output, c.given, &chosen);
        if (c.says[0] == '\0') {
            EXPECT_EQ(bad, "") << c.output;
            EXPECT_EQ(chosen, c.chosen) << c.output;
        } else {
            EXPECT_NE(bad.find(c.says), std::string::npos) << c.output << ": " << bad;
        }
    }
    Format f = Format::Csv;
    EXPECT_EQ(parse_format("WAV", &f), "");
    EXPECT_EQ(f, Format::Wav);
    EXPECT_EQ(parse_format("h5", &f), "");
    EXPECT_EQ(f, Format::Hdf5);
    for (const char* bad : {"nonsense", "2", "0", "", "wave", "hdf", "h5x"}) {
        EXPECT_NE(parse_format(bad, &f).find("csv (text), raw (int16 little-endian), wav or hdf5 (h5)"),
                  std::string::npos)
            << bad;
    }
}

TEST(Format, WavPartsAreNumberedBeforeTheExtension) {
    const struct {
        const char* path;
        unsigned part;
        const char* name;
    } cases[] = {
        {"run.wav", 0, "run.wav"}, {"run.wav", 1, "run-001.wav"}, {"d/run.wav", 12, "d/run-012.wav"},
        {"run", 2, "run-002"},     {"d.x/run", 1, "d.x/run-001"}, {"a.b.wav", 1000, "a.b-1000.wav"},
    };
    for (const auto& c : cases) EXPECT_EQ(part_path(c.path, c.part), c.name);
}

Recording sample_recording() {
    Recording r;
    r.tool = "kv318-cli 9.8.7";
    r.board = 3;
    r.identity1 = "KV318 \"DAQ\"";
    r.identity2 = std::string("SN 1\nFW\x01", 8);
    r.clockHz = 2'000'000;
    r.divider = 3;
    r.flags[1] = 1;
    r.startUtc = utc_iso8601(951'827'696);
    return r;
}

TEST(Recording, CsvStartsWithCommentLinesThatDescribeTheRun) {
    EXPECT_EQ(utc_iso8601(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utc_iso8601(951'827'696), "2000-02-29T12:34:56Z");
    EXPECT_EQ(utc_iso8601(4'102'444'799), "2099-12-31T23:59:59Z");
    const std::string text = csv_preamble(sample_recording());
    EXPECT_EQ(text.rfind("# kv318-cli 9.8.7\n", 0), 0u) << text;
    for (const char* line :
         {"# board: 3\n", "# identity: KV318 \"DAQ\" | SN 1?FW?\n",
          "# acquisition: timer-driven (KV318_AD), mode flags 0 1 0 0\n",
          "# converter clock: 2000000 Hz, as given by --clock", "# divider: 3\n",
          "# sample rate: 666666.6667 samples/s\n", "volts = code x 5 / 8192\n", "# start: 2000-02-29T12:34:56Z\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        EXPECT_EQ(text[at], '#') << "every line a comment";

    EXPECT_EQ(text.find("server"), std::string::npos) << "a run through the library names no server";
    Recording remote = sample_recording();
    remote.server = "tcp://lab:6318";
    remote.serverStream = 12;
    EXPECT_NE(csv_preamble(remote).find("# server: kv318-server at tcp://lab:6318, stream 12\n"), std::string::npos);
    remote.followed = true;
    EXPECT_NE(csv_preamble(remote).find("stream 12 (followed: "), std::string::npos);
    remote.serverFirstKnown = true;
    remote.serverFirstIndex = 4410;
    EXPECT_NE(csv_preamble(remote).find("stream 12, from its sample 4410 (followed: "), std::string::npos)
        << "a followed run names the stream's index of its first sample";

    MemoryOutput file;
    SampleWriter w(Format::Csv, file, 2'000'000, 3);
    w.describe(sample_recording());
    ASSERT_TRUE(w.begin());
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(std::string(file.bytes.begin(), file.bytes.end()), text + "index,time_s,code,volts\n");
}

using kv318::test::walk_wav;
using kv318::test::WavChunks;

TEST(Recording, WavCarriesTheDescriptionInAListInfoChunk) {
    MemoryOutput first;
    SampleWriter w(Format::Wav, first, 2'000'000, 3);
    w.describe(sample_recording());
    ASSERT_TRUE(w.begin());
    std::vector<std::int32_t> ramp(5);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = FakeBoard::ramp(i);
    EXPECT_EQ(w.write(ramp.data(), ramp.size()), ramp.size());
    ASSERT_TRUE(w.finish());
    const WavChunks a = walk_wav(first.bytes);
    ASSERT_TRUE(a.valid);
    ASSERT_EQ(a.chunks.size(), 3u);
    EXPECT_EQ(a.chunks[0].first, "fmt ");
    EXPECT_EQ(a.chunks[1].first, "LIST");
    EXPECT_EQ(a.chunks[2].first, "data");
    EXPECT_EQ(a.samples, ramp);
    EXPECT_NE(a.info.find("ISFT=kv318-cli 9.8.7;"), std::string::npos) << a.info;
    EXPECT_NE(a.info.find("ICRD=2000-02-29T12:34:56Z;"), std::string::npos) << a.info;
    EXPECT_NE(a.info.find("converter clock: 2000000 Hz"), std::string::npos) << a.info;
    EXPECT_NE(a.info.find("divider: 3; sample rate: 666666.6667 samples/s"), std::string::npos) << a.info;
    EXPECT_EQ(a.info.find("part "), std::string::npos) << a.info;
}

TEST(Recording, EachWavPartIsACompleteFileThatSaysWhereItStarts) {
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
    std::vector<std::vector<std::uint8_t>> files(4);
    std::vector<std::int32_t> ramp(12);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = FakeBoard::ramp(i);
    {
        MemoryOutput first;
        SampleWriter w(Format::Wav, first, 2'000'000, 3, /*maxWavData=*/10);
        w.describe(sample_recording());
        w.continue_in([&](unsigned part, std::string*) { return std::make_unique<Kept>(&files[part]); });
        ASSERT_TRUE(w.begin());
        ASSERT_EQ(w.write(ramp.data(), ramp.size()), ramp.size());
        ASSERT_TRUE(w.finish());
        files[0] = first.bytes;
    }
    const std::size_t per[3] = {5, 5, 2};
    std::size_t from = 0;
    for (unsigned part = 0; part < 3; ++part) {
        const WavChunks c = walk_wav(files[part]);
        ASSERT_TRUE(c.valid) << "part " << part;
        EXPECT_EQ(c.samples, std::vector<std::int32_t>(ramp.begin() + static_cast<long>(from),
                                                       ramp.begin() + static_cast<long>(from + per[part])))
            << "part " << part;
        if (part > 0) {
            const std::string says =
                "part " + std::to_string(part + 1) + " of the run, from sample " + std::to_string(from);
            EXPECT_NE(c.info.find(says), std::string::npos) << c.info;
        }
        from += per[part];
    }
    EXPECT_TRUE(files[3].empty()) << "no fourth part";
}

}  // namespace
}  // namespace kv318::cli::test
