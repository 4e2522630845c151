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
    add(with(ok, "encoding=\"UTF-8\"?>", "encoding=\"UTF-8\">"), "expecting special end tag of xml",
        "encoding=\"UTF-8\">");
    add(with(ok, "<Display version", "<Screen version"), "expecting opening tag of display", "<Screen ");
    add(with(ok, "y_res=\"480\">", "y_res=\"480\"/>"), "expecting paramters of display type",
        "y_res=\"480\"/>");
    add(with(ok, "x_res=\"640\"", "x_res=\"640\" version=\"2\""), "parameter version found twice",
        "version=\"2\"");
    add(with(ok, "y_res=\"480\"", "y_res=\"480\" x_res=\"1\""), "res_x found twice", "x_res=\"1\"");
    add(with(ok, "y_res=\"480\"", "y_res=\"480\" y_res=\"1\""), "res_y found twice", "y_res=\"1\"");
    add(with(ok, " y_res=\"480\"", ""), "missing paramter", "x_res=\"640\">");
    add(with(ok, "x_res=\"640\"", "x_res=\"65536\""), "wrong value", "x_res=\"65536\"");
    add(doc(""), "not all tags found", "</Display>");
    add(doc(ok_pages, "<Brightness>\n<pc value=\"1\"/>\n</Brightness>\n"), "expecting open tag perc", "<pc ");
    add(doc(ok_pages, "<Brightness>\n<perc val=\"1\"/>\n</Brightness>\n"), "expecting parameter value",
        "val=\"1\"");
    std::string seven = "<Brightness>\n";
    for (int i = 1; i <= 7; ++i)
        seven += "<perc value=\"" + std::to_string(i * 10) + "\"/>\n";
    add(doc(ok_pages, seven + "</Brightness>\n"), "too many values", "value=\"70\"");
    add(doc(ok_pages, "<Brightness>\n<perc value=\"5\" x=\"1\"/>\n</Brightness>\n"),
        "expected direct close tag", "x=\"1\"");

    // ---- channel inputs and colours ----
    auto reset = [&](const std::string& from, const std::string& to) {
        return doc(with(ch_input("ResetInput"), from, to) + ok_pages);
    };
    add(reset("quant_f=\"0\"/>", "quant_f=\"0\">"), "expecting paramters of ChannelIn type",
        "quant_f=\"0\">");
    add(reset("type=", "adr=\"2\" type="), "parameter adr found twice", "adr=\"2\"");
    add(reset("mask=", "type=\"BOOL\" mask="), "parameter typ found twice", "type=\"BOOL\"");
    add(reset("quant_a=", "mask=\"1\" quant_a="), "mask found twice", "mask=\"1\"");
    add(reset("quant_d=", "quant_c=\"2\" quant_d="), "quant. parameter c found twice", "quant_c=\"2\"");
    add(reset("FLOAT", "INT8"), "wrong data type parameter", "type=\"INT8\"");
    add(reset(" quant_f=\"0\"", ""), "not all paramters found for channel input type", "quant_e=\"0\"/>");
    add(reset("adr=\"1000\"", "adr=\"0x1000\""), "wrong value", "adr=\"0x1000\"");
    add(doc(pages(page(alpha(), col("BGCol", 0x100)))), "expecting backgr color tag", "red=\"100\"");
    const std::string fg = "<TextFGCol red=\"1\" green=\"2\" blue=\"3\"/>";
    auto text_fg = [&](const std::string& to) { return doc_with(with(alpha(), fg, to)); };
    add(text_fg("<TextFGCol red=\"1\" green=\"2\" blue=\"3\">"), "expecting paramters of rgb type",
        "blue=\"3\">");
    add(text_fg("<TextFGCol red=\"1\" red=\"1\" green=\"2\" blue=\"3\"/>"), "parameter red found twice",
        "red=\"1\" red=\"1\"");
    add(text_fg("<TextFGCol red=\"1\" green=\"2\" green=\"2\" blue=\"3\"/>"), "parameter green found twice",
        "green=\"2\" green=\"2\"");
    add(text_fg("<TextFGCol red=\"1\" green=\"2\" blue=\"3\" blue=\"3\"/>"), "parameter bluee found twice",
        "blue=\"3\" blue=\"3\"");
    add(text_fg("<TextFGCol red=\"1\" green=\"2\"/>"), "not all paramters found for rgb type",
        "green=\"2\"/>");

    // ---- pages ----
    std::string thirteen;
    for (int i = 0; i < 13; ++i)
        thirteen += page("");
    add(doc(pages(thirteen)), "max page count reached", kNone);
    add(doc(pages("<Pg>\n</Pg>\n")), "expecting page tag", "<Pg>");
    add(doc_with(alpha(prio(kAlphaAttrs, 5)) + bar(prio(kBarAttrs, 7)) + alpha(prio(kAlphaAttrs, 7))),
        "prio not sorted", "</AlphaNumeric>", 1);
    add(doc(pages("<Page>\n" + col("BGCol") + "<DisplayElements>\n" + alpha(prio(kAlphaAttrs, 5)) +
                  "</DisplayElements>\n<DisplayElements>\n" + pic(prio(kPicAttrs, 3)) +
                  "</DisplayElements>\n</Page>\n")),
        "prio not sorted", "</Picture>"); // across DisplayElements blocks
    // An element that fails only in the second pass, once the later VerbTabs replaced the first.
    add(doc("<VerbTabs>\n<VerbTab name=\"gear\" default=\"-\">\n</VerbTab>\n</VerbTabs>\n" +
            pages(page(alpha(with(kAlphaAttrs, "vtab=\"\"", "vtab=\"gear\"")))) +
            "<VerbTabs>\n</VerbTabs>\n"),
        "expecting display element tag", "vtab=\"gear\"", 0);

    // ---- element frames and attributes ----
    add(doc_with("<AlphaNumeric " + kAlphaAttrs + "/>\n"), "expecting paramters of alphanum type",
        "%.1f\"/>");
    add(doc_with("<BarGraph " + kBarAttrs + "/>\n"), "expecting paramters of bargraph type", "max=\"10\"/>");
    add(doc_with(bar(with(kBarAttrs, "title=\"Oil\"", "title=Oil"))), "expecting paramters of barpraph type",
        "title=");
    add(doc_with(pic(with(kPicAttrs, "len=\"100\"", "len=\"1<0\""))), "expecting paramters of picture type",
        "len=\"1");
    add(doc_with(alpha(with(kAlphaAttrs, " format_str=\"%.1f\"", ""))), "missing attribute", "vtab=\"\">");
    add(doc_with(pic(with(kPicAttrs, " len=\"100\"", ""))), "missing parameter", "ofs=\"0\">");

    // Repeated attributes: each element kind has its own copy of the texts; a kind is picked for
    // each text. An attribute the base set lacks is given twice.
    const struct {
        char kind;
        const char *attr, *msg;
    } dups[] = {
        {'a', "title=\"x\"", "title found twice"},
        {'b', "vis_mode=\"limit\"", "parameter visual mode found twice"},
        {'p', "always_on_top=\"true\"", "always on top found twice"},
        {'a', "prio=\"2\"", "prio found twice"},
        {'b', "pos_x=\"2\"", "pos_x found twice"},
        {'p', "pos_y=\"2\"", "pos_y found twice"},
        {'a', "size_x=\"2\"", "size_x found twice"},
        {'b', "size_y=\"2\"", "size_y found twice"},
        {'a', "blink=\"slow\"", "blink found twice"},
        {'p', "min_disp_time=\"1\"", "min_disp_time found twice"},
        {'a', "auto_reset_time=\"1\"", "auto_reset_time found twice"},
        {'p', "retrigger_time=\"1\"", "retrigger_time found twice"},
        {'a', "font_size=\"tiny\"", "parameter font size found twice"},
        {'a', "align=\"TL\"", "parameter alignment found twice"},
        {'a', "dispmode=\"ascii\"", "parameter display mode found twice"},
        {'a', "vtab=\"\"", "vtab found twice"},
        {'a', "format_str=\"%d\"", "format_str found twice"},
        {'b', "style=\"stacked\"", "parameter bar graph style found twice"},
        {'b', "orientation=\"vert_bt\"", "parameter bar graph orientation found twice"},
        {'b', "ticks=\"true\"", "ticks found twice"},
        {'b', "min=\"1\"", "min found twice"},
        {'b', "max=\"1\"", "max found twice"},
        {'p', "filename=\"b.png\"", "filename found twice"},
        {'p', "ofs=\"1\"", "offset found twice"},
        {'p', "len=\"1\"", "length found twice"},
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
        {'a', "font_size=\"normal\"", "font_size=\"huge\"", "wrong font size parameter"},
        {'a', "align=\"MM\"", "align=\"CC\"", "wrong align parameter"},
        {'a', "dispmode=\"normal\"", "dispmode=\"\"", "wrong display mode parameter"},
        {'a', "vtab=\"\"", "vtab=\"gears\"", "vtab reference not found"},
        {'p', "len=\"100\"", "len=\"100\" blink=\"medium\"", "wrong blink type"},
        {'b', "style=\"solid\"", "style=\"dotted\"", "wrong bar graph style parameter"},
        {'b', "orientation=\"hori_lr\"", "orientation=\"diagonal\"", "wrong bar graph orientation parameter"},
        {'a', "prio=\"1\"", "prio=\"65536\"", "wrong value"},
        {'b', "min=\"0\"", "min=\"low\"", "wrong value"},
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
    add(an_child(with(lower, "</DecoLower>", "<X/>\n</DecoLower>")), "expecting deco lower close tag", "<X");
    add(an_child(replace_all(with(lower, "</DecoLower>", "</DecoUp>"), "DecoLower", "DecoUpper")),
        "expecting deco upper close tag", "</DecoUp>");
    add(doc_with(alpha(kAlphaAttrs, "<DecoMiddle>\n" + an_deco() + "<X/>\n</DecoMiddle>\n")),
        "expecting deco middle close tag", "<X");
    add(an_child("<DecoLower Limit=\"1\" hyst=\"0.5\"/>\n"), "expecting attributes of deco type",
        "hyst=\"0.5\"/>");
    add(doc_with(alpha(kAlphaAttrs, "<DecoMiddle a=\"1\"/>\n")), "expecting attributes", "a=\"1\"/>");
    add(an_child(with(lower, "hyst=", "Limit=\"2\" hyst=")), "parameter limit found twice", "Limit=\"2\"");
    add(an_child(with(lower, "hyst=\"0.5\"", "hyst=\"0.5\" hyst=\"1\"")), "hysteresis found twice",
        "hyst=\"1\"");
    add(an_child(with(lower, "Limit=\"1\"", "Limit=\"x\"")), "wrong value", "Limit=\"x\"");
    raw(an_child(with(lower, " hyst=\"0.5\"", "")), "attribute missing", "Limit=\"1\">");
    raw(doc_with(bar(kBarAttrs, ch_input() + "<DecoUpper hyst=\"1\">\n" + bar_deco() + "</DecoUpper>\n" +
                                    middle(bar_deco()))),
        "missing attribute", "<DecoUpper hyst=\"1\">");
    add(doc_with(alpha(kAlphaAttrs, middle(bar_deco()))), "expecting AlphaNumDeco open tag",
        "<BarGraphDeco ");
    add(doc_with(bar(kBarAttrs, ch_input() + middle(pic_deco()))), "expecting BarGraphDeco open tag",
        "<PictureDeco ");
    add(doc_with(pic(kPicAttrs, col("TransparentCol") + middle(an_deco()))), "expecting PitureDeco open tag",
        "<AlphaNumDeco ");
    add(an_middle(with(an_deco(), "style=\"none\"", "style=\"none\" style=\"none\"")),
        "parameter style found twice", "style=\"none\" style=\"none\"");
    add(doc_with(bar(kBarAttrs, ch_input() + middle(bar_deco("dashed")))), "wrong style parameter",
        "style=\"dashed\"");
    raw(doc_with(
            pic(kPicAttrs, col("TransparentCol") + middle(with(pic_deco(), "style=\"none\"", "x=\"1\"")))),
        "attribute style not found", "x=\"1\">");
    add(an_middle(with(an_deco(), "</AlphaNumDeco>", "<Z>\n</AlphaNumDeco>")),
        "expecting AlphaNumDeco close tag", "<Z>");
    add(doc_with(bar(kBarAttrs, ch_input() + middle(with(bar_deco(), "</BarGraphDeco>", "</Deco>")))),
        "expecting BarGraphDeco close tag", "</Deco>");
    add(doc_with(pic(kPicAttrs, col("TransparentCol") + middle(with(pic_deco(), "</PictureDeco>", ">")))),
        "expecting PictureDeco close tag", "blue=\"9\"/>\n>");
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
    add(ticks("7\n"), "expecting paramters of ticks type", "<TickList>\n");
    add(ticks("<Tab name=\"a\" value=\"1\">\n</Tab>\n"), "expecting paramters of tab", "value=\"1\">");
    add(ticks("<Tab name=\"a\" name=\"b\" value=\"1\"/>\n"), "name found twice", "name=\"b\"");
    add(ticks("<Tab name=\"a\" value=\"1\" value=\"2\"/>\n"), "value found twice", "value=\"2\"");
    add(ticks("<Tab name=\"a\"/>\n"), "missing attribute of tab", "name=\"a\"/>");

    // ---- verbal tables ----
    auto vt = [&](const std::string& tables) {
        return doc("<VerbTabs>\n" + tables + "</VerbTabs>\n" + ok_pages);
    };
    const std::string head = "<VerbTab name=\"g\" default=\"-\">\n";
    add(vt("<VT name=\"g\" default=\"-\">\n</VT>\n"), "expecting vtab open tag", "<VT ");
    add(vt("<VerbTab name=\"g\" default=\"-\"/>\n"), "expecting paramters of vtab type", "default=\"-\"/>");
    add(vt("<VerbTab name=\"g\" name=\"h\" default=\"-\">\n</VerbTab>\n"), "parameter name found twice",
        "name=\"h\"");
    add(vt("<VerbTab name=\"g\" default=\"-\" default=\"+\">\n</VerbTab>\n"), "parameter default found twice",
        "default=\"+\"");
    raw(vt("<VerbTab name=\"g\">\n</VerbTab>\n"), "not all attributes found", "name=\"g\">");
    add(vt(head + "<Tab str=\"a\" num=\"4294967296\"/>\n</VerbTab>\n"), "expecting vtab tag",
        "num=\"4294967296\"");
    add(vt(head + "<Other/>\n</VerbTab>\n"), "expecting vtab tag", "<Other");
    // Nums rise as unsigned numbers: -1 is the largest.
    add(vt(head + "<Tab str=\"a\" num=\"1\"/>\n<Tab str=\"b\" num=\"1\"/>\n</VerbTab>\n"), "vtabs not sorted",
        "<Tab str=\"b\" num=\"1\"/>");
    add(vt(head + "<Tab str=\"a\" num=\"-1\"/>\n<Tab str=\"b\" num=\"5\"/>\n</VerbTab>\n"),
        "vtabs not sorted", "<Tab str=\"b\" num=\"5\"/>");

    // ---- skipping, scan errors and cut files ----
    add(doc("<Unknown>\n<A>\n</B>\n</Unknown>\n" + ok_pages), "unexpected token", "</B>");
    std::string cut = doc_with(alpha());
    add(cut.substr(0, cut.find("</AlphaNumeric>")), "unexpected end of file", kEnd);
    raw(doc(pages(page(alpha()) + "hello\n")), "scan error: '=' expected", "hello\n");
    raw(doc_with(alpha() + "1\n"), "scan error: unexpected digit", "</AlphaNumeric>\n");
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
