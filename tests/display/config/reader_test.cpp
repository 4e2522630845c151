// Documents the display description reader accepts: what lands in the records, the two passes
// over the pages, prio order and skipped versions. xmllint checks that each is well-formed XML.
#include "fixtures.h"

#include <cstdlib>
#include <fstream>

namespace {

using namespace fx;

// Parses a fixture that must load and that xmllint must find well-formed.
void load(const std::string& text, Parsed* p) {
    EXPECT_EQ(xmllint_complaints({text}), "");
    parse(text, p);
    ASSERT_EQ(p->result, 0) << p->error;
    ASSERT_NE(p->d, nullptr);
}

uint32_t rgb(const rgb_s& c) {
    return (uint32_t{c.red} << 16) | (uint32_t{c.green} << 8) | c.blue;
}

TEST(DisplayReader, MinimalDocument) {
    Parsed p;
    load(doc(pages("")), &p);
    const display_s& d = *p.d;
    EXPECT_EQ(d.page_count, 0);
    EXPECT_EQ(d.x_res, 640);
    EXPECT_EQ(d.y_res, 480);
    EXPECT_EQ(d.version, 1.0f);
    EXPECT_EQ(d.xml_version, 1.0f);
    ASSERT_EQ(d.brightness_count, 1);
    EXPECT_EQ(d.brightness_perc[0], 50);
    for (const auto& pg : d.pages)
        EXPECT_EQ(pg.valid, 0);
    EXPECT_EQ(d.all_pages.valid, 1);
    EXPECT_EQ(d.all_pages.elem_count, 0);
    EXPECT_EQ(d.vtabs, nullptr);
    EXPECT_EQ(d.page_input.mask, 0xFFFFFFFFu) << "inputs not given keep their reset values";
    EXPECT_EQ(d.page_input.type, TYPE_NONE);
}

TEST(DisplayReader, RootAndDeclarationVariants) {
    // Attributes in any order, an extra one ignored; further declaration attributes ignored;
    // comments anywhere; CR LF or LF line ends.
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<!-- head -->\n"
                       "<Display y_res=\"272\" note=\"x\" x_res=\"480\" version=\"2.5\">\n<!-- body -->\n" +
                       kBrightness + pages("<!-- none -->\n") + "</Display>\n<!-- tail -->\n";
    for (const std::string& t : {text, crlf(text)}) {
        Parsed p;
        load(t, &p);
        EXPECT_EQ(p.d->x_res, 480);
        EXPECT_EQ(p.d->y_res, 272);
        EXPECT_EQ(p.d->version, 2.5f);
    }
}

TEST(DisplayReader, BrightnessSteps) {
    Parsed none, six, twice;
    load(doc(pages(""), "<Brightness>\n</Brightness>\n"), &none);
    EXPECT_EQ(none.d->brightness_count, 0);

    std::string steps = "<Brightness>\n";
    for (int v : {0, 20, 40, 60, 80, 100})
        steps += "<perc value=\"" + std::to_string(v) + "\"/>\n";
    steps += "</Brightness>\n";
    load(doc(pages(""), steps), &six);
    ASSERT_EQ(six.d->brightness_count, 6);
    EXPECT_EQ(six.d->brightness_perc[5], 100);

    // A second Brightness replaces the first.
    load(doc(pages(""), steps + "<Brightness>\n<perc value=\"7\"/>\n</Brightness>\n"), &twice);
    EXPECT_EQ(twice.d->brightness_count, 1);
    EXPECT_EQ(twice.d->brightness_perc[0], 7);
}

TEST(DisplayReader, ChannelInputs) {
    std::string inputs = "<PageInput adr=\"0A0B0C0D\" type=\"UINT8\" mask=\"ff\" quant_a=\"1.5\" "
                         "quant_b=\"-2\" quant_c=\"3e2\" "
                         "quant_d=\"0\" quant_e=\"0.25\" quant_f=\"6\" extra=\"ignored\"/>\n" +
                         ch_input("ResetInput", "1") + ch_input("BrightnessInput", "2");
    Parsed p;
    load(doc(inputs + pages("")), &p);
    const awm_meas_in& in = p.d->page_input;
    EXPECT_EQ(in.adr, 0x0A0B0C0Du);
    EXPECT_EQ(in.type, TYPE_UINT8);
    EXPECT_EQ(in.mask, 0xFFu);
    EXPECT_EQ(in.quant_a, 1.5f);
    EXPECT_EQ(in.quant_b, -2.0f);
    EXPECT_EQ(in.quant_c, 300.0f);
    EXPECT_EQ(in.quant_e, 0.25f);
    EXPECT_EQ(in.quant_f, 6.0f);
    EXPECT_EQ(p.d->reset_input.adr, 1u);
    EXPECT_EQ(p.d->brightness_input.adr, 2u);
    EXPECT_EQ(p.d->brightness_input.type, TYPE_FLOAT);
}

TEST(DisplayReader, TwelvePagesAndTheirBackgrounds) {
    std::string all;
    for (int i = 0; i < 12; ++i)
        all += page("", col("BGCol", i, 0, 0));
    Parsed p;
    load(doc(pages(all)), &p);
    ASSERT_EQ(p.d->page_count, 12);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(p.d->pages[i].valid, 1);
        EXPECT_EQ(p.d->pages[i].bg_col.red, i);
    }
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
        ASSERT_EQ(d.all_pages.elem_count, 1);
        EXPECT_EQ(d.all_pages.elements->type, ELEM_ALPHANUMERIC);
        EXPECT_EQ(d.all_pages.elements->head.prio, 3u);
        EXPECT_EQ(d.pages[0].elements->type, ELEM_BARGRAPH);
        EXPECT_EQ(d.pages[1].elements->type, ELEM_PICTURE);
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
    const page_s& pg = p.d->pages[0];
    EXPECT_EQ(pg.elem_count, 2);
    auto l = list(pg);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0]->head.prio, 5u);
    EXPECT_EQ(l[1]->head.prio, 7u);
    EXPECT_EQ(l[1]->type, ELEM_BARGRAPH);
    EXPECT_EQ(p.d->elem_capacity, 5u);
    // The skipped slots are reset records.
    EXPECT_EQ(p.d->elem_array[1].head.version, 0.0f);
    EXPECT_EQ(p.d->elem_array[1].head.prio, 0u);
    EXPECT_EQ(p.d->elem_array[3].type, ELEM_PICTURE);
}

