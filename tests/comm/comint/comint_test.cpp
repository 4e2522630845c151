// The command interface: the routing commands and their replies, context words that name this
// unit's flags and routines, the dispatch and its error ring, the queue's episodes. The echo is
// seen between units (tests/e2e/test_network.py).
#include "comm/unit_fixture.h"
#include "services/timeserv/timeserv.h"

namespace {

using namespace unit;
using fake::Bytes;

struct Comint : Unit {};

TEST_F(Comint, RoutingCommandsSetTheTableOrNothingAndAnswerTheRequester) {
    EXPECT_EQ(routing_get_next(OWN).kind, ROUTE_LOCAL);
    EXPECT_EQ(routing_get_next(0x20).kind, ROUTE_ILLEGAL);
    EXPECT_EQ(routing_get_next(64).kind, ROUTE_ILLEGAL);
    struct Case {
        const char* what;
        Bytes request;
        uint16_t replyCode;
        std::vector<std::pair<uint16_t, uint32_t>> kinds; // PID, kind afterwards
    };
    const Case cases[] = {
        {"range 5..3",
         message(0x0100, PEER, OWN, 0x71, 0, fields({{5, 2}, {3, 2}, {3, 4}, {7, 4}})),
         0x0104,
         {{3, 0}, {4, 0}, {5, 0}}},
        {"range 4..3",
         message(0x0100, PEER, OWN, 0x74, 0, fields({{4, 2}, {3, 2}, {3, 4}, {7, 4}})),
         0x0104,
         {{3, 0}, {4, 0}}},
        {"range without its parameter",
         message(0x0100, PEER, OWN, 0x75, 0, fields({{4, 2}, {4, 2}, {3, 4}})),
         0x0104,
         {{4, 0}}},
        {"range 5..6",
         message(0x0100, PEER, OWN, 0x72, 0, fields({{5, 2}, {6, 2}, {3, 4}, {7, 4}})),
         0x0103,
         {{4, 0}, {5, 3}, {6, 3}, {7, 0}}},
        {"list, second PID 70",
         message(0x0101, PEER, OWN, 0x73, 0,
                 fields({{9, 4}, {2, 4}, {0x0A000009, 4}, {70, 4}, {2, 4}, {1, 4}, {10, 4}, {2, 4}, {1, 4}})),
         0x0104,
         {{9, 2}, {10, 0}}},
    };
    for (const Case& c : cases) {
        serve(c.request);
        const auto out = sent();
        ASSERT_EQ(out.size(), 1u) << c.what;
        EXPECT_EQ(out[0], message(c.replyCode, OWN, PEER, 0, word(c.request, 8))) << c.what;
        for (auto [pid, kind] : c.kinds)
            EXPECT_EQ(routing_get_next(pid).kind, kind) << c.what << " PID " << pid;
    }
    EXPECT_EQ(routing_get_next(9).parameter, 0x0A000009u);
    serve(message(0x0102, PEER, OWN, 0, 0));
    EXPECT_EQ(routing_get_next(9).kind, ROUTE_ILLEGAL);
    EXPECT_EQ(routing_get_next(OWN).kind, ROUTE_LOCAL);
    EXPECT_TRUE(sent().empty()) << "a reset is not answered";
}

// A unit heard on the network is learnt only where no route was set: a route set by command stays.
TEST_F(Comint, ARouteIsLearntOnlyWhereNoneIsSet) {
    serve(message(0x0100, PEER, OWN, 0, 0, fields({{9, 2}, {9, 2}, {ROUTE_LOCSOCK, 4}, {7, 4}})));
    EXPECT_EQ(std::pair(routing_learn(9, {ROUTE_ETHERNET, 0x0A000009}),
                        routing_learn(12, {ROUTE_ETHERNET, 0x0A00000C})),
              std::pair(0, 1));
    EXPECT_EQ(std::pair(routing_get_next(9).kind, routing_get_next(9).parameter),
              std::pair(uint32_t{ROUTE_LOCSOCK}, 7u));
    EXPECT_EQ(std::pair(routing_get_next(12).kind, routing_get_next(12).parameter),
              std::pair(uint32_t{ROUTE_ETHERNET}, 0x0A00000Cu));
    EXPECT_EQ(routing_learn(12, {ROUTE_ETHERNET, 0x0A00000D}), 0) << "heard again from another address";
    EXPECT_EQ(routing_learn(64, {ROUTE_ETHERNET, 0x0A000040}), 0);
}

uint16_t resultFlag = 7;
std::vector<std::pair<Bytes, uint16_t>> calledWith;

// Replies name a flag or a routine by context word 2; only live handles of the right kind act.
TEST_F(Comint, ContextWordsActOnlyThroughLiveHandlesOfTheirKind) {
    const uint32_t flag = comint_handle_flag(&resultFlag);
    const uint32_t routine = comint_handle_routine(
        [](const uint8_t* d, size_t n, uint16_t pid) { calledWith.emplace_back(Bytes(d, d + n), pid); });
    ASSERT_NE(flag, 0u);
    ASSERT_NE(routine, 0u);
    serve(message(0x0103, PEER, OWN, 0, flag));
    EXPECT_EQ(resultFlag, 1);
    serve(message(0x0104, PEER, OWN, 0, routine)); // a routine is no flag
    EXPECT_EQ(resultFlag, 1);
    serve(message(0x0104, PEER, OWN, 0, flag ^ 0x00010000)); // another generation
    EXPECT_EQ(resultFlag, 1);
    serve(message(0x0104, PEER, OWN, 0, flag));
    EXPECT_EQ(resultFlag, 0);
    comint_handle_drop(flag);
    serve(message(0x0103, PEER, OWN, 0, flag));
    EXPECT_EQ(resultFlag, 0) << "a dropped handle is stale";

    serve(message(0x0106, PEER, OWN, 0, routine, {1, 2}));
    serve(message(0x0106, PEER, OWN, 0, flag, {3}));
    serve(message(0x0107, PEER, OWN, 5, 0x7FFF03FF, {4}));
    serve(message(0x0107, PEER, OWN, 5, routine, {5}));
    ASSERT_EQ(calledWith.size(), 2u);
    EXPECT_EQ(calledWith[0], std::make_pair(Bytes{1, 2}, PEER)) << "a bounce reply: the payload";
    EXPECT_EQ(calledWith[1], std::make_pair(message(0x0107, PEER, OWN, 5, routine, {5}), PEER))
        << "a continuation: the whole message";
}

// The routing codes reach their handlers as the tests above see by what they do (the echo between
// units); the time and FIFO services' codes by name.
TEST_F(Comint, EachCodeOfTheServicesBelowReachesItsHandler) {
    const std::pair<uint16_t, ComintHandler> handlers[] = {{0x0600, timeserv_distributeTime_cmd},
                                                           {0x0602, timeserv_newSystemTime_cmd},
                                                           {0x0603, timeserv_suggestOwnTime_cmd},
                                                           {0x1100, dynkomm_tidy_up},
                                                           {0x0601, nullptr}};
    for (auto [code, handler] : handlers)
        EXPECT_EQ(comint_handlerOf(code), handler) << std::hex << code;
}

int servedBroadcasts = 0;
uint16_t servedDest = 0;

TEST_F(Comint, DispatchRecordsWhatCannotBeServedOrSent) {
    comint_setHandler(0x0F01, [](const uint8_t* m, size_t) {
        ++servedBroadcasts;
        servedDest = static_cast<uint16_t>(m[6] << 8 | m[7]);
    });
    struct Case {
        const char* what;
        Bytes m;
        int fromOutside;
        uint16_t result;
        uint32_t error; // the last record's code; 0: none
        uint32_t records;
        size_t sentOut;
    };
    const Case cases[] = {
        {"unknown code", message(0x0507, OWN, OWN, 1, 2), 1, 1, 102, 1, 0},
        {"illegal route", message(0x0F01, OWN, UNROUTED, 3, 4), 0, 0, 101, 1, 0},
        {"forwarded, no route (101, then 103)", message(0x0F01, OWN, UNROUTED, 5, 6), 1, 1, 103, 2, 0},
        {"too long to queue", message(0x0F01, OWN, OWN, 7, 8, Bytes(493)), 1, 0, 100, 1, 0},
        {"broadcast", message(0x0F01, OWN, CI_PID_ALL, 9, 10), 1, 1, 0, 0, 1},
    };
    for (const Case& c : cases) {
        const uint32_t before = comint_error_count();
        EXPECT_EQ(comint_put_cmd(c.m.data(), c.fromOutside), c.result) << c.what;
        EXPECT_EQ(sent().size(), c.sentOut) << c.what;
        if (!c.error) {
            EXPECT_EQ(comint_error_count(), before) << c.what;
            continue;
        }
        ASSERT_EQ(comint_error_count(), before + c.records) << c.what;
        const CiErrorRecord r = comint_error_get(before + c.records - 1);
        EXPECT_EQ(r.code, c.error) << c.what;
        EXPECT_EQ(Bytes(r.header, r.header + 18), Bytes(c.m.begin(), c.m.begin() + 18)) << c.what;
    }
    EXPECT_EQ(servedBroadcasts, 1) << "served once, here";
    EXPECT_EQ(servedDest, OWN);
}

SEM_ID held = nullptr;

TEST_F(Comint, FullQueueWarnsOncePerEpisodeAndSaysWhenItIsBackAlive) {
    held = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    comint_setHandler(0x0F04, [](const uint8_t*, size_t) { semTake(held, WAIT_FOREVER); });
    const Bytes hold = message(0x0F04, OWN, OWN, 0, 0);
    ASSERT_EQ(comint_queue_cmd(hold.data()), 1);
    sim::step(1); // r_Comint now waits in the handler
    int accepted = 0;
    for (int i = 0; i < CI_QUEUE_DEPTH + 3; ++i)
        accepted += comint_queue_cmd(message(0x0F05, OWN, OWN, 0, 0).data());
    EXPECT_EQ(accepted, CI_QUEUE_DEPTH);
    EXPECT_EQ(countLogged("Sending CI msg 0xF05 to comint task failed, 25->25"), 1);
    semGive(held);
    sim::step(1);
    EXPECT_EQ(comint_queue_cmd(hold.data()), 1);
    semGive(held);
    EXPECT_TRUE(logged("Sending CI msg 0xF04 to comint task back alive, 25->25"));
}

// With the command task held up, each peer gets in as much as any other (the peers heard share
// alike with the senders not heard), and no more than a part of the queue; what the command task
// queues while it serves a peer's message counts to that peer; the unit's own messages have the
// rest of the queue, and a peer taken back below its share has room again.
TEST_F(Comint, EachPeerHoldsItsShareOfTheQueueAndTheUnitKeepsTheRest) {
    fake::up = uint64_t{1} << PEER | uint64_t{1} << FAR; // heard on the network
    struct Unheard {
        ~Unheard() { fake::up = 0; }
    } unheard;
    held = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    comint_setHandler(0x0F04, [](const uint8_t*, size_t) {
        comint_put_cmd(message(0x0F05, OWN, OWN, 0, 0).data(), 1);
        semTake(held, WAIT_FOREVER);
    });
    static int served = 0;
    served = 0;
    comint_setHandler(0x0F05, [](const uint8_t*, size_t) { ++served; });
    ASSERT_EQ(comint_queue_from(message(0x0F04, PEER, OWN, 0, 0).data(), PEER), 1);
    sim::step(1); // r_Comint now waits in the handler, its own message counted to the peer
    const auto fill = [](int source) {
        int n = 0;
        while (n < CI_QUEUE_DEPTH && comint_queue_from(message(0x0F05, PEER, OWN, 0, 0).data(), source) == 1)
            ++n;
        return n;
    };
    const int peer = fill(PEER) + 1, far = fill(FAR), other = fill(BC2_SOURCE_OTHER);
    EXPECT_EQ(peer, far);
    EXPECT_EQ(far, other);
    EXPECT_LE(3 * peer, CI_QUEUE_DEPTH);
    EXPECT_FALSE(comint_wait_room(PEER, 0));
    EXPECT_EQ(comint_forward_from(message(0x0F05, PEER, CI_PID_ALL, 0, 0).data(), PEER), -1)
        << "a broadcast's copy for this unit counts to its sender too";
    int own = 0;
    while (own < CI_QUEUE_DEPTH && comint_queue_cmd(message(0x0F05, OWN, OWN, 0, 0).data()) == 1)
        ++own;
    EXPECT_EQ(own + peer + far + other, CI_QUEUE_DEPTH);
    semGive(held);
    sim::step(1);
    EXPECT_EQ(served, CI_QUEUE_DEPTH);
    EXPECT_TRUE(comint_wait_room(PEER, 0));
}

// The command task held up by a message of the unit's own until `held` is given.
void holdTheCommandTask() {
    held = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    comint_setHandler(0x0F04, [](const uint8_t*, size_t) { semTake(held, WAIT_FOREVER); });
    comint_setHandler(0x0F05, [](const uint8_t*, size_t) {});
    ASSERT_EQ(comint_queue_cmd(message(0x0F04, OWN, OWN, 0, 0).data()), 1);
    sim::step(1);
}
// How many messages of `source` the queue takes now.
int fill(int source) {
    int n = 0;
    while (n < CI_QUEUE_DEPTH && comint_queue_from(message(0x0F05, PEER, OWN, 0, 0).data(), source) == 1)
        ++n;
    return n;
}

// What a peer could not have queued gives its share back: a message the full queue refused, and a
// broadcast the multicast would not take. Once the queue is served the peer gets in as much as a
// peer that was never refused.
TEST_F(Comint, WhatAPeerCouldNotHaveQueuedGivesItsShareBack) {
    holdTheCommandTask();
    while (comint_queue_cmd(message(0x0F05, OWN, OWN, 0, 0).data()) == 1) {
    }
    for (int i = 0; i < CI_QUEUE_DEPTH; ++i)
        ASSERT_EQ(comint_queue_from(message(0x0F05, PEER, OWN, 0, 0).data(), PEER), -1) << i;
    semGive(held);
    sim::step(1);
    fake::multicastDown = true;
    struct Up {
        ~Up() { fake::multicastDown = false; }
    } up;
    for (int i = 0; i < CI_QUEUE_DEPTH; ++i)
        ASSERT_EQ(comint_forward_from(message(0x0F05, PEER, CI_PID_ALL, 0, 0).data(), PEER), 0) << i;
    holdTheCommandTask();
    const int peer = fill(PEER);
    EXPECT_GT(peer, 0);
    EXPECT_EQ(peer, fill(FAR));
    semGive(held);
}

// Peers that hold command channels without being heard on the network each reckon a share as if
// alone; together they still take no more than the peers' part, and the unit keeps the rest.
TEST_F(Comint, PeersNotHeardOnTheNetworkTakeNoMoreThanThePeersPartTogether) {
    holdTheCommandTask();
    int peers = 0;
    for (int source = 0x30; source < 0x38; ++source)
        peers += fill(source);
    int own = 0;
    while (own < CI_QUEUE_DEPTH && comint_queue_cmd(message(0x0F05, OWN, OWN, 0, 0).data()) == 1)
        ++own;
    EXPECT_EQ(peers + own, CI_QUEUE_DEPTH);
    EXPECT_GE(4 * own, CI_QUEUE_DEPTH) << "the unit keeps a quarter";
    semGive(held);
}

// A peer whose answers wait in its command channel's queue is given room only while an answer to
// each of its messages would still fit there; without such a channel it has its share.
TEST_F(Comint, APeerIsGivenRoomOnlyWhileTheAnswersToItsMessagesFitItsChannel) {
    struct Channels {
        ~Channels() { fake::ciChannels = 0, fake::ciQueued[PEER] = 0; }
    } channels;
    holdTheCommandTask();
    const int alone = fill(FAR);
    fake::ciChannels = uint64_t{1} << PEER;
    fake::ciQueued[PEER] = static_cast<long>(BC2_SEND_QUEUE);
    EXPECT_EQ(fill(PEER), 0);
    EXPECT_FALSE(comint_wait_room(PEER, 0));
    fake::ciQueued[PEER] = 0;
    EXPECT_TRUE(comint_wait_room(PEER, 0));
    const int answered = fill(PEER);
    EXPECT_GT(answered, 0);
    EXPECT_LE(static_cast<size_t>(answered) * CI_QUEUE_MESSAGE, BC2_SEND_QUEUE);
    EXPECT_LT(answered, alone) << "the answers are the bound here, not the share";
    semGive(held);
}

} // namespace
