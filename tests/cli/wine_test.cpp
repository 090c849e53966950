// kv318-cli.exe against kv318-sim.exe, both as child processes, as a
// technician would run them on Windows: the identity, the outputs read back
// on the inputs, a short stream to a WAV file, and the refusals (an HDF5
// output among them: the Windows builds have no HDF5 library).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "read_file.h"
#include "sim_process.h"

namespace kv318::sim::test {
namespace {

using kv318::test::read_file_bytes;

struct CliRun {
    int code;
    std::string output;
};

CliRun cli(const std::vector<std::string>& args) {
    SimProcess p(KV318_CLI_EXE, args);
    EXPECT_TRUE(p.started());
    const auto code = p.wait_exit(std::chrono::minutes(2));
    EXPECT_TRUE(code.has_value()) << "kv318-cli did not end";
    return {code.value_or(255), p.output()};
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

TEST(CliUnderWine, InfoOutputsInputsAndAShortStreamAgainstTheSimulator) {
    SimProcess sim(KV318_SIM_EXE, {"--stop-on-eof", "--signal", "ramp"});
    ASSERT_TRUE(sim.wait_serving()) << sim.output();

    CliRun r = cli({"info"});
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("string 1: KV318 USB DAQ simulator"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("string 2: SN KVS-0000 FW 1.00"), std::string::npos) << r.output;

    r = cli({"do", "0x5AA5"});
    EXPECT_EQ(r.code, 0) << r.output;
    r = cli({"di", "--json"});
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("\"di\":23205,\"hex\":\"0x5AA5\""), std::string::npos) << r.output;

    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + "kv318-cli-wine-" + std::to_string(GetCurrentProcessId()) + ".wav";
    r = cli({"stream", "-d", "50", "-n", "20000", "-f", "wav", "-o", "\"" + path + "\""});
    EXPECT_EQ(r.code, 0) << r.output;
    const std::vector<std::uint8_t> wav = read_file_bytes(path);
    DeleteFileA(path.c_str());
    ASSERT_GT(wav.size(), 44u + 2 * 20000);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(u32_at(wav, 4), wav.size() - 8) << "the RIFF size is the file's";
    EXPECT_EQ(u32_at(wav, 24), 40000u) << "2 MHz / 50";
    // The data chunk comes after the description's LIST chunk: walk to it.
    std::size_t at = 12;
    while (at + 8 <= wav.size() &&
           std::string(wav.begin() + static_cast<long>(at), wav.begin() + static_cast<long>(at) + 4) != "data") {
        at += 8 + u32_at(wav, at + 4);
    }
    ASSERT_EQ(at + 8 + 2 * 20000, wav.size()) << "the data chunk ends the file";
    EXPECT_EQ(u32_at(wav, at + 4), 2u * 20000);
    const std::size_t data = at + 8;
    for (std::size_t i = 0; i < 20000; ++i) {
        const auto word = static_cast<std::int16_t>(wav[data + 2 * i] | (wav[data + 1 + 2 * i] << 8));
        ASSERT_EQ(word, static_cast<std::int16_t>((i & 0x3FFF) << 2)) << "sample " << i;
    }

    r = cli({"info", "-b", "5"});
    EXPECT_EQ(r.code, 3) << r.output;
    EXPECT_NE(r.output.find("board 5: not found (no driver publishes \\\\.\\KV318Device5"), std::string::npos)
        << r.output;
    r = cli({"do", "0x10000"});
    EXPECT_EQ(r.code, 2) << r.output;
    EXPECT_NE(r.output.find("output word 65536 is out of range"), std::string::npos) << r.output;

    // This build has no HDF5 library: an HDF5 output is a usage error, said
    // before the board is opened and before any file is made.
    const std::string h5 = std::string(dir) + "kv318-cli-wine-" + std::to_string(GetCurrentProcessId()) + ".h5";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"stream", "-n", "10", "-o", "\"" + h5 + "\""},
          std::vector<std::string>{"poll", "-n", "10", "-f", "hdf5", "-o", "\"" + h5 + "\"", "-b", "7"}}) {
        r = cli(args);
        EXPECT_EQ(r.code, 2) << r.output;
        EXPECT_NE(r.output.find("HDF5 recordings are not available in this build; record raw, CSV or WAV, or write "
                                "HDF5 with the kv318 Python package (kv318.record)"),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(GetFileAttributesA(h5.c_str()), INVALID_FILE_ATTRIBUTES) << "no file was made";
    }

    sim.close_input();
    EXPECT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.output();
}

}  // namespace
}  // namespace kv318::sim::test
