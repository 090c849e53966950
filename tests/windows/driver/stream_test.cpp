// Analog acquisition through KV318.dll on the kernel path: the test
// driver's converter fills its FIFO with a ramp (sample n reads n modulo
// 65536) at 1 MHz / divider, so any lost, doubled or misaligned byte shows
// as a break in the ramp.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "KV318.h"
#include "driver_client.h"

namespace kv318::driver_test {
namespace {

constexpr int32_t kDivider = 50;  // 20,000 samples a second
constexpr std::size_t kOneSecond = 1000000 / kDivider;

// Large caller arrays, as the exports require; static so that a read that
// never returns (a stall test failing) cannot outlive them.
int32_t g_samples[KV318_READ_MAX_SAMPLES];

class Stream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(client_.ok()) << GetLastError();
        ASSERT_TRUE(client_.clear());
        h_ = KV318_OpenDevice(0);
        ASSERT_NE(h_, -1);
    }
    void TearDown() override {
        client_.clear();
        if (h_ != -1) KV318_CloseDevice(h_);
    }

    // Appends `n` samples to the stream seen so far, checking each one
    // continues the ramp.  Returns false at the first break.
    bool take(const int32_t* samples, int32_t n) {
        for (int32_t i = 0; i < n; ++i) {
            const auto v = static_cast<uint16_t>(samples[i]);
            if (samples[i] != static_cast<int16_t>(v)) {
                ADD_FAILURE() << "sample " << seen_ + static_cast<std::size_t>(i) << " is not sign-extended";
                return false;
            }
            if (v != static_cast<uint16_t>(next_)) {
                ADD_FAILURE() << "the ramp breaks at sample " << seen_ + static_cast<std::size_t>(i) << ": " << v
                              << " after " << static_cast<uint16_t>(next_ - 1);
                return false;
            }
            ++next_;
        }
        seen_ += static_cast<std::size_t>(n);
        return true;
    }

    DriverClient client_{0};
    int32_t h_ = -1;
    std::size_t seen_ = 0;
    uint32_t next_ = 0;
};

TEST_F(Stream, OneSecondOfTheRampArrivesWhole) {
    ASSERT_EQ(KV318_AD(h_, 0, 0, 0, 0, kDivider), 0);
    bool intact = true;
    const bool done = wait_until([&] {
        const int32_t n = KV318_Read(h_, g_samples);
        if (n < 0) {
            ADD_FAILURE() << "KV318_Read returned " << n;
            return true;
        }
        intact = intact && take(g_samples, n);
        return !intact || seen_ >= kOneSecond;
    });
    EXPECT_EQ(KV318_StopAD(h_), 0);
    EXPECT_TRUE(done) << "only " << seen_ << " samples in time";
    EXPECT_TRUE(intact);
    EXPECT_GE(seen_, kOneSecond);
    EXPECT_EQ(client_.stats().dropped, 0u) << "the FIFO overflowed";
    EXPECT_EQ(KV318_inb(h_, 0) & 0x04, 0) << "the stop ends conversion";
}

TEST_F(Stream, PolledReadsCarryTheOddByteAcrossCalls) {
    // Bulk replies of an odd length leave odd totals: the carry word must
    // put the split sample back together on the next call.
    ASSERT_TRUE(client_.reply_limit(1025));
    ASSERT_EQ(KV318_M_AD(h_, 0, 0, 0, 0, kDivider), 0);
    int32_t carry = 0;
    int carried = 0;
    bool intact = true;
    const bool done = wait_until([&] {
        const int32_t n = KV318_M_Read(h_, g_samples, &carry, 0);
        if (n < 0) {
            ADD_FAILURE() << "KV318_M_Read returned " << n;
            return true;
        }
        if (carry & 0x10000) ++carried;
        intact = intact && take(g_samples, n);
        return !intact || seen_ >= kOneSecond / 2;
    });
    EXPECT_EQ(KV318_M_StopAD(h_), 0);
    EXPECT_TRUE(done) << "only " << seen_ << " samples in time";
    EXPECT_TRUE(intact);
    EXPECT_GT(carried, 0) << "no call ended on an odd byte";
}

TEST_F(Stream, LevelCodesFollowTheFifoFill) {
    // Converting with nobody draining, the status register's level code
    // climbs with the fill: each code reached means at least its level.
    ASSERT_EQ(KV318_M_AD(h_, 0, 0, 0, 0, 2), 0);  // 500,000 samples a second
    const uint32_t levels[] = {0, 1024, 4096, 16384, 32768, 65536, 131072, 262144};
    int code = 0;
    ASSERT_TRUE(wait_until([&] {
        const int32_t s = KV318_inb(h_, 0);
        const BoardStats st = client_.stats();
        EXPECT_NE(s & 0x04, 0) << "acquisition enabled";
        const int c = (s >> 4) & 7;
        EXPECT_GE(c, code) << "the level fell while nothing drained";
        EXPECT_GE(st.fifoBytes, levels[c]);
        code = c;
        return c == 7;
    }));
    EXPECT_EQ(KV318_M_StopAD(h_), 0);
    EXPECT_EQ(KV318_inb(h_, 0) & 0x04, 0);
    EXPECT_EQ(KV318_ResetUSB(h_), 0);
    EXPECT_EQ((KV318_inb(h_, 0) >> 4) & 7, 0) << "the reset empties the FIFO";
}

