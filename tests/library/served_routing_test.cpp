// The exports' way to a board: a served handle reaches the served table's
// entry of its name with the table's own handle and gets its result and its
// failure text, named for the export; a local handle never leaves this
// process; KV318_OpenDevice goes to a server exactly when KV318_SERVER
// names one; and a client library that cannot be had fails the open in
// words, sending nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "KV318.h"
#include "backend.h"
#include "board_lock_service.h"
#include "recording_device.h"
#include "served_api.h"

namespace kv318::test {
namespace {

constexpr Handle kLocal = 0x7C;   // what the recording device's open returns
constexpr std::int32_t kOwn = 7;  // the handle the fake served table gives out
constexpr Handle kServed = KV318_SERVED_HANDLE_BASE + kOwn;

// What the fake served table was asked, and what it answers.  One test
// thread uses it at a time.
struct Script {
    std::vector<std::string> calls;
    std::int32_t result = 0;
    std::string text;  // the failure text of the next entry ("" for none)
    std::int32_t openResult = kOwn;
    // What the status entry writes (it writes nothing when both are empty).
    std::uint32_t statusFlags = 0;
    std::string statusUrl = {};
};
Script g_script;

std::int32_t answer(std::string call) {
    g_script.calls.push_back(std::move(call));
    return g_script.result;
}
std::string str(const char* s) { return s == nullptr ? "NULL" : s; }
std::string nums(std::initializer_list<std::int32_t> v) {
    std::string out;
    for (std::int32_t n : v) {
        out += ' ';
        out += std::to_string(n);
    }
    return out;
}

extern "C" {
std::int32_t f_open(const char* url, std::int32_t board, const char* keys) {
    g_script.calls.push_back("open " + str(url) + " " + std::to_string(board) + " " + str(keys));
    return g_script.openResult;
}
std::int32_t f_close(std::int32_t h) { return answer("close" + nums({h})); }
std::int32_t f_info(std::int32_t h, char*) { return answer("info" + nums({h})); }
std::int32_t f_inb(std::int32_t h, std::int32_t r) { return answer("inb" + nums({h, r})); }
std::int32_t f_outb(std::int32_t h, std::int32_t r, std::int32_t v) { return answer("outb" + nums({h, r, v})); }
std::int32_t f_bulk(std::int32_t h, void*, std::int32_t n) { return answer("bulk_read" + nums({h, n})); }
std::int32_t f_reset(std::int32_t h) { return answer("reset_usb" + nums({h})); }
std::int32_t f_ad(std::int32_t h, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, std::int32_t v) {
    return answer("ad" + nums({h, a, b, c, d, v}));
}
std::int32_t f_read(std::int32_t h, std::int32_t*) { return answer("read" + nums({h})); }
std::int32_t f_stop(std::int32_t h) { return answer("stop_ad" + nums({h})); }
std::int32_t f_m_ad(std::int32_t h, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, std::int32_t v) {
    return answer("m_ad" + nums({h, a, b, c, d, v}));
}
std::int32_t f_m_read(std::int32_t h, std::int32_t*, std::int32_t*, std::int32_t r) {
    return answer("m_read" + nums({h, r}));
}
std::int32_t f_m_stop(std::int32_t h) { return answer("m_stop_ad" + nums({h})); }
std::int32_t f_stats(std::int32_t h, KV318_STREAM_STATS*) { return answer("stream_stats" + nums({h})); }
std::int32_t f_di(std::int32_t h) { return answer("di" + nums({h})); }
std::int32_t f_do(std::int32_t h, std::int32_t v) { return answer("do" + nums({h, v})); }
std::int32_t f_c_run(std::int32_t h) { return answer("c_run" + nums({h})); }
std::int32_t f_c_read(std::int32_t h) { return answer("c_read" + nums({h})); }
std::int32_t f_p_run(std::int32_t h, std::int32_t m, std::int32_t d) { return answer("p_run" + nums({h, m, d})); }
std::int32_t f_p_stop(std::int32_t h) { return answer("p_stop" + nums({h})); }
std::int32_t f_follow(std::int32_t h) { return answer("follow" + nums({h})); }
std::int32_t f_status(std::int32_t h, KV318_SERVED_STATUS* s) {
    if (g_script.statusFlags != 0 || !g_script.statusUrl.empty()) {
        s->flags = g_script.statusFlags;
        std::snprintf(s->url, sizeof s->url, "%s", g_script.statusUrl.c_str());
    }
    return answer("status" + nums({h}));
}
std::int32_t f_board(std::int32_t h, std::int32_t c, std::int32_t f) { return answer("board" + nums({h, c, f})); }
std::int32_t f_last_error(char* text, std::int32_t size) {
    std::snprintf(text, static_cast<std::size_t>(size), "%s", g_script.text.c_str());
    return static_cast<std::int32_t>(g_script.text.size());
}
}  // extern "C"

KV318_BACKEND_OPS fake_table() {
    return KV318_BACKEND_OPS{sizeof(KV318_BACKEND_OPS),
                             KV318_BACKEND_ABI,
                             f_open,
                             f_close,
                             f_info,
                             f_inb,
                             f_outb,
                             f_bulk,
                             f_reset,
                             f_ad,
                             f_read,
                             f_stop,
                             f_m_ad,
                             f_m_read,
                             f_m_stop,
                             f_stats,
                             f_di,
                             f_do,
                             f_c_run,
                             f_c_read,
                             f_p_run,
                             f_p_stop,
                             f_follow,
                             f_status,
                             f_last_error,
                             f_board};
}

// The OS as a test sets it: an environment, and a served library that
// loads (the fake table) or does not (with its reason).
class FakeOs final : public BackendService {
public:
    FakeOs() {
        g_script = Script{};
        set_backend_service(this);
    }
    ~FakeOs() override { set_backend_service(nullptr); }
    const KV318_BACKEND_OPS* load_served(char* why, std::size_t size) override {
        ++loads;
        if (!loadable) std::snprintf(why, size, "%s", reason.c_str());
        return loadable ? &table : nullptr;
    }
    bool environment(const char* name, std::string* value) override {
        const auto it = env.find(name);
        *value = it == env.end() ? "" : it->second;
        return it != env.end();
    }

