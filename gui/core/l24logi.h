// L24logi: the screen over a linear frame buffer of 32-bit pixels 0x00RRGGBB.
#pragma once

#include "gui/core/screen.h"

class L24logi : public GuiScreen {
  public:
    L24logi(const GuiRect& rect, uint32_t* frameBuffer);
    ~L24logi() override;

    void BeginDraw(GuiThing* thing) override;
    void EndDraw() override;
    void BeginDraw(GuiThing* thing, GuiBitmap* bitmap) override;
    void EndDraw(GuiBitmap* bitmap) override;
    int Capture(GuiCapture* capture, GuiRect& rect) override;
    void SetPalette(int first, int count, const uint8_t* rgb) override;
    const uint8_t* GetPalette(unsigned long* size) override;
    uint32_t GetBitmapPixel(int x, int y, GuiBitmap* bitmap) override;
    void PutBitmapPixel(int x, int y, GuiBitmap* bitmap, uint32_t colour) override;
    GuiBitmap* CreateBitmap(int width, int height, int hasTransparency) override;
    int FlushScreen() override;
    int WaitFlushFinish() override;

    void DrawTextView(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font, int count,
                      GuiRect& view) override;
    void DrawTextViewDouble(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font,
                            int count, GuiRect& view) override;
    void LineView(int x1, int y1, int x2, int y2, GuiRect& view, GuiColor colour, int width) override;
    void BitmapView(GuiPoint where, const GuiBitmap* bitmap, const GuiRect& view) override;
    int RectMoveView(GuiThing* thing, const GuiRect& rect, int dx, int dy) override;
    void HorizontalLine(int xStart, int xEnd, int y, uint32_t colour, int width) override;
    void VerticalLine(int yStart, int yEnd, int x, uint32_t colour, int width) override;
    void HorizontalLineXOR(int xStart, int xEnd, int y) override;
    void VerticalLineXOR(int yStart, int yEnd, int x) override;
    uint32_t GetPixelView(int x, int y) override;
    void PutPixelView(int x, int y, uint32_t colour) override;

    void DrawAliasedText(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font, int count,
                         GuiRect& view);
    uint32_t* GetVideoAddress() const;
    void ConfigureController() {}
    const uint8_t* Palette() const { return mPalette; }
    // Depth of nested drawing into bitmaps.
    int BitmapDepth() const { return mTargetDepth; }

  private:
    // Glyph bitmaps drawn with each pixel repeated scale times in both directions.
    void DrawScaledText(GuiPoint where, const char* text, GuiColor& colour, const GuiFont* font, int count,
                        GuiRect& view, int scale);
    void DrawRleBitmap(GuiPoint where, GuiRect view, const GuiBitmap* bitmap);
    void DrawRlePaletteBitmap(GuiPoint where, GuiRect view, const GuiBitmap* bitmap);
    void DrawTrueColorBitmap(GuiPoint where, const GuiBitmap* bitmap, GuiRect view);
    void DrawTrueColorAlphaBitmap(GuiPoint where, const GuiBitmap* bitmap, GuiRect view);
    uint32_t PaletteWord(uint8_t index) const {
        const uint8_t* p = mPalette + 3 * index;
        return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
    }

    // One level of drawing into a bitmap; the state to return to is kept in the entry below.
    struct Target {
        GuiBitmap* bitmap;
        uint32_t** rows; // null: the bitmap could not take drawing
    };
    static constexpr int MAX_TARGETS = 16;
    void ApplyTarget();

    uint32_t** mRows = nullptr;       // active row table
    uint32_t** mScreenRows = nullptr; // the screen's own
    Target mTargets[MAX_TARGETS] = {};
    int mTargetDepth = 0;
    uint8_t mPalette[768] = {};
};

// The frame buffer address of the running screen.
extern uint32_t* gbVMemory;
// Builds the frame-buffer screen (1024 x 480); null when the frame buffer or memory is missing.
GuiScreen* CreateGuiScreen();
