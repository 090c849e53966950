// The board lock file on Linux: its name and pid text, and the flock
// service against a real driver directory.  Two open files of one process
// conflict under flock just as two processes do, so one process can play
// both the holder and the one refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "board_lock.h"
#include "board_lock_file.h"
#include "board_lock_service.h"

namespace kv318::test {
namespace {

TEST(BoardLockText, NameAndPidTextReadBackAndOddFilesAreRefused) {
    EXPECT_EQ(board_lock_file_name(0), "KV318Device0.lock");
    EXPECT_EQ(board_lock_file_name(17), "KV318Device17.lock");
    EXPECT_EQ(board_lock_pid_text(4242), "4242\n");

    struct Case {
        const char* text;
        bool ok;
        std::uint32_t pid;
    };
    const Case cases[] = {
        {"4242\n", true, 4242},
        {"123\n8\n", true, 123},  // a shorter pid over a longer one's tail
        {"4294967295\n", true, 4294967295u},
        {"", false, 0},      // locked, not written yet
        {"4242", false, 0},  // written halfway
        {"0\n", false, 0},
        {"4294967296\n", false, 0},   // past 32 bits
        {"12345678901\n", false, 0},  // eleven digits
        {"-5\n", false, 0},
        {" 42\n", false, 0},
        {"42 \n", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t pid = 7;
        EXPECT_EQ(parse_board_lock_pid(c.text, std::strlen(c.text), &pid), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(pid, c.ok ? c.pid : 7u) << '"' << c.text << '"';
    }
}

class LockDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kv318-lock-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("KV318_DRIVER_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unlink((dir_ + "/" + board_lock_file_name(3)).c_str());
        ::rmdir(dir_.c_str());
        ::unsetenv("KV318_DRIVER_DIR");
    }
    std::string file_text() const {
        std::ifstream f(linux_channel::board_lock_path(3));
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    std::string dir_;
    BoardLockService& locks = platform_board_lock_service();
};

TEST_F(LockDir, TheHolderWritesItsPidAndASecondTakerIsRefusedUntilTheRelease) {
    EXPECT_EQ(linux_channel::board_lock_path(3), dir_ + "/KV318Device3.lock");
    EXPECT_FALSE(probe_board_lock(3).held) << "no file yet";

    BoardLockToken first = -1;
    ASSERT_EQ(locks.acquire(3, &first), BoardLockResult::Taken);
    EXPECT_EQ(file_text(), std::to_string(::getpid()) + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(linux_channel::board_lock_path(3).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const BoardLockProbe probe = probe_board_lock(3);
    EXPECT_TRUE(probe.held);
    EXPECT_EQ(probe.pid, static_cast<std::uint32_t>(::getpid()));
    BoardLockToken second = -1;
    EXPECT_EQ(locks.acquire(3, &second), BoardLockResult::Busy);
    EXPECT_FALSE(probe_board_lock(4).held) << "another board is free";

    locks.release(first);
    EXPECT_FALSE(probe_board_lock(3).held);
    // A longer text left behind is cut to the new holder's.
    {
        std::ofstream f(linux_channel::board_lock_path(3), std::ios::trunc);
        f << "99999999999\ngarbage\n";
    }
    ASSERT_EQ(locks.acquire(3, &second), BoardLockResult::Taken);
    EXPECT_EQ(file_text(), std::to_string(::getpid()) + "\n");
    locks.release(second);
}

TEST_F(LockDir, APlantedSymlinkOrASharedDirectoryIsNeverLocked) {
    const std::string path = linux_channel::board_lock_path(3);
    const std::string target = dir_ + "/elsewhere";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    BoardLockToken token = -1;
    EXPECT_EQ(locks.acquire(3, &token), BoardLockResult::Failed);
    EXPECT_NE(::access(target.c_str(), F_OK), 0) << "nothing is created where the link points";
    EXPECT_FALSE(probe_board_lock(3).held);
    ::unlink(path.c_str());

    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(locks.acquire(3, &token), BoardLockResult::Failed) << "others could replace the file";
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
}

}  // namespace
}  // namespace kv318::test
