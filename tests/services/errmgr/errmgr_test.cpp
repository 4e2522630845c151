// Error manager on a unit in stepped time: activations and queries, what it publishes (signal
// page, event records, printout) and its memory in the non-volatile store.
#include "services/raster/raster_private.h"
#include "calibration/memory/seram.h"
#include "logging/eventlog/eventlog.h"
#include "logging/stdout_capture.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/timemod/timemod_sim.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"
#include "services/timemod/timemod.h"
#include "support/stepped.h"

#include <iomanip>

#include "vyn/vartable.h" // last: its accessors are constants of the variable table

namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// (path, type, count, active) of every entry, oldest first, from error_mgr_get_data.
using Pcta = std::vector<std::array<int, 4>>;
Pcta pcta(std::vector<uint16_t>* durations = nullptr) {
    uint8_t buf[ERROR_MGR_ENTRIES * ERROR_MGR_DATA_RECORD];
    Pcta out;
    for (int i = 0, n = error_mgr_get_data(buf, sizeof buf); i < n; ++i) {
        const uint8_t* p = buf + i * ERROR_MGR_DATA_RECORD;
        out.push_back({p[0] | p[1] << 8, p[2] | p[3] << 8, p[10], p[11]});
        if (durations) durations->push_back(static_cast<uint16_t>(p[8] | p[9] << 8));
    }
    return out;
}

std::atomic<uint8_t> powerGood{1};
constexpr int64_t START = 1700000000; // 2023-11-14 22:13:20 UTC

// restart() is what a power cycle does to the process.
struct ErrMgr : testsupport::SteppedTest {
    testsupport::ScratchDir dir;

    void SetUp() override {
        SteppedTest::SetUp();
        startBaseTick();
        kmgr::setHandler(KCALL_APPMAN, [](const intptr_t*) -> intptr_t { return 0; });
        kmgr::clearFaults();
        seram_reset();
        timemodsim::install();
        powerGood = 1;
        freshProcess();
    }
    void TearDown() override {
        endProcess();
        nvmem::uninstall();
        SteppedTest::TearDown();
    }
    void endProcess() {
        raster_reset();
        error_mgr_reset();
        eventlogging_reset();
        nvram_dbs_reset();
    }
    // The process as it starts: store loaded, scheduler step 0 done, no error manager yet.
    void freshProcess() {
        std::string err;
        ASSERT_TRUE(nvmem::install(dir.path, &err)) << err;
        ASSERT_EQ(nvram_dbs_init(), 1);
        error_mgr_setPowerGoodSource([] { return powerGood.load(); });
        error_mgr_setEventSink(eventlogging_send);
        ASSERT_EQ(raster_initializeStep0(), 1);
        sim::waitIdle();
    }
    void restart() {
        endProcess();
        freshProcess();
    }
    // error_mgr_init, the event service and the release of the rasters, as the start-up does.
    void start() {
        ASSERT_EQ(error_mgr_init(), 1);
        ASSERT_EQ(eventlogging_service_init(), 1);
        ASSERT_EQ(raster_initializeStep1(), 1);
        sim::waitIdle();
    }
    static std::vector<EventLogEntry> delivered() {
        EventLogEntry buf[EVENTLOG_DELIVERED_SIZE];
        return std::vector<EventLogEntry>(buf,
                                          buf + eventlogging_takeDelivered(buf, EVENTLOG_DELIVERED_SIZE));
    }
    // Path of record r of the stored memory; 0xFFFF when unused or unreadable.
    static uint16_t storedPath(uint32_t r) {
        uint8_t raw[ERROR_MGR_ENTRY_SIZE];
        if (nvram_dbs_read(ERROR_MGR_NV_ENTRIES, r, raw, sizeof raw) != static_cast<int>(sizeof raw))
            return 0xFFFF;
        return static_cast<uint16_t>(raw[0] | raw[1] << 8);
    }
};

// Rows at the edges of the blocks of the path table, as its documentation lists them.
TEST(ErrMgrTables, PathTableBlockEdges) {
    std::istringstream rows(
        "0 0 'No error' 1 1 ANA01 64 64 ANA64 65 65 ANA_DIFF01 192 192 LVDT64 256 256 REV64 257 257 "
        "QS1_ANA_DIFF01 "
        "272 272 QS1_DMY02 352 352 QS6_DMY02 353 353 HS_ANA_1 359 512 PWM01 423 1024 CAN01 439 1040 PSI5_01 "
        "458 1104 IO_PIN 459 4096 SENSPWR_5V_01 480 4117 SENSPWR_QS_06 481 8192 RECORD 485 8197 FTP 498 8448 "
        "SYSTEM "
        "499 8704 WEMB_CAMERA_Link 509 8716 WEMB_RADAR_OverTemp 510 65535 'No error'");
    int id, n = 0;
    uint32_t code;
    for (std::string text; rows >> id >> code >> std::quoted(text, '\''); ++n) {
        EXPECT_EQ(code, error_mgr_path_event[id].code) << id;
        EXPECT_EQ(text, error_mgr_path_event[id].text) << id;
    }
    EXPECT_EQ(n, 22);
}

