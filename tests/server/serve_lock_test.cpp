// One server per board: what kv318-server says when a board's served lock
// is another server's or cannot be used, and that every lock it took is
// given back once.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "serve_lock.h"

namespace kv318::server::test {
namespace {

// What the substitute lock answers per board, and what was given back.
std::map<std::int32_t, ServedLockTake> g_answers;
std::vector<std::int32_t> g_asked;
std::vector<std::string> g_urls;
std::vector<std::intptr_t> g_released;

ServedLockTake scripted_take(std::int32_t board, const std::string& url) {
    g_asked.push_back(board);
    g_urls.push_back(url);
    return g_answers[board];
}
void scripted_release(std::intptr_t token) { g_released.push_back(token); }

TEST(ServeLocks, ASecondServerIsRefusedNamingTheFirstAndEveryLockGoesBackOnce) {
    g_answers = {
        {0, {ServedLockTake::Taken, 100, 0, ""}},
        {1, {ServedLockTake::Busy, -1, 4242, ""}},
        {2, {ServedLockTake::Busy, -1, 0, ""}},
        {3, {ServedLockTake::Failed, -1, 0, "the lock file /x/KV318Device3.served is a symbolic link"}},
        {5, {ServedLockTake::Taken, 105, 0, ""}},
    };
    struct Case {
        std::int32_t board;
        bool taken;
        const char* error;
    };
    const Case cases[] = {
        {0, true, ""},
        {1, false, "board 1 is served by kv318-server (pid 4242)"},
        {2, false, "board 2 is served by kv318-server"},
        {3, false, "board 3 cannot be served: the lock file /x/KV318Device3.served is a symbolic link"},
        {5, true, ""},
        {0, true, ""},  // taken before: not asked again
    };
    g_asked.clear();
    g_urls.clear();
    g_released.clear();
    {
        ServeLocks locks(scripted_take, scripted_release);
        locks.set_local_url("ipc:///run/kv318/kv318-server");
        for (const Case& c : cases) {
            std::string error;
            EXPECT_EQ(locks.take(c.board, &error), c.taken) << c.board;
            EXPECT_EQ(error, c.error) << c.board;
        }
        EXPECT_EQ(g_asked, (std::vector<std::int32_t>{0, 1, 2, 3, 5}));
        EXPECT_EQ(g_urls, std::vector<std::string>(5, "ipc:///run/kv318/kv318-server"))
            << "each lock names where programs of this machine are served";
        EXPECT_TRUE(g_released.empty()) << "held for the server's life";
    }
    EXPECT_EQ(g_released, (std::vector<std::intptr_t>{100, 105})) << "only what was taken, once each";
}

}  // namespace
}  // namespace kv318::server::test
