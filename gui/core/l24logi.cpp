// The frame-buffer screen: pixel stores through a row table, lines, bitmaps in every format,
// text, capture, off-screen drawing and flushing.
#include "gui/core/l24logi.h"
#include "gui/core/palette.h"
#include "gui/core/message.h"
#include "gui/scrndrv/scrndrv.h"
#include "services/syslog/syslog.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

uint32_t* gbVMemory = nullptr;

GuiScreen* CreateGuiScreen() {
    uint32_t* fb = scrndrvFrameBuffer();
    if (!fb) return nullptr;
    auto* s = new (std::nothrow) L24logi(GuiRect(0, 0, SCRNDRV_WIDTH - 1, SCRNDRV_HEIGHT - 1), fb);
    if (s && !s->GetVideoAddress()) {
        delete s;
        return nullptr;
    }
    return s;
}

L24logi::L24logi(const GuiRect& rect, uint32_t* frameBuffer) : GuiScreen(rect) {
    mNumColors = 256;
    mScreenRows = new (std::nothrow) uint32_t*[static_cast<size_t>(mHeight)];
    if (mScreenRows) {
        gbVMemory = frameBuffer;
        for (int r = 0; r < mHeight; ++r)
            mScreenRows[r] = frameBuffer + static_cast<size_t>(r) * mWidth;
    }
    mRows = mScreenRows;
    std::memcpy(mPalette, DefPalette256, sizeof mPalette);
}

L24logi::~L24logi() {
    while (mTargetDepth > 0) {
        --mTargetDepth;
        if (mTargetDepth < MAX_TARGETS) delete[] mTargets[mTargetDepth].rows;
    }
    delete[] mScreenRows;
    if (gbVMemory && mScreenRows) gbVMemory = nullptr;
}

uint32_t* L24logi::GetVideoAddress() const {
    return mScreenRows ? mScreenRows[0] : nullptr;
}

// ---- drawing passes -------------------------------------------------------------------------

void L24logi::BeginDraw(GuiThing*) {
    EnterCriticalSection();
    ++mDrawNesting;
}

void L24logi::EndDraw() {
    if (mDrawNesting <= 0) {
        SYSLOGX_GUARDED(LOG_ERR, "EndDraw without BeginDraw");
        return;
    }
    if (--mDrawNesting == 0 && mInvalidCount > 0) {
        while (mInvalidCount > 0) {
            --mInvalidCount;
            ExitCriticalSection();
        }
    }
    ExitCriticalSection();
}

void L24logi::ApplyTarget() {
    if (mTargetDepth == 0) {
        mRows = mScreenRows;
        mDrawToBitmap = false;
        mDrawSuppressed = false;
        return;
    }
    const Target* t = mTargetDepth <= MAX_TARGETS ? &mTargets[mTargetDepth - 1] : nullptr;
    mDrawToBitmap = true;
    if (t && t->rows) {
        mRows = t->rows;
        mBitmapRect = GuiRect(0, 0, t->bitmap->width - 1, t->bitmap->height - 1);
        mDrawSuppressed = false;
    } else {
        mBitmapRect = GuiRect(0, 0, -1, -1);
        mDrawSuppressed = true;
    }
}

void L24logi::BeginDraw(GuiThing*, GuiBitmap* bitmap) {
    EnterCriticalSection();
    ++mDrawNesting;
    // Only a raw 32-bit bitmap has the row layout of the screen; any other takes no drawing.
    uint32_t** rows = nullptr;
    if (bitmap && bitmap->data && bitmap->width && bitmap->height && bitmap->bitsPerPixel == 32 &&
        !(bitmap->flags & (BMF_RLE | BMF_HAS_ALPHA)) && mTargetDepth < MAX_TARGETS) {
        rows = new (std::nothrow) uint32_t*[bitmap->height];
        if (rows) {
            auto* words = reinterpret_cast<uint32_t*>(bitmap->data);
            for (int r = 0; r < bitmap->height; ++r)
                rows[r] = words + static_cast<size_t>(r) * bitmap->width;
        }
    } else {
        SYSLOGX_GUARDED(LOG_ERR, "BeginDraw: cannot draw into this bitmap");
    }
    if (mTargetDepth < MAX_TARGETS) mTargets[mTargetDepth] = Target{bitmap, rows};
    ++mTargetDepth;
    ApplyTarget();
}

