// The lazy binding: the library file is loaded at the first call, each
// function is looked up at its own first call, and a missing file or
// function is reported by name.
#include <gtest/gtest.h>

#include <map>

#include "KV318.h"
#include "fakes.h"
#include "lazy_binding.h"
#include "panel.h"

namespace kv318::panel {
namespace {

// What the fake exports saw.
std::vector<std::string> g_calls;

std::string args(std::initializer_list<std::int32_t> a) {
    std::string s;
    for (auto v : a) {
        if (!s.empty()) s += ',';
        s += std::to_string(v);
    }
    return s;
}

std::int32_t KV318_CALL fakeOpen(std::int32_t b) {
    g_calls.push_back("Open " + args({b}));
    return 0x7C;
}
std::int32_t KV318_CALL fakeOne(std::int32_t h) {
    g_calls.push_back("One " + args({h}));
    return 77;
}
std::int32_t KV318_CALL fakeDO(std::int32_t h, std::int32_t v) {
    g_calls.push_back("DO " + args({h, v}));
    return 0;
}
std::int32_t KV318_CALL fakePRun(std::int32_t h, std::int32_t m, std::int32_t d) {
    g_calls.push_back("PRun " + args({h, m, d}));
    return 0;
}
std::int32_t KV318_CALL fakeAD(std::int32_t h, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                               std::int32_t e) {
    g_calls.push_back("AD " + args({h, a, b, c, d, e}));
    return 0;
}
std::int32_t KV318_CALL fakeRead(std::int32_t h, std::int32_t* s) {
    g_calls.push_back("Read " + args({h}));
    for (int i = 0; i < 50; ++i) s[i] = 4 * i;
    return 50;
}

template <class F>
Proc proc(F f) {
    return reinterpret_cast<Proc>(f);
}

class FakeLoader final : public Loader {
public:
    bool load(const std::string& file, std::string& reason) override {
        loads.push_back(file);
        if (!present) reason = "no such file";
        return present;
    }
    Proc find(const char* name) override {
        finds.push_back(name);
        const auto it = exports.find(name);
        return it == exports.end() ? nullptr : it->second;
    }

    bool present = true;
    std::map<std::string, Proc> exports{
        {"KV318_OpenDevice", proc(fakeOpen)}, {"KV318_CloseDevice", proc(fakeOne)}, {"KV318_AD", proc(fakeAD)},
        {"KV318_Read", proc(fakeRead)},       {"KV318_StopAD", proc(fakeOne)},      {"KV318_DO", proc(fakeDO)},
        {"KV318_DI", proc(fakeOne)},          {"KV318_CRun", proc(fakeOne)},        {"KV318_CRead", proc(fakeOne)},
        {"KV318_PRun", proc(fakePRun)},       {"KV318_PStop", proc(fakeOne)},
    };
    std::vector<std::string> loads;
    std::vector<std::string> finds;
};

TEST(PanelBinding, LoadsAtFirstCallAndResolvesEachFunctionOnce) {
    g_calls.clear();
    FakeLoader loader;
    LazyBinding lib(loader, "libKV318.so");
    EXPECT_TRUE(loader.loads.empty());

    EXPECT_EQ(lib.OpenDevice(0), 0x7C);
    EXPECT_EQ(lib.DI(5), 77);
    EXPECT_EQ(lib.DI(6), 77);
    lib.DO(5, 0xFFFF);
    lib.PRun(5, 0, 2);
    lib.AD(5, 0, 0, 0, 0, 50);
    std::vector<std::int32_t> buf(60, -1);
    EXPECT_EQ(lib.Read(5, buf.data()), 50);
    EXPECT_EQ(buf[49], 196);

    EXPECT_EQ(loader.loads, std::vector<std::string>{"libKV318.so"});
    EXPECT_EQ(loader.finds, (std::vector<std::string>{"KV318_OpenDevice", "KV318_DI", "KV318_DO", "KV318_PRun",
                                                      "KV318_AD", "KV318_Read"}));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"Open 0", "One 5", "One 6", "DO 5,65535", "PRun 5,0,2",
                                                 "AD 5,0,0,0,0,50", "Read 5"}));
}

TEST(PanelBinding, MissingFileOrFunctionIsNamed) {
    FakeLoader noFile;
    noFile.present = false;
    LazyBinding a(noFile, "libKV318.so");
    try {
        a.OpenDevice(0);
        FAIL() << "no error";
    } catch (const BindingError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot load the library file libKV318.so:\nno such file");
    }

    FakeLoader noRead;
    noRead.exports.erase("KV318_Read");
    LazyBinding b(noRead, "libKV318.so");
    EXPECT_EQ(b.OpenDevice(0), 0x7C);
    std::vector<std::int32_t> buf(60);
    try {
        b.Read(1, buf.data());
        FAIL() << "no error";
    } catch (const BindingError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot find the function KV318_Read in libKV318.so");
    }
}

TEST(PanelBinding, PanelRunsOnTheBindingAndNeverResolvesCloseDevice) {
    FakeLoader loader;
    LazyBinding lib(loader, "libKV318.so");
    testing::Log log;
    testing::FakeView view{log};
    testing::FakeClock clock;
    Panel panel{view, lib, clock};
    panel.Form1_Load();
    EXPECT_TRUE(view.title.ends_with("HANDLE=7CH"));
    view.texts[Control::Text1] = "ff";
    for (auto handler : {&Panel::Command1_Click, &Panel::Command2_Click, &Panel::Command3_Click, &Panel::Command4_Click,
                         &Panel::Command5_Click, &Panel::Command6_Click, &Panel::Timer1_Timer, &Panel::Timer2_Timer,
                         &Panel::Command7_Click, &Panel::Command8_Click}) {
        (panel.*handler)();
    }
    EXPECT_EQ(std::count(loader.finds.begin(), loader.finds.end(), "KV318_CloseDevice"), 0);
    EXPECT_EQ(loader.finds.size(), 10u);
    EXPECT_EQ(view.texts[Control::Text2], "ox4D");
    EXPECT_EQ(view.exitCode, 0);

    // A library that is missing at start-up is named, and the panel ends.
    FakeLoader none;
    none.present = false;
    LazyBinding missing(none, "libKV318.so");
    Panel p2{view, missing, clock};
    p2.Form1_Load();
    EXPECT_EQ(view.messages.back(), "Cannot load the library file libKV318.so:\nno such file");
    EXPECT_EQ(view.exitCode, 1);
}

}  // namespace
}  // namespace kv318::panel