TEST_F(ErrMgr, ActivationsCountsAndRefusals) {
    start();
    EXPECT_EQ(error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0), 1);
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0), 0); // a repeat
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MAX, 0);                   // a new type replaces
    EXPECT_EQ(error_mgr_clear(ERROR_MGR_PATH_CAN01), 0);                              // unknown: nothing
    EXPECT_EQ(pcta(), (Pcta{{1, 3, 1, 1}}));
    error_mgr_clear(ERROR_MGR_PATH_ANA01);
    EXPECT_EQ(pcta(), (Pcta{{1, 3, 1, 0}}));
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 2, 1}}));
    for (auto [path, type] : {std::pair{1, ERROR_MGR_TYPES}, {1, -1}, {-3, 2}, {0xFFFF, 1}})
        EXPECT_EQ(error_mgr_set_mdl(path, type, 0), 1) << path << " " << type;
    EXPECT_EQ(error_mgr_clear(0xFFFF), 1);
    powerGood = 0; // reports while the supply is not good are refused
    EXPECT_EQ(error_mgr_set_mdl(2, ERROR_MGR_ERR_TYPE_MIN, 0), 1);
    powerGood = 1;
    for (int p = 2; p <= 21; ++p) // the 21st path drops the oldest
        error_mgr_set(p, ERROR_MGR_ERR_TYPE_OPEN_LINE, 0);
    const Pcta e = pcta();
    ASSERT_EQ(e.size(), 20u);
    EXPECT_EQ((Pcta{e.front(), e.back()}), (Pcta{{2, 7, 1, 1}, {21, 7, 1, 1}}));
    sim::step(20);
    delivered();
    // Raw paths keep their codes and, like the event services' own paths, are not forwarded.
    EXPECT_EQ(error_mgr_set_mdl(600, 0x1234, 0), 0);
    EXPECT_EQ(error_mgr_set_mdl(ERROR_MGR_RAW_PATH_FIRST, 77, 0), 0);
    error_mgr_set(ERROR_MGR_PATH_EVENTLOGGING, ERROR_MGR_ERR_TYPE_EVENTS_DISCARDED, 0);
    error_mgr_clear(600);
    sim::step(20);
    const Pcta raw = pcta();
    EXPECT_EQ((Pcta(raw.end() - 3, raw.end())),
              (Pcta{{600, 0x1234, 1, 0}, {510, 77, 1, 1}, {8369, 0x170, 1, 1}}));
    EXPECT_TRUE(delivered().empty());
}

TEST_F(ErrMgr, ClearAllAndQueries) {
    ASSERT_EQ(error_mgr_init(), 1);
    error_mgr_set_mdl(9, ERROR_MGR_ERR_TYPE_MAX, ERROR_MGR_FLAG_LAMP | ERROR_MGR_FLAG_HOLD_LAMP);
    error_mgr_clear(9);
    for (int p : {1, 2, 3, 4, 5, 2})
        error_mgr_set(p, ERROR_MGR_ERR_TYPE_MIN, 0);
    for (int p : {1, 3, 5, 2})
        error_mgr_clear(p);
    error_mgr_100ms();
    EXPECT_EQ((std::array<int, 2>{error_mil[0], error_active[0]}), (std::array{1, 0}));
    error_mgr_set(2, ERROR_MGR_ERR_TYPE_MIN, 0); // count 2
    uint32_t st = 9;
    EXPECT_EQ(error_mgr_get_state(&st), 0);
    EXPECT_EQ(st, 2u); // active entries
    for (int i = 0; i < 6; ++i)
        error_mgr_100ms();
    sim::step(3000);
    EXPECT_EQ(error_mgr_clear_all(), 0); // keeps the active ones, counted anew
    std::vector<uint16_t> durations;
    EXPECT_EQ(pcta(&durations), (Pcta{{2, 2, 1, 1}, {4, 2, 1, 1}}));
    EXPECT_EQ(durations, (std::vector<uint16_t>{0, 0}));
    EXPECT_EQ((std::array<int, 3>{error_location_rotate, error_act_loc_rotate, error_state}),
              (std::array{0xFFFF, 0xFFFF, 0}));
    uint8_t buf[2 * ERROR_MGR_DATA_RECORD + 11]; // whole records only
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(error_mgr_get_data(buf, sizeof buf), 2);
    EXPECT_EQ(buf[2 * ERROR_MGR_DATA_RECORD], 0xAA);
    EXPECT_EQ(error_mgr_get_data(buf, ERROR_MGR_DATA_RECORD - 1), 0);
}

