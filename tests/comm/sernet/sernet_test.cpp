// Serial network paths between this unit and simulated peers: the requester, a unit on the way
// and the destination, each with the messages the others would send; the senders per raster.
#include "comm/sernet/sernet.h"

#include "comm/unit_fixture.h"

namespace {

using namespace unit;
using fake::Bytes;

std::vector<std::pair<Bytes, uint16_t>> completions;

struct Paths : Unit {
    uint32_t continuation = 0;
    uint32_t replyHandle = 0; // what the requests name as their reply's continuation
    void SetUp() override {
        Unit::SetUp();
        SerNet_man_reset();
        SerNet_man_ini();
        comint_setHandler(0x0300, SerNet_man_openpath), comint_setHandler(0x0301, SerNet_man_closepath);
        completions.clear();
        continuation = comint_handle_routine([](const uint8_t* m, size_t n, uint16_t pid) {
            completions.emplace_back(Bytes(m + CI_HEADER, m + n), pid);
        });
    }
    // Opens a path to PEER and answers it as PEER would; returns the sending FIFO's number.
    uint32_t openToPeer(uint16_t flags, uint32_t remoteMagic) {
        EXPECT_EQ(dynkomm_openpath(OWN, PEER, 6, 6, 16, flags, continuation, 77), 1);
        const auto out = sent();
        EXPECT_EQ(out.size(), 1u);
        if (out.size() != 1) return 0;
        const Bytes& rq = out[0];
        const uint32_t fifo = word(rq, 8);
        replyHandle = word(rq, 12);
        EXPECT_EQ(
            rq, message(0x0300, OWN, PEER, fifo, word(rq, 12),
                        fields({{OWN, 2}, {PEER, 2}, {6, 2}, {8, 2}, {77, 4}, {16, 2}, {flags, 2}, {0, 4}})));
        serve(message(0x0107, PEER, OWN, fifo, word(rq, 12),
                      fields({{77, 4}, {remoteMagic, 4}, {0x4444, 4}, {PEER, 2}})));
        return fifo;
    }
};

TEST_F(Paths, RequesterSendsNewestOnlineEntryOrEveryQueuedOneThenCloses) {
    for (uint16_t flags : {0, 1}) {
        completions.clear();
        const uint32_t fifo = openToPeer(flags, 0xABCD0001);
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0],
                  std::make_pair(fields({{77, 4}, {fifo, 4}, {0x4444, 4}, {PEER, 2}, {0, 2}}), PEER));
        DynkommFifo* f = nullptr;
        ASSERT_EQ(dynkomm_get_fifo(fifo, &f), 1);
        EXPECT_EQ(f->slots, 8) << "raster index 6 towards an Ethernet peer";
        for (uint32_t v : {1u, 2u, 3u})
            dynkomm_write_copy(f, fields({{v, 4}, {v, 4}}).data());
        SerNet_man_sender_online(6);
        SerNet_man_sender_offline(6);
        auto record = [](uint32_t v) { return fields({{PEER, 2}, {8, 2}, {0xABCD0001, 4}, {v, 4}, {v, 4}}); };
        EXPECT_EQ(fake::take(fake::online), flags ? std::vector<Bytes>{} : std::vector<Bytes>{record(3)});
        EXPECT_EQ(fake::take(fake::offline),
                  flags ? (std::vector<Bytes>{record(1), record(2), record(3)}) : std::vector<Bytes>{});
        // a close naming our sending FIFO (its number went out with the request) leaves it be
        serve(message(0x0301, PEER, OWN, 0, 0, fields({{fifo, 4}, {PEER, 2}, {OWN, 2}})));
        ASSERT_EQ(dynkomm_get_fifo(fifo, &f), 1);
        dynkomm_closepath(OWN, fifo, PEER);
        EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0301, OWN, PEER, 0, 0,
                                                     fields({{0xABCD0001, 4}, {OWN, 2}, {PEER, 2}}))});
        EXPECT_EQ(dynkomm_get_fifo(fifo, &f), 0) << "released";
        SerNet_man_sender_online(6);
        EXPECT_TRUE(fake::take(fake::online).empty());
    }
}