void L24logi::EndDraw(GuiBitmap* bitmap) {
    if (mTargetDepth == 0 || (mTargetDepth <= MAX_TARGETS && mTargets[mTargetDepth - 1].bitmap != bitmap)) {
        SYSLOGX_GUARDED(LOG_ERR, "EndDraw: bitmap is not the one being drawn into");
        return;
    }
    --mTargetDepth;
    if (mTargetDepth < MAX_TARGETS) {
        delete[] mTargets[mTargetDepth].rows;
        mTargets[mTargetDepth] = Target{};
    }
    ApplyTarget();
    if (mDrawNesting > 0) --mDrawNesting;
    ExitCriticalSection();
}

// ---- pixels and lines -----------------------------------------------------------------------

uint32_t L24logi::GetPixelView(int x, int y) {
    return mRows[y][x];
}
void L24logi::PutPixelView(int x, int y, uint32_t colour) {
    mRows[y][x] = colour;
}

namespace {

// A run of one colour word. wmemset writes 32-bit units on this target (wchar_t is 4 bytes) and
// is the C library's vectorised fill.
static_assert(sizeof(wchar_t) == sizeof(uint32_t));
inline void fillWords(uint32_t* p, uint32_t colour, size_t n) {
    std::wmemset(reinterpret_cast<wchar_t*>(p), static_cast<wchar_t>(colour), n);
}

} // namespace

void L24logi::HorizontalLine(int xStart, int xEnd, int y, uint32_t colour, int width) {
    if (width < 1 || xEnd < xStart) return;
    const int n = xEnd - xStart + 1;
    for (int r = y; r < y + width;) {
        uint32_t* p = mRows[r] + xStart;
        size_t run = static_cast<size_t>(n);
        // Whole rows of a contiguous surface join into one fill.
        while (++r < y + width && mRows[r] + xStart == p + run)
            run += static_cast<size_t>(n);
        fillWords(p, colour, run);
    }
}

void L24logi::VerticalLine(int yStart, int yEnd, int x, uint32_t colour, int width) {
    if (yStart > yEnd || width < 1) return;
    for (int r = yStart; r <= yEnd; ++r) {
        uint32_t* p = mRows[r] + x;
        for (int i = 0; i < width; ++i)
            p[i] = colour;
    }
}

void L24logi::HorizontalLineXOR(int xStart, int xEnd, int y) {
    for (int x = xStart; x <= xEnd; x += 2)
        mRows[y][x] ^= 0x00FFFFFFu;
}

void L24logi::VerticalLineXOR(int yStart, int yEnd, int x) {
    for (int r = yStart; r <= yEnd; r += 2)
        mRows[r][x] ^= 0x00FFFFFFu;
}

void L24logi::LineView(int x1, int y1, int x2, int y2, GuiRect& view, GuiColor colour, int width) {
    if (y1 == y2) {
        HorizontalLine(view.left, view.right, view.top, colour.fg, width);
        return;
    }
    if (x1 == x2) {
        VerticalLine(view.top, view.bottom, view.left, colour.fg, width);
        return;
    }
    int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
    bool yMajor = dy > dx;
    // Major coordinate ascends from the first endpoint to the second.
    if ((yMajor && y1 > y2) || (!yMajor && x1 > x2)) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    int major = yMajor ? dy : dx, minorLen = yMajor ? dx : dy;
    int s = yMajor ? (x2 > x1 ? 1 : -1) : (y2 > y1 ? 1 : -1);
    int hw = width / 2;
    // The fast path needs the whole band inside the view, half-width included.
    int bl = (x1 < x2 ? x1 : x2) - (yMajor ? hw : 0), br = (x1 < x2 ? x2 : x1) + (yMajor ? hw : 0);
    int bt = (y1 < y2 ? y1 : y2) - (yMajor ? 0 : hw), bb = (y1 < y2 ? y2 : y1) + (yMajor ? 0 : hw);
    bool inside = view.Contains(GuiRect(bl, bt, br, bb));
    const uint32_t c = colour.fg;
    auto run = [&](int ma, int mi) {
        for (int k = mi - hw; k <= mi + hw; ++k) {
            int x = yMajor ? k : ma, y = yMajor ? ma : k;
            if (inside || view.Contains(x, y)) mRows[y][x] = c;
        }
    };
    int fMa = yMajor ? y1 : x1, fMi = yMajor ? x1 : y1;
    int bMa = yMajor ? y2 : x2, bMi = yMajor ? x2 : y2;
    int err = major / 2;
    while (fMa <= bMa) {
        if (err >= major) {
            err -= major;
            fMi += s;
            bMi -= s;
        }
        run(fMa, fMi);
        run(bMa, bMi); // also where front and back meet: their minors may differ
        ++fMa;
        --bMa;
        err += minorLen;
    }
}

