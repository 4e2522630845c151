// Documents the display description reader accepts: what lands in the records, the two passes
// over the pages, prio order and skipped versions. xmllint checks that each is well-formed XML.
#include "fixtures.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>

namespace {

using namespace fx;
using std::tuple;

uint32_t rgb(const rgb_s& c) {
    return (uint32_t{c.red} << 16) | (uint32_t{c.green} << 8) | c.blue;
}

// The element types and prios of a page list, in list order.
using Listed = std::vector<tuple<uint32_t, uint32_t>>;
Listed list(const page_s& p) {
    Listed v;
    for (const display_elem_s* e = p.elements; e; e = e->next)
        v.emplace_back(e->type, e->head.prio);
    return v;
}

TEST(DisplayReader, MinimalDocumentAndRootVariants) {
    Parsed p;
    load(doc(pages("")), &p);
    const display_s& d = *p.d;
    EXPECT_EQ(tuple(d.page_count, d.x_res, d.y_res, d.version, d.xml_version, d.brightness_count),
              tuple(0, 640, 480, 1.0f, 1.0f, 1));
    EXPECT_EQ(d.brightness_perc[0], 50);
    for (const auto& pg : d.pages)
        EXPECT_EQ(pg.valid, 0);
    EXPECT_EQ(tuple(d.all_pages.valid, d.all_pages.elem_count), tuple(1, 0));
    EXPECT_EQ(d.vtabs, nullptr);
    EXPECT_EQ(tuple(d.page_input.mask, d.page_input.type), tuple(0xFFFFFFFFu, TYPE_NONE))
        << "inputs not given keep their reset values";

    // Attributes in any order, an extra one ignored; further declaration attributes ignored;
    // comments anywhere; CR LF or LF line ends.
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<!-- head -->\n"
                       "<Display y_res=\"272\" note=\"x\" x_res=\"480\" version=\"2.5\">\n<!-- body -->\n" +
                       kBrightness + pages("<!-- none -->\n") + "</Display>\n<!-- tail -->\n";
    for (const std::string& t : {text, crlf(text)}) {
        Parsed q;
        load(t, &q);
        EXPECT_EQ(tuple(q.d->x_res, q.d->y_res, q.d->version), tuple(480, 272, 2.5f));
    }
}

TEST(DisplayReader, ChannelInputs) {
    std::string inputs = "<PageInput adr=\"0A0B0C0D\" type=\"UINT8\" mask=\"ff\" quant_a=\"1.5\" "
                         "quant_b=\"-2\" quant_c=\"3e2\" "
                         "quant_d=\"0\" quant_e=\"0.25\" quant_f=\"6\" extra=\"ignored\"/>\n" +
                         ch_input("ResetInput", "1") + ch_input("BrightnessInput", "2");
    Parsed p;
    load(doc(inputs + pages("")), &p);
    const awm_meas_in& in = p.d->page_input;
    EXPECT_EQ(tuple(in.adr, in.type, in.mask, in.quant_a, in.quant_b, in.quant_c, in.quant_e, in.quant_f),
              tuple(0x0A0B0C0Du, TYPE_UINT8, 0xFFu, 1.5f, -2.0f, 300.0f, 0.25f, 6.0f));
    EXPECT_EQ(tuple(p.d->reset_input.adr, p.d->brightness_input.adr, p.d->brightness_input.type),
              tuple(1u, 2u, TYPE_FLOAT));
}

TEST(DisplayReader, AllPagesBeforeOrAfterPagesGivesTheSameResult) {
    std::string all_pages =
        "<AllPages>\n<DisplayElements>\n" + alpha(prio(kAlphaAttrs, 3)) + "</DisplayElements>\n</AllPages>\n";
    std::string the_pages = pages(page(bar()) + page(pic()));
    Parsed before, after;
    load(doc(all_pages + the_pages), &before);
    load(doc(the_pages + all_pages), &after);
    for (const Parsed* p : {&before, &after}) {
        const display_s& d = *p->d;
        EXPECT_EQ(d.page_count, 2);
        EXPECT_EQ(rgb(d.all_pages.bg_col), 0u) << "AllPages without BGCol is black";
        EXPECT_EQ(d.all_pages.elem_count, 1);
        EXPECT_EQ(list(d.all_pages), (Listed{{ELEM_ALPHANUMERIC, 3}}));
        EXPECT_EQ(tuple(d.pages[0].elements->type, d.pages[1].elements->type),
                  tuple(ELEM_BARGRAPH, ELEM_PICTURE));
        EXPECT_EQ(rgb(d.pages[1].bg_col), 0x102030u);
        EXPECT_EQ(d.elem_capacity, 4u) << "three elements plus one";
    }
}

TEST(DisplayReader, ElementsOfAnotherVersionAreCountedButNotListed) {
    std::string v2 = with(kAlphaAttrs, "version=\"1.0\"", "version=\"2.0\"");
    // The skipped element carries children of its own and sits between prios 5 and 7 with a
    // prio that would break the order.
    std::string skipped = alpha(prio(v2, 99), "<Future>\n<Thing a=\"1\"/>\n</Future>\n" + middle(an_deco()));
    Parsed p;
    load(doc_with(alpha(prio(kAlphaAttrs, 5)) + skipped + bar(prio(kBarAttrs, 7)) +
                  pic(with(prio(kPicAttrs, 8), "version=\"1.0\"", "version=\"0.9\""))),
         &p);
    EXPECT_EQ(p.d->pages[0].elem_count, 2);
    EXPECT_EQ(list(p.d->pages[0]), (Listed{{ELEM_ALPHANUMERIC, 5}, {ELEM_BARGRAPH, 7}}));
    EXPECT_EQ(p.d->elem_capacity, 5u);
    // The skipped slots are reset records.
    EXPECT_EQ(tuple(p.d->elem_array[1].head.version, p.d->elem_array[1].head.prio), tuple(0.0f, 0u));
    EXPECT_EQ(p.d->elem_array[3].type, ELEM_PICTURE);
}

TEST(DisplayReader, AlphaNumericFields) {
    std::string attrs =
        "title=\"Gear &amp; speed\" version=\"1.0\" vis_mode=\"limit_resetable\" always_on_top=\"true\" "
        "prio=\"65535\" "
        "pos_x=\"10\" pos_y=\"20\" size_x=\"30\" size_y=\"40\" font_size=\"xxxlarge\" align=\"BR\" "
        "dispmode=\"verbal\" vtab=\"gear\" format_str=\"%s km/h\" blink=\"fast\" "
        "min_disp_time=\"4294967295\" "
        "auto_reset_time=\"2000\" retrigger_time=\"3\" unknown=\"x\"";
    std::string children = ch_input("ChInput", "AB") + ch_input("VisInput", "CD") +
                           "<DecoLower Limit=\"-5\" hyst=\"0.5\" note=\"x\">\n" + an_deco("single_top") +
                           "</DecoLower>\n" + "<DecoMiddle Limit=\"99\">\n" + an_deco("double_line") +
                           "</DecoMiddle>\n" + "<DecoUpper hyst=\"1\" Limit=\"120\">\n" +
                           an_deco("single_side") + "</DecoUpper>\n";
    std::string vtabs = "<VerbTabs>\n<VerbTab name=\"gear\" default=\"?\">\n<Tab str=\"N\" "
                        "num=\"0\"/>\n</VerbTab>\n</VerbTabs>\n";
    Parsed p;
    load(doc(vtabs + pages(page(alpha(attrs, children)))), &p);
    const alphanum_s& a = p.d->pages[0].elements->alphanum;
    EXPECT_STREQ(a.title, "Gear & speed");
    EXPECT_STREQ(a.format_str, "%s km/h");
    ASSERT_NE(a.vtab, nullptr);
    EXPECT_STREQ(a.vtab->name, "gear");
    EXPECT_EQ(tuple(a.version, a.vis_mode, a.always_on_top, a.prio, a.pos_x, a.pos_y, a.size_x, a.size_y),
              tuple(1.0f, VIS_LIMIT_RESETABLE, 1, 65535u, 10u, 20u, 30u, 40u));
    EXPECT_EQ(
        tuple(a.font_size, a.align, a.dispmode, a.blink, a.min_disp_time, a.auto_reset_time, a.retrigger_time,
              a.ch_input.adr, a.vis_input.adr),
        tuple(FONT_XXXLARGE, ALIGN_BR, DISPMODE_VERBAL, BLINK_FAST, 4294967295u, 2000u, 3u, 0xABu, 0xCDu));
    EXPECT_EQ(tuple(a.has_deco_lower, a.lower_limit, a.lower_hyst, a.deco_lower.style),
              tuple(1, -5.0f, 0.5f, DECO_SINGLE_TOP));
    EXPECT_EQ(tuple(a.has_deco_upper, a.upper_limit, a.upper_hyst, a.deco_upper.style),
              tuple(1, 120.0f, 1.0f, DECO_SINGLE_SIDE));
    EXPECT_EQ(tuple(a.deco_middle.style, rgb(a.deco_middle.text_fg_col)), tuple(DECO_DOUBLE_LINE, 0x010203u));
}

TEST(DisplayReader, AlphaNumericDefaultsAndOptionalChildren) {
    // No ChInput, always visible without VisInput, empty vtab; DecoLower without attributes is
    // skipped; a Limit in DecoMiddle is ignored.
    std::string children = "<DecoLower>\n" + an_deco() + "</DecoLower>\n" +
                           "<DecoMiddle Limit=\"5\" hyst=\"1\">\n" + an_deco() + "</DecoMiddle>\n";
    Parsed p;
    load(doc_with(alpha(kAlphaAttrs, children)), &p);
    const alphanum_s& a = p.d->pages[0].elements->alphanum;
    EXPECT_EQ(a.vtab, nullptr);
    EXPECT_EQ(tuple(a.ch_input.adr, a.ch_input.mask, a.ch_input.type), tuple(0u, 0xFFFFFFFFu, TYPE_NONE));
    EXPECT_EQ(tuple(a.has_deco_lower, a.lower_limit, a.has_deco_upper, a.blink, a.min_disp_time),
              tuple(0, 0.0f, 0, BLINK_OFF, 0u));
}

TEST(DisplayReader, BarGraphFieldsAndTicks) {
    std::string attrs = with(with(with(kBarAttrs, "\"solid\"", "\"stacked\""), "\"hori_lr\"", "\"vert_tb\""),
                             "ticks=\"false\"", "ticks=\"true\"");
    std::string tick_list = "<TickList>\n<Tab name=\"abcdefghij\" value=\"1.5\"/>\n<Other/>\n"
                            "<Tab value=\"-2\" name=\"x\" extra=\"y\"/>\n</TickList>\n";
    std::string deco = with(bar_deco(), "<BarFGCol red=\"0\" green=\"0\" blue=\"0\"/>",
                            "<BarFGCol red=\"1\" green=\"0\" blue=\"0\"/>\n<Ignored red=\"9\"/>\n"
                            "<BarFGCol red=\"FF\" green=\"00FF\" blue=\"0\"/>");
    Parsed p;
    load(doc_with(bar(attrs, tick_list + ch_input() + middle(deco))), &p);
    const bargraph_s& b = p.d->pages[0].elements->bargraph;
    EXPECT_EQ(tuple(b.style, b.orientation, b.ticks, b.min, b.max, b.ch_input.adr),
              tuple(BAR_STACKED, BAR_VERT_TB, 1, 0.0f, 10.0f, 0x1000u));
    ASSERT_EQ(b.tick_count, 2);
    EXPECT_STREQ(b.tick_list[0].name, "abcdefg") << "names keep their first seven characters";
    EXPECT_STREQ(b.tick_list[1].name, "x");
    EXPECT_EQ(b.tick_list[0].value, 1.5f);
    EXPECT_EQ(rgb(b.deco_middle.bar_fg_col), 0xFFFF00u) << "a colour given twice keeps the second";
    EXPECT_EQ(rgb(b.deco_middle.ticks_col), 0x040506u);
}

TEST(DisplayReader, PictureFieldsAndGeometryWithinTheToolkitLimit) {
    std::string attrs =
        with(with(kPicAttrs, "ofs=\"0\"", "ofs=\"1234\""), "len=\"100\"", "len=\"FFFFFFFF\" blink=\"slow\"");
    Parsed p;
    load(doc_with(pic(attrs, ch_input("VisInput", "7") +
                                 "<TransparentCol red=\"10\" green=\"20\" blue=\"30\"/>\n" +
                                 middle(pic_deco("single_line")))),
         &p);
    const picture_elem_s& e = p.d->pages[0].elements->picture;
    EXPECT_EQ(e.picture.ofs, 0x1234u) << "ofs is hexadecimal";
    EXPECT_STREQ(e.picture.filename, "cfg:/a.png");
    EXPECT_EQ(tuple(e.picture.len, rgb(e.picture.transparent_col), e.deco_middle.style,
                    rgb(e.deco_middle.border_fg_col), e.blink, e.vis_input.adr),
              tuple(0xFFFFFFFFu, 0x102030u, DECO_SINGLE_LINE, 0x070809u, BLINK_SLOW, 7u));
}

TEST(DisplayReader, GeometryPastTheToolkitsRangeIsClippedNotRefused) {
    // Every field may be 0 to 65535; the toolkit's edges are i16, so x + w stays at most 32767.
    const struct {
        const char *px, *sx, *py, *sy;
        uint32_t pos_x, size_x, pos_y, size_y;
    } cases[] = {
        {"32000", "767", "700", "0", 32000, 767, 700, 0},     // fits exactly
        {"32000", "768", "0", "65535", 32000, 767, 0, 32767}, // one past; size alone too large
        {"65535", "65535", "40000", "1", 32767, 0, 32767, 0}, // position past the range
    };
    for (const auto& c : cases) {
        std::string a = with(with(kPicAttrs, "pos_x=\"0\"", std::string("pos_x=\"") + c.px + "\""),
                             "size_x=\"64\"", std::string("size_x=\"") + c.sx + "\"");
        a = with(with(a, "pos_y=\"0\"", std::string("pos_y=\"") + c.py + "\""), "size_y=\"64\"",
                 std::string("size_y=\"") + c.sy + "\"");
        Parsed q;
        load(doc_with(alpha(prio(kAlphaAttrs, 0)) + pic(a)), &q);
        ASSERT_EQ(q.d->pages[0].elem_count, 2) << c.px;
        const elem_head_s& h = q.d->pages[0].elements->next->head;
        EXPECT_EQ(tuple(h.pos_x, h.size_x, h.pos_y, h.size_y), tuple(c.pos_x, c.size_x, c.pos_y, c.size_y))
            << c.px;
    }
}

TEST(DisplayReader, UnknownElementsAreSkippedEverywhere) {
    std::string u = "<Unknown a=\"1\">\n<Deeper>\n<Deepest b=\"2\"/>\n</Deeper>\n</Unknown>\n";
    std::string deco = with(an_deco(), "<BGCol ", u + "<BGCol ");
    std::string element = alpha(kAlphaAttrs, u + middle(deco) + u);
    // Display elements are start tags with attributes: one without is not recognised either.
    std::string bare = "<AlphaNumeric>\n" + middle(an_deco()) + "</AlphaNumeric>\n<BarGraph>\n</BarGraph>\n" +
                       "<Picture>\n<X/>\n</Picture>\n";
    std::string pg = "<Page>\n" + u + col("BGCol") + u + "<DisplayElements>\n" + u + bare + element + u +
                     "</DisplayElements>\n</Page>\n";
    Parsed p;
    load(doc(u + pages(pg) + u + "<ResetInput>\n</ResetInput>\n"), &p);
    EXPECT_EQ(p.d->pages[0].elem_count, 1);
    EXPECT_EQ(p.d->reset_input.type, TYPE_NONE) << "ResetInput without attributes is not recognised";
}

TEST(DisplayReader, TooManyElementsAreRefusedBeforeTheArrayOverflows) {
    // The element counter is 16 bits wide: the 65536th element is refused.
    const std::string tiny =
        "<Picture version=\"2\" title=\"\" vis_mode=\"always\" always_on_top=\"false\" prio=\"0\" "
        "pos_x=\"0\" pos_y=\"0\" size_x=\"0\" size_y=\"0\" filename=\"\" ofs=\"0\" len=\"0\">"
        "</Picture>\n";
    std::string many;
    many.reserve(tiny.size() * 65536);
    for (int i = 0; i < 65535; ++i)
        many += tiny;
    {
        Parsed p;
        parse(doc_with(many), &p);
        EXPECT_EQ(p.result, 0) << p.error;
        EXPECT_EQ(tuple(p.d->elem_capacity, p.d->pages[0].elem_count), tuple(65536u, 0));
    }
    Parsed p;
    parse(doc_with(many + tiny), &p);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.error.rfind("parse error: too many display elements in line ", 0), 0u) << p.error;
}

