// GuiScreen base: invalid area, viewports, clipping and the shape algorithms.
#include "gui/core/screen.h"
#include "gui/core/message.h"
#include "services/bytes/bytes.h"
#include "services/syslog/syslog.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

// ---- GuiCapture ---------------------------------------------------------------------------

GuiCapture::~GuiCapture() {
    Free();
}

int GuiCapture::Realloc(long bytes) {
    if (bytes <= mDataSize) return 1;
    auto* p = static_cast<uint8_t*>(std::realloc(mpData, static_cast<size_t>(bytes)));
    if (!p) return 0;
    mpData = p;
    mDataSize = bytes;
    mBitmap.data = p;
    return 1;
}

void GuiCapture::Free() {
    std::free(mpData);
    mpData = nullptr;
    mDataSize = 0;
    mBitmap.data = nullptr;
    mValid = false;
}

// ---- rectangle lists ----------------------------------------------------------------------

namespace {

bool push(GuiViewportList* l, const GuiRect& r) {
    if (l->count == l->capacity) {
        int cap = l->capacity ? l->capacity * 2 : 8;
        auto* nr = new (std::nothrow) GuiRect[static_cast<size_t>(cap)];
        if (!nr) return false;
        for (int i = 0; i < l->count; ++i)
            nr[i] = l->rects[i];
        delete[] l->rects;
        l->rects = nr;
        l->capacity = cap;
    }
    l->rects[l->count++] = r;
    return true;
}

// Removes `cut` from every rectangle of the list.
void subtract(GuiViewportList* l, const GuiRect& cut) {
    if (cut.IsEmpty()) return;
    GuiViewportList out;
    for (int i = 0; i < l->count; ++i) {
        const GuiRect a = l->rects[i];
        if (!a.Overlap(cut)) {
            push(&out, a);
            continue;
        }
        if (a.top < cut.top) push(&out, GuiRect(a.left, a.top, a.right, cut.top - 1));
        if (a.bottom > cut.bottom) push(&out, GuiRect(a.left, cut.bottom + 1, a.right, a.bottom));
        int t = a.top > cut.top ? a.top : cut.top;
        int b = a.bottom < cut.bottom ? a.bottom : cut.bottom;
        if (a.left < cut.left) push(&out, GuiRect(a.left, t, cut.left - 1, b));
        if (a.right > cut.right) push(&out, GuiRect(cut.right + 1, t, a.right, b));
    }
    delete[] l->rects;
    *l = out;
}

bool ownsViewports(const GuiThing* t) {
    return (t->mStatus & PSF_VIEWPORT) != 0;
}

// Removes the area of every visible window at or below t, down to the first window of each branch.
void subtractWindows(GuiViewportList* l, const GuiThing* t) {
    if (!t->Visible()) return;
    if (ownsViewports(t)) {
        subtract(l, t->mClip);
        return;
    }
    for (const GuiThing* c = t->mpFirst; c; c = c->mpNext)
        subtractWindows(l, c);
}

} // namespace

// ---- GuiScreen --------------------------------------------------------------------------

GuiScreen::GuiScreen(const GuiRect& rect)
    : mWidth(rect.right - rect.left + 1), mHeight(rect.bottom - rect.top + 1), mNumColors(0), mDrawNesting(0),
      mInvalidCount(0), mDrawToBitmap(false), mPointer(mWidth / 2, mHeight / 2) {}

GuiScreen::~GuiScreen() = default;

void GuiScreen::Invalidate(const GuiRect& rect) {
    if (rect.IsEmpty()) return;
    EnterCriticalSection();
    if (mInvalidCount == 0)
        mInvalid = rect;
    else
        mInvalid |= rect;
    ++mInvalidCount;
}

void GuiScreen::FreeViewports(GuiThing* thing) {
    if (!thing || !thing->mpViewports) return;
    delete[] thing->mpViewports->rects;
    delete thing->mpViewports;
    thing->mpViewports = nullptr;
}

