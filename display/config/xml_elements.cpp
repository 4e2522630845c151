// Display elements (AlphaNumeric, BarGraph, Picture), their decorations and tick lists.
#include <algorithm>
#include <cstring>

#include "display/config/xml_scan.h"

namespace {

int keyword(const char* text, const char* const* names, uint32_t count, uint32_t* out) {
    for (uint32_t i = 0; i < count; ++i) {
        if (std::strcmp(text, names[i]) == 0) {
            *out = i;
            return 0;
        }
    }
    return -1;
}

// ---- attributes -------------------------------------------------------------------------------

// Bits of the attributes seen; the element's own attributes use bits 16 and up.
enum : uint32_t {
    A_VERSION = 1u << 0,
    A_TITLE = 1u << 1,
    A_VIS = 1u << 2,
    A_AOT = 1u << 3,
    A_PRIO = 1u << 4,
    A_POSX = 1u << 5,
    A_POSY = 1u << 6,
    A_SIZEX = 1u << 7,
    A_SIZEY = 1u << 8,
    A_BLINK = 1u << 9,
    A_MINDISP = 1u << 10,
    A_AUTORESET = 1u << 11,
    A_RETRIGGER = 1u << 12,
    A_OWN = 1u << 16,
    A_COMMON_MANDATORY = (1u << 9) - 1,
};

// Where an element keeps its common attributes; the timing group is null for a bar graph.
struct common_fields {
    float* version;
    char* title;
    uint32_t* vis_mode;
    uint8_t* always_on_top;
    uint32_t* geometry[5]; // prio, pos_x, pos_y, size_x, size_y
    uint32_t* blink;
    uint32_t* times[3]; // min_disp_time, auto_reset_time, retrigger_time
};

// The common attribute fields of an element body; one without blink has no timing group either.
template <typename Elem> common_fields common_of(Elem& x) {
    common_fields f = {&x.version,
                       x.title,
                       &x.vis_mode,
                       &x.always_on_top,
                       {&x.prio, &x.pos_x, &x.pos_y, &x.size_x, &x.size_y},
                       nullptr,
                       {nullptr, nullptr, nullptr}};
    if constexpr (requires { x.blink; }) {
        f.blink = &x.blink;
        f.times[0] = &x.min_disp_time;
        f.times[1] = &x.auto_reset_time;
        f.times[2] = &x.retrigger_time;
    }
    return f;
}

// 1 when the attribute is not a common one, else 0 or -1.
int common_attr(xml_scan_s* scan, const xml_token_s& tok, const common_fields& f, uint32_t* seen) {
    static const char* const geo_names[] = {"prio", "pos_x", "pos_y", "size_x", "size_y"};
    static const char* const geo_twice[] = {
        "parse error: prio found twice", "parse error: pos_x found twice", "parse error: pos_y found twice",
        "parse error: size_x found twice", "parse error: size_y found twice"};
    static const char* const time_names[] = {"min_disp_time", "auto_reset_time", "retrigger_time"};
    static const char* const time_twice[] = {"parse error: min_disp_time found twice",
                                             "parse error: auto_reset_time found twice",
                                             "parse error: retrigger_time found twice"};
    auto once = [&](uint32_t bit, const char* twice) {
        if (*seen & bit) return xml_fail(twice, scan);
        *seen |= bit;
        return 0;
    };
    const char* v = tok.value;
    if (std::strcmp(tok.name, "version") == 0) {
        if (once(A_VERSION, "parse error: parameter version found twice") < 0) return -1;
        return XmlGetFloat(v, f.version) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    if (std::strcmp(tok.name, "title") == 0) {
        if (once(A_TITLE, "parse error: title found twice") < 0) return -1;
        xml_copy_text(f.title, 256, v);
        return 0;
    }
    if (std::strcmp(tok.name, "vis_mode") == 0) {
        if (once(A_VIS, "parse error: parameter visual mode found twice") < 0) return -1;
        return XmlStr2VisMode(v, f.vis_mode) < 0 ? xml_fail("parse error: wrong visual mode parameter", scan)
                                                 : 0;
    }
    if (std::strcmp(tok.name, "always_on_top") == 0) {
        if (once(A_AOT, "parse error: always on top found twice") < 0) return -1;
        return XmlGetBool(v, f.always_on_top) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    for (int i = 0; i < 5; ++i) {
        if (std::strcmp(tok.name, geo_names[i]) != 0) continue;
        if (once(A_PRIO << i, geo_twice[i]) < 0) return -1;
        return XmlGetUInt(v, f.geometry[i], 0, 65535) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    if (!f.blink) return 1;
    if (std::strcmp(tok.name, "blink") == 0) {
        if (once(A_BLINK, "parse error: blink found twice") < 0) return -1;
        return XmlStr2BlinkType(v, f.blink) < 0 ? xml_fail("parse error: wrong blink type", scan) : 0;
    }
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(tok.name, time_names[i]) != 0) continue;
        if (once(A_MINDISP << i, time_twice[i]) < 0) return -1;
        return XmlGetUInt(v, f.times[i], 0, 0xFFFFFFFFu) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    return 1;
}

// ---- children ---------------------------------------------------------------------------------

enum elem_kind { KIND_ALPHANUM, KIND_BARGRAPH, KIND_PICTURE };

struct child_fields {
    elem_kind kind;
    awm_meas_in* ch_input; // null for a picture
    awm_meas_in* vis_input;
    float *lower_limit, *lower_hyst, *upper_limit, *upper_hyst; // null for a picture
    void *deco_lower, *deco_middle, *deco_upper;
    tick_s* ticks; // bar graph only
    uint16_t* tick_count;
    rgb_s* transparent; // picture only
    uint8_t* has_deco_lower;
    uint8_t* has_deco_upper;
};

// The children of an element with limits and three decorations (alphanumeric, bar graph).
template <typename Elem> child_fields limit_children(elem_kind kind, Elem& x) {
    return {.kind = kind,
            .ch_input = &x.ch_input,
            .vis_input = &x.vis_input,
            .lower_limit = &x.lower_limit,
            .lower_hyst = &x.lower_hyst,
            .upper_limit = &x.upper_limit,
            .upper_hyst = &x.upper_hyst,
            .deco_lower = &x.deco_lower,
            .deco_middle = &x.deco_middle,
            .deco_upper = &x.deco_upper,
            .has_deco_lower = &x.has_deco_lower,
            .has_deco_upper = &x.has_deco_upper};
}

int parse_deco(xml_scan_s* scan, elem_kind kind, void* deco) {
    switch (kind) {
    case KIND_ALPHANUM:
        return XmlParseAlphaNumDecoTag(scan, static_cast<alphanum_deco_s*>(deco));
    case KIND_BARGRAPH:
        return XmlParseBarGraphDecoTag(scan, static_cast<bargraph_deco_s*>(deco));
    default:
        return XmlParsePictureDecoTag(scan, static_cast<picture_deco_s*>(deco));
    }
}

// DecoLower or DecoUpper: a limit with hysteresis and one deco element.
int parse_limit_deco(xml_scan_s* scan, const child_fields& c, bool upper) {
    const char* tag = upper ? "DecoUpper" : "DecoLower";
    float* limit = upper ? c.upper_limit : c.lower_limit;
    float* hyst = upper ? c.upper_hyst : c.lower_hyst;
    bool seen_limit = false, seen_hyst = false;
    auto on_attr = [&](const xml_token_s& tok) {
        if (std::strcmp(tok.name, "Limit") == 0) {
            if (seen_limit) return xml_fail("parse error: parameter limit found twice", scan);
            if (XmlGetFloat(tok.value, limit) < 0) return xml_fail("parse error: wrong value", scan);
            seen_limit = true;
        } else if (std::strcmp(tok.name, "hyst") == 0) {
            if (seen_hyst) return xml_fail("parse error: hysteresis found twice", scan);
            if (XmlGetFloat(tok.value, hyst) < 0) return xml_fail("parse error: wrong value", scan);
            seen_hyst = true;
        }
        return 0;
    };
    if (xml_read_start_tag(scan, tag, TOK_TAG_END,
                           upper ? "parse error: expecting deco upper open tag"
                                 : "parse error: expecting deco lower open tag",
                           "parse error: expecting attributes of deco type", on_attr) < 0)
        return -1;
    if (!seen_limit || !seen_hyst)
        return xml_fail(c.kind == KIND_ALPHANUM ? "attribute missing" : "missing attribute", scan);
    if (parse_deco(scan, c.kind, upper ? c.deco_upper : c.deco_lower) < 0) return -1;
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_end(tok, tag))
        return xml_fail(upper ? "parse error: expecting deco upper close tag"
                              : "parse error: expecting deco lower close tag",
                        scan);
    *(upper ? c.has_deco_upper : c.has_deco_lower) = 1;
    return 0;
}

int parse_middle_deco(xml_scan_s* scan, const child_fields& c) {
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (xml_is_start_attr(tok, "DecoMiddle")) {
        for (;;) { // attributes are allowed and ignored
            if (XmlGetTok(scan, &tok) < 0) return -1;
            if (tok.kind == TOK_TAG_END) break;
            if (tok.kind != TOK_ATTR) return xml_fail("parse error: expecting attributes", scan);
        }
    } else if (!xml_is_start(tok, "DecoMiddle")) {
        return xml_fail("parse error: expecting deco middle open tag", scan);
    }
    if (parse_deco(scan, c.kind, c.deco_middle) < 0) return -1;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_end(tok, "DecoMiddle")) return xml_fail("parse error: expecting deco middle close tag", scan);
    return 0;
}

// The children up to and including the element's end tag; 0 or -1.
int parse_children(xml_scan_s* scan, const char* tag, child_fields& c, bool vis_needed) {
    bool seen_ch = false, seen_vis = false, seen_middle = false, seen_transparent = false;
    xml_scan_s ahead;
    xml_token_s tok;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, tag)) {
            *scan = ahead;
            break;
        }
        int r;
        if (c.ch_input && xml_is_start_attr(tok, "ChInput")) {
            r = XmlParseChInput_Tag(scan, "ChInput", c.ch_input);
            seen_ch = true;
        } else if (xml_is_start_attr(tok, "VisInput")) {
            r = XmlParseChInput_Tag(scan, "VisInput", c.vis_input);
            seen_vis = true;
        } else if (c.lower_limit && xml_is_start_attr(tok, "DecoLower")) {
            r = parse_limit_deco(scan, c, false);
        } else if (c.upper_limit && xml_is_start_attr(tok, "DecoUpper")) {
            r = parse_limit_deco(scan, c, true);
        } else if (xml_is_start(tok, "DecoMiddle") || xml_is_start_attr(tok, "DecoMiddle")) {
            r = parse_middle_deco(scan, c);
            seen_middle = true;
        } else if (c.ticks && xml_is_start(tok, "TickList")) {
            r = XmlParseTicks(scan, c.ticks, c.tick_count);
        } else if (c.transparent &&
                   (xml_is_start(tok, "TransparentCol") || xml_is_start_attr(tok, "TransparentCol"))) {
            r = XmlParseRGB_Tag(scan, "TransparentCol", c.transparent);
            seen_transparent = true;
        } else {
            r = xml_skip_child(scan, &ahead, &tok);
        }
        if (r < 0) return -1;
    }
    bool ok = seen_middle && (seen_vis || !vis_needed);
    if (c.kind == KIND_BARGRAPH) ok = ok && seen_ch;
    if (c.kind == KIND_PICTURE) ok = ok && seen_transparent;
    return ok ? 0 : xml_fail("parse error: not all tags found", scan);
}

