// Geometry, colour, bitmap and font records of the GUI toolkit.
#pragma once

#include <cstdint>

struct GuiPoint {
    int16_t x = 0;
    int16_t y = 0;
    constexpr GuiPoint() = default;
    constexpr GuiPoint(int px, int py) : x(static_cast<int16_t>(px)), y(static_cast<int16_t>(py)) {}
    constexpr bool operator==(const GuiPoint&) const = default;
};

// Edges are inclusive; a rectangle whose right < left or bottom < top is empty.
struct GuiRect {
    int16_t left = 0;
    int16_t top = 0;
    int16_t right = 0;
    int16_t bottom = 0;

    constexpr GuiRect() = default;
    constexpr GuiRect(int l, int t, int r, int b)
        : left(static_cast<int16_t>(l)), top(static_cast<int16_t>(t)), right(static_cast<int16_t>(r)),
          bottom(static_cast<int16_t>(b)) {}

    constexpr void Set(int l, int t, int r, int b) { *this = GuiRect(l, t, r, b); }
    constexpr int Width() const { return right - left + 1; }
    constexpr int Height() const { return bottom - top + 1; }
    constexpr bool IsEmpty() const { return right < left || bottom < top; }
    constexpr void MoveTo(int x, int y) { Shift(x - left, y - top); }
    constexpr void Shift(int dx, int dy) {
        left = static_cast<int16_t>(left + dx);
        right = static_cast<int16_t>(right + dx);
        top = static_cast<int16_t>(top + dy);
        bottom = static_cast<int16_t>(bottom + dy);
    }
    constexpr GuiRect operator&(const GuiRect& o) const {
        return GuiRect(left > o.left ? left : o.left, top > o.top ? top : o.top,
                       right < o.right ? right : o.right, bottom < o.bottom ? bottom : o.bottom);
    }
    constexpr GuiRect& operator&=(const GuiRect& o) { return *this = *this & o; }
    constexpr GuiRect& operator|=(const GuiRect& o) {
        if (left > o.left) left = o.left;
        if (top > o.top) top = o.top;
        if (right < o.right) right = o.right;
        if (bottom < o.bottom) bottom = o.bottom;
        return *this;
    }
    constexpr GuiRect& operator+=(int n) {
        *this = GuiRect(left - n, top - n, right + n, bottom + n);
        return *this;
    }
    constexpr GuiRect operator++(int) {
        GuiRect old = *this;
        *this += 1;
        return old;
    }
    constexpr GuiRect& operator-=(int n) {
        *this = GuiRect(left + n, top + n, right - n, bottom - n);
        return *this;
    }
    // Shrinks by one on every side without inverting the rectangle.
    constexpr GuiRect operator--(int) {
        GuiRect old = *this;
        if (right - left >= 2) {
            ++left;
            --right;
        }
        if (bottom - top >= 2) {
            ++top;
            --bottom;
        }
        return old;
    }
    constexpr bool operator==(const GuiRect&) const = default;
    constexpr bool Overlap(const GuiRect& o) const {
        return left <= o.right && o.left <= right && top <= o.bottom && o.top <= bottom && !IsEmpty() &&
               !o.IsEmpty();
    }
    constexpr bool Contains(GuiPoint p) const {
        return p.x >= left && p.x <= right && p.y >= top && p.y <= bottom;
    }
    constexpr bool Contains(int x, int y) const { return x >= left && x <= right && y >= top && y <= bottom; }
    constexpr bool Contains(const GuiRect& r) const {
        return r.left >= left && r.right <= right && r.top >= top && r.bottom <= bottom;
    }
};

// Colour words are 0x00RRGGBB. Bits 24-31 may carry 0xFF where a screen dump was drawn, so
// colour comparisons mask them off (GuiRgb).
constexpr uint32_t GuiRgb(uint32_t word) {
    return word & 0x00FFFFFFu;
}

constexpr uint8_t GUI_COLOR_FILL = 0x01; // fill the background behind text and inside rectangles

struct GuiColor {
    uint32_t fg = 0;
    uint32_t bg = 0;
    uint8_t flags = 0;
    constexpr GuiColor() = default;
    constexpr GuiColor(uint32_t f, uint32_t b, uint8_t fl = 0) : fg(f), bg(b), flags(fl) {}
};

// The toolkit's fixed three-dimensional look.
constexpr uint32_t GUI_BLACK = 0x000000;
constexpr uint32_t GUI_WHITE = 0xFFFFFF;
constexpr uint32_t GUI_FACE = 0xC0C0C0;
constexpr uint32_t GUI_SHADOW = 0x808080;
constexpr uint32_t GUI_ACTIVE_BLUE = 0x0000BF;

// Bitmap flags.
constexpr uint8_t BMF_RLE = 0x01;
constexpr uint8_t BMF_RAW = 0x02;
constexpr uint8_t BMF_HAS_TRANS = 0x10;
constexpr uint8_t BMF_HAS_ALPHA = 0x80;

// The colour word that marks an empty pixel of a 32-bit bitmap.
constexpr uint32_t GUI_TRANSPARENT_WORD = 0x00000001;

// Pixel data formats (rows top to bottom, no gap):
//  - RLE (BMF_RLE): each row is runs; control byte c: bit 7 set -> (c & 0x7F) + 1 literal pixels
//    follow; clear -> one pixel follows, repeated c + 1 times. A pixel is one palette index at
//    8 bpp, else 4 bytes: alpha, red, green, blue.
//  - raw, below 24 bpp: one palette index byte per pixel.
//  - raw, 24 bpp: red, green, blue bytes.
//  - raw, 32 bpp: one colour word per pixel; with BMF_HAS_ALPHA 0xRRGGBBAA instead.
struct GuiBitmap {
    uint8_t flags = 0;
    uint8_t bitsPerPixel = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t transparent = 0;
    uint8_t* data = nullptr;
};

// Font flags.
constexpr uint8_t FONT_VARIABLE = 0x01;   // offsets table present
constexpr uint8_t FONT_ALIASED = 0x04;    // 4-bit anti-aliased glyphs (offsets always used)
constexpr uint8_t FONT_APP_PACKED = 0x08; // an application font unpacked at start

// Glyphs of all characters lie side by side in one strip of `height` rows of `bytesPerRow`
// bytes. Glyph c spans strip columns offsets[c - first] .. offsets[c - first + 1] - 1
// (1 bit per column, most significant bit first; or 4 bits, high nibble first, for
// FONT_ALIASED). Without FONT_VARIABLE every glyph is `width` columns wide.
struct GuiFont {
    uint8_t flags = 0;
    uint8_t height = 0; // line height (first metric byte)
    uint8_t ascent = 0;
    uint8_t cellHeight = 0; // rows of glyph data (third metric byte; equals height)
    uint16_t bytesPerRow = 0;
    uint16_t first = 0;
    uint16_t last = 0;
    const uint16_t* offsets = nullptr;
    uint16_t width = 0;
    GuiFont* next = nullptr;
    const uint8_t* data = nullptr;
};