TEST_F(Stream, AcquisitionFailuresGiveTheDocumentedResults) {
    // A failing step of the start sequence: -1 from either start.
    for (uint8_t command : {0x80, 0x8E, 0x90, 0x91}) {
        SCOPED_TRACE(command);
        ASSERT_TRUE(client_.fail_command(command, 1));
        EXPECT_EQ(KV318_AD(h_, 0, 0, 0, 0, kDivider), -1);
        ASSERT_TRUE(client_.fail_command(command, 1));
        EXPECT_EQ(KV318_M_AD(h_, 0, 0, 0, 0, kDivider), -1);
        ASSERT_TRUE(client_.clear());
    }

    // A bulk read failing inside the timer: -3 until the stop, then 0.
    // Failing from the start, so that nothing reaches the ring.
    ASSERT_TRUE(client_.fail_request(kBulkRead, 0));
    ASSERT_EQ(KV318_AD(h_, 0, 0, 0, 0, kDivider), 0);
    EXPECT_TRUE(wait_until([&] { return KV318_Read(h_, g_samples) == -3; }));
    EXPECT_EQ(KV318_Read(h_, g_samples), -3);
    // The failure stays until the stop: a bulk read that succeeded between
    // the two would leave bytes in the ring, and a read of those after the
    // stop rightly says acquisition is off (-1).
    EXPECT_EQ(KV318_StopAD(h_), 0);
    ASSERT_TRUE(client_.clear());
    EXPECT_EQ(KV318_Read(h_, g_samples), 0);

    // A polled bulk read failing: -1, and the carry word kept.
    ASSERT_EQ(KV318_M_AD(h_, 0, 0, 0, 0, kDivider), 0);
    ASSERT_TRUE(wait_until([&] { return client_.stats().fifoBytes >= 1024; }));
    ASSERT_TRUE(client_.fail_request(kBulkRead, 1));
    int32_t carry = 0x100AB;
    EXPECT_EQ(KV318_M_Read(h_, g_samples, &carry, 0), -1);
    EXPECT_EQ(carry, 0x100AB);
    EXPECT_EQ(KV318_M_StopAD(h_), 0);

    // Reads refused once conversion is off: status bit 2 clear.
    carry = 0x100AB;
    EXPECT_EQ(KV318_M_Read(h_, g_samples, &carry, 0), -1);
    EXPECT_EQ(carry, 0x100AB);
}

// A FIFO that reports a fill but hands out nothing: neither read may hang,
// and nothing is lost once the board delivers again.
TEST_F(Stream, ReadsGiveUpOnAStalledFifo) {
    static int32_t carry;
    static int32_t got;
    carry = 0;
    ASSERT_EQ(KV318_M_AD(h_, 0, 0, 0, 0, kDivider), 0);
    ASSERT_TRUE(wait_until([&] { return client_.stats().fifoBytes >= 1024; }));
    ASSERT_TRUE(client_.stall(true));
    const int32_t h = h_;
    ASSERT_TRUE(returns_within([h] { got = KV318_M_Read(h, g_samples, &carry, 0); }, 20000))
        << "KV318_M_Read hangs on a stalled FIFO";
    EXPECT_EQ(got, 0);
    ASSERT_TRUE(client_.stall(false));
    bool intact = true;
    EXPECT_TRUE(wait_until([&] {
        const int32_t n = KV318_M_Read(h_, g_samples, &carry, 0);
        intact = intact && n >= 0 && take(g_samples, n);
        return !intact || seen_ >= 4000;
    }));
    EXPECT_TRUE(intact) << "the stall lost samples";
    EXPECT_EQ(KV318_M_StopAD(h_), 0);

    // The timer's drain: KV318_Read and KV318_StopAD return while stalled.
    ASSERT_EQ(KV318_AD(h_, 0, 0, 0, 0, kDivider), 0);
    ASSERT_TRUE(client_.stall(true));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(returns_within([h] { got = KV318_Read(h, g_samples); }, 20000))
            << "KV318_Read hangs on a stalled FIFO";
        EXPECT_GE(got, 0);
        Sleep(30);
    }
    ASSERT_TRUE(returns_within([h] { KV318_StopAD(h); }, 20000)) << "KV318_StopAD hangs on a stalled FIFO";
}

}  // namespace
}  // namespace kv318::driver_test
