// Magic numbers and data FIFOs: a number handed out, deleted and reusable after its delay, the
// two FIFO modes, a writer lapping an online reader, the route a FIFO notes for its destination,
// and FIFOs that are released only once.
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"

#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr uint16_t OWN = 0x25;

// A path's FIFO from `source` to `dest` registered: its number, or 0 (the FIFO freed) when refused.
uint32_t registered(uint16_t source, uint16_t dest) {
    DynkommFifo* f = dynkomm_fifo_alloc(1, 4);
    f->sourcePid = source;
    f->destPid = dest;
    const uint32_t m = dynkomm_fifo_register(f);
    if (!m) dynkomm_fifo_dispose(f);
    return m;
}

struct Dynkomm : ::testing::Test {
    void SetUp() override {
        testsupport::logStart();
        platform::Settings s;
        s.pid = OWN;
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0);
        ASSERT_TRUE(AppMan_init() == 1 && dynkomm_ini() == 1);
    }
    void TearDown() override { dynkomm_reset(), rtpman_reset(); }
};

TEST_F(Dynkomm, NumbersComeBackOnlyAfterTheirDelayAndStaleOnesAreRefused) {
    MagicTable* t = magicNumber_createMem(4, 2);
    ASSERT_NE(t, nullptr);
    const uint32_t a = magicNumber_getNewMagic(t), b = magicNumber_getNewMagic(t),
                   third = magicNumber_getNewMagic(t);
    EXPECT_EQ(std::tuple(a & 0xFFFF, b & 0xFFFF, third & 0xFFFF), std::tuple(1u, 2u, 3u))
        << "index 0 names nothing";
    EXPECT_EQ(magicNumber_getNewMagic(t), 0u) << "every entry in use";
    EXPECT_EQ(magicNumber_deleteMagic(t, a), 1);
    EXPECT_EQ(magicNumber_magic2index(t, a), -1) << "deleted: not valid at once";
    EXPECT_EQ(magicNumber_deleteMagic(t, a), 0) << "only once";
    // delay 2: free after three collections
    for (int i = 0; i < 2; ++i) {
        magicNumber_garbageCollection(t);
        EXPECT_EQ(magicNumber_counters(t).waiting, 1u) << i;
    }
    magicNumber_garbageCollection(t);
    EXPECT_EQ(magicNumber_counters(t).waiting, 0u);
    const uint32_t c = magicNumber_getNewMagic(t);
    EXPECT_EQ(c & 0xFFFF, 1u) << "the entry of a comes back";
    // deleted at once: the next request that reaches the entry takes it
    EXPECT_EQ(magicNumber_deleteMagic_noTimeout(t, b), 1);
    EXPECT_NE(magicNumber_getNewMagic(t), 0u);
    // another boot byte, another generation, an index outside the table: not valid
    for (uint32_t forged : {c ^ 0x01000000u, c ^ 0x00010000u, (c & 0xFFFF0000u) | 4u, 0u})
        EXPECT_EQ(magicNumber_magic2index(t, forged), -1) << std::hex << forged;
    EXPECT_EQ(magicNumber_magic2index(t, c), static_cast<int32_t>(c & 0xFFFF));
    magicNumber_freeMem(t);
}

