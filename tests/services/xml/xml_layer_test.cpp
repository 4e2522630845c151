// XML reading layer: token stream, skipping, positions, files, typed attributes, value
// tables, number parsers and error texts.
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "services/xml/xml.h"
#include "xml_test_util.h"

using namespace xmltest;

namespace {

// Catches the thrown text of f, or "" when nothing was thrown.
template <typename F> std::string thrown(F f) {
    try {
        f();
    } catch (const char* e) {
        return e;
    }
    return "";
}

std::string tokens(XmlScan& scan, int count) {
    std::string out;
    XmlTok_t tok;
    for (int i = 0; i < count; i++) {
        scan.getTok(&tok);
        out += (out.empty() ? "" : " ") + std::to_string(tok.type) +
               (*tok.name ? std::string(":") + tok.name : "");
    }
    return out;
}

} // namespace

TEST(XmlScan, TokenStream) {
    const struct {
        const char* doc;
        int count;
        const char* want;
    } cases[] = {
        {"<a/>", 4, "1:a 3:a 6 6"},
        {"<a x='1'><b>text</b><c/><d></d></a>", 10, "1:a 2:a 0:b 4:b 1:c 3:c 0:d 4:d 4:a 6"},
        {"<?xml version='1.0'?>\n<!-- c --><a>\n <b y='2'>t<![CDATA[x]]></b>\n</a>\n", 6,
         "0:a 1:b 2:b 4:b 4:a 6"},
        {"<p:a xmlns:p='urn:x:y' p:k='v'/>", 3, "1:a 3:a 6"},
    };
    for (const auto& c : cases) {
        XmlScan scan(c.doc);
        EXPECT_EQ(c.want, tokens(scan, c.count)) << c.doc;
        EXPECT_TRUE(scan.isEof());
    }
}

TEST(XmlScan, NestingOfTokensBalancesOverEveryCorpusDocument) {
    for (const char* name : {"can.xml", "namespaces.xml", "entities.xml", "channels.xml", "display.xml"}) {
        XmlFile file((sourceDir() + "/tests/services/xml/corpus/" + name).c_str());
        XmlScan* scan = file.getScanner();
        XmlTok_t tok;
        int level = 0, tokens = 0;
        for (scan->getTok(&tok); tok.type != XmlTokEof; scan->getTok(&tok), tokens++) {
            level += scan->getNesting(&tok);
            ASSERT_GE(level, 0) << name;
        }
        EXPECT_EQ(0, level) << name;
        EXPECT_GT(tokens, 10) << name;
    }
    XmlScan scan("<a/>");
    XmlTok_t odd{9, "", ""};
    EXPECT_EQ("unhandled token type in getNesting()", thrown([&] { scan.getNesting(&odd); }));
}

TEST(XmlScan, GetAttribute) {
    XmlScan scan("<a>\n  <b p:one='1' two='2' xmlns:p='urn:p'/></a>");
    XmlTok_t tok;
    scan.getTok(&tok);
    scan.getTok(&tok);
    ASSERT_EQ(XmlTokStartAttr, tok.type);
    XmlTok_t attr{XmlTokNone, "one", ""};
    EXPECT_EQ(0, scan.getAttribute(&attr)); // by local name
    EXPECT_EQ(XmlTokAttr, attr.type);
    EXPECT_STREQ("1", attr.value);
    attr = {XmlTokNone, "three", ""};
    EXPECT_EQ(-1, scan.getAttribute(&attr));
    EXPECT_EQ(XmlTokError, attr.type);
    attr.name = nullptr;
    EXPECT_EQ("XmlScan getAttribute received a NULL pointer in line 2 column 2",
              thrown([&] { scan.getAttribute(&attr); }));
    EXPECT_EQ("XmlScan getAttribute received a NULL pointer in line 2 column 2",
              thrown([&] { scan.getAttribute(nullptr); }));
}