// ---- bitmaps ------------------------------------------------------------------------------

GuiBitmap* L24logi::CreateBitmap(int width, int height, int hasTransparency) {
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return nullptr;
    auto* b = new (std::nothrow) GuiBitmap;
    if (!b) return nullptr;
    size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto* words = static_cast<uint32_t*>(std::malloc(n * 4));
    if (!words) {
        delete b;
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i)
        words[i] = GUI_TRANSPARENT_WORD;
    b->flags = BMF_RAW;
    b->bitsPerPixel = 32;
    b->width = static_cast<uint16_t>(width);
    b->height = static_cast<uint16_t>(height);
    b->transparent = 0;
    if (hasTransparency) {
        b->flags |= BMF_HAS_TRANS;
        b->transparent = GUI_TRANSPARENT_WORD;
    }
    b->data = reinterpret_cast<uint8_t*>(words);
    return b;
}

uint32_t L24logi::GetBitmapPixel(int x, int y, GuiBitmap* bitmap) {
    return reinterpret_cast<uint32_t*>(bitmap->data)[static_cast<size_t>(y) * bitmap->width + x];
}

void L24logi::PutBitmapPixel(int x, int y, GuiBitmap* bitmap, uint32_t colour) {
    if (bitmap->bitsPerPixel < 32) return;
    reinterpret_cast<uint32_t*>(bitmap->data)[static_cast<size_t>(y) * bitmap->width + x] = GuiRgb(colour);
}

void L24logi::BitmapView(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view) {
    if (!bitmap || !bitmap->data) return;
    if (bitmap->flags & BMF_RLE) {
        DrawRleBitmap(where, view, bitmap);
        return;
    }
    if (bitmap->bitsPerPixel < 24) {
        const bool trans = bitmap->flags & BMF_HAS_TRANS;
        for (int y = view.top; y <= view.bottom; ++y) {
            const uint8_t* src =
                bitmap->data + static_cast<size_t>(y - where.y) * bitmap->width + (view.left - where.x);
            uint32_t* dst = mRows[y] + view.left;
            for (int x = view.left; x <= view.right; ++x, ++src, ++dst)
                if (!trans || *src != bitmap->transparent) *dst = PaletteWord(*src);
        }
        return;
    }
    if (bitmap->flags & BMF_HAS_ALPHA) {
        DrawTrueColorAlphaBitmap(where, bitmap, view);
        return;
    }
    DrawTrueColorBitmap(where, bitmap, view);
}

void L24logi::DrawTrueColorBitmap(GuiPoint where, const GuiBitmap* bitmap, GuiRect view) {
    if (bitmap->flags & BMF_HAS_TRANS) {
        // 32-bit words whatever the depth field says; the empty-pixel word is skipped.
        const auto* words = reinterpret_cast<const uint32_t*>(bitmap->data);
        for (int y = view.top; y <= view.bottom; ++y) {
            const uint32_t* src =
                words + static_cast<size_t>(y - where.y) * bitmap->width + (view.left - where.x);
            uint32_t* dst = mRows[y] + view.left;
            for (int x = view.left; x <= view.right; ++x, ++src, ++dst)
                if (GuiRgb(*src) != GUI_TRANSPARENT_WORD) *dst = *src;
        }
        return;
    }
    if (bitmap->bitsPerPixel == 24) {
        for (int y = view.top; y <= view.bottom; ++y) {
            const uint8_t* src =
                bitmap->data + (static_cast<size_t>(y - where.y) * bitmap->width + (view.left - where.x)) * 3;
            uint32_t* dst = mRows[y] + view.left;
            for (int x = view.left; x <= view.right; ++x, src += 3)
                *dst++ =
                    (static_cast<uint32_t>(src[0]) << 16) | (static_cast<uint32_t>(src[1]) << 8) | src[2];
        }
        return;
    }
    const auto* words = reinterpret_cast<const uint32_t*>(bitmap->data);
    for (int y = view.top; y <= view.bottom; ++y)
        std::memcpy(mRows[y] + view.left,
                    words + static_cast<size_t>(y - where.y) * bitmap->width + (view.left - where.x),
                    static_cast<size_t>(view.Width()) * 4);
}

