// Activations, deactivations, clear-all, the queries, and reports made before start-up.
#include "fixture.h"

namespace errtest {
namespace {

using Activation = ErrMgr;

TEST_F(Activation, CountsActivationsNotRepeatsAndANewTypeReplacesTheOld) {
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0), 1);
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0), 0);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 1, 1}}));
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MAX, 0);
    EXPECT_EQ(pcta(), (Pcta{{1, 3, 1, 1}}));
    EXPECT_EQ(error_mgr_clear(ERROR_MGR_PATH_CAN01), 0); // unknown path: nothing changes
    EXPECT_EQ(pcta(), (Pcta{{1, 3, 1, 1}}));
    EXPECT_EQ(error_mgr_clear(ERROR_MGR_PATH_ANA01), 0);
    EXPECT_EQ(pcta(), (Pcta{{1, 3, 1, 0}}));
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 2, 1}}));
}

TEST_F(Activation, TwentyFirstPathDropsTheOldest) {
    ASSERT_EQ(error_mgr_init(), 1);
    for (int p = 1; p <= 21; ++p)
        error_mgr_set(p, ERROR_MGR_ERR_TYPE_OPEN_LINE, 0);
    const auto e = entries();
    ASSERT_EQ(e.size(), 20u);
    EXPECT_EQ(e.front().path, 2);
    EXPECT_EQ(e.back().path, 21);
    EXPECT_EQ(e.back().count, 1);
}

TEST_F(Activation, RefusesBadIdsTheUnusedMarkerAndReportsWhilePowerIsNotGood) {
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_PATH_ANA01, ERROR_MGR_TYPES, 0), 1);
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_PATH_ANA01, -1, 0), 1);
    EXPECT_EQ(error_mgr_set_mdl(-3, ERROR_MGR_ERR_TYPE_MIN, 0), 1);
    EXPECT_EQ(error_mgr_set_mdl(0xFFFF, 1, 0), 1);
    EXPECT_EQ(error_mgr_clear(0xFFFF), 1);
    powerGood = 0;
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0), 1);
    EXPECT_TRUE(entries().empty());
    EXPECT_TRUE(logged("error_mgr_set_mdl(): path 1 with type 48 refused"));
    powerGood = 1;
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0), 0);
    EXPECT_EQ(entries().size(), 1u);
}

TEST_F(Activation, RawPathsKeepTheirCodesAndAreNotForwarded) {
    start();
    EXPECT_EQ(error_mgr_set_mdl(600, 0x1234, 0), 0);
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_RAW_PATH_FIRST, 77, 0), 0);
    error_mgr_set(ERROR_MGR_PATH_EVENTSOURCE, ERROR_MGR_ERR_TYPE_TIMEOUT, 0);
    error_mgr_set(ERROR_MGR_PATH_EVENTLOGGING, ERROR_MGR_ERR_TYPE_EVENTS_DISCARDED, 0);
    error_mgr_clear(600);
    sim::step(20);
    const Pcta e = pcta();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0], (std::array<int, 4>{600, 0x1234, 1, 0}));
    EXPECT_EQ(e[1], (std::array<int, 4>{510, 77, 1, 1}));
    EXPECT_EQ(e[2][0], 8368);
    EXPECT_EQ(e[3][0], 8369);
    EXPECT_EQ(e[3][1], 0x170);
    EXPECT_TRUE(delivered().empty());
}

TEST_F(Activation, LampFollowsTheEntriesUnlessHeld) {
    ASSERT_EQ(error_mgr_init(), 1);
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 1);
    error_mgr_100ms();
    EXPECT_EQ(error_mgr_get_mil_state(), 1);
    error_mgr_clear(ERROR_MGR_PATH_ANA01);
    error_mgr_100ms();
    EXPECT_EQ(error_mgr_get_mil_state(), 0);
    error_mgr_set_mdl(2, ERROR_MGR_ERR_TYPE_MAX, ERROR_MGR_FLAG_LAMP | ERROR_MGR_FLAG_HOLD_LAMP);
    error_mgr_clear(2);
    error_mgr_100ms();
    EXPECT_EQ(error_mgr_get_mil_state(), 1);
    EXPECT_EQ(error_mil[1], 1);
    EXPECT_EQ(error_active[1], 0);
}

