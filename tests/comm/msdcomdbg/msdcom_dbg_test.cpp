// Communication diagnostics: the pings' schedule and bookkeeping over the recording transport
// (their echoes between two units: tests/e2e/test_network.py).
#include "comm/msdcomdbg/msdcom_dbg.h"
#include "comm/unit_fixture.h"
#include "platform/timemod/timemod_sim.h"
#include "vyn/vartable.h"

#include <tuple>

void BC2_debugoutGlob(Bc2DebugGlob* out) {
    *out = {};
}
int BC2_debugoutPID(uint32_t, Bc2DebugPid* out) {
    return *out = {}, 1;
}

namespace {

using namespace unit;

struct MsdcomDbg : Unit {
    void SetUp() override {
        Unit::SetUp();
        timemodsim::install();
        msdcom_dbg_reset();
        msdcom_dbg_ping_cnt = 0;
        msdcom_dbg_ping_error = msdcom_dbg_ping_over = msdcom_dbg_ping_max = 0;
    }
    // PEER pinged at `freq`, its channel made or not.
    static void ping(uint8_t freq, bool up = true) {
        seram_memory[VTADDR_MSDCOM_DBG_PING_PID + seramActiveOffset] = PEER;
        seram_memory[VTADDR_MSDCOM_DBG_PING_FREQ + seramActiveOffset] = freq;
        fake::up = up ? uint64_t{1} << PEER : 0;
    }
    // Runs the 10 ms call `n` times, 10 ms apart; the echo requests sent meanwhile.
    std::vector<fake::Bytes> run(int n) {
        std::vector<fake::Bytes> out;
        for (int i = 0; i < n; ++i) {
            msdcom_dbg_10ms();
            for (auto& m : sent())
                out.push_back(m);
            sim::step(9);
        }
        return out;
    }
};

TEST_F(MsdcomDbg, OnePingPer100msWithFrequency1EveryCallWith2NoneOtherwiseOrUnconnected) {
    struct Case {
        uint8_t freq;
        bool up;
        int calls, pings;
    } cases[] = {{1, true, 30, 3}, {2, true, 5, 5}, {3, true, 30, 0}, {0, true, 30, 0}, {2, false, 5, 0}};
    for (const Case& c : cases) {
        msdcom_dbg_reset();
        ping(c.freq, c.up);
        const auto out = run(c.calls);
        ASSERT_EQ(static_cast<int>(out.size()), c.pings) << int{c.freq};
        for (size_t i = 0; i < out.size(); ++i) { // an echo request; slot index i, loop 0
            const CiHeader h = ci_header(out[i].data());
            EXPECT_EQ(std::tuple(h.code, h.dest, h.length, h.context2, word(out[i], 24)),
                      std::tuple(0x0105, PEER, 8, 0u, i << 16));
        }
    }
    EXPECT_EQ(msdcom_dbg_ping_error, 0);
}

TEST_F(MsdcomDbg, ASilentPeerLeavesItsSlotsPendingAndEachReuseCountsAnError) {
    ping(2);
    EXPECT_EQ(run(100).size(), 100u);
    EXPECT_EQ(msdcom_dbg_ping_error, 0);
    // the oldest pending ping is 99 calls of 10 ms (100 us units) old at the hundredth call
    EXPECT_EQ(msdcom_dbg_ping_max, 99 * 100);
    const auto again = run(3);
    EXPECT_EQ(msdcom_dbg_ping_error, 3);
    EXPECT_EQ(msdcom_dbg_ping_max, 100 * 100); // the slot being reused, sent 100 calls before
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(word(again[2], 24), 2u << 16 | 1u); // slot 2 of loop 1
}

TEST_F(MsdcomDbg, LateForgedAndImpossibleAnswers) {
    ping(2);
    const auto out = run(1);
    ASSERT_EQ(out.size(), 1u);
    const fake::Bytes request(out[0].begin() + 20, out[0].end());
    auto answer = [](fake::Bytes p) { pingCallBack(p.data(), p.size(), PEER); };
    fake::Bytes late = request;
    late[7] = 1; // loop 1: the slot's next round
    fake::Bytes future = request;
    future[0] ^= 0x80;
    fake::Bytes slot100 = request;
    slot100[5] = 100;
    struct Case {
        fake::Bytes payload;
        uint32_t cnt;
        uint16_t over, error;
    } cases[] = {{slot100, 0, 0, 1},
                 {fake::Bytes(4), 0, 0, 2},
                 {late, 1, 1, 2},
                 {future, 2, 1, 3},
                 {request, 3, 1, 3}};
    for (const Case& c : cases) {
        answer(c.payload);
        EXPECT_EQ(std::tuple(msdcom_dbg_ping_cnt, msdcom_dbg_ping_over, msdcom_dbg_ping_error),
                  std::tuple(c.cnt, c.over, c.error));
    }
}

} // namespace
