// Every family of error texts of the display description reader, each with the line and column
// at which the reader stopped. Fixtures use CR LF line ends, so a column counts from its line's
// start; the expected position is the end of a marker text in the fixture.
#include "fixtures.h"

namespace {

using namespace fx;

const char kEnd[] = "$END"; // marker: the end of the text
const char kNone[] = "";    // no position

struct Case {
    std::string label, text, message, marker;
    int n = 0; // which occurrence of the marker
};

std::string dup(const std::string& attrs, const std::string& extra) {
    return attrs + " " + extra;
}

std::vector<Case> cases() {
    std::vector<Case> c;
    auto add = [&](std::string label, std::string text, std::string msg, std::string marker, int n = 0) {
        c.push_back({std::move(label), std::move(text), std::move(msg), std::move(marker), n});
    };
    const std::string ok_pages = pages(page(alpha()));

    // ---- declaration and root ----
    add("no declaration", with(doc(ok_pages), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", ""),
        "parse error: expecting special tag xml", "<Display ");
    add("declaration without version first",
        with(doc(ok_pages), "version=\"1.0\" encoding=\"UTF-8\"", "encoding=\"UTF-8\" version=\"1.0\""),
        "parse error:  expecting version of xml", "encoding=\"UTF-8\"");
    add("declaration version not a number",
        with(doc(ok_pages), "<?xml version=\"1.0\"", "<?xml version=\"v1\""), "parse error: wrong value",
        "version=\"v1\"");
    add("declaration not closed by ?>", with(doc(ok_pages), "encoding=\"UTF-8\"?>", "encoding=\"UTF-8\">"),
        "parse error: expecting special end tag of xml", "encoding=\"UTF-8\">");
    add("root without attributes",
        with(doc(ok_pages), "<Display version=\"1.0\" x_res=\"640\" y_res=\"480\">", "<Display>"),
        "parse error: expecting opening tag of display", "<Display>");
    add("root of another name", with(doc(ok_pages), "<Display version", "<Screen version"),
        "parse error: expecting opening tag of display", "<Screen ");
    add("root closed as empty", with(doc(ok_pages), "y_res=\"480\">", "y_res=\"480\"/>"),
        "parse error: expecting paramters of display type", "y_res=\"480\"/>");
    add("root version twice", with(doc(ok_pages), "x_res=\"640\"", "x_res=\"640\" version=\"2\""),
        "parse error: parameter version found twice", "version=\"2\"");
    add("root x_res twice", with(doc(ok_pages), "y_res=\"480\"", "y_res=\"480\" x_res=\"1\""),
        "parse error: res_x found twice", "x_res=\"1\"");
    add("root y_res twice", with(doc(ok_pages), "y_res=\"480\"", "y_res=\"480\" y_res=\"1\""),
        "parse error: res_y found twice", "y_res=\"1\"");
    add("root y_res missing", with(doc(ok_pages), " y_res=\"480\"", ""), "parse error: missing paramter",
        "x_res=\"640\">");
    add("root x_res too large", with(doc(ok_pages), "x_res=\"640\"", "x_res=\"65536\""),
        "parse error: wrong value", "x_res=\"65536\"");
    add("no Brightness", doc(ok_pages, ""), "parse error: not all tags found", "</Display>");
    add("no Pages", doc(""), "parse error: not all tags found", "</Display>");
    add("Brightness with attributes is not Brightness",
        doc(ok_pages, "<Brightness a=\"1\">\n</Brightness>\n"), "parse error: not all tags found",
        "</Display>");

    // ---- brightness ----
    add("Brightness child not perc", doc(ok_pages, "<Brightness>\n<pc value=\"1\"/>\n</Brightness>\n"),
        "parse error: expecting open tag perc", "<pc ");
    add("perc without value first", doc(ok_pages, "<Brightness>\n<perc val=\"1\"/>\n</Brightness>\n"),
        "parse error: expecting parameter value", "val=\"1\"");
    {
        std::string seven = "<Brightness>\n";
        for (int i = 1; i <= 7; ++i)
            seven += "<perc value=\"" + std::to_string(i * 10) + "\"/>\n";
        add("seven perc", doc(ok_pages, seven + "</Brightness>\n"), "parse error: too many values",
            "value=\"70\"");
    }
    add("perc above 100", doc(ok_pages, "<Brightness>\n<perc value=\"101\"/>\n</Brightness>\n"),
        "parse error: wrong value", "value=\"101\"");
    add("perc with a second attribute",
        doc(ok_pages, "<Brightness>\n<perc value=\"5\" x=\"1\"/>\n</Brightness>\n"),
        "parse error: expected direct close tag", "x=\"1\"");

    // ---- channel inputs ----
    const std::string reset = ch_input("ResetInput");
    auto with_reset = [&](const std::string& from, const std::string& to) {
        return doc(with(reset, from, to) + ok_pages);
    };
    add("ResetInput closed with >", with_reset("quant_f=\"0\"/>", "quant_f=\"0\">"),
        "parse error: expecting paramters of ChannelIn type", "quant_f=\"0\">");
    add("adr twice", with_reset("type=", "adr=\"2\" type="), "parse error: parameter adr found twice",
        "adr=\"2\"");
    add("type twice", with_reset("mask=", "type=\"BOOL\" mask="), "parse error: parameter typ found twice",
        "type=\"BOOL\"");
    add("mask twice", with_reset("quant_a=", "mask=\"1\" quant_a="), "parse error: mask found twice",
        "mask=\"1\"");
    add("quant_c twice", with_reset("quant_d=", "quant_c=\"2\" quant_d="),
        "parse error: quant. parameter c found twice", "quant_c=\"2\"");
    add("type keyword unknown", with_reset("FLOAT", "INT8"), "parse error: wrong data type parameter",
        "type=\"INT8\"");
    add("quant_f missing", with_reset(" quant_f=\"0\"", ""),
        "parse error: not all paramters found for channel input type", "quant_e=\"0\"/>");
    add("adr not hexadecimal", with_reset("adr=\"1000\"", "adr=\"0x1000\""), "parse error: wrong value",
        "adr=\"0x1000\"");
    add("quant not a number", with_reset("quant_b=\"1\"", "quant_b=\"one\""), "parse error: wrong value",
        "quant_b=\"one\"");

    // ---- colours ----
    add("page BGCol above FF", doc(pages(page(alpha(), col("BGCol", 0x100)))),
        "parse error: expecting backgr color tag", "red=\"100\"");
    const std::string fg = "<TextFGCol red=\"1\" green=\"2\" blue=\"3\"/>";
    auto with_fg = [&](const std::string& to) { return doc_with(with(alpha(), fg, to)); };
    add("colour closed with >", with_fg("<TextFGCol red=\"1\" green=\"2\" blue=\"3\">"),
        "parse error: expecting paramters of rgb type", "blue=\"3\">");
    add("red twice", with_fg("<TextFGCol red=\"1\" red=\"1\" green=\"2\" blue=\"3\"/>"),
        "parse error: parameter red found twice", "red=\"1\" red=\"1\"");
    add("green twice", with_fg("<TextFGCol red=\"1\" green=\"2\" green=\"2\" blue=\"3\"/>"),
        "parse error: parameter green found twice", "green=\"2\" green=\"2\"");
    add("blue twice", with_fg("<TextFGCol red=\"1\" green=\"2\" blue=\"3\" blue=\"3\"/>"),
        "parse error: parameter bluee found twice", "blue=\"3\" blue=\"3\"");
    add("blue missing", with_fg("<TextFGCol red=\"1\" green=\"2\"/>"),
        "parse error: not all paramters found for rgb type", "green=\"2\"/>");
    add("colour above FF", with_fg("<TextFGCol red=\"1FF\" green=\"2\" blue=\"3\"/>"),
        "parse error: wrong value", "red=\"1FF\"");

    // ---- pages ----
    {
        std::string thirteen;
        for (int i = 0; i < 13; ++i)
            thirteen += page("");
        add("thirteen pages", doc(pages(thirteen)), "parse error: max page count reached", kNone);
    }
    add("child of Pages not a Page", doc(pages("<Pg>\n</Pg>\n")), "parse error: expecting page tag", "<Pg>");
    add("Page with attributes", doc(pages("<Page n=\"1\">\n</Page>\n")), "parse error: expecting page tag",
        "<Page ");
    add("Page without BGCol", doc(pages(page(alpha(), ""))), "parse error: missing paramter", "</Page>");
    add("prio 5, 7, 7",
        doc_with(alpha(prio(kAlphaAttrs, 5)) + bar(prio(kBarAttrs, 7)) + alpha(prio(kAlphaAttrs, 7))),
        "parse error: prio not sorted", "</AlphaNumeric>", 1);
    add("prio falls across DisplayElements blocks",
        doc(pages("<Page>\n" + col("BGCol") + "<DisplayElements>\n" + alpha(prio(kAlphaAttrs, 5)) +
                  "</DisplayElements>\n<DisplayElements>\n" + pic(prio(kPicAttrs, 3)) +
                  "</DisplayElements>\n</Page>\n")),
        "parse error: prio not sorted", "</Picture>");
    add("element fails only in the second pass",
        doc("<VerbTabs>\n<VerbTab name=\"gear\" default=\"-\">\n</VerbTab>\n</VerbTabs>\n" +
            pages(page(alpha(with(kAlphaAttrs, "vtab=\"\"", "vtab=\"gear\"")))) +
            "<VerbTabs>\n</VerbTabs>\n"),
        "parse error: expecting display element tag", "vtab=\"gear\"", 0);

    // ---- element frames ----
    add("AlphaNumeric without attributes", doc_with("<AlphaNumeric>\n</AlphaNumeric>\n"),
        "parse error: expecting AlphaNumeric open tag", "<AlphaNumeric>");
    add("BarGraph without attributes", doc_with("<BarGraph>\n</BarGraph>\n"),
        "parse error: expecting barGraph open tag", "<BarGraph>");
    add("Picture without attributes", doc_with("<Picture>\n</Picture>\n"),
        "parse error: expecting picture open tag", "<Picture>");
    add("AlphaNumeric closed as empty", doc_with("<AlphaNumeric " + kAlphaAttrs + "/>\n"),
        "parse error: expecting paramters of alphanum type", "%.1f\"/>");
    add("AlphaNumeric attribute unreadable",
        doc_with(alpha(with(kAlphaAttrs, "title=\"Speed\"", "title='Speed'"))),
        "parse error: expecting paramters of alphanum type", "title=");
    add("BarGraph closed as empty", doc_with("<BarGraph " + kBarAttrs + "/>\n"),
        "parse error: expecting paramters of bargraph type", "max=\"10\"/>");
    add("BarGraph attribute unreadable", doc_with(bar(with(kBarAttrs, "title=\"Oil\"", "title=Oil"))),
        "parse error: expecting paramters of barpraph type", "title=");
    add("Picture closed as empty", doc_with("<Picture " + kPicAttrs + "/>\n"),
        "parse error: expecting paramters of picture type", "len=\"100\"/>");
    add("Picture attribute unreadable", doc_with(pic(with(kPicAttrs, "len=\"100\"", "len=\"1<0\""))),
        "parse error: expecting paramters of picture type", "len=\"1");
    add("AlphaNumeric without format_str", doc_with(alpha(with(kAlphaAttrs, " format_str=\"%.1f\"", ""))),
        "parse error: missing attribute", "vtab=\"\">");
    add("BarGraph without max", doc_with(bar(with(kBarAttrs, " max=\"10\"", ""))),
        "parse error: missing paramter", "min=\"0\">");
    add("Picture without len", doc_with(pic(with(kPicAttrs, " len=\"100\"", ""))),
        "parse error: missing parameter", "ofs=\"0\">");

    // Repeated attributes: each element kind has its own copy of every text.
    struct Dup {
        const char* attr;
        const char* msg;
    };
    const Dup common[] = {
        {"version=\"1.0\"", "parse error: parameter version found twice"},
        {"title=\"x\"", "parse error: title found twice"},
        {"vis_mode=\"limit\"", "parse error: parameter visual mode found twice"},
        {"always_on_top=\"true\"", "parse error: always on top found twice"},
        {"prio=\"2\"", "parse error: prio found twice"},
        {"pos_x=\"2\"", "parse error: pos_x found twice"},
        {"pos_y=\"2\"", "parse error: pos_y found twice"},
        {"size_x=\"2\"", "parse error: size_x found twice"},
        {"size_y=\"2\"", "parse error: size_y found twice"},
    };
    const Dup timing[] = {
        {"blink=\"slow\"", "parse error: blink found twice"},
        {"min_disp_time=\"1\"", "parse error: min_disp_time found twice"},
        {"auto_reset_time=\"1\"", "parse error: auto_reset_time found twice"},
        {"retrigger_time=\"1\"", "parse error: retrigger_time found twice"},
    };
    const Dup alpha_own[] = {
        {"font_size=\"tiny\"", "parse error: parameter font size found twice"},
        {"align=\"TL\"", "parse error: parameter alignment found twice"},
        {"dispmode=\"ascii\"", "parse error: parameter display mode found twice"},
        {"vtab=\"\"", "parse error: vtab found twice"},
        {"format_str=\"%d\"", "parse error: format_str found twice"},
    };
    const Dup bar_own[] = {
        {"style=\"stacked\"", "parse error: parameter bar graph style found twice"},
        {"orientation=\"vert_bt\"", "parse error: parameter bar graph orientation found twice"},
        {"ticks=\"true\"", "parse error: ticks found twice"},
        {"min=\"1\"", "parse error: min found twice"},
        {"max=\"1\"", "parse error: max found twice"},
    };
    const Dup pic_own[] = {
        {"filename=\"b.png\"", "parse error: filename found twice"},
        {"ofs=\"1\"", "parse error: offset found twice"},
        {"len=\"1\"", "parse error: length found twice"},
    };
    for (const auto& d : common) {
        add(std::string("AlphaNumeric ") + d.attr, doc_with(alpha(dup(kAlphaAttrs, d.attr))), d.msg,
            dup(kAlphaAttrs, d.attr));
        add(std::string("BarGraph ") + d.attr, doc_with(bar(dup(kBarAttrs, d.attr))), d.msg,
            dup(kBarAttrs, d.attr));
        add(std::string("Picture ") + d.attr, doc_with(pic(dup(kPicAttrs, d.attr))), d.msg,
            dup(kPicAttrs, d.attr));
    }
    for (const auto& d : timing) {
        std::string an = dup(kAlphaAttrs, d.attr), pc = dup(kPicAttrs, d.attr);
        add(std::string("AlphaNumeric ") + d.attr, doc_with(alpha(dup(an, d.attr))), d.msg, dup(an, d.attr));
        add(std::string("Picture ") + d.attr, doc_with(pic(dup(pc, d.attr))), d.msg, dup(pc, d.attr));
    }
    for (const auto& d : alpha_own)
        add(std::string("AlphaNumeric ") + d.attr, doc_with(alpha(dup(kAlphaAttrs, d.attr))), d.msg,
            dup(kAlphaAttrs, d.attr));
    for (const auto& d : bar_own)
        add(std::string("BarGraph ") + d.attr, doc_with(bar(dup(kBarAttrs, d.attr))), d.msg,
            dup(kBarAttrs, d.attr));
    for (const auto& d : pic_own)
        add(std::string("Picture ") + d.attr, doc_with(pic(dup(kPicAttrs, d.attr))), d.msg,
            dup(kPicAttrs, d.attr));

    // Bad values.
    struct Bad {
        const std::string* attrs;
        std::string (*make)(const std::string&, const std::string&);
        const char* from;
        const char* to;
        const char* msg;
    };
    auto mk_alpha = [](const std::string& a, const std::string&) { return alpha(a); };
    auto mk_bar = [](const std::string& a, const std::string&) { return bar(a); };
    auto mk_pic = [](const std::string& a, const std::string&) { return pic(a); };
    const Bad bad[] = {
        {&kAlphaAttrs, mk_alpha, "vis_mode=\"always\"", "vis_mode=\"never\"",
         "parse error: wrong visual mode parameter"},
        {&kBarAttrs, mk_bar, "vis_mode=\"always\"", "vis_mode=\"Always\"",
         "parse error: wrong visual mode parameter"},
        {&kAlphaAttrs, mk_alpha, "font_size=\"normal\"", "font_size=\"huge\"",
         "parse error: wrong font size parameter"},
        {&kAlphaAttrs, mk_alpha, "align=\"MM\"", "align=\"CC\"", "parse error: wrong align parameter"},
        {&kAlphaAttrs, mk_alpha, "dispmode=\"normal\"", "dispmode=\"\"",
         "parse error: wrong display mode parameter"},
        {&kAlphaAttrs, mk_alpha, "vtab=\"\"", "vtab=\"gears\"", "parse error: vtab reference not found"},
        {&kPicAttrs, mk_pic, "len=\"100\"", "len=\"100\" blink=\"medium\"", "parse error: wrong blink type"},
        {&kBarAttrs, mk_bar, "style=\"solid\"", "style=\"dotted\"",
         "parse error: wrong bar graph style parameter"},
        {&kBarAttrs, mk_bar, "orientation=\"hori_lr\"", "orientation=\"diagonal\"",
         "parse error: wrong bar graph orientation parameter"},
        {&kAlphaAttrs, mk_alpha, "prio=\"1\"", "prio=\"65536\"", "parse error: wrong value"},
        {&kAlphaAttrs, mk_alpha, "prio=\"1\"", "prio=\"99999999999\"", "parse error: wrong value"},
        {&kBarAttrs, mk_bar, "pos_x=\"0\"", "pos_x=\"-1\"", "parse error: wrong value"},
        {&kAlphaAttrs, mk_alpha, "always_on_top=\"false\"", "always_on_top=\"0\"",
         "parse error: wrong value"},
        {&kBarAttrs, mk_bar, "ticks=\"false\"", "ticks=\"no\"", "parse error: wrong value"},
        {&kBarAttrs, mk_bar, "min=\"0\"", "min=\"low\"", "parse error: wrong value"},
        {&kPicAttrs, mk_pic, "ofs=\"0\"", "ofs=\"0x10\"", "parse error: wrong value"},
        {&kPicAttrs, mk_pic, "len=\"100\"", "len=\"100000000\"", "parse error: wrong value"},
        {&kAlphaAttrs, mk_alpha, "version=\"1.0\"", "version=\"one\"", "parse error: wrong value"},
        {&kAlphaAttrs, mk_alpha, "format_str=\"%.1f\"", "format_str=\"%.1f\" retrigger_time=\"4294967296\"",
         "parse error: wrong value"},
    };
    for (const auto& b : bad)
        add(std::string("bad ") + b.to, doc_with(b.make(with(*b.attrs, b.from, b.to), "")), b.msg, b.to);

    // Geometry that does not fit the toolkit's 16-bit rectangles.
    add("pos_x + size_x beyond 32767",
        doc_with(alpha(
            with(with(kAlphaAttrs, "pos_x=\"0\"", "pos_x=\"32000\""), "size_x=\"100\"", "size_x=\"768\""))),
        "parse error: element geometry out of range", "format_str=\"%.1f\">");
    add("size_y of 65535", doc_with(pic(with(kPicAttrs, "size_y=\"64\"", "size_y=\"65535\""))),
        "parse error: element geometry out of range", "len=\"100\">");

    // ---- element children ----
    add("AlphaNumeric without DecoMiddle", doc_with(alpha(kAlphaAttrs, "")),
        "parse error: not all tags found", "</AlphaNumeric>");
    add("limit without VisInput", doc_with(alpha(with(kAlphaAttrs, "\"always\"", "\"limit\""))),
        "parse error: not all tags found", "</AlphaNumeric>");
    add("BarGraph without ChInput", doc_with(bar(kBarAttrs, middle(bar_deco()))),
        "parse error: not all tags found", "</BarGraph>");
    add("Picture without TransparentCol", doc_with(pic(kPicAttrs, middle(pic_deco()))),
        "parse error: not all tags found", "</Picture>");
    add("Picture with VisInput missing", doc_with(pic(with(kPicAttrs, "\"always\"", "\"limit_resetable\""))),
        "parse error: not all tags found", "</Picture>");
    add("TransparentCol without attributes",
        doc_with(pic(kPicAttrs, "<TransparentCol>\n</TransparentCol>\n" + middle(pic_deco()))),
        "parse error: expecting open tag for rgb type", "<TransparentCol>");

    const std::string lower_an = "<DecoLower Limit=\"1\" hyst=\"0.5\">\n" + an_deco() + "</DecoLower>\n";
    auto an_child = [&](const std::string& child) {
        return doc_with(alpha(kAlphaAttrs, child + middle(an_deco())));
    };
    add("DecoLower close tag missing", an_child(with(lower_an, "</DecoLower>", "<X/>\n</DecoLower>")),
        "parse error: expecting deco lower close tag", "<X");
    add("DecoUpper close tag missing",
        an_child(replace_all(with(lower_an, "</DecoLower>", "</DecoUp>"), "DecoLower", "DecoUpper")),
        "parse error: expecting deco upper close tag", "</DecoUp>");
    add("DecoMiddle close tag missing",
        doc_with(alpha(kAlphaAttrs, "<DecoMiddle>\n" + an_deco() + "<X/>\n</DecoMiddle>\n")),
        "parse error: expecting deco middle close tag", "<X");
    add("DecoLower closed as empty", an_child("<DecoLower Limit=\"1\" hyst=\"0.5\"/>\n"),
        "parse error: expecting attributes of deco type", "hyst=\"0.5\"/>");
    add("DecoMiddle with attributes closed as empty", doc_with(alpha(kAlphaAttrs, "<DecoMiddle a=\"1\"/>\n")),
        "parse error: expecting attributes", "a=\"1\"/>");
    add("Limit twice", an_child(with(lower_an, "hyst=", "Limit=\"2\" hyst=")),
        "parse error: parameter limit found twice", "Limit=\"2\"");
    add("hyst twice", an_child(with(lower_an, "hyst=\"0.5\"", "hyst=\"0.5\" hyst=\"1\"")),
        "parse error: hysteresis found twice", "hyst=\"1\"");
    add("Limit not a number", an_child(with(lower_an, "Limit=\"1\"", "Limit=\"x\"")),
        "parse error: wrong value", "Limit=\"x\"");
    add("AlphaNumeric DecoLower without hyst", an_child(with(lower_an, " hyst=\"0.5\"", "")),
        "attribute missing", "Limit=\"1\">");
    add("BarGraph DecoUpper without Limit",
        doc_with(bar(kBarAttrs, ch_input() + "<DecoUpper hyst=\"1\">\n" + bar_deco() + "</DecoUpper>\n" +
                                    middle(bar_deco()))),
        "missing attribute", "<DecoUpper hyst=\"1\">");

    // ---- decorations ----
    add("AlphaNumeric with a bar graph deco", doc_with(alpha(kAlphaAttrs, middle(bar_deco()))),
        "parse error: expecting AlphaNumDeco open tag", "<BarGraphDeco ");
    add("BarGraph with a picture deco", doc_with(bar(kBarAttrs, ch_input() + middle(pic_deco()))),
        "parse error: expecting BarGraphDeco open tag", "<PictureDeco ");
    add("Picture with an alphanumeric deco",
        doc_with(pic(kPicAttrs, col("TransparentCol") + middle(an_deco()))),
        "parse error: expecting PitureDeco open tag", "<AlphaNumDeco ");
    add("deco closed as empty", doc_with(alpha(kAlphaAttrs, middle("<AlphaNumDeco style=\"none\"/>\n"))),
        "parse error: expecting attributes of deco type", "style=\"none\"/>");
    add("deco style twice",
        doc_with(
            alpha(kAlphaAttrs, middle(with(an_deco(), "style=\"none\"", "style=\"none\" style=\"none\"")))),
        "parse error: parameter style found twice", "style=\"none\" style=\"none\"");
    add("deco style unknown", doc_with(bar(kBarAttrs, ch_input() + middle(bar_deco("dashed")))),
        "parse error: wrong style parameter", "style=\"dashed\"");
    add("deco without style",
        doc_with(
            pic(kPicAttrs, col("TransparentCol") + middle(with(pic_deco(), "style=\"none\"", "x=\"1\"")))),
        "attribute style not found", "x=\"1\">");
    add("AlphaNumDeco end tag missing",
        doc_with(alpha(kAlphaAttrs, middle(with(an_deco(), "</AlphaNumDeco>", "<Z>\n</AlphaNumDeco>")))),
        "parse error: expecting AlphaNumDeco close tag", "<Z>");
    add("BarGraphDeco end tag missing",
        doc_with(bar(kBarAttrs, ch_input() + middle(with(bar_deco(), "</BarGraphDeco>", "</Deco>")))),
        "parse error: expecting BarGraphDeco close tag", "</Deco>");
    add("PictureDeco end tag missing",
        doc_with(pic(kPicAttrs, col("TransparentCol") + middle(with(pic_deco(), "</PictureDeco>", ">")))),
        "parse error: expecting PictureDeco close tag", "blue=\"9\"/>\n>");
    add("deco colour missing", doc_with(alpha(kAlphaAttrs, middle(with(an_deco(), fg + "\n", "")))),
        "parse error: not all colours found", "</AlphaNumDeco>");

    // ---- tick lists ----
    auto ticks = [&](const std::string& list) {
        return doc_with(
            bar(kBarAttrs, ch_input() + "<TickList>\n" + list + "</TickList>\n" + middle(bar_deco())));
    };
    {
        std::string tabs;
        for (int i = 1; i <= 21; ++i)
            tabs += "<Tab name=\"t" + std::to_string(i) + "\" value=\"" + std::to_string(i) + "\"/>\n";
        add("21 ticks", ticks(tabs), "parse error: too many ticks", "<Tab name=\"t20\" value=\"20\"/>");
    }
    add("scan failure in TickList", ticks("7\n"), "parse error: expecting paramters of ticks type",
        "<TickList>\n");
    add("Tab closed with >", ticks("<Tab name=\"a\" value=\"1\">\n</Tab>\n"),
        "parse error: expecting paramters of tab", "value=\"1\">");
    add("Tab name twice", ticks("<Tab name=\"a\" name=\"b\" value=\"1\"/>\n"),
        "parse error: name found twice", "name=\"b\"");
    add("Tab value twice", ticks("<Tab name=\"a\" value=\"1\" value=\"2\"/>\n"),
        "parse error: value found twice", "value=\"2\"");
    add("Tab without value", ticks("<Tab name=\"a\"/>\n"), "parse error: missing attribute of tab",
        "name=\"a\"/>");
    add("Tab value not a number", ticks("<Tab name=\"a\" value=\"v\"/>\n"), "parse error: wrong value",
        "value=\"v\"");

    // ---- verbal tables ----
    auto vt = [&](const std::string& tables) {
        return doc("<VerbTabs>\n" + tables + "</VerbTabs>\n" + ok_pages);
    };
    const std::string head = "<VerbTab name=\"g\" default=\"-\">\n";
    add("child of VerbTabs not a VerbTab", vt("<VT name=\"g\" default=\"-\">\n</VT>\n"),
        "parse error: expecting vtab open tag", "<VT ");
    add("VerbTab without attributes", vt("<VerbTab>\n</VerbTab>\n"), "parse error: expecting vtab open tag",
        "<VerbTab>");
    add("VerbTab closed as empty", vt("<VerbTab name=\"g\" default=\"-\"/>\n"),
        "parse error: expecting paramters of vtab type", "default=\"-\"/>");
    add("VerbTab name twice", vt("<VerbTab name=\"g\" name=\"h\" default=\"-\">\n</VerbTab>\n"),
        "parse error: parameter name found twice", "name=\"h\"");
    add("VerbTab default twice", vt("<VerbTab name=\"g\" default=\"-\" default=\"+\">\n</VerbTab>\n"),
        "parse error: parameter default found twice", "default=\"+\"");
    add("VerbTab without default", vt("<VerbTab name=\"g\">\n</VerbTab>\n"), "not all attributes found",
        "name=\"g\">");
    const struct {
        const char* tab;
        const char* marker;
    } bad_tabs[] = {
        {"<Tab str=\"a\" num=\"1\" x=\"2\"/>", "x=\"2\""},
        {"<Tab str=\"a\" str=\"b\" num=\"1\"/>", "str=\"b\""},
        {"<Tab str=\"a\" num=\"one\"/>", "num=\"one\""},
        {"<Tab str=\"a\" num=\"4294967296\"/>", "num=\"4294967296\""},
        {"<Tab str=\"a\"/>", "str=\"a\"/>"},
        {"<Tab str=\"a\" num=\"1\">", "num=\"1\">"},
        {"<Tab>", "<Tab>"},
        {"<Other/>", "<Other"},
    };
    for (const auto& b : bad_tabs)
        add(std::string("bad tab ") + b.tab, vt(head + b.tab + "\n</VerbTab>\n"),
            "parse error: expecting vtab tag", b.marker);
    add("nums 1, 3, 2",
        vt(head + "<Tab str=\"a\" num=\"1\"/>\n<Tab str=\"c\" num=\"3\"/>\n<Tab str=\"b\" "
                  "num=\"2\"/>\n</VerbTab>\n"),
        "parse error: vtabs not sorted", "<Tab str=\"b\" num=\"2\"/>");
    add("num repeated", vt(head + "<Tab str=\"a\" num=\"1\"/>\n<Tab str=\"b\" num=\"1\"/>\n</VerbTab>\n"),
        "parse error: vtabs not sorted", "<Tab str=\"b\" num=\"1\"/>");
    add("-1 then 5", vt(head + "<Tab str=\"a\" num=\"-1\"/>\n<Tab str=\"b\" num=\"5\"/>\n</VerbTab>\n"),
        "parse error: vtabs not sorted", "<Tab str=\"b\" num=\"5\"/>");

    // ---- skipping, scan errors and cut files ----
    add("unknown element with a mismatched end tag", doc("<Unknown>\n<A>\n</B>\n</Unknown>\n" + ok_pages),
        "parse error: unexpected token", "</B>");
    add("unknown element not closed", doc("<Unknown a=\"1\" <A>\n</Unknown>\n" + ok_pages),
        "parse error: expecting attributes", "a=\"1\" <A>");
    add("stray end tag in a page", doc(pages("<Page>\n" + col("BGCol") + "</Other>\n</Page>\n")),
        "parse error: unexpected token", "</Other>");
    add("text content", doc(pages(page(alpha()) + "hello\n")), "scan error: '=' expected", "hello\n");
    add("digit between elements", doc_with(alpha() + "1\n"), "scan error: unexpected digit",
        "</AlphaNumeric>\n");
    {
        std::string cut = doc("<Pages>\n<Page>\n" + col("BGCol"));
        add("cut inside a page", cut.substr(0, cut.rfind("</Display>")),
            "parse error: unexpected end of file", kEnd);
    }
    {
        std::string cut = doc_with(alpha());
        cut = cut.substr(0, cut.find("</AlphaNumeric>"));
        add("cut inside an element", cut, "parse error: unexpected end of file", kEnd);
    }
    add("cut after the declaration", "<?xml version=\"1.0\"?>\n",
        "parse error: expecting opening tag of display", kEnd);
    add("nothing but blanks", "  \n", "parse error: expecting special tag xml", kEnd);
    return c;
}

TEST(DisplayReaderErrors, EachFamilyWithLineAndColumn) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.label);
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

// Texts of start tags that no document can reach wrongly (the callers dispatch on the tag),
// checked on the sub-parsers directly.
TEST(DisplayReaderErrors, SubParsersCheckTheirStartTag) {
    struct Direct {
        const char* text;
        int (*parse)(xml_scan_s*);
        const char* message;
    } const cases[] = {
        {"<Brightness a=\"1\">",
         [](xml_scan_s* s) {
             uint16_t perc[6], n;
             return XmlParseBrightness_Tag(s, perc, &n);
         },
         "parse error: expecting open tag brightness in line 1 column 12"},
        {"<PageInput>",
         [](xml_scan_s* s) {
             awm_meas_in in;
             return XmlParseChInput_Tag(s, "PageInput", &in);
         },
         "parse error: expecting open tag for channel input in line 1 column 11"},
        {"<BGCol>",
         [](xml_scan_s* s) {
             rgb_s c;
             return XmlParseRGB_Tag(s, "BGCol", &c);
         },
         "parse error: expecting open tag for rgb type in line 1 column 7"},
        {"<TickList n=\"1\">",
         [](xml_scan_s* s) {
             tick_s t[20];
             uint16_t n;
             return XmlParseTicks(s, t, &n);
         },
         "parse error: expecting open tag ticklist in line 1 column 10"},
        {"<Tab>",
         [](xml_scan_s* s) {
             tick_s t;
             return XmlParseTickTab(s, &t);
         },
         "parse error: expecting open tag tab in line 1 column 5"},
        {"<VerbTabs a=\"1\">",
         [](xml_scan_s* s) {
             display_s* d = static_cast<display_s*>(calloc(1, sizeof(display_s)));
             int r = XmlParseVTab(s, d);
             XmlFreeDisplay(d);
             return r;
         },
         "parse error: expecting vtabs open tag in line 1 column 10"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        xml_scan_s s;
        xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
        EXPECT_EQ(c.parse(&s), -1) << c.text;
        EXPECT_STREQ(xml_error_text(), c.message) << c.text;
    }
}

} // namespace
