// Page and brightness control, the brightness curves and the page-set command; then the display's
// tasks as the unit runs them, on stepped time: the GUI task with its timer, the page and
// brightness control, a gateway feeding the control's inputs and a shell typing display commands.
// No command waits for a drawing pass and the tasks never deadlock.
#include "acquisition/awm/ledctrl.h"
#include "calibration/memory/seram.h"
#include "channels.h"
#include "display/app/disp_main.h"
#include "display/app/display.h"
#include "display/config/fixtures.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/osfs_sim.h"
#include "services/nvram/nvram.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
    EXPECT_EQ(display_brightness_colSat(1000.0f), 255u);
    EXPECT_FLOAT_EQ(display_brightness_bg(55.0f), 2.0f);
    // The LED curves as the LED channel functions get them.
    EXPECT_FLOAT_EQ(display_ledCurves.red(200.0f, 100.0f), 200.0f);
    EXPECT_FLOAT_EQ(display_ledCurves.blue(255.0f, 0.0f), 0.05f * 0.01f * 255.0f);
    EXPECT_FLOAT_EQ(display_ledCurves.green(255.0f, 200.0f), 255.0f) << "clamped";
}

TEST_F(DisplayControl, TheLedCurvesAreReadWhileAToolWritesThemAgainAndSwitchesPages) {
    seramInitializeOffsets();
    seramCopyRefToWorkpage();
    std::atomic<bool> done{false}; // relaxed: orders no read after a write
    std::thread tool([&] {
        for (int r = 0; r < 50 || !done.load(std::memory_order_relaxed); ++r) { // some rounds in any case
            seramSetWorkpageActive();
            EXPECT_TRUE(seramDownload(0x20000 + VTADDR_CL_DISP_BRIGHT_LED_RED,
                                      seram_memory + VTADDR_CL_DISP_BRIGHT_LED_RED, 2 * 11 * 4));
            seramSetRefpageActive();
        }
    });
    // Between the points (90, 60) and (100, 100) of the image's red curve.
    std::set<float> seen;
    for (int i = 0; i < 2000; ++i)
        seen.insert(display_ledCurves.red(100.0f, 95.0f));
    done.store(true, std::memory_order_relaxed);
    tool.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NEAR(*seen.begin(), 80.0f, 1e-3f);
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

// ---- the display's tasks ---------------------------------------------------------------------

using dtest::FakeGateway;

// Pages of one fixed label on a background of red and green; brightness steps of 35 and 70 %.
std::string page(int red = 0, int green = 0) {
    return fx::page(fx::alpha(), fx::col("BGCol", red, green));
}
std::string document(const std::string& pages, const std::string& inputs = "") {
    return fx::doc(inputs + fx::pages(pages),
                   "<Brightness><perc value=\"35\"/><perc value=\"70\"/></Brightness>");
}

struct DisplayTasks : testsupport::SteppedTest {
    testsupport::ScratchDir cfg, nv;
    std::vector<TASK_ID> mine;

    void SetUp() override {
        SteppedTest::SetUp();
        ASSERT_TRUE(displaysim::install(guitest::testIndex()));
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(nv.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
        ASSERT_TRUE(osfs::addDevice("cfg:", cfg.path));
        FakeGateway::reset();
        CDataManager_setGateway(FakeGateway::ops());
        RtpIndex = static_cast<int32_t>(guitest::testIndex());
        displayCtrl_ini();
        GuiSetAppHooks(display_guiHooks);
        displayInit();
        for (int t = 0; t < 100 && gbGuiInitialized != 1; ++t)
            sim::step(1);
        ASSERT_EQ(gbGuiInitialized.load(), 1);
        for (const char* t : {"r_DispCtrl", "r_t_GuiTmr"})
            mine.push_back(taskNameToId(t));
    }
    void TearDown() override {
        for (TASK_ID t : mine)
            taskDelete(t);
        mine.push_back(taskNameToId("r_GuiMn"));
        GuiMessage close(GM_CLOSE, GuiPresentation());
        EnqueueTaskMessage(&close, gpGuiMesgQueue); // no GUI lock: the GUI task may be stuck
        for (TASK_ID t : mine)
            EXPECT_TRUE(ended(t)) << taskName(t);
        CDataManager_setGateway(nullptr);
        osfs::removeDevice("cfg:");
        nvram_dbs_reset();
        nvmem::uninstall();
        displaysim::uninstall();
        SteppedTest::TearDown();
    }
    // Steps time until the task has ended, at most 100 ticks.
    static bool ended(TASK_ID t) {
        for (int i = 0; i < 100 && taskIdVerify(t) == OK; ++i)
            sim::step(1);
        return taskIdVerify(t) != OK;
    }
    // Types the lines into a shell task, `pause` ticks apart; true when it got through them
    // all within `bound` ticks.
    bool shell(const std::vector<std::string>& lines, int pause = 1, int bound = 2000) {
        // Shared with the task, which may outlive this call when it is stuck.
        auto typed = std::make_shared<std::vector<std::string>>(lines);
        auto done = std::make_shared<std::atomic<bool>>(false);
        mine.push_back(taskSpawnFn("r_shell", 139, 0, 0, [typed, done, pause] {
            for (const std::string& l : *typed) {
                std::istringstream in(l);
                std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
                std::vector<char*> argv = {const_cast<char*>("display")};
                for (std::string& w : words)
                    argv.push_back(w.data());
                displayCommandFunc(static_cast<int>(argv.size()), argv.data());
                taskDelay(pause);
            }
            *done = true;
        }));
        for (int t = 0; t < bound && !*done; ++t)
            sim::step(1);
        return ended(mine.back());
    }
};

TEST_F(DisplayTasks, CommandsBuildSwitchAndTearDownPages) {
    cfg.write("display.xml", document(page(0x80) + page(0, 0x80)));
    // The page timer flushes within 50 ms.
    auto shownAfter = [&](std::vector<std::string> lines, int x = 300, int y = 300) {
        EXPECT_TRUE(shell(lines, 60));
        return displaysim::shown()[y * displaysim::WIDTH + x] & 0xFFFFFF;
    };
    EXPECT_EQ(shownAfter({"start"}), 0x800000u);
    EXPECT_EQ(static_cast<int>(display_page_mx), 2);
    EXPECT_EQ(shownAfter({"next"}), 0x008000u);
    EXPECT_EQ(shownAfter({"prev", "start"}), 0x800000u) << "a start through the page that has the focus";
    EXPECT_EQ(shownAfter({"page 1", "brightness 0", "txtshow " + std::string(300, 'x')}, 20, 200), 0xFF0000u)
        << "the text window";
    CMainContainer* m = displayMainContainer();
    EXPECT_EQ(std::strlen(static_cast<GuiPrompt*>(m->textWindow()->First())->DataGet()), 254u);
    EXPECT_EQ(hw_read32(SCRNDRV_CTRL_BASE + SCRNDRV_COLSAT_REG), 145u) << "the saturation of 35 %";
    EXPECT_EQ(shownAfter({"txthide"}), 0x008000u);
    EXPECT_EQ(shownAfter({"color 0x0000FF"}), 0x0000FFu);
    shell({"stop"});
    EXPECT_EQ(std::tuple(m->page(0), m->colourPage(), m->dataManager()),
              std::tuple(nullptr, nullptr, nullptr));
}

TEST_F(DisplayTasks, CommandsAnswerWithoutADescriptionWithABrokenOneAndWithoutPages) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {{"none", ""}, {"broken", document(page()).substr(0, 300)}, {"no pages", document("")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((cfg / "display.xml").c_str());
        std::remove((cfg / "shot.bmp").c_str());
        if (!c.text.empty()) cfg.write("display.xml", c.text);
        ASSERT_TRUE(shell({"start", "start"}));
        const std::vector<uint32_t> before(displaysim::shown(), displaysim::shown() + 1024 * 480);
        ASSERT_TRUE(shell({"page 1", "brightness 1", "next", "fstart", "fstop", "txtshow x", "txthide",
                           "start", "bmpdump cfg:/shot.bmp", "stop"}))
            << "a command waits for the GUI task";
        EXPECT_EQ(std::ifstream(cfg / "shot.bmp", std::ios::ate | std::ios::binary).tellg(),
                  54 + 640 * 480 * 4);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), displaysim::shown()))
            << "something visible changed";
    }
}

