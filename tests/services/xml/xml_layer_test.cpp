// XML reading layer: token stream, skipping, positions, files, typed attributes, value
// tables, number parsers and error texts.
#include <algorithm>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "services/xml/xml.h"
#include "support/pyref.h"
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

// The next `count` tokens as "type:name".
std::string tokens(XmlScan& scan, int count, XmlTok_t* last = nullptr) {
    std::string out;
    XmlTok_t tok;
    for (int i = 0; i < count; i++) {
        scan.getTok(&tok);
        out += (out.empty() ? "" : " ") + std::to_string(tok.type) +
               (*tok.name ? std::string(":") + tok.name : "");
    }
    if (last) *last = tok;
    return out;
}

} // namespace

TEST(XmlScan, TokenStreamAndNesting) {
    const struct {
        const char *doc, *want;
    } cases[] = {
        {"<a/>", "1:a 3:a 6 6"},
        {"<a x='1'><b>text</b><c/><d></d></a>", "1:a 2:a 0:b 4:b 1:c 3:c 0:d 4:d 4:a 6"},
        {"<?xml version='1.0'?>\n<!-- c --><a>\n <b y='2'>t<![CDATA[x]]></b>\n</a>\n",
         "0:a 1:b 2:b 4:b 4:a 6"},
        {"<p:a xmlns:p='urn:x:y' p:k='v'/>", "1:a 3:a 6"},
    };
    for (const auto& c : cases) {
        XmlScan scan(c.doc);
        EXPECT_EQ(c.want,
                  tokens(scan, static_cast<int>(std::count(c.want, c.want + strlen(c.want), ' ') + 1)));
        EXPECT_TRUE(scan.isEof());
    }
    for (const char* name : {"can.xml", "namespaces.xml", "entities.xml", "channels.xml", "display.xml"}) {
        XmlFile file((sourceDir() + "/tests/services/xml/corpus/" + name).c_str());
        XmlTok_t tok;
        int level = 0, count = 0;
        for (file.getScanner()->getTok(&tok); tok.type != XmlTokEof;
             file.getScanner()->getTok(&tok), count++) {
            level += file.getScanner()->getNesting(&tok);
            ASSERT_GE(level, 0) << name;
        }
        EXPECT_EQ(0, level) << name;
        EXPECT_GT(count, 10) << name;
    }
    XmlScan scan("<a/>");
    XmlTok_t odd{9, "", ""};
    EXPECT_EQ("unhandled token type in getNesting()", thrown([&] { scan.getNesting(&odd); }));
}

TEST(XmlScan, GetAttributeAndErrors) {
    XmlScan scan("<a>\n  <b p:one='1' two='2' xmlns:p='urn:p'/></a>");
    ASSERT_EQ("0:a 1:b", tokens(scan, 2));
    XmlTok_t attr{XmlTokNone, "one", ""};
    EXPECT_EQ(0, scan.getAttribute(&attr)); // by local name
    EXPECT_EQ(std::string("5 1"), std::to_string(attr.type) + " " + attr.value);
    attr = {XmlTokNone, "three", ""};
    EXPECT_EQ(-1, scan.getAttribute(&attr));
    EXPECT_EQ(XmlTokError, attr.type);
    attr.name = nullptr;
    for (XmlTok_t* t : {&attr, static_cast<XmlTok_t*>(nullptr)})
        EXPECT_EQ("XmlScan getAttribute received a NULL pointer in line 2 column 2",
                  thrown([&] { scan.getAttribute(t); }));

    XmlScan bad("<a>\n<b></c></a>");
    XmlTok_t tok;
    EXPECT_EQ("XmlScan Error: (File(<string>) Error(7):mismatched tag at line 2, col 5\n) in line 2 column 0",
              thrown([&] { tokens(bad, 3, &tok); }));
    EXPECT_TRUE(bad.isEof());
    // The error of the very first token surfaces on the first getTok.
    XmlScan early("not xml");
    EXPECT_NE("", thrown([&] { early.getTok(&tok); }));
    EXPECT_EQ("Failed to start the XPP parser in line 0 column 0", thrown([] { XmlScan none(nullptr); }));
}

