// The display description's scanner, value converters, element skipper and error text.
#include "display/config/xml_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Tok {
    uint32_t kind;
    std::string name, value;
    bool operator==(const Tok&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
    return os << "{" << t.kind << " '" << t.name << "' '" << t.value << "'}";
}

// Tokens up to the end of input; a scan error ends the list with {-1, error text}.
std::vector<Tok> tokens(const std::string& text) {
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    std::vector<Tok> out;
    for (int guard = 0; guard < 1000; ++guard) {
        xml_token_s t;
        int r = XmlGetTok(&s, &t);
        if (r < 0) {
            out.push_back({~0u, xml_error_text(), ""});
            break;
        }
        out.push_back({t.kind, t.name, t.value});
        if (r == 1) break;
    }
    return out;
}

std::string scan_error(const std::string& text) {
    auto t = tokens(text);
    return t.back().kind == ~0u ? t.back().name : "(no error)";
}

const Tok kEof{TOK_EOF, "", ""};

TEST(XmlTokenizer, TokenKinds) {
    EXPECT_EQ(
        tokens("<?xml version=\"1.0\"?>"),
        (std::vector<Tok>{{TOK_DECL, "", ""}, {TOK_ATTR, "version", "1.0"}, {TOK_DECL_END, "", ""}, kEof}));
    // A blank before ">" still gives a plain start tag.
    EXPECT_EQ(tokens("<Page >"), (std::vector<Tok>{{TOK_START, "Page", ""}, kEof}));
    EXPECT_EQ(tokens("<BGCol red=\"1\"/>"),
              (std::vector<Tok>{
                  {TOK_START_ATTR, "BGCol", ""}, {TOK_ATTR, "red", "1"}, {TOK_EMPTY_END, "", ""}, kEof}));
    EXPECT_EQ(
        tokens("<a:b_c x=\"\">"),
        (std::vector<Tok>{{TOK_START_ATTR, "a:b_c", ""}, {TOK_ATTR, "x", ""}, {TOK_TAG_END, "", ""}, kEof}));
    EXPECT_EQ(tokens("</Pages  >"), (std::vector<Tok>{{TOK_END, "Pages", ""}, kEof}));
    // Blanks on both sides of "=" still make one attribute.
    EXPECT_EQ(tokens("k \t=\r\n \"v\""), (std::vector<Tok>{{TOK_ATTR, "k", "v"}, kEof}));
    EXPECT_EQ(tokens(""), std::vector<Tok>{kEof});
    EXPECT_EQ(tokens(std::string(" \0\t\r\n\v", 6)), std::vector<Tok>{kEof});
}

TEST(XmlTokenizer, EntitiesInValues) {
    EXPECT_EQ(tokens("v=\"&lt;&gt;&amp;&apos;&quot;\"")[0].value, "<>&'\"");
    EXPECT_EQ(tokens("v=\"x&#65;y\"")[0].value, "xAy");
    EXPECT_EQ(tokens("v=\"&#321;\"")[0].value, "A") << "the number is taken modulo 256";
    for (const char* bad : {"v=\"&nbsp;\"", "v=\"&#65\"", "v=\"&#x41;\"", "v=\"&#;\"", "v=\"&lt\""})
        EXPECT_EQ(scan_error(bad), "scan error: error scanning parameter value in line 1 column 3") << bad;
    EXPECT_EQ(scan_error("v=\"a&b\""), "scan error: error scanning parameter value in line 1 column 4");
}

TEST(XmlTokenizer, ValueLengthLimit) {
    std::string v254(254, 'x');
    EXPECT_EQ(tokens("v=\"" + v254 + "\"")[0].value, v254);
    EXPECT_EQ(scan_error("v=\"" + v254 + "y\""),
              "scan error: error scanning parameter value in line 1 column 257");
    // Decoded length counts: 254 entities fit.
    std::string amps;
    for (int i = 0; i < 254; ++i)
        amps += "&amp;";
    EXPECT_EQ(tokens("v=\"" + amps + "\"")[0].value, std::string(254, '&'));
    // Raw "<" or ">" ends the value without its quote.
    EXPECT_EQ(scan_error("v=\"a<b\""), "scan error: error scanning parameter value in line 1 column 4");
    EXPECT_EQ(scan_error("v='a'"), "scan error: error scanning parameter value in line 1 column 2");
    EXPECT_EQ(scan_error("v=\"abc"), "scan error: error scanning parameter value in line 1 column 6");
}

