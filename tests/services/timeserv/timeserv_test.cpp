// The time service's command handlers and measurement time over the simulated TIME module and
// the manager's real-time clock.
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "platform/timemod/timemod_sim.h"
#include "services/rtpman/rtpman.h"
#include "services/timemod/timemod.h"
#include "services/timeserv/timeserv.h"
#include "support/stepped.h"

#include <cstring>
#include <vector>

namespace {

using Msg = std::vector<uint8_t>;
std::vector<Msg> sent;

void put16(Msg& m, size_t at, uint16_t v) {
    m[at] = static_cast<uint8_t>(v >> 8), m[at + 1] = static_cast<uint8_t>(v);
}
void put32(Msg& m, size_t at, uint32_t v) {
    put16(m, at, static_cast<uint16_t>(v >> 16)), put16(m, at + 2, static_cast<uint16_t>(v));
}

// 0x0600 from `pid` with the date fields and the master's qualifier, id and boot count.
Msg distribution(uint16_t pid, std::vector<uint16_t> date, uint32_t q, uint32_t id = 7, uint32_t boot = 1,
                 uint16_t payload = 32) {
    Msg m(52);
    put16(m, 2, payload), put16(m, 4, pid), put16(m, 6, 0xFFFE), put16(m, 16, 0x0600);
    for (size_t i = 0; i < date.size(); ++i)
        put16(m, 24 + 2 * i, date[i]);
    put32(m, 40, q), put32(m, 44, id), put32(m, 48, boot);
    return m;
}

const std::vector<uint16_t> DATE = {2024, 2, 29, 23, 59, 58, 250};

struct TimeService : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        SteppedTest::SetUp();
        platform::Settings s;
        s.pid = 0x21;
        s.nvramDir = dir.path;
        platform::setSettings(s);
        kmgr::installAppManager();
        ASSERT_EQ(AppMan_init(), 1);
        timemodsim::install();
        timemodsim::setStatus(TIME_SYNC_FULL);
        timeserv_reset();
        sent.clear();
        timeserv_setCommandInterface(
            [](const uint8_t* m, int) -> uint16_t {
                sent.emplace_back(m, m + 20 + (m[2] << 8 | m[3]));
                return 1;
            },
            [] { return 1; });
    }
    void serve(const Msg& m) { timeserv_distributeTime_cmd(m.data(), m.size()); }
    uint32_t masterId() {
        uint32_t id = 0;
        timeserv_getMasterIds(&id, nullptr);
        return id;
    }
};

TEST_F(TimeService, ShortOrInvalidDatesReachNoClock) {
    timeserv_init(1, 0);
    const uint64_t writes = kmgr::callCount(KCALL_RTC_WRITE);
    serve(distribution(0x30, DATE, 9, 7, 1, 17)); // the date would end in stale bytes
    Msg shortNew(33);
    put16(shortNew, 2, 13), put16(shortNew, 16, 0x0602);
    timeserv_newSystemTime_cmd(shortNew.data(), shortNew.size());
    serve(distribution(0x30, {2024, 2, 0, 0, 0, 0, 0}, 9)); // no day
    serve(distribution(0x30, {2100, 1, 1, 0, 0, 0, 0}, 9));
    EXPECT_EQ(kmgr::callCount(KCALL_RTC_WRITE), writes);
    EXPECT_EQ(timeserv_getQualifier(), 1u);
    EXPECT_TRUE(logged("Failed to sync on timemaster systemtime"));
}

TEST_F(TimeService, SlaveTakesABetterTimeAndOffersItsOwnToAWorseMaster) {
    timeserv_init(1, 0);
    serve(distribution(0x30, DATE, 9));
    EXPECT_EQ(kmgr::rtcText(), "2024-02-29 23:59:58.250");
    EXPECT_TRUE(logged("Sync on timemaster systemtime: 29.02.2024  23:59:58.250, q:9"));
    EXPECT_EQ(timeserv_getQualifier(), 9u);
    date_msd now{};
    timeserv_readSystemTime(&now);
    EXPECT_EQ(std::vector<uint16_t>({now.YEAR, now.MONTH, now.DAY}), std::vector<uint16_t>({2024, 2, 29}));
    ASSERT_TRUE(sent.empty());
    serve(distribution(0x30, {2030, 1, 1, 0, 0, 0, 0}, 1)); // a worse master: told, not followed
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][17], 0x03);
    EXPECT_EQ(std::vector<uint8_t>(sent[0].begin() + 36, sent[0].end()), std::vector<uint8_t>({0, 0, 0, 9}));
    timeserv_readSystemTime(&now);
    EXPECT_EQ(now.YEAR, 2024);
}

