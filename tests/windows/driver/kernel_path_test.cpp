// KV318.dll on its kernel path: CreateFileA on "\\.\KV318Device<n>" and
// DeviceIoControl, answered by the KV318 test driver that Wine hosts.  The
// test scripts the driver through a handle of its own (driver_client.h).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "KV318.h"
#include "driver_client.h"

namespace kv318::driver_test {
namespace {

const std::string kIdentity1 = KVT_IDENTITY_1;

class KernelPath : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(client_.ok()) << "the test driver publishes no board 0: " << GetLastError();
        ASSERT_TRUE(client_.clear());
        h_ = KV318_OpenDevice(0);
        ASSERT_NE(h_, -1);
    }
    void TearDown() override {
        client_.clear();
        if (h_ != -1) {
            EXPECT_EQ(KV318_CloseDevice(h_), 0);
        }
    }
    DriverClient client_{0};
    int32_t h_ = -1;
};

TEST_F(KernelPath, OpensEachPublishedBoardAndNoOther) {
    const int32_t h1 = KV318_OpenDevice(1);
    ASSERT_NE(h1, -1);
    EXPECT_NE(h1, h_);
    char text[80];
    ASSERT_EQ(KV318_Info(h1, text), 0);
    EXPECT_STREQ(text, (kIdentity1 + "   KVT-0001 test board").c_str());
    EXPECT_EQ(KV318_CloseDevice(h1), 0);
    // No driver publishes board 5 and no simulator serves its pipe.
    EXPECT_EQ(KV318_OpenDevice(5), -1);
    EXPECT_EQ(KV318_CloseDevice(-1), 0);
}

TEST_F(KernelPath, IdentityIsExactlySeventyBytesOfBothStrings) {
    char text[80];
    std::memset(text, 0x5A, sizeof text);
    ASSERT_EQ(KV318_Info(h_, text), 0);
    const std::string expected = kIdentity1 + "   KVT-0000 test board";
    EXPECT_EQ(std::string(text), expected);
    for (std::size_t i = expected.size(); i < 70; ++i) EXPECT_EQ(text[i], 0) << "byte " << i;
    for (std::size_t i = 70; i < sizeof text; ++i) EXPECT_EQ(text[i], 0x5A) << "byte " << i << " was written";
}

TEST_F(KernelPath, ByteRegistersReadBackWhatWasWritten) {
    // outb sends only the low 8 bits of register and value.
    const struct {
        int32_t reg, value, readReg, expected;
    } cases[] = {{20, 0x5A, 20, 0x5A}, {0x115, 0x1A5, 21, 0xA5}, {200, 0, 200, 0}, {255, 0xFF, 255, 0xFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reg);
        EXPECT_EQ(KV318_outb(h_, c.reg, c.value), 0);
        EXPECT_EQ(KV318_inb(h_, c.readReg), c.expected);
    }
    EXPECT_EQ(KV318_ResetUSB(h_), 0);
}

TEST_F(KernelPath, DigitalOutputsLoopBackToTheInputs) {
    for (int32_t word : {0x0000, 0xFFFF, 0x1234, 0x8001, 0x12345}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(KV318_DO(h_, word), 0);
        EXPECT_EQ(KV318_DI(h_), word & 0xFFFF);
        // The input word's bytes, one register each.
        EXPECT_EQ(KV318_inb(h_, 14), word & 0xFF);
        EXPECT_EQ(KV318_inb(h_, 15), (word >> 8) & 0xFF);
    }
}

