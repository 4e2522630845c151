// The send queue of one stream socket: a ring that holds what the socket did not take yet.
#include "comm/bc2/bc2_queue_private.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>

namespace {

// What the socket took of n bytes without waiting: 0 when it had no room; -1 when it failed.
ssize_t sendSome(int fd, const uint8_t* data, size_t n) {
    for (;;) {
        const ssize_t r = send(fd, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

} // namespace

bool Bc2SendQueue::push(int fd, uint64_t now) {
    while (const size_t used = waiting()) {
        const size_t run = std::min(used, capacity_ - head_);
        const ssize_t r = sendSome(fd, ring_.get() + head_, run);
        if (r < 0) return false;
        if (r == 0) return true;
        head_ = (head_ + static_cast<size_t>(r)) % capacity_;
        used_.store(used - static_cast<size_t>(r), std::memory_order_relaxed);
        progressAt_ = now;
    }
    head_ = 0;
    return true;
}

// Copies n bytes behind what waits; the caller made sure they fit.
bool Bc2SendQueue::hold(const uint8_t* data, size_t n, uint64_t now) {
    if (!ring_) {
        ring_.reset(new (std::nothrow) uint8_t[capacity_]);
        if (!ring_) return false;
    }
    size_t used = waiting();
    if (!used) progressAt_ = now;
    for (size_t at = (head_ + used) % capacity_; n;) {
        const size_t run = std::min(n, capacity_ - at);
        std::memcpy(ring_.get() + at, data, run);
        data += run;
        n -= run;
        used += run;
        at = 0;
    }
    used_.store(used, std::memory_order_relaxed);
    return true;
}

Bc2SendQueue::Put Bc2SendQueue::put(int fd, const uint8_t* data, size_t n, uint64_t now) {
    if (!push(fd, now)) return FAILED;
    size_t done = 0;
    if (!waiting()) {
        // Nothing waits: the socket takes what it can at once, in order.
        while (done < n) {
            const ssize_t r = sendSome(fd, data + done, n - done);
            if (r < 0) return FAILED;
            if (r == 0) break;
            done += static_cast<size_t>(r);
        }
        if (done == n) return TAKEN;
    }
    if (n - done > capacity_ - waiting()) {
        // Only when something waited before: an empty queue holds any message or frame.
        if (!done) return NO_ROOM;
        errno = ENOBUFS;
        return FAILED;
    }
    if (!hold(data + done, n - done, now)) {
        if (!done) return NO_ROOM;
        errno = ENOMEM; // part of it went: the stream cannot go on whole
        return FAILED;
    }
    return TAKEN;
}

bool Bc2SendQueue::stalled(uint64_t now, uint64_t limit) const {
    return waiting() && now - progressAt_ >= limit;
}

void Bc2SendQueue::clear() {
    ring_.reset();
    head_ = 0;
    used_.store(0, std::memory_order_relaxed);
}