// A table whose free entries are gone takes the number that has waited longest for its delay,
// under a new generation; while free entries remain they go first and the delay holds.
TEST_F(Dynkomm, AFullTableTakesTheLongestWaitingNumberAndRefusesOnlyWhenAllAreInUse) {
    MagicTable* t = magicNumber_createMem(8, 2);
    ASSERT_NE(t, nullptr);
    uint32_t n[8] = {};
    for (int i = 1; i < 8; ++i)
        n[i] = magicNumber_getNewMagic(t);
    EXPECT_EQ(magicNumber_getNewMagic(t), 0u) << "all seven in use";
    for (int i : {3, 1, 5})
        EXPECT_EQ(magicNumber_deleteMagic(t, n[i]), 1) << i;
    auto counters = [t] {
        const MagicCounters c = magicNumber_counters(t);
        return std::pair(c.inUse, c.waiting);
    };
    EXPECT_EQ(counters(), std::pair(4u, 3u));
    const uint32_t again = magicNumber_getNewMagic(t);
    EXPECT_EQ(again & 0xFFFF, 3u) << "deleted first";
    EXPECT_NE(again, n[3]);
    EXPECT_EQ(magicNumber_magic2index(t, n[3]), -1) << "the stale number names nothing";
    EXPECT_EQ(magicNumber_deleteMagic(t, n[3]), 0) << "and stops nothing";
    EXPECT_EQ(magicNumber_magic2index(t, again), 3);
    EXPECT_EQ(counters(), std::pair(5u, 2u));
    EXPECT_EQ(magicNumber_deleteMagic_noTimeout(t, n[2]), 1);
    std::vector<uint32_t> order;
    for (uint32_t m; (m = magicNumber_getNewMagic(t)) != 0;)
        order.push_back(m & 0xFFFF);
    EXPECT_EQ(order, (std::vector<uint32_t>{2, 1, 5})) << "the free entry first, then by age";
    EXPECT_EQ(counters(), std::pair(7u, 0u));
    EXPECT_EQ(magicNumber_deleteMagic(t, again), 1);
    magicNumber_clear(t);
    EXPECT_EQ(counters(), std::pair(0u, 0u));
    order.clear();
    for (uint32_t m; (m = magicNumber_getNewMagic(t)) != 0;)
        order.push_back(m & 0xFFFF);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7})) << "cleared";
    magicNumber_freeMem(t);
}

TEST_F(Dynkomm, DataFifoNumbersReturnAfter241SecondsAndNeverAtOnce) {
    const uint32_t m = dynkomm_get_magic();
    EXPECT_EQ(m & 0xFFFF, 1u);
    EXPECT_EQ(dynkomm_free_magic(m), 1);
    for (int s = 0; s < 240; ++s)
        dynkomm_1s();
    EXPECT_EQ(dynkomm_counters().waiting, 1u);
    dynkomm_1s();
    EXPECT_EQ(dynkomm_counters().waiting, 0u);
}

TEST_F(Dynkomm, QueueModeRefusesWhenFullOnlineKeepsTheNewest) {
    struct Case {
        uint16_t flags;
        int writes;
        int accepted;
        std::vector<uint32_t> read;
    };
    const Case cases[] = {{DK_FLAG_QUEUE, 5, 4, {0, 1, 2, 3}}, {0, 5, 5, {4}}};
    for (const Case& c : cases) {
        DynkommFifo* f = dynkomm_fifo_alloc(4, 4);
        ASSERT_NE(f, nullptr);
        f->flags = c.flags;
        int accepted = 0;
        for (uint32_t v = 0; v < static_cast<uint32_t>(c.writes); ++v)
            accepted += dynkomm_write_copy(f, &v);
        EXPECT_EQ(accepted, c.accepted) << c.flags;
        std::vector<uint32_t> read;
        for (uint32_t v; dynkomm_read_copy(f, &v);)
            read.push_back(v);
        EXPECT_EQ(read, c.read) << c.flags;
        EXPECT_TRUE(dynkomm_write_copy(f, &c.accepted)) << "room again after reading";
        dynkomm_fifo_dispose(f);
    }
}

// A reader that may leave an entry copies it first: it stays until readdone. Queue mode hands
// the oldest, online the newest; a slot larger than the reader's room is not copied.
TEST_F(Dynkomm, ACopiedEntryStaysUntilReaddone) {
    struct Case {
        uint16_t flags;
        uint32_t first;
        std::vector<uint32_t> rest;
    };
    const Case cases[] = {{DK_FLAG_QUEUE, 1, {2, 3}}, {0, 3, {}}};
    for (const Case& c : cases) {
        DynkommFifo* f = dynkomm_fifo_alloc(4, 4);
        f->flags = c.flags;
        for (uint32_t v = 1; v <= 3; ++v)
            dynkomm_write_copy(f, &v);
        uint32_t a = 0, b = 0;
        EXPECT_FALSE(dynkomm_peek_copy(f, &a, 3)) << c.flags;
        EXPECT_TRUE(dynkomm_peek_copy(f, &a, 4) && dynkomm_peek_copy(f, &b, 4)) << c.flags;
        EXPECT_EQ(std::pair(a, b), std::pair(c.first, c.first)) << c.flags;
        dynkomm_readdone(f);
        std::vector<uint32_t> rest;
        for (uint32_t v; dynkomm_peek_copy(f, &v, 4); dynkomm_readdone(f))
            rest.push_back(v);
        EXPECT_EQ(rest, c.rest) << c.flags;
        dynkomm_fifo_dispose(f);
    }
}

