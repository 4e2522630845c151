// The document and its top-level records: declaration, Display, Brightness, the channel inputs,
// colours and pages. Pages are read twice so that the element array is allocated once.
#include <cstdlib>
#include <cstring>

#include "display/config/xml_scan.h"

namespace {

// Parses one display element if the token names one: 1 when it does not, else 0 or -1. An
// element is a start tag with attributes; one of another form is not recognised (and skipped).
int parse_element(xml_scan_s* scan, const xml_token_s& tok, display_elem_s* e, display_s* d) {
    if (xml_is_start_attr(tok, "AlphaNumeric")) return XmlParseAlphaNumDisplayElement(scan, e, d);
    if (xml_is_start_attr(tok, "BarGraph")) return XmlParseBarGraphDisplayElement(scan, e);
    if (xml_is_start_attr(tok, "Picture")) return XmlParsePictureDisplayElement(scan, e);
    return 1;
}

bool is_element(const xml_token_s& tok) {
    return xml_is_start_attr(tok, "AlphaNumeric") || xml_is_start_attr(tok, "BarGraph") ||
           xml_is_start_attr(tok, "Picture");
}

bool kept(const display_elem_s& e) {
    return e.head.version == 1.0f;
}

// Reads a page up to its end tag: the BGCol colour into bg, each display element to
// on_element(tok), which parses it (0 or -1); other children are skipped. A "Page" needs BGCol.
template <typename F> int walk_page(xml_scan_s* scan, const char* tag, rgb_s* bg, F&& on_element) {
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start(tok, tag)) return xml_fail("parse error: expecting page tag", scan);
    bool has_bg = false;
    xml_scan_s ahead;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, tag)) {
            *scan = ahead;
            break;
        }
        if (xml_is_start_attr(tok, "BGCol")) {
            if (XmlParseRGB_Tag(scan, "BGCol", bg) < 0)
                return xml_fail("parse error: expecting backgr color tag", scan);
            has_bg = true;
        } else if (xml_is_start(tok, "DisplayElements")) {
            *scan = ahead;
            for (;;) {
                if (xml_peek(scan, &ahead, &tok) < 0) return -1;
                if (xml_is_end(tok, "DisplayElements")) {
                    *scan = ahead;
                    break;
                }
                if (!is_element(tok)) {
                    if (xml_skip_child(scan, &ahead, &tok) < 0) return -1;
                    continue;
                }
                if (on_element(tok) < 0) return -1;
            }
        } else if (xml_skip_child(scan, &ahead, &tok) < 0) {
            return -1;
        }
    }
    if (std::strcmp(tag, "Page") == 0 && !has_bg) return xml_fail("parse error: missing paramter", scan);
    return 0;
}

} // namespace

void XmlInitPage(page_s* page) {
    page->valid = 1;
    XmlInitRGB(&page->bg_col);
    page->elem_count = 0;
    page->elements = nullptr;
}

void XmlInitChInput(awm_meas_in* in) {
    in->adr = 0;
    in->mask = 0xFFFFFFFFu;
    in->quant_a = in->quant_b = in->quant_c = in->quant_d = in->quant_e = in->quant_f = 0.0f;
    in->type = TYPE_NONE;
}

void XmlInitRGB(rgb_s* col) {
    col->red = col->green = col->blue = 0;
}

void XmlInitDisplay(display_s* d) {
    d->x_res = d->y_res = 0;
    d->page_count = 0;
    d->brightness_count = 0;
    std::memset(d->brightness_perc, 0, sizeof d->brightness_perc);
    d->version = 0.0f;
    d->xml_version = 0.0f;
    d->vtabs = nullptr;
    for (auto& p : d->pages)
        XmlInitPage(&p);
    XmlInitPage(&d->all_pages);
    XmlInitChInput(&d->reset_input);
    XmlInitChInput(&d->page_input);
    XmlInitChInput(&d->brightness_input);
}

void XmlFreeDisplay(display_s* d) {
    if (!d) return;
    std::free(d->elem_array);
    std::free(d->vtab_array);
    std::free(d->vtab_entry_array);
    std::free(d);
}

