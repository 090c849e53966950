// The panel's handlers against a fake view and a fake library.
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes.h"
#include "format.h"
#include "panel.h"

namespace kv318::panel {
namespace {

using testing::FakeClock;
using testing::FakeLibrary;
using testing::FakeView;
using testing::library_calls;
using testing::Log;

class PanelTest : public ::testing::Test {
protected:
    // Start-up with handle 0x7C, then a clean log.
    void start(std::int32_t handle = 0x7C) {
        lib.openResult = handle;
        panel.Form1_Load();
        log.clear();
    }
    bool on(Control c) { return view.enabled.at(c); }
    bool ticking(Control t) { return view.timers.at(t); }
    // A batch of `n` samples whose first ones are `first`, the rest 1000.
    static FakeLibrary::ReadReply batch(std::int32_t n, std::vector<std::int32_t> first) {
        first.resize(static_cast<std::size_t>(n), 1000);
        return {n, first};
    }

    Log log;
    FakeView view{log};
    FakeClock clock;
    FakeLibrary lib{log, clock};
    Panel panel{view, lib, clock};
};

TEST_F(PanelTest, LoadOpensBoardZeroAndShowsTheHandleOrTheError) {
    struct Case {
        std::int32_t handle;
        const char* titleEnd;
        int beeps;
    };
    for (const Case c :
         {Case{0x7C, "    HANDLE=7CH", 0}, Case{0, "    HANDLE=0H", 0}, Case{-1, "Error Load KV318", 1}}) {
        Log l;
        FakeView v{l};
        FakeLibrary f{l, clock};
        f.openResult = c.handle;
        Panel p{v, f, clock};
        EXPECT_EQ(p.module().hDevice, 0);
        p.Form1_Load();
        EXPECT_EQ(p.module().hDevice, c.handle);
        EXPECT_TRUE(v.title.ends_with(c.titleEnd)) << v.title;
        EXPECT_EQ(v.beeps, c.beeps);
        EXPECT_EQ(library_calls(l), Log{"lib OpenDevice(0)"});
        EXPECT_FALSE(v.timers.at(Control::Timer1) || v.timers.at(Control::Timer2));
    }
}

TEST_F(PanelTest, SampleBufferHasItsSizeAndStartsZero) {
    const auto& buf = panel.module().sampleBuf;
    ASSERT_EQ(buf.size(), 600001u);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](std::int32_t v) { return v == 0; }));
}

