// Building blocks of display descriptions for the reader's tests, and helpers to parse them,
// to name the position of an error and to have xmllint check what the reader accepted.
#pragma once

#include "display/config/xml_scan.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fx {

// Replaces the one occurrence of `from` (fails the test when there is none).
inline std::string with(const std::string& s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << "fixture has no " << from;
    return at == std::string::npos ? s : s.substr(0, at) + to + s.substr(at + from.size());
}

inline std::string crlf(std::string s) {
    for (size_t at = 0; (at = s.find('\n', at)) != std::string::npos; at += 2)
        s.replace(at, 1, "\r\n");
    return s;
}

inline std::string col(const char* tag, int r = 0, int g = 0, int b = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "<%s red=\"%X\" green=\"%X\" blue=\"%X\"/>\n", tag, r, g, b);
    return buf;
}

// A decoration: the four colours every kind has, then the kind's own ones.
inline std::string deco(const std::string& tag, const std::string& style, const std::string& own) {
    return "<" + tag + " style=\"" + style + "\">\n" + col("BGCol") + col("TitleBGCol") + col("TitleFGCol") +
           col("BorderBGCol") + own + "</" + tag + ">\n";
}
inline std::string an_deco(const std::string& style = "none") {
    return deco("AlphaNumDeco", style, col("BorderFGCol") + col("TextBGCol") + col("TextFGCol", 1, 2, 3));
}
inline std::string bar_deco(const std::string& style = "none") {
    return deco("BarGraphDeco", style,
                col("BorderFGCol") + col("BarBGCol") + col("BarFGCol") + col("TicksCol", 4, 5, 6));
}
inline std::string pic_deco(const std::string& style = "none") {
    return deco("PictureDeco", style, col("BorderFGCol", 7, 8, 9));
}

inline std::string middle(const std::string& deco) {
    return "<DecoMiddle>\n" + deco + "</DecoMiddle>\n";
}

inline std::string ch_input(const char* tag = "ChInput", const char* adr = "1000", const char* type = "FLOAT",
                            const char* mask = "FFFFFFFF") {
    return std::string("<") + tag + " adr=\"" + adr + "\" type=\"" + type + "\" mask=\"" + mask +
           "\" quant_a=\"0\" quant_b=\"1\" quant_c=\"0\" quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>\n";
}

const std::string kAlphaAttrs =
    "version=\"1.0\" title=\"Speed\" vis_mode=\"always\" always_on_top=\"false\" "
    "prio=\"1\" pos_x=\"0\" pos_y=\"0\" size_x=\"100\" size_y=\"40\" "
    "font_size=\"normal\" align=\"MM\" dispmode=\"normal\" vtab=\"\" format_str=\"%.1f\"";
const std::string kBarAttrs =
    "version=\"1.0\" title=\"Oil\" vis_mode=\"always\" always_on_top=\"false\" prio=\"1\" "
    "pos_x=\"0\" pos_y=\"0\" size_x=\"200\" size_y=\"30\" style=\"solid\" "
    "orientation=\"hori_lr\" ticks=\"false\" min=\"0\" max=\"10\"";
const std::string kPicAttrs =
    "version=\"1.0\" title=\"\" vis_mode=\"always\" always_on_top=\"false\" prio=\"1\" "
    "pos_x=\"0\" pos_y=\"0\" size_x=\"64\" size_y=\"64\" filename=\"cfg:/a.png\" "
    "ofs=\"0\" len=\"100\"";

inline std::string alpha(const std::string& attrs = kAlphaAttrs,
                         const std::string& children = middle(an_deco())) {
    return "<AlphaNumeric " + attrs + ">\n" + children + "</AlphaNumeric>\n";
}
inline std::string bar(const std::string& attrs = kBarAttrs,
                       const std::string& children = ch_input() + middle(bar_deco())) {
    return "<BarGraph " + attrs + ">\n" + children + "</BarGraph>\n";
}
inline std::string pic(const std::string& attrs = kPicAttrs,
                       const std::string& children = col("TransparentCol") + middle(pic_deco())) {
    return "<Picture " + attrs + ">\n" + children + "</Picture>\n";
}

inline std::string prio(std::string attrs, int p) {
    return with(attrs, "prio=\"1\"", "prio=\"" + std::to_string(p) + "\"");
}

inline std::string page(const std::string& elements, const std::string& bg = col("BGCol", 0x10, 0x20, 0x30)) {
    return "<Page>\n" + bg + "<DisplayElements>\n" + elements + "</DisplayElements>\n</Page>\n";
}

inline std::string pages(const std::string& content) {
    return "<Pages>\n" + content + "</Pages>\n";
}

const std::string kBrightness = "<Brightness>\n<perc value=\"50\"/>\n</Brightness>\n";

inline std::string doc(const std::string& inner, const std::string& brightness = kBrightness) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Display version=\"1.0\" x_res=\"640\" "
           "y_res=\"480\">\n" +
           brightness + inner + "</Display>\n";
}

// A whole description with one page holding these elements.
inline std::string doc_with(const std::string& elements) {
    return doc(pages(page(elements)));
}

// " in line L column C" for the position just after the n-th occurrence of marker in a text
// whose lines end in CR LF (so the column counts from the start of the line).
inline std::string at(const std::string& text, const std::string& marker, int n = 0) {
    size_t p = std::string::npos, from = 0;
    for (int i = 0; i <= n; ++i, from = p + 1)
        if ((p = text.find(marker, from)) == std::string::npos) return " (marker not found: " + marker + ")";
    size_t end = p + marker.size(), line_start = 0;
    int line = 1;
    for (size_t i = 0; i < end; ++i)
        if (text[i] == '\n') ++line, line_start = i + 1;
    return " in line " + std::to_string(line) + " column " + std::to_string(end - line_start);
}

struct Parsed {
    int result = -1;
    display_s* d = nullptr;
    std::string error;
    Parsed() = default;
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    ~Parsed() { XmlFreeDisplay(d); }
};

inline void parse(const std::string& text, Parsed* p) {
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    xml_error("(no error)", nullptr);
    p->result = XmlParseDisplay(&s, &p->d);
    char buf[XML_ERROR_SIZE];
    xml_get_error_msg(buf, sizeof buf);
    p->error = buf;
}

// Runs xmllint --noout over the texts; returns its complaints (empty when all are well-formed).
inline std::string xmllint_complaints(const std::vector<std::string>& texts) {
    std::vector<std::unique_ptr<pyref::TempFile>> files;
    std::string cmd = "xmllint --noout";
    for (const auto& t : texts) {
        files.push_back(std::make_unique<pyref::TempFile>(t));
        cmd += " " + files.back()->path();
    }
    pyref::bytes out = pyref::run(cmd + " 2>&1; echo rc=$?");
    std::string s(out.begin(), out.end());
    return s == "rc=0\n" ? "" : s;
}

// Parses a fixture that must load and that xmllint must find well-formed.
inline void load(const std::string& text, Parsed* p) {
    EXPECT_EQ(xmllint_complaints({text}), "");
    parse(text, p);
    ASSERT_EQ(p->result, 0) << p->error;
    ASSERT_NE(p->d, nullptr);
}

// The "cfg:" drive installed onto a host directory, as the platform does at boot; removed again
// with the object.
class CfgDrive {
  public:
    explicit CfgDrive(const std::string& dir) { EXPECT_TRUE(osfs::addDevice("cfg:", dir)) << dir; }
    ~CfgDrive() { osfs::removeDevice("cfg:"); }
    CfgDrive(const CfgDrive&) = delete;
    CfgDrive& operator=(const CfgDrive&) = delete;
};

} // namespace fx