// Page 2 holds an alarm box and an alarm bar that one input byte makes visible; both are black on
// the page's blue-grey, so a drawn element covers the whole of its place. Reached by "next" (not by the page
// command), the page shows them only while the input is 1, and a text window stays in front of whichever page
// "next" brings up.
TEST_F(DisplayTasks, NextShowsAlarmsOnlyWhileTheirInputIsSet) {
    const char* vis = "01000020";
    auto alarm = [](std::string attrs) {
        return fx::with(fx::with(attrs, "vis_mode=\"always\"", "vis_mode=\"limit\""),
                        "always_on_top=\"false\"", "always_on_top=\"true\"");
    };
    const std::string box =
        fx::alpha(fx::with(alarm(fx::kAlphaAttrs), "pos_x=\"0\" pos_y=\"0\" size_x=\"100\" size_y=\"40\"",
                           "pos_x=\"100\" pos_y=\"100\" size_x=\"200\" size_y=\"100\""),
                  fx::ch_input("VisInput", vis, "UINT8", "FF") + fx::middle(fx::an_deco("single_line")));
    const std::string bar = fx::bar(
        fx::with(alarm(fx::prio(fx::kBarAttrs, 2)), "pos_x=\"0\" pos_y=\"0\" size_x=\"200\" size_y=\"30\"",
                 "pos_x=\"100\" pos_y=\"300\" size_x=\"300\" size_y=\"60\""),
        fx::ch_input("ChInput", vis, "UINT8", "FF") + fx::ch_input("VisInput", vis, "UINT8", "FF") +
            fx::middle(fx::bar_deco("single_line")));
    cfg.write("display.xml", document(page(0, 0x80) + fx::page(box + bar)));
    // Pixels of both elements' places that are not the page's background.
    auto alarmPixels = [] {
        int n = 0;
        for (auto [l, t, r, b] : {std::tuple(100, 100, 299, 199), std::tuple(100, 300, 399, 359)})
            for (int y = t; y <= b; ++y)
                for (int x = l; x <= r; ++x)
                    n += (displaysim::shown()[y * displaysim::WIDTH + x] & 0xFFFFFF) != 0x102030;
        return n;
    };
    auto input = [](uint8_t v) { FakeGateway::read(-1, GW_OK, {0, 0, 0, 0, v}); };
    ASSERT_TRUE(shell({"start"}, 60));
    input(0);
    ASSERT_TRUE(shell({"next"}, 60));
    ASSERT_EQ(displaysim::shown()[300 * displaysim::WIDTH + 500] & 0xFFFFFF, 0x102030u) << "page 2 is shown";
    EXPECT_EQ(alarmPixels(), 0) << "alarms drawn while their input is 0";
    input(1);
    sim::step(60);
    const int whole = 200 * 100 + 300 * 60;
    EXPECT_EQ(alarmPixels(), whole) << "the alarms with their input at 1";
    input(0);
    sim::step(60);
    EXPECT_EQ(alarmPixels(), 0);
    // Round again with the input set, past page 1 and with a text in front.
    input(1);
    ASSERT_TRUE(shell({"txtshow x", "next"}, 60));
    EXPECT_EQ(displaysim::shown()[200 * displaysim::WIDTH + 20] & 0xFFFFFF, 0xFF0000u) << "the text window";
    ASSERT_TRUE(shell({"txthide", "next"}, 60));
    EXPECT_EQ(alarmPixels(), whole);
}

