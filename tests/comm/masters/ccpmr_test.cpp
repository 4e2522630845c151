// The CCP master against a scripted CCP 2.1 slave on the local bus: the command frames as the
// command table lays them out, values of its DTOs, time-outs and the retry path.
#include "masters.h"

#include <atomic>
#include <thread>

namespace {

constexpr uint32_t CRO = 0x7E0, CRM = 0x7E1, DTO = 0x7E2;

struct Ccp : Masters {
    // One instance on CAN 0 with DAQ list 3 (event 1, prescaler 2, two ODTs) of five channels:
    // 4, 2 and 1 bytes fill ODT 0; a 4- and a 1-byte channel go to ODT 1.
    void configure(uint8_t mode, uint8_t bigEndian) {
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_CANINT, 0, 0);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_ACTIVE, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_MODE, 0, mode);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_BIGENDIAN, 0, bigEndian);
        cal<uint32_t>(VTADDR_CfgMat_CcpMr_CMD_CANID, 0, CRO);
        cal<uint32_t>(VTADDR_CfgMat_CcpMr_CMDRET_CANID, 0, CRM);
        cal<uint16_t>(VTADDR_CfgMat_CcpMr_STATIONADDRESS, 0, 0x1234);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_DAQ_MRID, 0, 0);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_DAQ_ID, 0, 3);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_DAQ_ODT_NUM, 0, 2);
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_DAQ_EVT_CHAN, 0, 1);
        cal<uint16_t>(VTADDR_CfgMat_CcpMr_DAQ_EVT_PRESC, 0, 2);
        cal<uint32_t>(VTADDR_CfgMat_CcpMr_DAQ_CANID, 0, DTO);
        const struct {
            uint8_t size;
            uint32_t adr, timeout;
        } ch[] = {{4, 0x1000, 0xFFFFFFFF},
                  {2, 0x2000, 50},
                  {1, 0x3000, 0xFFFFFFFF},
                  {1, 0x3001, 0xFFFFFFFF},
                  {4, 0x4000, 0xFFFFFFFF}};
        for (size_t c = 0; c < 5; ++c) {
            cal<uint8_t>(VTADDR_CfgMat_CcpMr_CHAN_DAQ, c, 0);
            cal<uint8_t>(VTADDR_CfgMat_CcpMr_CHAN_SIZE, c, ch[c].size);
            cal<uint32_t>(VTADDR_CfgMat_CcpMr_CHAN_ADR, c, ch[c].adr);
            cal<uint32_t>(VTADDR_CfgMat_CcpMr_CHAN_TIMEOUT, c, ch[c].timeout);
            cal<uint32_t>(VTADDR_CfgMat_CcpMr_CHAN_DEFAULT, c, 0xD0 + static_cast<uint32_t>(c));
        }
    }
    // A slave with `odts` ODTs at DAQ 3 from PID 0x10 that answers every command positively,
    // DISCONNECT too, except the commands numbered in `refuse`.
    std::vector<std::string> run(uint8_t odts = 2, std::vector<int> refuse = {}) {
        ccpmr_ini();
        sim::step(1000); // conditions are none, the start delay 0: the first cycle after 1 s starts
        return cycle(odts, refuse);
    }
    // One 10 ms decision and the conversation it starts.
    std::vector<std::string> cycle(uint8_t odts = 2, std::vector<int> refuse = {}) {
        ccpmr_10ms();
        int n = 0;
        return converse(CRM, [&](const pyref::bytes& c) -> pyref::bytes {
            const bool no = std::find(refuse.begin(), refuse.end(), n++) != refuse.end();
            return {0xFF, static_cast<uint8_t>(no ? 0x30 : 0), c[1], odts, 0x10, 0, 0, 0};
        });
    }
};

