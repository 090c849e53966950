// Hands the newest frame from the acquisition worker to the GUI thread
// without either ever waiting for the other: three slots, one being
// written, one being read, and one in the middle holding the newest
// complete frame.
//
// Writer: the worker thread only (write_slot(), publish()).
// Reader: the GUI thread only (take()).
// Ordering: publish() swaps the written slot into the middle with
// acq_rel, so the frame's contents, written before, are visible to the
// reader whose acquire exchange in take() picks that slot up.  A frame the
// reader has not taken when the next is published is overwritten: the
// display drops the oldest frame, never the worker's samples (the worker
// feeds the trigger and the recording before it publishes).
// Why no lock: a lock would let a slow paint hold up the worker, and the
// worker must read the library's ring on time or the ring overflows.  One
// atomic index per hand-off is all the two sides share.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv318::scope {

template <class T>
class FrameHandoff {
public:
    // The slot the worker fills next; only the worker touches it.
    T& write_slot() { return slots_[back_]; }

    // Makes the written slot the newest frame.
    void publish() {
        const unsigned old = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel);
        back_ = old & kIndex;
    }

    // The newest frame, or nullptr when none has come since the last take.
    // The frame stays valid, and the reader's alone, until the next take().
    const T* take() {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) return nullptr;
        const unsigned old = middle_.exchange(front_, std::memory_order_acq_rel);
        front_ = old & kIndex;
        return &slots_[front_];
    }

private:
    static constexpr unsigned kIndex = 3;
    static constexpr unsigned kFresh = 4;  // the middle slot holds a frame not yet taken
    T slots_[3]{};
    unsigned back_ = 0;                // the worker's
    unsigned front_ = 1;               // the GUI thread's
    std::atomic<unsigned> middle_{2};  // shared: index plus kFresh
};

}  // namespace kv318::scope
