// The send queue of one stream socket of the transport.
//
// What the socket does not take at once waits here, whole messages and frames in order, until the
// socket takes it, so that no task that sends waits on a peer. A put either goes whole (now, or
// later from the queue) or not at all: what does not fit is refused and never overwrites what
// waits. Not locked: its owner's lock guards every call; `waiting` may be read outside it as a hint.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class Bc2SendQueue {
  public:
    explicit Bc2SendQueue(size_t capacity) : capacity_(capacity) {}
    Bc2SendQueue(const Bc2SendQueue&) = delete;
    Bc2SendQueue& operator=(const Bc2SendQueue&) = delete;

    enum Put {
        TAKEN,   // gone, or waiting here whole behind what waited before
        NO_ROOM, // nothing of it went: what the socket would not take does not fit
        FAILED,  // the socket failed (errno says why); what waits is the caller's to forget
    };
    // Puts n bytes after what waits. `now` is the tick: a queue that starts to wait counts its
    // progress from it.
    Put put(int fd, const uint8_t* data, size_t n, uint64_t now);
    // Sends on what waits as far as the socket takes it: false when the socket failed.
    bool push(int fd, uint64_t now);
    // Something waits and none of it went for `limit` ticks.
    bool stalled(uint64_t now, uint64_t limit) const;
    size_t waiting() const { return used_.load(std::memory_order_relaxed); }
    // Forgets what waits and gives its memory back (the socket is gone).
    void clear();

  private:
    bool hold(const uint8_t* data, size_t n, uint64_t now);

    const size_t capacity_;
    std::unique_ptr<uint8_t[]> ring_; // made at the first wait
    size_t head_ = 0;
    std::atomic<size_t> used_{0};
    uint64_t progressAt_ = 0;
};
