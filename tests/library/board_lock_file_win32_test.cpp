// The board lock file on Windows: while any process has it open, nobody
// can remove or rename it.  A lock on a file whose name was taken away
// would keep nobody out: the next start would make and lock a new file of
// the same name.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "board_lock.h"
#include "board_lock_file.h"
#include "board_lock_service.h"

namespace kv318::test {
namespace {

TEST(BoardLockFileWin32, AHeldLockFileCanNeitherBeRemovedNorRenamed) {
    BoardLockService& locks = platform_board_lock_service();
    const std::wstring path = win32::board_lock_path(7);
    ASSERT_FALSE(path.empty());
    const std::wstring moved = path + L".moved";
    BoardLockToken token = 0;
    ASSERT_EQ(locks.acquire(7, &token), BoardLockResult::Taken);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(path.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING));
    BoardLockToken second = 0;
    EXPECT_EQ(locks.acquire(7, &second), BoardLockResult::Busy) << "the one file is still the lock";
    locks.release(token);
    EXPECT_TRUE(DeleteFileW(path.c_str())) << "free once nobody has it open";
    DeleteFileW(moved.c_str());
}

TEST(BoardLockFileWin32, OneServerPerBoardWhateverTheAcquisitionLockSays) {
    const std::wstring path = win32::board_served_path(7);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.substr(path.size() - 19), L"KV318Device7.served");
    const ServedLockTake first = take_board_served_lock(7, "tcp://127.0.0.1:6318");
    ASSERT_EQ(first.result, ServedLockTake::Taken) << first.why;
    const BoardServedProbe look = probe_board_served(7);
    EXPECT_TRUE(look.held);
    EXPECT_EQ(look.pid, static_cast<std::uint32_t>(GetCurrentProcessId()));
    EXPECT_EQ(look.url, "tcp://127.0.0.1:6318") << "programs of this user find the server by it";
    // Byte-range locks belong to handles: a second open conflicts as a
    // second process's does, and reads the holder's pid.
    const ServedLockTake second = take_board_served_lock(7, "");
    EXPECT_EQ(second.result, ServedLockTake::Busy);
    EXPECT_EQ(second.holder, static_cast<std::uint32_t>(GetCurrentProcessId()));
    BoardLockService& locks = platform_board_lock_service();
    BoardLockToken acquisition = 0;
    EXPECT_EQ(locks.acquire(7, &acquisition), BoardLockResult::Taken) << "serving is not streaming";
    locks.release(acquisition);
    release_board_served_lock(first.token);
    EXPECT_FALSE(probe_board_served(7).held);
    const ServedLockTake again = take_board_served_lock(7, "");
    EXPECT_EQ(again.result, ServedLockTake::Taken) << "free once given back";
    release_board_served_lock(again.token);
    DeleteFileW(path.c_str());
    DeleteFileW(win32::board_lock_path(7).c_str());
}

}  // namespace
}  // namespace kv318::test