// ---- the element frame ------------------------------------------------------------------------

struct elem_texts {
    const char* tag;
    const char* open;
    const char* scan_failure;
    const char* bad_token;
    const char* missing;
};

using own_attr_fn = int (*)(xml_scan_s*, const xml_token_s&, display_elem_s*, display_s*, uint32_t*);

// Steps shared by the three parsers: start tag, attributes, version rule, geometry, children.
// init resets the record, and the record's fields are reached through common/children.
int parse_element(xml_scan_s* scan, display_elem_s* e, display_s* d, const elem_texts& t,
                  void (*init)(display_elem_s*), const common_fields& common, child_fields& children,
                  own_attr_fn own, uint32_t own_mandatory) {
    init(e);
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start_attr(tok, t.tag)) return xml_fail(t.open, scan);
    uint32_t seen = 0;
    for (;;) {
        if (XmlGetTok(scan, &tok) < 0) return xml_fail(t.scan_failure, scan);
        if (tok.kind == TOK_TAG_END) break;
        if (tok.kind != TOK_ATTR) return xml_fail(t.bad_token, scan);
        int r = common_attr(scan, tok, common, &seen);
        if (r == 1) r = own(scan, tok, e, d, &seen);
        if (r < 0) return -1;
    }
    uint32_t mandatory = A_COMMON_MANDATORY | own_mandatory;
    if ((seen & mandatory) != mandatory) return xml_fail(t.missing, scan);
    if (*common.version != 1.0f) {
        // Another version: skip it whole; the empty record marks it as skipped.
        xml_token_s start{};
        start.kind = TOK_START;
        xml_copy_text(start.name, sizeof start.name, t.tag);
        if (XmlIgnore_Tag(scan, &start) < 0) return -1;
        init(e);
        return 0;
    }
    // Every position and size up to 65535 is valid here, but the toolkit's edges are i16: keep
    // the element with its rectangle cut back to what it can address.
    elem_head_s& h = e->head;
    h.pos_x = std::min(h.pos_x, DISPLAY_COORD_LIMIT);
    h.pos_y = std::min(h.pos_y, DISPLAY_COORD_LIMIT);
    h.size_x = std::min(h.size_x, DISPLAY_COORD_LIMIT - h.pos_x);
    h.size_y = std::min(h.size_y, DISPLAY_COORD_LIMIT - h.pos_y);
    return parse_children(scan, t.tag, children, *common.vis_mode != VIS_ALWAYS);
}