// Queued entries the peer's channel has no room for stay in their FIFO, in order, for the next
// round; meanwhile the FIFO fills and refuses what comes, which its writer counts.
TEST_F(Paths, QueuedEntriesThePeersChannelCannotTakeWaitInTheirFifo) {
    struct Room {
        ~Room() { fake::offlineRoom = -1; }
    } room;
    const uint32_t fifo = openToPeer(1, 0xABCD0001);
    DynkommFifo* f = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(fifo, &f), 1);
    for (uint32_t v = 1; v <= 8; ++v)
        ASSERT_TRUE(dynkomm_write_copy(f, fields({{v, 4}, {v, 4}}).data()));
    EXPECT_FALSE(dynkomm_write_copy(f, fields({{9, 4}, {9, 4}}).data())) << "8 slots, all waiting";
    auto record = [](uint32_t v) { return fields({{PEER, 2}, {8, 2}, {0xABCD0001, 4}, {v, 4}, {v, 4}}); };
    fake::offlineRoom = 3;
    SerNet_man_sender_offline(6);
    EXPECT_EQ(fake::take(fake::offline), (std::vector<Bytes>{record(1), record(2), record(3)}));
    EXPECT_TRUE(dynkomm_write_copy(f, fields({{9, 4}, {9, 4}}).data())) << "room for what went";
    fake::offlineRoom = -1;
    SerNet_man_sender_offline(6);
    std::vector<Bytes> rest;
    for (uint32_t v = 4; v <= 9; ++v)
        rest.push_back(record(v));
    EXPECT_EQ(fake::take(fake::offline), rest);
    dynkomm_closepath(OWN, fifo, PEER);
    sent();
}

TEST_F(Paths, FailedOrForgedRepliesLeaveNothingBehind) {
    const uint32_t fifo = openToPeer(0, 0); // the peer refuses: magic 0
    EXPECT_EQ(completions, (std::vector<std::pair<Bytes, uint16_t>>{
                               {fields({{77, 4}, {0, 4}, {0, 4}, {PEER, 2}, {0, 2}}), 0}}));
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 0);
    // a reply naming no FIFO of ours, or one that has its path already, reaches no continuation
    completions.clear();
    const uint32_t open = openToPeer(0, 0xABCD0002);
    completions.clear();
    serve(message(0x0107, PEER, OWN, open, word(message(0, 0, 0, 0, 0), 0),
                  fields({{1, 4}, {2, 4}, {3, 4}, {4, 2}})));
    serve(message(0x0107, PEER, OWN, fifo, replyHandle, fields({{1, 4}, {2, 4}, {3, 4}, {4, 2}})));
    EXPECT_TRUE(completions.empty());
    // towards an unrouted unit the FIFO has one slot (and the request goes nowhere: 101, 103)
    dynkomm_openpath(OWN, UNROUTED, 8, 6, 4, 0, continuation, 1);
    sim::step(1);
    const CiErrorRecord r = comint_error_get(comint_error_count() - 1);
    EXPECT_EQ(r.code, CI_ERR_FORWARD);
    DynkommFifo* f = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(word(Bytes(r.header, r.header + 18), 8), &f), 1);
    EXPECT_EQ(f->slots, 1);
    // closing a path that never opened: logged, not freed, the request still goes out
    dynkomm_closepath(OWN, word(Bytes(r.header, r.header + 18), 8), UNROUTED);
    EXPECT_TRUE(logged("dynkomm_close_SerNet_path(): tried to stop not listed fifo"));
    EXPECT_EQ(dynkomm_get_fifo(word(Bytes(r.header, r.header + 18), 8), &f), 1);
}

TEST_F(Paths, UnitOnTheWayForwardsWithItselfAsSource) {
    const Bytes payload = fields({{PEER, 2}, {FAR, 2}, {3, 2}, {8, 2}, {5, 4}, {4, 2}, {0, 2}, {0, 4}});
    serve(message(0x0300, PEER, OWN, 0x1111, 0x2222, payload));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0300, OWN, FAR, 0x1111, 0x2222, payload)});
    const Bytes close = fields({{0x0101, 4}, {PEER, 2}, {FAR, 2}});
    serve(message(0x0301, PEER, OWN, 0, 0, close));
    EXPECT_EQ(sent(),
              std::vector<Bytes>{message(0x0301, OWN, FAR, 0, 0, fields({{0x0101, 4}, {OWN, 2}, {FAR, 2}}))});
    // every unit as destination would be multicast on by every unit that hears it: refused
    serve(message(0x0300, PEER, OWN, 0x1111, 0x2222,
                  fields({{PEER, 2}, {0xFFFE, 2}, {3, 2}, {8, 2}, {5, 4}, {4, 2}, {0, 2}, {0, 4}})));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0107, OWN, PEER, 0x1111, 0x2222,
                                                 fields({{5, 4}, {0, 4}, {0, 4}, {OWN, 2}, {0, 2}}))});
    serve(message(0x0301, PEER, OWN, 0, 0, fields({{0x0101, 4}, {PEER, 2}, {0xFFFE, 2}})));
    EXPECT_TRUE(sent().empty());
}

