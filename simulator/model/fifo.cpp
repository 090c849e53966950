#include "fifo.h"

#include <algorithm>
#include <cstring>

namespace kv318::sim {

Fifo::Fifo(std::size_t capacity) : data_(capacity) {}

void Fifo::append(const std::uint8_t* bytes, std::size_t n) {
    n = std::min(n, data_.size() - size_);
    if (n == 0) return;
    std::size_t tail = head_ + size_;
    if (tail >= data_.size()) tail -= data_.size();
    // At most two pieces: up to the end of the storage, then from its start.
    const std::size_t first = std::min(n, data_.size() - tail);
    std::memcpy(data_.data() + tail, bytes, first);
    std::memcpy(data_.data(), bytes + first, n - first);
    size_ += n;
}

std::size_t Fifo::pop(std::uint8_t* out, std::size_t n) {
    n = std::min(n, size_);
    if (n == 0) return 0;
    // At most two pieces: up to the end of the storage, then from its start.
    const std::size_t first = std::min(n, data_.size() - head_);
    std::memcpy(out, data_.data() + head_, first);
    std::memcpy(out + first, data_.data(), n - first);
    head_ += n;
    if (head_ >= data_.size()) head_ -= data_.size();
    size_ -= n;
    return n;
}

void Fifo::clear() {
    head_ = 0;
    size_ = 0;
}

}  // namespace kv318::sim
