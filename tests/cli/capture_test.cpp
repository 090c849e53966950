// `capture` against a scripted board: how each ending leaves the board and
// the output.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "fake_board.h"
#include "exit_codes.h"
#include "option_limits.h"
#include "pipeline_names.h"
#include "scratch_file.h"

namespace kv318::cli::test {
namespace {

std::string no_hint(int) { return {}; }

// The scripted board hands out the simulator's ramp: code n at sample n, so
// a rising trigger at 0.5 V (code 820) comes at sample 820.
TEST(Capture, EachEndingStopsTheBoardAndWritesAllOrNothing) {
    struct Case {
        const char* name;
        std::int32_t startResult;
        std::deque<std::int32_t> reads;
        double timeout;
        int exitCode;
        int stops;
        bool file;
    };
    const std::vector<Case> cases = {
        {"trigger", 0, {500, 700, 2000}, 30, kExitOk, 1, true},
        {"overflow first", 0, {500, -2}, 30, kExitOverflow, 1, false},
        {"bulk failure first", 0, {-3}, 30, kExitBulkFailed, 1, false},
        {"not enabled first", 0, {500, -1}, 30, kExitNotEnabled, 1, false},
        // The ramp stays below 0.5 V for its first 820 samples: no trigger.
        {"timeout", 0, {300, 300}, 0.2, kExitNoTrigger, 1, false},
        {"start refused", -1, {}, 30, kExitFailed, 0, false},
    };
    const BoardApi api = fake_api();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBoard::reset();
        FakeBoard::get().startResult = c.startResult;
        FakeBoard::get().reads = c.reads;
        const std::string path = ::testing::TempDir() + "capture_test.csv";
        std::remove(path.c_str());
        Invocation inv;
        inv.command = Command::Capture;
        inv.stream.divider = 20;
        inv.capture.levelVolts = 0.5;
        inv.capture.pretriggerPercent = 25;
        inv.capture.samples = 1000;
        inv.capture.timeoutSeconds = c.timeout;
        inv.output = path;
        std::atomic<bool> stop{false};
        std::FILE* err = kv318::test::scratch_file();
        const Environment env{api, stdout, err, stop, no_hint};
        EXPECT_EQ(run_command(inv, env), c.exitCode);
        std::fclose(err);
        EXPECT_EQ(FakeBoard::get().stops, c.stops);
        std::ifstream in(path);
        EXPECT_EQ(in.good(), c.file);
        if (!c.file) continue;
        // 250 samples before the trigger at 820: the file starts at 570.
        // The description's comment lines, the column names, the rows, and
        // last the FIFO's verdict as a comment line.
        std::string line, lastComment;
        while (std::getline(in, line) && line.rfind("# ", 0) == 0) {
        }
        EXPECT_EQ(line, "index,time_s,code,volts");
        std::size_t rows = 0;
        while (std::getline(in, line)) {
            if (line.rfind("# ", 0) == 0) {
                lastComment = line;
                continue;
            }
            const long code = std::stol(line.substr(line.find(',', line.find(',') + 1) + 1));
            ASSERT_EQ(code, static_cast<long>(570 + rows)) << line;
            ++rows;
        }
        EXPECT_EQ(rows, 1000u);
        EXPECT_EQ(lastComment.rfind("# fifo: ", 0), 0u) << lastComment;
        in.close();
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace kv318::cli::test
