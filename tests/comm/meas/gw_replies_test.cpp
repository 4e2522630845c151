// The gateway against what serving peers answer: copies of replies, stray ones, late ones, replies
// of another kind or from another unit, and refusals, by address and by names; and a set-up that a
// delete cuts short.
#define FAKE_TRANSPORT_ELSEWHERE
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/unit_fixture.h"

namespace {

using namespace unit;
using fake::Bytes;

constexpr uint16_t NAMER = 0x22; // "Q50": takes lists by names

struct Seen {
    int entry;
    uint32_t status, value; // a read's value, else 0
    bool operator==(const Seen&) const = default;
};
std::vector<Seen> seenCalls;
template <int E> int note(uint32_t s, const void* d, uintptr_t) {
    const auto* p = static_cast<const uint8_t*>(d);
    seenCalls.push_back({E, s, E == GW_CB_READ && p ? cimsg::word(Bytes(p, p + 8), 4) : 0});
    return E == GW_CB_READ;
}
const gw_callbacks_t noting{
    {{nullptr, 0}, {note<1>, 0}, {note<2>, 0}, {note<3>, 0}, {nullptr, 0}, {note<5>, 0}}};

struct Replies : Unit {
    gw_client_t* client = nullptr;
    void SetUp() override {
        Unit::SetUp();
        meas_man_reset();
        meas_man_ini();
        gw_reset();
        gw_meas_ini();
        gw_meas_setHandlers();
        meas_man_setGatewaySink(&gw_measGatewaySink);
        routing_set_table_entries({ROUTE_ETHERNET, 0xC0000222}, NAMER, NAMER);
        fake::up = 1ull << PEER | 1ull << FAR | 1ull << NAMER;
        fake::byNames = 1ull << NAMER;
        seenCalls.clear();
        client = gw_connect(&noting);
    }
    void TearDown() override {
        sim::step(1);
        gw_reset();
        meas_man_reset();
        gw_disconnect(client);
        meas_man_setGatewaySink(nullptr);
        fake::byNames = 0;
        Unit::TearDown();
    }
    static std::vector<Seen> took() { return std::exchange(seenCalls, {}); }
    // n 10 ms cycles; `serving` answers the state queries with `state` (1 measuring), the other
    // units that they measure nothing. The other messages sent, in order.
    std::vector<Bytes> cycle(int n, uint32_t state, uint16_t serving = PEER) {
        std::vector<Bytes> out;
        for (int i = 0; i < n; ++i) {
            gw_meas_monitoring();
            gw_request_timeout();
            sim::step(1);
            for (const Bytes& q : fake::take(fake::commands)) {
                const uint16_t code = static_cast<uint16_t>(q[16] << 8 | q[17]), to = q[6] << 8 | q[7];
                const uint32_t answer = to == serving ? state : 0;
                if (code == 0x0505)
                    serve(message(answer ? 0x0103 : 0x0104, to, OWN, 0, word(q, 8)));
                else if (code == 0x0516)
                    serve(message(0x0517, to, OWN, 0, 0, fields({{answer, 4}})));
                else
                    out.push_back(q);
            }
        }
        return out;
    }
    static std::vector<uint16_t> codes(const std::vector<Bytes>& ms) {
        std::vector<uint16_t> out;
        for (const Bytes& m : ms)
            out.push_back(static_cast<uint16_t>(m[16] << 8 | m[17]));
        return out;
    }
    uint32_t byAddress(uint32_t address) {
        const int32_t list[] = {-4, static_cast<int32_t>(address), 0, 0};
        const uint32_t h = gw_setup_list(client, list, 0, sizeof list, 3, PEER, 1, 0, 1, 4, 8, 0);
        gw_start_list(h);
        return h;
    }
    uint32_t byNames() {
        static const char name[] = "usb_portsc1";
        const uint32_t h = gw_setup_list_measByName(client, "Q50", name, 0, sizeof name, 1, 3, 1, 0, 1, 4, 0);
        gw_start_list(h);
        return h;
    }
    // A receiving FIFO of a path from `pid`, as the peer's path open makes it here.
    static uint32_t pathFrom(uint16_t pid) {
        const uint32_t fifo = dynkomm_fifo_reserve(pid);
        return dynkomm_fifo_activate(fifo, pid, 3, 4, 8, 0);
    }
    static Bytes grant(uint16_t from, uint32_t request, uint32_t list, uint32_t fifo) {
        return message(0x0501, from, OWN, list, request, fields({{fifo, 4}, {9, 2}}));
    }
    // The answer to a request by names (its FIFO number reserved here in context 2): list 0 refuses.
    static Bytes grantByNames(const Bytes& request, uint32_t list) {
        return message(0x0511, NAMER, OWN, word(request, 12), word(request, 8),
                       fields({{list, 4}, {4, 2}, {8, 2}, {0, 2}, {3, 2}, {0, 4}}));
    }
    // An entry carrying `value` arrives in the FIFO and the raster hands it on: the value read.
    std::vector<Seen> flows(uint32_t fifo, uint32_t value) {
        const Bytes entry = fields({{1, 4}, {value, 4}});
        EXPECT_EQ(dynkomm_fifo_put(fifo, entry.data(), entry.size(), nullptr), DK_PUT_OK);
        gw_raster(3);
        return took();
    }
};

// A serving peer that sends a grant twice, and stray grants naming the running list's FIFO or
// its number: each is ignored, the values keep flowing. A grant naming nothing here is stopped.
TEST_F(Replies, CopiesAndStrayGrantsLeaveARunningListRunning) {
    byAddress(0x40010);
    const auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0500});
    const uint32_t fifo = pathFrom(PEER), other = pathFrom(PEER), stray = pathFrom(PEER);
    serve(grant(PEER, word(rq[0], 8), 0x77, fifo));
    EXPECT_EQ(took(), (std::vector<Seen>{{GW_CB_START, GW_OK, 0}}));
    EXPECT_EQ(flows(fifo, 1), (std::vector<Seen>{{GW_CB_READ, GW_OK, 1}}));
    serve(grant(PEER, word(rq[0], 8), 0x77, fifo));
    serve(grant(PEER, 0x1234, 0x99, fifo));
    serve(grant(PEER, 0x1234, 0x77, other));
    EXPECT_EQ(codes(cycle(30, 1)), std::vector<uint16_t>{});
    EXPECT_EQ(flows(fifo, 2), (std::vector<Seen>{{GW_CB_READ, GW_OK, 2}}));
    serve(grant(PEER, 0x1234, 0x55, stray));
    const auto out = cycle(1, 1);
    ASSERT_EQ(codes(out), std::vector<uint16_t>{0x0502});
    EXPECT_EQ(word(out[0], 12), 0x55u);
    EXPECT_EQ(dynkomm_get_fifo(stray, nullptr), 0) << "freed";
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 1);
}

