// The display description's scanner, value converters, element skipper and error text.
#include "display/config/xml_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

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

} // namespace
