// The display description reader's scanner and parsers: a strict XML subset (one "<?xml"
// declaration, elements with double-quoted attributes, empty elements, comments; no text content,
// CDATA, DOCTYPE or other processing instructions). Not re-entrant: the last error text is one
// static buffer and the last report wins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/config/display_cfg.h"

constexpr int XML_NAME_MAX = 254;   // characters of a name or decoded value
constexpr int XML_ERROR_SIZE = 254; // bytes of the error buffer
constexpr int XML_SKIP_DEPTH_MAX = 64;

// Scanner state; parsers copy it to look ahead and write the copy back to commit.
struct xml_scan_s {
    const char* cur; // next unread byte
    int32_t len;
    int32_t pos;  // index of cur; input ends when pos >= len
    int32_t line; // from 1
    int32_t col;  // from 0, restarts at a carriage return
};

enum XmlTokKind_t : uint32_t {
    TOK_START = 0,      // "<name>"
    TOK_START_ATTR = 1, // "<name" followed by attributes
    TOK_TAG_END = 2,    // ">"
    TOK_EMPTY_END = 3,  // "/>"
    TOK_END = 4,        // "</name>"
    TOK_DECL = 5,       // "<?xml"
    TOK_DECL_END = 6,   // "?>"
    TOK_ATTR = 7,       // name="value"
    TOK_EOF = 9,
    TOK_NONE = 10,
};

struct xml_token_s {
    uint32_t kind; // XmlTokKind_t
    char name[255];
    char value[255];
};

// ---- scanner -------------------------------------------------------------------------------
void xml_scan_init(xml_scan_s* scan, const char* data, int32_t len);
// Formats the error text "%s in line %d column %d" (just msg when scan is null).
void xml_error(const char* msg, const xml_scan_s* scan);
const char* xml_error_text();
// xml_error, then -1: for "return xml_fail(...)" in the parsers.
int xml_fail(const char* msg, const xml_scan_s* scan);
// Copies src into dst of size bytes, cut to fit and always NUL-terminated.
void xml_copy_text(char* dst, size_t size, const char* src);
// 0 a token, 1 end of input (TOK_EOF), -1 scan error (text set).
int XmlGetTok(xml_scan_s* scan, xml_token_s* tok);
// Skips the rest of an element whose start token was consumed; 0 or -1.
int XmlIgnore_Tag(xml_scan_s* scan, const xml_token_s* tok);
// Copies content (entities decoded) up to the next '<', '>' or '"', at most size-1 bytes.
int XmlScanContent(xml_scan_s* scan, int size, char* buffer);

int xml_skip_blank(xml_scan_s* scan);
int xml_is_letter(int c);
int isDigit(int c);
int xml_scan_name(xml_scan_s* scan, char* name);
int xml_scan_string(xml_scan_s* scan, char* value);
int xml_scan_content(xml_scan_s* scan, int size, char* buffer, int* copied);

// ---- value converters: the whole text must be consumed; 0, or -1 with *out untouched ----------
int XmlGetBool(const char* text, uint8_t* out);
int XmlGetInt(const char* text, int32_t* out, int32_t min, int32_t max);
int XmlGetUInt(const char* text, uint32_t* out, uint32_t min, uint32_t max);
int XmlGetHex(const char* text, uint32_t* out, uint32_t min, uint32_t max);
int XmlGetFloat(const char* text, float* out);

