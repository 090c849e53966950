#include "block_stream.h"

#include <algorithm>

#include "bytes.h"

namespace kv318::remote {

std::int32_t ending_of(std::uint32_t flags) {
    // The worst first: a stream that overflowed and then ended is reported
    // as the overflow, which is what lost samples.
    if ((flags & kFlagRingOverflow) != 0) return -2;
    if ((flags & (kFlagTransferFault | kFlagStalled)) != 0) return -3;
    if ((flags & (kFlagEndOfStream | kFlagNotEnabled)) != 0) return -1;
    return 0;
}

void BlockStream::begin(std::uint32_t stream, bool known, std::uint64_t from) {
    leave();
    armed_ = false;
    following_ = true;
    stream_ = stream;
    expectedKnown_ = known;
    expected_ = from;
    readIndex_ = from;
    missed_ = 0;
    ending_ = 0;
    endingFlags_ = 0;
}

void BlockStream::arm(std::uint32_t after) {
    begin(0, true, 0);
    armed_ = true;
    armedAfter_ = after;
}

void BlockStream::leave() {
    following_ = false;
    armed_ = false;
    blocks_.clear();
    frontUsed_ = 0;
    held_ = 0;
}

void BlockStream::take(const BlockHeader& h, const std::uint8_t* samples) {
    if (following_ && armed_ && h.stream > armedAfter_ && (h.flags & kFlagIdle) == 0) {
        armed_ = false;
        stream_ = h.stream;
    }
    if (!following_ || ending_ != 0 || h.stream != stream_ || (h.flags & kFlagIdle) != 0) return;
    if (!expectedKnown_) {
        expectedKnown_ = true;
        expected_ = h.firstIndex;
        readIndex_ = h.firstIndex;
    }
    // A block that repeats samples already taken (a server that sent one
    // twice) gives only what lies past them.
    std::uint64_t first = h.firstIndex;
    std::uint32_t count = h.count;
    const std::uint64_t overlap = std::min<std::uint64_t>(first < expected_ ? expected_ - first : 0, count);
    samples += 2 * overlap;
    first += overlap;
    count -= static_cast<std::uint32_t>(overlap);
    if (first > expected_) {
        missed_ += first - expected_;
        expected_ = first;
    }
    if (count > 0) {
        std::vector<std::int16_t> block(count);
        for (std::uint32_t i = 0; i < count; ++i)
            block[i] = static_cast<std::int16_t>(get_s16le(samples + 2 * std::size_t{i}));
        blocks_.push_back(Held{first, std::move(block)});
        held_ += count;
        expected_ = first + count;
    }
    if (ending_of(h.flags) != 0) {
        ending_ = ending_of(h.flags);
        endingFlags_ = h.flags;
    }
}

bool BlockStream::wants_more(std::size_t capacity) const { return following_ && ending_ == 0 && held_ < capacity; }

std::size_t BlockStream::drain(std::int32_t* out, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && !blocks_.empty()) {
        const std::uint64_t at = blocks_.front().first + frontUsed_;
        // A gap ends the drain once it holds samples from before it.
        if (n > 0 && at != readIndex_) break;
        readIndex_ = at;
        const std::vector<std::int16_t>& front = blocks_.front().samples;
        const std::size_t take = std::min(capacity - n, front.size() - frontUsed_);
        std::copy_n(front.begin() + static_cast<std::ptrdiff_t>(frontUsed_), take, out + n);
        n += take;
        frontUsed_ += take;
        readIndex_ += take;
        if (frontUsed_ == front.size()) {
            blocks_.pop_front();
            frontUsed_ = 0;
        }
    }
    held_ -= n;
    return n;
}

}  // namespace kv318::remote