TEST_F(Activation, ClearAllKeepsTheActiveEntriesOnly) {
    ASSERT_EQ(error_mgr_init(), 1);
    for (int p : {1, 2, 3, 4, 5, 2})
        error_mgr_set(p, ERROR_MGR_ERR_TYPE_MIN, 0);
    for (int p : {1, 3, 5, 2})
        error_mgr_clear(p);
    error_mgr_set(2, ERROR_MGR_ERR_TYPE_MIN, 0); // count 2
    for (int i = 0; i < 7; ++i)
        error_mgr_100ms();
    sim::step(3000);
    EXPECT_EQ(error_mgr_clear_all(), 0);
    const auto e = entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].path, 2);
    EXPECT_EQ(e[1].path, 4);
    for (const Rec& r : e) {
        EXPECT_EQ(r.count, 1);
        EXPECT_EQ(r.duration, 0);
        EXPECT_EQ(r.active, 1);
        EXPECT_EQ(r.time, CALENDAR_START + 3);
    }
    EXPECT_EQ(error_location_rotate, 0xFFFF);
    EXPECT_EQ(error_act_loc_rotate, 0xFFFF);
    EXPECT_EQ(error_state, 0);
    EXPECT_TRUE(logged("error_mgr_clear_all called"));
}

TEST_F(Activation, QueriesReportTheMemory) {
    ASSERT_EQ(error_mgr_init(), 1);
    uint32_t st = 9;
    EXPECT_EQ(error_mgr_get_state(&st), 0);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(error_mgr_get_state(nullptr), 1);
    error_mgr_set(ERROR_MGR_PATH_CAN01 + 1, ERROR_MGR_ERR_TYPE_BUSOFF, 0);
    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
    EXPECT_EQ(error_mgr_get_state(&st), 0);
    EXPECT_EQ(st, 2u);
    error_mgr_clear(ERROR_MGR_PATH_CAN01 + 1);
    error_mgr_clear(ERROR_MGR_PATH_SYSTEM);
    EXPECT_EQ(error_mgr_get_state(&st), 0);
    EXPECT_EQ(st, 1u);

    for (auto [code, want] : {std::pair{1025, 0x112}, {8448, 0x50}, {1, 1}, {0xFFFF, 1}}) {
        uint16_t type = 0;
        EXPECT_EQ(error_mgr_get_path(code, &type), 0);
        EXPECT_EQ(type, want) << code;
    }
    EXPECT_EQ(error_mgr_get_path(1025, nullptr), 3);
    EXPECT_STREQ(error_mgr_get_path_text(ERROR_MGR_PATH_CAN01 + 1), "CAN02");
    EXPECT_STREQ(error_mgr_get_path_text(510), "");

    // Whole records only, oldest first.
    uint8_t buf[2 * ERROR_MGR_DATA_RECORD + 11];
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(error_mgr_get_data(buf, sizeof buf), 2);
    EXPECT_EQ(buf[0] | buf[1] << 8, 1025);
    EXPECT_EQ(buf[ERROR_MGR_DATA_RECORD] | buf[ERROR_MGR_DATA_RECORD + 1] << 8, 8448);
    EXPECT_EQ(buf[2 * ERROR_MGR_DATA_RECORD], 0xAA);
    EXPECT_EQ(error_mgr_get_data(buf, ERROR_MGR_DATA_RECORD - 1), 0);
}

TEST_F(Activation, ReportsBeforeStartUpAreKeptOnTheLoadedMemory) {
    start(); // a first run leaves a history entry
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    ASSERT_EQ(error_mgr_shutdown(), 0);
    restart();
    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
    error_mgr_set(ERROR_MGR_PATH_USB, ERROR_MGR_ERR_TYPE_MEDIA_ERROR, 0);
    error_mgr_clear(ERROR_MGR_PATH_USB);
    EXPECT_TRUE(entries().empty()); // not loaded yet
    start();
    const Pcta e = pcta();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ((std::array{e[0][0], e[0][3], e[1][0], e[1][3], e[2][0], e[2][3]}),
              (std::array{1, 0, 8448, 1, 8200, 0}));
    sim::step(10);
    const auto ev = delivered();
    ASSERT_EQ(ev.size(), 3u); // SYSTEM on, USB on, USB off
    EXPECT_STREQ(ev[0].pathText, "SYSTEM");
    EXPECT_STREQ(ev[0].typeText, "laptrigger master");
}

TEST_F(Activation, ReportsBeyondThePendingListAreCountedAndLogged) {
    for (int i = 0; i < 33; ++i)
        error_mgr_set(1 + i % 20, ERROR_MGR_ERR_TYPE_MIN, 0);
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(error_mgr_pendingLost(), 1u);
    EXPECT_TRUE(logged("error_mgr_init(): 1 error report(s) of the start-up lost"));
    EXPECT_EQ(entries().size(), 20u);
}

} // namespace
} // namespace errtest
