// One board kv318-server serves: its handle, the acquisition running on it
// and the thread that reads that acquisition and cuts it into blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
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

// How often an idle board is asked whether it still answers (one status
// register read): a board pulled while nobody streams it is noticed within
// about this long.  A stream's own reads notice it at once.
inline constexpr int kProbeMs = 1000;

// What the server says of a board that went away, after "board N is
// disconnected since HH:MM:SS; ".
inline constexpr const char* kDisconnectedThen = "kv318-server will take it back when it returns";

// Opens a board for the host: at the start, and each time it tries to take
// back a board that went away.  Returns the handle, or -1.  The control
// thread.
using BoardOpener = std::function<std::int32_t(std::uint16_t board)>;

// What a call of BoardHost::watch changed.
enum class BoardChange {
    kNone,
    kLost,  // the board stopped answering: its stream ended, its handle is closed
    kBack,  // the board was opened (again): identity() says what it is
};

class BoardHost {
public:
    // `api` and `sink` outlive the host; `handle` is an open handle of
    // `board`, which the host closes when it is destroyed, or -1 for a
    // board that is not there yet (it is disconnected since the host was
    // made).  `open` opens it again once it went away (api.open when
    // null).  A board is listed (clients see it) once it was opened, or
    // from the start when `listed` is true.
    BoardHost(const pipeline::BoardApi& api, std::int32_t handle, std::uint16_t board, BlockSink& sink,
              BoardOpener open = nullptr, bool listed = true);
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

    // Looks after the board's connection, `nowMs` a steady clock in ms:
    // closes the handle of a board that stopped answering (its stream's
    // read failed and the board did not answer after it, or an idle board
    // did not answer the probe made every kProbeMs), and tries to open a
    // board that went away every pipeline::kReopenMs.  Call it every few
    // tens of ms.
    BoardChange watch(std::int64_t nowMs);
    // After a request failed: true when the board still answers; otherwise
    // it is marked disconnected (its stream ended, its handle closed) and
    // false.
    bool still_answers();
    // Whether the board has an open handle that answered last time.
    bool connected() const { return handle_ >= 0; }
    // Whether clients see the board: opened once, or named at the start.
    bool listed() const { return listed_; }
    // "board N is disconnected since HH:MM:SS; kv318-server will take it
    // back when it returns" (the time the server noticed, local time).
    std::string disconnected_text() const;
    // The reply every request but status gets while the board is away.
    remote::Message disconnected_reply() const;
    // The identity string KV318_Info gave when the board was last opened.
    const std::string& identity() const { return identity_; }
    // How many times the board was opened: 1 the first time it is served.
    int connections() const { return connections_; }
    // The wall clock the host names times by (std::time unless a test sets
    // one).
    void set_wall_clock(std::function<std::time_t()> clock) { wall_ = std::move(clock); }

    std::uint16_t board() const { return board_; }
    // The open handle, or -1 while the board is disconnected.
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
    // One request the board answers whatever it does: its status register.
    bool answers() const;
    void attach(std::int32_t handle);
    void drop();

    const pipeline::BoardApi& api_;
    // Written by the control thread only, and only while no reading thread
    // runs (attach, drop); the reading thread reads it while it runs.
    std::int32_t handle_;
    const std::uint16_t board_;
    BlockSink& sink_;
    BoardOpener open_;

    // The control thread's own.
    bool listed_;
    std::time_t disconnectedSince_ = 0;
    std::int64_t lastWatchMs_ = 0;
    std::int64_t nextProbeMs_ = 0;
    std::int64_t nextOpenMs_ = 0;
    std::string identity_;
    int connections_ = 0;
    std::function<std::time_t()> wall_;

    // Set by the control thread only.
    bool started_ = false;
    std::uint32_t stream_ = 0;
    StartRequest request_;
    std::thread thread_;
    // Used by the reading thread while it runs, and by the control thread
    // to start and stop it, never both at once (the thread is joined
    // before a stop).  Made for each handle; null while disconnected.
    std::unique_ptr<pipeline::Reader> reader_;

    // Written by the control thread before it joins the reading thread, read
    // by that thread between reads; release/acquire.
    std::atomic<bool> stopRequested_{false};
    // Written by the reading thread when it ends on its own, read by the
    // control thread; release/acquire.
    std::atomic<bool> ended_{false};
    // Written by the reading thread when its stream ended and the board did
    // not answer after it, after lastBlock_ and lastFlags_ and before
    // ended_; read by the control thread (watch), which then closes the
    // handle and sends that last block.  Release/acquire.
    std::atomic<bool> lost_{false};
    std::vector<std::int16_t> lastBlock_;
    std::uint32_t lastFlags_ = 0;
    // Written by the control thread around the stop of a board that went
    // away; read by the reading thread as it sends its last block, so that
    // block says so.  Release/acquire.
    std::atomic<bool> dropping_{false};
    // Written by the reading thread after each block, read by the control
    // thread (status); release/acquire.
    std::atomic<std::uint64_t> nextIndex_{0};
    // Whether the drain statistics have said the FIFO may have run over:
    // written and read by the reading thread (it sets the flag on every
    // block from then on), and by the control thread once it has joined
    // it (the last block of a board that went away).
    bool fifoRisk_ = false;
};

}  // namespace kv318::server
