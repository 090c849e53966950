#include "batch_queue.h"

#include <chrono>

namespace kv318::cli {

BatchQueue::Batch BatchQueue::spare(std::size_t size) {
    Batch b;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spares_.empty()) {
            b = std::move(spares_.back());
            spares_.pop_back();
        }
    }
    b.count = 0;
    if (b.samples.size() != size) b.samples.resize(size);
    return b;
}

void BatchQueue::push(Batch&& batch, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The stop flag is set by a signal handler, which cannot notify; the
    // wait looks at it every few milliseconds.
    while (queuedSamples_ > 0 && queuedSamples_ + batch.count > maxSamples_ && !stop.load()) {
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    queuedSamples_ += batch.count;
    queued_.push_back(std::move(batch));
    changed_.notify_all();
}

void BatchQueue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool BatchQueue::pop(Batch* batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !queued_.empty() || closed_; });
    if (queued_.empty()) return false;
    *batch = std::move(queued_.front());
    queued_.pop_front();
    queuedSamples_ -= batch->count;
    changed_.notify_all();
    return true;
}

void BatchQueue::recycle(Batch&& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.size() < 8) spares_.push_back(std::move(batch));
}

}  // namespace kv318::cli
