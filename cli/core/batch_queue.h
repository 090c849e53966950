// Batches of samples handed from the thread that reads the board to the
// thread that formats and writes them, so a slow format or a slow disk
// does not hold up the reads that keep the library's ring from
// overflowing.  Buffers are recycled, so a long run allocates nothing
// after its first few batches.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace kv318::cli {

// A lock and a condition variable rather than atomics: batches pass a few
// dozen times a second, so the lock is held briefly and rarely, and each
// side needs to sleep until the other has moved.
class BatchQueue {
public:
    // `samples` keeps the size of one read's array; the first `count` of
    // them are the batch.  Buffers keep their size when recycled, so they
    // are not cleared again for every read.
    struct Batch {
        std::vector<std::int32_t> samples;
        std::size_t count = 0;
        std::uint64_t firstIndex = 0;  // the run's (or the stream's) index of the first
    };

    // Holds up to `maxSamples` queued samples before push() waits.
    explicit BatchQueue(std::size_t maxSamples) : maxSamples_(maxSamples) {}

    // Reader: an empty batch of `size` samples' room, recycled when one is
    // free.
    Batch spare(std::size_t size);
    // Reader: queues `batch`.  While the queue is full it waits, unless
    // `stop` is set: a run being stopped keeps every sample it read.
    void push(Batch&& batch, const std::atomic<bool>& stop);
    // Reader: no more batches will come.
    void close();
    // Writer: the next batch; false once the queue is closed and empty.
    bool pop(Batch* batch);
    // Writer: gives a written batch's buffer back.
    void recycle(Batch&& batch);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch> queued_;
    std::vector<Batch> spares_;
    std::size_t queuedSamples_ = 0;
    std::size_t maxSamples_;
    bool closed_ = false;
};

}  // namespace kv318::cli
