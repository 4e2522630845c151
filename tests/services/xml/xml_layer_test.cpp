// XML reading layer: token stream, skipping and returning, files, typed attributes and the
// number parsers (floats against Python's reading).
#include "services/xml/xml.h"
#include "support/pyref.h"
#include "support/drives.h"
#include "support/stepped.h"

#include <thread>

namespace {

// The thrown text of f, or "" when nothing was thrown.
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
        out.append(i ? " " : "")
            .append(std::to_string(tok.type))
            .append(*tok.name ? ":" : "")
            .append(tok.name);
    }
    if (last) *last = tok;
    return out;
}

const std::string corpus =
    std::string(getenv("VYN_SOURCE_DIR") ? getenv("VYN_SOURCE_DIR") : ".") + "/tests/services/xml/corpus/";

} // namespace

TEST(XmlScan, TokensNestingAndErrors) {
    for (auto [doc, want] : {std::pair{"<a/>", "1:a 3:a 6 6"},
                             {"<a x='1'><b>text</b><c/><d></d></a>", "1:a 2:a 0:b 4:b 1:c 3:c 0:d 4:d 4:a 6"},
                             {"<?xml version='1.0'?>\n<!-- c --><a>\n <b y='2'>t<![CDATA[x]]></b>\n</a>\n",
                              "0:a 1:b 2:b 4:b 4:a 6"},
                             {"<p:a xmlns:p='urn:x:y' p:k='v'/>", "1:a 3:a 6"}}) {
        XmlScan scan(doc);
        EXPECT_EQ(want, tokens(scan, static_cast<int>(std::count(want, want + strlen(want), ' ') + 1)))
            << doc;
    }
    XmlScan scan("<a>\n  <b p:one='1' two='2' xmlns:p='urn:p'/></a>");
    ASSERT_EQ("0:a 1:b", tokens(scan, 2));
    XmlTok_t attr{XmlTokNone, "one", ""}; // by local name
    EXPECT_EQ(0, scan.getAttribute(&attr));
    EXPECT_EQ("5 1", std::to_string(attr.type) + " " + attr.value);
    attr = {XmlTokNone, "three", ""};
    EXPECT_EQ(-1, scan.getAttribute(&attr));
    EXPECT_EQ(XmlTokError, attr.type);
    EXPECT_NE("", thrown([&] { scan.getAttribute(nullptr); }));
    XmlScan bad("<a>\n<b></c></a>");
    EXPECT_EQ("XmlScan Error: (File(<string>) Error(7):mismatched tag at line 2, col 5\n) in line 2 column 0",
              thrown([&] { tokens(bad, 3); }));
    EXPECT_TRUE(bad.isEof());
    EXPECT_NE("", thrown([] { XmlScan none(nullptr); }));
}

TEST(XmlScan, ScanOverTagAndSetPos) {
    XmlScan scan("<r><skip a='1'><x><y/></x>text</skip><plain><z/></plain><after a='1'/><e/>"
                 "<last><deep/></last></r>");
    XmlTok_t tok;
    EXPECT_EQ("0:r 1:skip", tokens(scan, 2, &tok)); // its closing is pending
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    EXPECT_EQ("0:plain", tokens(scan, 1, &tok));
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    EXPECT_EQ("1:after", tokens(scan, 1, &tok));
    ASSERT_EQ(XmlTokEmptyClose, XmlTagParser(0).parse(&scan));
    EXPECT_EQ(0, scan.scanOverTag(&tok)); // a complete element: the rest of <r> stays
    EXPECT_EQ("1:e", tokens(scan, 1, &tok));
    EXPECT_EQ(0, scan.scanOverTag(&tok));
    EXPECT_EQ("0:last 1:deep 3:deep 4:last", tokens(scan, 4, &tok));
    EXPECT_EQ(-1, scan.scanOverTag(&tok)); // not a start tag
    EXPECT_EQ("4:r 6", tokens(scan, 2, &tok));
    EXPECT_EQ(1, scan.scanOverTag(&tok));

    const char* doc = "<list>\n  <ch n='1'/>\n  <ch n='2'>\n    <sub/>\n  </ch>\n  <ch n='3'/>\n</list>\n";
    XmlScan back(doc), ahead(doc);
    XmlPos_t pos;
    EXPECT_EQ("0:list 1:ch 3:ch 1:ch", tokens(back, 4)); // at ch n=2
    back.getPos(&pos);
    const std::string rest = "2:ch 1:sub 3:sub 4:ch 1:ch 3:ch 4:list";
    EXPECT_EQ(rest, tokens(back, 7));
    back.setPos(&pos); // behind: restarts the parser
    XmlTok_t a{XmlTokNone, "n", ""};
    EXPECT_EQ(0, back.getAttribute(&a));
    EXPECT_STREQ("2", a.value);
    EXPECT_EQ(rest, tokens(back, 7));
    ahead.setPos(&pos); // ahead: steps forward
    EXPECT_EQ(rest, tokens(ahead, 7));
    pos.line = 99; // beyond the end
    EXPECT_EQ("setPos failed - reached EOF or XML error in line 7 column 0",
              thrown([&] { ahead.setPos(&pos); }));
}

