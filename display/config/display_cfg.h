// The page description of "cfg:/display.xml": its records, and the reader that loads them.
//
// The page description read from "cfg:/display.xml": the records the display builds its pages,
// pictures and data sources from, and the calls that load, free and query them.
//
// All records are plain structures; texts are fixed-size and NUL-terminated. A load makes one
// display_s, one element array and the verbal-table arrays; XmlFreeDisplay releases all of them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int DISPLAY_MAX_PAGES = 12;
constexpr int DISPLAY_MAX_BRIGHTNESS = 6;
constexpr int BARGRAPH_MAX_TICKS = 20;
// Elements are placed into GuiRect, whose edges are i16: a rectangle reaching past this is cut
// back to it when read.
constexpr uint32_t DISPLAY_COORD_LIMIT = 32767;

struct rgb_s {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// Data type of a channel's raw value ("type" attribute).
enum TypeEnum_t : uint16_t {
    TYPE_NONE = 0,
    TYPE_UINT8 = 1,
    TYPE_SINT8 = 2,
    TYPE_UINT16 = 3,
    TYPE_SINT16 = 4,
    TYPE_UINT32 = 5,
    TYPE_SINT32 = 6,
    TYPE_FLOAT = 7,
    TYPE_BOOL = 8,
};

// A channel input: where the value comes from and how it is quantised.
struct awm_meas_in {
    uint32_t adr;
    uint32_t mask;
    float quant_a, quant_b, quant_c, quant_d, quant_e, quant_f;
    uint16_t type; // TypeEnum_t
};

enum VisModeType_t : uint32_t { VIS_ALWAYS = 0, VIS_LIMIT = 1, VIS_LIMIT_RESETABLE = 2 };
enum FontSizeType_t : uint32_t {
    FONT_TINY = 0,
    FONT_SMALL = 1,
    FONT_NORMAL = 2,
    FONT_LARGE = 3,
    FONT_EXTRALARGE = 4,
    FONT_XXLARGE = 5,
    FONT_XXXLARGE = 6,
};
enum AlignType_t : uint32_t {
    ALIGN_TL = 0,
    ALIGN_TM = 1,
    ALIGN_TR = 2,
    ALIGN_ML = 3,
    ALIGN_MM = 4,
    ALIGN_MR = 5,
    ALIGN_BL = 6,
    ALIGN_BM = 7,
    ALIGN_BR = 8,
};
enum DispModeType_t : uint32_t {
    DISPMODE_NONE = 0,
    DISPMODE_NORMAL = 1,
    DISPMODE_TIME_HH_MM_SS = 2,
    DISPMODE_TIME_MM_SS_MS = 3,
    DISPMODE_TIME_U_SSS_MS = 4,
    DISPMODE_TIME_S_SSS_MS = 5,
    DISPMODE_VERBAL = 6,
    DISPMODE_ASCII = 7,
};
enum BlinkType_t : uint32_t { BLINK_OFF = 0, BLINK_SLOW = 1, BLINK_FAST = 2 };
enum DecoStyleType_t : uint32_t {
    DECO_NONE = 0,
    DECO_SINGLE_LINE = 1,
    DECO_DOUBLE_LINE = 2,
    DECO_SINGLE_TOP = 3,
    DECO_SINGLE_SIDE = 4,
};
enum BarStyleType_t : uint32_t { BAR_SOLID = 0, BAR_STACKED = 1 };
enum BarOrientType_t : uint32_t { BAR_HORI_LR = 0, BAR_HORI_RL = 1, BAR_VERT_BT = 2, BAR_VERT_TB = 3 };

enum DisplayElemType_t : uint32_t { ELEM_ALPHANUMERIC = 0, ELEM_BARGRAPH = 1, ELEM_PICTURE = 2 };

struct alphanum_deco_s {
    rgb_s bg_col, title_bg_col, title_fg_col, border_bg_col, border_fg_col;
    uint32_t style; // DecoStyleType_t
    rgb_s text_bg_col, text_fg_col;
};

struct bargraph_deco_s {
    rgb_s bg_col, title_bg_col, title_fg_col, border_bg_col, border_fg_col;
    uint32_t style;
    rgb_s bar_bg_col, bar_fg_col, ticks_col;
};

struct picture_deco_s {
    rgb_s bg_col, title_bg_col, title_fg_col, border_bg_col, border_fg_col;
    uint32_t style;
};

struct tick_s {
    char name[8];
    float value;
};

// Image reference: a PNG stored at ofs, len bytes long, inside filename.
struct picture_s {
    rgb_s transparent_col;
    char filename[256];
    uint32_t ofs;
    uint32_t len;
};

struct vtab_s;

// The six fields every element body starts with (read through display_elem_s::head).
struct elem_head_s {
    float version;
    uint32_t prio;
    uint32_t pos_x, pos_y;
    uint32_t size_x, size_y;
};

struct alphanum_s {
    float version;
    uint32_t prio;
    uint32_t pos_x, pos_y;
    uint32_t size_x, size_y;
    float lower_limit, lower_hyst;
    uint8_t has_deco_lower;
    alphanum_deco_s deco_lower;
    alphanum_deco_s deco_middle;
    float upper_limit, upper_hyst;
    uint8_t has_deco_upper;
    alphanum_deco_s deco_upper;
    char title[256];
    uint32_t font_size; // FontSizeType_t
    uint32_t align;     // AlignType_t
    uint32_t dispmode;  // DispModeType_t
    char format_str[256];
    uint32_t vis_mode; // VisModeType_t
    awm_meas_in vis_input;
    awm_meas_in ch_input;
    uint8_t always_on_top;
    vtab_s* vtab;
    uint32_t blink; // BlinkType_t
    uint32_t min_disp_time;
    uint32_t auto_reset_time;
    uint32_t retrigger_time;
};

struct bargraph_s {
    float version;
    uint32_t prio;
    uint32_t pos_x, pos_y;
    uint32_t size_x, size_y;
    uint32_t style;       // BarStyleType_t
    uint32_t orientation; // BarOrientType_t
    uint16_t tick_count;
    tick_s tick_list[BARGRAPH_MAX_TICKS];
    float lower_limit, lower_hyst;
    uint8_t has_deco_lower;
    bargraph_deco_s deco_lower;
    bargraph_deco_s deco_middle;
    float upper_limit, upper_hyst;
    uint8_t has_deco_upper;
    bargraph_deco_s deco_upper;
    float min, max;
    char title[256];
    uint32_t vis_mode;
    awm_meas_in vis_input;
    awm_meas_in ch_input;
    uint8_t always_on_top;
    uint8_t ticks;
};

struct picture_elem_s {
    float version;
    uint32_t prio;
    uint32_t pos_x, pos_y;
    uint32_t size_x, size_y;
    picture_s picture;
    picture_deco_s deco_middle;
    char title[256];
    uint32_t vis_mode;
    awm_meas_in vis_input;
    uint8_t always_on_top;
    uint32_t blink;
    uint32_t min_disp_time;
    uint32_t auto_reset_time;
    uint32_t retrigger_time;
};

struct display_elem_s {
    uint32_t type; // DisplayElemType_t
    union {
        elem_head_s head;
        alphanum_s alphanum;
        bargraph_s bargraph;
        picture_elem_s picture;
    };
    display_elem_s* next;
};

struct page_s {
    uint8_t valid;
    rgb_s bg_col;
    uint16_t elem_count;
    display_elem_s* elements; // file order, which is ascending prio
};

struct vtab_entry_s {
    vtab_entry_s* parent;
    vtab_entry_s* left;
    vtab_entry_s* right;
    int8_t balance; // height(right) - height(left)
    char text[256];
    int32_t num; // ordered as an unsigned 32-bit number
};

struct vtab_s {
    char name[255];
    char default_text[257];
    vtab_entry_s* root;
    vtab_s* next;
};

struct display_s {
    uint16_t x_res;
    uint16_t y_res;
    uint16_t page_count;
    uint16_t brightness_perc[DISPLAY_MAX_BRIGHTNESS];
    uint16_t brightness_count;
    page_s pages[DISPLAY_MAX_PAGES];
    page_s all_pages;
    vtab_s* vtabs; // from the last VerbTab of the file to the first
    float version;
    float xml_version;
    awm_meas_in reset_input;
    awm_meas_in page_input;
    awm_meas_in brightness_input;