int alphanum_attr(xml_scan_s* scan, const xml_token_s& tok, display_elem_s* e, display_s* d, uint32_t* seen) {
    alphanum_s& a = e->alphanum;
    struct kw {
        const char* name;
        const char* twice;
        const char* wrong;
        int (*conv)(const char*, uint32_t*);
        uint32_t* field;
    } const kws[] = {
        {"font_size", "parse error: parameter font size found twice",
         "parse error: wrong font size parameter", XmlStr2FontSize, &a.font_size},
        {"align", "parse error: parameter alignment found twice", "parse error: wrong align parameter",
         XmlStr2Align, &a.align},
        {"dispmode", "parse error: parameter display mode found twice",
         "parse error: wrong display mode parameter", XmlStr2DispOpt, &a.dispmode},
    };
    for (uint32_t i = 0; i < 3; ++i) {
        if (std::strcmp(tok.name, kws[i].name) != 0) continue;
        if (*seen & (A_OWN << i)) return xml_fail(kws[i].twice, scan);
        *seen |= A_OWN << i;
        return kws[i].conv(tok.value, kws[i].field) < 0 ? xml_fail(kws[i].wrong, scan) : 0;
    }
    if (std::strcmp(tok.name, "vtab") == 0) {
        if (*seen & (A_OWN << 3)) return xml_fail("parse error: vtab found twice", scan);
        *seen |= A_OWN << 3;
        if (tok.value[0] == '\0') {
            a.vtab = nullptr;
            return 0;
        }
        a.vtab = XmlSearchVTab(d ? d->vtabs : nullptr, tok.value);
        return a.vtab ? 0 : xml_fail("parse error: vtab reference not found", scan);
    }
    if (std::strcmp(tok.name, "format_str") == 0) {
        if (*seen & (A_OWN << 4)) return xml_fail("parse error: format_str found twice", scan);
        *seen |= A_OWN << 4;
        xml_copy_text(a.format_str, sizeof a.format_str, tok.value);
    }
    return 0;
}