TEST_F(KernelPath, CounterCountsThePulsesAndFlagsWhatItCannotShow) {
    ASSERT_EQ(KV318_PStop(h_), 0);
    ASSERT_EQ(KV318_outb(h_, 8, 1), 0);  // stops the counter
    EXPECT_EQ(KV318_CRead(h_), -1) << "a stopped counter has no value";

    ASSERT_EQ(KV318_CRun(h_), 0);
    EXPECT_EQ(KV318_CRead(h_), 0) << "nothing counted while no pulse runs";

    // 1 MHz / 255: about 3.9 pulses a millisecond.
    ASSERT_EQ(KV318_PRun(h_, 0, 1000), 0);
    EXPECT_EQ(KV318_inb(h_, 8) & 0xC0, 0x80) << "running, mode 0";
    ASSERT_TRUE(wait_until([&] { return KV318_CRead(h_) > 10; }));
    ASSERT_EQ(KV318_PStop(h_), 0);
    EXPECT_EQ(KV318_inb(h_, 8) & 0x80, 0);
    const int32_t held = KV318_CRead(h_);
    EXPECT_GT(held, 10);
    Sleep(20);
    EXPECT_EQ(KV318_CRead(h_), held) << "no pulses, no counts";

    // Divisor 1 acts as 2: 500 kHz passes 65535 within a fraction of a second.
    ASSERT_EQ(KV318_PRun(h_, 7, 1), 0);
    EXPECT_EQ(KV318_inb(h_, 8) & 0xC0, 0xC0) << "running, mode 1";
    EXPECT_TRUE(wait_until([&] { return KV318_CRead(h_) == -1; })) << "an overflowed counter must say so";
    EXPECT_EQ(KV318_PStop(h_), 0);
    EXPECT_EQ(KV318_CRun(h_), 0);
    EXPECT_EQ(KV318_CRead(h_), 0) << "a restart counts from 0";
}

