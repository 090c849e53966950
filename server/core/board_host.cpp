#include "board_host.h"

#include <algorithm>
#include <chrono>

#include "fifo_verdict.h"

namespace kv318::server {

namespace {

using Clock = std::chrono::steady_clock;

// The flag a block carries for the way a run ended.
std::uint32_t end_flag(pipeline::ReadEnd end) {
    switch (end) {
    case pipeline::ReadEnd::kRingOverflow:
        return remote::kFlagRingOverflow;
    case pipeline::ReadEnd::kNotEnabled:
        return remote::kFlagNotEnabled;
    case pipeline::ReadEnd::kTransferFault:
        return remote::kFlagTransferFault;
    case pipeline::ReadEnd::kNone:
        break;
    }
    return 0;
}

}  // namespace

BoardHost::BoardHost(const pipeline::BoardApi& api, std::int32_t handle, std::uint16_t board, BlockSink& sink)
    : api_(api), handle_(handle), board_(board), sink_(sink), reader_(api, handle) {}

BoardHost::~BoardHost() {
    if (started_) stop();
    api_.close(handle_);
}

std::int32_t BoardHost::start(const StartRequest& r) {
    pipeline::ReaderSettings settings;
    settings.polled = r.polled;
    std::copy(r.flags, r.flags + 4, settings.flags);
    settings.divider = r.divider;
    // Every visit brings about one block's worth.
    settings.period = std::chrono::milliseconds(kBlockMs);
    const std::int32_t result = reader_.start(settings);
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
    return reader_.stop();
}

void BoardHost::publish_idle() {
    // A run that ended on a failure sends nothing more, but its followers
    // and the clients that open the board meanwhile must still hear the
    // server, or they would take its silence for a server gone.
    if (started_ && !ended()) return;
    remote::BlockHeader h;
    h.board = board_;
    h.flags = remote::kFlagIdle;
    h.hostTimeUs = pipeline::wall_clock_us();
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
    h.hostTimeUs = pipeline::wall_clock_us();
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
    std::vector<std::int16_t> pending;
    const std::uint64_t perSecond = request_.clockHz / static_cast<std::uint64_t>(std::max(2, request_.divider));
    const std::size_t blockSamples = static_cast<std::size_t>(std::max<std::uint64_t>(1, perSecond * kBlockMs / 1000));
    pending.reserve(blockSamples * 2);
    auto firstAt = Clock::now();
    pipeline::ReadBlock block;
    while (!stopRequested_.load(std::memory_order_acquire)) {
        if (!reader_.next(&block, stopRequested_)) {
            send(pending, end_flag(reader_.end()) | remote::kFlagEndOfStream);
            ended_.store(true, std::memory_order_release);
            return;
        }
        const auto now = Clock::now();
        if (block.count > 0 && pending.empty()) firstAt = now;
        for (std::size_t i = 0; i < block.count; ++i) pending.push_back(static_cast<std::int16_t>(block.samples[i]));
        if (!pending.empty() &&
            (pending.size() >= blockSamples || now - firstAt >= std::chrono::milliseconds(kBlockMaxWaitMs))) {
            send(pending, 0);
        }
    }
    send(pending, remote::kFlagEndOfStream);
}

}  // namespace kv318::server