int XmlStr2Type(const char* text, uint16_t* out) {
    static const char* const names[] = {"UINT8",  "SINT8",  "UINT16", "SINT16",
                                        "UINT32", "SINT32", "FLOAT",  "BOOL"};
    for (uint16_t i = 0; i < 8; ++i) {
        if (std::strcmp(text, names[i]) == 0) {
            *out = static_cast<uint16_t>(i + 1);
            return 0;
        }
    }
    return -1;
}

int XmlParseRGB_Tag(xml_scan_s* scan, const char* tag, rgb_s* col) {
    XmlInitRGB(col);
    static const char* const names[] = {"red", "green", "blue"};
    static const char* const twice[] = {"parse error: parameter red found twice",
                                        "parse error: parameter green found twice",
                                        "parse error: parameter bluee found twice"};
    uint8_t* fields[] = {&col->red, &col->green, &col->blue};
    bool seen[3] = {};
    auto on_attr = [&](const xml_token_s& tok) {
        for (int i = 0; i < 3; ++i) {
            if (std::strcmp(tok.name, names[i]) != 0) continue;
            if (seen[i]) return xml_fail(twice[i], scan);
            uint32_t v;
            if (XmlGetHex(tok.value, &v, 0, 0xFF) < 0) return xml_fail("parse error: wrong value", scan);
            *fields[i] = static_cast<uint8_t>(v);
            seen[i] = true;
        }
        return 0;
    };
    if (xml_read_start_tag(scan, tag, TOK_EMPTY_END, "parse error: expecting open tag for rgb type",
                           "parse error: expecting paramters of rgb type", on_attr) < 0)
        return -1;
    if (!seen[0] || !seen[1] || !seen[2])
        return xml_fail("parse error: not all paramters found for rgb type", scan);
    return 0;
}

int XmlParseChInput_Tag(xml_scan_s* scan, const char* tag, awm_meas_in* in) {
    XmlInitChInput(in);
    static const char* const names[] = {"adr",     "type",    "mask",    "quant_a", "quant_b",
                                        "quant_c", "quant_d", "quant_e", "quant_f"};
    static const char* const twice[] = {"parse error: parameter adr found twice",
                                        "parse error: parameter typ found twice",
                                        "parse error: mask found twice",
                                        "parse error: quant. parameter a found twice",
                                        "parse error: quant. parameter b found twice",
                                        "parse error: quant. parameter c found twice",
                                        "parse error: quant. parameter d found twice",
                                        "parse error: quant. parameter e found twice",
                                        "parse error: quant. parameter f found twice"};
    float* quant[] = {&in->quant_a, &in->quant_b, &in->quant_c, &in->quant_d, &in->quant_e, &in->quant_f};
    bool seen[9] = {};
    auto on_attr = [&](const xml_token_s& tok) {
        for (int i = 0; i < 9; ++i) {
            if (std::strcmp(tok.name, names[i]) != 0) continue;
            if (seen[i]) return xml_fail(twice[i], scan);
            int r;
            if (i == 0)
                r = XmlGetHex(tok.value, &in->adr, 0, 0xFFFFFFFFu);
            else if (i == 2)
                r = XmlGetHex(tok.value, &in->mask, 0, 0xFFFFFFFFu);
            else if (i == 1) {
                if (XmlStr2Type(tok.value, &in->type) < 0)
                    return xml_fail("parse error: wrong data type parameter", scan);
                r = 0;
            } else
                r = XmlGetFloat(tok.value, quant[i - 3]);
            if (r < 0) return xml_fail("parse error: wrong value", scan);
            seen[i] = true;
        }
        return 0;
    };
    if (xml_read_start_tag(scan, tag, TOK_EMPTY_END, "parse error: expecting open tag for channel input",
                           "parse error: expecting paramters of ChannelIn type", on_attr) < 0)
        return -1;
    for (bool s : seen)
        if (!s) return xml_fail("parse error: not all paramters found for channel input type", scan);
    return 0;
}

