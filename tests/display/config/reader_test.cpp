// The display description's scanner, value converters, element skipper and error text; the reader:
// what lands in the records of the documents it accepts (the two passes over the pages, prio order,
// skipped versions, files on the "cfg:" drive, the demo unit's description; xmllint checks that
// each is well-formed XML), the error texts of those it refuses, and the verbal tables.
#include "fixtures.h"
#include "support/stepped.h"

#include <bit>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// ---- the scanner ------------------------------------------------------------------------------

// The tokens up to the end of input as "kind:name=value" words; a scan error ends the list and
// its text goes to *error.
std::string tokens(const std::string& text, std::string* error = nullptr) {
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    std::string out;
    for (int r = 0, guard = 0; r == 0 && guard < 1000; ++guard) {
        xml_token_s t;
        if ((r = XmlGetTok(&s, &t)) < 0) {
            if (error) *error = xml_error_text();
            break;
        }
        out.append(out.empty() ? "" : " ").append(std::to_string(t.kind));
        if (*t.name) out.append(":").append(t.name);
        if (*t.value) out.append("=").append(t.value);
    }
    return out;
}

std::string scan_error(const std::string& text) {
    std::string e = "(no error)";
    tokens(text, &e);
    return e;
}

TEST(XmlTokenizer, TokenKindsEntitiesAndComments) {
    std::string v254(254, 'x'), amps;
    for (int i = 0; i < 254; ++i)
        amps += "&amp;";
    const struct {
        std::string text, want;
    } cases[] = {
        {"<?xml version=\"1.0\"?>", "5 7:version=1.0 6 9"},
        {"<Page >", "0:Page 9"}, // a blank before ">" still gives a plain start tag
        {"<BGCol red=\"1\"/>", "1:BGCol 7:red=1 3 9"},
        {"k \t=\r\n \"v\"", "7:k=v 9"}, // blanks on both sides of "="
        {std::string(" \0\t\r\n\v", 6), "9"},
        {"v=\"&lt;&gt;&amp;&apos;&quot;\"", "7:v=<>&'\" 9"},
        {"v=\"&#321;\"", "7:v=A 9"}, // the number is taken modulo 256
        {"v=\"" + v254 + "\"", "7:v=" + v254 + " 9"},
        {"v=\"" + amps + "\"", "7:v=" + std::string(254, '&') + " 9"}, // the decoded length counts
        {"<a><!-- c --></a>", "0:a 4:a 9"},
        {"<!-- - -- --- -><--->x=\"1\"", "7:x=1 9"},
        {"<a-b>", "1:a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tokens(c.text), c.want) << c.text;
    // A name stops at 254 characters; the rest starts the next token.
    EXPECT_EQ(tokens("<" + std::string(300, 'n') + ">"), "1:" + std::string(254, 'n'));
}

TEST(XmlTokenizer, ScanErrorsCarryThePositionWhereTheyWereFound) {
    const std::string value = "scan error: error scanning parameter value in line 1 column ";
    const std::string bang =
        "scan error: '!' unexpected, only XML comments are supported... in line 1 column 1";
    const struct {
        std::string text, error;
    } cases[] = {
        {"<1a>", "scan error in line 1 column 1"},
        {"<a-b>", "scan error in line 1 column 2"},
        {"</>", "scan error: tag name expected in line 1 column 2"},
        {"<?xmm", "scan error: xml expected in line 1 column 2"},
        {"<!DOCTYPE x>", bang},
        {"<!-- open", "scan error: unexpected EOF during comment in line 1 column 9"},
        {"ab1=\"x\"", "scan error: '=' expected in line 1 column 2"},
        {"7", "scan error: unexpected digit in line 1 column 0"},
        {"<a>text</a>", "scan error: '=' expected in line 1 column 7"},
        {"v=\"&nbsp;\"", value + "3"},
        {"v=\"a&b\"", value + "4"},
        {"v=\"" + std::string(255, 'x') + "\"", value + "257"},
        // Line feeds count lines but keep the column; a carriage return restarts it; a tab is 8.
        {"\t\t7", "scan error: unexpected digit in line 1 column 16"},
        {"<!--\r\n\r\n-->\r\n7", "scan error: unexpected digit in line 4 column 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scan_error(c.text), c.error) << c.text;
}

// Converts text with f into a value preset to 7; on failure the value stays 7.
template <typename T, typename F> void convert(F f, const char* text, T min, T max, int rc, T want) {
    T v = 7;
    EXPECT_EQ(f(text, &v, min, max), rc) << text;
    EXPECT_EQ(v, rc == 0 ? want : T{7}) << text;
}

TEST(XmlConverters, Numbers) {
    const uint32_t U = 0xFFFFFFFF;
    const struct {
        bool hex;
        const char* text;
        uint32_t max;
        int rc;
        uint32_t want;
    } cases[] = {
        {true, "FF", U, 0, 255},           {true, "00ff", 0xFF, 0, 255},
        {true, "ffffffff", U, 0, U},       {true, "", 0xFF, 0, 0},
        {true, "0x1", 0xFF, -1, 0},        {true, "000000001", 0xFF, -1, 0},
        {true, "1g", 0xFF, -1, 0},         {true, "100", 0xFF, -1, 0},
        {false, "65535", 65535, 0, 65535}, {false, "4294967295", U, 0, U},
        {false, "-1", 65535, -1, 0},       {false, "+1", 65535, -1, 0},
        {false, "65536", 65535, -1, 0},    {false, "1.0", 65535, -1, 0},
        {false, "4294967296", U, -1, 0},   {false, "99999999999999999999", U, -1, 0},
    };
    for (const auto& c : cases)
        convert<uint32_t>(c.hex ? XmlGetHex : XmlGetUInt, c.text, 0, c.max, c.rc, c.want);

    // Values beyond 32 bits fail instead of wrapping round; "" reads as 0 and "-" too.
    convert<int32_t>(XmlGetInt, "-2147483648", INT32_MIN, INT32_MAX, 0, INT32_MIN);
    convert<int32_t>(XmlGetInt, "+2147483647", INT32_MIN, INT32_MAX, 0, INT32_MAX);
    convert<int32_t>(XmlGetInt, "-", INT32_MIN, INT32_MAX, 0, 0);
    for (const char* bad : {"2147483648", "-2147483649", "4294967296", "12345678901234567890", "1e3", "--1"})
        convert<int32_t>(XmlGetInt, bad, INT32_MIN, INT32_MAX, -1, 0);
    convert<int32_t>(XmlGetInt, "11", 0, 10, -1, 0);
    convert<int32_t>(XmlGetInt, "", 1, 10, -1, 0);
}

int skip(const std::string& text, std::string* rest = nullptr) {
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    xml_token_s t;
    XmlGetTok(&s, &t);
    int r = XmlIgnore_Tag(&s, &t);
    if (rest) *rest = std::string(s.cur, static_cast<size_t>(s.len - s.pos));
    return r;
}

TEST(XmlSkip, SkipsAnElementWithEverythingInIt) {
    std::string rest;
    EXPECT_EQ(skip("<U a=\"1\"><V><W x=\"2\"/></V><V/><!-- c --><X></X></U>after", &rest), 0);
    EXPECT_EQ(rest, "after");
    EXPECT_EQ(skip("<U a=\"1\" b=\"2\"/>after", &rest), 0);
    EXPECT_EQ(rest, "after");
    EXPECT_EQ(skip("<U></U>"), 0);

    const struct {
        const char *text, *error;
    } errors[] = {
        {"<U><V></W></U>", "parse error: unexpected token in line 1 column 10"},
        {"<U a=\"1\" <V>", "parse error: expecting attributes in line 1 column 12"},
        {"<U><V>7</V></U>", "parse error: error during unknown tag in line 1 column 6"},
        {"<U><V>", "parse error: unexpected end of file in line 1 column 6"},
    };
    for (const auto& c : errors) {
        EXPECT_EQ(skip(c.text), -1) << c.text;
        EXPECT_STREQ(xml_error_text(), c.error) << c.text;
    }
}

TEST(XmlSkip, NestingIsBounded) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i)
            s = "<N>" + s + "</N>";
        return s;
    };
    EXPECT_EQ(skip(nested(XML_SKIP_DEPTH_MAX)), 0);
    EXPECT_EQ(skip(nested(XML_SKIP_DEPTH_MAX + 1)), -1);
    EXPECT_STREQ(xml_error_text(), "parse error: nesting too deep in line 1 column 195");
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<N>";
    EXPECT_EQ(skip(deep), -1) << "no stack exhaustion";
}

// -----------------------------------------------------------------------------------------------

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
        EXPECT_EQ((std::vector{load_file("cfg:/missing.xml", &d), load_file("cfg:empty.xml", &d),
                               load_file(d_ + "/display.xml", &d).substr(0, 3),
                               load_file("cfg:/../" + d_.substr(5) + "/display.xml", &d)}),
                  (std::vector<std::string>{"-1 File not found !", "-1 File not found, len invalid!", "-1 ",
                                            "-1 File not found !"}));
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

// -----------------------------------------------------------------------------------------------

// The error texts of the display description reader that documents can reach, each with the line
// and column at which the reader stopped. Fixtures use CR LF line ends, so a column counts from
// its line's start; the expected position is the end of a marker text in the fixture.
const char kEnd[] = "$END"; // marker: the end of the text
const char kNone[] = "";    // no position

struct Case {
    std::string text, message, marker;
    int n = 0; // which occurrence of the marker
};

std::vector<Case> cases() {
    std::vector<Case> c;
    auto add = [&](std::string text, std::string msg, std::string marker, int n = 0) {
        c.push_back({std::move(text), "parse error: " + std::move(msg), std::move(marker), n});
    };
    auto raw = [&](std::string text, std::string msg, std::string marker) { // texts without the prefix
        c.push_back({std::move(text), std::move(msg), std::move(marker)});
    };
    const std::string ok_pages = pages(page(alpha()));
    const std::string ok = doc(ok_pages);

    // ---- declaration, root, brightness ----
    add(with(ok, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", ""), "expecting special tag xml",
        "<Display ");
    add(with(ok, "version=\"1.0\" encoding=\"UTF-8\"", "encoding=\"UTF-8\" version=\"1.0\""),
        " expecting version of xml", "encoding=\"UTF-8\"");
    add(with(ok, "y_res=\"480\">", "y_res=\"480\"/>"), "expecting paramters of display type",
        "y_res=\"480\"/>");
    add(with(ok, " y_res=\"480\"", ""), "missing paramter", "x_res=\"640\">");
    add(with(ok, "x_res=\"640\"", "x_res=\"65536\""), "wrong value", "x_res=\"65536\"");
    add(doc(""), "not all tags found", "</Display>");
    std::string seven = "<Brightness>\n";
    for (int i = 1; i <= 7; ++i)
        seven += "<perc value=\"" + std::to_string(i * 10) + "\"/>\n";
    add(doc(ok_pages, seven + "</Brightness>\n"), "too many values", "value=\"70\"");

    // ---- channel inputs and colours ----
    auto reset = [&](const std::string& from, const std::string& to) {
        return doc(with(ch_input("ResetInput"), from, to) + ok_pages);
    };
    add(reset("quant_f=\"1\"/>", "quant_f=\"1\">"), "expecting paramters of ChannelIn type",
        "quant_f=\"1\">");
    const std::string fg = "<TextFGCol red=\"1\" green=\"2\" blue=\"3\"/>";
    auto text_fg = [&](const std::string& to) { return doc_with(with(alpha(), fg, to)); };
    add(text_fg("<TextFGCol red=\"1\" green=\"2\" blue=\"3\">"), "expecting paramters of rgb type",
        "blue=\"3\">");

    // ---- pages ----
    std::string thirteen;
    for (int i = 0; i < 13; ++i)
        thirteen += page("");
    add(doc(pages(thirteen)), "max page count reached", kNone);
    add(doc(pages("<Pg>\n</Pg>\n")), "expecting page tag", "<Pg>");
    add(doc_with(alpha(prio(kAlphaAttrs, 5)) + bar(prio(kBarAttrs, 7)) + alpha(prio(kAlphaAttrs, 7))),
        "prio not sorted", "</AlphaNumeric>", 1);
    // An element that fails only in the second pass, once the later VerbTabs replaced the first.
    add(doc("<VerbTabs>\n<VerbTab name=\"gear\" default=\"-\">\n</VerbTab>\n</VerbTabs>\n" +
            pages(page(alpha(with(kAlphaAttrs, "vtab=\"\"", "vtab=\"gear\"")))) +
            "<VerbTabs>\n</VerbTabs>\n"),
        "expecting display element tag", "vtab=\"gear\"", 0);

    // ---- element frames and attributes ----
    add(doc_with("<AlphaNumeric " + kAlphaAttrs + "/>\n"), "expecting paramters of alphanum type",
        "%.1f\"/>");
    add(doc_with(alpha(with(kAlphaAttrs, " format_str=\"%.1f\"", ""))), "missing attribute", "vtab=\"\">");

    // Repeated attributes: each element kind has its own copy of the texts; a kind is picked for
    // each text. An attribute the base set lacks is given twice.
    const struct {
        char kind;
        const char *attr, *msg;
    } dups[] = {
        {'a', "title=\"x\"", "title found twice"},
        {'p', "min_disp_time=\"1\"", "min_disp_time found twice"},
        {'b', "style=\"stacked\"", "parameter bar graph style found twice"},
        {'p', "filename=\"b.png\"", "filename found twice"},
    };
    auto element = [](char kind, const std::string& attrs) {
        return kind == 'a' ? alpha(attrs) : kind == 'b' ? bar(attrs) : pic(attrs);
    };
    for (const auto& d : dups) {
        const std::string& base = d.kind == 'a' ? kAlphaAttrs : d.kind == 'b' ? kBarAttrs : kPicAttrs;
        std::string attr = d.attr, name = attr.substr(0, attr.find('=') + 2);
        std::string attrs = base + " " + attr + (base.find(name) == std::string::npos ? " " + attr : "");
        add(doc_with(element(d.kind, attrs)), d.msg, attrs);
    }

    // Bad values.
    const struct {
        char kind;
        const char *from, *to, *msg;
    } bad[] = {
        {'b', "vis_mode=\"always\"", "vis_mode=\"Always\"", "wrong visual mode parameter"},
        {'a', "vtab=\"\"", "vtab=\"gears\"", "vtab reference not found"},
        {'p', "len=\"100\"", "len=\"100\" blink=\"medium\"", "wrong blink type"},
        {'b', "orientation=\"hori_lr\"", "orientation=\"diagonal\"", "wrong bar graph orientation parameter"},
    };
    for (const auto& b : bad) {
        const std::string& base = b.kind == 'a' ? kAlphaAttrs : b.kind == 'b' ? kBarAttrs : kPicAttrs;
        add(doc_with(element(b.kind, with(base, b.from, b.to))), b.msg, b.to);
    }

    // ---- element children and decorations ----
    add(doc_with(alpha(with(kAlphaAttrs, "\"always\"", "\"limit\""))), "not all tags found",
        "</AlphaNumeric>"); // a limit needs a VisInput
    add(doc_with(pic(kPicAttrs, "<TransparentCol>\n</TransparentCol>\n" + middle(pic_deco()))),
        "expecting open tag for rgb type", "<TransparentCol>");
    const std::string lower = "<DecoLower Limit=\"1\" hyst=\"0.5\">\n" + an_deco() + "</DecoLower>\n";
    auto an_child = [&](const std::string& child) {
        return doc_with(alpha(kAlphaAttrs, child + middle(an_deco())));
    };
    auto an_middle = [&](const std::string& deco) { return doc_with(alpha(kAlphaAttrs, middle(deco))); };
    raw(an_child(with(lower, " hyst=\"0.5\"", "")), "attribute missing", "Limit=\"1\">");
    add(doc_with(alpha(kAlphaAttrs, middle(bar_deco()))), "expecting AlphaNumDeco open tag",
        "<BarGraphDeco ");
    raw(doc_with(
            pic(kPicAttrs, col("TransparentCol") + middle(with(pic_deco(), "style=\"none\"", "x=\"1\"")))),
        "attribute style not found", "x=\"1\">");
    add(an_middle(with(an_deco(), fg + "\n", "")), "not all colours found", "</AlphaNumDeco>");

    // ---- tick lists ----
    auto ticks = [&](const std::string& list) {
        return doc_with(
            bar(kBarAttrs, ch_input() + "<TickList>\n" + list + "</TickList>\n" + middle(bar_deco())));
    };
    std::string tabs;
    for (int i = 1; i <= 21; ++i)
        tabs += "<Tab name=\"t" + std::to_string(i) + "\" value=\"" + std::to_string(i) + "\"/>\n";
    add(ticks(tabs), "too many ticks", "<Tab name=\"t20\" value=\"20\"/>");

    // ---- verbal tables ----
    auto vt = [&](const std::string& tables) {
        return doc("<VerbTabs>\n" + tables + "</VerbTabs>\n" + ok_pages);
    };
    const std::string head = "<VerbTab name=\"g\" default=\"-\">\n";
    add(vt(head + "<Tab str=\"a\" num=\"4294967296\"/>\n</VerbTab>\n"), "expecting vtab tag",
        "num=\"4294967296\"");
    // Nums rise as unsigned numbers: -1 is the largest.
    add(vt(head + "<Tab str=\"a\" num=\"-1\"/>\n<Tab str=\"b\" num=\"5\"/>\n</VerbTab>\n"),
        "vtabs not sorted", "<Tab str=\"b\" num=\"5\"/>");

    // ---- skipping, scan errors and cut files ----
    std::string cut = doc_with(alpha());
    add(cut.substr(0, cut.find("</AlphaNumeric>")), "unexpected end of file", kEnd);
    return c;
}

TEST(DisplayReaderErrors, EachTextWithLineAndColumn) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.message + " at " + c.marker);
        std::string text = crlf(c.text);
        std::string expected = c.message;
        if (c.marker == kEnd)
            expected += at(text, text);
        else if (!c.marker.empty())
            expected += at(text, crlf(c.marker), c.n);
        Parsed p;
        parse(text, &p);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.error, expected);
    }
}