TEST(DisplayReader, PagesAndDisplayElementsRepeated) {
    // Two DisplayElements blocks in one page keep file order; with Pages given twice both are
    // counted, and the last one is the one loaded.
    std::string two_blocks = "<Page>\n" + col("BGCol") + "<DisplayElements>\n" + alpha(prio(kAlphaAttrs, 1)) +
                             "</DisplayElements>\n<Unknown/>\n<DisplayElements>\n" + bar(prio(kBarAttrs, 2)) +
                             "</DisplayElements>\n</Page>\n";
    Parsed p;
    load(doc(pages(page(pic()) + page(pic())) + pages(two_blocks)), &p);
    EXPECT_EQ(p.d->page_count, 1);
    EXPECT_EQ(p.d->elem_capacity, 5u);
    auto l = list(p.d->pages[0]);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0]->type, ELEM_ALPHANUMERIC);
    EXPECT_EQ(l[1]->type, ELEM_BARGRAPH);
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
    EXPECT_EQ(a.version, 1.0f);
    EXPECT_STREQ(a.title, "Gear & speed");
    EXPECT_EQ(a.vis_mode, VIS_LIMIT_RESETABLE);
    EXPECT_EQ(a.always_on_top, 1);
    EXPECT_EQ(a.prio, 65535u);
    EXPECT_EQ(a.pos_x, 10u);
    EXPECT_EQ(a.pos_y, 20u);
    EXPECT_EQ(a.size_x, 30u);
    EXPECT_EQ(a.size_y, 40u);
    EXPECT_EQ(a.font_size, FONT_XXXLARGE);
    EXPECT_EQ(a.align, ALIGN_BR);
    EXPECT_EQ(a.dispmode, DISPMODE_VERBAL);
    ASSERT_NE(a.vtab, nullptr);
    EXPECT_STREQ(a.vtab->name, "gear");
    EXPECT_STREQ(a.format_str, "%s km/h");
    EXPECT_EQ(a.blink, BLINK_FAST);
    EXPECT_EQ(a.min_disp_time, 4294967295u);
    EXPECT_EQ(a.auto_reset_time, 2000u);
    EXPECT_EQ(a.retrigger_time, 3u);
    EXPECT_EQ(a.ch_input.adr, 0xABu);
    EXPECT_EQ(a.vis_input.adr, 0xCDu);
    EXPECT_EQ(a.has_deco_lower, 1);
    EXPECT_EQ(a.lower_limit, -5.0f);
    EXPECT_EQ(a.lower_hyst, 0.5f);
    EXPECT_EQ(a.deco_lower.style, DECO_SINGLE_TOP);
    EXPECT_EQ(a.deco_middle.style, DECO_DOUBLE_LINE);
    EXPECT_EQ(a.has_deco_upper, 1);
    EXPECT_EQ(a.upper_limit, 120.0f);
    EXPECT_EQ(a.upper_hyst, 1.0f);
    EXPECT_EQ(a.deco_upper.style, DECO_SINGLE_SIDE);
    EXPECT_EQ(rgb(a.deco_middle.text_fg_col), 0x010203u);
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
    EXPECT_EQ(a.ch_input.adr, 0u);
    EXPECT_EQ(a.ch_input.mask, 0xFFFFFFFFu);
    EXPECT_EQ(a.ch_input.type, TYPE_NONE);
    EXPECT_EQ(a.has_deco_lower, 0);
    EXPECT_EQ(a.lower_limit, 0.0f);
    EXPECT_EQ(a.has_deco_upper, 0);
    EXPECT_EQ(a.blink, BLINK_OFF);
    EXPECT_EQ(a.min_disp_time, 0u);
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
    EXPECT_EQ(b.style, BAR_STACKED);
    EXPECT_EQ(b.orientation, BAR_VERT_TB);
    EXPECT_EQ(b.ticks, 1);
    EXPECT_EQ(b.min, 0.0f);
    EXPECT_EQ(b.max, 10.0f);
    ASSERT_EQ(b.tick_count, 2);
    EXPECT_STREQ(b.tick_list[0].name, "abcdefg") << "names keep their first seven characters";
    EXPECT_EQ(b.tick_list[0].value, 1.5f);
    EXPECT_STREQ(b.tick_list[1].name, "x");
    EXPECT_EQ(rgb(b.deco_middle.bar_fg_col), 0xFFFF00u) << "a colour given twice keeps the second";
    EXPECT_EQ(rgb(b.deco_middle.ticks_col), 0x040506u);
    EXPECT_EQ(b.ch_input.adr, 0x1000u);
}