TEST_F(PanelTest, OutputButtonRewritesTextAndWritesTheWord) {
    struct Case {
        const char* text;
        const char* shown;    // Text1 afterwards
        const char* message;  // nullptr: none
        int word;             // -1: nothing written
    };
    const Case cases[] = {
        {" ", " ", kMsgEnterData, -1},          {" 1A", "1A", nullptr, 26},
        {"00ff", "FF", nullptr, 255},           {"0", "0", nullptr, 0},
        {"10000", "FFFF", nullptr, 65535},      {"FFFFFFF", "FFFF", nullptr, 65535},
        {"8000", "8000", nullptr, 32768},       {"", "", kMsgEnterCorrectly, -1},
        {"1 2", "1 2", kMsgEnterCorrectly, -1}, {"12,x", "12,x", kMsgEnterCorrectly, -1},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        log.clear();
        view.messages.clear();
        view.texts[Control::Text1] = c.text;
        panel.Command1_Click();
        EXPECT_EQ(view.texts[Control::Text1], c.shown);
        EXPECT_EQ(view.messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        EXPECT_EQ(library_calls(log), c.word < 0 ? Log{} : Log{"lib DO(124," + std::to_string(c.word) + ")"});
    }
    // The panel goes on after refusing text.
    view.texts[Control::Text1] = "a5";
    panel.Command1_Click();
    EXPECT_EQ(library_calls(log).back(), "lib DO(124,165)");
}

TEST_F(PanelTest, KeyFilterDropsOtherCharactersWithItsMessage) {
    start();
    for (std::uint32_t ch : {U'0', U'9', U'a', U'F', U'\b'}) {
        EXPECT_TRUE(panel.Text1_KeyPress(ch)) << ch;
    }
    EXPECT_TRUE(view.messages.empty());
    for (std::uint32_t ch : {U'g', U' ', U'\r', U'\x1b', U'\x16', U'x'}) {
        view.messages.clear();
        EXPECT_FALSE(panel.Text1_KeyPress(ch)) << ch;
        EXPECT_EQ(view.messages, std::vector<std::string>{kMsgEnterCorrectly});
    }
    EXPECT_TRUE(library_calls(log).empty());
}

TEST_F(PanelTest, InputButtonShowsTheWordWithOxPrefix) {
    start();
    for (auto [value, shown] : {std::pair{165, "oxA5"}, std::pair{0, "ox0"}, std::pair{65535, "oxFFFF"}}) {
        lib.diResult = value;
        panel.Command2_Click();
        EXPECT_EQ(view.texts[Control::Text2], shown);
    }
    EXPECT_EQ(library_calls(log), (Log{"lib DI(124)", "lib DI(124)", "lib DI(124)"}));
}

TEST_F(PanelTest, CounterPollsUntilMinusOneThenReportsOver) {
    start();
    panel.Command3_Click();
    EXPECT_EQ(log, (Log{"lib CRun(124)", "timer Timer2=1"}));
    EXPECT_TRUE(on(Control::Command3));

    lib.creadScript = {0, 1234, -1};
    panel.Timer2_Timer();
    panel.Timer2_Timer();
    EXPECT_EQ(view.texts[Control::Text3], "1234");
    EXPECT_TRUE(ticking(Control::Timer2));

    // Inside the box the polling has stopped and Text3 still shows 1234.
    log.clear();
    bool checked = false;
    view.whileBoxOpen = [&] {
        EXPECT_FALSE(ticking(Control::Timer2));
        EXPECT_EQ(view.texts[Control::Text3], "1234");
        checked = true;
    };
    panel.Timer2_Timer();
    EXPECT_TRUE(checked);
    EXPECT_EQ(log, (Log{"lib CRead(124)", "timer Timer2=0", "box over!", "text Text3=-1"}));

    // A new click starts counter and polling again.
    log.clear();
    panel.Command3_Click();
    EXPECT_EQ(log, (Log{"lib CRun(124)", "timer Timer2=1"}));
}

TEST_F(PanelTest, PulseButtonsSwapTheirEnabledStates) {
    start();
    EXPECT_TRUE(on(Control::Command4) && on(Control::Command5));
    // Stop first, from start-up: the generator is stopped all the same.
    panel.Command5_Click();
    EXPECT_TRUE(on(Control::Command4));
    EXPECT_FALSE(on(Control::Command5));
    panel.Command4_Click();
    EXPECT_FALSE(on(Control::Command4));
    EXPECT_TRUE(on(Control::Command5));
    panel.Command5_Click();
    EXPECT_TRUE(on(Control::Command4));
    EXPECT_FALSE(on(Control::Command5));
    EXPECT_EQ(library_calls(log), (Log{"lib PStop(124)", "lib PRun(124,0,2)", "lib PStop(124)"}));
}

TEST_F(PanelTest, AnalogButtonsMoveThroughStartRunningPaused) {
    start();
    // Pause at start-up only changes the buttons.
    panel.Command7_Click();
    EXPECT_FALSE(ticking(Control::Timer1));
    EXPECT_TRUE(on(Control::Command6));
    EXPECT_FALSE(on(Control::Command7));
    panel.Command6_Click();
    EXPECT_TRUE(ticking(Control::Timer1));
    EXPECT_FALSE(on(Control::Command6));
    EXPECT_TRUE(on(Control::Command7));
    panel.Command7_Click();
    EXPECT_FALSE(ticking(Control::Timer1));
    EXPECT_TRUE(on(Control::Command6));
    EXPECT_FALSE(on(Control::Command7));
    EXPECT_TRUE(library_calls(log).empty());
}

TEST_F(PanelTest, TickListsTheFirstEightSamplesOfABatch) {
    start();
    panel.Command6_Click();
    lib.readScript = {{0, {}}, {0, {}}, batch(60, {4937, 6, 10, 2, -2, 2048, 32767, -32768, 555})};
    log.clear();
    panel.Timer1_Timer();

    EXPECT_EQ(library_calls(log), (Log{"lib AD(124,0,0,0,0,50)", "lib Read(124)", "lib StopAD(124)"}));
    EXPECT_EQ(lib.reads, 3);
    const std::vector<std::string> expected{
        kListTitle,         sample_line(0, 4937), sample_line(1, 6),     sample_line(2, 10),     sample_line(3, 2),
        sample_line(4, -2), sample_line(5, 2048), sample_line(6, 32767), sample_line(7, -32768),
    };
    EXPECT_EQ(view.list, expected);
    EXPECT_EQ(view.list[1], testing::listed("0", "1234", "0.753V"));
    // The buffer keeps the raw batch.
    EXPECT_EQ(panel.module().sampleBuf[0], 4937);
    EXPECT_EQ(panel.module().sampleBuf[8], 555);
    EXPECT_TRUE(ticking(Control::Timer1));
}

TEST_F(PanelTest, FailedReadStopsTicksSaysOverAndListsTheLastGoodBatchUnchanged) {
    start();
    panel.Command6_Click();
    lib.readScript = {batch(50, {4937, 28})};
    panel.Timer1_Timer();
    const auto good = view.list;

    lib.readScript = {{-2, {}}};
    log.clear();
    bool checked = false;
    view.whileBoxOpen = [&] {
        EXPECT_FALSE(ticking(Control::Timer1));
        checked = true;
    };
    panel.Timer1_Timer();
    EXPECT_TRUE(checked);
    EXPECT_EQ(log[0], "lib AD(124,0,0,0,0,50)");
    EXPECT_EQ(log[1], "lib Read(124)");
    const Log failPath(log.begin() + 2, log.begin() + 7);
    EXPECT_EQ(failPath,
              (Log{"timer Timer1=0", "lib StopAD(124)", "box over!", "enable Command7=1", "enable Command6=0"}));
    EXPECT_EQ(log.back(), "lib StopAD(124)");
    EXPECT_EQ(std::count(log.begin(), log.end(), "lib StopAD(124)"), 2);
    // The list shows the same true values, not codes divided once more.
    EXPECT_EQ(view.list, good);
    EXPECT_EQ(view.list[2], testing::listed("1", "07", "0.004V"));

    // Over: only the pause button leads on.
    EXPECT_FALSE(on(Control::Command6));
    EXPECT_TRUE(on(Control::Command7));
    panel.Command7_Click();
    EXPECT_TRUE(on(Control::Command6));
    EXPECT_FALSE(on(Control::Command7));
}

TEST_F(PanelTest, SilentConverterEndsTheWaitAfterOneSecond) {
    start(-1);
    panel.Command6_Click();
    lib.msPerRead = 3;
    log.clear();
    panel.Timer1_Timer();
    // About 1000 ms of reads, then the over path.
    EXPECT_GE(lib.reads, 333);
    EXPECT_LE(lib.reads, 335);
    EXPECT_EQ(view.messages, std::vector<std::string>{kMsgOver});
    EXPECT_FALSE(ticking(Control::Timer1));
    EXPECT_EQ(view.list.size(), 9u);
    EXPECT_EQ(view.list[1], sample_line(0, 0));
    EXPECT_EQ(std::count(log.begin(), log.end(), "lib StopAD(-1)"), 2);

    // A batch that comes just inside the second is listed normally.
    panel.Command7_Click();
    panel.Command6_Click();
    lib.msPerRead = 1;
    view.messages.clear();
    lib.readScript.assign(998, {0, {}});
    lib.readScript.push_back(batch(50, {400}));
    panel.Timer1_Timer();
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(ticking(Control::Timer1));
    EXPECT_EQ(view.list[1], sample_line(0, 400));
}

TEST_F(PanelTest, ExitMakesNoLibraryCallEvenWhileEverythingRuns) {
    start();
    panel.Command6_Click();
    panel.Command3_Click();
    panel.Command4_Click();
    log.clear();
    panel.Command8_Click();
    EXPECT_EQ(log, Log{"exit 0"});
    // Ticks that were already due do nothing once the panel has ended.
    panel.Timer1_Timer();
    panel.Timer2_Timer();
    EXPECT_EQ(log, Log{"exit 0"});
}

TEST_F(PanelTest, MissingFunctionIsNamedThenThePanelEnds) {
    start();
    panel.Command6_Click();
    lib.missing = "DI";
    log.clear();
    // A tick due while the fatal box is open must not reach the library.
    view.whileBoxOpen = [&] { panel.Timer1_Timer(); };
    panel.Command2_Click();
    EXPECT_EQ(log, (Log{"box Cannot find the function KV318_DI in libKV318.so", "exit 1"}));
    EXPECT_TRUE(panel.ended());
    panel.Command4_Click();
    EXPECT_EQ(log.size(), 2u);
}

}  // namespace
}  // namespace kv318::panel