// The control task switches page and brightness on every change of its inputs while the display
// is started and stopped again and again; then it is held inside its cycle (in the store's write)
// while the GUI task starts the display again; last, it keeps posting while another task holds
// the GUI lock.
TEST_F(DisplayTasks, ControlAndRestartsNeverDeadlock) {
    cfg.write("display.xml",
              document(page() + page(), fx::ch_input("PageInput", "01000010", "UINT8", "FF") +
                                            fx::ch_input("BrightnessInput", "01000011", "UINT8", "FF")));
    // The page and the brightness input (one byte each) change every 3 ms.
    mine.push_back(taskSpawnFn("r_feed", 78, 0, 0, [] {
        for (uint8_t v = 1;; v = static_cast<uint8_t>(3 - v)) {
            taskDelay(3);
            FakeGateway::read(-1, GW_OK, {0, 0, 0, 0, v, v});
        }
    }));
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i)
        lines.insert(lines.end(), {"start", "start", "stop"});
    lines.push_back("start");
    ASSERT_TRUE(shell(lines, 2)) << "the shell waits for a deadlocked GUI task";

    static SEM_ID gate = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    static std::atomic<bool> held{false};
    kmgr::setHandler(KCALL_NVRAM_PERSIST, [](const intptr_t*) -> intptr_t {
        if (std::string(taskName(taskIdSelf())) == "r_DispCtrl" && !held.exchange(true))
            semTake(gate, WAIT_FOREVER);
        return 0;
    });
    for (int t = 0; t < 50 && !held; ++t)
        sim::step(1);
    ASSERT_TRUE(held) << "the control task never stored a page";
    displayStart(); // the GUI task invalidates, then waits for the control's lock
    sim::step(2);
    semGive(gate);
    EXPECT_TRUE(shell({"bmpdump cfg:/shot.bmp"})) << "the GUI task hangs";

    // The GUI lock held for a while, as the GUI task holds it when it waits for the control's
    // lock: the control posts its changes meanwhile and its lock stays free to take. A control
    // that took the GUI lock under its own would stall here until the GUI lock is given.
    static SEM_ID release = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    static std::atomic<bool> guiLocked, chanTaken;
    guiLocked = chanTaken = false;
    mine.push_back(taskSpawnFn("r_guiHold", 121, 0, 0, [] {
        GuiLock lock;
        guiLocked = true;
        semTake(release, WAIT_FOREVER);
    }));
    for (int t = 0; t < 50 && !guiLocked; ++t)
        sim::step(1);
    ASSERT_TRUE(guiLocked);
    sim::step(10); // the inputs changed three times
    mine.push_back(taskSpawnFn("r_chanTake", 121, 0, 0, [] {
        disp_chanLock();
        chanTaken = true;
        disp_chanUnlock();
    }));
    for (int t = 0; t < 20 && !chanTaken; ++t)
        sim::step(1);
    EXPECT_TRUE(chanTaken) << "the control task holds its lock while it waits for the GUI lock";
    semGive(release);
    EXPECT_TRUE(ended(mine.back())) << "the control's lock never came free";
    EXPECT_TRUE(shell({"bmpdump cfg:/shot.bmp"})) << "the GUI task hangs";
}

} // namespace
