// The display elements on the simulated screen: value box, bar graph and picture pixels at the
// places their rules give, the alarm rotation, what the shell command posts, and the main
// container's commands with the BMP capture.
#include "channels.h"
#include "display/app/disp_main.h"
#include "display/app/display.h"
#include "display/fonts/tarvo_fonts.h"
#include "gui/testkit.h"
#include "platform/os/osfs_sim.h"
#include "support/drives.h"
#include "support/pyref.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

// The sanitizer build checks for leaks at a test's end, not only at the process's.
#if defined(__SANITIZE_ADDRESS__)
#define VYN_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VYN_LEAK_CHECK 1
#endif
#endif
#if VYN_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using guitest::GuiTest;

rgb_s rgb(uint32_t w) {
    return rgb_s{static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)};
}

using dtest::Feed;

struct DisplayScreen : GuiTest {
    static void SetUpTestSuite() { TarvoFonts_ini(); }
    page_s page{1, rgb(0x000000), 0, nullptr};
    page_s none{0, rgb(0), 0, nullptr};
    CDispPage* show(const std::vector<display_elem_s*>& elems, CDataManager* dm = nullptr) {
        display_elem_s* prev = nullptr;
        for (display_elem_s* e : elems) {
            (prev ? prev->next : page.elements) = e;
            prev = e;
            ++page.elem_count;
        }
        auto* p = new CDispPage(0, 0, 640, 480, 0, &page, &none, dm, nullptr);
        pm->Add(p, 1);
        return p;
    }
};

display_elem_s boxElem() {
    display_elem_s e{};
    e.type = ELEM_ALPHANUMERIC;
    alphanum_s& a = e.alphanum;
    a.pos_x = 100, a.pos_y = 100, a.size_x = 200, a.size_y = 100;
    a.deco_middle = {rgb(0),        rgb(0),           rgb(0),        rgb(0x102030),
                     rgb(0x808080), DECO_DOUBLE_LINE, rgb(0x000040), rgb(0xFFFFFF)};
    a.deco_upper = a.deco_lower = a.deco_middle;
    a.deco_upper.border_bg_col = rgb(0x0000FF), a.deco_lower.border_bg_col = rgb(0x00FF00);
    a.has_deco_upper = a.has_deco_lower = 1;
    a.upper_limit = 100, a.upper_hyst = 5, a.lower_limit = 10, a.lower_hyst = 2;
    a.dispmode = DISPMODE_NORMAL;
    std::strcpy(a.format_str, "%.0f");
    return e;
}

TEST_F(DisplayScreen, ValueBoxFramesZonesAndTheRedCross) {
    display_elem_s e = boxElem();
    CDispPage* p = show({&e});
    auto* box = static_cast<CDispBox*>(p->element(0));
    Feed f;
    box->setData(&f.d, CDATA_VALUE);
    box->update();
    flush();
    // Invalid: dimmed colours, the frames at insets 5 and 9 (width 2), the red cross.
    expectShown({{101, 101, 0x081018},
                 {105, 150, 0x404040},
                 {106, 150, 0x404040},
                 {107, 150, 0x081018},
                 {109, 150, 0x404040},
                 {116, 117, 0xFF0000},
                 {200, 120, 0x000020}});
    struct Step {
        float v;
        uint32_t zone;
    } steps[] = {{50, 1},   {100, 1},   {100.01f, 2}, {95.01f, 2}, {95, 1}, {10, 1},
                 {9.9f, 0}, {11.9f, 0}, {12, 1},      {120, 2},    {5, 0}};
    for (const Step& s : steps) {
        f.set(s.v);
        box->update();
        EXPECT_EQ(box->zone(), s.zone) << s.v;
    }
    flush();
    expectShown({{101, 101, 0x00FF00}, {105, 150, 0x808080}, {116, 117, 0x00FF00}});
    EXPECT_STREQ(box->text(), "5");
    f.d.setTimeout();
    box->update();
    flush();
    expectShown({{101, 101, 0x081018}, {116, 117, 0xFF0000}});
    EXPECT_STREQ(box->text(), "");
}