// ---- parsers ---------------------------------------------------------------------------------
// Reads the next token on a copy of scan; the copy is returned in ahead. 0 or -1.
int xml_peek(const xml_scan_s* scan, xml_scan_s* ahead, xml_token_s* tok);
// A child that no parser expects: consume it (the look-ahead copy) and skip it.
int xml_skip_child(xml_scan_s* scan, const xml_scan_s* ahead, const xml_token_s* tok);
bool xml_is_start(const xml_token_s& tok, const char* name);
bool xml_is_start_attr(const xml_token_s& tok, const char* name);
bool xml_is_end(const xml_token_s& tok, const char* name);
// Reads the start tag "<tag" and its attributes up to end_kind (TOK_TAG_END or TOK_EMPTY_END),
// handing each attribute to on_attr (0, or -1 to stop). 0, or -1 with the error text set:
// open_err when tag is not next, attr_err for a token that is no attribute.
template <typename OnAttr>
int xml_read_start_tag(xml_scan_s* scan, const char* tag, uint32_t end_kind, const char* open_err,
                       const char* attr_err, OnAttr&& on_attr) {
    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start_attr(tok, tag)) return xml_fail(open_err, scan);
    for (;;) {
        if (XmlGetTok(scan, &tok) < 0) return -1;
        if (tok.kind == end_kind) return 0;
        if (tok.kind != TOK_ATTR) return xml_fail(attr_err, scan);
        if (on_attr(static_cast<const xml_token_s&>(tok)) < 0) return -1;
    }
}

int XmlParseDisplay(xml_scan_s* scan, display_s** out);
void XmlInitDisplay(display_s* d);
void XmlInitPage(page_s* page);
int XmlCheckPage(xml_scan_s* scan, const char* tag, uint16_t* counter, display_s* d);
int XmlParsePage(xml_scan_s* scan, const char* tag, page_s* page, display_elem_s** cursor, display_s* d);
int XmlParseBrightness_Tag(xml_scan_s* scan, uint16_t* perc, uint16_t* count);
void XmlInitChInput(awm_meas_in* in);
int XmlParseChInput_Tag(xml_scan_s* scan, const char* tag, awm_meas_in* in);
void XmlInitRGB(rgb_s* col);
int XmlParseRGB_Tag(xml_scan_s* scan, const char* tag, rgb_s* col);
int XmlStr2Type(const char* text, uint16_t* out);

int XmlParseAlphaNumDisplayElement(xml_scan_s* scan, display_elem_s* e, display_s* d);
int XmlParseBarGraphDisplayElement(xml_scan_s* scan, display_elem_s* e);
int XmlParsePictureDisplayElement(xml_scan_s* scan, display_elem_s* e);
void XmlInitAlphaNumeric(display_elem_s* e);
void XmlInitBarGraph(display_elem_s* e);
void XmlInitPictureElement(display_elem_s* e);
int XmlParseAlphaNumDecoTag(xml_scan_s* scan, alphanum_deco_s* deco);
int XmlParseBarGraphDecoTag(xml_scan_s* scan, bargraph_deco_s* deco);
int XmlParsePictureDecoTag(xml_scan_s* scan, picture_deco_s* deco);
void XmlInitAlphaNumDeco(alphanum_deco_s* deco);
void XmlInitBarGraphDeco(bargraph_deco_s* deco);
void XmlInitPictureDeco(picture_deco_s* deco);
int XmlParseTicks(xml_scan_s* scan, tick_s* ticks, uint16_t* count);
int XmlParseTickTab(xml_scan_s* scan, tick_s* tick);
int XmlStr2VisMode(const char* text, uint32_t* out);
int XmlStr2FontSize(const char* text, uint32_t* out);
int XmlStr2Align(const char* text, uint32_t* out);
int XmlStr2DispOpt(const char* text, uint32_t* out);
int XmlStr2BlinkType(const char* text, uint32_t* out);
int XmlStr2Style(const char* text, uint32_t* out);
int XmlStr2BargrStyle(const char* text, uint32_t* out);
int XmlStr2BargrBargrOrient(const char* text, uint32_t* out);

int XmlParseVTab(xml_scan_s* scan, display_s* d);
int XmlCheckVTabs(xml_scan_s* scan, uint16_t* counter);
int XmlParseVTabs(xml_scan_s* scan, vtab_s* table, vtab_entry_s** cursor, vtab_entry_s* end);
int XmlParseVTabTag(xml_scan_s* scan, vtab_entry_s* entry);
void XmlInitVTab(vtab_entry_s* entry);
void XmlAVLinsert(vtab_entry_s** root, vtab_entry_s* entry);