TEST(XmlScan, ScanOverTag) {
    XmlScan scan("<r><skip a='1'><x><y/></x>text</skip><plain><z/></plain><after a='1'/><e/>"
                 "<last><deep/></last></r>");
    XmlTok_t tok;
    EXPECT_EQ("0:r 1:skip", tokens(scan, 2, &tok)); // its closing is pending
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    EXPECT_EQ("0:plain", tokens(scan, 1, &tok));
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    EXPECT_EQ("1:after", tokens(scan, 1, &tok));
    XmlTagParser none(0);
    ASSERT_EQ(XmlTokEmptyClose, none.parse(&scan));
    // The element is complete: skipping it must not swallow the rest of <r>.
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    EXPECT_EQ("1:e", tokens(scan, 1, &tok));
    EXPECT_EQ(0, scan.scanOverTag(&tok)); // pending empty element
    EXPECT_EQ(XmlTokEmptyClose, tok.type);
    EXPECT_EQ("0:last 1:deep 3:deep 4:last", tokens(scan, 4, &tok));
    EXPECT_EQ(-1, scan.scanOverTag(&tok)); // not a start tag
    EXPECT_EQ("4:r 6", tokens(scan, 2, &tok));
    EXPECT_EQ(1, scan.scanOverTag(&tok));

    XmlScan broken("<r><s><x></s></r>");
    tokens(broken, 2, &tok);
    EXPECT_EQ(-1, broken.scanOverTag(&tok));
    EXPECT_TRUE(broken.isEof());
}

TEST(XmlScan, SetPosReturnsToASavedTag) {
    const char* doc = "<list>\n  <ch n='1'/>\n  <ch n='2'>\n    <sub/>\n  </ch>\n  <ch n='3'/>\n</list>\n";
    XmlScan scan(doc);
    XmlPos_t pos;
    EXPECT_EQ("0:list 1:ch 3:ch 1:ch", tokens(scan, 4)); // at ch n=2, closing pending
    scan.getPos(&pos);
    const std::string rest = "2:ch 1:sub 3:sub 4:ch 1:ch 3:ch 4:list";
    EXPECT_EQ(rest, tokens(scan, 7));
    scan.setPos(&pos); // behind: restarts the parser
    XmlTok_t a{XmlTokNone, "n", ""};
    EXPECT_EQ(0, scan.getAttribute(&a));
    EXPECT_STREQ("2", a.value);
    EXPECT_EQ(rest, tokens(scan, 7));
    XmlScan other(doc); // ahead: steps forward
    other.setPos(&pos);
    EXPECT_EQ(rest, tokens(other, 7));
    EXPECT_EQ("setPos failed - NULL ptr received", thrown([&] { other.setPos(nullptr); }));
    pos.line = 99;
    EXPECT_EQ("setPos failed - reached EOF or XML error in line 7 column 0",
              thrown([&] { other.setPos(&pos); }));
}