// The destination makes the receiving FIFO only for sizes a ring and a frame can hold.
TEST_F(Paths, DestinationAnswersWithItsFifoOrMagicZero) {
    struct Case {
        uint16_t slots, size;
        uint16_t madeSlots, madeSize; // 0: refused
    };
    const Case cases[] = {{3, 6, 4, 8}, {0, 4, 1, 4},    {512, 1464, 512, 1464}, {513, 8, 0, 0},
                          {4, 0, 0, 0}, {4, 1465, 0, 0}, {0xFFFF, 8, 0, 0}};
    for (const Case& c : cases) {
        const Bytes payload =
            fields({{PEER, 2}, {OWN, 2}, {3, 2}, {c.size, 2}, {99, 4}, {c.slots, 2}, {1, 2}, {0, 4}});
        serve(message(0x0300, PEER, OWN, 0xAAAA, 0xBBBB, payload));
        const auto out = sent();
        ASSERT_EQ(out.size(), 1u);
        const uint32_t magic = word(out[0], 24);
        EXPECT_EQ(out[0], message(0x0107, OWN, PEER, 0xAAAA, 0xBBBB,
                                  fields({{99, 4}, {magic, 4}, {magic, 4}, {OWN, 2}, {0, 2}})));
        DynkommFifo* f = nullptr;
        if (!c.madeSlots) {
            EXPECT_EQ(magic, 0u) << c.slots << " slots of " << c.size;
            continue;
        }
        ASSERT_EQ(dynkomm_get_fifo(magic, &f), 1) << c.slots;
        EXPECT_EQ(std::tuple(f->slots, f->slotSize, f->sourcePid, f->ownHandle),
                  std::tuple(c.madeSlots, c.madeSize, PEER, 0xAAAAu));
        const Bytes entry(c.madeSize, 0x5A);
        EXPECT_EQ(dynkomm_fifo_put(magic, entry.data(), entry.size(), nullptr), DK_PUT_OK);
        serve(message(0x0301, PEER, OWN, 0, 0, fields({{magic, 4}, {PEER, 2}, {OWN, 2}})));
        EXPECT_EQ(dynkomm_get_fifo(magic, &f), 0) << "closed and its number deleted";
        EXPECT_EQ(dynkomm_fifo_put(magic, entry.data(), entry.size(), nullptr), DK_PUT_NO_FIFO);
    }
}

// Open requests whose reply cannot reach the requester (no route, or a channel that refuses)
// leave no FIFO; a peer that opens without end is held to a bound that other peers do not share.
TEST_F(Paths, RequestsOfUnreachableOrGreedyPeersLeaveMemoryFlat) {
    auto request = [](uint16_t from) {
        return message(0x0300, from, OWN, 0x1000, 0x2000,
                       fields({{from, 2}, {OWN, 2}, {0, 2}, {1464, 2}, {1, 4}, {512, 2}, {1, 2}, {0, 4}}));
    };
    const uint32_t before = dynkomm_counters().inUse;
    fake::down = uint64_t{1} << FAR;
    for (int i = 0; i < 1000; ++i)
        for (uint16_t from : {UNROUTED, FAR})
            ci_serve_command(request(from).data(), request(from).size());
    fake::down = 0;
    EXPECT_EQ(dynkomm_counters().inUse, before);
    EXPECT_EQ(dynkomm_held(UNROUTED).paths + dynkomm_held(FAR).paths, 0u);
    auto open = [&](uint16_t from) {
        serve(request(from));
        const auto out = sent();
        return out.size() == 1 ? word(out[0], 24) : 0xFFFFFFFF;
    };
    uint32_t granted = 0, last = 0;
    for (int i = 0; i < 1000; ++i)
        if (const uint32_t m = open(PEER)) granted += 1, last = m;
    EXPECT_GT(granted, 0u);
    EXPECT_LT(granted, 1000u) << "bounded";
    EXPECT_EQ(dynkomm_held(PEER).paths, granted);
    EXPECT_EQ(dynkomm_counters().inUse, before + granted);
    EXPECT_NE(open(FAR), 0u) << "another peer is served";
    EXPECT_EQ(open(PEER), 0u);
    serve(message(0x0301, PEER, OWN, 0, 0, fields({{last, 4}, {PEER, 2}, {OWN, 2}})));
    EXPECT_EQ(dynkomm_held(PEER).paths, granted - 1);
    EXPECT_NE(open(PEER), 0u) << "a closed path makes room";
}

// Paths of one 4-byte slot take little memory: the count bounds them, 128 per peer.
TEST_F(Paths, APeerIsGranted128SmallPathsAndOneMoreOnceOneCloses) {
    auto open = [&](uint16_t from) {
        serve(message(0x0300, from, OWN, 0x1000, 0x2000,
                      fields({{from, 2}, {OWN, 2}, {3, 2}, {4, 2}, {1, 4}, {1, 2}, {0, 2}, {0, 4}})));
        const auto out = sent();
        return out.size() == 1 ? word(out[0], 24) : 0xFFFFFFFF;
    };
    std::vector<uint32_t> granted;
    for (int i = 0; i < 200; ++i)
        if (const uint32_t m = open(PEER)) granted.push_back(m);
    EXPECT_EQ(granted.size(), 128u);
    EXPECT_EQ(dynkomm_held(PEER).paths, 128u);
    EXPECT_LT(dynkomm_held(PEER).bytes, 128u * 256) << "the byte bound is far";
    EXPECT_NE(open(FAR), 0u);
    serve(message(0x0301, PEER, OWN, 0, 0, fields({{granted[5], 4}, {PEER, 2}, {OWN, 2}})));
    EXPECT_NE(open(PEER), 0u);
    EXPECT_EQ(open(PEER), 0u);
}