// The same by names: a copy of the grant, and a refusal naming the running list's FIFO, leave the
// list and its FIFO alone.
TEST_F(Replies, CopiesOfAGrantByNamesLeaveItsListRunning) {
    byNames();
    const auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0510});
    const uint32_t fifo = word(rq[0], 12);
    serve(grantByNames(rq[0], 0x777));
    ASSERT_EQ(took(), (std::vector<Seen>{{GW_CB_START, GW_OK, 0}}));
    EXPECT_EQ(flows(fifo, 1), (std::vector<Seen>{{GW_CB_READ, GW_OK, 1}}));
    serve(grantByNames(rq[0], 0x777));
    serve(message(0x0511, NAMER, OWN, fifo, 0x1234, fields({{0, 4}, {0, 4}, {0, 4}, {0, 4}})));
    EXPECT_EQ(codes(cycle(30, 1, NAMER)), std::vector<uint16_t>{});
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 1);
    EXPECT_EQ(flows(fifo, 2), (std::vector<Seen>{{GW_CB_READ, GW_OK, 2}}));
}

// A grant by names that comes after its request timed out: nothing here reads it, so it is
// stopped and its FIFO freed; the list asked for again runs on its own grant.
TEST_F(Replies, AGrantByNamesThatComesTooLateIsStoppedAndItsFifoFreed) {
    byNames();
    const auto first = cycle(2, 0);
    ASSERT_EQ(codes(first), std::vector<uint16_t>{0x0510});
    const auto again = cycle(152, 0);
    ASSERT_EQ(codes(again), std::vector<uint16_t>{0x0510}) << "asked for again 1.5 s on";
    took();
    serve(grantByNames(first[0], 0x701));
    const auto out = cycle(1, 0);
    ASSERT_EQ(codes(out), std::vector<uint16_t>{0x0512});
    EXPECT_EQ(word(out[0], 12), 0x701u);
    EXPECT_EQ(dynkomm_get_fifo(word(first[0], 12), nullptr), 0) << "freed";
    EXPECT_TRUE(took().empty());
    serve(grantByNames(again[0], 0x702));
    EXPECT_EQ(took(), (std::vector<Seen>{{GW_CB_START, GW_OK, 0}}));
    EXPECT_EQ(flows(word(again[0], 12), 3), (std::vector<Seen>{{GW_CB_READ, GW_OK, 3}}));
}

