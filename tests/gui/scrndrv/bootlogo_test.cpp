// The boot logo (fetched once from the manager, drawn, layer 1 on) and the layer registers.
// This file comes first in the program: the logo is fetched once per process.
#include "gui/scrndrv/scrndrv.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"

namespace {

uint32_t layer1() {
    return hw_read32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP);
}

struct BootLogo : guitest::GuiTest {
    void TearDown() override {
        kmgr::clearFaults();
        GuiTest::TearDown();
    }
};

TEST_F(BootLogo, IsFetchedOnceDrawnAndThenLayerOneComesOn) {
    char* address = reinterpret_cast<char*>(1);
    uint32_t size = 1;
    scrndrvGetBootLogo(&address, &size);
    if (address) GTEST_SKIP() << "the logo was fetched by a test that ran before";
    EXPECT_EQ(size, 0u);
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 0);

    // Failed fetches leave nothing behind and are tried again.
    kmgr::injectFault(KCALL_BOOTLOGO_SIZE, -1);
    scrndrvInit();
    displaysim::setBootLogo({});
    scrndrvInit();
    displaysim::setBootLogo(displaysim::defaultBootLogo());
    kmgr::injectFault(KCALL_BOOTLOGO_COPY, -1);
    scrndrvInit();
    for (const char* text : {"scrndrvInit(): syscall getBootLogoSize returns error",
                             "scrndrvInit(): error getting boot logo size",
                             "scrndrvInit(): couldnt get boot logo, syscall returns error"})
        EXPECT_TRUE(logged(text)) << text;
    scrndrvGetBootLogo(&address, &size);
    EXPECT_EQ(std::tuple(address, layer1()), std::tuple(nullptr, 0u));

    const uint64_t sizeCalls = kmgr::callCount(KCALL_BOOTLOGO_SIZE);
    scrndrvInit();
    scrndrvGetBootLogo(&address, &size);
    const std::vector<uint8_t> logo = displaysim::defaultBootLogo();
    ASSERT_NE(address, nullptr);
    ASSERT_EQ(size, logo.size());
    EXPECT_EQ(std::vector<uint8_t>(address, address + size), logo);
    EXPECT_EQ(layer1(), 3u) << "layer 1 on after the logo was drawn";
    EXPECT_TRUE(logged("Loading screen dump: "));
    EXPECT_EQ(shownAt(700, 10), 0u) << "the logo covers the application's area only";
    scrndrvInit(); // fetched once
    EXPECT_EQ(kmgr::callCount(KCALL_BOOTLOGO_SIZE), sizeCalls + 1);
}

} // namespace
