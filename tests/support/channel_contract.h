// What every transport of the driver channel must do, written once and run
// against each: the test file of a transport includes this header once and
// instantiates the suite with its own driver type, e.g.
//   INSTANTIATE_TYPED_TEST_SUITE_P(Socket, ChannelContract, SocketDriver);
// The driver type starts serving in its constructor and stops in its
// destructor, and offers board(), set_action(DriverAction) and seen() over
// a ScriptedDriver.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "KV318.h"
#include "requests.h"
#include "scripted_driver.h"

namespace kv318::test {

template <class Driver>
class ChannelContract : public ::testing::Test {};
TYPED_TEST_SUITE_P(ChannelContract);

TYPED_TEST_P(ChannelContract, RequestsAndRepliesCross) {
    TypeParam driver;
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    EXPECT_EQ(KV318_inb(h, 0x104), 0xA0);
    std::uint8_t buffer[32];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(KV318_BulkRead(h, buffer, 3), 4) << "a capacity of 4 caps the driver's 5 bytes";
    EXPECT_EQ(buffer[3], 0xA3);
    EXPECT_EQ(buffer[4], 0xEE);
    EXPECT_EQ(KV318_CloseDevice(h), 0);

    const auto seen = driver.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].header.code, kIoctlCommand);
    EXPECT_EQ(seen[0].header.outCap, 64u);
    EXPECT_EQ(seen[0].in, (std::vector<std::uint8_t>{0x80, 8, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(seen[1].header.code, kIoctlBulkRead);
    EXPECT_EQ(seen[1].header.outCap, 4u);
    EXPECT_EQ(seen[1].in, (std::vector<std::uint8_t>{3, 0, 0, 0, 0, 0, 0, 0}));
}

TYPED_TEST_P(ChannelContract, DriverFailureFailsOnlyThatRequest) {
    TypeParam driver;
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    driver.set_action(DriverAction::Fail);
    EXPECT_EQ(KV318_inb(h, 1), -1);
    driver.set_action(DriverAction::Reply);
    EXPECT_EQ(KV318_inb(h, 1), 0xA0) << "a clean failure reply keeps the frame";
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TYPED_TEST_P(ChannelContract, BrokenRepliesFailAndBreakTheHandle) {
    const struct {
        DriverAction action;
        const char* what;
    } cases[] = {
        {DriverAction::CountOverCapacity, "count over capacity"},
        {DriverAction::ShortFrame, "short frame"},
        {DriverAction::Close, "closed connection"},
        {DriverAction::Silence, "silence"},
    };
    for (const auto& c : cases) {
        TypeParam driver;
        const std::int32_t h = KV318_OpenDevice(driver.board());
        ASSERT_NE(h, -1) << c.what;
        driver.set_action(c.action);
        std::uint8_t buffer[16];
        std::memset(buffer, 0xEE, sizeof buffer);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KV318_BulkRead(h, buffer, 4), -1) << c.what;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(10)) << c.what << ": the channel's timeout bounds the wait";
        EXPECT_EQ(buffer[5], 0xEE) << c.what << ": nothing lands past the capacity";
        // The handle is broken now: later requests fail at once and reach no driver.
        driver.set_action(DriverAction::Reply);
        const std::size_t before = driver.seen().size();
        EXPECT_EQ(KV318_inb(h, 0), -1) << c.what;
        EXPECT_EQ(KV318_DI(h), 65535) << c.what;
        EXPECT_EQ(driver.seen().size(), before) << c.what;
        EXPECT_EQ(KV318_CloseDevice(h), 0) << c.what;
    }
}

TYPED_TEST_P(ChannelContract, BytesAfterAWholeReplyBreakTheHandle) {
    TypeParam driver;
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    driver.set_action(DriverAction::ReplyAndMore);
    EXPECT_EQ(KV318_inb(h, 0x42), 0xA0) << "the reply itself is whole";
    driver.set_action(DriverAction::Reply);
    // The extra bytes would be read as the next reply, and every reply after
    // it would answer the request before.
    EXPECT_EQ(KV318_inb(h, 0x42), -1);
    EXPECT_EQ(KV318_inb(h, 0x42), -1) << "the handle stays broken";
    EXPECT_EQ(driver.seen().size(), 1u) << "nothing is sent after the extra bytes";
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

TYPED_TEST_P(ChannelContract, TwoThreadsOnOneHandleGetTheirOwnReplies) {
    TypeParam driver;
    driver.set_action(DriverAction::Echo);
    const std::int32_t h = KV318_OpenDevice(driver.board());
    ASSERT_NE(h, -1);
    std::atomic<int> wrong{0};
    auto poll = [&](int reg) {
        for (int i = 0; i < 300; ++i)
            if (KV318_inb(h, reg) != reg) ++wrong;
    };
    std::thread a(poll, 0x11);
    std::thread b(poll, 0x22);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0) << "interleaved frames hand one thread the other's reply";
    EXPECT_EQ(driver.seen().size(), 600u);
    EXPECT_EQ(KV318_CloseDevice(h), 0);
}

REGISTER_TYPED_TEST_SUITE_P(ChannelContract, RequestsAndRepliesCross, DriverFailureFailsOnlyThatRequest,
                            BrokenRepliesFailAndBreakTheHandle, BytesAfterAWholeReplyBreakTheHandle,
                            TwoThreadsOnOneHandleGetTheirOwnReplies);

}  // namespace kv318::test
