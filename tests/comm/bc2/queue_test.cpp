// The send queue of a stream socket on its own, against a local stream pair whose reader the test
// drives: what waits goes whole and in order, across the ring's end; what does not fit is refused
// and leaves what waits alone; progress is what keeps a slow reader from being called stalled.
#include "comm/bc2/bc2_queue_private.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <numeric>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A stream pair whose writing end holds little, so that the queue is needed soon.
struct Pair {
    int w = -1, r = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) return;
        w = fds[0];
        r = fds[1];
        const int small = 4096;
        setsockopt(w, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(r, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    ~Pair() {
        if (w >= 0) close(w);
        if (r >= 0) close(r);
    }
    // Up to `most` bytes of what arrived.
    Bytes read(size_t most = SIZE_MAX) {
        Bytes out;
        uint8_t b[1024];
        while (out.size() < most) {
            const ssize_t n = recv(r, b, std::min(sizeof b, most - out.size()), MSG_DONTWAIT);
            if (n <= 0) break;
            out.insert(out.end(), b, b + n);
        }
        return out;
    }
};

// Message k: `size` bytes counting up from k, so that a byte out of place shows.
Bytes message(int k, size_t size) {
    Bytes m(size);
    std::iota(m.begin(), m.end(), static_cast<uint8_t>(k));
    return m;
}

// The socket full and something waiting: puts messages until one has to wait.
Bytes fillUntilWaiting(Bc2SendQueue& q, Pair& p, size_t size) {
    Bytes sent;
    for (int k = 0; !q.waiting(); ++k) {
        const Bytes m = message(k, size);
        EXPECT_EQ(q.put(p.w, m.data(), m.size(), 0), Bc2SendQueue::TAKEN);
        sent.insert(sent.end(), m.begin(), m.end());
    }
    return sent;
}

TEST(Bc2SendQueue, WhatWaitsGoesWholeAndInOrderAcrossTheRingsEndWhileTheReaderProgresses) {
    // more than the socket holds, so that the queue seldom runs empty; 700-byte messages meet the
    // ring's end at odd places
    constexpr size_t CAPACITY = 20000;
    Pair p;
    ASSERT_GE(p.w, 0);
    Bc2SendQueue q(CAPACITY);
    Bytes sent, got;
    uint64_t now = 0;
    // Ten times what the queue holds, read a little at a time: never stalled, nothing refused.
    for (int k = 0; sent.size() < 10 * CAPACITY + 50000; ++k) {
        const Bytes m = message(k, 700);
        Bc2SendQueue::Put r;
        while ((r = q.put(p.w, m.data(), m.size(), ++now)) == Bc2SendQueue::NO_ROOM) {
            // a little, or all the socket holds: runs to the ring's end go whole or in part
            const Bytes part = p.read(k % 2 ? 1500 : SIZE_MAX);
            got.insert(got.end(), part.begin(), part.end());
            ASSERT_TRUE(q.push(p.w, ++now));
            ASSERT_FALSE(q.stalled(now, 20)) << "a reader that progresses is not stalled";
        }
        ASSERT_EQ(r, Bc2SendQueue::TAKEN);
        sent.insert(sent.end(), m.begin(), m.end());
    }
    while (q.waiting()) {
        const Bytes part = p.read();
        got.insert(got.end(), part.begin(), part.end());
        ASSERT_TRUE(q.push(p.w, ++now));
    }
    const Bytes rest = p.read();
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(got == sent) << got.size() << " bytes of " << sent.size();
}

TEST(Bc2SendQueue, WhatDoesNotFitIsRefusedWholeAndNeverTouchesWhatWaits) {
    Pair p;
    ASSERT_GE(p.w, 0);
    Bc2SendQueue q(2000);
    Bytes sent = fillUntilWaiting(q, p, 500);
    // Room for what is left of the queue only: the message that does not fit goes nowhere, a
    // smaller one after it still does.
    while (q.waiting() + 500 <= 2000) {
        const Bytes m = message(static_cast<int>(sent.size()), 500);
        ASSERT_EQ(q.put(p.w, m.data(), m.size(), 0), Bc2SendQueue::TAKEN);
        sent.insert(sent.end(), m.begin(), m.end());
    }
    const size_t waited = q.waiting();
    const Bytes big(500, 0xEE);
    EXPECT_EQ(q.put(p.w, big.data(), big.size(), 0), Bc2SendQueue::NO_ROOM);
    EXPECT_EQ(q.waiting(), waited);
    const Bytes small = message(99, 2000 - waited);
    EXPECT_EQ(q.put(p.w, small.data(), small.size(), 0), Bc2SendQueue::TAKEN);
    sent.insert(sent.end(), small.begin(), small.end());
    Bytes got;
    for (int i = 0; i < 1000 && got.size() < sent.size(); ++i) {
        const Bytes part = p.read();
        got.insert(got.end(), part.begin(), part.end());
        ASSERT_TRUE(q.push(p.w, 0));
    }
    EXPECT_TRUE(got == sent) << got.size() << " bytes of " << sent.size();
}

TEST(Bc2SendQueue, OnlyAQueueThatMakesNoProgressForTheLimitIsStalled) {
    Pair p;
    ASSERT_GE(p.w, 0);
    Bc2SendQueue q(100000);
    EXPECT_FALSE(q.stalled(1000, 10)) << "nothing waits";
    const Bytes m = message(1, 600);
    for (int i = 0; i < 200 && q.waiting() < 20000; ++i)
        q.put(p.w, m.data(), m.size(), 100); // the wait starts at tick 100
    ASSERT_GE(q.waiting(), 20000u);
    EXPECT_FALSE(q.stalled(109, 10));
    EXPECT_TRUE(q.stalled(110, 10));
    // a push that moves nothing is no progress; one that moves some is
    ASSERT_TRUE(q.push(p.w, 112));
    EXPECT_TRUE(q.stalled(112, 10));
    p.read(2000);
    ASSERT_TRUE(q.push(p.w, 115));
    EXPECT_FALSE(q.stalled(124, 10));
    EXPECT_TRUE(q.stalled(125, 10));
}

TEST(Bc2SendQueue, AClearedQueueSendsNothingOfWhatWaitedAndAFailedSocketIsTold) {
    Pair p;
    ASSERT_GE(p.w, 0);
    Bc2SendQueue q(20000);
    const Bytes before = fillUntilWaiting(q, p, 700);
    q.clear();
    EXPECT_EQ(q.waiting(), 0u);
    // The reader takes what the socket held; after it comes the next put, nothing of the queue.
    const Bytes held = p.read();
    ASSERT_LT(held.size(), before.size());
    const Bytes next = message(200, 50);
    EXPECT_EQ(q.put(p.w, next.data(), next.size(), 0), Bc2SendQueue::TAKEN);
    EXPECT_EQ(q.waiting(), 0u);
    EXPECT_TRUE(p.read() == next);
    // The reader gone: the socket fails, and the put says so.
    close(p.r);
    p.r = -1;
    EXPECT_EQ(q.put(p.w, next.data(), next.size(), 0), Bc2SendQueue::FAILED);
    EXPECT_EQ(errno, EPIPE);
}

} // namespace
