// A stream drained by the real Linux timer thread from a fast substitute
// board while a reader thread reads, with every sample checked.  Meant to
// run under ThreadSanitizer too.  (The timer's own schedule and contract are
// tested with the other timers, in tests/timer.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "KV318.h"
#include "acquisition_common.h"
#include "register_map.h"
#include "board_model.h"
#include "manual_timer.h"
#include "recording_device.h"
#include "requests.h"
#include "wait.h"

namespace kv318::test {
namespace {

using Clock = std::chrono::steady_clock;

// A board that produces a known stream as fast as it is drained: sample j
// is v(j), and the FIFO always reports the largest level it can fill.  Like
// a real board's FIFO it holds back what the host has no room for: it
// reports no level while the reader is 1 MiB behind, so a reader thread held
// off the processor delays the stream but cannot overflow the ring.  How
// fast the library drains is a benchmark's question; this test is about
// every byte crossing the two threads once and in order.  Its top level
// code is the test's choice: up to 32 KiB the timer keeps its 10 ms period,
// and the top level (256 KiB) moves it to 2 ms and, as the stream runs
// out, back.
class FastBoard {
public:
    static constexpr std::int64_t kTotal = 3 * 1024 * 1024 + 777;  // beyond the ring: both positions wrap
    // The most the reader may be behind before the board holds back; one
    // drain adds at most a level (256 KiB) and a reply over it, so the ring
    // never holds more than about 1 MiB + 272 KiB of its 2 MiB.
    static constexpr std::int64_t kBacklog = 1024 * 1024;

    static std::int16_t v(std::int64_t j) { return static_cast<std::int16_t>(j * 40503 + 12345); }

    FastBoard(RecordingDevice& dev, std::uint32_t topCode) : topCode_(topCode) {
        dev.set_handler([this](const Request& r) { return answer(r); });
    }
    bool done() const { return done_.load(); }
    // The reader has taken `bytes` bytes of the stream so far.
    void taken(std::int64_t bytes) { taken_.store(bytes); }
    std::int64_t produced() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_;
    }

private:
    Reply answer(const Request& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (r.code == kIoctlBulkRead) {
            std::uint32_t length = 0;
            parse_bulk_read(r.in.data(), r.in.size(), &length);
            // Replies of every shape: over the chunk, odd, one byte, empty.
            static constexpr std::int64_t kShapes[] = {-1, 3, 1, 0, 5001, -2, 777};
            const std::int64_t shape = kShapes[replies_++ % std::size(kShapes)];
            std::int64_t n = shape == -1 ? length + 1 : shape == -2 ? length : shape;
            n = std::min(n, kTotal - next_);
            std::vector<std::uint8_t> data(static_cast<std::size_t>(n));
            for (auto& b : data) {
                const auto s = static_cast<std::uint16_t>(v(next_ / 2));
                b = static_cast<std::uint8_t>(next_ % 2 == 0 ? s & 0xFF : s >> 8);
                ++next_;
            }
            return Reply::bytes(std::move(data));
        }
        CommandRequest c{};
        parse_command(r.in.data(), r.in.size(), &c);
        if (c.code == kCmdRead8 && c.values[0] == 0) {
            // The largest level the remaining bytes can fill; 0 once fewer
            // than 1024 are left (they stay on the board).
            std::uint32_t code = 0;
            for (std::uint32_t k = 1; k <= topCode_; ++k)
                if (kFifoLevels[k] <= kTotal - next_) code = k;
            if (code == 0) done_ = true;
            if (next_ - taken_.load() >= kBacklog) code = 0;
            return register_reply(0x04 | (code << 4));
        }
        return register_reply(0);
    }