// -----------------------------------------------------------------------------------------------

// Verbal tables: the AVL tree built from rising numbers, lookup with the default text, and the
// VerbTabs section of a description.
int height(const vtab_entry_s* e) {
    return e ? 1 + std::max(height(e->left), height(e->right)) : 0;
}
void walk(const vtab_entry_s* e, std::vector<int32_t>& out) {
    if (!e) return;
    walk(e->left, out);
    out.push_back(e->num);
    walk(e->right, out);
}

std::string lookup(const vtab_s* t, uint32_t v) {
    char out[255];
    EXPECT_EQ(XmlVTabOutput(t, v, out), 0);
    return out;
}

// Every number once and in order, in a tree no higher than the fewest bits that count them.
TEST(VerbalTableTree, RisingInsertionsStayBalancedAndShallow) {
    for (size_t n : {1, 2, 3, 15, 16, 17, 100, 1000, 1023, 1024, 4099}) {
        std::vector<vtab_entry_s> entries(n);
        vtab_entry_s* root = nullptr;
        std::vector<int32_t> want, got;
        for (size_t i = 0; i < n; ++i) {
            want.push_back(entries[i].num = static_cast<int32_t>(i * 3));
            XmlAVLinsert(&root, &entries[i]);
        }
        walk(root, got);
        EXPECT_EQ(got, want) << n;
        EXPECT_EQ(height(root), std::bit_width(n)) << n;
    }
}

