// GuiScreen: the drawing surface. The base clips every primitive to the drawing object's
// visible area and hands the pieces to the driver operations of the concrete screen.
#pragma once

#include <cstdint>

#include "gui/core/thing.h"
#include "gui/core/types.h"

// The visible, unobscured rectangles of an object that owns viewports.
struct GuiViewportList {
    int count = 0;
    int capacity = 0;
    GuiRect* rects = nullptr;
};

// A saved screen area.
class GuiCapture {
  public:
    GuiCapture() = default;
    ~GuiCapture();
    GuiCapture(const GuiCapture&) = delete;
    GuiCapture& operator=(const GuiCapture&) = delete;

    // Grows the pixel buffer to at least `bytes`; 0 when that fails (the old buffer stays).
    int Realloc(long bytes);
    void Free();
    GuiPoint Point() const { return mPos; }
    void MoveTo(int x, int y) { mPos = GuiPoint(x, y); }
    GuiBitmap* Bitmap() { return &mBitmap; }
    const GuiRect& Rect() const { return mRect; }
    bool IsValid() const { return mValid; }
    void SetValid(bool v) { mValid = v; }

    GuiRect mRect;
    GuiPoint mPos;
    GuiBitmap mBitmap;
    uint8_t* mpData = nullptr;
    long mDataSize = 0;
    bool mValid = false;
};

class GuiScreen {
  public:
    explicit GuiScreen(const GuiRect& rect);
    virtual ~GuiScreen();
    GuiScreen(const GuiScreen&) = delete;
    GuiScreen& operator=(const GuiScreen&) = delete;

    // Drawing passes. Pairs nest; the outermost EndDraw gives back the GUI lock levels of the
    // invalidations since the last pass.
    virtual void BeginDraw(GuiThing* thing) = 0;
    virtual void EndDraw() = 0;
    // Redirects drawing into a raw 32-bit bitmap (coordinates relative to its corner).
    virtual void BeginDraw(GuiThing* thing, GuiBitmap* bitmap) = 0;
    virtual void EndDraw(GuiBitmap* bitmap) = 0;
    virtual void SetPointerType(uint8_t) {}
    virtual void SetPointer(GuiPoint p) { mPointer = p; }
    // Copies the screen area into the capture; returns 0 when the area lies off the surface.
    virtual int Capture(GuiCapture* capture, GuiRect& rect) = 0;
    virtual void SetPalette(int first, int count, const uint8_t* rgb) = 0;
    virtual const uint8_t* GetPalette(unsigned long* size) = 0;
    virtual void ResetPalette() {}
    virtual uint32_t GetBitmapPixel(int x, int y, GuiBitmap* bitmap) = 0;
    virtual void PutBitmapPixel(int x, int y, GuiBitmap* bitmap, uint32_t colour) = 0;
    virtual uint32_t GetPixel(int x, int y);
    virtual void PutPixel(GuiThing* thing, int x, int y, uint32_t colour);
    // A raw 32-bit bitmap filled with the empty-pixel word; null for a size outside 1..65535.
    virtual GuiBitmap* CreateBitmap(int width, int height, int hasTransparency) = 0;
    virtual void DestroyBitmap(GuiBitmap* bitmap);
    virtual void Line(GuiThing* thing, int x1, int y1, int x2, int y2, const GuiColor& colour, int width = 1);
    virtual int FlushScreen() = 0;
    virtual int WaitFlushFinish() = 0;
    virtual void Rectangle(GuiThing* thing, const GuiRect& rect, const GuiColor& colour, int width = 1);
    virtual void Bitmap(GuiThing* thing, GuiPoint where, GuiBitmap* bitmap, int onTop = 0);
    virtual void BitmapFill(GuiThing* thing, GuiRect rect, GuiBitmap* bitmap);
    virtual int RectMove(GuiThing* thing, GuiRect from, GuiRect clip, int dx, int dy);
    virtual void DrawText(GuiThing* thing, GuiPoint where, const char* text, GuiColor& colour,
                          const GuiFont* font, int count = -1, int doubleSize = 0);
    virtual int TextHeight(const char* text, const GuiFont* font);
    virtual int TextWidth(const char* text, const GuiFont* font, int count = -1);
    virtual void Polygon(GuiThing* thing, const GuiPoint* points, int count, const GuiColor& colour,
                         int width = 1);
    virtual void Circle(GuiThing* thing, int cx, int cy, int radius, GuiColor& colour, int width = 1);
    // Dotted XOR outline; drawn over whatever lies there (not limited to the invalid area).
    virtual void RectangleXOR(GuiThing* thing, const GuiRect& rect);