TEST(DisplayReader, TwentyTicks) {
    std::string tabs;
    for (int i = 0; i < 20; ++i)
        tabs += "<Tab name=\"t\" value=\"" + std::to_string(i) + "\"/>\n";
    Parsed p;
    load(doc_with(bar(kBarAttrs, ch_input() + "<TickList>\n" + tabs + "</TickList>\n" + middle(bar_deco()))),
         &p);
    EXPECT_EQ(p.d->pages[0].elements->bargraph.tick_count, 20);
}

TEST(DisplayReader, PictureFields) {
    std::string attrs =
        with(with(kPicAttrs, "ofs=\"0\"", "ofs=\"1234\""), "len=\"100\"", "len=\"FFFFFFFF\" blink=\"slow\"");
    Parsed p;
    load(doc_with(pic(attrs, ch_input("VisInput", "7") +
                                 "<TransparentCol red=\"10\" green=\"20\" blue=\"30\"/>\n" +
                                 middle(pic_deco("single_line")))),
         &p);
    const picture_elem_s& e = p.d->pages[0].elements->picture;
    EXPECT_EQ(e.picture.ofs, 0x1234u) << "ofs is hexadecimal";
    EXPECT_EQ(e.picture.len, 0xFFFFFFFFu);
    EXPECT_STREQ(e.picture.filename, "cfg:/a.png");
    EXPECT_EQ(rgb(e.picture.transparent_col), 0x102030u);
    EXPECT_EQ(e.deco_middle.style, DECO_SINGLE_LINE);
    EXPECT_EQ(rgb(e.deco_middle.border_fg_col), 0x070809u);
    EXPECT_EQ(e.blink, BLINK_SLOW);
    EXPECT_EQ(e.vis_input.adr, 7u);
}

TEST(DisplayReader, GeometryWithinTheToolkitLimitIsAccepted) {
    // Outside the 640 x 480 screen, yet representable.
    std::string attrs =
        with(with(kPicAttrs, "pos_x=\"0\"", "pos_x=\"32000\""), "size_x=\"64\"", "size_x=\"767\"");
    attrs = with(with(attrs, "pos_y=\"0\"", "pos_y=\"700\""), "size_y=\"64\"", "size_y=\"0\"");
    Parsed p;
    load(doc_with(pic(attrs)), &p);
    EXPECT_EQ(p.d->pages[0].elements->head.pos_x + p.d->pages[0].elements->head.size_x, 32767u);
}