int XmlParseBrightness_Tag(xml_scan_s* scan, uint16_t* perc, uint16_t* count) {
    *count = 0;
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start(tok, "Brightness")) return xml_fail("parse error: expecting open tag brightness", scan);
    for (;;) {
        if (XmlGetTok(scan, &tok) < 0) return -1;
        if (xml_is_end(tok, "Brightness")) return 0;
        if (!xml_is_start_attr(tok, "perc")) return xml_fail("parse error: expecting open tag perc", scan);
        if (XmlGetTok(scan, &tok) < 0) return -1;
        if (tok.kind != TOK_ATTR || std::strcmp(tok.name, "value") != 0)
            return xml_fail("parse error: expecting parameter value", scan);
        if (*count >= DISPLAY_MAX_BRIGHTNESS) return xml_fail("parse error: too many values", scan);
        uint32_t v;
        if (XmlGetUInt(tok.value, &v, 0, 100) < 0) return xml_fail("parse error: wrong value", scan);
        perc[(*count)++] = static_cast<uint16_t>(v);
        if (XmlGetTok(scan, &tok) < 0) return -1;
        if (tok.kind != TOK_EMPTY_END) return xml_fail("parse error: expected direct close tag", scan);
    }
}

int XmlCheckPage(xml_scan_s* scan, const char* tag, uint16_t* counter, display_s* d) {
    bool have_prev = false;
    uint32_t prev_prio = 0;
    rgb_s col;
    display_elem_s scratch;
    return walk_page(scan, tag, &col, [&](const xml_token_s& tok) {
        if (*counter == UINT16_MAX) return xml_fail("parse error: too many display elements", scan);
        if (parse_element(scan, tok, &scratch, d) < 0) return -1;
        ++*counter;
        if (!kept(scratch)) return 0;
        if (have_prev && scratch.head.prio <= prev_prio)
            return xml_fail("parse error: prio not sorted", scan);
        prev_prio = scratch.head.prio;
        have_prev = true;
        return 0;
    });
}

int XmlParsePage(xml_scan_s* scan, const char* tag, page_s* page, display_elem_s** cursor, display_s* d) {
    XmlInitPage(page);
    display_elem_s* tail = nullptr;
    int r = walk_page(scan, tag, &page->bg_col, [&](const xml_token_s& tok) {
        // The first pass sized the array for this very text; guard it all the same.
        if (*cursor >= d->elem_array + d->elem_capacity)
            return xml_fail("parse error: too many display elements", scan);
        display_elem_s* e = *cursor;
        if (parse_element(scan, tok, e, d) < 0)
            return xml_fail("parse error: expecting display element tag", scan);
        e->next = nullptr;
        if (tail)
            tail->next = e;
        else
            page->elements = e;
        tail = e;
        ++*cursor;
        ++page->elem_count;
        return 0;
    });
    if (r < 0) return -1;
    // Skipped elements (another version) keep their slot but leave the list.
    display_elem_s** link = &page->elements;
    while (*link) {
        if (!kept(**link)) {
            *link = (*link)->next;
            --page->elem_count;
        } else {
            link = &(*link)->next;
        }
    }
    return 0;
}