// A one-slot online FIFO is lapped by every write: the reader gets whole entries or none.
TEST_F(Dynkomm, LappingWriterNeverHandsATornEntryToTheReader) {
    constexpr int WORDS = 64;
    DynkommFifo* f = dynkomm_fifo_alloc(1, WORDS * 4);
    std::atomic<bool> done{false};
    std::atomic<int> whole{0};
    std::thread writer([&] { // on until the reader has had some entries, however late it runs
        uint32_t entry[WORDS];
        for (uint32_t n = 1; n <= 200000 || whole < 100; ++n) {
            for (uint32_t& w : entry)
                w = n;
            dynkomm_write_copy(f, entry);
        }
        done = true;
    });
    int torn = 0;
    uint32_t entry[WORDS];
    while (!done) {
        if (!dynkomm_read_copy(f, entry)) continue;
        bool same = true;
        for (uint32_t w : entry)
            same = same && w == entry[0];
        same ? ++whole : ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    dynkomm_fifo_dispose(f);
}

TEST_F(Dynkomm, RegisteredFifoIsFreedOnceAndWrittenOnlyWithinItsSlot) {
    DynkommFifo* f = dynkomm_fifo_alloc(2, 8);
    f->flags = DK_FLAG_QUEUE;
    const uint32_t m = dynkomm_fifo_register(f);
    ASSERT_NE(m, 0u);
    const uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(dynkomm_fifo_put(m, data, 12, nullptr), DK_PUT_TOO_LONG);
    EXPECT_EQ(dynkomm_fifo_put(m, data, 3, nullptr), DK_PUT_OK);
    EXPECT_EQ(dynkomm_fifo_put(m, data, 8, nullptr), DK_PUT_OK);
    EXPECT_EQ(dynkomm_fifo_put(m, data, 8, nullptr), DK_PUT_FULL);
    uint8_t slot[8];
    ASSERT_TRUE(dynkomm_read_copy(f, slot));
    EXPECT_EQ(std::vector<uint8_t>(slot, slot + 8), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}))
        << "a short record is zero-filled";
    EXPECT_EQ(dynkomm_fifo_put(m ^ 0x00010000u, data, 4, nullptr), DK_PUT_NO_FIFO);
    EXPECT_EQ(dynkomm_fifo_free(m), 1);
    EXPECT_EQ(dynkomm_fifo_free(m), 0) << "the number is gone with the FIFO";
    EXPECT_EQ(dynkomm_fifo_put(m, data, 4, nullptr), DK_PUT_NO_FIFO);
    // a slot larger than a frame (a peer's list reply sets the size) is zeroed to its end
    DynkommFifo* big = dynkomm_fifo_alloc(1, 3000);
    const uint32_t b = dynkomm_fifo_register(big);
    std::memset(big->slot(0), 0xEE, 3000);
    EXPECT_EQ(dynkomm_fifo_put(b, data, 4, nullptr), DK_PUT_OK);
    EXPECT_EQ(std::count(big->slot(0) + 4, big->slot(0) + 3000, 0), 2996);
}

// A FIFO notes how its destination is reached: 240 over Ethernet, 241 over a local socket, 0
// for this unit and a unit without a route. Online, a read takes the newest entry, once.
TEST_F(Dynkomm, FifosNoteTheirDestinationsRouteAndAnOnlineReadTakesTheNewest) {
    routing_ini();
    routing_set_table_entries({ROUTE_ETHERNET, 0xC0000230}, 0x30, 0x30);
    routing_set_table_entries({ROUTE_LOCSOCK, 7}, 0x31, 0x31);
    std::vector<uint16_t> codes;
    for (uint16_t dest : {0x30, 0x31, 0x32}) {
        DynkommFifo* f = dynkomm_fifo_create(dynkomm_fifo_reserve(dest), OWN, 0, dest, 3, 4, 4, 0);
        ASSERT_NE(f, nullptr) << dest;
        codes.push_back(f->routeCode);
    }
    codes.push_back(dynkomm_fifo_create_local(dynkomm_get_magic(), 3, 4, 4, 0)->routeCode);
    EXPECT_EQ(codes, (std::vector<uint16_t>{240, 241, 0, 0})) << "Ethernet, local socket, none, this unit";
    DynkommFifo* f = dynkomm_fifo_alloc(4, 4);
    for (uint32_t v : {7u, 8u, 9u})
        dynkomm_write_copy(f, &v);
    const uint8_t* slot = dynkomm_read(f);
    ASSERT_NE(slot, nullptr);
    uint32_t newest = 0;
    std::memcpy(&newest, slot, 4);
    dynkomm_readdone(f);
    EXPECT_EQ(std::pair(newest, dynkomm_read(f)), std::pair(9u, static_cast<uint8_t*>(nullptr)));
    dynkomm_fifo_dispose(f);
}