TEST_F(Ccp, ConfiguresAndStartsItsDaqWithTheCommandsOfTheTableAndStoresItsDtos) {
    // CCP 2.1 frames: code, counter, parameters; addresses and the DTO identifier in the unit's
    // byte order, the station address low byte first. A unit with one ODT: ODT 1 is not written.
    const struct {
        uint8_t mode, bigEndian, odts;
        const char* frames;
    } cases[] = {{0, 0, 2,
                  "14000300e2070000 1501030000000000 1602040000100000 1503030001000000 1604020000200000 "
                  "1505030002000000 1606010000300000 1507030100000000 1608040000400000 1509030101000000 "
                  "160a010001300000 060b010301010200"},
                 {3, 1, 2,
                  "0100341200000000 0c01000000000000 14020300000007e2 1503030000000000 1604040000001000 "
                  "1505030001000000 1606020000002000 1507030002000000 1608010000003000 1509030100000000 "
                  "160a040000004000 150b030101000000 160c010000003001 0c0d020000000000 060e010301010002"},
                 {0, 0, 1,
                  "14000300e2070000 1501030000000000 1602040000100000 1503030001000000 1604020000200000 "
                  "1505030002000000 1606010000300000 0607010300010200"}};
    // The DTOs: whole values in their slots in the unit's byte order, a short one stores nothing;
    // channel 1 falls back to its default 50 ms after its last value, the others never.
    const uint32_t values[2][5] = {{0x44332211, 0x6655, 0x77, 0xCC, 0xBBAA9988},
                                   {0x11223344, 0x5566, 0x77, 0xCC, 0x8899AABB}};
    for (const auto& c : cases) {
        configure(c.mode, c.bigEndian);
        EXPECT_EQ(run(c.odts), words(c.frames)) << int(c.mode) << int(c.odts);
        EXPECT_EQ(ccpmr_status[0], 5);
        EXPECT_EQ(logged("CCPMR: number of ODT differ"), c.odts == 1);
        const uint32_t* expect = values[c.bigEndian];
        EXPECT_EQ(slot(ccpmr_GetAddr, 1), 0xD1u) << "the default before any DTO";
        frame(DTO, {0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
        frame(DTO, {0x11, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0, 0});
        frame(DTO, {0x10, 0xEE, 0xEE}); // short of ODT 0's seven bytes
        for (uint32_t ch = 0; ch < 5 && c.odts == 2; ++ch)
            EXPECT_EQ(slot(ccpmr_GetAddr, ch), expect[ch])
                << "channel " << ch << " big-endian " << int(c.bigEndian);
        for (int ms = 10; ms <= 50 && c.odts == 2; ms += 10) {
            ccpmr_10ms();
            EXPECT_EQ(slot(ccpmr_GetAddr, 1), ms < 50 ? expect[1] : 0xD1u) << ms << " ms";
        }
        EXPECT_EQ(slot(ccpmr_GetAddr, 0), expect[0]);
        restart();
    }
    EXPECT_EQ(ccpmr_GetAddr(200), nullptr);
}

TEST_F(Ccp, RefusedOrUnansweredCommandsAreRetriedAndThreeInARowAreAnError) {
    // No return within 35 ticks and 10 to spare: the command again (its counter unchanged).
    configure(0, 0), ccpmr_ini(), sim::step(1000), ccpmr_10ms(), sim::waitIdle();
    const auto first = cansim::takeSent();
    sim::step(44);
    EXPECT_TRUE(cansim::takeSent().empty());
    sim::step(1);
    const auto again = cansim::takeSent();
    ASSERT_EQ((std::pair{first.size(), again.size()}), (std::pair<size_t, size_t>{1, 1}));
    EXPECT_EQ(pyref::hex(again[0].data, 8), "14000300e2070000");
    restart();
    // Refused three times in a row: error for one second, then the next start.
    configure(0, 0), run(2, {0, 1, 2});
    EXPECT_EQ(ccpmr_status[0], 6);
    EXPECT_TRUE(logged("CCPMR: got negative response"));
    for (int i = 0; i < 99; ++i)
        ccpmr_10ms();
    EXPECT_EQ(ccpmr_status[0], 6);
    ccpmr_10ms(), ccpmr_10ms(), sim::waitIdle();
    EXPECT_EQ(ccpmr_status[0], 4) << "started again";
}

TEST_F(Ccp, PollsEveryTwoSecondsAndAfterAStopTheUnitAnsweredStartsAgain) {
    // Mode bit 2 polls the unit's status every 200 cycles; stopped then when it may no longer
    // run. Mode bit 3: stopped by the DAQ-data watchdog after more than 100 cycles without a DTO.
    // Each stop a DISCONNECT (end of connection, station address low byte first), the next start
    // a CONNECT.
    for (const bool watchdog : {false, true}) {
        configure(watchdog ? 9 : 5, 0), run();
        ASSERT_EQ(ccpmr_status[0], 5);
        for (int i = 0; i < (watchdog ? 99 : 198); ++i)
            ccpmr_10ms();
        EXPECT_TRUE(cycle().empty()) << "a cycle early";
        if (!watchdog) {
            EXPECT_EQ(cycle(), words("0d0d000000000000"));
            cal<uint8_t>(VTADDR_CfgMat_CcpMr_ACTIVE, 0, 0);
        }
        EXPECT_EQ(cycle(), words(watchdog ? "070d010034120000" : "070e010034120000"));
        EXPECT_EQ(ccpmr_status[0], 3) << watchdog;
        cal<uint8_t>(VTADDR_CfgMat_CcpMr_ACTIVE, 0, 1);
        const auto again = cycle();
        EXPECT_EQ(again.empty() ? "" : again.front(), watchdog ? "010e341200000000" : "010f341200000000");
        EXPECT_EQ(ccpmr_status[0], 5) << watchdog;
        restart();
    }
}

TEST_F(Ccp, AnInstanceWhoseSetUpFailedDropsTheFramesOfItsBoundIdentifiers) {
    // Twelve bytes of channels do not fit one ODT: the DAQ's set-up fails after the command
    // return identifier was bound, and the CAN layer keeps that binding.
    configure(0, 0);
    cal<uint8_t>(VTADDR_CfgMat_CcpMr_DAQ_ODT_NUM, 0, 1);
    ccpmr_ini();
    EXPECT_TRUE(logged("CCPMR: more channels in daq than possible"));
    frame(CRM, {0xFF, 0, 0, 0, 0, 0, 0, 0});
    frame(DTO, {0x10, 1, 2, 3, 4, 5, 6, 7});
    ccpmr_10ms(), sim::waitIdle();
    EXPECT_TRUE(cansim::takeSent().empty());
    EXPECT_EQ(ccpmr_status[0], 0);
}

TEST_F(Ccp, ItsTablesAreReadWhileAToolWritesThemAgainAndSwitchesPages) {
    configure(0, 0), run();
    ASSERT_EQ(ccpmr_status[0], 5);
    seramCopyRefToWorkpage();
    std::atomic<bool> done{false}; // relaxed: orders no read after a write
    std::thread tool([&] {
        const uint32_t tables[] = {VTADDR_CfgMat_CcpMr_CHAN_TIMEOUT, VTADDR_CfgMat_CcpMr_CHAN_DEFAULT,
                                   VTADDR_CfgMat_CcpMr_CHAN_DAQ, VTADDR_CfgMat_CcpMr_DAQ_MRID};
        for (int r = 0; r < 50 || !done.load(std::memory_order_relaxed); ++r) { // some rounds in any case
            seramSetWorkpageActive();
            for (uint32_t t : tables)
                EXPECT_TRUE(seramDownload(0x20000 + t, seram_memory + t, 20));
            seramSetRefpageActive();
        }
    });
    // Channel 1 falls back to its default 50 ms after its last value; a list of the DAQ is fed.
    frame(DTO, {0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    for (int ms = 10; ms <= 50; ms += 10) {
        ccpmr_10ms();
        EXPECT_EQ(slot(ccpmr_GetAddr, 1), ms < 50 ? 0x6655u : 0xD1u) << ms << " ms";
    }
    const int32_t list[] = {-4, 29 << 18 | 0, -2, 29 << 18 | 1, 0, 0};
    uint32_t daq = 99;
    EXPECT_EQ(ccpmr_checkMeasList(list, sizeof list, &daq, 1), 1);
    done.store(true, std::memory_order_relaxed);
    tool.join();
    EXPECT_EQ(daq, 0u);
}

TEST_F(Ccp, OnlyListsOfOneDaqsChannelsAreFedByIt) {
    configure(0, 0), ccpmr_ini();
    const int32_t cls = 29 << 18;
    struct Case {
        std::vector<int32_t> words;
        int fed;
    } cases[] = {{{-4, cls | 0, -2, cls | 1, 0, 0}, 1},
                 {{-4, cls | 0, 0x41000, 0, 0}, 0},
                 {{-4, cls | 0, cls | 1 << 12 | 1, 0, 0}, 0},
                 {{-4, cls | 200, 0, 0}, 0},
                 {{-4, cls | 7, 0, 0}, 0}};
    for (const Case& c : cases) {
        uint32_t daq = 99;
        EXPECT_EQ(ccpmr_checkMeasList(c.words.data(), static_cast<uint32_t>(4 * c.words.size()), &daq, 1),
                  c.fed);
        if (c.fed) {
            EXPECT_EQ(daq, 0u);
        }
    }
    EXPECT_TRUE(logged("CCPMR: mixture CCPMR and normal channel detected, no special timing treatment."));
}

} // namespace