void GuiScreen::GenerateViewportList(GuiThing* thing) {
    if (!thing) return;
    EnterCriticalSection();
    if (ownsViewports(thing)) {
        GuiViewportList* l = thing->mpViewports;
        if (!l) {
            l = new (std::nothrow) GuiViewportList;
            thing->mpViewports = l;
        }
        if (l) {
            l->count = 0;
            if (thing->Visible() && !thing->mClip.IsEmpty()) {
                push(l, thing->mClip & ScreenRect());
                // Windows in front of this one or of any of its ancestors cover it...
                for (GuiThing* n = thing; n->mpParent; n = n->mpParent)
                    for (GuiThing* s = n->mpParent->mpFirst; s && s != n; s = s->mpNext)
                        subtractWindows(l, s);
                // ...and so do its own windows, which draw themselves.
                for (GuiThing* c = thing->mpFirst; c; c = c->mpNext)
                    subtractWindows(l, c);
            }
        }
    }
    for (GuiThing* c = thing->mpFirst; c; c = c->mpNext)
        GenerateViewportList(c);
    ExitCriticalSection();
}

uint32_t GuiScreen::GetPixel(int x, int y) {
    GuiRect bounds = mDrawToBitmap ? mBitmapRect : ScreenRect();
    if (mDrawSuppressed || !bounds.Contains(x, y)) return 0;
    return GetPixelView(x, y);
}

void GuiScreen::PutPixel(GuiThing* thing, int x, int y, uint32_t colour) {
    if (!mDrawToBitmap && mDrawNesting <= 0) return;
    ForEachView(thing, GuiRect(x, y, x, y), true, [&](const GuiRect&) { PutPixelView(x, y, colour); });
}

void GuiScreen::DestroyBitmap(GuiBitmap* bitmap) {
    if (!bitmap) return;
    std::free(bitmap->data);
    delete bitmap;
}

void GuiScreen::Line(GuiThing* thing, int x1, int y1, int x2, int y2, const GuiColor& colour, int width) {
    if (width < 1) return;
    int xl = x1 < x2 ? x1 : x2, xr = x1 < x2 ? x2 : x1;
    int yt = y1 < y2 ? y1 : y2, yb = y1 < y2 ? y2 : y1;
    if (y1 == y2) {
        // The width grows downwards; the whole band is clipped, not only its first row.
        ForEachView(thing, GuiRect(xl, y1, xr, y1 + width - 1), true,
                    [&](const GuiRect& p) { HorizontalLine(p.left, p.right, p.top, colour.fg, p.Height()); });
    } else if (x1 == x2) {
        ForEachView(thing, GuiRect(x1, yt, x1 + width - 1, yb), true,
                    [&](const GuiRect& p) { VerticalLine(p.top, p.bottom, p.left, colour.fg, p.Width()); });
    } else {
        int hw = width / 2;
        ForEachView(thing, GuiRect(xl - hw, yt - hw, xr + hw, yb + hw), true, [&](const GuiRect& p) {
            GuiRect view = p;
            LineView(x1, y1, x2, y2, view, colour, width);
        });
    }
}

void GuiScreen::Rectangle(GuiThing* thing, const GuiRect& rect, const GuiColor& colour, int width) {
    if (rect.IsEmpty()) return;
    auto band = [&](GuiRect b, uint32_t c) {
        b &= rect;
        if (b.IsEmpty()) return;
        ForEachView(thing, b, true,
                    [&](const GuiRect& p) { HorizontalLine(p.left, p.right, p.top, c, p.Height()); });
    };
    if (width > 0) {
        const int L = rect.left, T = rect.top, R = rect.right, B = rect.bottom, w = width;
        band(GuiRect(L, T, R, T + w - 1), colour.fg);
        band(GuiRect(L, B - w + 1, R, B), colour.fg);
        if (B - w >= T + w) {
            band(GuiRect(L, T + w, L + w - 1, B - w), colour.fg);
            band(GuiRect(R - w + 1, T + w, R, B - w), colour.fg);
        }
    }
    if (colour.flags & GUI_COLOR_FILL) {
        GuiRect inner = rect;
        if (width > 0) inner -= width;
        if (!inner.IsEmpty()) band(inner, colour.bg);
    }
}