int XmlParseDisplay(xml_scan_s* scan, display_s** out) {
    auto* d = static_cast<display_s*>(std::calloc(1, sizeof(display_s)));
    if (!d) return xml_fail("Out of memory error!", nullptr);
    *out = d;
    XmlInitDisplay(d);

    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (tok.kind != TOK_DECL) return xml_fail("parse error: expecting special tag xml", scan);
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (tok.kind != TOK_ATTR || std::strcmp(tok.name, "version") != 0)
        return xml_fail("parse error:  expecting version of xml", scan);
    if (XmlGetFloat(tok.value, &d->xml_version) < 0) return xml_fail("parse error: wrong value", scan);
    for (;;) {
        if (XmlGetTok(scan, &tok) < 0) return -1;
        if (tok.kind == TOK_DECL_END) break;
        if (tok.kind != TOK_ATTR) return xml_fail("parse error: expecting special end tag of xml", scan);
    }

    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start_attr(tok, "Display"))
        return xml_fail("parse error: expecting opening tag of display", scan);
    bool seen_version = false, seen_x = false, seen_y = false;
    for (;;) {
        if (XmlGetTok(scan, &tok) < 0) return -1;
        if (tok.kind == TOK_TAG_END) break;
        if (tok.kind != TOK_ATTR) return xml_fail("parse error: expecting paramters of display type", scan);
        uint32_t v;
        if (std::strcmp(tok.name, "version") == 0) {
            if (seen_version) return xml_fail("parse error: parameter version found twice", scan);
            if (XmlGetFloat(tok.value, &d->version) < 0) return xml_fail("parse error: wrong value", scan);
            seen_version = true;
        } else if (std::strcmp(tok.name, "x_res") == 0) {
            if (seen_x) return xml_fail("parse error: res_x found twice", scan);
            if (XmlGetUInt(tok.value, &v, 0, 65535) < 0) return xml_fail("parse error: wrong value", scan);
            d->x_res = static_cast<uint16_t>(v);
            seen_x = true;
        } else if (std::strcmp(tok.name, "y_res") == 0) {
            if (seen_y) return xml_fail("parse error: res_y found twice", scan);
            if (XmlGetUInt(tok.value, &v, 0, 65535) < 0) return xml_fail("parse error: wrong value", scan);
            d->y_res = static_cast<uint16_t>(v);
            seen_y = true;
        }
    }
    if (!seen_version || !seen_x || !seen_y) return xml_fail("parse error: missing paramter", scan);

    // First pass: everything but the pages is read for good; pages are validated and counted.
    bool have_brightness = false, have_pages = false, have_all = false;
    xml_scan_s pages_pos{}, all_pos{}, ahead;
    uint16_t count = 0;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, "Display")) {
            *scan = ahead;
            break;
        }
        if (xml_is_start(tok, "Brightness")) {
            if (XmlParseBrightness_Tag(scan, d->brightness_perc, &d->brightness_count) < 0) return -1;
            have_brightness = true;
        } else if (xml_is_start_attr(tok, "ResetInput")) {
            if (XmlParseChInput_Tag(scan, "ResetInput", &d->reset_input) < 0) return -1;
        } else if (xml_is_start_attr(tok, "PageInput")) {
            if (XmlParseChInput_Tag(scan, "PageInput", &d->page_input) < 0) return -1;
        } else if (xml_is_start_attr(tok, "BrightnessInput")) {
            if (XmlParseChInput_Tag(scan, "BrightnessInput", &d->brightness_input) < 0) return -1;
        } else if (xml_is_start(tok, "VerbTabs")) {
            if (XmlParseVTab(scan, d) < 0) return -1;
        } else if (xml_is_start(tok, "Pages")) {
            *scan = ahead;
            pages_pos = *scan;
            have_pages = true;
            for (;;) {
                if (xml_peek(scan, &ahead, &tok) < 0) return -1;
                if (xml_is_end(tok, "Pages")) {
                    *scan = ahead;
                    break;
                }
                if (XmlCheckPage(scan, "Page", &count, d) < 0) return -1;
            }
        } else if (xml_is_start(tok, "AllPages")) {
            all_pos = *scan;
            have_all = true;
            if (XmlCheckPage(scan, "AllPages", &count, d) < 0) return -1;
        } else if (xml_skip_child(scan, &ahead, &tok) < 0) {
            return -1;
        }
    }
    if (!have_brightness || !have_pages) return xml_fail("parse error: not all tags found", scan);

    d->elem_capacity = static_cast<uint32_t>(count) + 1;
    d->elem_array = static_cast<display_elem_s*>(std::calloc(d->elem_capacity, sizeof(display_elem_s)));
    if (!d->elem_array) {
        d->elem_capacity = 0;
        return xml_fail("could not get memory for display elements", nullptr);
    }
    display_elem_s* cursor = d->elem_array;

    // Second pass: fill the pages from the remembered positions.
    if (have_all) {
        xml_scan_s s = all_pos;
        if (XmlParsePage(&s, "AllPages", &d->all_pages, &cursor, d) < 0) return -1;
    }
    for (auto& p : d->pages)
        p.valid = 0;
    xml_scan_s s = pages_pos;
    for (;;) {
        if (xml_peek(&s, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, "Pages")) break;
        if (d->page_count >= DISPLAY_MAX_PAGES)
            return xml_fail("parse error: max page count reached", nullptr);
        if (XmlParsePage(&s, "Page", &d->pages[d->page_count], &cursor, d) < 0) return -1;
        ++d->page_count;
    }
    return 0;
}
