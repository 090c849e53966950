// A board for the acquisition tests, answering the recording device's
// requests: register reads and writes, and bulk reads served from a script
// of reply sizes.  Every byte it hands out comes from one pseudo-random
// stream and is kept, so a test can check samples against exactly what the
// board delivered.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "recording_device.h"
#include "requests.h"

namespace kv318::test {

constexpr std::uint32_t status_with_level(std::uint32_t code, bool enabled = true) {
    return (enabled ? 0x04u : 0u) | (code << 4);
}

class BoardModel {
public:
    static constexpr int kFail = -1;

    explicit BoardModel(RecordingDevice& dev) {
        dev.set_handler([this](const Request& r) { return answer(r); });
    }

    // The status register's value; kFail makes its reads fail.
    void set_status(int value) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = value;
    }
    // Makes the register request (code, reg) fail, or succeed again.
    void set_failing(std::uint8_t code, std::uint8_t reg, bool fails) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fails) failing_.insert({code, reg});
        else failing_.erase({code, reg});
    }
    // Queues bulk replies: a byte count, or kFail for a failed request.
    void queue_bulk(std::initializer_list<int> sizes) {
        std::lock_guard<std::mutex> lock(mutex_);
        bulk_.insert(bulk_.end(), sizes);
    }
    void queue_bulk_n(int size, int times) {
        std::lock_guard<std::mutex> lock(mutex_);
        bulk_.insert(bulk_.end(), static_cast<std::size_t>(times), size);
    }
    std::size_t bulk_left() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bulk_.size();
    }
    // Called before each bulk reply, outside the board's lock (a test may block in it).
    void set_before_bulk(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        beforeBulk_ = std::move(hook);
    }
    // Called before every request is answered, outside the board's lock
    // (a test may block in it or move the clock).
    void set_before_request(std::function<void(const Request&)> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        beforeRequest_ = std::move(hook);
    }
    // Every byte handed out by bulk replies, in order.
    std::vector<std::uint8_t> delivered() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return delivered_;
    }

private:
    Reply answer(const Request& r) {
        std::function<void(const Request&)> before;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            before = beforeRequest_;
        }
        if (before) before(r);
        if (r.code == kIoctlBulkRead) {
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                hook = beforeBulk_;
            }
            if (hook) hook();
            std::lock_guard<std::mutex> lock(mutex_);
            if (bulk_.empty()) {
                ADD_FAILURE() << "bulk read beyond the script";
                return Reply::fail();
            }
            const int size = bulk_.front();
            bulk_.pop_front();
            if (size == kFail) return Reply::fail();
            std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
            for (auto& b : data) {
                seed_ = seed_ * 1103515245u + 12345u;
                b = static_cast<std::uint8_t>(seed_ >> 16);
            }
            delivered_.insert(delivered_.end(), data.begin(), data.end());
            return Reply::bytes(std::move(data));
        }
        CommandRequest c{};
        if (r.code != kIoctlCommand || !parse_command(r.in.data(), r.in.size(), &c)) return Reply::fail();
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint8_t reg = c.code == kCmdResetUsb ? 0 : c.values[0];
        if (failing_.count({c.code, reg}) != 0) return Reply::fail();
        if (c.code == kCmdRead8 && reg == 0) {
            if (status_ == kFail) return Reply::fail();
            return register_reply(static_cast<std::uint32_t>(status_));
        }
        return register_reply(0);
    }

    mutable std::mutex mutex_;
    int status_ = static_cast<int>(status_with_level(0));
    std::set<std::pair<std::uint8_t, std::uint8_t>> failing_;
    std::deque<int> bulk_;
    std::function<void()> beforeBulk_;
    std::function<void(const Request&)> beforeRequest_;
    std::uint32_t seed_ = 0x2545F491u;
    std::vector<std::uint8_t> delivered_;
};

// The samples a run of bytes converts to: pairs from the start, low byte first.
inline std::vector<std::int32_t> expected_samples(const std::vector<std::uint8_t>& bytes, std::size_t from = 0) {
    std::vector<std::int32_t> s;
    for (std::size_t i = from; i + 1 < bytes.size(); i += 2)
        s.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return s;
}

// The bulk reads among `requests`: the length asked for (bytes 0-3) and the capacity offered.
struct BulkAsk {
    std::uint32_t length;
    std::uint32_t capacity;
    bool operator==(const BulkAsk&) const = default;
};
inline std::vector<BulkAsk> bulk_asks(const std::vector<Request>& requests) {
    std::vector<BulkAsk> asks;
    for (const Request& r : requests) {
        if (r.code != kIoctlBulkRead) continue;
        std::uint32_t length = 0;
        EXPECT_TRUE(parse_bulk_read(r.in.data(), r.in.size(), &length));
        asks.push_back({length, r.outCap});
    }
    return asks;
}

}  // namespace kv318::test