// A request the driver completes with an error status gives the export's
// documented failure, and the handle serves the next call as before.
TEST_F(KernelPath, EachDriverFailureGivesTheDocumentedResult) {
    char text[80];
    struct Case {
        const char* name;
        std::function<bool()> script;
        std::function<int32_t()> call;
        int32_t failure;
        int32_t after;  // the same call once the script is used up
    };
    KV318_DO(h_, 0x00C3);
    const Case cases[] = {
        {"inb, read8", [&] { return client_.fail_command(0x80, 1); }, [&] { return KV318_inb(h_, 14); }, -1, 0xC3},
        {"DI, read16 (masked)", [&] { return client_.fail_command(0x81, 1); }, [&] { return KV318_DI(h_); }, 0xFFFF,
         0xC3},
        {"outb, write8", [&] { return client_.fail_command(0x90, 1); }, [&] { return KV318_outb(h_, 30, 1); }, -1, 0},
        {"DO, write16", [&] { return client_.fail_command(0x91, 1); }, [&] { return KV318_DO(h_, 0xC3); }, -1, 0},
        {"ResetUSB", [&] { return client_.fail_command(0x8E, 1); }, [&] { return KV318_ResetUSB(h_); }, -1, 0},
        {"CRun", [&] { return client_.fail_command(0x90, 1); }, [&] { return KV318_CRun(h_); }, -1, 0},
        {"CRead's state read", [&] { return client_.fail_command(0x80, 1); }, [&] { return KV318_CRead(h_); }, -1, 0},
        {"PRun's divisor write", [&] { return client_.fail_command(0x90, 2); }, [&] { return KV318_PRun(h_, 0, 9); },
         -1, 0},
        {"PStop", [&] { return client_.fail_command(0x90, 1); }, [&] { return KV318_PStop(h_); }, -1, 0},
        {"BulkRead", [&] { return KV318_ResetUSB(h_) == 0 && client_.fail_request(kBulkRead, 1); },
         [&] { return KV318_BulkRead(h_, text, 16); }, -1, 0},
        {"Info, string request", [&] { return client_.fail_request(kString, 1); }, [&] { return KV318_Info(h_, text); },
         -1, 0},
        {"every command request", [&] { return client_.fail_request(kCommand, 1); }, [&] { return KV318_inb(h_, 14); },
         -1, 0xC3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KV318_CRun(h_);  // the counter runs with no pulses: CRead reads 0
        ASSERT_TRUE(c.script());
        const BoardStats before = client_.stats();
        EXPECT_EQ(c.call(), c.failure);
        EXPECT_GT(client_.stats().failed, before.failed) << "the driver failed no request";
        EXPECT_EQ(c.call(), c.after) << "the handle must stay usable";
        ASSERT_TRUE(client_.clear());
    }

    // A failed string request leaves the caller's text untouched.
    std::memset(text, 0x5A, sizeof text);
    ASSERT_TRUE(client_.fail_request(kString, 1));
    EXPECT_EQ(KV318_Info(h_, text), -1);
    for (char c : text) EXPECT_EQ(c, 0x5A);

    // "Always" goes on failing until the script is cleared.
    ASSERT_TRUE(client_.fail_command(0x80, 0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(KV318_inb(h_, 14), -1);
    ASSERT_TRUE(client_.clear());
    EXPECT_EQ(KV318_inb(h_, 14), 0xC3);
}

TEST_F(KernelPath, AnUnknownRequestIsRefusedAndTheLibraryNeverSendsOne) {
    // Every export the device layer and the digital side have, once.
    char text[80];
    unsigned char bulk[65];
    EXPECT_EQ(KV318_Info(h_, text), 0);
    EXPECT_GE(KV318_inb(h_, 0), 0);
    EXPECT_EQ(KV318_outb(h_, 40, 1), 0);
    EXPECT_GE(KV318_inb(h_, 4), 0);  // stops conversion
    EXPECT_EQ(KV318_ResetUSB(h_), 0);
    EXPECT_EQ(KV318_BulkRead(h_, bulk, 64), 0) << "the FIFO is empty while nothing converts";
    EXPECT_EQ(KV318_DO(h_, 5), 0);
    EXPECT_EQ(KV318_DI(h_), 5);
    EXPECT_EQ(KV318_CRun(h_), 0);
    EXPECT_GE(KV318_CRead(h_), 0);
    EXPECT_EQ(KV318_PRun(h_, 0, 100), 0);
    EXPECT_EQ(KV318_PStop(h_), 0);
    const BoardStats after = client_.stats();
    EXPECT_EQ(after.unknown, 0u);
    EXPECT_GE(after.requests, 12u);
    EXPECT_EQ(after.failed, 0u);

    // A sixth function of the family, and another device type.
    for (DWORD code : {0x222014ul, 0x00224000ul, 0x0022200Dul}) {
        SCOPED_TRACE(code);
        unsigned char in[16] = {0x80, 8}, out[64];
        DWORD got = 99;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(client_.handle(), code, in, sizeof in, out, sizeof out, &got, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
    const BoardStats refused = client_.stats();
    EXPECT_EQ(refused.unknown, 3u);
    EXPECT_EQ(refused.lastUnknown, 0x0022200Du);
}

TEST_F(KernelPath, BufferedRequestsKeepTheirLayouts) {
    // The two forms no export sends, straight to the device: a bulk write
    // reports its length, a command with payload works the register file.
    unsigned char in[80] = {}, out[64] = {};
    DWORD got = 0;
    in[0] = 3;  // length 3, then the payload from byte 4
    in[4] = 'a';
    ASSERT_TRUE(DeviceIoControl(client_.handle(), kBulkWrite, in, 3 + 8, out, 8, &got, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(out[0], 3);
    std::memset(in, 0, sizeof in);
    in[0] = 0x90;  // write8 register 33 = 0x77, with a 2-byte payload
    in[1] = 2;
    in[2] = 33;
    in[3] = 0x77;
    ASSERT_TRUE(DeviceIoControl(client_.handle(), kCommandPayload, in, 80, out, 64, &got, nullptr));
    EXPECT_EQ(KV318_inb(h_, 33), 0x77);
    // A command input shorter than its form is refused.
    ASSERT_FALSE(DeviceIoControl(client_.handle(), kCommand, in, 15, out, 64, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace kv318::driver_test