void GuiScreen::Bitmap(GuiThing* thing, GuiPoint where, GuiBitmap* bitmap, int onTop) {
    if (!thing || !bitmap || !bitmap->data || !bitmap->width || !bitmap->height || mDrawSuppressed) return;
    GuiRect extent(where.x, where.y, where.x + bitmap->width - 1, where.y + bitmap->height - 1);
    if (mDrawToBitmap) {
        GuiRect p = extent & mBitmapRect;
        if (!p.IsEmpty()) BitmapView(where, bitmap, p);
        return;
    }
    if (!thing->Visible()) return;
    if (onTop) {
        GuiRect p = extent & thing->mClip & thing->mReal & ScreenRect();
        if (!p.IsEmpty()) BitmapView(where, bitmap, p);
        return;
    }
    ForEachView(thing, extent, true, [&](const GuiRect& p) { BitmapView(where, bitmap, p); });
}

void GuiScreen::BitmapFill(GuiThing* thing, GuiRect rect, GuiBitmap* bitmap) {
    if (!thing || !bitmap || !bitmap->data || !bitmap->width || !bitmap->height || rect.IsEmpty()) return;
    const int bw = bitmap->width, bh = bitmap->height;
    ForEachView(thing, rect, true, [&](const GuiRect& p) {
        int tx0 = rect.left + (p.left - rect.left) / bw * bw;
        int ty0 = rect.top + (p.top - rect.top) / bh * bh;
        for (int ty = ty0; ty <= p.bottom; ty += bh)
            for (int tx = tx0; tx <= p.right; tx += bw) {
                GuiRect tile = GuiRect(tx, ty, tx + bw - 1, ty + bh - 1) & p;
                if (!tile.IsEmpty()) BitmapView(GuiPoint(tx, ty), bitmap, tile);
            }
    });
}

int GuiScreen::RectMove(GuiThing* thing, GuiRect from, GuiRect clip, int dx, int dy) {
    if (!thing || mDrawToBitmap || mDrawSuppressed || !thing->Visible()) return 0;
    GuiRect limit = clip & thing->mClip & ScreenRect();
    GuiRect dst = from;
    dst.Shift(dx, dy);
    dst &= limit;
    GuiRect src = dst;
    src.Shift(-dx, -dy);
    src &= limit;
    if (src.IsEmpty() || src.Width() != dst.Width() || src.Height() != dst.Height()) return 0;
    // Pixels are only moved where nothing covers the object; else the caller redraws.
    GuiThing* owner = thing;
    while (owner && !(owner->mStatus & PSF_VIEWPORT))
        owner = owner->mpParent;
    if (owner) {
        const GuiViewportList* vl = owner->mpViewports;
        bool covered = false;
        for (int i = 0; vl && i < vl->count && !covered; ++i)
            covered = vl->rects[i].Contains(src) && vl->rects[i].Contains(dst);
        if (!covered) return 0;
    }
    return RectMoveView(thing, src, dx, dy);
}

bool GuiFindGlyph(const GuiFont* font, unsigned char c, GuiGlyph* glyph) {
    for (int hops = 0; font && hops < 16; font = font->next, ++hops) {
        if (c < font->first || c > font->last) continue;
        int i = c - font->first;
        if ((font->flags & (FONT_VARIABLE | FONT_ALIASED)) && font->offsets) {
            glyph->offset = font->offsets[i];
            glyph->width = font->offsets[i + 1] - font->offsets[i];
        } else {
            glyph->offset = i * font->width;
            glyph->width = font->width;
        }
        glyph->font = font;
        return true;
    }
    return false;
}

