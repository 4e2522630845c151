// The event service: queued events delivered by the "EventService" raster in order, from many
// senders at once, and an overload that is counted, logged and raised as an error.
#include "logging/eventlog/eventlog.h"

#include "services/raster/raster.h"
#include "services/raster/raster_private.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct EventService : ::testing::Test {
    std::string dir;
    int hookId = 0;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
        ASSERT_NE(base, nullptr);
        semTake(base, NO_WAIT);
        hookId = sim::addTickHook([base](uint64_t) { semGive(base); });
        kmgr::setHandler(2753, [](const intptr_t*) -> intptr_t { return 0; }); // watchdog feeds
        testsupport::logStart();
        char tmpl[] = "/tmp/vyn_events_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_TRUE(nvmem::install(dir));
        ASSERT_EQ(nvram_dbs_init(), 1);
        eventlogging_reset();
        ASSERT_EQ(raster_initializeStep0(), 1);
        sim::waitIdle();
    }
    void TearDown() override {
        raster_reset();
        error_mgr_reset();
        eventlogging_reset();
        nvram_dbs_reset();
        nvmem::uninstall();
        kmgr::setHandler(2753, {});
        sim::removeTickHook(hookId);
        std::filesystem::remove_all(dir);
    }
    void startService() {
        ASSERT_EQ(eventlogging_service_init(), 1);
        ASSERT_EQ(eventlogging_service_init(), 1); // hooked once
        ASSERT_EQ(raster_initializeStep1(), 1);
        sim::waitIdle();
    }
    static void send(uint32_t n, const char* path = "ANA01") {
        uint8_t rec[EVENTLOG_RECORD_SIZE] = {};
        std::memcpy(rec + 4, &n, 4);
        eventlogging_send(rec, path, "Minimum error");
    }
    static uint32_t numberOf(const EventLogEntry& e) {
        uint32_t n;
        std::memcpy(&n, e.record + 4, 4);
        return n;
    }
    static std::vector<EventLogEntry> take() {
        std::vector<EventLogEntry> v(EVENTLOG_DELIVERED_SIZE);
        v.resize(static_cast<size_t>(eventlogging_takeDelivered(v.data(), EVENTLOG_DELIVERED_SIZE)));
        return v;
    }
};

TEST_F(EventService, EventsSentBeforeTheServiceWaitForIt) {
    for (uint32_t i = 0; i < 5; ++i)
        send(i);
    sim::step(20);
    EXPECT_TRUE(take().empty());
    startService();
    const auto names = sim::taskNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "r_EventService"), names.end());
    sim::step(10);
    const auto ev = take();
    ASSERT_EQ(ev.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(numberOf(ev[i]), i);
    EXPECT_STREQ(ev[0].pathText, "ANA01");
    EXPECT_STREQ(ev[0].typeText, "Minimum error");
}

TEST_F(EventService, SendersAtOnceKeepTheirOwnOrder) {
    constexpr int SENDERS = 4;
    constexpr uint32_t EACH = EVENTLOG_QUEUE_SIZE / SENDERS;
    std::atomic<int> done{0};
    for (int s = 0; s < SENDERS; ++s)
        taskSpawnFn(("t_send" + std::to_string(s)).c_str(), 100, 0, 0, [s, &done] {
            for (uint32_t i = 0; i < EACH; ++i)
                send(static_cast<uint32_t>(s) << 16 | i);
            ++done;
        });
    sim::waitIdle();
    ASSERT_EQ(done.load(), SENDERS);
    EXPECT_EQ(eventlogging_dropped(), 0u);
    startService();
    sim::step(10);
    const auto ev = take();
    ASSERT_EQ(ev.size(), static_cast<size_t>(EVENTLOG_QUEUE_SIZE));
    uint32_t next[SENDERS] = {};
    for (const auto& e : ev) {
        const uint32_t n = numberOf(e);
        EXPECT_EQ(n & 0xFFFF, next[n >> 16]++);
    }
}

TEST_F(EventService, OverloadIsCountedLoggedAndRaised) {
    ASSERT_EQ(error_mgr_init(), 1);
    startService();
    for (uint32_t i = 0; i < EVENTLOG_QUEUE_SIZE + 6; ++i)
        send(i);
    EXPECT_EQ(eventlogging_dropped(), 6u);
    sim::step(10);
    EXPECT_EQ(take().size(), static_cast<size_t>(EVENTLOG_QUEUE_SIZE));
    EXPECT_TRUE(testsupport::logContains(seen, "EventService: 6 event(s) discarded, queue full"));
    uint8_t buf[ERROR_MGR_DATA_RECORD];
    ASSERT_EQ(error_mgr_get_data(buf, sizeof buf), 1);
    EXPECT_EQ(buf[0] | buf[1] << 8, 8369); // EVENTLOGGING
    EXPECT_EQ(buf[2] | buf[3] << 8, 0x170);
    EXPECT_EQ(buf[11], 1);
    sim::step(10);
    ASSERT_EQ(error_mgr_get_data(buf, sizeof buf), 1);
    EXPECT_EQ(buf[11], 0);       // no further loss: inactive again
    EXPECT_TRUE(take().empty()); // the error manager does not forward its own path
}

} // namespace