TEST_F(Dynkomm, ReservedNumbersBecomeFifosOnlyOnce) {
    const uint32_t m = dynkomm_fifo_reserve(0x30);
    ASSERT_NE(m, 0u);
    DynkommFifo* out = reinterpret_cast<DynkommFifo*>(1);
    EXPECT_EQ(dynkomm_get_fifo(m, &out), 2);
    EXPECT_EQ(out, nullptr);
    DynkommFifo* f = dynkomm_fifo_create(m, 0x30, m, OWN, 3, 8, 16, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(dynkomm_fifo_create(m, 0x30, m, OWN, 3, 8, 16, 0), nullptr) << "record no longer reserved";
    EXPECT_EQ(dynkomm_get_fifo(m, &out), 1);
    EXPECT_EQ(out, f);
    EXPECT_EQ(dynkomm_fifo_activate(m, OWN, 3, 8, 16, 0), m) << "this unit: the number unchanged";
    DynkommFifo* local = dynkomm_fifo_create_local(dynkomm_get_magic(), 0, 4, 8, 0);
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(std::pair(local->sourcePid, local->partnerMagic), std::pair(OWN, local->magic));
}

// Every data-FIFO number counts to the unit at the other end of its FIFO, a number reserved for a
// request of this unit's to this unit, and each of the 64 PIDs holds at most 1,023 (65,535 / 64):
// one peer that draws without end is refused with a line naming it while this unit's requests
// are served, a deleted number gives its place back, and all PIDs at their share fit together.
TEST_F(Dynkomm, EachPidHoldsItsShareOfTheNumbersAndAllSharesFitTogether) {
    auto pathFrom = [](uint16_t pid) { return registered(pid, OWN); }; // a path the peer opens here
    auto drawAll = [&](uint16_t pid) {
        uint32_t n = 0;
        while (n < DK_MAGIC_COUNT && (pid == OWN ? dynkomm_fifo_reserve(0x30) : pathFrom(pid)))
            ++n;
        return n;
    };
    std::vector<testsupport::LogLine> seen;
    const uint32_t first = pathFrom(0x30);
    EXPECT_EQ(drawAll(0x30), 1022u);
    EXPECT_TRUE(testsupport::logContains(seen, "dynkomm_fifo_register(): PID 0x30 holds its share of 1023"));
    const uint32_t own = dynkomm_fifo_reserve(0x30);
    EXPECT_NE(own, 0u) << "this unit's own request";
    EXPECT_EQ(dynkomm_fifo_free(first), 1);
    EXPECT_NE(pathFrom(0x30), 0u) << "a deleted number gives its place back";
    EXPECT_EQ(pathFrom(0x30), 0u);
    std::vector<uint32_t> shares;
    for (uint16_t pid = 0; pid < 64; ++pid)
        shares.push_back(pid == 0x30 ? 1023 : drawAll(pid) + (pid == OWN));
    EXPECT_EQ(shares, std::vector<uint32_t>(64, 1023));
}

// A sending FIFO (this unit's values towards a peer) counts to that peer, not to this unit: the
// peer whose lists fill its share is refused more, while this unit's own requests and the FIFOs
// towards another peer are served.
TEST_F(Dynkomm, ASendingFifoCountsToThePeerItSendsTo) {
    auto sendingTo = [](uint16_t pid) { return registered(OWN, pid); };
    uint32_t n = 0;
    while (n < DK_MAGIC_COUNT && sendingTo(0x30))
        ++n;
    EXPECT_EQ(n, 1023u);
    std::vector<testsupport::LogLine> seen;
    EXPECT_TRUE(testsupport::logContains(seen, "dynkomm_fifo_register(): PID 0x30 holds its share of 1023"));
    EXPECT_NE(dynkomm_fifo_reserve(0x30), 0u) << "this unit's own request";
    EXPECT_NE(sendingTo(0x32), 0u) << "another peer";
}

} // namespace