int GuiScreen::TextWidth(const char* text, const GuiFont* font, int count) {
    if (!text || !font) return 0;
    int w = 0;
    for (int i = 0; text[i] && (count < 0 || i < count); ++i) {
        GuiGlyph g;
        if (GuiFindGlyph(font, static_cast<unsigned char>(text[i]), &g)) w += g.width;
    }
    return w;
}

int GuiScreen::TextHeight(const char*, const GuiFont* font) {
    int h = 0;
    for (int hops = 0; font && hops < 16; font = font->next, ++hops)
        if (font->height > h) h = font->height;
    return h;
}

void GuiScreen::DrawText(GuiThing* thing, GuiPoint where, const char* text, GuiColor& colour,
                         const GuiFont* font, int count, int doubleSize) {
    if (!text || !font) return;
    int k = doubleSize ? 2 : 1;
    int w = TextWidth(text, font, count) * k, h = TextHeight(text, font) * k;
    if (w <= 0 || h <= 0) return;
    GuiRect extent(where.x, where.y, where.x + w - 1, where.y + h - 1);
    ForEachView(thing, extent, true, [&](const GuiRect& p) {
        GuiRect view = p;
        if (doubleSize)
            DrawTextViewDouble(where, text, colour, font, count, view);
        else
            DrawTextView(where, text, colour, font, count, view);
    });
}

void GuiScreen::RectangleXOR(GuiThing* thing, const GuiRect& rect) {
    if (rect.IsEmpty()) return;
    // The dots keep the rectangle's phase in every piece, so a second call erases exactly.
    auto hline = [&](int y) {
        ForEachView(thing, GuiRect(rect.left, y, rect.right, y), false, [&](const GuiRect& p) {
            int xs = p.left + ((p.left - rect.left) & 1);
            HorizontalLineXOR(xs, p.right, y);
        });
    };
    auto vline = [&](int x) {
        if (rect.bottom - rect.top < 2) return;
        ForEachView(thing, GuiRect(x, rect.top + 1, x, rect.bottom - 1), false, [&](const GuiRect& p) {
            int ys = p.top + ((p.top - rect.top) & 1);
            VerticalLineXOR(ys, p.bottom, x);
        });
    };
    hline(rect.top);
    if (rect.bottom != rect.top) hline(rect.bottom);
    vline(rect.left);
    if (rect.right != rect.left) vline(rect.right);
}

void GuiScreen::Polygon(GuiThing* thing, const GuiPoint* points, int count, const GuiColor& colour,
                        int width) {
    if (!points || count < 2) return;
    if ((colour.flags & GUI_COLOR_FILL) && count >= 3) {
        int ymin = points[0].y, ymax = points[0].y;
        for (int i = 1; i < count; ++i) {
            if (points[i].y < ymin) ymin = points[i].y;
            if (points[i].y > ymax) ymax = points[i].y;
        }
        auto* xs = new (std::nothrow) double[static_cast<size_t>(count)];
        if (xs) {
            for (int y = ymin; y <= ymax; ++y) {
                double yc = y + 0.5; // sample at pixel centres, even-odd rule
                int n = 0;
                for (int i = 0; i < count; ++i) {
                    const GuiPoint a = points[i], b = points[(i + 1) % count];
                    if ((a.y <= yc) == (b.y <= yc)) continue;
                    xs[n++] = a.x + (yc - a.y) * (b.x - a.x) / static_cast<double>(b.y - a.y);
                }
                for (int i = 1; i < n; ++i) // insertion sort: few crossings per row
                    for (int j = i; j > 0 && xs[j - 1] > xs[j]; --j) {
                        double t = xs[j];
                        xs[j] = xs[j - 1];
                        xs[j - 1] = t;
                    }
                for (int i = 0; i + 1 < n; i += 2) {
                    int xa = static_cast<int>(std::ceil(xs[i] - 0.5)),
                        xb = static_cast<int>(std::floor(xs[i + 1] - 0.5));
                    if (xb < xa) continue;
                    ForEachView(thing, GuiRect(xa, y, xb, y), true,
                                [&](const GuiRect& p) { HorizontalLine(p.left, p.right, y, colour.bg, 1); });
                }
            }
            delete[] xs;
        }
    }
    for (int i = 0; i < count; ++i) {
        const GuiPoint a = points[i], b = points[(i + 1) % count];
        if (count == 2 && i == 1) break;
        Line(thing, a.x, a.y, b.x, b.y, colour, width);
    }
}

