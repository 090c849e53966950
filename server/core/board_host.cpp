#include "board_host.h"

#include <algorithm>
#include <chrono>

#include "fifo_verdict.h"

namespace kv318::server {

namespace {

using Clock = std::chrono::steady_clock;

// The reading thread visits the library's ring this often.  A drain of the
// library's timer that finds the reader converting is skipped whole, so the
// reader keeps out of its way between visits; every visit brings about one
// block's worth.
constexpr auto kReadPeriod = std::chrono::milliseconds(kBlockMs);
// Polled mode: an empty FIFO is asked again after this long.
constexpr auto kPollIdle = std::chrono::milliseconds(2);

// What a failed read means, as a block flag.  Polled reads report a failed
// transfer and a disabled converter both as -1, and a timer-driven read
// says "not enabled" also when the status read behind it failed; the status
// register tells them apart (bit 2 set: enabled).
std::uint32_t failure_flag(const pipeline::BoardApi& api, std::int32_t handle, bool polled, std::int32_t n) {
    if (n == -2) return remote::kFlagRingOverflow;
    const std::int32_t status = api.inb(handle, 0);
    if (status < 0) return remote::kFlagTransferFault;
    if (polled) return (status & 0x04) == 0 ? remote::kFlagNotEnabled : remote::kFlagTransferFault;
    return n == -1 ? remote::kFlagNotEnabled : remote::kFlagTransferFault;
}

}  // namespace

std::int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

BoardHost::BoardHost(const pipeline::BoardApi& api, std::int32_t handle, std::uint16_t board, BlockSink& sink)
    : api_(api), handle_(handle), board_(board), sink_(sink) {}

BoardHost::~BoardHost() {
    if (started_) stop();
    api_.close(handle_);
}

std::int32_t BoardHost::start(const StartRequest& r) {
    const std::int32_t* f = r.flags;
    const std::int32_t result = r.polled ? api_.mAd(handle_, f[0], f[1], f[2], f[3], r.divider)
                                         : api_.ad(handle_, f[0], f[1], f[2], f[3], r.divider);
    if (result < 0) return result;
    request_ = r;
    started_ = true;
    ++stream_;
    nextIndex_.store(0, std::memory_order_release);
    stopRequested_.store(false, std::memory_order_release);
    ended_.store(false, std::memory_order_release);
    fifoRisk_ = false;
    thread_ = std::thread([this] { pump(); });
    return result;
}

std::int32_t BoardHost::stop() {
    if (!started_) return -1;
    stopRequested_.store(true, std::memory_order_release);
    if (thread_.joinable()) thread_.join();
    started_ = false;
    return request_.polled ? api_.mStopAd(handle_) : api_.stopAd(handle_);
}

void BoardHost::publish_idle() {
    if (started_) return;
    remote::BlockHeader h;
    h.board = board_;
    h.flags = remote::kFlagIdle;
    h.hostTimeUs = wall_clock_us();
    sink_.publish(remote::encode_block(h, nullptr));
}

remote::BlockHeader BoardHost::header(std::uint32_t flags) const {
    remote::BlockHeader h;
    h.board = board_;
    h.stream = stream_;
    h.firstIndex = nextIndex_.load(std::memory_order_relaxed);
    h.flags = flags | (request_.polled ? remote::kFlagPolled : 0u) | (fifoRisk_ ? remote::kFlagFifoLoss : 0u);
    h.clockHz = request_.clockHz;
    h.divider = static_cast<std::uint32_t>(request_.divider);
    h.hostTimeUs = wall_clock_us();
    return h;
}

void BoardHost::send(std::vector<std::int16_t>& pending, std::uint32_t flags) {
    KV318_STREAM_STATS stats{};
    if (!fifoRisk_ && pipeline::read_stream_stats(api_, handle_, &stats)) {
        fifoRisk_ = analysis::fifo_verdict(request_.clockHz, request_.divider, request_.fifoBytes, stats.longest_gap_us,
                                           stats.gap_histogram)
                        .possibleLoss;
    }
    remote::BlockHeader h = header(flags);
    h.count = static_cast<std::uint32_t>(pending.size());
    sink_.publish(remote::encode_block(h, pending.data()));
    nextIndex_.store(h.firstIndex + h.count, std::memory_order_release);
    pending.clear();
}

void BoardHost::pump() {
    const bool polled = request_.polled;
    std::vector<std::int32_t> buffer(polled ? pipeline::kPolledReadCapacity : pipeline::kReadCapacity);
    std::vector<std::int16_t> pending;
    const std::uint64_t perSecond = request_.clockHz / static_cast<std::uint64_t>(std::max(2, request_.divider));
    const std::size_t blockSamples = static_cast<std::size_t>(std::max<std::uint64_t>(1, perSecond * kBlockMs / 1000));
    pending.reserve(blockSamples * 2);
    std::int32_t carry = 0;
    auto firstAt = Clock::now();
    auto nextRead = Clock::now();
    while (!stopRequested_.load(std::memory_order_acquire)) {
        const std::int32_t n =
            polled ? api_.mRead(handle_, buffer.data(), &carry, 0) : api_.read(handle_, buffer.data());
        if (n < 0) {
            send(pending, failure_flag(api_, handle_, polled, n) | remote::kFlagEndOfStream);
            ended_.store(true, std::memory_order_release);
            return;
        }
        const auto now = Clock::now();
        if (n > 0 && pending.empty()) firstAt = now;
        for (std::int32_t i = 0; i < n; ++i) pending.push_back(static_cast<std::int16_t>(buffer[i]));
        if (!pending.empty() &&
            (pending.size() >= blockSamples || now - firstAt >= std::chrono::milliseconds(kBlockMaxWaitMs))) {
            send(pending, 0);
        }
        if (polled) {
            if (n == 0) std::this_thread::sleep_for(kPollIdle);
        } else {
            nextRead = std::max(nextRead + kReadPeriod, now);
            std::this_thread::sleep_until(nextRead);
        }
    }
    send(pending, remote::kFlagEndOfStream);
}

}  // namespace kv318::server