TEST(XmlFileAndError, LoadsOrExplainsAndEachThreadHasItsText) {
    testsupport::ScratchDir dir;
    dir.write("empty.xml", "");
    const std::string unit = testsupport::drivePath(dir.path);
    EXPECT_EQ("File not found : " + unit + "/missing.xml",
              thrown([&] { XmlFile f((unit + "/missing.xml").c_str()); }));
    EXPECT_EQ("File not found, len invalid : " + unit + "/empty.xml",
              thrown([&] { XmlFile f((unit + "/empty.xml").c_str()); }));
    EXPECT_NE("", thrown([&] { XmlFile f(unit.c_str()); }));
    EXPECT_NE("", thrown([&] { XmlFile f((dir / "empty.xml").c_str()); }))
        << "a host path is no file of the unit";
    XmlFile f(testsupport::drivePath(corpus + "can.xml").c_str());
    XmlTok_t tok;
    int level = 0, count = 0; // the levels of a whole file add up
    for (f.getScanner()->getTok(&tok); tok.type != XmlTokEof; f.getScanner()->getTok(&tok), count++)
        level += f.getScanner()->getNesting(&tok);
    EXPECT_TRUE(level == 0 && count > 20) << level << " " << count;
    EXPECT_EQ(253u, strlen(XmlError(std::string(400, 'z').c_str()))); // cut to its buffer

    const char* here = XmlError("from this thread"); // another thread's text goes to its own buffer
    std::string there;
    std::thread([&there] { there = XmlError("from the other thread"); }).join();
    EXPECT_STREQ("from this thread", here);
    EXPECT_EQ("from the other thread", there);
}

// Attribute x of <t x="value"/> read by type letter (as xmlType_t: string, hex, hex64, int,
// uint, float, value table) and size into bytes, little-endian as on the unit; "-" when refused.
TEST(XmlTagParser, TypedAttributes) {
    XmlVTabParser vtab(3);
    vtab.addPair("one", 1);
    vtab.addPair("two", 2);
    vtab.addPair("two", 22); // the first pair of a name counts
    std::istringstream rows(
        "i 1 -128 80  i 1 200 -  i 2 -32768 0080  i 2 32768 -  i 4 2147483648 -  i 8 1 -  u 1 255 ff  u 1 "
        "256 -  "
        "u 2 -1 -  u 4 4294967296 -  h 2 1A 1a00  h 2 0x1A -  h 1 100 -  h 4 DEADbeef efbeadde  "
        "H 8 0123456789abcdef efcdab8967452301  H 8 10123456789abcdef -  f 8 -2.25e2 0000000000206cc0  "
        "f 4 1,5 -  s 4 abcdef 61626364  s 6 ab 616200000000  v 4 two 02000000  v 1 three -");
    int size;
    for (std::string type, value, want; rows >> type >> size >> value >> want;) {
        const std::string doc = "<t x=\"" + value + "\"/>";
        XmlScan scan(doc.c_str());
        tokens(scan, 1);
        uint8_t target[12];
        memset(target, 0xEE, sizeof target);
        XmlTagParser tp(1);
        if (type == "v")
            tp.addAttributeVTab("x", &vtab, target, size, true);
        else
            tp.addAttribute("x", target, size, xmlType_t(std::string("shHiuf").find(type)), true);
        const std::string error = thrown([&] { EXPECT_EQ(XmlTokEmptyClose, tp.parse(&scan)); });
        const size_t n = error.empty() ? size : 0; // nothing written beyond the field
        EXPECT_EQ(want, error.empty() ? pyref::hex(target, n) : "-") << type << size << doc << error;
        EXPECT_EQ(std::string(2 * (sizeof target - n), 'e'), pyref::hex(target + n, sizeof target - n))
            << doc;
    }
}