// A VerbTabs section; each table is its head and its Tab lines.
std::string vtabs(const std::vector<std::pair<std::string, std::string>>& tables) {
    std::string s = "<VerbTabs>\n";
    for (const auto& [head, body] : tables)
        s += head + body + "</VerbTab>\n";
    return s + "</VerbTabs>\n";
}

std::string tabs(const std::vector<int64_t>& nums) {
    std::string s;
    for (int64_t n : nums)
        s += "<Tab num=\"" + std::to_string(n) + "\" str=\"n" + std::to_string(n) + "\"/>\n";
    return s;
}

TEST(VerbalTables, SectionWithSeveralTables) {
    std::string long_text(254, 't');
    std::string section = vtabs({
        {"<VerbTab name=\"gear\" default=\"?\">\n", tabs({0, 1, 2, 3})},
        {"<VerbTab name=\"empty\" default=\"--\" comment=\"ignored\">\n", ""},
        {"<VerbTab name=\"signed\" default=\"d\">\n", tabs({5, 2147483647, -2147483648, -1})},
        {"<VerbTab default=\"later\" name=\"gear\">\n", tabs({10})},
        {"<VerbTab name=\"a&amp;b\" default=\"" + long_text + "\">\n",
         "<Tab str=\"&lt;P&gt;\" num=\"1\"/>\n"},
    });
    Parsed p;
    load(doc(section + pages("")), &p);
    // The list runs from the last table of the file to the first; a name defined twice resolves
    // to the later table; negative nums sort after the positive ones (unsigned order).
    std::vector<std::string> names;
    for (const vtab_s* t = p.d->vtabs; t; t = t->next)
        names.push_back(t->name);
    EXPECT_EQ(names, (std::vector<std::string>{"a&b", "gear", "signed", "empty", "gear"}));
    const struct {
        const char* table;
        uint32_t value;
        std::string text;
    } cases[] = {{"gear", 10, "n10"},
                 {"gear", 3, "later"},
                 {"empty", 0, "--"},
                 {"signed", 0xFFFFFFFFu, "n-1"},
                 {"signed", 0x80000000u, "n-2147483648"},
                 {"signed", 0x7FFFFFFFu, "n2147483647"},
                 {"signed", 6, "d"},
                 {"a&b", 1, "<P>"},
                 {"a&b", 2, long_text}};
    for (const auto& c : cases)
        EXPECT_EQ(lookup(XmlSearchVTab(p.d->vtabs, c.table), c.value), c.text) << c.table << " " << c.value;
}