// A request is answered only by a reply of its own kind from the unit it went to: an answer to
// a speed change naming it, or a grant from another unit, leaves it waiting for its grant.
TEST_F(Replies, RepliesOfAnotherKindOrUnitAnswerNoRequest) {
    byAddress(0x40010);
    const auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0500});
    serve(message(0x0515, PEER, OWN, 0, word(rq[0], 8), fields({{1, 4}})));
    const uint32_t far = pathFrom(FAR);
    serve(grant(FAR, word(rq[0], 8), 0x66, far));
    EXPECT_TRUE(took().empty());
    const uint32_t fifo = pathFrom(PEER);
    serve(grant(PEER, word(rq[0], 8), 0x77, fifo));
    EXPECT_EQ(took(), (std::vector<Seen>{{GW_CB_START, GW_OK, 0}}));
    const auto out = cycle(20, 1);
    ASSERT_EQ(codes(out), std::vector<uint16_t>{0x0502}) << "FAR's list alone is stopped";
    EXPECT_EQ(std::pair(word(out[0], 4) & 0xFFFF, word(out[0], 12)), std::pair(uint32_t{FAR}, 0x66u));
    EXPECT_EQ(flows(fifo, 4), (std::vector<Seen>{{GW_CB_READ, GW_OK, 4}}));
}

// A peer grants one list and refuses the other, again at every request: the refusal is told
// once, naming the PID and the list, and the peer's measurement is not reported as all running.
TEST_F(Replies, ARefusedListIsToldOnceAndNotReportedAsRunning) {
    byAddress(0x40010);
    byAddress(0x40020);
    auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), (std::vector<uint16_t>{0x0500, 0x0500}));
    const bool firstIsOther = word(rq[0], 36) == 0x40020;
    const Bytes running = rq[firstIsOther ? 1 : 0];
    serve(grant(PEER, word(running, 8), 0x77, pathFrom(PEER)));
    rq = {rq[firstIsOther ? 0 : 1]};
    for (int n = 0; n < 40 && !rq.empty(); ++n) {
        for (const Bytes& q : rq)
            serve(grant(PEER, word(q, 8), 0, 0));
        rq = cycle(1, 1);
    }
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0500}) << "asked for again";
    EXPECT_EQ(countLogged("MeasGate: PID 0x30 refused the list of raster 3 with 1 value from 0x040020"), 1);
    EXPECT_FALSE(logged("Measurement for PID 0x30 is set up and running"));
    EXPECT_TRUE(logged("MeasGate: Measurement for PID 0x30 is running, 1 of its 2 lists refused"));
}

// A peer that never answers requests by names: each request that times out gives its reserved
// FIFO number back, so the list asked for again and again holds one. Late grants for those
// requests are stopped (no answer wanted); the list granted at last keeps running.
TEST_F(Replies, RequestsByNamesThatTimeOutGiveBackTheirFifoNumbers) {
    byNames();
    std::vector<Bytes> rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0510});
    const uint32_t inUse = dynkomm_counters().inUse;
    while (rq.size() < 11)
        for (const Bytes& q : cycle(1, 0))
            rq.push_back(q);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>(11, 0x0510));
    EXPECT_EQ(dynkomm_counters().inUse, inUse) << "one number reserved at a time";
    took(); // the time-outs told
    serve(grantByNames(rq.back(), 0x800));
    EXPECT_EQ(took(), (std::vector<Seen>{{GW_CB_START, GW_OK, 0}}));
    for (uint32_t i = 0; i < 10; ++i)
        serve(grantByNames(rq[i], 0x700 + i));
    std::vector<std::pair<uint32_t, uint32_t>> stops; // context words
    for (const Bytes& m : cycle(1, 1, NAMER))
        stops.emplace_back(word(m, 8), word(m, 12));
    ASSERT_EQ(stops.size(), 10u);
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(stops[i], std::pair(0u, 0x700 + i)) << "a stop by names for late grant " << i;
    EXPECT_EQ(flows(word(rq.back(), 12), 5), (std::vector<Seen>{{GW_CB_READ, GW_OK, 5}}));
}

// A stop answer (0x0513) frees a FIFO only when it answers a stop asked here for that FIFO, even
// once the stopped list is freed. Stray answers naming the running list's FIFO, and answers from
// another unit or naming another FIFO, free nothing: the values keep flowing.
TEST_F(Replies, OnlyTheAnswerToAStopAskedHereFreesItsFifo) {
    const uint32_t handle = byNames();
    const auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0510});
    const uint32_t fifo = word(rq[0], 12), other = pathFrom(NAMER);
    serve(grantByNames(rq[0], 0x777));
    took();
    serve(message(0x0513, NAMER, OWN, fifo, 0x1234, fields({{1, 4}})));
    serve(message(0x0513, NAMER, OWN, fifo, 0, fields({{1, 4}})));
    EXPECT_EQ(flows(fifo, 1), (std::vector<Seen>{{GW_CB_READ, GW_OK, 1}}));
    EXPECT_TRUE(logged("MeasGate: stop answer of PID 0x22 for FIFO"));
    gw_kill_list(handle);
    const auto stop = cycle(15, 1, NAMER);
    ASSERT_EQ(codes(stop), std::vector<uint16_t>{0x0512});
    EXPECT_EQ(word(stop[0], 12), 0x777u);
    const uint32_t request = word(stop[0], 8);
    serve(message(0x0513, NAMER, OWN, other, request, fields({{1, 4}})));
    serve(message(0x0513, PEER, OWN, fifo, request, fields({{1, 4}})));
    EXPECT_EQ(std::pair(dynkomm_get_fifo(fifo, nullptr), dynkomm_get_fifo(other, nullptr)), std::pair(1, 1));
    serve(message(0x0513, NAMER, OWN, fifo, request, fields({{1, 4}})));
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 0) << "freed";
}