TEST(XmlFileAndError, LoadsOrExplainsAndErrorForms) {
    std::string missing = scratchDir() + "missing.xml", empty = writeFile("empty.xml", "");
    EXPECT_EQ("File not found : " + missing, thrown([&] { XmlFile f(missing.c_str()); }));
    EXPECT_EQ("File not found, len invalid : " + empty, thrown([&] { XmlFile f(empty.c_str()); }));
    EXPECT_EQ("File read error : " + scratchDir(), thrown([&] { XmlFile f(scratchDir().c_str()); }));
    XmlFile f((sourceDir() + "/tests/services/xml/corpus/can.xml").c_str());
    EXPECT_EQ("1:Can 2:Can 0:CanIn 1:CanMb", tokens(*f.getScanner(), 4));

    XmlScan scan("<a>\n   <b/></a>");
    tokens(scan, 2);
    EXPECT_STREQ("File not found : x.xml", XmlError("File not found : ", "x.xml"));
    EXPECT_STREQ("bad in line 2 column 3", XmlError("bad", &scan));
    EXPECT_STREQ("bad (x) in line 2 column 3", XmlError("bad", "x", &scan));
    EXPECT_STREQ("outer: inner", XmlError("outer: ", XmlError("inner")));
    EXPECT_EQ(253u, strlen(XmlError(std::string(400, 'z').c_str())));

    // Each thread has its own text.
    std::promise<void> built, overwritten;
    std::string seen;
    std::thread other([&] {
        const char* mine = XmlError("from the other thread");
        built.set_value();
        overwritten.get_future().wait();
        seen = mine;
    });
    built.get_future().wait();
    const char* here = XmlError("from this thread");
    overwritten.set_value();
    other.join();
    EXPECT_EQ("from the other thread", seen);
    EXPECT_STREQ("from this thread", here);
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
        {xmlTypeInt, 1, "200", {}, "attribute has wrong number"},
        {xmlTypeInt, 2, "-32768", {0x00, 0x80}, nullptr},
        {xmlTypeInt, 2, "32768", {}, "attribute has wrong number"},
        {xmlTypeInt, 4, "-1", {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
        {xmlTypeInt, 4, "2147483648", {}, "attribute has wrong number"},
        {xmlTypeInt, 8, "1", {}, "attribute has wrong number"},
        {xmlTypeUInt, 1, "255", {0xFF}, nullptr},
        {xmlTypeUInt, 1, "256", {}, "attribute has wrong number"},
        {xmlTypeUInt, 2, "-1", {}, "attribute has wrong number"},
        {xmlTypeUInt, 4, "4294967296", {}, "attribute has wrong number"},
        {xmlTypeHex, 2, "1A", {0x1A, 0x00}, nullptr},
        {xmlTypeHex, 2, "0x1A", {}, "attribute is no hex number"},
        {xmlTypeHex, 1, "100", {}, "attribute is no hex number"},
        {xmlTypeHex, 4, "DEADbeef", {0xEF, 0xBE, 0xAD, 0xDE}, nullptr},
        {xmlTypeHex, 4, "123456789", {}, "attribute is no hex number"},
        {xmlTypeHex64, 8, "0123456789abcdef", {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, nullptr},
        {xmlTypeHex64, 8, "10123456789abcdef", {}, "attribute is no hex64 number"},
        {xmlTypeFloat, 4, "1.5", {0x00, 0x00, 0xC0, 0x3F}, nullptr},
        {xmlTypeFloat, 4, "3.4028235e38", {0xFF, 0xFF, 0x7F, 0x7F}, nullptr},
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
        tokens(scan, 1);
        uint8_t target[12];
        memset(target, 0xEE, sizeof target);
        XmlTagParser tp(1);
        if (c.type == xmlTypeVTab)
            tp.addAttributeVTab("x", &vtab, target, c.size, true);
        else
            tp.addAttribute("x", target, c.size, c.type, true);
        std::string error = thrown([&] { EXPECT_EQ(XmlTokEmptyClose, tp.parse(&scan)); });
        B want = c.error ? B(sizeof target, 0xEE) : c.bytes;
        if (!c.error) want.resize(c.bytes.size() + 1, 0xEE); // nothing written beyond the field
        EXPECT_EQ(c.error ? std::string(c.error) + " (x) in line 1 column 0" : "", error);
        EXPECT_EQ(want, B(target, target + want.size()));
    }
}

TEST(XmlTagParser, DeclarationsAndTagHandling) {
    const std::string mandatory = thrown([] {
        XmlScan scan("<a>\n<b>\n<c>\n  <Channel type='x'/></c></b></a>");
        tokens(scan, 4);
        char name[8];
        XmlTagParser tp(1);
        tp.addAttribute("name", name, sizeof name, xmlTypeString, true);
        tp.parse(&scan);
    });
    EXPECT_EQ("mandatory attribute not found (name) in line 4 column 2", mandatory);
    {
        // Optional attributes keep the caller's default; unknown ones are ignored.
        XmlScan scan("<ch adr='10' other='x'>\n<sub/></ch>");
        tokens(scan, 1);
        uint32_t adr = 0, pid = 7;
        XmlTagParser tp(2);
        tp.addAttribute("adr", &adr, 4, xmlTypeHex, true);
        tp.addAttribute("pid", &pid, 4, xmlTypeUInt, false);
        EXPECT_EQ(XmlTokStartClose, tp.parse(&scan));
        EXPECT_EQ((std::vector<uint32_t>{0x10, 7}), (std::vector{adr, pid}));
        EXPECT_EQ("1:sub", tokens(scan, 1));
    }
    XmlScan scan("<t a='1'/>");
    tokens(scan, 1);
    uint32_t v;
    XmlTagParser four(4);
    for (const char* n : {"a", "b", "c"})
        four.addAttribute(n, &v, 4, xmlTypeUInt, false);
    EXPECT_EQ("parse: less tags used!", thrown([&] { four.parse(&scan); }));
    four.addAttribute("d", &v, 4, xmlTypeUInt, false);
    EXPECT_EQ("addAttribute #tags exceeded!",
              thrown([&] { four.addAttribute("e", &v, 4, xmlTypeUInt, false); }));
    EXPECT_EQ("addAttributeVTab #tags exceeded!",
              thrown([&] { four.addAttributeVTab("e", nullptr, &v, 4, false); }));
    XmlTagParser one(1);
    EXPECT_NE("",
              thrown([&] { one.addAttribute(std::string(300, 'n').c_str(), &v, 4, xmlTypeUInt, false); }));
    // Without a start tag whose closing is pending there is nothing to parse.
    XmlScan plain("<t>\n<u/></t>");
    tokens(plain, 1);
    EXPECT_EQ("unexpected token after parsing attributes in line 2 column 0",
              thrown([&] { XmlTagParser(0).parse(&plain); }));

    XmlScan three("<t k='three'/>");
    tokens(three, 1);
    XmlVTabParser vtab(2);
    vtab.addPair("one", 1);
    int k = -5;
    XmlTagParser tp(1);
    tp.addAttributeVTab("k", &vtab, &k, 4, true);
    EXPECT_EQ("parse: less vtags used!", thrown([&] { tp.parse(&three); }));
    vtab.addPair("two", 2);
    EXPECT_EQ("addPair #vtags exceeded!", thrown([&] { vtab.addPair("three", 3); }));
    EXPECT_EQ("attribute has wrong value (three) in line 1 column 0", thrown([&] { tp.parse(&three); }));
    EXPECT_EQ((std::vector{-1, -5, 0, 2}),
              (std::vector{vtab.parse("three", &k), k, vtab.parse("two", &k), k}));
}

TEST(XmlHelper, Numbers) {
    // The ranges of the typed sizes are checked through the tag parser.
    const std::tuple<const char*, int32_t, int32_t, int, int32_t> ints[] = {
        {"+7", 0, 10, 0, 7},   {"", -1, 1, 0, 0},      {"-", -1, 1, 0, 0},
        {" 1", 0, 100, -1, 0}, {"101", 0, 100, -1, 0}, {"99999999999999999999", INT32_MIN, INT32_MAX, -1, 0},
    };
    for (auto [text, min, max, rc, value] : ints) {
        int32_t v = 12345;
        EXPECT_EQ(rc, XmlHelper::getInt(text, &v, min, max)) << text;
        EXPECT_EQ(rc == 0 ? value : 12345, v) << text;
    }
    uint32_t u = 777;
    EXPECT_EQ(-1, XmlHelper::getUInt("+1", &u, 0, 9));
    const std::tuple<const char*, uint32_t, int, uint32_t> hexes[] = {
        {"FFFFFFFF", 0, 0, 0xFFFFFFFF}, {"", 0, 0, 0}, {"", 1, -1, 777}, {"g", 0, -1, 777}};
    for (auto [text, min, rc, value] : hexes) {
        u = 777;
        EXPECT_EQ(rc, XmlHelper::getHex(text, &u, min, UINT32_MAX)) << text;
        EXPECT_EQ(value, u) << text;
    }

    // Floats against Python's reading of the same texts: the largest float in its usual
    // spellings (repr, %g, %e, C's %f of FLT_MAX), texts that round to it, and beyond it.
    const std::vector<std::string> floats = {"3.4028235e38",
                                             "3.4028234663852886e+38",
                                             "3.40282e+38",
                                             "3.402823e+38",
                                             "340282346638528859811704183484516925440.000000",
                                             "3.40282356e38",
                                             "-3.4028235E+38",
                                             "3.4028236e38",
                                             "1e39",
                                             "-2.25e2",
                                             "+4E-1",
                                             "12.",
                                             "0.1",
                                             "1e-50",
                                             "1.4e-45",
                                             "-0"};
    std::vector<std::vector<pyref::bytes>> cases;
    for (const auto& t : floats)
        cases.push_back({pyref::bytes(t.begin(), t.end())});
    const auto want = pyref::map("import struct\n"
                                 "def f(t):\n"
                                 "    try: return struct.pack('<f', float(t)).hex()\n"
                                 "    except OverflowError: return 'refused'\n",
                                 cases);
    for (size_t i = 0; i < floats.size(); i++) {
        float f = 99.0f;
        const int rc = XmlHelper::getFloat(floats[i].c_str(), &f);
        EXPECT_EQ(want[i], rc ? "refused" : pyref::hex(reinterpret_cast<uint8_t*>(&f), sizeof f))
            << floats[i];
    }
    for (auto [text, rc] :
         {std::pair{"1.5x", -1}, {"- 1", -1}, {"inf", -1}, {"0x1p3", -1}, {"", 0}, {".", 0}}) {
        float f = 99.0f;
        EXPECT_EQ(rc, XmlHelper::getFloat(text, &f)) << text;
        EXPECT_EQ(rc ? 99.0f : 0.0f, f) << text;
    }
    bool b = false;
    EXPECT_EQ((std::vector{0, 1, 0, 0}),
              (std::vector{XmlHelper::getBool("True", &b), int(b), XmlHelper::getBool("False", &b), int(b)}));
    for (const char* bad : {"true", "True ", "1", ""})
        EXPECT_EQ(-1, XmlHelper::getBool(bad, &b)) << bad;
}