TEST(VerbalTables, CountsAreLimitedTo65535) {
    std::string head = "<VerbTab name=\"big\" default=\"-\">\n";
    std::vector<int64_t> nums(65535);
    for (size_t i = 0; i < nums.size(); ++i)
        nums[i] = static_cast<int64_t>(i);
    {
        Parsed p;
        parse(doc(vtabs({{head, tabs(nums)}}) + pages("")), &p);
        ASSERT_EQ(p.result, 0) << p.error;
        EXPECT_EQ(height(p.d->vtabs->root), 16);
        EXPECT_EQ(lookup(p.d->vtabs, 65534), "n65534");
    }
    nums.push_back(65535);
    Parsed p;
    parse(doc(vtabs({{head, tabs(nums)}}) + pages("")), &p);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.error.rfind("parse error: too many verbal table entries in line ", 0), 0u) << p.error;

    std::string many;
    for (int i = 0; i < 65536; ++i)
        many += "<VerbTab name=\"\" default=\"\">\n</VerbTab>\n";
    Parsed q;
    parse(doc("<VerbTabs>\n" + many + "</VerbTabs>\n" + pages("")), &q);
    EXPECT_EQ(q.result, -1);
    EXPECT_EQ(q.error.rfind("parse error: too many verbal tables in line ", 0), 0u) << q.error;
}

} // namespace
