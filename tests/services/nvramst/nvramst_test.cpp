#include "services/nvramst/nvramst.h"
#include "services/nvramst/onewire.h"

#include "services/rtpman/rtpman.h"
#include "platform/devdata/devdata.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/unit_dir.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using testsupport::logContains;

struct DeviceData : ::testing::Test {
    UnitDir unit;
    const std::string dir = unit.path;
    std::vector<testsupport::LogLine> seen;
    void SetUp() override {
        testsupport::logStart();
        kmgr::clearFaults();
        rtpman_reset();
        RtpManUsr_setIndex(2);
    }
    void TearDown() override {
        devdata::uninstall();
        kmgr::clearFaults();
    }
    void board(const std::string& text) {
        std::ofstream(dir + "/devdata.ini") << text;
        std::string err;
        ASSERT_TRUE(devdata::install(dir, &err)) << err;
    }
};

TEST_F(DeviceData, CallsCarryIndexCodeItemAndBufferList) {
    // The manager's view of each request, independent of the stand-in.
    std::vector<intptr_t> args;
    uint32_t fill = 0xCAFE;
    for (unsigned call : {KCALL_DEVDATA_INIT, KCALL_DEVDATA_CONTROL, KCALL_DEVDATA_GET, KCALL_DEVDATA_SET})
        kmgr::setHandler(call, [&, call](const intptr_t* a) -> intptr_t {
            args.assign(a, a + 8);
            if (call == KCALL_DEVDATA_GET) std::memcpy(reinterpret_cast<void* const*>(a[5])[0], &fill, 4);
            if (call == KCALL_DEVDATA_CONTROL && a[2] == 0) *reinterpret_cast<uint8_t*>(a[3]) = 1;
            return 0;
        });

    EXPECT_EQ(nvramst_init(), 1);
    EXPECT_EQ(args, (std::vector<intptr_t>{2, 0x3A6D1E47, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(nvramst_disableWrites(), 0);
    EXPECT_EQ(args, (std::vector<intptr_t>{2, 0x3A6D1E47, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(nvramst_enableWrites(), 0);
    EXPECT_EQ(args[2], 1);
    EXPECT_EQ(nvramst_iniOk(), 1);
    EXPECT_TRUE(args[2] == 0 && args[3] != 0);
    uint32_t crashes = 0;
    EXPECT_EQ(nvramst_get_crashCounter(&crashes), 0);
    EXPECT_EQ(crashes, 0xCAFEu);
    args[5] = 0; // the buffer list
    EXPECT_EQ(args, (std::vector<intptr_t>{2, 0x3A6D1E47, 8, 0, 1, 0, 0, 0}));
    float t = 1.5f;
    EXPECT_EQ(nvramst_set_maxTDisp(&t), 0);
    EXPECT_EQ(args[2], 10);
    for (unsigned call : {KCALL_DEVDATA_INIT, KCALL_DEVDATA_CONTROL, KCALL_DEVDATA_GET, KCALL_DEVDATA_SET})
        kmgr::setHandler(call, nullptr);
}

TEST_F(DeviceData, LifeDataSurvivesARestartOfTheManager) {
    board("part_number = \"4000-115-021\"\nlife_time = 86400\nmax_tecu = 71.25\nbrick_counter = 9\n");
    ASSERT_EQ(nvramst_init(), 1);
    EXPECT_EQ(nvramst_iniOk(), 1);
    char part[DEVDATA_TEXT_SIZE + 1] = {};
    EXPECT_EQ(nvramst_get_partNumber(part), 0);
    EXPECT_STREQ(part, "4000-115-021");
    EXPECT_EQ(nvramst_get_brickCounter(), 9);

    // As the self-monitoring keeps them.
    uint32_t u = 86401;
    EXPECT_EQ(nvramst_set_lifeTime(&u), 0);
    float f = 73.5f;
    EXPECT_EQ(nvramst_set_maxTECU(&f), 0);
    EXPECT_EQ(nvramst_set_brickCounter(10), 0);
    ASSERT_TRUE(devdata::install(dir));
    EXPECT_EQ(nvramst_get_lifeTime(&u), 0);
    EXPECT_EQ(u, 86401u);
    EXPECT_EQ(nvramst_get_maxTECU(&f), 0);
    EXPECT_EQ(f, 73.5f);
    EXPECT_EQ(nvramst_get_brickCounter(), 10);
}

TEST_F(DeviceData, SerialNumberTexts) {
    board("");
    const char* texts[] = {"#0815", "0123 45", "#12a4", "", "ABCDEFGHIJKLMNOP"};
    for (const char* t : texts) {
        char in[DEVDATA_TEXT_SIZE] = {};
        std::memcpy(in, t, std::strlen(t));
        ASSERT_EQ(nvramst_set_serialNumber(in), 0) << t;
        char out[DEVDATA_TEXT_SIZE + 1];
        std::memset(out, 'Z', sizeof out);
        ASSERT_EQ(nvramst_get_serialNumber(out), 0) << t;
        EXPECT_EQ(0, std::memcmp(out, in, DEVDATA_TEXT_SIZE)) << t; // NUL-padded to 16
        EXPECT_EQ(out[DEVDATA_TEXT_SIZE], 'Z') << "a getter writes 16 bytes, no more";
    }
}

TEST_F(DeviceData, MissingItemsAndFailedCallsLeaveBuffersAlone) {
    board("part_number = \"P-1\"\n");
    char serial[DEVDATA_TEXT_SIZE + 1] = "untouched";
    EXPECT_EQ(nvramst_get_serialNumber(serial), -1);
    EXPECT_STREQ(serial, "untouched");
    EXPECT_EQ(nvramst_get_brickCounter(), 0);

    char part[DEVDATA_TEXT_SIZE + 1] = "untouched";
    kmgr::injectFault(KCALL_DEVDATA_GET, -1, 1);
    EXPECT_EQ(nvramst_get_partNumber(part), -1);
    EXPECT_STREQ(part, "untouched");
    EXPECT_EQ(nvramst_get_partNumber(part), 0);
    EXPECT_STREQ(part, "P-1");

    kmgr::injectFault(KCALL_DEVDATA_SET, -1, 1);
    uint32_t u = 5;
    EXPECT_EQ(nvramst_set_crashCounter(&u), -1);
    EXPECT_EQ(nvramst_get_crashCounter(&u), -1); // not programmed by the failed call

    kmgr::injectFault(KCALL_DEVDATA_CONTROL, -1, 1);
    EXPECT_EQ(nvramst_iniOk(), 0);
}

TEST_F(DeviceData, RefusedInterfaceAndFaultyStore) {
    board("");
    kmgr::injectFault(KCALL_DEVDATA_INIT, -1, 1);
    EXPECT_EQ(nvramst_init(), 0);
    EXPECT_TRUE(logContains(seen, "nvramst_init 2: compatibility check failed"));
    // Only -1 is the refusal.
    kmgr::injectFault(KCALL_DEVDATA_INIT, 3, 1);
    EXPECT_EQ(nvramst_init(), 1);

    std::ofstream(dir + "/devdata.ini") << "serial_number = #0815\n"; // no quotes
    EXPECT_FALSE(devdata::install(dir));
    EXPECT_EQ(nvramst_init(), 1);
    EXPECT_EQ(nvramst_iniOk(), 0);
    char serial[DEVDATA_TEXT_SIZE] = {};
    EXPECT_EQ(nvramst_get_serialNumber(serial), -1);
}

TEST_F(DeviceData, RomIdIsReadOrZeroed) {
    board("rom_id = 28ff4c1d6a1603a1\n");
    EXPECT_EQ(onewire_init(), 1);
    uint8_t rom[DEVDATA_ROMID_SIZE] = {};
    ow_readRomID(rom);
    EXPECT_EQ(0, std::memcmp(rom, "\x28\xff\x4c\x1d\x6a\x16\x03\xa1", 8));
    EXPECT_FALSE(logContains(seen, "Reading OWID failed"));

    kmgr::injectFault(KCALL_ROMID, -1, 1);
    ow_readRomID(rom);
    EXPECT_EQ(0, std::memcmp(rom, "\0\0\0\0\0\0\0\0", 8));
    EXPECT_TRUE(logContains(seen, "Reading OWID failed"));

    // A board without a ROM id on file reads the same way (the repeated line is folded by the log).
    board("");
    std::memset(rom, 0x55, sizeof rom);
    ow_readRomID(rom);
    EXPECT_EQ(0, std::memcmp(rom, "\0\0\0\0\0\0\0\0", 8));
}

} // namespace