// A peer opens and closes 70,000 paths to this unit, 250 a second: more than the 65,536 FIFO
// numbers, each of which waits 241 seconds after its close. Every path is granted, and what the
// peer holds here stays at one path.
TEST_F(Paths, FifoNumbersOfClosedPathsComeBack) {
    const Bytes open = message(0x0300, PEER, OWN, 0x1000, 0x2000,
                               fields({{PEER, 2}, {OWN, 2}, {3, 2}, {8, 2}, {1, 4}, {4, 2}, {0, 2}, {0, 4}}));
    for (uint32_t n = 1; n <= 70000; ++n) {
        serve(open);
        const auto out = fake::take(fake::commands);
        ASSERT_EQ(out.size(), 1u) << n;
        const uint32_t magic = word(out[0], 24);
        ASSERT_NE(magic, 0u) << "path " << n << " refused";
        ASSERT_EQ(dynkomm_held(PEER).paths, 1u) << n;
        serve(message(0x0301, PEER, OWN, 0, 0, fields({{magic, 4}, {PEER, 2}, {OWN, 2}})));
        if (n % 250 == 0) dynkomm_1s();
    }
    EXPECT_EQ(dynkomm_held(PEER).paths, 0u);
}

// A path whose reply never comes (the peer restarted, or its reply was lost with its channel)
// fails in the fifth second after its request, as a refused one does: the requester hears of it
// and the sending FIFO goes. A reply in time completes the path, and the time-out then leaves it.
TEST_F(Paths, APathWithoutReplyFailsInItsFifthSecond) {
    const uint32_t answered = openToPeer(0, 0xABCD0003);
    ASSERT_EQ(completions.size(), 1u);
    completions.clear();
    ASSERT_EQ(dynkomm_openpath(OWN, PEER, 6, 6, 16, 0, continuation, 78), 1);
    const auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    const uint32_t silent = word(out[0], 8);
    for (int second = 1; second <= 4; ++second) {
        SerNet_man_1s();
        sim::step(1);
    }
    EXPECT_TRUE(completions.empty());
    EXPECT_EQ(dynkomm_get_fifo(silent, nullptr), 1);
    SerNet_man_1s();
    sim::step(1);
    EXPECT_EQ(completions, (std::vector<std::pair<Bytes, uint16_t>>{
                               {fields({{78, 4}, {0, 4}, {0, 4}, {OWN, 2}, {0, 2}}), 0}}));
    EXPECT_EQ(dynkomm_get_fifo(silent, nullptr), 0) << "released";
    EXPECT_TRUE(sent().empty()) << "nothing goes to the peer";
    // the reply that comes too late reaches nothing; the path answered in time stays open
    completions.clear();
    serve(
        message(0x0107, PEER, OWN, silent, replyHandle, fields({{78, 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
    EXPECT_TRUE(completions.empty());
    DynkommFifo* f = nullptr;
    ASSERT_EQ(dynkomm_get_fifo(answered, &f), 1);
    EXPECT_TRUE(dynkomm_write_copy(f, fields({{1, 4}, {2, 4}}).data()));
    SerNet_man_sender_online(6);
    EXPECT_EQ(fake::take(fake::online).size(), 1u);
}

TEST_F(Paths, LocalPathAnswersItself) {
    EXPECT_EQ(dynkomm_openpath(OWN, OWN, 10, 2, 4, 0, continuation, 5), 1);
    sim::step(1);
    ASSERT_EQ(completions.size(), 1u);
    const uint32_t fifo = word(completions[0].first, 4);
    EXPECT_EQ(completions[0], std::make_pair(fields({{5, 4}, {fifo, 4}, {fifo, 4}, {OWN, 2}, {0, 2}}), OWN));
    dynkomm_closepath(OWN, fifo, OWN);
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 0);
    // the same foreign unit at both ends: recorded, and the requester hears it failed
    dynkomm_openpath(PEER, PEER, 10, 2, 4, 0, continuation, 6);
    sim::step(1);
    EXPECT_EQ(dynkomm_error_get(dynkomm_error_count() - 1).code, 0xE000u);
    EXPECT_EQ(completions.back(), std::make_pair(fields({{6, 4}, {0, 4}, {0, 4}, {0, 2}, {0, 2}}), OWN));
}

} // namespace
