// Communication diagnostics: the pings' schedule and bookkeeping, and the peers' counters as
// signals, over the recording transport.
#include "comm/msdcomdbg/msdcom_dbg.h"
#include "comm/unit_fixture.h"
#include "platform/timemod/timemod_sim.h"
#include "vyn/vartable.h"

#include <gtest/gtest.h>

#include <atomic>

std::atomic<uint64_t> peersUp{0};
int BC2_connected(uint32_t pid) {
    return pid < 64 && (peersUp.load() >> pid & 1);
}
int BC2_getRemoteCapabilty(uint32_t, int) {
    return 1;
}
void BC2_debugoutGlob(Bc2DebugGlob* out) {
    *out = {7, 8, 9, 0x01020304};
}
int BC2_debugoutPID(uint32_t pid, Bc2DebugPid* out) {
    *out = {0xA0000000u | pid, 3, 2, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 516};
    return 1;
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
        peersUp = 0;
    }
    static void setCal(uint32_t vaddr, uint8_t v) { seram_memory[vaddr + seramActiveOffset] = v; }
    static void ping(uint8_t pid, uint8_t freq) {
        setCal(VTADDR_MSDCOM_DBG_PING_PID, pid);
        setCal(VTADDR_MSDCOM_DBG_PING_FREQ, freq);
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
        peersUp = c.up ? uint64_t{1} << PEER : 0;
        ping(PEER, c.freq);
        const auto out = run(c.calls);
        ASSERT_EQ(static_cast<int>(out.size()), c.pings) << int{c.freq};
        for (size_t i = 0; i < out.size(); ++i) {
            const CiHeader h = ci_header(out[i].data());
            EXPECT_EQ(h.code, 0x0105);
            EXPECT_EQ(h.dest, PEER);
            EXPECT_EQ(h.length, 8);
            EXPECT_EQ(h.context2, 0u);
            EXPECT_EQ(word(out[i], 24), i << 16); // slot index i, loop 0
        }
    }
    EXPECT_EQ(msdcom_dbg_ping_error, 0);
}

TEST_F(MsdcomDbg, ASilentPeerLeavesItsSlotsPendingAndEachReuseCountsAnError) {
    peersUp = uint64_t{1} << PEER;
    ping(PEER, 2);
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

TEST_F(MsdcomDbg, EchoesOfThisUnitAnswerEveryPingSoNoSlotIsFoundPending) {
    peersUp = uint64_t{1} << OWN;
    ping(OWN, 2);
    run(150); // through the command queue: 0x0105 echoed as 0x0106 to the answer routine
    EXPECT_EQ(msdcom_dbg_ping_cnt, 150u);
    EXPECT_EQ(msdcom_dbg_ping_error, 0);
    EXPECT_EQ(msdcom_dbg_ping_over, 0);
}

TEST_F(MsdcomDbg, LateForgedAndImpossibleAnswers) {
    peersUp = uint64_t{1} << PEER;
    ping(PEER, 2);
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
        EXPECT_EQ(msdcom_dbg_ping_cnt, c.cnt);
        EXPECT_EQ(msdcom_dbg_ping_over, c.over);
        EXPECT_EQ(msdcom_dbg_ping_error, c.error);
    }
}

TEST_F(MsdcomDbg, EachWatchedPeerGetsItsOwnCountersAndAnUnsetOneZeros) {
    msdcom_cmdTxCnt_2 = 99;
    setCal(VTADDR_MSDCOM_DBG_PID_1, PEER);
    setCal(VTADDR_MSDCOM_DBG_PID_2, 0);
    msdcom_dbg();
    EXPECT_EQ((std::vector<uint32_t>{msdcom_dbg_mcRxCnt, msdcom_dbg_mcRxErr, msdcom_dbg_bcRxCnt,
                                     msdcom_dbg_bcSeqCnt}),
              (std::vector<uint32_t>{7, 8, 9, 0x01020304}));
    EXPECT_EQ((std::vector<uint32_t>{msdcom_dbg_bcRemSeqCnt_1, msdcom_dbg_cmdState_1, msdcom_dbg_dataState_1,
                                     msdcom_cmdTxCnt_1, msdcom_cmdTxErr_1, msdcom_cmdRxCnt_1,
                                     msdcom_cmdRxErr_1, msdcom_dataTxCntOnline_1, msdcom_dataTxCntOffline_1,
                                     msdcom_dataTxerr_1, msdcom_dataRxCntOnline_1, msdcom_dataRxCntOffline_1,
                                     msdcom_dataRxErr_1, msdcom_remote_ver_1}),
              (std::vector<uint32_t>{0xA0000030u, 3, 2, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 516}));
    EXPECT_EQ(msdcom_gw_pid_state_1, 0); // the gateway has not met the PID
    EXPECT_EQ(msdcom_cmdTxCnt_2, 0);
    EXPECT_EQ(msdcom_dbg_bcRemSeqCnt_2, 0u);
}

} // namespace