// A zone whose decoration the box lacks is never entered; a limit and its hysteresis are summed in
// single precision (1 + 1e-8 is 1, 100 - 1e-6 is 100).
TEST_F(DisplayScreen, ZonesNeedTheirDecorationAndLimitsAddUpAsSingles) {
    const struct {
        uint8_t lower, upper;
        float lowerLimit, lowerHyst, upperLimit, upperHyst;
        std::vector<float> values;
        const char* zones;
    } cases[] = {
        {1, 0, 10, 2, 100, 5, {120, 5, 11.9f, 12}, "1001"},
        {0, 1, 10, 2, 100, 5, {5, 120, 95.01f, 95}, "1221"},
        {1, 1, 1, 1e-8f, 100, 1e-6f, {0.5f, 1, 101, 100}, "0121"},
    };
    for (const auto& c : cases) {
        display_elem_s e = boxElem();
        alphanum_s& a = e.alphanum;
        std::tie(a.has_deco_lower, a.has_deco_upper, a.lower_limit, a.lower_hyst, a.upper_limit,
                 a.upper_hyst) =
            std::tie(c.lower, c.upper, c.lowerLimit, c.lowerHyst, c.upperLimit, c.upperHyst);
        CDispBox box(GuiRect(0, 0, 639, 479), &e, nullptr, 1);
        Feed f;
        box.setData(&f.d, CDATA_VALUE);
        std::string zones;
        for (float v : c.values) {
            f.set(v);
            box.update();
            zones += static_cast<char>('0' + box.zone());
        }
        EXPECT_EQ(zones, c.zones) << c.zones;
        redrawAll(); // the box off the page left its invalidations undrawn
    }
}