int bargraph_attr(xml_scan_s* scan, const xml_token_s& tok, display_elem_s* e, display_s*, uint32_t* seen) {
    bargraph_s& b = e->bargraph;
    auto once = [&](uint32_t i, const char* twice) {
        if (*seen & (A_OWN << i)) return xml_fail(twice, scan);
        *seen |= A_OWN << i;
        return 0;
    };
    if (std::strcmp(tok.name, "style") == 0) {
        if (once(0, "parse error: parameter bar graph style found twice") < 0) return -1;
        return XmlStr2BargrStyle(tok.value, &b.style) < 0
                   ? xml_fail("parse error: wrong bar graph style parameter", scan)
                   : 0;
    }
    if (std::strcmp(tok.name, "orientation") == 0) {
        if (once(1, "parse error: parameter bar graph orientation found twice") < 0) return -1;
        return XmlStr2BargrBargrOrient(tok.value, &b.orientation) < 0
                   ? xml_fail("parse error: wrong bar graph orientation parameter", scan)
                   : 0;
    }
    if (std::strcmp(tok.name, "ticks") == 0) {
        if (once(2, "parse error: ticks found twice") < 0) return -1;
        return XmlGetBool(tok.value, &b.ticks) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    if (std::strcmp(tok.name, "min") == 0) {
        if (once(3, "parse error: min found twice") < 0) return -1;
        return XmlGetFloat(tok.value, &b.min) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    if (std::strcmp(tok.name, "max") == 0) {
        if (once(4, "parse error: max found twice") < 0) return -1;
        return XmlGetFloat(tok.value, &b.max) < 0 ? xml_fail("parse error: wrong value", scan) : 0;
    }
    return 0;
}

int picture_attr(xml_scan_s* scan, const xml_token_s& tok, display_elem_s* e, display_s*, uint32_t* seen) {
    picture_s& p = e->picture.picture;
    auto once = [&](uint32_t i, const char* twice) {
        if (*seen & (A_OWN << i)) return xml_fail(twice, scan);
        *seen |= A_OWN << i;
        return 0;
    };
    if (std::strcmp(tok.name, "filename") == 0) {
        if (once(0, "parse error: filename found twice") < 0) return -1;
        xml_copy_text(p.filename, sizeof p.filename, tok.value);
        return 0;
    }
    if (std::strcmp(tok.name, "ofs") == 0) {
        if (once(1, "parse error: offset found twice") < 0) return -1;
        return XmlGetHex(tok.value, &p.ofs, 0, 0xFFFFFFFFu) < 0 ? xml_fail("parse error: wrong value", scan)
                                                                : 0;
    }
    if (std::strcmp(tok.name, "len") == 0) {
        if (once(2, "parse error: length found twice") < 0) return -1;
        return XmlGetHex(tok.value, &p.len, 0, 0xFFFFFFFFu) < 0 ? xml_fail("parse error: wrong value", scan)
                                                                : 0;
    }
    return 0;
}

// ---- decorations ------------------------------------------------------------------------------

int parse_deco_frame(xml_scan_s* scan, const char* tag, const char* open_err, const char* close_err,
                     const char* const* names, rgb_s* const* fields, int n, uint32_t* style) {
    bool seen_style = false;
    auto on_attr = [&](const xml_token_s& tok) {
        if (std::strcmp(tok.name, "style") == 0) {
            if (seen_style) return xml_fail("parse error: parameter style found twice", scan);
            if (XmlStr2Style(tok.value, style) < 0)
                return xml_fail("parse error: wrong style parameter", scan);
            seen_style = true;
        }
        return 0;
    };
    if (xml_read_start_tag(scan, tag, TOK_TAG_END, open_err, "parse error: expecting attributes of deco type",
                           on_attr) < 0)
        return -1;
    if (!seen_style) return xml_fail("attribute style not found", scan);
    bool seen[8] = {};
    xml_token_s tok;
    xml_scan_s ahead;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (tok.kind != TOK_START_ATTR) break;
        int i = 0;
        while (i < n && std::strcmp(tok.name, names[i]) != 0)
            ++i;
        if (i == n) {
            if (xml_skip_child(scan, &ahead, &tok) < 0) return -1;
            continue;
        }
        if (XmlParseRGB_Tag(scan, names[i], fields[i]) < 0) return -1;
        seen[i] = true;
    }
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_end(tok, tag)) return xml_fail(close_err, scan);
    for (int i = 0; i < n; ++i)
        if (!seen[i]) return xml_fail("parse error: not all colours found", scan);
    return 0;
}

