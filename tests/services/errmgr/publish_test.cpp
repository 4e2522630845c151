// What the error manager shows: the signal-page variables of the 100 ms raster, the event
// records that reach event logging, and the "err_mgr_vyn" printout.
#include "fixture.h"
#include "logging/stdout_capture.h"
#include "services/timemod/timemod.h"
#include "support/pyref.h"

namespace errtest {
namespace {

using Publish = ErrMgr;

TEST_F(Publish, EntriesAndCountsReachTheSignalPage) {
    start();
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 1);
    sim::step(2000);
    error_mgr_set(ERROR_MGR_PATH_CAN01, ERROR_MGR_ERR_TYPE_BUSOFF, 0);
    sim::step(500);
    error_mgr_clear(ERROR_MGR_PATH_CAN01);
    sim::step(100);

    EXPECT_EQ((std::array<int, 3>{error_state, error_num_entries, error_num_act}), (std::array{2, 2, 1}));
    EXPECT_EQ((std::array<int, 4>{error_location[0], error_type[0], error_location[1], error_type[1]}),
              (std::array{1, 2, 1024, 0x112}));
    EXPECT_EQ((std::array<int, 6>{error_active[0], error_active[1], error_mil[0], error_count[1],
                                  error_duration[1], error_duration[0]}),
              (std::array{1, 0, 1, 1, 5, 26}));
    EXPECT_EQ(error_mgr_get_mil_state(), 1);
    for (int i = 2; i < ERROR_MGR_ENTRIES; ++i)
        EXPECT_EQ(error_location[i] | error_timestamp[i], 0u);
    // The dates as the calendar of the host's Python sees them (UTC).
    const auto text = [](uint32_t v) {
        const std::string s = std::to_string(v);
        return std::vector<pyref::bytes>{pyref::bytes(s.begin(), s.end())};
    };
    const auto out =
        pyref::map("import datetime\n"
                   "def f(t):\n"
                   "    d = datetime.datetime.fromtimestamp(int(t.decode()), datetime.timezone.utc)\n"
                   "    return '%d %d' % (d.year * 10000 + d.month * 100 + d.day, d.hour * 10000 + d.minute "
                   "* 100 + d.second)\n",
                   {text(error_timestamp[0]), text(error_timestamp[1])});
    EXPECT_EQ(error_timestamp[0], static_cast<uint32_t>(CALENDAR_START));
    EXPECT_EQ(error_timestamp[1], static_cast<uint32_t>(CALENDAR_START + 2));
    EXPECT_EQ(out[0],
              std::to_string(error_timestamp_yyyymmdd[0]) + " " + std::to_string(error_timestamp_hhmmss[0]));
    EXPECT_EQ(out[1],
              std::to_string(error_timestamp_yyyymmdd[1]) + " " + std::to_string(error_timestamp_hhmmss[1]));
}

TEST_F(Publish, DisplaysRotateEveryElevenCycles) {
    ASSERT_EQ(error_mgr_init(), 1);
    error_mgr_100ms();
    EXPECT_EQ(error_act_loc_rotate, 0xFFFF);
    EXPECT_EQ(error_state, 0);

    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    error_mgr_set((ERROR_MGR_PATH_ANA01 + 1), ERROR_MGR_ERR_TYPE_MAX, 0);
    error_mgr_set((ERROR_MGR_PATH_ANA01 + 2), ERROR_MGR_ERR_TYPE_OPEN_LINE, 0);
    error_mgr_clear((ERROR_MGR_PATH_ANA01 + 1));
    // What each display shows, as (value, cycles) runs over 44 cycles.
    std::vector<std::pair<int, int>> all, active;
    for (int cycle = 0; cycle < 44; ++cycle) {
        error_mgr_100ms();
        for (auto [runs, v] :
             {std::pair{&all, int(error_location_rotate)}, {&active, int(error_act_loc_rotate)}})
            if (runs->empty() || runs->back().first != v)
                runs->push_back({v, 1});
            else
                ++runs->back().second;
    }
    using Runs = std::vector<std::pair<int, int>>;
    EXPECT_EQ(all, (Runs{{1, 11}, {2, 11}, {3, 11}, {1, 11}}));
    EXPECT_EQ(active, (Runs{{1, 11}, {3, 11}, {1, 11}, {3, 11}}));
    EXPECT_EQ(error_type_rotate, 2);
    EXPECT_EQ(error_active_rotate, 1);

    error_mgr_clear(ERROR_MGR_PATH_ANA01);
    error_mgr_clear((ERROR_MGR_PATH_ANA01 + 2));
    for (int cycle = 0; cycle < 11; ++cycle)
        error_mgr_100ms();
    EXPECT_EQ(error_act_loc_rotate, 0xFFFF);
    EXPECT_EQ(error_act_type_rotate, 0xFFFF);
    EXPECT_EQ(error_state, 1);
}

TEST_F(Publish, DurationStopsAtItsLimit) {
    ASSERT_EQ(error_mgr_init(), 1);
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    for (int i = 0; i < 0xFFFF + 3; ++i)
        error_mgr_100ms();
    EXPECT_EQ(entries()[0].duration, 0xFFFF);
    for (int i = 0; i < 300; ++i) {
        error_mgr_clear(ERROR_MGR_PATH_ANA01);
        error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    }
    EXPECT_EQ(entries()[0].count, 255);
}

TEST_F(Publish, EventRecordsReachEventLogging) {
    start();
    const uint32_t on = time_getTimestamp();
    error_mgr_set(ERROR_MGR_PATH_ANA01 + 4, ERROR_MGR_ERR_TYPE_MIN, 0); // ANA05
    sim::step(9);
    EXPECT_TRUE(delivered().empty()); // the service raster has not run yet
    sim::step(241);
    error_mgr_clear(ERROR_MGR_PATH_ANA01 + 4);
    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
    sim::step(10);
    const auto ev = delivered();
    ASSERT_EQ(ev.size(), 3u);
    const uint8_t* a = ev[0].record;
    EXPECT_EQ(std::vector<uint8_t>(a, a + 4), (std::vector<uint8_t>{5, 0, 0, 1}));
    EXPECT_EQ(le32(a + 4), on);
    EXPECT_EQ(le32(a + 8), 0xFFFFFFFFu);
    EXPECT_EQ(a[12] | a[13] << 8, 0x303);
    EXPECT_STREQ(ev[0].pathText, "ANA05");
    EXPECT_STREQ(ev[0].typeText, "Minimum error");
    const uint8_t* d = ev[1].record;
    EXPECT_EQ(le32(d + 4), on);
    EXPECT_EQ(le32(d + 8), 2500u); // 250 ms in 100 us
    EXPECT_STREQ(ev[1].typeText, "Minimum error");
    const uint8_t* s = ev[2].record;
    EXPECT_EQ(s[0] | s[1] << 8 | s[2] << 16, 498);
    EXPECT_STREQ(ev[2].pathText, "SYSTEM");
    EXPECT_STREQ(ev[2].typeText, "laptrigger master");
}

TEST_F(Publish, PrintoutListsTheEntries) {
    ASSERT_EQ(error_mgr_init(), 1);
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    for (int i = 0; i < 25; ++i)
        error_mgr_100ms();
    error_mgr_set_mdl(700, 0xBEEF, 0);
    error_mgr_clear(700);
    const std::string out = testcap::captureStdout([] { EXPECT_EQ(cmd_err_mgr_dump(1, nullptr), 0); });
    EXPECT_NE(out.find("Source PID:0x0 (Path/Type hexadecimal) \n\r"), std::string::npos);
    EXPECT_NE(out.find("   0x0001  0x0002        2.5      TRUE    2023.11.14 22:13:20    1   \n\r"),
              std::string::npos);
    EXPECT_NE(out.find("   0x02BC  0xBEEF        0.0      FALSE   2023.11.14 22:13:20    1   \n\r"),
              std::string::npos);
    EXPECT_NE(out.find("    2 error(s) read"), std::string::npos);
    EXPECT_NE(out.find(std::string(73, '-') + "\n\r"), std::string::npos);
    EXPECT_EQ(out.rfind("\n\n\n\r" + std::string(79, '*') + "\n\r", 0), 0u);
}

} // namespace
} // namespace errtest
