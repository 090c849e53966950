// One board kv318-server serves: its handle, the acquisition running on it
// and the thread that reads that acquisition and cuts it into blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board_api.h"
#include "reader.h"
#include "wire.h"

namespace kv318::server {

// Where finished blocks go: the publish socket in the program, a list in
// the tests.  Called from every board's reading thread and from the control
// thread (idle blocks), so an implementation serialises the calls itself.
// It must never wait for a subscriber: a block nobody can take now is
// dropped, and the subscriber sees the jump in the sample index.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    // `block` is an encoded block (remote::encode_block); the sink copies
    // what it keeps.
    virtual void publish(const std::vector<std::uint8_t>& block) = 0;
};

// What a controller asks for when it starts an acquisition.
struct StartRequest {
    bool polled = false;
    std::int32_t flags[4] = {0, 0, 0, 0};
    std::int32_t divider = 50;
    std::uint64_t clockHz = 2'000'000;
    std::uint64_t fifoBytes = 524'288;
};

// A block carries samples for at least this long, and is sent at the
// latest this long after its first sample was read, so a follower's
// display moves smoothly and a block stays well under a megabyte at the
// top rate (26 MB/s x 25 ms = 650 KB).
inline constexpr int kBlockMs = 25;
inline constexpr int kBlockMaxWaitMs = 50;

class BoardHost {
public:
    // `api` and `sink` outlive the host; `handle` is an open handle of
    // `board`, which the host closes when it is destroyed.
    BoardHost(const pipeline::BoardApi& api, std::int32_t handle, std::uint16_t board, BlockSink& sink);
    ~BoardHost();
    BoardHost(const BoardHost&) = delete;
    BoardHost& operator=(const BoardHost&) = delete;

    // The control thread calls everything below.

    // Starts an acquisition (KV318_AD or KV318_M_AD) and the thread that
    // publishes it.  Returns the export's result; below 0 nothing runs.
    // Must not be called while running().
    std::int32_t start(const StartRequest& request);
    // Ends the acquisition: the reading thread publishes the end-of-stream
    // block and ends, then KV318_StopAD (or KV318_M_StopAD) runs.  Returns
    // its result; -1 with nothing done when no acquisition was started.
    std::int32_t stop();
    // An acquisition was started and not stopped (it may have ended on a
    // failure meanwhile: then ended() is true too).
    bool running() const { return started_; }
    // The reading thread has ended on its own (a failure of the board).
    bool ended() const { return ended_.load(std::memory_order_acquire); }
    // Publishes an idle block (no samples) when no acquisition runs, or
    // the one started has ended on its own.
    void publish_idle();

    std::uint16_t board() const { return board_; }
    std::int32_t handle() const { return handle_; }
    std::uint32_t stream() const { return stream_; }
    bool polled() const { return request_.polled; }
    const StartRequest& request() const { return request_; }
    // The index the next block will start at.
    std::uint64_t next_index() const { return nextIndex_.load(std::memory_order_acquire); }
    const pipeline::BoardApi& api() const { return api_; }

private:
    void pump();
    remote::BlockHeader header(std::uint32_t flags) const;
    void send(std::vector<std::int16_t>& pending, std::uint32_t flags);

    const pipeline::BoardApi& api_;
    const std::int32_t handle_;
    const std::uint16_t board_;
    BlockSink& sink_;

    // Set by the control thread only.
    bool started_ = false;
    std::uint32_t stream_ = 0;
    StartRequest request_;
    std::thread thread_;
    // Used by the reading thread while it runs, and by the control thread
    // to start and stop it, never both at once (the thread is joined
    // before a stop).
    pipeline::Reader reader_;

    // Written by the control thread before it joins the reading thread, read
    // by that thread between reads; release/acquire.
    std::atomic<bool> stopRequested_{false};
    // Written by the reading thread when it ends on its own, read by the
    // control thread; release/acquire.
    std::atomic<bool> ended_{false};
    // Written by the reading thread after each block, read by the control
    // thread (status); release/acquire.
    std::atomic<std::uint64_t> nextIndex_{0};
    // Whether the drain statistics have said the FIFO may have run over:
    // written and read by the reading thread only (it sets the flag on every
    // block from then on).
    bool fifoRisk_ = false;
};

}  // namespace kv318::server