// The lamp state is on while an entry carries the lamp bit; a clear takes the bit away unless the
// second request bit keeps it. The type of a path is found by the path's code, 1 without an entry.
TEST_F(ErrMgr, LampStateAndPathQuery) {
    ASSERT_EQ(error_mgr_init(), 1);
    error_mgr_set(1, ERROR_MGR_ERR_TYPE_MIN, 1);
    error_mgr_set(2, ERROR_MGR_ERR_TYPE_MIN, 0);
    error_mgr_100ms();
    EXPECT_EQ(error_mgr_get_mil_state(), 1);
    error_mgr_clear(1);
    error_mgr_100ms();
    EXPECT_EQ(error_mgr_get_mil_state(), 0);
    error_mgr_set_mdl(9, ERROR_MGR_ERR_TYPE_MAX, ERROR_MGR_FLAG_LAMP | ERROR_MGR_FLAG_HOLD_LAMP);
    error_mgr_clear(9);
    error_mgr_100ms();
    EXPECT_EQ(error_mgr_get_mil_state(), 1) << "held by path 9";

    error_mgr_set(ERROR_MGR_PATH_CAN01 + 1, ERROR_MGR_ERR_TYPE_BUSOFF, 0);
    uint16_t type = 0;
    EXPECT_EQ(error_mgr_get_path(1025, &type) + error_mgr_get_path(1025, nullptr), 3);
    EXPECT_EQ(type, 0x112);
    EXPECT_EQ(error_mgr_get_path(1040, &type), 0);
    EXPECT_EQ(type, 1);
}

TEST_F(ErrMgr, ReportsBeforeStartUpAreKeptOnTheLoadedMemory) {
    start(); // a first run leaves a history entry
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    ASSERT_EQ(error_mgr_shutdown(), 0);
    restart();
    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
    error_mgr_set(ERROR_MGR_PATH_USB, ERROR_MGR_ERR_TYPE_MEDIA_ERROR, 0);
    error_mgr_clear(ERROR_MGR_PATH_USB);
    EXPECT_TRUE(pcta().empty()); // not loaded yet
    start();
    const Pcta e = pcta();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ((std::array{e[0][0], e[0][3], e[1][0], e[1][3], e[2][0], e[2][3]}),
              (std::array{1, 0, 8448, 1, 8200, 0}));
    sim::step(10);
    EXPECT_EQ(delivered().size(), 3u); // SYSTEM on, USB on, USB off
    restart();
    for (int i = 0; i < 33; ++i) // beyond the pending list: counted and logged
        error_mgr_set(1 + i % 20, ERROR_MGR_ERR_TYPE_MIN, 0);
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(error_mgr_pendingLost(), 1u);
    EXPECT_TRUE(logged("error_mgr_init(): 1 error report(s) of the start-up lost"));
}

TEST_F(ErrMgr, SignalPageWithDatesAsTheCLibrarySeesThem) {
    start();
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 1);
    sim::step(2000);
    error_mgr_set(ERROR_MGR_PATH_CAN01, ERROR_MGR_ERR_TYPE_BUSOFF, 0);
    sim::step(500);
    error_mgr_clear(ERROR_MGR_PATH_CAN01);
    sim::step(100);
    EXPECT_EQ((std::vector<int>{error_state, error_num_entries, error_num_act, error_location[0],
                                error_type[0], error_location[1], error_type[1], error_active[0],
                                error_active[1], error_count[1], error_duration[1], error_duration[0]}),
              (std::vector{2, 2, 1, 1, 2, 1024, 0x112, 1, 0, 1, 5, 26}));
    for (int i = 0; i < 2; i++) { // the dates as the C library's calendar has them (UTC)
        const time_t at = START + 2 * i;
        tm d;
        gmtime_r(&at, &d);
        EXPECT_EQ((std::vector<uint32_t>{error_timestamp[i], error_timestamp_yyyymmdd[i],
                                         error_timestamp_hhmmss[i]}),
                  (std::vector<uint32_t>{
                      uint32_t(at), uint32_t((d.tm_year + 1900) * 10000 + (d.tm_mon + 1) * 100 + d.tm_mday),
                      uint32_t(d.tm_hour * 10000 + d.tm_min * 100 + d.tm_sec)}));
    }
}

