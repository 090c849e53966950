// One stream's sample blocks as KV318_Read hands samples over: blocks go in
// as they arrive from the data socket, samples come out in arrays of at
// most the caller's capacity, and every jump of the blocks' indices is
// counted as samples missed.  No sockets here.
//
// Used by one thread at a time (the caller of the handle's read, under the
// handle's lock); it owns the samples it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "wire.h"

namespace kv318::remote {

class BlockStream {
public:
    // Follows stream `stream` of the board from now on and forgets what was
    // held.  `known`: the stream's next block must start at index `from`
    // (0 for a stream the caller started; the server's next index for one
    // it joined), so a jump even at the first block is counted; otherwise
    // the first block that arrives sets where counting begins.
    void begin(std::uint32_t stream, bool known, std::uint64_t from = 0);
    // Waits for the next stream instead: the first block of a stream
    // numbered above `after` that is not idle begins it, counted from index
    // 0, so what was lost before that block arrived counts as missed.
    // Forgets what was held, as begin() does.
    void arm(std::uint32_t after);
    // Waiting for the next stream: no block of it has come yet.
    bool armed() const { return armed_; }
    // Leaves the stream: later blocks are ignored until the next begin(),
    // and the samples held are dropped.  What was counted (missed(),
    // ending(), stream()) stays readable.
    void leave();

    // Takes one received block: a block of another stream, an idle one or
    // one after the stream's end is ignored.  `samples` points at
    // header.count little-endian int16 values (decode_block's output).
    void take(const BlockHeader& header, const std::uint8_t* samples);

    // Whether another block should be taken before the next drain: the
    // stream runs, has not ended and holds fewer than `capacity` samples.
    bool wants_more(std::size_t capacity) const;
    // Moves up to `capacity` held samples into out[], sign-extended as
    // KV318_Read writes them; returns how many.  The caller owns `out`.
    // The samples of one drain are consecutive in the stream: a drain stops
    // at a gap, and the next one begins after it, so read_index() minus the
    // count is the stream index of the first.
    std::size_t drain(std::int32_t* out, std::size_t capacity);
    std::size_t held() const { return held_; }

    // 0 while the stream runs (or none is followed); once a block has ended
    // it, the result a read gives after the samples before the end: -2 the
    // server's ring ran over, -3 a transfer fault or a stall, -1 the stream
    // ended (stopped by its controller, or the converter was stopped
    // beneath the server).
    std::int32_t ending() const { return ending_; }
    // The flags of the block that ended the stream (0 while it runs).
    std::uint32_t ending_flags() const { return endingFlags_; }
    // Samples the stream made that never arrived here: the sum of every
    // forward jump of the blocks' first indices.
    std::uint64_t missed() const { return missed_; }
    // Whether any block of the stream has arrived, and the index the next
    // one should start at.
    bool started() const { return expectedKnown_; }
    std::uint64_t next_index() const { return expected_; }
    // The stream index just past the last sample drained; before the first
    // drain, where the stream stood when it was begun (or, when that was
    // not known, where its first block started).
    std::uint64_t read_index() const { return readIndex_; }
    bool following() const { return following_; }
    std::uint32_t stream() const { return stream_; }

private:
    bool following_ = false;
    bool armed_ = false;
    std::uint32_t armedAfter_ = 0;
    std::uint32_t stream_ = 0;
    bool expectedKnown_ = false;
    std::uint64_t expected_ = 0;
    std::uint64_t missed_ = 0;
    std::int32_t ending_ = 0;
    std::uint32_t endingFlags_ = 0;
    std::uint64_t readIndex_ = 0;
    // Whole blocks' samples in arrival order, each with the stream index of
    // its first; the front one is read from frontUsed_ on.
    struct Held {
        std::uint64_t first;
        std::vector<std::int16_t> samples;
    };
    std::deque<Held> blocks_;
    std::size_t frontUsed_ = 0;
    std::size_t held_ = 0;
};

// The result a block's flags end a stream with, or 0 when it goes on.
std::int32_t ending_of(std::uint32_t flags);

}  // namespace kv318::remote