void L24logi::DrawTrueColorAlphaBitmap(GuiPoint where, const GuiBitmap* bitmap, GuiRect view) {
    const auto* words = reinterpret_cast<const uint32_t*>(bitmap->data);
    for (int y = view.top; y <= view.bottom; ++y) {
        const uint32_t* src =
            words + static_cast<size_t>(y - where.y) * bitmap->width + (view.left - where.x);
        uint32_t* dst = mRows[y] + view.left;
        for (int x = view.left; x <= view.right; ++x, ++src, ++dst)
            if ((*src & 0xFF) >= 128) *dst = *src >> 8;
    }
}

namespace {

// Walks the runs of one RLE row; calls px(x, pointer to the pixel) for each pixel, and for a
// repeat run rep(x0, count, pointer) when given. Returns the pointer behind the row.
template <typename Px> const uint8_t* rleRow(const uint8_t* p, int x0, int width, int bytesPerPixel, Px px) {
    int x = x0;
    const int end = x0 + width;
    while (x < end) {
        uint8_t c = *p++;
        int n = (c & 0x7F) + 1;
        if (c & 0x80) {
            for (int i = 0; i < n && x < end; ++i, ++x, p += bytesPerPixel)
                px(x, p, 1);
        } else {
            px(x, p, n < end - x ? n : end - x);
            x += n;
            p += bytesPerPixel;
        }
    }
    return p;
}

} // namespace

void L24logi::DrawRleBitmap(GuiPoint where, GuiRect view, const GuiBitmap* bitmap) {
    if (bitmap->bitsPerPixel == 8) {
        DrawRlePaletteBitmap(where, view, bitmap);
        return;
    }
    const bool trans = bitmap->flags & BMF_HAS_TRANS, alpha = bitmap->flags & BMF_HAS_ALPHA;
    const uint8_t* p = bitmap->data;
    auto skip = [](int, const uint8_t*, int) {};
    for (int y = where.y; y < view.top; ++y)
        p = rleRow(p, where.x, bitmap->width, 4, skip);
    for (int y = view.top; y <= view.bottom; ++y) {
        uint32_t* row = mRows[y];
        p = rleRow(p, where.x, bitmap->width, 4, [&](int x, const uint8_t* px, int n) {
            const uint32_t a = px[0], r = px[1], g = px[2], b = px[3];
            if (trans && r == 0 && g == 0 && b == 1) return; // a repeat of the empty colour is skipped whole
            int xs = x > view.left ? x : view.left, xe = x + n - 1 < view.right ? x + n - 1 : view.right;
            for (int i = xs; i <= xe; ++i) {
                if (!alpha) {
                    row[i] = (r << 16) | (g << 8) | b;
                    continue;
                }
                const uint32_t old = row[i];
                auto mix = [&](uint32_t o, uint32_t s) { return (((256 - a) * o + a * s) >> 8) & 0xFF; };
                row[i] = (mix((old >> 16) & 0xFF, r) << 16) | (mix((old >> 8) & 0xFF, g) << 8) |
                         mix(old & 0xFF, b);
            }
        });
    }
}

void L24logi::DrawRlePaletteBitmap(GuiPoint where, GuiRect view, const GuiBitmap* bitmap) {
    const bool trans = bitmap->flags & BMF_HAS_TRANS;
    const uint8_t* p = bitmap->data;
    auto skip = [](int, const uint8_t*, int) {};
    for (int y = where.y; y < view.top; ++y)
        p = rleRow(p, where.x, bitmap->width, 1, skip);
    for (int y = view.top; y <= view.bottom; ++y) {
        uint32_t* row = mRows[y];
        p = rleRow(p, where.x, bitmap->width, 1, [&](int x, const uint8_t* px, int n) {
            if (trans && *px == PAL_TRANSPARENT) return;
            const uint32_t c = PaletteWord(*px);
            int xs = x > view.left ? x : view.left, xe = x + n - 1 < view.right ? x + n - 1 : view.right;
            for (int i = xs; i <= xe; ++i)
                row[i] = c;
        });
    }
}