    const std::uint32_t topCode_;
    mutable std::mutex mutex_;
    std::int64_t next_ = 0;
    std::uint64_t replies_ = 0;
    std::atomic<bool> done_{false};
    // Stored by the reader thread after each read, loaded by the timer
    // thread in the status reply.  One value with nothing else to order, so
    // no lock; a stale value only holds the board back a tick longer.
    std::atomic<std::int64_t> taken_{0};
};

TEST(StreamConcurrency, EverySampleArrivesOnceAndInOrder) {
    struct Case {
        const char* what;
        std::uint32_t topCode;
    };
    const Case cases[] = {{"levels up to 32 KiB, the 10 ms period", 4},
                          {"levels up to 256 KiB, the 2 ms period and back", 7}};
    for (const Case& c : cases) {
        RecordingDevice dev;
        FastBoard board(dev, c.topCode);
        constexpr Handle kH = 0x23;
        ASSERT_EQ(KV318_AD(kH, 0, 0, 0, 0, 50), 0) << c.what;

        std::int64_t got = 0;
        std::int64_t wrong = -1;  // the first sample that differs
        std::int32_t failure = 0;
        std::thread reader([&] {
            std::vector<std::int32_t> samples(KV318_READ_MAX_SAMPLES);
            const auto deadline = Clock::now() + std::chrono::seconds(120);
            while (Clock::now() < deadline) {
                const std::int32_t n = KV318_Read(kH, samples.data());
                if (n < 0) {
                    failure = n;
                    return;
                }
                for (std::int32_t i = 0; i < n && wrong < 0; ++i)
                    if (samples[static_cast<std::size_t>(i)] != FastBoard::v(got + i)) wrong = got + i;
                got += n;
                board.taken(2 * got);
                if (wrong >= 0) return;
                if (n == 0) {
                    if (board.done() && got == board.produced() / 2) return;
                    std::this_thread::yield();
                }
            }
        });
        reader.join();
        EXPECT_EQ(KV318_StopAD(kH), 0) << c.what;

        EXPECT_EQ(failure, 0) << c.what << ": no overflow, no fault";
        EXPECT_EQ(wrong, -1) << c.what << ": first wrong sample";
        EXPECT_TRUE(board.done()) << c.what;
        EXPECT_GT(board.produced(), FastBoard::kTotal - 1024) << c.what;
        EXPECT_EQ(got, board.produced() / 2) << c.what << ": nothing lost, nothing doubled";
        EXPECT_EQ(RingCount, board.produced() % 2) << c.what << ": only an odd last byte is left";
        KV318_STREAM_STATS st{};
        st.size = sizeof st;
        ASSERT_EQ(KV318_StreamStats(kH, &st), 0);
        EXPECT_EQ(st.top_level_drains > 0, c.topCode == 7) << c.what;
    }
}

// Two threads that start at the same moment: exactly one start succeeds,
// the other is refused before it sends anything, and one stop ends it all
// (for a stream: exactly one timer, cancelled).  Both threads are released
// together from a spin, so their claims really race; under ThreadSanitizer
// this also proves the claim leaves no data race behind.
TEST(StartConcurrency, OfTwoStartsAtOnceExactlyOneWins) {
    struct Mode {
        const char* name;
        decltype(&KV318_AD) start;
        decltype(&KV318_StopAD) stop;
        bool timer;
    };
    const Mode modes[] = {{"KV318_AD", KV318_AD, KV318_StopAD, true},
                          {"KV318_M_AD", KV318_M_AD, KV318_M_StopAD, false}};
    RecordingDevice dev;
    BoardModel board(dev);
    ManualTimer timer;
    constexpr Handle kH = 0x24;
    for (const Mode& m : modes) {
        for (int round = 0; round < 20; ++round) {
            dev.clear();
            std::atomic<int> ready{0};
            std::atomic<bool> go{false};
            std::int32_t results[2] = {};
            std::thread threads[2];
            for (int t = 0; t < 2; ++t) {
                threads[t] = std::thread([&, t] {
                    ready.fetch_add(1);
                    while (!go.load()) std::this_thread::yield();
                    results[t] = m.start(kH + t, 0, 0, 0, 0, 50);
                });
            }
            while (ready.load() < 2) std::this_thread::yield();
            go.store(true);
            for (std::thread& t : threads) t.join();
            const int winner = results[0] == 0 ? 0 : 1;
            EXPECT_EQ(results[winner], 0) << m.name << " round " << round;
            EXPECT_EQ(results[1 - winner], -1) << m.name << " round " << round;
            for (const Request& r : dev.requests())
                EXPECT_EQ(r.handle, kH + winner) << m.name << " round " << round << ": the loser sent nothing";
            if (m.timer) {
                EXPECT_EQ(timer.created().size(), static_cast<std::size_t>(round + 1)) << "one timer per round";
                EXPECT_EQ(AcqDevice, kH + winner);
            }
            EXPECT_EQ(m.stop(kH + winner), 0);
            EXPECT_FALSE(timer.live()) << m.name << " round " << round;
        }
    }
    EXPECT_EQ(timer.created().size(), timer.cancelled().size()) << "every timer was cancelled";
}

}  // namespace
}  // namespace kv318::test