template <typename Deco> void init_deco_common(Deco* deco) {
    XmlInitRGB(&deco->bg_col);
    XmlInitRGB(&deco->title_bg_col);
    XmlInitRGB(&deco->title_fg_col);
    XmlInitRGB(&deco->border_bg_col);
    XmlInitRGB(&deco->border_fg_col);
    deco->style = DECO_NONE;
}

} // namespace

// ---- keywords ---------------------------------------------------------------------------------

int XmlStr2VisMode(const char* text, uint32_t* out) {
    static const char* const n[] = {"always", "limit", "limit_resetable"};
    return keyword(text, n, 3, out);
}

int XmlStr2FontSize(const char* text, uint32_t* out) {
    static const char* const n[] = {"tiny", "small", "normal", "large", "extralarge", "xxlarge", "xxxlarge"};
    return keyword(text, n, 7, out);
}

int XmlStr2Align(const char* text, uint32_t* out) {
    static const char* const n[] = {"TL", "TM", "TR", "ML", "MM", "MR", "BL", "BM", "BR"};
    return keyword(text, n, 9, out);
}

int XmlStr2DispOpt(const char* text, uint32_t* out) {
    // 0 is the reset value only: the keywords start at 1
    static const char* const n[] = {"normal",        "time_hh_mm_ss", "time_mm_ss_ms", "time_u_sss_ms",
                                    "time_s_sss_ms", "verbal",        "ascii"};
    uint32_t v;
    if (keyword(text, n, 7, &v) < 0) return -1;
    *out = v + 1;
    return 0;
}