TEST(XmlScan, ScanOverTag) {
    const char* doc = "<r><skip a='1'><x><y/></x>text</skip><plain><z/></plain><after a='1'/><e/>"
                      "<last><deep/></last></r>";
    XmlScan scan(doc);
    XmlTok_t tok;
    scan.getTok(&tok); // 0 r
    scan.getTok(&tok); // 1 skip, closing pending
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    scan.getTok(&tok);
    EXPECT_EQ("0:plain", std::to_string(tok.type) + ":" + tok.name);
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    scan.getTok(&tok); // 1 after
    EXPECT_STREQ("after", tok.name);
    XmlTagParser none(0);
    ASSERT_EQ(XmlTokEmptyClose, none.parse(&scan));
    // The element is complete: skipping it must not swallow the rest of <r>.
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    scan.getTok(&tok);
    EXPECT_STREQ("e", tok.name);
    EXPECT_EQ(0, scan.scanOverTag(&tok)); // pending empty element
    EXPECT_EQ(XmlTokEmptyClose, tok.type);
    scan.getTok(&tok);
    EXPECT_STREQ("last", tok.name);
    scan.getTok(&tok); // 1 deep
    scan.getTok(&tok); // 3 deep
    scan.getTok(&tok); // 4 last: not a start tag
    EXPECT_EQ(XmlTokEnd, tok.type);
    EXPECT_EQ(-1, scan.scanOverTag(&tok));
    scan.getTok(&tok); // 4 r
    scan.getTok(&tok); // 6
    EXPECT_EQ(1, scan.scanOverTag(&tok));

    XmlScan broken("<r><s><x></s></r>");
    broken.getTok(&tok);
    broken.getTok(&tok);
    EXPECT_EQ(-1, broken.scanOverTag(&tok));
    EXPECT_TRUE(broken.isEof());
}

TEST(XmlScan, SetPosReturnsToASavedTag) {
    const char* doc = "<list>\n  <ch n='1'/>\n  <ch n='2'>\n    <sub/>\n  </ch>\n  <ch n='3'/>\n</list>\n";
    XmlScan scan(doc);
    XmlTok_t tok;
    XmlPos_t pos;
    scan.getTok(&tok);
    scan.getTok(&tok); // 1 ch (n=1)
    scan.getTok(&tok); // 3 ch
    scan.getTok(&tok); // 1 ch (n=2), closing pending
    scan.getPos(&pos);
    std::string rest = tokens(scan, 7);
    EXPECT_EQ("2:ch 1:sub 3:sub 4:ch 1:ch 3:ch 4:list", rest);

    scan.setPos(&pos); // behind: restarts the parser
    XmlTok_t a{XmlTokNone, "n", ""};
    EXPECT_EQ(0, scan.getAttribute(&a));
    EXPECT_STREQ("2", a.value);
    EXPECT_EQ(rest, tokens(scan, 7));

    XmlScan other(doc); // ahead: steps forward
    other.setPos(&pos);
    EXPECT_EQ(rest, tokens(other, 7));

    EXPECT_EQ("setPos failed - NULL ptr received", thrown([&] { other.setPos(nullptr); }));
    XmlPos_t beyond = pos;
    beyond.line = 99;
    EXPECT_EQ("setPos failed - reached EOF or XML error in line 7 column 0",
              thrown([&] { other.setPos(&beyond); }));
}

TEST(XmlScan, ParserErrorsAreThrownWithThePosition) {
    XmlScan scan("<a>\n<b></c></a>");
    XmlTok_t tok;
    scan.getTok(&tok);
    scan.getTok(&tok);
    EXPECT_EQ("XmlScan Error: (File(<string>) Error(7):mismatched tag at line 2, col 5\n) in line 2 column 0",
              thrown([&] { scan.getTok(&tok); }));
    EXPECT_EQ(XmlTokError, tok.type);
    EXPECT_TRUE(scan.isEof());

    // The error of the very first token surfaces on the first getTok.
    XmlScan early("not xml");
    EXPECT_NE("", thrown([&] { early.getTok(&tok); }));
    EXPECT_EQ("Failed to start the XPP parser in line 0 column 0", thrown([] { XmlScan none(nullptr); }));
}