    // Storage owned by this description; lists above point into it.
    display_elem_s* elem_array;
    uint32_t elem_capacity;
    vtab_s* vtab_array;
    vtab_entry_s* vtab_entry_array;
};

// Loads and parses a description from a drive path ("cfg:/display.xml"). 0 with *out set to a new display_s;
// -1 on failure with the error text set (xml_get_error_msg). When parsing started, *out holds the partly
// filled description, which the caller releases with XmlFreeDisplay.
int XmlLoad(const char* path, display_s** out);

// Releases a description and everything it owns; null is allowed.
void XmlFreeDisplay(display_s* display);

// Copies the last error text into dst (n bytes, capped at 254), always NUL-terminated.
void xml_get_error_msg(char* dst, int n);

// Text of the entry whose num equals value, else the table's default text. 0, or -1 with out
// untouched when vtab or out is null. out holds at least 255 bytes.
int XmlVTabOutput(const vtab_s* vtab, uint32_t value, char* out);

// First table of the list with that name, or null.
vtab_s* XmlSearchVTab(vtab_s* first, const char* name);

// Host path of a drive path ("cfg:/a.png") through the OS layer's devices. False when the
// drive is not installed, the path would leave it, or the result does not fit into n bytes.
bool display_cfg_path(const char* path, char* out, size_t n);
