// A unit with an error manager on stepped time: base tick, raster scheduler, non-volatile
// store in a temporary directory, TIME module, event service. restart() is what a power cycle
// does to the process.
#pragma once

#include "services/raster/raster.h"
#include "services/raster/raster_private.h"
#include "services/rtpman/rtpman.h"
#include "calibration/memory/seram.h"
#include "logging/eventlog/eventlog.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/sim.h"
#include "platform/timemod/timemod_sim.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>

#include "vyn/vartable.h" // last: its accessors are macros

namespace errtest {

// An entry as error_mgr_get_data reports it.
struct Rec {
    uint16_t path;
    uint16_t type;
    uint32_t time;
    uint16_t duration;
    uint8_t count;
    uint8_t active;
};

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline std::vector<Rec> entries() {
    uint8_t buf[ERROR_MGR_ENTRIES * ERROR_MGR_DATA_RECORD];
    const int n = error_mgr_get_data(buf, sizeof buf);
    std::vector<Rec> out;
    for (int i = 0; i < n; ++i) {
        const uint8_t* p = buf + i * ERROR_MGR_DATA_RECORD;
        out.push_back({static_cast<uint16_t>(p[0] | p[1] << 8), static_cast<uint16_t>(p[2] | p[3] << 8),
                       le32(p + 4), static_cast<uint16_t>(p[8] | p[9] << 8), p[10], p[11]});
    }
    return out;
}

// (path, type, count, active) of every entry, oldest first.
using Pcta = std::vector<std::array<int, 4>>;
inline Pcta pcta() {
    Pcta out;
    for (const Rec& r : entries())
        out.push_back({r.path, r.type, r.count, r.active});
    return out;
}

inline std::atomic<uint8_t> powerGood{1};
inline uint8_t testPowerGood() {
    return powerGood.load();
}

constexpr int64_t CALENDAR_START = 1700000000; // 2023-11-14 22:13:20 UTC

struct ErrMgr : ::testing::Test {
    std::string dir;
    int hookId = 0;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, CALENDAR_START);
        sim::waitIdle();
        SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
        ASSERT_NE(base, nullptr);
        semTake(base, NO_WAIT);
        hookId = sim::addTickHook([base](uint64_t) { semGive(base); });
        kmgr::setHandler(KCALL_APPMAN, [](const intptr_t*) -> intptr_t { return 0; });
        testsupport::logStart();
        kmgr::clearFaults();
        char tmpl[] = "/tmp/vyn_errmgr_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        seram_reset();
        timemodsim::install();
        powerGood = 1;
        freshProcess();
    }

    void TearDown() override {
        endProcess();
        nvmem::uninstall();
        kmgr::clearFaults();
        kmgr::setHandler(KCALL_APPMAN, {});
        sim::removeTickHook(hookId);
        seram_reset();
        std::filesystem::remove_all(dir);
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
        ASSERT_TRUE(nvmem::install(dir, &err)) << err;
        ASSERT_EQ(nvram_dbs_init(), 1);
        error_mgr_setPowerGoodSource(testPowerGood);
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
        const int n = eventlogging_takeDelivered(buf, EVENTLOG_DELIVERED_SIZE);
        return std::vector<EventLogEntry>(buf, buf + n);
    }

    bool logged(const std::string& needle) { return testsupport::logContains(seen, needle); }
};

} // namespace errtest
