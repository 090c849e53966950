// The board's sample FIFO: a fixed-size byte ring.  Samples go in as two
// bytes, low byte first, whole; reads take any number of bytes, so a read of
// an odd length leaves the second half of a sample for the next read, as the
// board's USB endpoint does.  Not thread-safe: the board's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv318::sim {

class Fifo {
public:
    // Allocates the whole capacity once; nothing is allocated afterwards.
    explicit Fifo(std::size_t capacity);

    std::size_t capacity() const { return data_.size(); }
    std::size_t size() const { return size_; }

    // Appends n bytes; the caller has made sure they fit (n <= capacity() - size()).
    void append(const std::uint8_t* bytes, std::size_t n);

    // Moves min(n, size()) bytes into `out` and returns that count.
    std::size_t pop(std::uint8_t* out, std::size_t n);

    void clear();

private:
    std::vector<std::uint8_t> data_;
    std::size_t head_ = 0;  // next byte to read
    std::size_t size_ = 0;
};

}  // namespace kv318::sim