// A list by names killed while its request is out gets its grant before the kill is through (the
// list freed after its delay): the grant is stopped and its FIFO freed, the list does not run.
// Neither that grant nor a late copy of a running list's own grant disturbs that list.
TEST_F(Replies, AGrantBetweenAKillAndItsEndIsStoppedAndLeavesARunningListAlone) {
    byAddress(0x40010);
    const uint32_t killed = byNames();
    const auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq).size(), 2u);
    const Bytes& named = codes(rq)[0] == 0x0510 ? rq[0] : rq[1];
    const Bytes& addressed = codes(rq)[0] == 0x0510 ? rq[1] : rq[0];
    const uint32_t running = pathFrom(PEER);
    serve(grant(PEER, word(addressed, 8), 0x77, running));
    took();
    gw_kill_list(killed);
    ASSERT_EQ(codes(cycle(1, 1)), std::vector<uint16_t>{0x0512}) << "the stop of a list not granted yet";
    serve(grantByNames(named, 0x778));
    const auto out = fake::take(fake::commands);
    ASSERT_EQ(codes(out), std::vector<uint16_t>{0x0512});
    EXPECT_EQ(word(out[0], 12), 0x778u);
    EXPECT_EQ(dynkomm_get_fifo(word(named, 12), nullptr), 0) << "freed";
    EXPECT_EQ(took(), (std::vector<Seen>{{GW_CB_STOP, GW_OK, 0}})) << "not started";
    serve(grant(PEER, word(addressed, 8), 0x77, running));
    cycle(20, 1);
    EXPECT_EQ(dynkomm_get_fifo(running, nullptr), 1);
    EXPECT_EQ(flows(running, 6), (std::vector<Seen>{{GW_CB_READ, GW_OK, 6}}));
}

// A stop by names whose answer never comes frees the stopped list's FIFO when it times out, as
// its answer would have: nothing here reads that FIFO any more.
TEST_F(Replies, AStopByNamesLeftUnansweredFreesItsFifoWhenItTimesOut) {
    const uint32_t handle = byNames();
    const auto rq = cycle(2, 0);
    ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0510});
    const uint32_t fifo = word(rq[0], 12);
    serve(grantByNames(rq[0], 0x777));
    took();
    gw_kill_list(handle);
    ASSERT_EQ(codes(cycle(140, 1, NAMER)), std::vector<uint16_t>{0x0512});
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 1) << "its answer may still come";
    cycle(20, 1, NAMER);
    EXPECT_EQ(dynkomm_get_fifo(fifo, nullptr), 0) << "freed";
}

// A set-up whose task is deleted while it waits for the gateway (another task's stop is in its
// callback) leaves nothing of it behind: the sanitizer build's leak check sees what it took.
SEM_ID holdStop = nullptr;
int heldStop(uint32_t, const void*, uintptr_t) {
    semTake(holdStop, WAIT_FOREVER);
    return 0;
}
const gw_callbacks_t stopHeld{
    {{nullptr, 0}, {nullptr, 0}, {heldStop, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};

TEST_F(Replies, ASetUpDeletedWhileTheGatewayIsBusyLeavesNothingBehind) {
    holdStop = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    gw_client_t* stopping = gw_connect(&stopHeld);
    const int32_t list[] = {-4, 0x40010, 0, 0};
    const uint32_t h = gw_setup_list(stopping, list, 0, sizeof list, 3, PEER, 1, 0, 1, 4, 8, 0);
    ASSERT_NE(h, 0u);
    const TASK_ID stopper = taskSpawnFn("stopper", 100, 0, 0, [h] { gw_kill_list(h); });
    sim::waitIdle(); // in its callback, the gateway's mutex held
    const TASK_ID setter = taskSpawnFn("setter", 100, 0, 0, [this] { byAddress(0x40020); });
    sim::waitIdle(); // waiting for the mutex
    EXPECT_EQ(taskDelete(setter), OK);
    sim::waitIdle();
    semGive(holdStop);
    EXPECT_EQ(taskWaitExit(stopper, 10), OK);
    EXPECT_EQ(taskWaitExit(setter, 10), OK);
    gw_disconnect(stopping);
    semDelete(holdStop);
}

} // namespace
