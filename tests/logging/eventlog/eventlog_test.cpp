// The event service: queued events delivered by the "EventService" raster in order, from many
// senders at once, and an overload that is counted, logged and raised as an error.
#include "logging/eventlog/eventlog.h"

#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"
#include "services/raster/raster.h"
#include "services/raster/raster_private.h"
#include "support/stepped.h"

#include <cstring>

namespace {

struct EventService : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        SteppedTest::SetUp();
        startBaseTick();
        kmgr::setHandler(2753, [](const intptr_t*) -> intptr_t { return 0; }); // watchdog feeds
        ASSERT_TRUE(nvmem::install(dir.path) && nvram_dbs_init() == 1);
        eventlogging_reset();
        ASSERT_EQ(raster_initializeStep0(), 1);
        sim::waitIdle();
    }
    void TearDown() override {
        raster_reset(), error_mgr_reset(), eventlogging_reset(), nvram_dbs_reset(), nvmem::uninstall();
        kmgr::setHandler(2753, {});
        SteppedTest::TearDown();
    }
    static void send(uint32_t n) {
        uint8_t rec[EVENTLOG_RECORD_SIZE] = {};
        std::memcpy(rec + 4, &n, 4);
        eventlogging_send(rec, "ANA01", "Minimum error");
    }
    // The numbers of the events delivered since the last call.
    static std::vector<uint32_t> taken() {
        std::vector<EventLogEntry> v(EVENTLOG_DELIVERED_SIZE);
        v.resize(static_cast<size_t>(eventlogging_takeDelivered(v.data(), EVENTLOG_DELIVERED_SIZE)));
        std::vector<uint32_t> n(v.size());
        for (size_t i = 0; i < v.size(); ++i)
            std::memcpy(&n[i], v[i].record + 4, 4);
        for (const EventLogEntry& e : v) // the texts with every record
            EXPECT_EQ(std::string(e.pathText) + "/" + e.typeText, "ANA01/Minimum error");
        return n;
    }
};

TEST_F(EventService, EventsFromSendersAtOnceWaitForTheServiceKeepTheirOrderAndAnOverloadIsRaised) {
    ASSERT_EQ(error_mgr_init(), 1);
    constexpr uint32_t SENDERS = 4, EACH = EVENTLOG_QUEUE_SIZE / SENDERS;
    for (uint32_t s = 0; s < SENDERS; ++s)
        taskSpawnFn(("t_send" + std::to_string(s)).c_str(), 100, 0, 0, [s] {
            for (uint32_t i = 0; i < EACH; ++i)
                send(s << 16 | i);
        });
    sim::step(20);
    EXPECT_EQ(std::pair(taken().size(), eventlogging_dropped()), std::pair(size_t{0}, uint32_t{0}));
    ASSERT_EQ(eventlogging_service_init() + eventlogging_service_init(), 2); // hooked once
    int priority = 0;
    ASSERT_EQ(taskPriorityGet(taskNameToId("r_EventService"), &priority), OK);
    EXPECT_EQ(priority, 67);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(10);
    const auto ev = taken();
    ASSERT_EQ(ev.size(), static_cast<size_t>(EVENTLOG_QUEUE_SIZE));
    uint32_t next[SENDERS] = {};
    for (uint32_t n : ev)
        EXPECT_EQ(n & 0xFFFF, next[n >> 16]++);

    // An overload is counted, logged and raised.
    for (uint32_t i = 0; i < EVENTLOG_QUEUE_SIZE + 6; ++i)
        send(i);
    EXPECT_EQ(eventlogging_dropped(), 6u);
    sim::step(10);
    EXPECT_EQ(taken().size(), static_cast<size_t>(EVENTLOG_QUEUE_SIZE));
    EXPECT_TRUE(logged("EventService: 6 event(s) discarded, queue full"));
    uint8_t buf[ERROR_MGR_DATA_RECORD];
    ASSERT_EQ(error_mgr_get_data(buf, sizeof buf), 1); // EVENTLOGGING, 0x170, active
    EXPECT_EQ(std::tuple(buf[0] | buf[1] << 8, buf[2] | buf[3] << 8, buf[11]), std::tuple(8369, 0x170, 1));
    sim::step(10);
    ASSERT_EQ(error_mgr_get_data(buf, sizeof buf), 1);
    EXPECT_EQ(buf[11], 0);        // no further loss: inactive again
    EXPECT_TRUE(taken().empty()); // the error manager does not forward its own path
}

} // namespace