TEST_F(TimeService, MasterChangesOnlyAfterTenConsecutiveMessages) {
    timeserv_init(1, 0);
    serve(distribution(0x30, DATE, 1, 100));
    for (int i = 0; i < 12; ++i)
        serve(distribution(i % 2 ? 0x30 : 0x31, DATE, 1, i % 2 ? 100 : 200));
    EXPECT_EQ(masterId(), 100u);
    for (int i = 1; i <= 10; ++i) {
        serve(distribution(0x31, DATE, 1, 200));
        EXPECT_EQ(masterId(), i < 10 ? 100u : 200u) << i;
    }
    EXPECT_EQ(countLogged("trying to change time master PID to 0x31"), 1);
    EXPECT_EQ(countLogged("changing time master to PID 0x31"), 1);
}

TEST_F(TimeService, MasterReportsAnotherMasterOnceAndTakesABetterSuggestion) {
    ASSERT_EQ(timeserv_init(1, 1), 1);
    for (int i = 1; i <= 30; ++i) { // 2 a message from another unit: above 20 from the 11th
        serve(distribution(0x30, DATE, 1));
        EXPECT_EQ(countLogged("multiple time masters detected"), i < 11 ? 0 : 1) << i;
    }
    Msg offer(40);
    put16(offer, 2, 20), put16(offer, 16, 0x0603);
    for (size_t i = 0; i < DATE.size(); ++i)
        put16(offer, 20 + 2 * i, DATE[i]);
    put32(offer, 36, 5);
    timeserv_suggestOwnTime_cmd(offer.data(), offer.size());
    EXPECT_EQ(timeserv_getQualifier(), 5u);
    EXPECT_EQ(kmgr::rtcText(), "2024-02-29 23:59:58.250");
}

// The first sync writes the real-time clock for a date more than half a second ahead; with a
// qualifier only for a better one, or an equal one with such a date; else the system time alone.
TEST_F(TimeService, FirstSyncWritesTheClockForADateMoreThanHalfASecondAheadOrABetterQualifier) {
    const struct {
        uint16_t payload, aheadMs;
        uint32_t q;
        bool rtc;
    } cases[] = {{22, 500, 0, false}, {22, 501, 0, true}, {32, 500, 1, false},
                 {32, 501, 1, true},  {32, 0, 2, true},   {32, 5000, 0, false}}; // the own qualifier is 1
    for (const auto& c : cases) {
        timeserv_reset();
        timeserv_init(1, 0);
        date_msd now{};
        timeserv_readSystemTime(&now);
        const std::vector<uint16_t> date = {now.YEAR,
                                            now.MONTH,
                                            now.DAY,
                                            now.HOUR,
                                            now.MIN,
                                            now.SEC,
                                            static_cast<uint16_t>(now.MS + c.aheadMs)};
        const uint64_t writes = kmgr::callCount(KCALL_RTC_WRITE);
        serve(distribution(0x30, date, c.q, 7, 1, c.payload));
        EXPECT_EQ(kmgr::callCount(KCALL_RTC_WRITE) - writes, c.rtc ? 1u : 0u) << c.aheadMs << " q " << c.q;
    }
}

// A new system time without a qualifier field counts as 5.
TEST_F(TimeService, NewSystemTimeTakesItsQualifierOrFive) {
    timeserv_init(1, 0);
    for (auto [payload, want] : {std::pair{20, 5u}, {24, 9u}}) {
        Msg m(44);
        put16(m, 2, static_cast<uint16_t>(payload)), put16(m, 16, 0x0602);
        for (size_t i = 0; i < DATE.size(); ++i)
            put16(m, 20 + 2 * i, DATE[i]);
        put32(m, 36, 9);
        timeserv_newSystemTime_cmd(m.data(), m.size());
        EXPECT_EQ(timeserv_getQualifier(), want) << payload;
    }
    EXPECT_EQ(kmgr::rtcText(), "2024-02-29 23:59:58.250");
}

TEST_F(TimeService, MeasurementTimeFollowsTheModuleOnlyInFullSync) {
    timeserv_MeasTime_ini();
    sim::step(5);
    timeserv_MeasTime_1ms();
    EXPECT_EQ(timeserv_getMeasTime(), time_getTimestamp_reg());
    timemodsim::setStatus(TIME_SYNC_SIGNAL);
    const uint32_t before = timeserv_getMeasTime();
    for (int i = 0; i < 3; ++i)
        timeserv_MeasTime_1ms();
    EXPECT_EQ(timeserv_getMeasTime(), before + 30);
}

} // namespace
