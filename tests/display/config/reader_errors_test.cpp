// The error texts of the display description reader that documents can reach, each with the line
// and column at which the reader stopped. Fixtures use CR LF line ends, so a column counts from
// its line's start; the expected position is the end of a marker text in the fixture.
#include "fixtures.h"

namespace {

using namespace fx;

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

} // namespace