    // Adds the rectangle to the invalid area; holds one GUI lock level until the next pass ends.
    void Invalidate(const GuiRect& rect);
    void GenerateViewportList(GuiThing* thing);
    void FreeViewports(GuiThing* thing);
    // A complete Windows BMP file (32 bits per pixel) of the area; the caller frees it with free().
    uint8_t* DumpWindowsBitmap(unsigned long* size, GuiRect rect);

    int Width() const { return mWidth; }
    int Height() const { return mHeight; }
    GuiRect ScreenRect() const { return GuiRect(0, 0, mWidth - 1, mHeight - 1); }
    const GuiRect& InvalidRect() const { return mInvalid; }
    int InvalidCount() const { return mInvalidCount; }
    int DrawNesting() const { return mDrawNesting; }
    bool DrawingToBitmap() const { return mDrawToBitmap; }

    // ---- driver operations: coordinates already clipped to `view` ----
    virtual void DrawTextView(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                              int count, GuiRect& view) = 0;
    virtual void DrawTextViewDouble(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                                    int count, GuiRect& view) = 0;
    virtual void LineView(int x1, int y1, int x2, int y2, GuiRect& view, GuiColor colour, int width) = 0;
    virtual void BitmapView(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view) = 0;
    virtual int RectMoveView(GuiThing* thing, const GuiRect& rect, int dx, int dy) = 0;
    virtual void HorizontalLine(int xStart, int xEnd, int y, uint32_t colour, int width) = 0;
    virtual void VerticalLine(int yStart, int yEnd, int x, uint32_t colour, int width) = 0;
    virtual void HorizontalLineXOR(int xStart, int xEnd, int y) = 0;
    virtual void VerticalLineXOR(int yStart, int yEnd, int x) = 0;
    virtual uint32_t GetPixelView(int x, int y) = 0;
    virtual void PutPixelView(int x, int y, uint32_t colour) = 0;
    virtual void HidePointer() {}

    int mWidth = 0;
    int mHeight = 0;
    int mNumColors = 0;
    int mDrawNesting = 0;
    GuiRect mInvalid;
    int mInvalidCount = 0;
    bool mDrawToBitmap = false;
    bool mDrawSuppressed = false; // drawing into a bitmap that cannot take it
    GuiRect mBitmapRect;
    GuiPoint mPointer;

  protected:
    // Calls fn(piece) for every part of `extent` the thing may draw on: inside the bitmap while
    // drawing into one; else inside the thing's clip rectangle, the invalid area (when asked and
    // pending) and each viewport of its nearest viewport-owning ancestor.
    template <typename F> void ForEachView(GuiThing* thing, GuiRect extent, bool useInvalid, F fn);
    uint8_t* DumpLocked(unsigned long* size, GuiRect rect);
    bool TextPieceExtent(GuiPoint where, const char* text, const GuiFont* font, int count, int doubleSize,
                         GuiRect* extent);
};

// The glyph of character c in a font chain; false when no font of the chain holds c.
struct GuiGlyph {
    const GuiFont* font;
    int offset;
    int width;
};
bool GuiFindGlyph(const GuiFont* font, unsigned char c, GuiGlyph* glyph);

template <typename F> void GuiScreen::ForEachView(GuiThing* thing, GuiRect extent, bool useInvalid, F fn) {
    if (mDrawSuppressed) return;
    if (mDrawToBitmap) {
        GuiRect piece = extent & mBitmapRect;
        if (!piece.IsEmpty()) fn(piece);
        return;
    }
    if (!thing || !thing->Visible()) return;
    GuiRect r = extent & thing->mClip & ScreenRect();
    if (useInvalid && mInvalidCount > 0) r &= mInvalid;
    if (r.IsEmpty()) return;
    GuiThing* owner = thing;
    while (owner && !(owner->mStatus & PSF_VIEWPORT))
        owner = owner->mpParent;
    if (!owner) {
        fn(r);
        return;
    }
    const GuiViewportList* vl = owner->mpViewports;
    if (!vl) return;
    for (int i = 0; i < vl->count; ++i) {
        GuiRect piece = r & vl->rects[i];
        if (!piece.IsEmpty()) fn(piece);
    }
}