// Whatever brings a box onto the page, its value is drawn in it.
TEST_F(DisplayScreen, ValueBoxesDrawTheirText) {
    const struct {
        const char* name;
        uint32_t vis;
        uint8_t top;
        uint32_t blink;
        int ticks; // page updates until the box shows (fast blinking: on, off after 4, on after 8)
    } cases[] = {{"plain", VIS_ALWAYS, 0, BLINK_OFF, 1},
                 {"visibility", VIS_LIMIT, 0, BLINK_OFF, 1},
                 {"blinking", VIS_LIMIT, 0, BLINK_FAST, 9},
                 {"alarm", VIS_LIMIT, 1, BLINK_OFF, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        display_elem_s e = boxElem();
        e.alphanum.vis_mode = c.vis;
        e.alphanum.always_on_top = c.top;
        e.alphanum.blink = c.blink;
        e.alphanum.ch_input = {0x01000010, 0xFFFFFFFF, 0, 1, 0, 0, 0, 1, TYPE_FLOAT};
        e.alphanum.vis_input = {0x01000020, 0xFF, 0, 1, 0, 0, 0, 1, TYPE_UINT8};
        page = page_s{1, rgb(0), 0, nullptr};
        CDataManager dm;
        CDispPage* p = show({&e}, &dm);
        const uint8_t value[4] = {0x42, 0x28, 0, 0}, off = 0, on = 1; // 42.0
        auto tick = [p] { p->Message(GuiMessage(GM_TIMER, p, nullptr, 0)); };
        p->element(0)->getData(CDATA_VALUE)->getMeas()->putData(value);
        CDataMeas* vis = c.vis == VIS_ALWAYS ? nullptr : p->element(0)->getData(CDATA_VIS)->getMeas();
        // As after a page switch: a box with a visibility channel first leaves the page.
        p->SwitchedPage();
        if (vis) vis->putData(&off);
        tick();
        if (vis) vis->putData(&on);
        for (int i = 0; i < c.ticks; ++i)
            tick();
        flush();
        int lit = 0;
        for (int y = 117; y <= 183; ++y)
            for (int x = 117; x <= 283; ++x)
                lit += shownAt(x, y) == 0xFFFFFF;
        EXPECT_GT(lit, 30) << "no text in the box";
        pm->Remove(p, 1);
        delete p;
    }
}

TEST_F(DisplayScreen, BarSegmentsFollowTheOrientation) {
    display_elem_s e{};
    e.type = ELEM_BARGRAPH;
    bargraph_s& g = e.bargraph;
    g.pos_x = 4, g.pos_y = 300, g.size_x = 233, g.size_y = 60;
    g.style = BAR_STACKED;
    g.min = 0, g.max = 100;
    g.deco_middle = {rgb(0),    rgb(0),        rgb(0),        rgb(0),       rgb(0x808080),
                     DECO_NONE, rgb(0x202020), rgb(0x00C000), rgb(0xFFFFFF)};
    g.deco_lower = g.deco_upper = g.deco_middle;
    g.deco_lower.bar_fg_col = rgb(0xC0C000), g.deco_upper.bar_fg_col = rgb(0xC00000);
    g.has_deco_lower = g.has_deco_upper = 1;
    g.lower_limit = 25, g.upper_limit = 75;
    display_elem_s v = e;
    v.bargraph.orientation = BAR_VERT_BT;
    v.bargraph.pos_x = 400, v.bargraph.pos_y = 24, v.bargraph.size_x = 100, v.bargraph.size_y = 133;
    v.bargraph.max = 10;
    // From L = 26 to R = 613 over 0..200: the limits' pixels are rounded, not cut.
    display_elem_s w = e;
    w.bargraph.pos_x = 10, w.bargraph.pos_y = 400, w.bargraph.size_x = 620;
    w.bargraph.max = 200, w.bargraph.lower_limit = 10.2f, w.bargraph.upper_limit = 150.2f;
    // The other two directions: the horizontal bar from the right, the vertical one from the top.
    display_elem_s rl = e, tb = v;
    rl.bargraph.orientation = BAR_HORI_RL, rl.bargraph.pos_y = 200;
    tb.bargraph.orientation = BAR_VERT_TB, tb.bargraph.pos_x = 520;
    CDispPage* p = show({&e, &v, &w, &rl, &tb});
    auto bar = [p](int i) { return static_cast<CBarView*>(p->element(i)); };
    EXPECT_EQ(std::tuple(bar(0)->barRect(), bar(1)->barRect().top, bar(1)->barRect().bottom,
                         bar(2)->barRect().left, bar(2)->barRect().right),
              std::tuple(GuiRect(20, 316, 220, 343), 40, 140, 26, 613));
    Feed feeds[5];
    for (int i = 0; i < 5; ++i)
        bar(i)->setData(&feeds[i].d, CDATA_VALUE);
    // The pixels along a row through a horizontal bar, along column 450 through the vertical one.
    const uint32_t lower = 0xC0C000, middle = 0x00C000, upper = 0xC00000, empty = 0x202020;
    const int row[] = {330, 0, 430, 230, 0};
    const struct {
        int bar;
        float v;
        int end; // -1: not checked
        std::initializer_list<std::pair<int, uint32_t>> px;
    } cases[] = {
        {0, 50, 120, {{20, lower}, {70, lower}, {71, middle}, {120, middle}, {121, empty}, {220, empty}}},
        {0, 90, 200, {{170, middle}, {171, upper}, {200, upper}, {201, empty}}},
        {0, 150, 220, {{220, upper}}},
        {0, -5, 20, {{21, empty}, {120, empty}}},
        {1, 0, 140, {}},
        {1, 10, 40, {}},
        {1, NAN, 140, {}},
        {1, 2.5f, 115, {}},
        {1, 1e30f, 40, {{41, lower}}}, // both limits lie beyond max: all of the bar is the lower segment
        {2, 200, -1, {{56, lower}, {57, middle}, {467, middle}, {468, upper}}},
        // 90 of 100 from the right: the lower segment from R to the lower limit, the upper one last.
        {3, 90, 40, {{39, empty}, {40, upper}, {69, upper}, {70, middle}, {169, middle}, {170, lower}}},
        {4, 2.5f, 65, {}},
    };
    for (const auto& c : cases) {
        feeds[c.bar].set(c.v);
        bar(c.bar)->update();
        flush();
        EXPECT_EQ(c.end < 0 ? c.end : bar(c.bar)->barEnd(), c.end) << c.bar << " " << c.v;
        for (auto [at, colour] : c.px)
            EXPECT_EQ(row[c.bar] ? shownAt(at, row[c.bar]) : shownAt(450, at), colour)
                << c.bar << " at " << at;
    }
}

// Ticks reserve the height of "0" above a horizontal bar for their labels and the width of "0" + 17
// beside a vertical one; each is a line of width 2 in the ticks colour at its value's pixel (50.25:
// 120.5, rounded to 121), a value beyond the range at the nearer end; a horizontal bar's label is
// centred on its tick. A stacked bar without lower and upper decorations fills in the middle colour.
TEST_F(DisplayScreen, BarTicksStandAtTheirValuesWithTheirLabels) {
    display_elem_s h{};
    h.type = ELEM_BARGRAPH;
    bargraph_s& g = h.bargraph;
    g.pos_x = 4, g.pos_y = 300, g.size_x = 233, g.size_y = 100;
    g.min = 0, g.max = 100;
    g.deco_middle = {rgb(0),    rgb(0),        rgb(0),        rgb(0),       rgb(0x808080),
                     DECO_NONE, rgb(0x202020), rgb(0x00C000), rgb(0xFFFFFF)};
    g.style = BAR_STACKED, g.lower_limit = 30, g.upper_limit = 60;
    g.ticks = 1, g.tick_count = 3;
    g.tick_list[0] = {"0", 0}, g.tick_list[1] = {"50", 50.25f}, g.tick_list[2] = {"200", 200};
    display_elem_s v = h, bare = h;
    v.bargraph.orientation = BAR_VERT_BT;
    v.bargraph.pos_x = 400, v.bargraph.pos_y = 24, v.bargraph.size_x = 100, v.bargraph.size_y = 133;
    v.bargraph.max = 10, v.bargraph.tick_count = 1, v.bargraph.tick_list[0] = {"5", 5};
    bare = v;
    bare.bargraph.ticks = 0, bare.bargraph.pos_x = 520;
    CDispPage* p = show({&h, &v, &bare});
    auto bar = [p](int i) { return static_cast<CBarView*>(p->element(i)); };
    const int zeroW = screen->TextWidth("0", &TarvoTiny), zeroH = screen->TextHeight("0", &TarvoTiny);
    EXPECT_EQ(std::tuple(bar(0)->barRect(), bar(1)->barRect().top, bar(1)->barRect().right),
              std::tuple(GuiRect(20, 316 + zeroH, 220, 383), bar(2)->barRect().top,
                         bar(2)->barRect().right - 120 - zeroW - 1));
    Feed feeds[2];
    for (int i = 0; i < 2; ++i) {
        bar(i)->setData(&feeds[i].d, CDATA_VALUE);
        feeds[i].set(1);
        bar(i)->update();
    }
    flush();
    const GuiRect vr = bar(1)->barRect();
    const int y = 370, half = (vr.top + vr.bottom + 1) / 2; // 5 of 0..10: halfway, rounded up
    expectShown({{20, y, 0xFFFFFF},
                 {120, y, 0x202020},
                 {121, y, 0xFFFFFF},
                 {123, y, 0x202020},
                 {220, y, 0xFFFFFF},
                 {(vr.left + vr.right) / 2, half, 0xFFFFFF},
                 {(vr.left + vr.right) / 2, half + 3, 0x202020}});
    const int w = screen->TextWidth("50", &TarvoTiny);
    int left = 1024, right = -1;
    for (int x = 100; x <= 140; ++x)
        for (int row = 316; row < 316 + zeroH; ++row)
            if (shownAt(x, row) == 0xFFFFFF) left = std::min(left, x), right = std::max(right, x);
    EXPECT_GE(left, 121 - w / 2) << "the label of 50";
    EXPECT_LE(right, 121 - w / 2 + w - 1) << "the label of 50";
    feeds[0].set(150); // beyond both limits: without their decorations all of it in the middle colour
    bar(0)->update();
    flush();
    expectShown({{50, y, 0x00C000}, {100, y, 0x00C000}, {200, y, 0x00C000}});
}

// The visibility state machine, one update per page tick ('1' shown, '.' not); the value holds
// for `held` ticks, then 0.
TEST_F(DisplayScreen, AlarmTimesCountInPageTicks) {
    const struct {
        const char* name;
        uint32_t mode, blink, minMs, autoMs, retrigMs;
        float vis;
        size_t held;
        const char* want;
    } cases[] = {
        {"1010 ms: 21 ticks at least", VIS_LIMIT, BLINK_OFF, 1010, 0, 0, 1, 1, "1111111111111111111111.."},
        {"fast blinking", VIS_LIMIT, BLINK_FAST, 0, 0, 0, 1, 99, "1111....1111...."},
        {"slow blinking", VIS_LIMIT, BLINK_SLOW, 0, 0, 0, 1, 99, "11111111........1"},
        {"reset by itself after 500 ms", VIS_LIMIT_RESETABLE, BLINK_OFF, 0, 500, 0, 1, 99,
         "1111111111......"},
        {"then locked out for 200 ms", VIS_LIMIT_RESETABLE, BLINK_OFF, 0, 500, 200, 1, 99,
         "1111111111.....1"},
        {"0.4 is 0", VIS_LIMIT, BLINK_OFF, 0, 0, 0, 0.4f, 99, "...."},
        {"-0.6 is -1", VIS_LIMIT, BLINK_OFF, 0, 0, 0, -0.6f, 99, "1111"},
    };
    for (const auto& c : cases) {
        display_elem_s e = boxElem();
        alphanum_s& a = e.alphanum;
        std::tie(a.vis_mode, a.blink, a.min_disp_time, a.auto_reset_time, a.retrigger_time) =
            std::tie(c.mode, c.blink, c.minMs, c.autoMs, c.retrigMs);
        CDispBox box(GuiRect(0, 0, 639, 479), &e, nullptr, 1);
        Feed vis;
        box.setData(&vis.d, CDATA_VIS);
        std::string got;
        for (size_t t = 0; t < std::strlen(c.want); ++t) {
            vis.set(t < c.held ? c.vis : 0.0f);
            box.update();
            got += box.getViewIsActive() ? '1' : '.';
        }
        EXPECT_EQ(got, c.want) << c.name;
        redrawAll(); // the box off the page left its invalidations undrawn
    }
}

// Thirty boxes that all change: after a page switch all are updated, then 21 a tick.
TEST_F(DisplayScreen, APageUpdatesTwentyOneChangesATick) {
    std::vector<display_elem_s> elems(30, boxElem());
    std::vector<display_elem_s*> list;
    for (display_elem_s& e : elems)
        list.push_back(&e);
    CDispPage* p = show(list);
    std::vector<Feed> feeds(30);
    for (int i = 0; i < 30; ++i)
        p->element(i)->setData(&feeds[static_cast<size_t>(i)].d, CDATA_VALUE);
    p->SwitchedPage();
    for (float v : {50.0f, 60.0f}) {
        for (Feed& f : feeds)
            f.set(v);
        p->Message(GuiMessage(GM_TIMER, p, nullptr, 0));
        const bool first = v == 50.0f;
        EXPECT_EQ(std::tuple(static_cast<int>(display_elements_updated),
                             static_cast<int>(display_elements_skipped), p->updateCursor()),
                  first ? std::tuple(30, 0, 0) : std::tuple(21, 10, 21));
    }
}

// A 3 x 1 RGBA picture: opaque blue, red at alpha 127, green at alpha 128.
std::string makePng(const testsupport::ScratchDir& dir) {
    const std::string path = dir / "pic.png";
    pyref::run("/usr/bin/python3 -c \"import zlib,struct\n"
               "def c(t,d): return struct.pack('>I',len(d))+t+d+struct.pack('>I',zlib.crc32(t+d))\n"
               "raw=b'\\0'+bytes([0,0,255,255, 255,0,0,127, 0,255,0,128])\n"
               "open('" +
               path +
               "','wb').write(b'\\x89PNG\\r\\n\\x1a\\n'+c(b'IHDR',struct.pack('>IIBBBBB',3,1,8,6,0,0,0))+"
               "c(b'IDAT',zlib.compress(raw))+c(b'IEND',b''))\"");
    return path;
}

TEST_F(DisplayScreen, PicturesComposeFrameImageAndAlpha) {
    testsupport::ScratchDir dir;
    const std::string png = makePng(dir);
    const auto size = std::ifstream(png, std::ios::binary | std::ios::ate).tellg();
    display_elem_s framed{}, bare{}, missing{};
    framed.type = ELEM_PICTURE;
    picture_elem_s& f = framed.picture;
    f.pos_x = 300, f.pos_y = 20, f.size_x = 100, f.size_y = 60;
    f.deco_middle = {rgb(0), rgb(0), rgb(0), rgb(0x303030), rgb(0xE0E0E0), DECO_SINGLE_LINE};
    std::snprintf(f.picture.filename, sizeof f.picture.filename, "%s", testsupport::drivePath(png).c_str());
    f.picture.len = static_cast<uint32_t>(size);
    bare = framed;
    bare.picture.pos_x = 420;
    bare.picture.deco_middle.style = DECO_NONE;
    missing = framed;
    missing.picture.pos_y = 100;
    missing.picture.picture.ofs = 1; // reaches past the end of the file: no image
    auto* d = new display_s{};
    d->all_pages.elements = &framed;
    framed.next = &bare;
    bare.next = &missing;
    CImageContainer images(d);
    EXPECT_EQ(images.converted(), 1);
    EXPECT_EQ(images.getImage(&missing.picture.picture), nullptr);
    page.bg_col = rgb(0x123456);
    framed.next = bare.next = nullptr;
    auto* p1 = new CPicture(GuiRect(0, 0, 639, 479), &framed, images.getImage(&f.picture), nullptr, 1);
    auto* p2 = new CPicture(GuiRect(0, 0, 639, 479), &bare, images.getImage(&f.picture), nullptr, 1);
    auto* p3 = new CPicture(GuiRect(0, 0, 639, 479), &missing, nullptr, nullptr, 1);
    CDispPage* pg = show({});
    for (CPicture* p : {p1, p2, p3})
        pg->Add(p, 1);
    flush();
    expectShown({
        {316, 36, 0x0000FF},
        {317, 36, 0x123456},
        {318, 36, 0x00FF00}, // alpha below 128 lets the page show
        {305, 25, 0xE0E0E0},
        {394, 54, 0xE0E0E0},
        {303, 23, 0x123456}, // frame at (5, 5)-(94, 54)
        {420, 20, 0x0000FF},
        {421, 20, 0x123456}, // no frame: the picture at the corner
        {316, 117, 0xFF0000},
        {301, 101, 0x181818}, // missing: red cross on dimmed colours
    });
    XmlFreeDisplay(nullptr);
    delete d;
}

TEST_F(DisplayScreen, OverlappingAlarmsTakeTurnsEvery15Ticks) {
    display_elem_s a = boxElem(), b = boxElem(), c = boxElem();
    display_elem_s lone = boxElem();
    lone.alphanum.pos_y = 300;
    b.alphanum.pos_x = 250; // overlaps a
    c.alphanum.pos_x = 400; // overlaps b only: one group of three
    for (display_elem_s* e : {&a, &b, &c, &lone}) {
        e->alphanum.vis_mode = VIS_LIMIT;
        e->alphanum.always_on_top = 1;
        e->alphanum.vis_input = {
            e == &a || e == &b ? 0x01000010u : 0x01000020u, 0xFF, 0, 1, 0, 0, 0, 1, TYPE_UINT8};
    }
    CDataManager dm;
    CDispPage* p = show({&a, &b, &c, &lone}, &dm);
    ASSERT_EQ(p->groupCount(), 2);
    EXPECT_EQ(p->group(0).count, 3);
    const uint8_t one = 1, zero = 0;
    p->element(0)->getData(CDATA_VIS)->getMeas()->putData(&one);
    p->element(2)->getData(CDATA_VIS)->getMeas()->putData(&zero);
    auto front = [&] { return p->group(0).shown ? *p->group(0).shown : nullptr; };
    auto ticks = [&](int n) {
        for (int i = 0; i < n; ++i)
            p->Message(GuiMessage(GM_TIMER, p, nullptr, 0));
    };
    ticks(14);
    EXPECT_EQ(front(), nullptr);
    ticks(1);
    EXPECT_EQ(front(), p->element(1));
    EXPECT_EQ(p->First(), p->element(1));
    ticks(15);
    EXPECT_EQ(std::tuple(front(), p->First(), static_cast<int>(display_elements_skipped)),
              std::tuple(p->element(0), p->element(0), 0));
}

// The programming window's box starts at 25, moves 5 a page tick and runs between 15 and 535,
// keeping its place for one tick at each end before it turns.
TEST_F(DisplayScreen, TheFlashBoxRunsToAndFroBetweenItsEnds) {
    CDispPage* p = show({});
    p->setFlashMode(true);
    std::vector<int> xs = {p->flashX()};
    for (int t = 0; t < 320; ++t) { // to 535, back to 15 and on to 535 again
        p->Message(GuiMessage(GM_TIMER, p, nullptr, 0));
        xs.push_back(p->flashX());
    }
    std::string stays;
    for (size_t i = 1; i < xs.size(); ++i) {
        const int d = xs[i] - xs[i - 1];
        EXPECT_TRUE(d == 5 || d == -5 || d == 0) << "tick " << i;
        if (d == 0) stays += std::to_string(xs[i]) + " ";
    }
    EXPECT_EQ(std::tuple(xs[0], *std::min_element(xs.begin(), xs.end()),
                         *std::max_element(xs.begin(), xs.end()), stays),
              std::tuple(25, 15, 535, std::string("535 15 535 ")));
    flush();
    EXPECT_EQ(shownAt(xs.back() + 30, 220), 0u) << "the box where it stands";
}

// The programming window belongs to its page whether it is shown or not: a page torn down after
// "fstart" and "fstop" leaves nothing behind (the leak check of the sanitizer build sees it).
TEST_F(DisplayScreen, APageTornDownAfterItsProgrammingWindowWentTakesTheWindowWithIt) {
    CDispPage* p = show({});
    p->setFlashMode(true), p->setFlashMode(false), p->setFlashMode(true), p->setFlashMode(false);
    pm->Remove(p, 1);
    delete p;
#if VYN_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// A channel that keeps dropping out and coming back changes the page's timeout status at every
// tick: a few lines per interval tell of it, and again once the interval is over.
TEST_F(DisplayScreen, TimeoutStatusChangesOfAFlappingChannelAreFewPerInterval) {
    dtest::FakeGateway::reset();
    CDataManager_setGateway(dtest::FakeGateway::ops());
    display_elem_s e = boxElem();
    e.alphanum.ch_input = {0x07000010, 0xFF, 0, 1, 0, 0, 0, 1, TYPE_UINT8};
    {
        CDataManager dm;
        CDispPage* p = show({&e}, &dm);
        dm.createMeaslists();
        dm.startMeasurement();
        auto tick = [p] { p->Message(GuiMessage(GM_TIMER, p, nullptr, 0)); };
        auto flap = [&tick](int n) {
            for (int i = 0; i < n; ++i) {
                dtest::FakeGateway::read(-1, GW_OK, {0, 0, 0, 0, 5});
                tick();
                dtest::FakeGateway::read(-1, GW_OFFLINE);
                tick();
            }
        };
        const std::string change = "Display: timeout status change (";
        sim::step(10000); // past an interval an earlier test began
        flap(10);
        EXPECT_EQ(countLogged(change), 3);
        sim::step(10000);
        flap(1);
        EXPECT_EQ(countLogged(change), 5) << "both changes of the next interval";
        EXPECT_TRUE(logged("similar messages suppressed"));
        dm.stopMeasurement();
        pm->Remove(p, 1);
        delete p;
    }
    CDataManager_setGateway(nullptr);
}

TEST_F(DisplayScreen, ShellCommandsPostInOrder) {
    gbGuiInitialized = 1;
    struct Case {
        std::vector<const char*> argv;
        const char* printed;
        int result;
        std::vector<long> posted;
    } cases[] = {
        {{"display"}, "controls display application\n", 0, {}},
        {{"display", "Start"}, "controls display application\n", 0, {}},
        {{"display", "start", "x"}, "controls display application\n", 0, {}},
        {{"display", "color", "FF0000"}, "Invalid color format. RGB Format: 0x00RRGGBB\n", 0, {0x4002}},
        {{"display", "color", "0xFF0000"}, "", 0, {0x4002, 0x4003, 0xFF0000}},
        {{"display", "page", "x"}, "Invalid page number.\n", -1, {}},
        {{"display", "brightness", "-"}, "Invalid brightness switch position.\n", -1, {}},
        {{"display", "page", "99"}, "", 0, {0x4004, 11}},
        {{"display", "next"}, "", 0, {10}},
        {{"display", "fstart"}, "", 0, {0x4009}},
        {{"display", "bmpdump", "nosuch:/a.bmp"}, "Error, unable to open file nosuch:/a.bmp.\n", 0, {}},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        std::vector<char*> argv;
        for (const char* a : c.argv)
            argv.push_back(const_cast<char*>(a));
        EXPECT_EQ(displayCommandFunc(static_cast<int>(argv.size()), argv.data()), c.result);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.substr(0, std::strlen(c.printed)), c.printed) << c.argv.size();
        std::vector<long> posted; // the types, a colour's and a page's each with its value
        for (GuiMessage msg; GuiThing::mpMessageQueue->TryPop(&msg);) {
            posted.push_back(msg.type);
            if (msg.type == 0x4003 || msg.type == 0x4004) posted.push_back(msg.payload.l);
        }
        EXPECT_EQ(posted, c.posted) << c.argv[1 < c.argv.size() ? 1 : 0];
    }
    gbGuiInitialized = 0;
    EXPECT_EQ(displayStart(), -1);
    EXPECT_EQ(displayTxtShowFree("x"), -1);
}

// The main container over a description on "cfg:", driven by posted commands.
struct DisplayMain : DisplayScreen {
    testsupport::ScratchDir cfg;
    void SetUp() override {
        DisplayScreen::SetUp();
        ASSERT_TRUE(osfs::addDevice("cfg:", cfg.path));
        GuiAppInitialize(pm);
        gbGuiInitialized = 1;
    }
    void TearDown() override {
        gbGuiInitialized = 0;
        if (CMainContainer* m = displayMainContainer()) {
            pm->Remove(m, 1);
            delete m;
        }
        drain();
        redrawAll();
        osfs::removeDevice("cfg:");
        DisplayScreen::TearDown();
    }
    std::string page(const char* colour) {
        return std::string("<Page><BGCol ") + colour +
               "/><DisplayElements><AlphaNumeric version=\"1.0\" title=\"T\" vis_mode=\"always\" "
               "always_on_top=\"false\" prio=\"1\" pos_x=\"10\" pos_y=\"10\" size_x=\"200\" size_y=\"80\" "
               "font_size=\"tiny\" align=\"MM\" dispmode=\"normal\" vtab=\"\" "
               "format_str=\"fixed\"><DecoMiddle><AlphaNumDeco style=\"single_line\">"
               "<BGCol red=\"0\" green=\"0\" blue=\"0\"/><TitleBGCol red=\"0\" green=\"0\" blue=\"0\"/>"
               "<TitleFGCol red=\"FF\" green=\"FF\" blue=\"FF\"/><BorderBGCol red=\"0\" green=\"0\" "
               "blue=\"0\"/>"
               "<BorderFGCol red=\"FF\" green=\"FF\" blue=\"FF\"/><TextBGCol red=\"0\" green=\"0\" "
               "blue=\"0\"/>"
               "<TextFGCol red=\"FF\" green=\"FF\" blue=\"FF\"/></AlphaNumDeco></DecoMiddle></AlphaNumeric>"
               "</DisplayElements></Page>";
    }
    void writeDescription() {
        cfg.write(
            "display.xml",
            "<?xml version=\"1.0\"?><Display version=\"1.0\" x_res=\"640\" y_res=\"480\"><Brightness><perc "
            "value=\"35\"/></Brightness><Pages>" +
                page("red=\"80\" green=\"0\" blue=\"0\"") + page("red=\"0\" green=\"80\" blue=\"0\"") +
                "</Pages></Display>");
    }
};

TEST_F(DisplayMain, CommandsBuildSwitchAndTearDownPages) {
    writeDescription();
    ASSERT_EQ(displayStart(), 0);
    drain();
    CMainContainer* m = displayMainContainer();
    ASSERT_NE(m->page(1), nullptr);
    EXPECT_EQ(m->page(2), nullptr);
    flush();
    EXPECT_EQ(shownAt(300, 300), 0x800000u);
    EXPECT_EQ(static_cast<int>(display_page_mx), 2);
    struct Step {
        int (*post)();
        uint32_t colour;
    } steps[] = {{displayNext, 0x008000}, {displayPrev, 0x800000}};
    for (const Step& s : steps) {
        s.post();
        drain();
        redrawAll();
        flush();
        EXPECT_EQ(shownAt(300, 300), s.colour);
    }
    displaySwitchPage(1);
    displayTxtShowFree(std::string(300, 'x').c_str());
    displayBrightness(0);
    drain();
    flush();
    EXPECT_EQ(shownAt(20, 200), 0xFF0000u) << "the text window";
    EXPECT_EQ(
        std::strlen(m->textWindow() ? static_cast<GuiPrompt*>(m->textWindow()->First())->DataGet() : ""),
        254u);
    EXPECT_EQ(hw_read32(SCRNDRV_CTRL_BASE + SCRNDRV_COLSAT_REG), 145u); // colour saturation of 35 %
    displayTxtHide();
    drain();
    redrawAll();
    flush();
    EXPECT_EQ(shownAt(300, 300), 0x008000u);

    // The capture is the shown 640 x 480 frame.
    const std::string bmp = cfg / "shot.bmp", shown = cfg / "shown.png";
    ASSERT_EQ(display_bmpwrite("cfg:/shot.bmp"), 0);
    ASSERT_TRUE(guitest::writeShownPng(shown, GuiRect(0, 0, 639, 479)));
    std::string out;
    EXPECT_EQ(guitest::run("compare -metric AE '" + bmp + "' '" + shown + "' null:", &out), 0) << out;
    EXPECT_EQ(guitest::run("identify -format '%w %h' '" + bmp + "'", &out), 0);
    EXPECT_EQ(out, "640 480");

    displayColor(0x0000FF);
    drain();
    flush();
    EXPECT_EQ(shownAt(300, 300), 0x0000FFu);
    displayStop();
    drain();
    EXPECT_EQ(m->page(0), nullptr);
    EXPECT_EQ(m->colourPage(), nullptr);
    EXPECT_EQ(m->dataManager(), nullptr);
}

} // namespace