// ---- capture and move -----------------------------------------------------------------------

int L24logi::Capture(GuiCapture* capture, GuiRect& rect) {
    if (!capture || mDrawSuppressed) return 0;
    GuiRect surface = mDrawToBitmap ? mBitmapRect : ScreenRect();
    rect &= surface;
    capture->mValid = false;
    if (rect.IsEmpty()) return 0;
    const int w = rect.Width(), h = rect.Height();
    if (!capture->Realloc(static_cast<long>(w) * h * 4)) return 0;
    capture->mRect = rect;
    capture->mPos = GuiPoint(rect.left, rect.top);
    capture->mBitmap.flags = BMF_RAW;
    capture->mBitmap.bitsPerPixel = 32;
    capture->mBitmap.width = static_cast<uint16_t>(w);
    capture->mBitmap.height = static_cast<uint16_t>(h);
    capture->mBitmap.transparent = 0;
    capture->mBitmap.data = capture->mpData;
    auto* dst = reinterpret_cast<uint32_t*>(capture->mpData);
    for (int y = rect.top; y <= rect.bottom; ++y, dst += w)
        std::memcpy(dst, mRows[y] + rect.left, static_cast<size_t>(w) * 4);
    capture->mValid = true;
    return 1;
}

int L24logi::RectMoveView(GuiThing* thing, const GuiRect& rect, int dx, int dy) {
    GuiCapture cap;
    GuiRect r = rect;
    if (!Capture(&cap, r)) return 0;
    cap.mRect.Shift(dx, dy);
    cap.MoveTo(cap.mRect.left, cap.mRect.top);
    Bitmap(thing, cap.Point(), cap.Bitmap(), 1);
    cap.Free();
    return 1;
}

// ---- text ---------------------------------------------------------------------------------

void L24logi::DrawTextView(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font, int count,
                           GuiRect& view) {
    if (font->flags & FONT_ALIASED) {
        DrawAliasedText(where, text, colour, font, count, view);
        return;
    }
    DrawScaledText(where, text, colour, font, count, view, 1);
}

void L24logi::DrawTextViewDouble(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                                 int count, GuiRect& view) {
    DrawScaledText(where, text, colour, font, count, view, 2);
}

namespace {

// Screen pixels k0..k1-1 of one glyph row of a cell at dst, each source column drawn S pixels
// wide; col is the source column under pixel 0 of the cell. 1-bit rows take the bits most
// significant first; 4-bit rows (a double-size anti-aliased font) count a nibble of 8 or more as
// set.
template <int S, bool Fill, bool Nibbles>
inline void glyphRow(uint32_t* dst, const uint8_t* src, int col, int k0, int k1, uint32_t fg, uint32_t bg) {
    int c = col + (k0 >> (S - 1));
    const uint8_t* b = src + (Nibbles ? c >> 1 : c >> 3);
    unsigned m = Nibbles ? (c & 1 ? 0x08u : 0x80u) : 0x80u >> (c & 7);
    for (int k = k0; k < k1;) {
        const bool on = *b & m;
        const int end = S == 1 || (k & 1) || k + 1 == k1 ? k + 1 : k + 2;
        for (; k < end; ++k)
            if (on)
                dst[k] = fg;
            else if (Fill)
                dst[k] = bg;
        if (Nibbles) {
            m = m == 0x80u ? 0x08u : 0x80u;
            b += m == 0x80u;
        } else if (!(m >>= 1)) {
            m = 0x80u;
            ++b;
        }
    }
}

template <int S, bool Fill, bool Nibbles>
void scaledText(uint32_t** rows, GuiPoint where, const char* text, const GuiColor& colour,
                const GuiFont* font, int count, const GuiRect& view) {
    int x = where.x;
    for (int i = 0; text[i] && (count < 0 || i < count) && x <= view.right; ++i) {
        GuiGlyph g;
        if (!GuiFindGlyph(font, static_cast<unsigned char>(text[i]), &g)) continue;
        const int width = S * g.width < view.right - x + 1 ? S * g.width : view.right - x + 1;
        if (width > 0 && x + width > view.left) {
            const int k0 = x < view.left ? view.left - x : 0;
            for (int row = view.top; row <= view.bottom; ++row) {
                const int gy = (row - where.y) >> (S - 1);
                uint32_t* dst = rows[row] + x;
                // A smaller font of the chain has fewer rows: below them the cell is empty.
                if (gy < 0 || gy >= g.font->height) {
                    if (Fill) fillWords(dst + k0, colour.bg, static_cast<size_t>(width - k0));
                    continue;
                }
                glyphRow<S, Fill, Nibbles>(dst, g.font->data + static_cast<size_t>(gy) * g.font->bytesPerRow,
                                           g.offset, k0, width, colour.fg, colour.bg);
            }
        }
        x += width;
    }
}

} // namespace

