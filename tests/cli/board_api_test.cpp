// The words every tool prints for a board whose lock keeps it from
// starting: a holder in another process, or a lock file the library will
// not use, named so the user knows what to remove.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "board_api.h"
#include "board_lock_file.h"
#include "pipeline_names.h"

namespace kv318::cli {
namespace {

// What KV318_LastError answers in the next case.
const char* g_lastError = "";
std::int32_t KV318_CALL scripted_last_error(char* text, std::int32_t size) {
    std::snprintf(text, static_cast<std::size_t>(size), "%s", g_lastError);
    return static_cast<std::int32_t>(std::strlen(g_lastError));
}

TEST(BoardApi, TheLibrarysWordsAreTakenOnlyForTheCallThatFailed) {
    BoardApi api{};
    api.lastError = scripted_last_error;
    const struct {
        const char* text;
        const char* call;
        const char* words;
    } cases[] = {
        {"KV318_DO: board 0 on kv318-server at ipc:///x is controlled by kv318-cli.7@h", "KV318_DO",
         "board 0 on kv318-server at ipc:///x is controlled by kv318-cli.7@h"},
        {"KV318_DO: handle 7 is not open", "KV318_DI", ""},  // another call's text
        {"KV318_D: x", "KV318_DO", ""},
        {"", "KV318_DO", ""},  // the call succeeded after all
        {"KV318_DO:", "KV318_DO", ""},
    };
    for (const auto& c : cases) {
        g_lastError = c.text;
        EXPECT_EQ(library_words(api, c.call), c.words) << c.text;
    }
    api.lastError = nullptr;
    g_lastError = "KV318_DO: words";
    EXPECT_EQ(library_words(api, "KV318_DO"), "") << "a table without the export says nothing";
}

TEST(BoardApi, ABusyBoardIsNamedWithItsHolderOrItsUnusableLockFile) {
    EXPECT_EQ(board_busy_text(2, 4242), "board 2 is streaming in another process (pid 4242)");

    char tmpl[] = "/tmp/kv318-board-api-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    // No driver directory yet: no lock file to name.
    ::setenv("KV318_DRIVER_DIR", (std::string(tmpl) + "/missing").c_str(), 1);
    std::uint32_t none = 7;
    EXPECT_FALSE(board_lock_held(2, &none));
    EXPECT_EQ(board_busy_text(2, 0), "board 2 is streaming in another process");
    ::setenv("KV318_DRIVER_DIR", tmpl, 1);
    const std::string path = linux_channel::board_lock_path(2);
    std::uint32_t pid = 7;
    EXPECT_FALSE(board_lock_held(2, &pid)) << "no lock file: nobody holds the board";
    EXPECT_EQ(board_busy_text(2, 0), "board 2 is streaming in another process");

    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    pid = 7;
    EXPECT_TRUE(board_lock_held(2, &pid)) << "a FIFO keeps every start out";
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(board_busy_text(2, 0), "board 2 cannot be started: the lock file " + path + " is a FIFO");

    ::unlink(path.c_str());
    ::rmdir(tmpl);
    ::unsetenv("KV318_DRIVER_DIR");
}

}  // namespace
}  // namespace kv318::cli