int XmlStr2BlinkType(const char* text, uint32_t* out) {
    static const char* const n[] = {"off", "slow", "fast"};
    return keyword(text, n, 3, out);
}

int XmlStr2Style(const char* text, uint32_t* out) {
    static const char* const n[] = {"none", "single_line", "double_line", "single_top", "single_side"};
    return keyword(text, n, 5, out);
}

int XmlStr2BargrStyle(const char* text, uint32_t* out) {
    static const char* const n[] = {"solid", "stacked"};
    return keyword(text, n, 2, out);
}

int XmlStr2BargrBargrOrient(const char* text, uint32_t* out) {
    static const char* const n[] = {"hori_lr", "hori_rl", "vert_bt", "vert_tb"};
    return keyword(text, n, 4, out);
}

// ---- decorations ------------------------------------------------------------------------------

void XmlInitAlphaNumDeco(alphanum_deco_s* deco) {
    init_deco_common(deco);
    XmlInitRGB(&deco->text_bg_col);
    XmlInitRGB(&deco->text_fg_col);
}

void XmlInitBarGraphDeco(bargraph_deco_s* deco) {
    init_deco_common(deco);
    XmlInitRGB(&deco->bar_bg_col);
    XmlInitRGB(&deco->bar_fg_col);
    XmlInitRGB(&deco->ticks_col);
}

void XmlInitPictureDeco(picture_deco_s* deco) {
    init_deco_common(deco);
}

