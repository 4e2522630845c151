// Animations: frame lists with their own delays, and an animation window over a background.
//
// GuiAnimation plays a list of bitmap frames, each with its own delay, position and clearing rule,
// stepped by a one-shot timer per frame. GuiAnimationWindow cycles a fixed number of bitmaps over a
// background bitmap at a constant period.
#pragma once

#include "gui/window/window.h"

enum : uint8_t { TYPE_ANIMATION = 30, TYPE_ANIMATION_WINDOW = 157 };

// Clearing rules of a frame: the client area in colour 0 first, or the previous frame again first;
// any other value draws over what is there.
enum : int32_t { AFC_CLEAR = 0, AFC_CLEAR_TOO = 2, AFC_PREVIOUS = 4, AFC_OVER = 1 };

// A list ends at a record whose bitmap is null.
struct GuiAnimationFrame {
    GuiBitmap* bitmap;
    uint32_t delay; // timer ticks
    int32_t x;      // offset from the object's top-left corner
    int32_t y;
    int32_t clear;
};

// Animation modes.
constexpr uint16_t AM_LOOP = 0x0001;
constexpr uint16_t AM_KEEP_LAST = 0x0002;
constexpr uint16_t AM_START_ON_SHOW = 0x0004;

constexpr uint16_t ANIMATION_TIMER_ID = 0x1000;
constexpr uint16_t ANIMATION_WINDOW_TIMER_ID = 1;

class GuiAnimation : public GuiThing {
  public:
    GuiAnimation(const GuiRect& rect, GuiAnimationFrame* frames, unsigned short id, unsigned short style);
    GuiAnimation(const GuiRect& rect, unsigned short id, unsigned short style);
    ~GuiAnimation() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    // Takes a copy of the list (a null list is an empty one).
    void InitializeFrameList(GuiAnimationFrame* frames);
    void AssignFrameList(GuiAnimationFrame* frames);
    // A frame outside the list is refused.
    void SetCurrentFrame(int frame);
    void SetMode(unsigned short mode) { mMode = mode; }
    // A negative frame: the current one. Nothing without frames or for a frame outside the list.
    void Start(int frame);
    void Stop();

    int Index() const { return mIndex; }
    int Running() const { return mRunning; }
    int FrameCount() const { return mCount; }

  private:
    int32_t mIndex = 0;
    uint16_t mMode = 0;
    GuiAnimationFrame* mpFrames = nullptr;
    GuiAnimationFrame* mpCurrent = nullptr;
    int32_t mRunning = 0;
    int32_t mCount = 0;

    void Tick();
    void Repaint();
    void Vanish();
};

class GuiAnimationWindow : public GuiWindow {
  public:
    GuiAnimationWindow(const GuiRect& rect, GuiBitmap* background, GuiBitmap** frames, unsigned char count,
                       int xOffset, int yOffset, unsigned char* palette, unsigned int style);

    // A period of 0 runs at every tick; a start frame outside the list is refused.
    virtual void Run(unsigned int period, unsigned char startFrame);
    virtual void Stop();
    // A frame outside the list is refused.
    virtual void SetFrame(unsigned char frame);
    virtual void SetBkgBitmap(GuiBitmap* bitmap) { mpBackground = bitmap; }
    virtual void SetFrameOffset(int x, int y);
    virtual void SetAnimationList(GuiBitmap** frames) { mpFrames = frames; }
    virtual void DrawAnimationFrame();
    int Message(const GuiMessage& msg) override;
    void Draw() override;

    unsigned char CurrentFrame() const { return mCurrent; }

  private:
    uint8_t mCurrent = 0;
    uint8_t mCount;
    unsigned char* mpPalette;
    int16_t mOffsetX;
    int16_t mOffsetY;
    GuiBitmap* mpBackground;
    GuiBitmap** mpFrames;
};