TEST(XmlTokenizer, ScanErrorsCarryThePositionWhereTheyWereFound) {
    struct Case {
        const char* text;
        const char* error;
    } const cases[] = {
        {"<1a>", "scan error in line 1 column 1"},
        {"< a>", "scan error in line 1 column 1"},
        {"</>", "scan error: tag name expected in line 1 column 2"},
        {"</a", "scan error: unexpected EOF in line 1 column 3"},
        {"</a b>", "scan error: '>' expected in line 1 column 4"},
        {"<a", "scan error: unexpected EOF in line 1 column 2"},
        {"<?xmm", "scan error: xml expected in line 1 column 2"},
        {"<!DOCTYPE x>", "scan error: '!' unexpected, only XML comments are supported... in line 1 column 1"},
        {"<![CDATA[x]]>",
         "scan error: '!' unexpected, only XML comments are supported... in line 1 column 1"},
        {"<!-- open", "scan error: unexpected EOF during comment in line 1 column 9"},
        {"/ >", "scan error: '>' expected in line 1 column 1"},
        {"? >", "scan error: '>' expected in line 1 column 1"},
        {"ab1=\"x\"", "scan error: '=' expected in line 1 column 2"},
        {"ab", "scan error: unexpected EOF in line 1 column 2"},
        {"ab=", "scan error: unexpected EOF in line 1 column 3"},
        {"7", "scan error: unexpected digit in line 1 column 0"},
        {"=", "scan error in line 1 column 0"},
        {"<a>text</a>", "scan error: '=' expected in line 1 column 7"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scan_error(c.text), c.error) << c.text;
}

TEST(XmlTokenizer, LinesAndColumns) {
    // Line feeds count lines but keep the column; a carriage return restarts it; a tab is 8.
    EXPECT_EQ(scan_error("<a>\n<b>\n7"), "scan error: unexpected digit in line 3 column 6");
    EXPECT_EQ(scan_error("<a>\r\n<b>\r\n7"), "scan error: unexpected digit in line 3 column 0");
    EXPECT_EQ(scan_error("\t\t7"), "scan error: unexpected digit in line 1 column 16");
    EXPECT_EQ(scan_error("<a>\v7"), "scan error: unexpected digit in line 2 column 3");
    EXPECT_EQ(scan_error("v=\"&amp;\" 7"), "scan error: unexpected digit in line 1 column 10");
    EXPECT_EQ(scan_error("<!--\r\n\r\n-->\r\n7"), "scan error: unexpected digit in line 4 column 0");
}

TEST(XmlTokenizer, Comments) {
    EXPECT_EQ(tokens("<a><!-- c --></a>"),
              (std::vector<Tok>{{TOK_START, "a", ""}, {TOK_END, "a", ""}, kEof}));
    EXPECT_EQ(tokens("<a/><!-- at the very end -->"),
              (std::vector<Tok>{{TOK_START_ATTR, "a", ""}, {TOK_EMPTY_END, "", ""}, kEof}));
    EXPECT_EQ(tokens("<!---->"), std::vector<Tok>{kEof});
    EXPECT_EQ(tokens("<!-- - -- --- -><--->x=\"1\""), (std::vector<Tok>{{TOK_ATTR, "x", "1"}, kEof}));
    EXPECT_EQ(tokens("<!--a--><!--b-->\r\n  <!--c-->"), std::vector<Tok>{kEof});
    EXPECT_EQ(scan_error("<!-- -- >"), "scan error: unexpected EOF during comment in line 1 column 9");
    EXPECT_EQ(scan_error("<!-"),
              "scan error: '!' unexpected, only XML comments are supported... in line 1 column 1");
}

TEST(XmlTokenizer, NamesAreLettersUnderscoreAndColon) {
    EXPECT_EQ(tokens("<_x:y>")[0], (Tok{TOK_START, "_x:y", ""}));
    EXPECT_EQ(scan_error("<:x>"), "scan error in line 1 column 1");
    EXPECT_EQ(tokens("<a-b>")[0], (Tok{TOK_START_ATTR, "a", ""}));
    EXPECT_EQ(scan_error("<a-b>"), "scan error in line 1 column 2");
    // A name stops at 254 characters; the rest starts the next token.
    std::string name(300, 'n');
    auto t = tokens("<" + name + ">");
    EXPECT_EQ(t[0], (Tok{TOK_START_ATTR, std::string(254, 'n'), ""}));
}

TEST(XmlTokenizer, ScanContent) {
    std::string text = "ab&amp;cd\"rest";
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    char buf[4];
    EXPECT_EQ(XmlScanContent(&s, sizeof buf, buf), 0);
    EXPECT_STREQ(buf, "ab&");
    char big[32];
    EXPECT_EQ(XmlScanContent(&s, sizeof big, big), 0);
    EXPECT_STREQ(big, "cd");
    EXPECT_EQ(*s.cur, '"');
    std::string bad = "x&y;";
    xml_scan_init(&s, bad.data(), static_cast<int32_t>(bad.size()));
    EXPECT_EQ(XmlScanContent(&s, sizeof big, big), -1);
    EXPECT_EQ(XmlScanContent(&s, 0, big), -1);
}

TEST(XmlConverters, Numbers) {
    uint32_t u = 7;
    EXPECT_EQ(XmlGetHex("FF", &u, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(u, 255u);
    EXPECT_EQ(XmlGetHex("00ff", &u, 0, 0xFF), 0);
    EXPECT_EQ(u, 255u);
    EXPECT_EQ(XmlGetHex("ffffffff", &u, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(XmlGetHex("", &u, 0, 0xFF), 0);
    EXPECT_EQ(u, 0u);
    u = 7;
    for (const char* bad : {"0x1", "000000001", "1g", "100", "-1"}) {
        EXPECT_EQ(XmlGetHex(bad, &u, 0, 0xFF), -1) << bad;
        EXPECT_EQ(u, 7u) << "untouched on failure";
    }
    EXPECT_EQ(XmlGetUInt("65535", &u, 0, 65535), 0);
    EXPECT_EQ(u, 65535u);
    EXPECT_EQ(XmlGetUInt("4294967295", &u, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    for (const char* bad : {"-1", "+1", "65536", "1.0", " 1", "4294967296", "99999999999999999999"})
        EXPECT_EQ(XmlGetUInt(bad, &u, 0, bad[0] == '4' || bad[0] == '9' ? 0xFFFFFFFF : 65535), -1) << bad;

    int32_t i = 5;
    EXPECT_EQ(XmlGetInt("-2147483648", &i, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_EQ(XmlGetInt("+2147483647", &i, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(i, INT32_MAX);
    EXPECT_EQ(XmlGetInt("-", &i, INT32_MIN, INT32_MAX), 0);
    EXPECT_EQ(i, 0);
    i = 5;
    // Values beyond 32 bits fail instead of wrapping round.
    for (const char* bad : {"2147483648", "-2147483649", "4294967296", "12345678901234567890", "1e3", "--1"})
        EXPECT_EQ(XmlGetInt(bad, &i, INT32_MIN, INT32_MAX), -1) << bad;
    EXPECT_EQ(i, 5);
    EXPECT_EQ(XmlGetInt("11", &i, 0, 10), -1);
    EXPECT_EQ(XmlGetInt("", &i, 1, 10), -1) << "empty reads as 0, outside the range";
}

TEST(XmlConverters, FloatAndBool) {
    float f = 9.0f;
    EXPECT_EQ(XmlGetFloat("1.5", &f), 0);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(XmlGetFloat("2.5abc", &f), 0) << "a number followed by other text is that number";
    EXPECT_EQ(f, 2.5f);
    EXPECT_EQ(XmlGetFloat("", &f), 0);
    EXPECT_EQ(f, 0.0f);
    f = 9.0f;
    EXPECT_EQ(XmlGetFloat(".", &f), 0);
    EXPECT_EQ(f, 0.0f);
    EXPECT_EQ(XmlGetFloat("-1e-2", &f), 0);
    EXPECT_FLOAT_EQ(f, -0.01f);
    f = 9.0f;
    EXPECT_EQ(XmlGetFloat("abc", &f), -1);
    EXPECT_EQ(f, 9.0f);

    uint8_t b = 7;
    EXPECT_EQ(XmlGetBool("true", &b), 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(XmlGetBool("false", &b), 0);
    EXPECT_EQ(b, 0);
    for (const char* bad : {"True", "1", "", "yes"})
        EXPECT_EQ(XmlGetBool(bad, &b), -1) << bad;
}

int skip(const std::string& text, std::string* rest) {
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    xml_token_s t;
    XmlGetTok(&s, &t);
    int r = XmlIgnore_Tag(&s, &t);
    *rest = std::string(s.cur, static_cast<size_t>(s.len - s.pos));
    return r;
}

TEST(XmlSkip, SkipsAnElementWithEverythingInIt) {
    std::string rest;
    EXPECT_EQ(skip("<U a=\"1\"><V><W x=\"2\"/></V><V/><!-- c --><X></X></U>after", &rest), 0);
    EXPECT_EQ(rest, "after");
    EXPECT_EQ(skip("<U a=\"1\" b=\"2\"/>after", &rest), 0);
    EXPECT_EQ(rest, "after");
    EXPECT_EQ(skip("<U></U>", &rest), 0);
}

TEST(XmlSkip, Errors) {
    std::string rest;
    struct Case {
        const char* text;
        const char* error;
    } const cases[] = {
        {"<U><V></W></U>", "parse error: unexpected token in line 1 column 10"},
        {"<U><V></V></X>", "parse error: unexpected token in line 1 column 14"},
        {"<U a=\"1\" <V>", "parse error: expecting attributes in line 1 column 12"},
        {"<U a=\"1 >", "parse error: expecting attributes in line 1 column 8"},
        {"<U><V>7</V></U>", "parse error: error during unknown tag in line 1 column 6"},
        {"<U><V>", "parse error: unexpected end of file in line 1 column 6"},
        {"<U>/></U>", "parse error: unexpected token in line 1 column 5"},
        {"</U>", "parse error: unexpected token in line 1 column 4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(skip(c.text, &rest), -1) << c.text;
        EXPECT_STREQ(xml_error_text(), c.error) << c.text;
    }
}

TEST(XmlSkip, NestingIsBounded) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i)
            s += "<N>";
        for (int i = 0; i < depth; ++i)
            s += "</N>";
        return s;
    };
    std::string rest;
    EXPECT_EQ(skip(nested(XML_SKIP_DEPTH_MAX), &rest), 0);
    EXPECT_EQ(skip(nested(XML_SKIP_DEPTH_MAX + 1), &rest), -1);
    EXPECT_STREQ(xml_error_text(), "parse error: nesting too deep in line 1 column 195");
    EXPECT_EQ(skip(nested(100000), &rest), -1) << "no stack exhaustion";
}

TEST(XmlErrorText, FormatCutAndCopy) {
    xml_scan_s s{nullptr, 0, 0, 12, 34};
    xml_error("parse error: x", &s);
    EXPECT_STREQ(xml_error_text(), "parse error: x in line 12 column 34");
    xml_error("File not found !", nullptr);
    EXPECT_STREQ(xml_error_text(), "File not found !");

    xml_error(std::string(400, 'e').c_str(), &s);
    EXPECT_EQ(std::string(xml_error_text()), std::string(253, 'e'));

    // The copy is always terminated, also when the text fills the destination.
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    xml_error("abcdefghijkl", nullptr);
    xml_get_error_msg(dst, sizeof dst);
    EXPECT_STREQ(dst, "abcdefg");
    char big[400];
    std::memset(big, 'Z', sizeof big);
    xml_error(std::string(400, 'e').c_str(), nullptr);
    xml_get_error_msg(big, sizeof big);
    EXPECT_EQ(std::string(big), std::string(253, 'e'));
    dst[0] = 'Z';
    xml_get_error_msg(dst, 0);
    EXPECT_EQ(dst[0], 'Z');
    xml_get_error_msg(dst, 1);
    EXPECT_EQ(dst[0], '\0');
}

} // namespace