int XmlParseAlphaNumDecoTag(xml_scan_s* scan, alphanum_deco_s* deco) {
    XmlInitAlphaNumDeco(deco);
    static const char* const names[] = {"BGCol",       "TitleBGCol", "TitleFGCol", "BorderBGCol",
                                        "BorderFGCol", "TextBGCol",  "TextFGCol"};
    rgb_s* const fields[] = {&deco->bg_col,        &deco->title_bg_col,  &deco->title_fg_col,
                             &deco->border_bg_col, &deco->border_fg_col, &deco->text_bg_col,
                             &deco->text_fg_col};
    return parse_deco_frame(scan, "AlphaNumDeco", "parse error: expecting AlphaNumDeco open tag",
                            "parse error: expecting AlphaNumDeco close tag", names, fields, 7, &deco->style);
}

int XmlParseBarGraphDecoTag(xml_scan_s* scan, bargraph_deco_s* deco) {
    XmlInitBarGraphDeco(deco);
    static const char* const names[] = {"BGCol",       "TitleBGCol", "TitleFGCol", "BorderBGCol",
                                        "BorderFGCol", "BarBGCol",   "BarFGCol",   "TicksCol"};
    rgb_s* const fields[] = {&deco->bg_col,        &deco->title_bg_col,  &deco->title_fg_col,
                             &deco->border_bg_col, &deco->border_fg_col, &deco->bar_bg_col,
                             &deco->bar_fg_col,    &deco->ticks_col};
    return parse_deco_frame(scan, "BarGraphDeco", "parse error: expecting BarGraphDeco open tag",
                            "parse error: expecting BarGraphDeco close tag", names, fields, 8, &deco->style);
}

int XmlParsePictureDecoTag(xml_scan_s* scan, picture_deco_s* deco) {
    XmlInitPictureDeco(deco);
    static const char* const names[] = {"BGCol", "TitleBGCol", "TitleFGCol", "BorderBGCol", "BorderFGCol"};
    rgb_s* const fields[] = {&deco->bg_col, &deco->title_bg_col, &deco->title_fg_col, &deco->border_bg_col,
                             &deco->border_fg_col};
    return parse_deco_frame(scan, "PictureDeco", "parse error: expecting PitureDeco open tag",
                            "parse error: expecting PictureDeco close tag", names, fields, 5, &deco->style);
}

// ---- ticks ------------------------------------------------------------------------------------

int XmlParseTickTab(xml_scan_s* scan, tick_s* tick) {
    std::memset(tick, 0, sizeof *tick);
    bool seen_name = false, seen_value = false;
    auto on_attr = [&](const xml_token_s& tok) {
        if (std::strcmp(tok.name, "name") == 0) {
            if (seen_name) return xml_fail("parse error: name found twice", scan);
            xml_copy_text(tick->name, sizeof tick->name, tok.value);
            seen_name = true;
        } else if (std::strcmp(tok.name, "value") == 0) {
            if (seen_value) return xml_fail("parse error: value found twice", scan);
            if (XmlGetFloat(tok.value, &tick->value) < 0) return xml_fail("parse error: wrong value", scan);
            seen_value = true;
        }
        return 0;
    };
    if (xml_read_start_tag(scan, "Tab", TOK_EMPTY_END, "parse error: expecting open tag tab",
                           "parse error: expecting paramters of tab", on_attr) < 0)
        return -1;
    if (!seen_name || !seen_value) return xml_fail("parse error: missing attribute of tab", scan);
    return 0;
}

int XmlParseTicks(xml_scan_s* scan, tick_s* ticks, uint16_t* count) {
    *count = 0;
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start(tok, "TickList")) return xml_fail("parse error: expecting open tag ticklist", scan);
    xml_scan_s ahead;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0)
            return xml_fail("parse error: expecting paramters of ticks type", &ahead);
        if (xml_is_end(tok, "TickList")) {
            *scan = ahead;
            return 0;
        }
        if (xml_is_start_attr(tok, "Tab")) {
            if (*count >= BARGRAPH_MAX_TICKS) return xml_fail("parse error: too many ticks", scan);
            if (XmlParseTickTab(scan, &ticks[*count]) < 0) return -1;
            ++*count;
        } else if (xml_skip_child(scan, &ahead, &tok) < 0) {
            return -1;
        }
    }
}

// ---- elements ---------------------------------------------------------------------------------

