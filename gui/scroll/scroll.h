// Scroll bars, and the toolkit's integer sine and cosine.
//
// Scroll bars: GuiVScroll and GuiHScroll, each two arrow buttons, a trough and a draggable
// thumb (GuiScrollButton); and the toolkit's integer sine and cosine.
#pragma once

#include <cstdint>

#include "gui/core/thing.h"

class GuiBitmapButton;

// Passed between windows and scroll bars.
struct GuiScrollInfo {
    int32_t minimum = 0;
    int32_t maximum = 0;
    int32_t current = 0;
    int32_t step = 0;
    int32_t visible = 0;
};

// What a bar asks the object that owns it (a window; windows sit above the bars).
class GuiScrollSource {
  public:
    virtual void GetVScrollInfo(GuiScrollInfo* info) = 0;
    virtual void GetHScrollInfo(GuiScrollInfo* info) = 0;

  protected:
    ~GuiScrollSource() = default;
};

constexpr int GUI_SCROLL_SIZE = 16;      // bar thickness and arrow length
constexpr int GUI_SCROLL_MIN_THUMB = 16; // shortest thumb

// The thumb.
class GuiScrollButton : public GuiThing {
  public:
    explicit GuiScrollButton(int vertical);
    int Message(const GuiMessage& msg) override;
    void Draw() override;
    // Moves the thumb to follow the pointer coordinate; 1 when it moved.
    int MoveDraw(int coordinate);
    bool Dragging() const { return mDragging != 0; }

    int mVertical;
    int mDragging = 0;
    int mLastPos = 0;
    int mStartPos = 0;
    GuiRect mStartRect;

  private:
    void ReportPosition();
};

class GuiScroll : public GuiThing {
  public:
    // A window's bar: non-client, placed by the window.
    GuiScroll();
    // A bar of its own among its parent's children, reporting by signal 8 when it has an id.
    GuiScroll(const GuiRect& rect, const GuiScrollInfo* info, unsigned int id);

    virtual void Reset();
    virtual void Reset(const GuiScrollInfo* info);
    virtual void CheckScrollLimits();
    virtual void SetScrollButtonPos() = 0;
    virtual void ReadParentScrollInfo() = 0;

    const GuiScrollInfo& Info() const { return mInfo; }
    GuiBitmapButton* FirstButton() const { return mpFirstButton; }
    GuiBitmapButton* SecondButton() const { return mpSecondButton; }
    GuiScrollButton* Thumb() const { return mpThumb; }

    GuiScrollInfo mInfo;
    GuiBitmapButton* mpFirstButton = nullptr;  // up or left, id 1000
    GuiBitmapButton* mpSecondButton = nullptr; // down or right, id 1001
    GuiScrollButton* mpThumb = nullptr;

  protected:
    // Shared by both directions; `vertical` picks the axis. `placed`: the arrows go to the ends
    // of the bar's rectangle now (a bar of its own) rather than when the window places it.
    void MakeChildren(bool vertical, bool placed);
    void DrawBar(bool vertical);
    void ResizeBar(GuiRect rect, bool vertical);
    void PlaceThumb(bool vertical);
    void ReadWindowInfo(bool vertical);
    int HandleMessage(const GuiMessage& msg, bool vertical);
    // Tells the window (type 23/24) or the parent (signal 8) that current moved from `old`.
    void ReportChange(int32_t old, bool vertical);
};

class GuiVScroll : public GuiScroll {
  public:
    GuiVScroll();
    GuiVScroll(const GuiRect& rect, const GuiScrollInfo* info, unsigned int id);
    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void SetScrollButtonPos() override;
    void ReadParentScrollInfo() override;
};

class GuiHScroll : public GuiScroll {
  public:
    GuiHScroll();
    GuiHScroll(const GuiRect& rect, const GuiScrollInfo* info, unsigned int id);
    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void SetScrollButtonPos() override;
    void ReadParentScrollInfo() override;
};

// sin(i degrees) x 1024 for i = 0..90 (seven entries lie one below the rounded value).
extern const int32_t GuiSinCosTable[91];
// Sine and cosine of a whole-degree angle (any sign and size) in units of 1/1024; a null
// output is skipped.
void GuiLookupSinCos(int angle, int* sin, int* cos);
