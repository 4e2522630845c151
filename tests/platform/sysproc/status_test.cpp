#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/sysproc/sysproc.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct StatusBlock : ::testing::Test {
    UnitDir unit;
    uint8_t* block = nullptr;
    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        std::string error;
        ASSERT_TRUE(sysproc::start(unit.path, &error)) << error;
        block = static_cast<uint8_t*>(shmMap(sysproc::APPLCOMM_SHM, sysproc::APPLCOMM_SIZE, false));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0, sysproc::APPLCOMM_SIZE);
    }
    void TearDown() override { sysproc::stop(); }
    std::string set(const std::string& f, const std::string& v) {
        std::string error;
        return sysproc::setStatus(f, v, &error) ? "ok" : error;
    }
    std::string get(const std::string& f) {
        std::string value, error;
        return sysproc::getStatus(f, &value, &error) ? value : "error: " + error;
    }
};

// The block's layout as the application reads it: offset and size of every field.
struct Layout {
    const char* name;
    size_t offset, size;
};
constexpr Layout LAYOUT[] = {
    {"usb_portsc1", 0, 4},        {"usb_reset_mask", 38, 2},
    {"usb_phy_linestate", 40, 1}, {"usb_mediastate", 64, 4},
    {"usb_errcnt", 68, 2},        {"sys_media_err", 70, 1},
    {"ftp_err", 75, 1},           {"prf_mon_meas_tid.3", 120, 4},
    {"ftp_UserLoggedIn", 140, 4}, {"card_part2_size", 152, 4},
    {"ltm_pid", 156, 1},          {"fcm_pid", 157, 1},
};

TEST_F(StatusBlock, EachFieldLandsAtItsOffsetLittleEndian) {
    for (const Layout& l : LAYOUT) {
        std::memset(block, 0, 160);
        const uint32_t value = l.size == 1 ? 0xA5 : l.size == 2 ? 0xA55A : 0xA55A1234;
        ASSERT_EQ(set(l.name, std::to_string(value)), "ok") << l.name;
        uint8_t want[160] = {};
        std::memcpy(want + l.offset, &value, l.size);
        EXPECT_EQ(std::memcmp(block, want, 160), 0) << l.name;
        EXPECT_EQ(get(l.name), std::to_string(value)) << l.name;
    }
    for (const auto& [name, offset] : {std::pair{"cpu_load.0", 76},
                                       {"cpu_load.1", 80},
                                       {"cpu_load_10ms.1", 88},
                                       {"cpu_load_100ms.0", 92},
                                       {"cpu_task_load.3", 136}}) {
        ASSERT_EQ(set(name, "12.5"), "ok") << name;
        float f;
        std::memcpy(&f, block + offset, 4);
        EXPECT_EQ(f, 12.5f) << name;
        EXPECT_EQ(get(name), "12.5");
    }
    ASSERT_EQ(set("usb_serial", "ABCDEFGHIJKLMNOPQRST"), "ok");
    ASSERT_EQ(set("usb_serial", "0815"), "ok");
    EXPECT_EQ(std::memcmp(block + 44, "0815\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20), 0) << "the rest cleared";
    EXPECT_EQ(get("usb_serial"), "0815");

    uint32_t blink = 13;
    std::memcpy(block + 160, &blink, 4);
    EXPECT_EQ(get("blink"), "13");
    EXPECT_NE(set("blink", "1"), "ok") << "the blink word is the application's";

    SEM_ID sem = semOpen(sysproc::APPLCOMM_SEM, SEM_TYPE_BINARY, 0, 0, 0);
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(semTake(sem, NO_WAIT), OK) << "given back after every access";
    EXPECT_EQ(semGive(sem), OK);
}

TEST_F(StatusBlock, BadFieldsAndValuesAreRefusedAndChangeNothing) {
    EXPECT_EQ(set("no_such", "1"), "no status field 'no_such'");
    EXPECT_EQ(set("ltm_pid", "256"), "'256' does not fit an unsigned 8-bit field");
    EXPECT_EQ(set("usb_portsc1", "12abc"), "'12abc' does not fit an unsigned 32-bit field");
    EXPECT_EQ(set("cpu_load", "1"), "'cpu_load' has 2 elements: name one as cpu_load.0 to cpu_load.1");
    EXPECT_EQ(set("cpu_load.2", "1"), "'cpu_load' has 2 elements");
    EXPECT_EQ(set("cpu_load.1", "inf"), "'inf' is not a number");
    EXPECT_EQ(set("ltm_pid.0", "1"), "'ltm_pid' is not an array");
    EXPECT_EQ(set("usb_serial", "ABCDEFGHIJKLMNOPQRSTU"), "'usb_serial' holds at most 20 characters");
    for (int i = 0; i < 164; ++i)
        ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(set("usb_portsc1", "0xDEADBEEF"), "ok");
    EXPECT_EQ(get("usb_portsc1"), "3735928559");
}

} // namespace