void XmlInitAlphaNumeric(display_elem_s* e) {
    std::memset(e, 0, sizeof *e);
    e->type = ELEM_ALPHANUMERIC;
    alphanum_s& a = e->alphanum;
    XmlInitAlphaNumDeco(&a.deco_lower);
    XmlInitAlphaNumDeco(&a.deco_middle);
    XmlInitAlphaNumDeco(&a.deco_upper);
    a.font_size = FONT_NORMAL;
    a.align = ALIGN_MM;
    a.dispmode = DISPMODE_NONE;
    a.vis_mode = VIS_ALWAYS;
    XmlInitChInput(&a.vis_input);
    XmlInitChInput(&a.ch_input);
    a.vtab = nullptr;
    a.blink = BLINK_OFF;
}

void XmlInitBarGraph(display_elem_s* e) {
    std::memset(e, 0, sizeof *e);
    e->type = ELEM_BARGRAPH;
    bargraph_s& b = e->bargraph;
    b.style = BAR_SOLID;
    b.orientation = BAR_HORI_LR;
    XmlInitBarGraphDeco(&b.deco_lower);
    XmlInitBarGraphDeco(&b.deco_middle);
    XmlInitBarGraphDeco(&b.deco_upper);
    b.min = 0.0f;
    b.max = 1.0f;
    b.vis_mode = VIS_ALWAYS;
    XmlInitChInput(&b.vis_input);
    XmlInitChInput(&b.ch_input);
}

void XmlInitPictureElement(display_elem_s* e) {
    std::memset(e, 0, sizeof *e);
    e->type = ELEM_PICTURE;
    picture_elem_s& p = e->picture;
    XmlInitRGB(&p.picture.transparent_col);
    XmlInitPictureDeco(&p.deco_middle);
    p.vis_mode = VIS_ALWAYS;
    XmlInitChInput(&p.vis_input);
    p.blink = BLINK_OFF;
}

int XmlParseAlphaNumDisplayElement(xml_scan_s* scan, display_elem_s* e, display_s* d) {
    alphanum_s& a = e->alphanum;
    static const elem_texts texts = {"AlphaNumeric", "parse error: expecting AlphaNumeric open tag",
                                     "parse error: expecting paramters of alphanum type",
                                     "parse error: expecting paramters of alphanum type",
                                     "parse error: missing attribute"};
    common_fields common = common_of(a);
    child_fields children = limit_children(KIND_ALPHANUM, a);
    return parse_element(scan, e, d, texts, XmlInitAlphaNumeric, common, children, alphanum_attr,
                         0x1Fu << 16);
}

int XmlParseBarGraphDisplayElement(xml_scan_s* scan, display_elem_s* e) {
    bargraph_s& b = e->bargraph;
    static const elem_texts texts = {"BarGraph", "parse error: expecting barGraph open tag",
                                     "parse error: expecting paramters of barpraph type",
                                     "parse error: expecting paramters of bargraph type",
                                     "parse error: missing paramter"};
    common_fields common = common_of(b);
    child_fields children = limit_children(KIND_BARGRAPH, b);
    children.ticks = b.tick_list;
    children.tick_count = &b.tick_count;
    return parse_element(scan, e, nullptr, texts, XmlInitBarGraph, common, children, bargraph_attr,
                         0x1Fu << 16);
}

int XmlParsePictureDisplayElement(xml_scan_s* scan, display_elem_s* e) {
    picture_elem_s& p = e->picture;
    static const elem_texts texts = {"Picture", "parse error: expecting picture open tag",
                                     "parse error: expecting paramters of picture type",
                                     "parse error: expecting paramters of picture type",
                                     "parse error: missing parameter"};
    common_fields common = common_of(p);
    child_fields children = {.kind = KIND_PICTURE,
                             .vis_input = &p.vis_input,
                             .deco_middle = &p.deco_middle,
                             .transparent = &p.picture.transparent_col};
    return parse_element(scan, e, nullptr, texts, XmlInitPictureElement, common, children, picture_attr,
                         0x7u << 16);
}