TEST(XmlFile, LoadsOrExplains) {
    std::string missing = scratchDir() + "missing.xml";
    EXPECT_EQ("File not found : " + missing, thrown([&] { XmlFile f(missing.c_str()); }));
    std::string empty = writeFile("empty.xml", "");
    EXPECT_EQ("File not found, len invalid : " + empty, thrown([&] { XmlFile f(empty.c_str()); }));
    EXPECT_EQ("File read error : " + scratchDir(), thrown([&] { XmlFile f(scratchDir().c_str()); }));

    XmlFile f((sourceDir() + "/tests/services/xml/corpus/can.xml").c_str());
    EXPECT_EQ("1:Can 2:Can 0:CanIn 1:CanMb", tokens(*f.getScanner(), 4));
}

TEST(XmlError, Forms) {
    XmlScan scan("<a>\n   <b/></a>");
    XmlTok_t tok;
    scan.getTok(&tok);
    scan.getTok(&tok);
    EXPECT_STREQ("plain", XmlError("plain"));
    EXPECT_STREQ("File not found : x.xml", XmlError("File not found : ", "x.xml"));
    EXPECT_STREQ("bad in line 2 column 3", XmlError("bad", &scan));
    EXPECT_STREQ("bad (x) in line 2 column 3", XmlError("bad", "x", &scan));
    EXPECT_STREQ("outer: inner", XmlError("outer: ", XmlError("inner")));
    std::string longText(400, 'z');
    EXPECT_EQ(253u, strlen(XmlError(longText.c_str())));
}

TEST(XmlError, EachThreadHasItsOwnText) {
    std::promise<void> built, overwritten;
    std::promise<std::string> seen;
    std::thread other([&] {
        const char* mine = XmlError("from the other thread");
        built.set_value();
        overwritten.get_future().wait();
        seen.set_value(mine);
    });
    built.get_future().wait();
    const char* here = XmlError("from this thread");
    overwritten.set_value();
    EXPECT_EQ("from the other thread", seen.get_future().get());
    EXPECT_STREQ("from this thread", here);
    other.join();
}