TEST(XmlTagParser, MandatoryAndOptional) {
    XmlScan scan("<a>\n<b>\n<c>\n  <Channel type='x'/></c></b></a>");
    tokens(scan, 4);
    char name[8];
    XmlTagParser tp(1);
    tp.addAttribute("name", name, sizeof name, xmlTypeString, true);
    EXPECT_EQ("mandatory attribute not found (name) in line 4 column 2", thrown([&] { tp.parse(&scan); }));
    // Optional attributes keep the caller's default; unknown ones are ignored.
    XmlScan ch("<ch adr='10' other='x'>\n<sub/></ch>");
    tokens(ch, 1);
    uint32_t adr = 0, pid = 7;
    XmlTagParser two(2);
    two.addAttribute("adr", &adr, 4, xmlTypeHex, true);
    two.addAttribute("pid", &pid, 4, xmlTypeUInt, false);
    EXPECT_EQ(XmlTokStartClose, two.parse(&ch));
    EXPECT_EQ((std::vector<uint32_t>{0x10, 7}), (std::vector{adr, pid}));
    EXPECT_EQ("1:sub", tokens(ch, 1));
    EXPECT_NE("", thrown([&] { two.addAttribute("b", &adr, 4, xmlTypeUInt, false); })); // no room
    XmlTagParser three(3); // parsing waits for every attribute it was made for
    three.addAttribute("adr", &adr, 4, xmlTypeHex, true);
    EXPECT_EQ("parse: less tags used!", thrown([&] { three.parse(&ch); }));
}

TEST(XmlHelper, Numbers) {
    for (auto [text, want] : {std::pair{"+7", "7"}, {"", "0"}, {"-", "0"}, {" 1", "-"}, {"101", "-"}}) {
        int32_t v = 12345;
        EXPECT_EQ(want, XmlHelper::getInt(text, &v, -1, 100) ? "-" : std::to_string(v)) << text;
    }
    // Floats as Python reads them: the largest float in its usual spellings (repr, %g, %e, C's
    // %f of FLT_MAX), texts that round to it, and beyond it.
    std::vector<std::vector<pyref::bytes>> cases;
    std::istringstream list("3.4028235e38 3.4028234663852886e+38 3.40282e+38 3.402823e+38 "
                            "340282346638528859811704183484516925440.000000 3.40282356e38 -3.4028235E+38 "
                            "3.4028236e38 1e39 -2.25e2 +4E-1 12. 0.1 1e-50 1.4e-45 -0");
    for (std::string f; list >> f;)
        cases.push_back({pyref::bytes(f.begin(), f.end())});
    const auto want = pyref::map("import struct\n"
                                 "def f(t):\n"
                                 "    try: return struct.pack('<f', float(t)).hex()\n"
                                 "    except OverflowError: return 'refused'\n",
                                 cases);
    for (size_t i = 0; i < cases.size(); i++) {
        float f = 99.0f;
        const std::string text(cases[i][0].begin(), cases[i][0].end());
        const int rc = XmlHelper::getFloat(text.c_str(), &f);
        EXPECT_EQ(want[i], rc ? "refused" : pyref::hex(reinterpret_cast<uint8_t*>(&f), sizeof f)) << text;
    }
    for (const char* text : {"1.5x", "- 1", "inf", "0x1p3", "", "."}) { // the last two read as 0
        float f = 99.0f;
        const int rc = XmlHelper::getFloat(text, &f);
        EXPECT_EQ(std::pair(rc, f), *text && *text != '.' ? std::pair(-1, 99.0f) : std::pair(0, 0.0f))
            << text;
    }
    bool b = false, c = true;
    EXPECT_TRUE(XmlHelper::getBool("True", &b) + XmlHelper::getBool("False", &c) == 0 && b && !c);
    for (const char* bad : {"true", "True ", "1", ""})
        EXPECT_EQ(-1, XmlHelper::getBool(bad, &b)) << bad;
}