TEST(DisplayReader, UnknownElementsAreSkippedEverywhere) {
    std::string u = "<Unknown a=\"1\">\n<Deeper>\n<Deepest b=\"2\"/>\n</Deeper>\n</Unknown>\n";
    std::string deco = with(an_deco(), "<BGCol ", u + "<BGCol ");
    std::string element = alpha(kAlphaAttrs, u + middle(deco) + u);
    std::string pg = "<Page>\n" + u + col("BGCol") + u + "<DisplayElements>\n" + u + element + u +
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
        EXPECT_EQ(p.d->elem_capacity, 65536u);
        EXPECT_EQ(p.d->pages[0].elem_count, 0);
    }
    many += tiny;
    Parsed p;
    parse(doc_with(many), &p);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.error.rfind("parse error: too many display elements in line ", 0), 0u) << p.error;
}

TEST(DisplayReader, LoadFromCfgDrive) {
    char dir[] = "/tmp/vyn_cfg_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string good = doc_with(alpha());
    std::ofstream(std::string(dir) + "/display.xml") << good;
    std::ofstream(std::string(dir) + "/empty.xml").flush();
    std::ofstream(std::string(dir) + "/broken.xml") << with(good, "</Pages>", "</Pagez>");
    char msg[100];
    auto* sentinel = reinterpret_cast<display_s*>(0x10);
    display_s* d = sentinel;
    {
        CfgDrive cfg(dir);
        d = nullptr;
        ASSERT_EQ(XmlLoad("cfg:/display.xml", &d), 0);
        EXPECT_EQ(d->pages[0].elem_count, 1);
        XmlFreeDisplay(d);
        d = nullptr;
        EXPECT_EQ(XmlLoad("cfg:\\display.xml", &d), 0) << "either separator";
        XmlFreeDisplay(d);

        d = sentinel;
        EXPECT_EQ(XmlLoad("cfg:/missing.xml", &d), -1);
        xml_get_error_msg(msg, sizeof msg);
        EXPECT_STREQ(msg, "File not found !");
        EXPECT_EQ(d, sentinel) << "left alone when loading fails before parsing";
        EXPECT_EQ(XmlLoad("cfg:empty.xml", &d), -1);
        xml_get_error_msg(msg, sizeof msg);
        EXPECT_STREQ(msg, "File not found, len invalid!");
        EXPECT_EQ(d, sentinel);
        // Only the drive is looked at: a host path or a path climbing out of the drive is not.
        EXPECT_EQ(XmlLoad((std::string(dir) + "/display.xml").c_str(), &d), -1);
        EXPECT_EQ(XmlLoad(("cfg:/../" + std::string(dir).substr(5) + "/display.xml").c_str(), &d), -1);
        xml_get_error_msg(msg, sizeof msg);
        EXPECT_STREQ(msg, "File not found !");
        EXPECT_EQ(d, sentinel);

        // A parse failure hands back the partly filled description for the caller to free.
        d = nullptr;
        EXPECT_EQ(XmlLoad("cfg:/broken.xml", &d), -1);
        xml_get_error_msg(msg, sizeof msg);
        EXPECT_EQ(std::string(msg).rfind("parse error: expecting page tag", 0), 0u) << msg;
        EXPECT_NE(d, nullptr);
        XmlFreeDisplay(d);
        XmlFreeDisplay(nullptr);

        char host[256];
        EXPECT_TRUE(display_cfg_path("cfg:/display.xml", host, sizeof host));
        EXPECT_EQ(std::string(host), std::string(dir) + "/display.xml");
        EXPECT_TRUE(display_cfg_path("cfg:pics\\a.png", host, sizeof host));
        EXPECT_EQ(std::string(host), std::string(dir) + "/pics/a.png");
        char small[16];
        EXPECT_FALSE(display_cfg_path("cfg:/display.xml", small, sizeof small));
        EXPECT_FALSE(display_cfg_path("cfg:/../etc/passwd", host, sizeof host));
        EXPECT_FALSE(display_cfg_path("/abs/file.xml", host, sizeof host)) << "no drive, no host lookup";
        EXPECT_FALSE(display_cfg_path(nullptr, host, sizeof host));
    }
    // Without the drive nothing resolves.
    char host[256];
    EXPECT_FALSE(display_cfg_path("cfg:/display.xml", host, sizeof host));
    d = sentinel;
    EXPECT_EQ(XmlLoad("cfg:/display.xml", &d), -1);
    xml_get_error_msg(msg, sizeof msg);
    EXPECT_STREQ(msg, "File not found !");
    for (const char* f : {"display.xml", "empty.xml", "broken.xml"})
        unlink((std::string(dir) + "/" + f).c_str());
    rmdir(dir);
}

} // namespace