TEST_F(ErrMgr, DisplaysRotateEveryElevenCyclesAndCountersStop) {
    ASSERT_EQ(error_mgr_init(), 1);
    for (int p = 1; p <= 3; ++p)
        error_mgr_set(p, ERROR_MGR_ERR_TYPE_MIN, 0);
    error_mgr_clear(2);
    // What each display shows at the first and last of each run of eleven cycles.
    std::string all, active;
    for (int cycle = 0; cycle < 44; ++cycle) {
        error_mgr_100ms();
        if (cycle % 11 != 0 && cycle % 11 != 10) continue;
        all += std::to_string(error_location_rotate);
        active += std::to_string(error_act_loc_rotate);
    }
    EXPECT_EQ("11223311", all);
    EXPECT_EQ("11331133", active);
    for (int i = 0; i < 0xFFFF; ++i)
        error_mgr_100ms();
    for (int i = 0; i < 300; ++i) {
        error_mgr_clear(1);
        error_mgr_set(1, ERROR_MGR_ERR_TYPE_MIN, 0);
    }
    std::vector<uint16_t> durations;
    EXPECT_EQ(pcta(&durations)[0][2], 255);
    EXPECT_EQ(durations[2], 0xFFFF);
}

TEST_F(ErrMgr, EventRecordsAndPrintout) {
    start();
    const uint32_t on = time_getTimestamp();
    error_mgr_set(ERROR_MGR_PATH_ANA01 + 4, ERROR_MGR_ERR_TYPE_MIN, 0); // ANA05
    sim::step(250);
    error_mgr_clear(ERROR_MGR_PATH_ANA01 + 4);
    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
    error_mgr_set_mdl(700, 0xBEEF, 0);
    sim::step(10);
    const auto ev = delivered();
    ASSERT_EQ(ev.size(), 3u);
    const uint8_t *a = ev[0].record, *d = ev[1].record;
    EXPECT_EQ(std::vector<uint8_t>(a, a + 4), (std::vector<uint8_t>{5, 0, 0, 1}));
    EXPECT_EQ((std::array{le32(a + 4), le32(a + 8), le32(d + 4), le32(d + 8)}),
              (std::array{on, 0xFFFFFFFFu, on, 2500u})); // 250 ms in 100 us
    EXPECT_EQ(a[12] | a[13] << 8, 0x303);
    EXPECT_EQ(std::string(ev[0].pathText) + ev[1].typeText + ev[2].pathText + ev[2].typeText,
              "ANA05Minimum errorSYSTEMlaptrigger master");
    const std::string out = testcap::captureStdout([] { EXPECT_EQ(cmd_err_mgr_dump(1, nullptr), 0); });
    for (const char* line : {"Source PID:0x0 (Path/Type hexadecimal) \n\r",
                             "   0x0005  0x0002        0.2      FALSE   2023.11.14 22:13:20    1   \n\r"})
        EXPECT_NE(out.find(line), std::string::npos) << out;
}

TEST_F(ErrMgr, StoredFromTheFourthSecondReloadedInactiveEmptiedByAnotherEpk) {
    start();
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    error_mgr_set(ERROR_MGR_PATH_CAN01, ERROR_MGR_ERR_TYPE_BUSOFF, 0);
    error_mgr_clear(ERROR_MGR_PATH_CAN01);
    sim::step(3000);
    EXPECT_EQ(storedPath(0), 0xFFFF);
    sim::step(1000);
    EXPECT_EQ((std::array{storedPath(0), storedPath(1)}), (std::array<uint16_t, 2>{1, 1024}));
    restart();
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 1, 0}, {1024, 0x112, 1, 0}}));
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0); // the count goes on
    EXPECT_EQ(pcta()[0][2], 2);
    ASSERT_EQ(error_mgr_WriteIntoMedia(), 1);

    restart();
    const char other[] = "KVX2_VYN_OTHER_DATASET";
    std::memcpy(seram_memory + SERAM_EPK_OFFSET, other, sizeof other);
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_TRUE(pcta().empty());
    EXPECT_EQ(storedPath(0), 0xFFFF);
    char id[ERROR_MGR_ID_SIZE];
    ASSERT_EQ(nvram_dbs_read(ERROR_MGR_NV_ID, 0, id, sizeof id), static_cast<int>(ERROR_MGR_ID_SIZE));
    EXPECT_STREQ(id, other);
    restart();
    std::memset(seram_memory + SERAM_EPK_OFFSET, 'E', SERAM_EPK_SIZE); // 32 characters, no terminator
    ASSERT_EQ(error_mgr_init(), 1);
    ASSERT_EQ(nvram_dbs_read(ERROR_MGR_NV_ID, 0, id, sizeof id), static_cast<int>(ERROR_MGR_ID_SIZE));
    EXPECT_EQ(std::string(id), std::string(SERAM_EPK_SIZE, 'E'));
}

