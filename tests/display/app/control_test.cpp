// Page and brightness control, the brightness curves and the page-set command.
#include "channels.h"
#include "display/app/disp_main.h"
#include "display/app/display.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct DisplayControl : testsupport::SteppedTest {
    testsupport::ScratchDir nv;
    void SetUp() override {
        SteppedTest::SetUp();
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(nv.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
    }
    void TearDown() override {
        displayCtrl_stop();
        nvram_dbs_reset();
        SteppedTest::TearDown();
    }
};

TEST_F(DisplayControl, InputsSelectPageAndBrightnessWithinBounds) {
    const uint8_t stored = 9;
    nvram_dbs_write(nvram_DispPage_Elem.id, 0, &stored, 1);
    dtest::Feed page, bright;
    disp_chanLock();
    CDispPage::page_chan = &page.d;
    CDispPage::brightness_chan = &bright.d;
    disp_chanUnlock();
    EXPECT_EQ(displayCtrl_start(2), 3) << "a stored page above the count is corrected";
    uint8_t back = 0;
    nvram_dbs_read(nvram_DispPage_Elem.id, 0, &back, 1);
    EXPECT_EQ(back, 3);
    struct Case {
        float page, bright;
        int wantPage, wantBright;
    } cases[] = {{7, 9, 3, 6}, {-2, 0, 1, 1}, {2.5f, 2.4f, 3, 2}, {-0.4f, 3.5f, 1, 4}, {NAN, NAN, 1, 4}};
    for (const Case& c : cases) {
        page.set(c.page);
        bright.set(c.bright);
        displayCtrl_cycle();
        EXPECT_EQ(static_cast<int>(display_page), c.wantPage) << c.page;
        EXPECT_EQ(static_cast<int>(display_brightness), c.wantBright) << c.bright;
    }
    nvram_dbs_read(nvram_DispBright_Elem.id, 0, &back, 1);
    EXPECT_EQ(back, 4);
    // The stop takes the channels away under the lock; the control then reads nothing.
    disp_chanLock();
    CDispPage::page_chan = CDispPage::brightness_chan = nullptr;
    disp_chanUnlock();
    displayCtrl_stop();
    EXPECT_EQ(static_cast<int>(display_page_mx), 0);
    displayCtrl_cycle();
    EXPECT_EQ(static_cast<int>(display_page), 0);
}

TEST_F(DisplayControl, BrightnessCurves) {
    EXPECT_EQ(display_brightness_colSat(35.0f), 145u);
    EXPECT_EQ(display_brightness_colSat(1000.0f), 255u);
    EXPECT_FLOAT_EQ(display_brightness_bg(55.0f), 2.0f);
    EXPECT_FLOAT_EQ(display_brightness_led_red(200.0f, 100.0f), 200.0f);
    EXPECT_FLOAT_EQ(display_brightness_led_blue(255.0f, 0.0f), 0.05f * 0.01f * 255.0f);
    EXPECT_FLOAT_EQ(display_brightness_led_green(255.0f, 200.0f), 255.0f) << "clamped";
}

TEST_F(DisplayControl, APageSetNameRestartsOnceWhenStored) {
    uint8_t msg[36] = {};
    std::memcpy(msg + 20, "RACE_SET", 8);
    display_pageset_cmd(msg, 30); // too short to hold a name
    EXPECT_EQ(countLogged("received pageset"), 0);
    display_pageset_cmd(msg, sizeof msg);
    display_pageset_cmd(msg, sizeof msg);
    EXPECT_EQ(countLogged("received pageset 'RACE_SET"), 1);
    EXPECT_EQ(countLogged("startPostrun"), 1) << "the post-run is asked for once";
    EXPECT_EQ(countLogged("received active pageset 'RACE_SET"), 1);
    char name[16] = {};
    EXPECT_TRUE(pageSetName_getName(name, 16));
    EXPECT_STREQ(name, "RACE_SET");
    nvram_dbs_reset(); // a store that cannot be written: no restart
    std::memcpy(msg + 20, "WET", 4);
    display_pageset_cmd(msg, sizeof msg);
    EXPECT_EQ(countLogged("not stored, no restart"), 1);
    EXPECT_EQ(countLogged("startPostrun"), 1);
}

// The unit killed while it stores a new name, after each byte that reaches the store: after the
// restart the name is the old one or the new one.
TEST_F(DisplayControl, AKillWhileANameIsStoredLeavesTheOldOrTheNewName) {
    const std::string before = "AAAAAAAAAAAAAAAA", after = "BBBBBB";
    auto restart = [&] {
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(nv.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
    };
    // Writes `calls` whole persists and then `bytes` bytes of the next one; then nothing.
    static int calls, bytes, fd;
    static size_t lastLength;
    bool killed = true;
    for (int k = 0; killed; ++k) {
        for (int b = 0; b == 0 || b < static_cast<int>(lastLength); ++b) {
            restart();
            ASSERT_TRUE(pageSetName_putName(before.c_str(), 16));
            fd = open(nvmem::imagePath().c_str(), O_RDWR);
            calls = k, bytes = b, lastLength = 0;
            kmgr::setHandler(KCALL_NVRAM_PERSIST, [](const intptr_t* a) -> intptr_t {
                if (calls < 0) return -1;
                const size_t n = calls-- > 0 ? static_cast<size_t>(a[1]) : static_cast<size_t>(bytes);
                lastLength = static_cast<size_t>(a[1]);
                return pwrite(fd, reinterpret_cast<const void*>(a[0]), n, a[2]) == static_cast<ssize_t>(n) &&
                               calls >= 0
                           ? 0
                           : -1;
            });
            killed = !pageSetName_putName(after.c_str(), static_cast<unsigned>(after.size()));
            close(fd);
            restart();
            char name[17] = {};
            ASSERT_TRUE(pageSetName_getName(name, 16)) << k << " " << b;
            EXPECT_TRUE(name == before || name == after)
                << "after " << k << " writes and " << b << " bytes: " << name;
            if (!killed) break;
        }
    }
}

} // namespace