TEST(DisplayReader, LoadFromCfgDrive) {
    char dir[] = "/tmp/vyn_cfg_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    // Removed also when an assertion below ends the test early.
    std::unique_ptr<char, void (*)(char*)> gone(dir, [](char* p) { std::filesystem::remove_all(p); });
    const std::string good = doc_with(alpha()), d_ = dir;
    std::ofstream(d_ + "/display.xml") << good;
    std::ofstream(d_ + "/empty.xml").flush();
    std::ofstream(d_ + "/broken.xml") << with(good, "</Pages>", "</Pagez>");
    auto* const sentinel = reinterpret_cast<display_s*>(0x10);
    // The result of XmlLoad and the error text; a description loaded is freed.
    auto load_file = [&](const std::string& path, display_s** d) {
        int r = XmlLoad(path.c_str(), d);
        char msg[100];
        xml_get_error_msg(msg, sizeof msg);
        return std::to_string(r) + " " + msg;
    };
    display_s* d = sentinel;
    char host[256], small[16];
    {
        CfgDrive cfg(dir);
        for (const char* path : {"cfg:/display.xml", "cfg:\\display.xml"}) { // either separator
            d = nullptr;
            EXPECT_EQ(load_file(path, &d).substr(0, 2), "0 ");
            EXPECT_EQ(d->pages[0].elem_count, 1);
            XmlFreeDisplay(d);
        }
        // Failures before parsing leave the result alone. Only the drive is looked at: a host path
        // or a path climbing out of the drive is not.
        d = sentinel;
        EXPECT_EQ(load_file("cfg:/missing.xml", &d), "-1 File not found !");
        EXPECT_EQ(load_file("cfg:empty.xml", &d), "-1 File not found, len invalid!");
        EXPECT_EQ(load_file(d_ + "/display.xml", &d).substr(0, 3), "-1 ");
        EXPECT_EQ(load_file("cfg:/../" + d_.substr(5) + "/display.xml", &d), "-1 File not found !");
        EXPECT_EQ(d, sentinel);

        // A parse failure hands back the partly filled description for the caller to free.
        d = nullptr;
        EXPECT_EQ(load_file("cfg:/broken.xml", &d).rfind("-1 parse error: expecting page tag", 0), 0u);
        EXPECT_NE(d, nullptr);
        XmlFreeDisplay(d);
        XmlFreeDisplay(nullptr);

        EXPECT_TRUE(display_cfg_path("cfg:/display.xml", host, sizeof host));
        EXPECT_EQ(std::string(host), d_ + "/display.xml");
        EXPECT_TRUE(display_cfg_path("cfg:pics\\a.png", host, sizeof host));
        EXPECT_EQ(std::string(host), d_ + "/pics/a.png");
        EXPECT_FALSE(display_cfg_path("cfg:/display.xml", small, sizeof small));
        EXPECT_FALSE(display_cfg_path("cfg:/../etc/passwd", host, sizeof host));
        EXPECT_FALSE(display_cfg_path("/abs/file.xml", host, sizeof host)) << "no drive, no host lookup";
        EXPECT_FALSE(display_cfg_path(nullptr, host, sizeof host));
    }
    // Without the drive nothing resolves.
    EXPECT_FALSE(display_cfg_path("cfg:/display.xml", host, sizeof host));
    d = sentinel;
    EXPECT_EQ(load_file("cfg:/display.xml", &d), "-1 File not found !");
}

} // namespace
