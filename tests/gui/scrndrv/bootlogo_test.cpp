// The boot logo (fetched once from the manager, drawn, layer 1 on) and the layer registers.
// This file comes first in the program: the logo is fetched once per process.
#include "gui/scrndrv/scrndrv.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"
#include "support/logcapture.h"

#include <vector>

namespace {

using testsupport::LogLine;

uint32_t layer(int n) {
    return hw_read32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP * static_cast<uintptr_t>(n));
}

struct BootLogo : guitest::GuiTest {
    void SetUp() override {
        GuiTest::SetUp();
        testsupport::logStart();
    }
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
    std::vector<LogLine> log;

    // Failed fetches leave nothing behind and are tried again.
    kmgr::injectFault(KCALL_BOOTLOGO_SIZE, -1);
    scrndrvInit();
    EXPECT_TRUE(testsupport::logContains(log, "scrndrvInit(): syscall getBootLogoSize returns error"));
    displaysim::setBootLogo({});
    scrndrvInit();
    EXPECT_TRUE(testsupport::logContains(log, "scrndrvInit(): error getting boot logo size"));
    displaysim::setBootLogo(displaysim::defaultBootLogo());
    kmgr::injectFault(KCALL_BOOTLOGO_COPY, -1);
    scrndrvInit();
    EXPECT_TRUE(testsupport::logContains(log, "scrndrvInit(): couldnt get boot logo, syscall returns error"));
    scrndrvGetBootLogo(&address, &size);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(layer(1), 0u);

    const uint64_t sizeCalls = kmgr::callCount(KCALL_BOOTLOGO_SIZE),
                   copyCalls = kmgr::callCount(KCALL_BOOTLOGO_COPY);
    scrndrvInit();
    EXPECT_EQ(kmgr::callCount(KCALL_BOOTLOGO_SIZE), sizeCalls + 1);
    EXPECT_EQ(kmgr::callCount(KCALL_BOOTLOGO_COPY), copyCalls + 1);
    scrndrvGetBootLogo(&address, nullptr);
    scrndrvGetBootLogo(nullptr, &size);
    const std::vector<uint8_t> logo = displaysim::defaultBootLogo();
    ASSERT_NE(address, nullptr);
    ASSERT_EQ(size, logo.size());
    EXPECT_EQ(std::vector<uint8_t>(address, address + size), logo);
    EXPECT_EQ(layer(1), 3u) << "layer 1 on after the logo was drawn";
    EXPECT_TRUE(testsupport::logContains(log, "Loading screen dump: "));
    // The flush came while layer 1 was off; switching it on shows the flushed logo.
    EXPECT_TRUE(guitest::matchesReference("bootlogo", GuiRect(0, 0, 639, 479)));
    EXPECT_EQ(shownAt(700, 10), 0u) << "the logo covers the application's area only";
    scrn_dump_t d{};
    EXPECT_EQ(scrndrvInitDumpWithBootLogo(&d), 1);
    EXPECT_EQ(reinterpret_cast<char*>(d.palette), address + 12);
    // Later calls, and drawing a dump, fetch nothing more.
    scrndrvInit();
    EXPECT_EQ(scrndrvDrawImg(&d), 0);
    EXPECT_EQ(kmgr::callCount(KCALL_BOOTLOGO_SIZE), sizeCalls + 1);
}

TEST_F(BootLogo, LayersSwitchAndUnknownLayersAreLoggedWithAFloodGuard) {
    for (int n = 0; n < SCRNDRV_LAYERS; ++n) {
        scrndrvLayerEnable(n);
        EXPECT_EQ(layer(n), 3u) << n;
        EXPECT_TRUE(displaysim::layerEnabled(n));
    }
    scrndrvLayerDisable(3);
    EXPECT_EQ(layer(3), 0u);
    EXPECT_EQ(layer(4), 3u);
    testsupport::logDrain();
    scrndrvLayerEnable(5);
    scrndrvLayerDisable(-1);
    for (int n = 0; n < SCRNDRV_LAYERS; ++n)
        EXPECT_EQ(layer(n), n == 3 ? 0u : 3u) << "nothing written";
    std::vector<LogLine> log = testsupport::logDrain();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].text, "scrndrvLayerEnable(): unexpected layer 5");
    EXPECT_EQ(log[0].priority, LOG_ERR);
    EXPECT_EQ(log[1].text, "scrndrvLayerDisable(): unexpected layer -1");
    for (int i = 0; i < 20; ++i)
        scrndrvLayerEnable(10 + i); // distinct lines: the log does not fold them
    log = testsupport::logDrain();
    ASSERT_EQ(log.size(), 13u) << "12 more lines and one flood warning";
    EXPECT_EQ(log[11].text, "scrndrvLayerEnable(): unexpected layer 21");
    EXPECT_EQ(log[12].text.rfind("Flooding suspicion!", 0), 0u);
    scrndrvLayerDisable(9);
    EXPECT_EQ(testsupport::logDrain().size(), 1u) << "the other operation has its own guard";
}

} // namespace