// One typed attribute x of size `size` read from <t x="value"/>.
TEST(XmlTagParser, TypedAttributes) {
    XmlVTabParser vtab(3);
    vtab.addPair("one", 1);
    vtab.addPair("two", 2);
    vtab.addPair("two", 22); // the first pair of a name counts
    using B = std::vector<uint8_t>;
    // Byte images are little-endian, as on the unit.
    const struct {
        xmlType_t type;
        int size;
        const char* value;
        B bytes;
        const char* error;
    } cases[] = {
        {xmlTypeInt, 1, "-128", {0x80}, nullptr},
        {xmlTypeInt, 1, "127", {0x7F}, nullptr},
        {xmlTypeInt, 1, "200", {}, "attribute has wrong number"},
        {xmlTypeInt, 2, "-32768", {0x00, 0x80}, nullptr},
        {xmlTypeInt, 2, "32768", {}, "attribute has wrong number"},
        {xmlTypeInt, 4, "-1", {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
        {xmlTypeInt, 4, "2147483648", {}, "attribute has wrong number"},
        {xmlTypeInt, 8, "0", B(8, 0), nullptr},
        {xmlTypeInt, 8, "1", {}, "attribute has wrong number"},
        {xmlTypeUInt, 1, "255", {0xFF}, nullptr},
        {xmlTypeUInt, 1, "256", {}, "attribute has wrong number"},
        {xmlTypeUInt, 2, "-1", {}, "attribute has wrong number"},
        {xmlTypeUInt, 4, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
        {xmlTypeUInt, 4, "4294967296", {}, "attribute has wrong number"},
        {xmlTypeHex, 2, "1A", {0x1A, 0x00}, nullptr},
        {xmlTypeHex, 2, "0x1A", {}, "attribute is no hex number"},
        {xmlTypeHex, 1, "100", {}, "attribute is no hex number"},
        {xmlTypeHex, 4, "DEADbeef", {0xEF, 0xBE, 0xAD, 0xDE}, nullptr},
        {xmlTypeHex, 4, "123456789", {}, "attribute is no hex number"},
        {xmlTypeHex64, 8, "0123456789abcdef", {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, nullptr},
        {xmlTypeHex64, 8, "10123456789abcdef", {}, "attribute is no hex64 number"},
        {xmlTypeHex64, 4, "100000000", {}, "attribute is no hex64 number"},
        {xmlTypeFloat, 4, "1.5", {0x00, 0x00, 0xC0, 0x3F}, nullptr},
        {xmlTypeFloat, 8, "-2.25e2", {0, 0, 0, 0, 0, 0x20, 0x6C, 0xC0}, nullptr},
        {xmlTypeFloat, 4, "1,5", {}, "attribute has wrong number"},
        {xmlTypeString, 4, "abcdef", {'a', 'b', 'c', 'd'}, nullptr}, // no terminating zero
        {xmlTypeString, 6, "ab", {'a', 'b', 0, 0, 0, 0}, nullptr},
        {xmlTypeVTab, 1, "two", {2}, nullptr},
        {xmlTypeVTab, 4, "one", {1, 0, 0, 0}, nullptr},
    };
    for (const auto& c : cases) {
        std::string doc = std::string("<t x=\"") + c.value + "\"/>";
        SCOPED_TRACE(doc + " type " + std::to_string(c.type) + " size " + std::to_string(c.size));
        XmlScan scan(doc.c_str());
        XmlTok_t tok;
        scan.getTok(&tok);
        uint8_t target[12];
        memset(target, 0xEE, sizeof target);
        XmlTagParser tp(1);
        if (c.type == xmlTypeVTab)
            tp.addAttributeVTab("x", &vtab, target, c.size, true);
        else
            tp.addAttribute("x", target, c.size, c.type, true);
        std::string error = thrown([&] { EXPECT_EQ(XmlTokEmptyClose, tp.parse(&scan)); });
        if (c.error) {
            EXPECT_EQ(std::string(c.error) + " (x) in line 1 column 0", error);
            EXPECT_EQ(B(sizeof target, 0xEE), B(target, target + sizeof target)) << "target written";
            continue;
        }
        EXPECT_EQ("", error);
        EXPECT_EQ(c.bytes, B(target, target + c.bytes.size()));
        EXPECT_EQ(0xEE, target[c.bytes.size()]) << "written beyond the field";
    }
}

TEST(XmlTagParser, DeclarationsAndTagHandling) {
    XmlTok_t tok;
    {
        // A missing mandatory attribute names itself and the tag's position.
        XmlScan scan("<a>\n<b>\n<c>\n  <Channel type='x'/></c></b></a>");
        for (int i = 0; i < 4; i++)
            scan.getTok(&tok);
        char name[8];
        XmlTagParser tp(1);
        tp.addAttribute("name", name, sizeof name, xmlTypeString, true);
        EXPECT_EQ("mandatory attribute not found (name) in line 4 column 2",
                  thrown([&] { tp.parse(&scan); }));
    }
    {
        // Optional attributes keep the caller's default; unknown ones are ignored.
        XmlScan scan("<ch adr='10' other='x'>\n<sub/></ch>");
        scan.getTok(&tok);
        uint32_t adr = 0, pid = 7;
        XmlTagParser tp(2);
        tp.addAttribute("adr", &adr, 4, xmlTypeHex, true);
        tp.addAttribute("pid", &pid, 4, xmlTypeUInt, false);
        EXPECT_EQ(XmlTokStartClose, tp.parse(&scan));
        EXPECT_EQ(0x10u, adr);
        EXPECT_EQ(7u, pid);
        scan.getTok(&tok);
        EXPECT_STREQ("sub", tok.name);
    }
    {
        XmlScan scan("<t a='1'/>");
        scan.getTok(&tok);
        uint32_t v;
        XmlTagParser four(4);
        four.addAttribute("a", &v, 4, xmlTypeUInt, true);
        four.addAttribute("b", &v, 4, xmlTypeUInt, false);
        four.addAttribute("c", &v, 4, xmlTypeUInt, false);
        EXPECT_EQ("parse: less tags used!", thrown([&] { four.parse(&scan); }));
        four.addAttribute("d", &v, 4, xmlTypeUInt, false);
        EXPECT_EQ("addAttribute #tags exceeded!",
                  thrown([&] { four.addAttribute("e", &v, 4, xmlTypeUInt, false); }));
        EXPECT_EQ("addAttributeVTab #tags exceeded!",
                  thrown([&] { four.addAttributeVTab("e", nullptr, &v, 4, false); }));
        std::string longName(300, 'n');
        XmlTagParser one(1);
        EXPECT_NE("", thrown([&] { one.addAttribute(longName.c_str(), &v, 4, xmlTypeUInt, false); }));
    }
    {
        // Without a start tag whose closing is pending there is nothing to parse.
        XmlScan scan("<t>\n<u/></t>");
        scan.getTok(&tok); // 0 t
        XmlTagParser tp(0);
        EXPECT_EQ("unexpected token after parsing attributes in line 2 column 0",
                  thrown([&] { tp.parse(&scan); }));
    }
    {
        XmlScan scan("<t k='three'/>");
        scan.getTok(&tok);
        XmlVTabParser vtab(2);
        vtab.addPair("one", 1);
        int k = -5;
        XmlTagParser tp(1);
        tp.addAttributeVTab("k", &vtab, &k, 4, true);
        EXPECT_EQ("parse: less vtags used!", thrown([&] { tp.parse(&scan); }));
        vtab.addPair("two", 2);
        EXPECT_EQ("addPair #vtags exceeded!", thrown([&] { vtab.addPair("three", 3); }));
        EXPECT_EQ("attribute has wrong value (three) in line 1 column 0", thrown([&] { tp.parse(&scan); }));
        EXPECT_EQ(-5, k);
        EXPECT_EQ(-1, vtab.parse("three", &k));
        EXPECT_EQ(0, vtab.parse("two", &k));
        EXPECT_EQ(2, k);
    }
}

// A reader as the configuration readers use the layer: known tags through tag parsers,
// unknown ones skipped.
TEST(XmlTagParser, ReaderOverChannelList) {
    XmlFile file((sourceDir() + "/tests/services/xml/corpus/channels.xml").c_str());
    XmlScan* scan = file.getScanner();
    XmlVTabParser types(8);
    const char* names[] = {"UINT8", "SINT8", "UINT16", "SINT16", "UINT32", "SINT32", "FLOAT", "BOOL"};
    for (int i = 0; i < 8; i++)
        types.addPair(names[i], i + 1);
    struct Channel {
        int type;
        uint32_t adr, mask, pid;
        float coef[6];
        char name[256];
    } ch;
    XmlTagParser tp(10);
    tp.addAttributeVTab("type", &types, &ch.type, sizeof ch.type, true);
    tp.addAttribute("adr", &ch.adr, 4, xmlTypeHex, true);
    tp.addAttribute("mask", &ch.mask, 4, xmlTypeHex, true);
    const char* coefNames[] = {"a", "b", "c", "d", "e", "f"};
    for (int i = 0; i < 6; i++)
        tp.addAttribute(coefNames[i], &ch.coef[i], 4, xmlTypeFloat, true);
    tp.addAttribute("name", ch.name, 255, xmlTypeString, false);

    std::vector<std::string> found;
    XmlTok_t tok;
    while (!scan->isEof()) {
        scan->getTok(&tok);
        if (tok.type == XmlTokStartAttr && strcmp(tok.name, "Channel") == 0) {
            memset(&ch, 0, sizeof ch);
            strcpy(ch.name, "unnamed");
            if (tp.parse(scan) == XmlTokStartClose) scan->scanOverTag(&tok);
            found.push_back(std::string(ch.name) + "/" + std::to_string(ch.type) + "/" +
                            std::to_string(ch.adr) + "/" + std::to_string(static_cast<int>(ch.coef[1] * 10)));
        } else if (tok.type == XmlTokStartAttr && strcmp(tok.name, "MasterChannels") == 0) {
            XmlTagParser none(0);
            none.parse(scan);
        }
    }
    const std::vector<std::string> want = {"Speed/3/16777232/10", "Gear/2/16777248/10", "OilT/7/16777252/15",
                                           "Lambda/5/117440768/10", "unnamed/8/117440772/10"};
    EXPECT_EQ(want, found);
}

TEST(XmlHelper, Numbers) {
    const struct {
        const char* text;
        int32_t min, max;
        int rc;
        int32_t value;
    } ints[] = {
        {"-12", -100, 100, 0, -12},
        {"+7", 0, 10, 0, 7},
        {"", -1, 1, 0, 0},
        {"-", -1, 1, 0, 0},
        {" 1", 0, 100, -1, 0},
        {"101", 0, 100, -1, 0},
        {"-2147483648", INT32_MIN, INT32_MAX, 0, INT32_MIN},
        {"2147483648", INT32_MIN, INT32_MAX, -1, 0},
        {"99999999999999999999", INT32_MIN, INT32_MAX, -1, 0},
    };
    for (const auto& c : ints) {
        int32_t v = 12345;
        EXPECT_EQ(c.rc, XmlHelper::getInt(c.text, &v, c.min, c.max)) << c.text;
        EXPECT_EQ(c.rc == 0 ? c.value : 12345, v) << c.text;
    }
    uint32_t u = 777;
    EXPECT_EQ(-1, XmlHelper::getUInt("+1", &u, 0, 9));
    EXPECT_EQ(-1, XmlHelper::getUInt("4294967296", &u, 0, UINT32_MAX));
    EXPECT_EQ(0, XmlHelper::getUInt("4294967295", &u, 0, UINT32_MAX));
    EXPECT_EQ(UINT32_MAX, u);

    const struct {
        const char* text;
        uint32_t min;
        int rc;
        uint32_t value;
    } hexes[] = {
        {"1a", 0, 0, 0x1A}, {"FFFFFFFF", 0, 0, 0xFFFFFFFF}, {"", 0, 0, 0},
        {"", 1, -1, 0},     {"123456789", 0, -1, 0},        {"0x1", 0, -1, 0},
        {"g", 0, -1, 0},
    };
    for (const auto& c : hexes) {
        uint32_t v = 777;
        EXPECT_EQ(c.rc, XmlHelper::getHex(c.text, &v, c.min, UINT32_MAX)) << c.text;
        EXPECT_EQ(c.rc == 0 ? c.value : 777u, v) << c.text;
    }
    uint64_t v64 = 0;
    EXPECT_EQ(0, XmlHelper::getHex64("fedcba9876543210", &v64, 0, UINT64_MAX));
    EXPECT_EQ(0xfedcba9876543210ull, v64);
    EXPECT_EQ(-1, XmlHelper::getHex64("10000000000000000", &v64, 0, UINT64_MAX));

    const struct {
        const char* text;
        int rc;
        float value;
    } floats[] = {
        {"-2.25e2", 0, -225.0f}, {"+4E-1", 0, 0.4f}, {"", 0, 0.0f},  {"12.", 0, 12.0f},  {"0.1", 0, 0.1f},
        {"1.5x", -1, 0},         {"1e39", -1, 0},    {"- 1", -1, 0}, {"1e-50", 0, 0.0f},
    };
    for (const auto& c : floats) {
        float f = 99.0f;
        EXPECT_EQ(c.rc, XmlHelper::getFloat(c.text, &f)) << c.text;
        EXPECT_FLOAT_EQ(c.rc == 0 ? c.value : 99.0f, f) << c.text;
    }

    bool b = false;
    EXPECT_EQ(0, XmlHelper::getBool("True", &b));
    EXPECT_TRUE(b);
    EXPECT_EQ(0, XmlHelper::getBool("False", &b));
    EXPECT_FALSE(b);
    for (const char* bad : {"true", "True ", "1", ""})
        EXPECT_EQ(-1, XmlHelper::getBool(bad, &b)) << bad;
}
