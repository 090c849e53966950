#include "board_host.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "disconnection.h"
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

BoardHost::BoardHost(const pipeline::BoardApi& api, std::int32_t handle, std::uint16_t board, BlockSink& sink,
                     BoardOpener open, bool listed)
    : api_(api), handle_(-1), board_(board), sink_(sink), open_(std::move(open)), listed_(listed), wall_([] {
          return std::time(nullptr);
      }) {
    if (!open_) open_ = [&api](std::uint16_t b) { return api.open(b); };
    disconnectedSince_ = wall_();
    if (handle >= 0) attach(handle);
}

BoardHost::~BoardHost() {
    if (started_) stop();
    if (handle_ >= 0) api_.close(handle_);
}

bool BoardHost::answers() const { return handle_ >= 0 && pipeline::board_answers(api_, handle_); }

void BoardHost::attach(std::int32_t handle) {
    handle_ = handle;
    reader_ = std::make_unique<pipeline::Reader>(api_, handle);
    lost_.store(false, std::memory_order_release);
    listed_ = true;
    ++connections_;
    // The board that came back may be another one under the same number.
    char text[512] = {};
    identity_ = api_.info(handle, text) >= 0 ? std::string(text, strnlen(text, sizeof text - 1)) : std::string();
    nextProbeMs_ = lastWatchMs_ + kProbeMs;
}

void BoardHost::drop() {
    // The reading thread has ended, or ends at its next read, which fails,
    // or at the stop: its last block then says the board went away too.
    dropping_.store(true, std::memory_order_release);
    if (started_) stop();
    dropping_.store(false, std::memory_order_relaxed);
    api_.close(handle_);
    handle_ = -1;
    reader_.reset();
    disconnectedSince_ = wall_();
    nextOpenMs_ = lastWatchMs_ + pipeline::kReopenMs;
    // The stream's last block goes out only now that the board is marked
    // disconnected, so a client that asks after it hears the same.
    if (lost_.load(std::memory_order_acquire)) {
        send(lastBlock_, lastFlags_);
        lost_.store(false, std::memory_order_relaxed);
    }
}

BoardChange BoardHost::watch(std::int64_t nowMs) {
    lastWatchMs_ = nowMs;
    if (handle_ < 0) {
        if (nowMs < nextOpenMs_) return BoardChange::kNone;
        nextOpenMs_ = nowMs + pipeline::kReopenMs;
        const std::int32_t h = open_(board_);
        if (h < 0) return BoardChange::kNone;
        attach(h);
        return BoardChange::kBack;
    }
    bool gone = lost_.load(std::memory_order_acquire);
    // A running stream's reads watch the board themselves.
    if (!gone && (!started_ || ended()) && nowMs >= nextProbeMs_) {
        nextProbeMs_ = nowMs + kProbeMs;
        gone = !answers();
    }
    if (!gone) return BoardChange::kNone;
    drop();
    return BoardChange::kLost;
}

bool BoardHost::still_answers() {
    if (handle_ < 0) return false;
    if (answers()) return true;
    drop();
    return false;
}

std::string BoardHost::disconnected_text() const {
    return pipeline::disconnected_text(board_, disconnectedSince_, kDisconnectedThen);
}

remote::Message BoardHost::disconnected_reply() const {
    return remote::error_reply(remote::code::kDisconnected, disconnected_text());
}

std::int32_t BoardHost::start(const StartRequest& r) {
    if (handle_ < 0) return -1;
    pipeline::ReaderSettings settings;
    settings.polled = r.polled;
    std::copy(r.flags, r.flags + 4, settings.flags);
    settings.divider = r.divider;
    // Every visit brings about one block's worth.
    settings.period = std::chrono::milliseconds(kBlockMs);
    const std::int32_t result = reader_->start(settings);
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
    return reader_->stop();
}

void BoardHost::publish_idle() {
    // A run that ended on a failure sends nothing more, but its followers
    // and the clients that open the board meanwhile must still hear the
    // server, or they would take its silence for a server gone.
    if (started_ && !ended()) return;
    // A board never seen is nobody's business yet.
    if (!listed_) return;
    remote::BlockHeader h;
    h.board = board_;
    h.flags = remote::kFlagIdle | (handle_ < 0 ? remote::kFlagDisconnected : 0u);
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
        if (!reader_->next(&block, stopRequested_)) {
            std::uint32_t flags = end_flag(reader_->end()) | remote::kFlagEndOfStream;
            // A failed read is the first sign of a board that went away: one
            // that then does not answer is gone, and its followers are told.
            // Its last block waits for the control thread (drop()).
            if (!answers()) {
                lastBlock_ = std::move(pending);
                lastFlags_ = flags | remote::kFlagDisconnected;
                lost_.store(true, std::memory_order_release);
            } else {
                send(pending, flags);
            }
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
    send(pending,
         remote::kFlagEndOfStream | (dropping_.load(std::memory_order_acquire) ? remote::kFlagDisconnected : 0u));
}

}  // namespace kv318::server