TEST_F(ErrMgr, DoubletsGapsAndCorruptRecordsAreDropped) {
    ASSERT_EQ(error_mgr_init(), 1); // sets the identity
    // (record, path, type, count); record 1 stays unused, the entries behind it count all the same.
    for (auto [r, path, type, count] :
         {std::array{0, 1, 2, 4}, {2, 1024, 0x112, 1}, {3, 1, 3, 9}, {4, 8448, 0x50, 2}}) {
        uint8_t raw[ERROR_MGR_ENTRY_SIZE];
        std::memset(raw, 0xFF, sizeof raw);
        raw[0] = static_cast<uint8_t>(path), raw[1] = static_cast<uint8_t>(path >> 8);
        raw[2] = static_cast<uint8_t>(type), raw[3] = static_cast<uint8_t>(type >> 8);
        raw[14] = raw[15] = 0;
        raw[16] = static_cast<uint8_t>(count);
        raw[17] = ERROR_MGR_FLAG_ACTIVE;
        ASSERT_EQ(nvram_dbs_write(ERROR_MGR_NV_ENTRIES, r, raw, sizeof raw), static_cast<int>(sizeof raw));
    }
    restart();
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 4, 0}, {1024, 0x112, 1, 0}, {8448, 0x50, 2, 0}}));
    EXPECT_EQ((std::array{storedPath(1), storedPath(2), storedPath(3)}),
              (std::array<uint16_t, 3>{1024, 8448, 0xFFFF}));
    endProcess();
    // Damage both mirrors of record 1 (a data byte, so their CRCs no longer match).
    std::fstream img(dir / nvmem::IMAGE_FILE, std::ios::in | std::ios::out | std::ios::binary);
    for (uint32_t mirror = 2; mirror <= 3; ++mirror) {
        img.seekp(NVRAM_NOCLONE_BASE + mirror * nvram_slot_size(nvram_error_mgr) + 4 + 5);
        img.put(static_cast<char>(0x5A));
    }
    img.close();
    freshProcess();
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 4, 0}, {8448, 0x50, 2, 0}}));
    EXPECT_EQ((std::array{storedPath(1), storedPath(2)}), (std::array<uint16_t, 2>{8448, 0xFFFF}));
}

TEST_F(ErrMgr, FailedWriteRetriedUnchangedNotRewrittenNeverTwoWritersAtOnce) {
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
    const uint64_t calls = kmgr::callCount(KCALL_NVRAM_PERSIST_LOWPRIO);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
    EXPECT_EQ(kmgr::callCount(KCALL_NVRAM_PERSIST_LOWPRIO), calls); // nothing changed
    error_mgr_set(ERROR_MGR_PATH_GPS, ERROR_MGR_ERR_TYPE_TIMEOUT, 0);
    kmgr::injectFault(KCALL_NVRAM_PERSIST_LOWPRIO, -1, 1);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 0);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
    EXPECT_EQ(storedPath(0), 1072);

    // Persisting takes a while on the unit: each call stays open for a tick, in which the other
    // writer runs as far as it can.
    static std::atomic<int> inFlight{0}, overlaps{0};
    kmgr::setHandler(KCALL_NVRAM_PERSIST_LOWPRIO, [](const intptr_t*) -> intptr_t {
        overlaps += ++inFlight > 1;
        taskDelay(1);
        return --inFlight; // 0 unless another write overlapped
    });
    std::atomic<int> done{0};
    for (int t = 0; t < 2; ++t)
        taskSpawnFn(t == 0 ? "t_storage" : "t_shutdown", 100, 0, 0, [&done, t] {
            for (int i = 0; i < 30; ++i) {
                error_mgr_set(ERROR_MGR_PATH_ANA01 + t, ERROR_MGR_ERR_TYPE_MIN + i % 2, 0);
                t == 0 ? error_mgr_WriteIntoMedia() : error_mgr_shutdown();
            }
            ++done;
        });
    for (int tick = 0; tick < 5000 && done.load() < 2; ++tick)
        sim::step(1);
    EXPECT_EQ(done.load(), 2);
    EXPECT_EQ(overlaps.load(), 0);
    nvmem::install(dir.path); // the real handlers again
}

} // namespace
