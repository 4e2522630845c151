// Documents the display description reader accepts: what lands in the records, the two passes
// over the pages, prio order and skipped versions, files on the "cfg:" drive, the demo unit's
// description. xmllint checks that each is well-formed XML.
#include "fixtures.h"
#include "support/stepped.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

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
    // Attributes in any order, an extra one ignored; further declaration attributes ignored;
    // comments anywhere; CR LF or LF line ends.
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<!-- head -->\n"
                       "<Display y_res=\"272\" note=\"x\" x_res=\"480\" version=\"2.5\">\n<!-- body -->\n" +
                       kBrightness + pages("<!-- none -->\n") + "</Display>\n<!-- tail -->\n";
    for (const std::string& t : {text, crlf(text)}) {
        Parsed q;
        load(t, &q);
        EXPECT_EQ(tuple(q.d->x_res, q.d->y_res, q.d->version, q.d->page_count, q.d->brightness_perc[0]),
                  tuple(480, 272, 2.5f, 0, 50));
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
    EXPECT_EQ(std::tuple(p.d->pages[0].elem_count, list(p.d->pages[0]), p.d->elem_capacity),
              std::tuple(2, Listed{{ELEM_ALPHANUMERIC, 5}, {ELEM_BARGRAPH, 7}}, 5u));
    EXPECT_EQ(tuple(p.d->elem_array[1].head.version, p.d->elem_array[1].head.prio), tuple(0.0f, 0u))
        << "the skipped slots are reset records";
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

TEST(DisplayReader, TickListsAndPictureOffsets) {
    const std::string ticks =
        "<TickList>\n<Tab name=\"abcdefghij\" value=\"12.5\"/>\n<Tab value=\"-3\" name=\"x\"/>\n"
        "</TickList>\n";
    // Offset and length are hexadecimal even when written in decimal digits.
    Parsed p;
    load(
        doc_with(bar(with(kBarAttrs, "ticks=\"false\"", "ticks=\"true\""),
                     ch_input() + ticks + middle(bar_deco())) +
                 pic(with(with(prio(kPicAttrs, 2), "ofs=\"0\"", "ofs=\"10\""), "len=\"100\"", "len=\"20\""))),
        &p);
    const bargraph_s& b = p.d->pages[0].elements->bargraph;
    EXPECT_EQ(std::tuple(b.ticks, b.tick_count, std::string(b.tick_list[0].name), b.tick_list[0].value,
                         std::string(b.tick_list[1].name), b.tick_list[1].value),
              std::tuple(1, 2, std::string("abcdefg"), 12.5f, std::string("x"), -3.0f));
    const picture_s& pic = p.d->pages[0].elements->next->picture.picture;
    EXPECT_EQ(std::tuple(std::string(pic.filename), pic.ofs, pic.len),
              std::tuple(std::string("cfg:/a.png"), 16u, 32u));
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
    testsupport::ScratchDir scratch;
    const std::string good = doc_with(alpha()), d_ = scratch.path;
    scratch.write("display.xml", good);
    scratch.write("empty.xml", "");
    scratch.write("broken.xml", with(good, "</Pages>", "</Pagez>"));
    auto* const sentinel = reinterpret_cast<display_s*>(0x10);
    // The result of XmlLoad and the error text; a description loaded is freed.
    auto load_file = [&](const std::string& path, display_s** d) {
        int r = XmlLoad(path.c_str(), d);
        char msg[100];
        xml_get_error_msg(msg, sizeof msg);
        return std::to_string(r) + " " + msg;
    };
    // The host path of a drive path.
    auto host = [](const char* path) {
        char h[256];
        return display_cfg_path(path, h, sizeof h) ? std::string(h) : "refused";
    };
    display_s* d = sentinel;
    {
        CfgDrive cfg(d_);
        d = nullptr;
        EXPECT_EQ(load_file("cfg:\\display.xml", &d).substr(0, 2), "0 ") << "either separator";
        EXPECT_EQ(d->pages[0].elem_count, 1);
        XmlFreeDisplay(d);
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

        // No drive, no host lookup.
        EXPECT_EQ((std::vector{host("cfg:/display.xml"), host("cfg:pics\\a.png"), host("cfg:/../etc/passwd"),
                               host("/abs/file.xml")}),
                  (std::vector<std::string>{d_ + "/display.xml", d_ + "/pics/a.png", "refused", "refused"}));
    }
    EXPECT_EQ(host("cfg:/display.xml"), "refused") << "without the drive";
}

// The demo unit's "cfg:/display.xml": accepted by the reader, well-formed for xmllint, and every
// picture it names is a valid PNG where the element says it lies.
TEST(DemoUnitDisplay, IsWellFormedLoadsAndItsPicturesAreValidPngs) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    const std::string dir = std::string(src) + "/examples/unit0/cfg";
    fx::CfgDrive cfg(dir);
    std::stringstream text;
    text << std::ifstream(dir + "/display.xml").rdbuf();
    EXPECT_EQ(fx::xmllint_complaints({text.str()}), "");

    fx::Parsed p;
    p.result = XmlLoad("cfg:/display.xml", &p.d);
    char msg[XML_ERROR_SIZE] = "";
    xml_get_error_msg(msg, sizeof msg);
    ASSERT_EQ(p.result, 0) << msg;
    const display_s& d = *p.d;
    EXPECT_EQ(std::tuple(d.x_res, d.y_res, d.page_count, d.brightness_count), std::tuple(640, 480, 3, 4));
    EXPECT_NE(d.page_input.type, TYPE_NONE);
    EXPECT_NE(d.brightness_input.type, TYPE_NONE);
    EXPECT_NE(d.reset_input.type, TYPE_NONE);

    int pictures = 0;
    for (int i = -1; i < d.page_count; ++i) {
        for (const display_elem_s* e = (i < 0 ? d.all_pages : d.pages[i]).elements; e; e = e->next) {
            EXPECT_LE(e->head.pos_x + e->head.size_x, d.x_res);
            EXPECT_LE(e->head.pos_y + e->head.size_y, d.y_res);
            if (e->type != ELEM_PICTURE) continue;
            ++pictures;
            const picture_s& pic = e->picture.picture;
            char host[512];
            ASSERT_TRUE(display_cfg_path(pic.filename, host, sizeof host));
            std::ifstream f(host, std::ios::binary);
            std::vector<char> all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            ASSERT_LE(uint64_t{pic.ofs} + pic.len, all.size()) << host;
            pyref::TempFile slice(pyref::bytes(all.begin() + pic.ofs, all.begin() + pic.ofs + pic.len));
            pyref::bytes report = pyref::run("pngcheck -q " + slice.path() + " 2>&1; echo rc=$?");
            EXPECT_EQ(std::string(report.begin(), report.end()), "rc=0\n") << host;
        }
    }
    EXPECT_GE(pictures, 3);
}

} // namespace