namespace {
int isqrt(long v) {
    if (v <= 0) return 0;
    long r = static_cast<long>(std::sqrt(static_cast<double>(v)));
    while (r * r > v)
        --r;
    while ((r + 1) * (r + 1) <= v)
        ++r;
    return static_cast<int>(r);
}
} // namespace

void GuiScreen::Circle(GuiThing* thing, int cx, int cy, int radius, GuiColor& colour, int width) {
    if (radius < 0) return;
    int ri = width > 0 ? radius - width : radius; // inner edge of the ring
    auto span = [&](int xa, int xb, int y, uint32_t c) {
        if (xb < xa) return;
        ForEachView(thing, GuiRect(xa, y, xb, y), true,
                    [&](const GuiRect& p) { HorizontalLine(p.left, p.right, y, c, 1); });
    };
    const long r2 = static_cast<long>(radius) * radius + radius;
    const long i2 = ri >= 0 ? static_cast<long>(ri) * ri + ri : -1;
    for (int dy = -radius; dy <= radius; ++dy) {
        int xo = isqrt(r2 - static_cast<long>(dy) * dy);
        int y = cy + dy;
        if (ri >= 0 && static_cast<long>(dy) * dy <= i2) {
            int xi = isqrt(i2 - static_cast<long>(dy) * dy);
            if (width > 0) {
                span(cx - xo, cx - xi - 1, y, colour.fg);
                span(cx + xi + 1, cx + xo, y, colour.fg);
            }
            if (colour.flags & GUI_COLOR_FILL) span(cx - xi, cx + xi, y, colour.bg);
        } else if (width > 0) {
            span(cx - xo, cx + xo, y, colour.fg);
        }
    }
}

uint8_t* GuiScreen::DumpWindowsBitmap(unsigned long* size, GuiRect rect) {
    if (size) *size = 0;
    // Under the GUI lock: the row table must be the screen's, not that of a bitmap another
    // task draws into right now.
    EnterCriticalSection();
    uint8_t* bmp = DumpLocked(size, rect);
    ExitCriticalSection();
    return bmp;
}

uint8_t* GuiScreen::DumpLocked(unsigned long* size, GuiRect rect) {
    GuiRect r = rect & ScreenRect();
    if (r.IsEmpty() || mDrawToBitmap) return nullptr;
    const uint32_t w = static_cast<uint32_t>(r.Width()), h = static_cast<uint32_t>(r.Height());
    const uint32_t pixelBytes = w * h * 4, total = 54 + pixelBytes;
    auto* buf = static_cast<uint8_t*>(std::malloc(total));
    if (!buf) return nullptr;
    auto put16 = [&](uint32_t at, uint16_t v) { bytes::put_le16(buf + at, v); };
    auto put32 = [&](uint32_t at, uint32_t v) { bytes::put_le32(buf + at, v); };
    std::memset(buf, 0, 54);
    buf[0] = 'B';
    buf[1] = 'M';
    put32(2, total);
    put32(10, 54);
    put32(14, 40);
    put32(18, w);
    put32(22, h); // positive: rows bottom-up
    put16(26, 1);
    put16(28, 32);
    put32(34, pixelBytes);
    put32(38, 2835); // 72 dpi
    put32(42, 2835);
    uint8_t* out = buf + 54;
    for (int y = r.bottom; y >= r.top; --y)
        for (int x = r.left; x <= r.right; ++x) {
            bytes::put_le32(out, GuiRgb(GetPixelView(x, y)) & 0xFFFFFF); // B, G, R, 0
            out += 4;
        }
    if (size) *size = total;
    return buf;
}
