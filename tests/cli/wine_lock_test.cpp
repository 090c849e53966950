// One acquisition per board across processes, under Wine: kv318-cli.exe
// processes against kv318-sim.exe.  While a first one streams or polls
// board 0, a second one is refused with exit 10 and the first's file keeps
// an unbroken ramp; once the first is killed (TerminateProcess, as a crash
// ends it), the board is free at once.
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

std::uint64_t file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The whole samples of a raw file, checked against the simulator's ramp
// (code n modulo 16384 in bits 2-15 of sample n).  The count of them.
std::size_t check_ramp(const std::string& path, const std::string& what) {
    const std::vector<std::uint8_t> bytes = kv318::test::read_file_bytes(path);
    const std::size_t samples = bytes.size() / 2;
    for (std::size_t i = 0; i < samples; ++i) {
        const auto word = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (word != static_cast<std::int16_t>((i & 0x3FFF) << 2)) {
            ADD_FAILURE() << what << ": sample " << i << " is " << word;
            break;
        }
    }
    return samples;
}

std::string temp_path(const std::string& name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "kv318-lock-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

TEST(BoardLockUnderWine, ASecondProcessIsRefusedAndAKilledHolderFreesTheBoard) {
    SimProcess sim(KV318_SIM_EXE, {"--stop-on-eof", "--signal", "ramp"});
    ASSERT_TRUE(sim.wait_serving()) << sim.output();

    for (const char* first : {"stream", "poll"}) {
        for (const char* second : {"stream", "poll"}) {
            const std::string what = std::string(first) + " then " + second;
            const std::string held = temp_path(std::string(first) + "-" + second + "-first.raw");
            const std::string after = temp_path(std::string(first) + "-" + second + "-after.raw");

            SimProcess holder(KV318_CLI_EXE,
                              {first, "-n", "1000000000", "-f", "raw", "-o", "\"" + held + "\"", "--no-progress"});
            ASSERT_TRUE(holder.started());
            ASSERT_TRUE(wait_until([&] { return file_size(held) >= 40000 || holder.exited(); }))
                << what << ": the first run writes nothing";
            ASSERT_FALSE(holder.exited()) << what << ": " << holder.output();

            SimProcess refused(KV318_CLI_EXE, {second, "-n", "2000", "-f", "raw", "-o", "\"" + after + "\""});
            EXPECT_EQ(refused.wait_exit(std::chrono::minutes(2)), std::optional<int>(10))
                << what << ": " << refused.output();
            EXPECT_NE(refused.output().find("board 0 is streaming in another process (pid "), std::string::npos)
                << what << ": " << refused.output();
            EXPECT_EQ(file_size(after), 0u) << what << ": a refused run writes no file";

            // The first goes on unharmed after the refusal ...
            const std::uint64_t grown = file_size(held) + 40000;
            EXPECT_TRUE(wait_until([&] { return file_size(held) >= grown || holder.exited(); }))
                << what << ": the first run stopped";
            EXPECT_FALSE(holder.exited()) << what << ": " << holder.output();
            // ... until it dies without a word, which frees the board at once.
            holder.kill();
            ASSERT_TRUE(holder.wait_exit().has_value());
            EXPECT_GE(check_ramp(held, what + ", first"), 40000u) << what << ": 80000 bytes were written";

            SimProcess next(KV318_CLI_EXE, {second, "-n", "5000", "-f", "raw", "-o", "\"" + after + "\""});
            EXPECT_EQ(next.wait_exit(std::chrono::minutes(2)), std::optional<int>(0)) << what << ": " << next.output();
            EXPECT_EQ(check_ramp(after, what + ", after the kill"), 5000u);
            DeleteFileA(held.c_str());
            DeleteFileA(after.c_str());
        }
    }
    sim.close_input();
    EXPECT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.output();
}

}  // namespace
}  // namespace kv318::sim::test