    KV318_BACKEND_OPS table = fake_table();
    bool loadable = true;
    std::string reason = "libKV318-remote.so.1: cannot open shared object file";
    int loads = 0;
    std::map<std::string, std::string> env;
};

std::string last_error() {
    char text[2048];
    KV318_LastError(text, sizeof text);
    return text;
}

TEST(ServedRouting, EveryExportOnAServedHandleReachesItsEntryWithTheTablesOwnHandle) {
    struct Row {
        const char* name;
        std::function<std::int32_t(Handle)> call;
        std::string entry;  // what the table saw, with its own handle 7
    };
    std::int32_t samples[8];
    std::int32_t carry = 0;
    char text[KV318_INFO_BYTES];
    KV318_STREAM_STATS stats{};
    const std::vector<Row> rows = {
        {"KV318_Info", [&](Handle h) { return KV318_Info(h, text); }, "info 7"},
        {"KV318_inb", [](Handle h) { return KV318_inb(h, 4); }, "inb 7 4"},
        {"KV318_outb", [](Handle h) { return KV318_outb(h, 9, 3); }, "outb 7 9 3"},
        {"KV318_BulkRead", [&](Handle h) { return KV318_BulkRead(h, samples, 16); }, "bulk_read 7 16"},
        {"KV318_ResetUSB", [](Handle h) { return KV318_ResetUSB(h); }, "reset_usb 7"},
        {"KV318_AD", [](Handle h) { return KV318_AD(h, 1, 0, 1, 0, 50); }, "ad 7 1 0 1 0 50"},
        {"KV318_Read", [&](Handle h) { return KV318_Read(h, samples); }, "read 7"},
        {"KV318_StopAD", [](Handle h) { return KV318_StopAD(h); }, "stop_ad 7"},
        {"KV318_M_AD", [](Handle h) { return KV318_M_AD(h, 0, 1, 0, 1, 100); }, "m_ad 7 0 1 0 1 100"},
        {"KV318_M_Read", [&](Handle h) { return KV318_M_Read(h, samples, &carry, 5); }, "m_read 7 5"},
        {"KV318_M_StopAD", [](Handle h) { return KV318_M_StopAD(h); }, "m_stop_ad 7"},
        {"KV318_StreamStats", [&](Handle h) { return KV318_StreamStats(h, &stats); }, "stream_stats 7"},
        {"KV318_DI", [](Handle h) { return KV318_DI(h); }, "di 7"},
        {"KV318_DO", [](Handle h) { return KV318_DO(h, 0x1234); }, "do 7 4660"},
        {"KV318_CRun", [](Handle h) { return KV318_CRun(h); }, "c_run 7"},
        {"KV318_CRead", [](Handle h) { return KV318_CRead(h); }, "c_read 7"},
        {"KV318_PRun", [](Handle h) { return KV318_PRun(h, 1, 100); }, "p_run 7 1 100"},
        {"KV318_PStop", [](Handle h) { return KV318_PStop(h); }, "p_stop 7"},
        {"KV318_Follow", [](Handle h) { return KV318_Follow(h); }, "follow 7"},
        {"KV318_ServedBoard", [](Handle h) { return KV318_ServedBoard(h, 1'000'000, 65'536); },
         "board 7 1000000 65536"},
        {"KV318_ServedStatus",
         [](Handle h) {
             KV318_SERVED_STATUS s{};
             s.size = sizeof s;
             return KV318_ServedStatus(h, &s);
         },
         "status 7"},
        {"KV318_CloseDevice", [](Handle h) { return KV318_CloseDevice(h); }, "close 7"},
    };
    RecordingDevice dev;
    FakeOs os;
    ASSERT_EQ(KV318_OpenServed("tcp://lab:6318", 0, nullptr), kServed);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A success: the entry's result, and no text.
        g_script = Script{{}, 1234, ""};
        EXPECT_EQ(row.call(kServed), 1234);
        EXPECT_EQ(g_script.calls, std::vector<std::string>{row.entry});
        EXPECT_EQ(last_error(), "");
        // A failure: the entry's value, and its words named for the export.
        g_script = Script{{}, -1, "board 0 on kv318-server at tcp://lab:6318 is controlled by kv318-cli.42@lab"};
        EXPECT_EQ(row.call(kServed), -1);
        EXPECT_EQ(last_error(), std::string(row.name) + ": " + g_script.text);
    }
    EXPECT_EQ(os.loads, 1) << "the table is loaded once";
    EXPECT_TRUE(dev.opened().empty());
    EXPECT_EQ(dev.request_count(), 0u);
    // A board of this process beside it never reaches the table.
    g_script = Script{};
    EXPECT_EQ(KV318_DO(kLocal, 0x1234), 0);
    EXPECT_EQ(dev.request_count(), 1u);
    EXPECT_TRUE(g_script.calls.empty());
}

// Says which server of this machine serves a board, as a test sets it.
class FakeServedLocks final : public BoardLockService {
public:
    FakeServedLocks() { set_board_lock_service(this); }
    ~FakeServedLocks() override { set_board_lock_service(nullptr); }
    BoardLockResult acquire(std::int32_t, BoardLockToken*) override { return BoardLockResult::Failed; }
    void release(BoardLockToken) override {}
    bool held_elsewhere(std::int32_t) override { return false; }
    std::string served_url(std::int32_t board) override {
        asked.push_back(board);
        return url;
    }
    std::string url;
    std::vector<std::int32_t> asked;
};

TEST(ServedRouting, OpenDeviceGoesToTheServerTheEnvironmentNamesOrTheOneThatServesTheBoard) {
    constexpr char kLocalServer[] = "ipc:///run/user/1000/kv318/kv318-server";
    struct Row {
        const char* what;
        std::map<std::string, std::string> env;
        const char* servedHere;  // the URL the board's served lock file names
        bool loadable;
        Handle expected;
        std::vector<std::string> served;  // what the served table saw
        int loads;                        // times the client library was looked for
    };
    const std::string here = std::string("open ") + kLocalServer + " 3 NULL";
    const std::vector<Row> rows = {
        {"no KV318_SERVER", {}, "", true, kLocal, {}, 0},
        {"an empty one", {{"KV318_SERVER", ""}}, "", true, kLocal, {}, 0},
        {"none", {{"KV318_SERVER", "none"}, {"KV318_SERVER_KEYS", "/k"}}, "", true, kLocal, {}, 0},
        {"a URL", {{"KV318_SERVER", "tcp://lab:6318"}}, "", true, kServed, {"open tcp://lab:6318 3 NULL"}, 1},
        {"a URL and keys",
         {{"KV318_SERVER", "ipc:///run/kv318"}, {"KV318_SERVER_KEYS", "/home/t/keys"}},
         "",
         true,
         kServed,
         {"open ipc:///run/kv318 3 /home/t/keys"},
         1},
        {"a URL and empty keys",
         {{"KV318_SERVER", "tcp://lab:6318"}, {"KV318_SERVER_KEYS", ""}},
         "",
         true,
         kServed,
         {"open tcp://lab:6318 3 NULL"},
         1},
        {"a board served here", {}, kLocalServer, true, kServed, {here}, 1},
        {"a board served here, and keys for nothing",
         {{"KV318_SERVER_KEYS", "/k"}},
         kLocalServer,
         true,
         kServed,
         {here},
         1},
        {"a board served here, opened directly", {{"KV318_SERVER", "none"}}, kLocalServer, true, kLocal, {}, 0},
        {"a board served here, and another server named",
         {{"KV318_SERVER", "tcp://lab:6318"}},
         kLocalServer,
         true,
         kServed,
         {"open tcp://lab:6318 3 NULL"},
         1},
        {"a board served here, with no client to reach it", {}, kLocalServer, false, kLocal, {}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingDevice dev;
        FakeOs os;
        FakeServedLocks locks;
        os.env = row.env;
        os.loadable = row.loadable;
        locks.url = row.servedHere;
        EXPECT_EQ(KV318_OpenDevice(3), row.expected);
        EXPECT_EQ(g_script.calls, row.served);
        EXPECT_EQ(dev.opened().size(), row.served.empty() ? 1u : 0u) << "a served open opens nothing here";
        EXPECT_EQ(os.loads, row.loads) << "a program that meets no server loads nothing";
        EXPECT_EQ(last_error(), "");
        KV318_CloseDevice(row.expected);
    }
}

TEST(ServedRouting, AServedOpenThatCannotBeHadFailsInWordsAndSendsNothing) {
    struct Row {
        const char* what;
        std::function<void(FakeOs&)> arrange;
        std::string text;
        std::vector<std::string> served;
    };
    const std::string prefix =
        "KV318_OpenServed: board 2 of tcp://lab:6318: the client of kv318-server cannot be used: ";
    const std::vector<Row> rows = {
        {"no library",
         [](FakeOs& os) { os.loadable = false; },
         prefix + "libKV318-remote.so.1: cannot open shared object file",
         {}},
        {"another ABI",
         [](FakeOs& os) { os.table.abi = KV318_BACKEND_ABI + 1; },
         prefix + "it speaks version 2 of the backend table, not 1",
         {}},
        {"an older, smaller table",
         [](FakeOs& os) { os.table.size = 64; },
         prefix + "its table has 64 bytes, fewer than the " + std::to_string(sizeof(KV318_BACKEND_OPS)) +
             " this library needs",
         {}},
        {"no server answers",
         [](FakeOs&) {
             g_script.openResult = -1;
             g_script.text = "kv318-server at tcp://lab:6318 does not answer";
         },
         "KV318_OpenServed: kv318-server at tcp://lab:6318 does not answer",
         {"open tcp://lab:6318 2 NULL"}},
        {"a handle outside the range",
         [](FakeOs&) { g_script.openResult = KV318_SERVED_HANDLE_SPAN; },
         "KV318_OpenServed: board 2 of tcp://lab:6318: the client gave handle 268435456, outside its range",
         {"open tcp://lab:6318 2 NULL", "close 268435456"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingDevice dev;
        FakeOs os;
        row.arrange(os);
        EXPECT_EQ(KV318_OpenServed("tcp://lab:6318", 2, nullptr), -1);
        EXPECT_EQ(last_error(), row.text);
        EXPECT_EQ(g_script.calls, row.served);
        EXPECT_TRUE(dev.opened().empty());
        EXPECT_EQ(dev.request_count(), 0u);
    }
    // A library that could not be loaded is looked for again: one installed
    // since is found by the next open.
    RecordingDevice dev;
    FakeOs os;
    os.loadable = false;
    EXPECT_EQ(KV318_OpenServed("tcp://lab:6318", 0, nullptr), -1);
    os.loadable = true;
    EXPECT_EQ(KV318_OpenServed("tcp://lab:6318", 0, nullptr), kServed);
    EXPECT_EQ(os.loads, 2);
}

TEST(ServedRouting, HandlesNoTableHoldsAndCallsOnlyServedBoardsHaveAreRefused) {
    struct Row {
        const char* what;
        std::function<std::int32_t()> call;
        std::int32_t expected;
        std::string text;
    };
    KV318_SERVED_STATUS small{};
    small.size = 15;
    KV318_SERVED_STATUS whole{};
    whole.size = sizeof whole;
    const std::vector<Row> rows = {
        {"a served handle before any table", [] { return KV318_DO(kServed, 1); }, -1,
         "KV318_DO: handle 1073741831 is not open"},
        {"its stop", [] { return KV318_StopAD(kServed); }, 0, ""},
        {"its close", [] { return KV318_CloseDevice(kServed); }, -1,
         "KV318_CloseDevice: handle 1073741831 is not open"},
        {"follow a local board", [] { return KV318_Follow(kLocal); }, -1,
         "KV318_Follow: handle 124 is a board of this process, not one a server serves"},
        {"follow -1", [] { return KV318_Follow(-1); }, -1, "KV318_Follow: handle -1 is not open"},
        {"the board of a local board", [] { return KV318_ServedBoard(kLocal, 1'000'000, 65'536); }, -1,
         "KV318_ServedBoard: handle 124 is a board of this process, not one a server serves"},
        {"the board of -1", [] { return KV318_ServedBoard(-1, 1'000'000, 65'536); }, -1,
         "KV318_ServedBoard: handle -1 is not open"},
        {"status of a local board", [&] { return KV318_ServedStatus(kLocal, &whole); }, -1,
         "KV318_ServedStatus: handle 124 is a board of this process, not one a server serves"},
        {"status -1 before any served open", [&] { return KV318_ServedStatus(-1, &whole); }, -1,
         "KV318_ServedStatus: no client of kv318-server was loaded"},
        {"status NULL", [] { return KV318_ServedStatus(kServed, nullptr); }, -1, "KV318_ServedStatus: status is NULL"},
        {"status too small", [&] { return KV318_ServedStatus(kServed, &small); }, -1,
         "KV318_ServedStatus: status->size is below 16"},
        {"open with no URL", [] { return KV318_OpenServed(nullptr, 0, nullptr); }, -1, "KV318_OpenServed: url is NULL"},
        {"open with an empty URL", [] { return KV318_OpenServed("", 0, nullptr); }, -1,
         "KV318_OpenServed: url is empty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingDevice dev;
        FakeOs os;
        EXPECT_EQ(row.call(), row.expected);
        EXPECT_EQ(last_error(), row.text);
        EXPECT_TRUE(g_script.calls.empty());
        EXPECT_EQ(os.loads, 0);
        EXPECT_EQ(dev.request_count(), 0u) << "nothing reaches a board of this process";
    }
}

// kv318-cli's and kv318-scope's table with --server: the exports alone.
TEST(ServedRouting, TheToolsOpenTellsTheBoardAndAFollowersStartIsAFollow) {
    const struct {
        const char* what;
        bool follow;
        std::uint32_t lastOpenFlags;  // what the status of handle -1 says before the open
        std::string lastOpenUrl;
        std::vector<std::string> calls;  // the open, then a stream's start
        std::int32_t handle;
        std::int32_t started;  // the start's result
    } cases[] = {
        {"a controller",
         false,
         0,
         "",
         {"status -1", "open tcp://lab:6318 2 /k", "board 7 1000000 65536", "ad 7 1 0 0 0 40"},
         kServed,
         0},
        {"a follower",
         true,
         0,
         "",
         {"status -1", "open tcp://lab:6318 2 /k", "board 7 1000000 65536", "follow 7", "status 7"},
         kServed,
         0},
        // The library waits for the next stream; the tools' follower leaves.
        {"a follower that finds no stream",
         true,
         KV318_SERVED_FOLLOWING,
         "tcp://lab:6318",
         {"status -1", "open tcp://lab:6318 2 /k", "board 7 1000000 65536", "follow 7", "status 7", "stop_ad 7"},
         kServed,
         -1},
        {"after a silent open of the same server", false, KV318_SERVED_GONE, "tcp://lab:6318", {"status -1"}, -1, 0},
        {"after a silent open of another",
         false,
         KV318_SERVED_GONE,
         "tcp://other:6318",
         {"status -1", "open tcp://lab:6318 2 /k", "board 7 1000000 65536", "ad 7 1 0 0 0 40"},
         kServed,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingDevice dev;
        FakeOs os;
        // The table is loaded by an open before, as every status of -1 needs.
        ASSERT_EQ(KV318_OpenServed("tcp://lab:6318", 0, nullptr), kServed);
        g_script = Script{};
        g_script.statusFlags = c.lastOpenFlags;
        g_script.statusUrl = c.lastOpenUrl;
        const pipeline::BoardApi& api = pipeline::served_api({"tcp://lab:6318", "/k", 1'000'000, 65'536, c.follow});
        const std::int32_t h = api.open(2);
        EXPECT_EQ(h, c.handle);
        if (h != -1) {
            EXPECT_EQ(api.ad(h, 1, 0, 0, 0, 40), c.started);
        }
        EXPECT_EQ(g_script.calls, c.calls);
        if (c.started == -1) {
            pipeline::RemoteStatus status;
            ASSERT_TRUE(pipeline::served_status(api, h, &status));
            EXPECT_EQ(status.failure,
                      "no stream runs on board 2 of kv318-server at tcp://lab:6318, so there is none "
                      "to follow");
        }
        EXPECT_EQ(dev.request_count(), 0u) << "nothing reaches a board of this process";
    }
}

}  // namespace
}  // namespace kv318::test