void L24logi::DrawScaledText(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                             int count, GuiRect& view, int scale) {
    const bool fill = colour.flags & GUI_COLOR_FILL;
    auto draw = [&](auto fn) { fn(mRows, where, text, colour, font, count, view); };
    if (font->flags & FONT_ALIASED) // double size only: single-size goes to DrawAliasedText
        fill ? draw(scaledText<2, true, true>) : draw(scaledText<2, false, true>);
    else if (scale == 1)
        fill ? draw(scaledText<1, true, false>) : draw(scaledText<1, false, false>);
    else
        fill ? draw(scaledText<2, true, false>) : draw(scaledText<2, false, false>);
}

void L24logi::DrawAliasedText(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                              int count, GuiRect& view) {
    uint32_t ramp[16];
    auto ch = [](uint32_t c, int s) { return static_cast<int>((c >> s) & 0xFF); };
    for (int k = 0; k < 15; ++k) {
        uint32_t w = 0;
        for (int s = 0; s <= 16; s += 8) {
            int f = ch(colour.fg, s), b = ch(colour.bg, s);
            w |= static_cast<uint32_t>((f + (((b - f) * k) >> 4)) & 0xFF) << s;
        }
        ramp[k] = w;
    }
    ramp[15] = colour.bg;
    const bool fill = colour.flags & GUI_COLOR_FILL;
    int x = where.x;
    for (int i = 0; text[i] && (count < 0 || i < count) && x <= view.right; ++i) {
        GuiGlyph g;
        if (!GuiFindGlyph(font, static_cast<unsigned char>(text[i]), &g)) continue;
        int width = g.width < view.right - x + 1 ? g.width : view.right - x + 1;
        if (x + width > view.left) {
            for (int row = view.top; row <= view.bottom; ++row) {
                int gy = row - where.y;
                uint32_t* dst = mRows[row];
                bool has = gy < g.font->height;
                const uint8_t* src =
                    has ? g.font->data + static_cast<size_t>(gy) * g.font->bytesPerRow : nullptr;
                for (int k = 0; k < width; ++k) {
                    int px = x + k;
                    if (px < view.left) continue;
                    if (!src) {
                        if (fill) dst[px] = colour.bg;
                        continue;
                    }
                    int col = g.offset + k;
                    int v = (col & 1) ? src[col >> 1] & 0x0F : src[col >> 1] >> 4;
                    dst[px] = ramp[15 - v];
                }
            }
        }
        x += width;
    }
}

// ---- palette and flush ------------------------------------------------------------------------

void L24logi::SetPalette(int first, int count, const uint8_t* rgb) {
    if (!rgb || first < 0 || count <= 0) return;
    if (first + count > 256) count = 256 - first;
    if (count > 0) std::memcpy(mPalette + 3 * first, rgb, static_cast<size_t>(count) * 3);
}

const uint8_t* L24logi::GetPalette(unsigned long* size) {
    if (size) *size = 0x00FFFFFF;
    return nullptr;
}

int L24logi::FlushScreen() {
    return scrndrvFlush();
}
int L24logi::WaitFlushFinish() {
    return scrndrvWaitFlush();
}
