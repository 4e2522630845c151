// Device data through the manager's calls: what each call carries, the items over a restart,
// refusals and faults that leave the caller's buffers alone, and the ROM id.
#include "services/nvramst/nvramst.h"
#include "services/nvramst/onewire.h"
#include "services/rtpman/rtpman.h"
#include "platform/devdata/devdata.h"
#include "platform/kmgr/kmgr_sim.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstring>
#include <functional>

namespace {

struct DeviceData : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        SteppedTest::SetUp();
        kmgr::clearFaults();
        rtpman_reset();
        RtpManUsr_setIndex(2);
    }
    void TearDown() override {
        devdata::uninstall();
        kmgr::clearFaults();
        SteppedTest::TearDown();
    }
    void board(const std::string& text) {
        dir.write("devdata.ini", text);
        ASSERT_TRUE(devdata::install(dir.path));
    }
};

TEST_F(DeviceData, CallsCarryIndexCodeItemAndBufferList) {
    std::vector<intptr_t> args; // the manager's view of each request
    const unsigned calls[] = {KCALL_DEVDATA_INIT, KCALL_DEVDATA_CONTROL, KCALL_DEVDATA_GET,
                              KCALL_DEVDATA_SET};
    for (unsigned call : calls)
        kmgr::setHandler(call, [&args, call](const intptr_t* a) -> intptr_t {
            args.assign(a, a + 8);
            if (call == KCALL_DEVDATA_GET) *reinterpret_cast<uint32_t* const*>(a[5])[0] = 0xCAFE;
            if (call == KCALL_DEVDATA_CONTROL && a[2] == 0) *reinterpret_cast<uint8_t*>(a[3]) = 1;
            return 0;
        });
    EXPECT_EQ(nvramst_init(), 1);
    EXPECT_EQ(args, (std::vector<intptr_t>{2, 0x3A6D1E47, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(nvramst_disableWrites() + nvramst_enableWrites() + nvramst_iniOk(), 1);
    uint32_t crashes = 0;
    EXPECT_EQ(nvramst_get_crashCounter(&crashes), 0);
    EXPECT_EQ(crashes, 0xCAFEu);
    args[5] = 0; // the buffer list
    EXPECT_EQ(args, (std::vector<intptr_t>{2, 0x3A6D1E47, 8, 0, 1, 0, 0, 0}));
    for (unsigned call : calls)
        kmgr::setHandler(call, nullptr);
}

// Each getter and setter names its item; the brick counter travels as one byte.
TEST_F(DeviceData, EveryGetterAndSetterNamesItsItem) {
    std::vector<intptr_t> items;
    uint8_t brickSet = 0;
    for (unsigned call : {KCALL_DEVDATA_GET, KCALL_DEVDATA_SET})
        kmgr::setHandler(call, [&, call](const intptr_t* a) -> intptr_t {
            items.push_back(a[2]);
            auto* buffer = *reinterpret_cast<uint8_t* const*>(a[5]);
            if (a[2] == 9 && call == KCALL_DEVDATA_GET) *buffer = 42;
            if (a[2] == 9 && call == KCALL_DEVDATA_SET) brickSet = *buffer;
            return 0;
        });
    alignas(8) uint8_t b[64] = {};
    auto* u32 = reinterpret_cast<uint32_t*>(b);
    auto* f = reinterpret_cast<float*>(b);
    auto* text = reinterpret_cast<char*>(b);
    const std::function<int()> calls[] = {[&] { return nvramst_get_mac(b); },
                                          [&] { return nvramst_set_mac(b); },
                                          [&] { return nvramst_get_lifeTime(u32); },
                                          [&] { return nvramst_set_lifeTime(u32); },
                                          [&] { return nvramst_get_maxTECU(f); },
                                          [&] { return nvramst_set_maxTECU(f); },
                                          [&] { return nvramst_get_partNumber(text); },
                                          [&] { return nvramst_set_partNumber(text); },
                                          [&] { return nvramst_get_serialNumber(text); },
                                          [&] { return nvramst_set_serialNumber(text); },
                                          [&] { return nvramst_get_revisionID(u32); },
                                          [&] { return nvramst_set_revisionID(u32); },
                                          [&] { return nvramst_get_revDates(b); },
                                          [&] { return nvramst_set_revDates(b); },
                                          [&] { return nvramst_get_crashCounter(u32); },
                                          [&] { return nvramst_set_crashCounter(u32); },
                                          [&] { return nvramst_get_brickCounter() - 42; },
                                          [&] { return nvramst_set_brickCounter(7); },
                                          [&] { return nvramst_get_maxTDisp(f); },
                                          [&] { return nvramst_set_maxTDisp(f); }};
    for (const auto& call : calls) // one after the other: the order is what is recorded
        EXPECT_EQ(call(), 0) << items.size();
    EXPECT_EQ(std::pair(items, brickSet),
              std::pair(std::vector<intptr_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 8, 8, 9, 9, 10, 10},
                        uint8_t{7}));
    for (unsigned call : {KCALL_DEVDATA_GET, KCALL_DEVDATA_SET})
        kmgr::setHandler(call, nullptr);
}

TEST_F(DeviceData, ItemsSurviveARestartOfTheManager) {
    board("part_number = \"4000-115-021\"\nlife_time = 86400\nmax_tecu = 71.25\n");
    ASSERT_EQ(nvramst_init(), 1);
    char part[DEVDATA_TEXT_SIZE + 1] = {};
    EXPECT_EQ(nvramst_get_partNumber(part), 0);
    EXPECT_STREQ(part, "4000-115-021");
    uint32_t u = 86401;
    float f = 73.5f;
    EXPECT_EQ(nvramst_set_lifeTime(&u) + nvramst_set_maxTECU(&f), 0);
    ASSERT_TRUE(devdata::install(dir.path));
    EXPECT_EQ(nvramst_get_lifeTime(&u) + nvramst_get_maxTECU(&f), 0);
    EXPECT_EQ(std::tuple(u, f), std::tuple(86401u, 73.5f));
    // Serial numbers are 16 bytes, NUL-padded; the getter writes no more.
    for (const char* text : {"#0815", "", "ABCDEFGHIJKLMNOP"}) {
        board(std::string("serial_number = \"") + text + "\"\n");
        char want[DEVDATA_TEXT_SIZE] = {}, out[DEVDATA_TEXT_SIZE + 1];
        std::memcpy(want, text, std::strlen(text));
        std::memset(out, 'Z', sizeof out);
        ASSERT_EQ(nvramst_get_serialNumber(out), 0) << text;
        EXPECT_EQ(std::string(out, sizeof out), std::string(want, sizeof want) + "Z");
    }
}

TEST_F(DeviceData, RefusalsAndFaultsLeaveBuffersAlone) {
    board("part_number = \"P-1\"\n");
    char text[DEVDATA_TEXT_SIZE + 1] = "untouched";
    EXPECT_EQ(nvramst_get_serialNumber(text), -1); // not on file
    kmgr::injectFault(KCALL_DEVDATA_GET, -1, 1);
    EXPECT_EQ(nvramst_get_partNumber(text), -1);
    EXPECT_STREQ(text, "untouched");
    uint32_t u = 5;
    kmgr::injectFault(KCALL_DEVDATA_SET, -1, 1);
    EXPECT_EQ(nvramst_set_lifeTime(&u), -1);
    EXPECT_EQ(nvramst_get_lifeTime(&u), -1);      // not programmed by the failed call
    kmgr::injectFault(KCALL_DEVDATA_INIT, -1, 1); // only -1 is the refusal
    EXPECT_EQ(nvramst_init(), 0);
    kmgr::injectFault(KCALL_DEVDATA_INIT, 3, 1);
    EXPECT_EQ(nvramst_init(), 1);
    dir.write("devdata.ini", "serial_number = #0815\n"); // no quotes: a faulty store
    EXPECT_FALSE(devdata::install(dir.path));
    EXPECT_EQ(nvramst_init(), 1);
    EXPECT_EQ(nvramst_get_serialNumber(text), -1);
}

TEST_F(DeviceData, RomIdIsReadOrZeroed) {
    board("rom_id = 28ff4c1d6a1603a1\n");
    uint8_t rom[DEVDATA_ROMID_SIZE] = {};
    ow_readRomID(rom);
    EXPECT_EQ(pyref::hex(rom, sizeof rom), "28ff4c1d6a1603a1");
    for (bool fault : {true, false}) { // a failed call, then a board without a ROM id on file
        if (fault) kmgr::injectFault(KCALL_ROMID, -1, 1);
        if (!fault) board("");
        std::memset(rom, 0x55, sizeof rom);
        ow_readRomID(rom);
        EXPECT_EQ(pyref::hex(rom, sizeof rom), "0000000000000000");
    }
    EXPECT_TRUE(logged("Reading OWID failed"));
}

} // namespace
