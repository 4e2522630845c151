// Dials: a needle turning about a centre, circular or finite, drawn or on a bitmap face.
//
// Dials: a value shown as the angle of a needle turning about a centre. GuiDial is the base (value,
// range, needle, anchor, tics, face, flicker-reduced update); GuiCircularDial turns through whole
// revolutions, GuiFiniteDial sweeps from a start to an end angle. The bitmap variants draw a
// picture as the face and compose face and needle off-screen. Angles are whole degrees, 0 pointing
// right and growing counter-clockwise.
#pragma once

#include "gui/core/thing.h"

#include <type_traits>

enum : uint8_t {
    TYPE_FINITE_DIAL = 50,
    TYPE_FINITE_BITMAP_DIAL = 51,
    TYPE_CIRCULAR_DIAL = 56,
    TYPE_CIRCULAR_BITMAP_DIAL = 57,
};

// Dial style bits (beside the frame bits).
constexpr uint16_t DS_TICS = 0x0040;
constexpr uint16_t DS_LINE_NEEDLE = 0x0080;
constexpr uint16_t DS_THICK_NEEDLE = 0x0100;
constexpr uint16_t DS_POLYGON_NEEDLE = 0x0200;
constexpr uint16_t DS_TRUE_CENTRE = 0x0400; // bitmap dials: turn about the client centre
constexpr uint16_t DS_COR_OFFSETS = 0x0800; // bitmap dials: turn about the centre-of-rotation offsets
constexpr uint16_t DS_PARENT_BACKGROUND = 0x4000;

class GuiDial : public GuiThing {
  public:
    GuiDial(const GuiRect& rect, unsigned int style);
    GuiDial(int left, int top, unsigned int style);

    virtual void SetValue(long value, int redraw);
    virtual long IncrementValue(long delta, int redraw);
    virtual int ValToAngle(long value) = 0;
    virtual void CalcNeedlePos() = 0;
    virtual void DrawTicMarks() = 0;
    virtual void DrawNeedle();
    virtual void DrawAnchor();
    virtual void EraseNeedle();
    virtual void CalcClipAndDraw();
    virtual void DrawDial();
    // The ends of the tic of a value; 0 (points untouched) for a value outside the range.
    virtual int CalcTicPos(long value, GuiPoint& outer, GuiPoint& inner);

    long Value() const { return mValue; }
    int Angle() const { return mAngle; }
    GuiPoint Tip() const { return mTip; }
    GuiPoint Anchor() const { return mAnchor; }

    int32_t mValue = 0;
    int32_t mAngle = 0;
    GuiPoint mTip;
    GuiPoint mAnchor;
    int32_t mNeedleLength = 80; // percent of the radius
    int32_t mTicStep = 0;
    int32_t mTicLength = 10; // percent of the tic radius
    int32_t mAnchorRadius = 4;
    uint32_t mNeedleColor = 0xBF0000;
    uint32_t mFaceColor = GUI_FACE;
    uint32_t mAnchorColor = GUI_BLACK;
    int32_t mStartAngle = 0;
    int32_t mEndAngle = 0;
    int32_t mMinimum = 0;
    int32_t mMaximum = 0;
    int32_t mPartial = 0;

  protected:
    // The client radius and centre.
    int Radius() const;
    GuiPoint Centre() const;
    void NeedleFrom(int radius);
    uint32_t BorderColour();
};

class GuiCircularDial : public GuiDial {
  public:
    GuiCircularDial(const GuiRect& rect, int refAngle, long valuesPerRev, long min, long max,
                    unsigned int style);
    GuiCircularDial(int left, int top, int refAngle, long valuesPerRev, long min, long max,
                    unsigned int style);

    virtual void SetLimits(int refAngle, long valuesPerRev, long min, long max);
    void Draw() override;
    int ValToAngle(long value) override;
    void CalcNeedlePos() override;
    void DrawTicMarks() override;

    int32_t mRefAngle;
    int32_t mValuesPerRev;
};

class GuiFiniteDial : public GuiDial {
  public:
    GuiFiniteDial(const GuiRect& rect, int startAngle, int endAngle, long min, long max, unsigned int style);
    GuiFiniteDial(int left, int top, int startAngle, int endAngle, long min, long max, unsigned int style);

    // An end angle above the start is stored less 360: the needle runs clockwise.
    virtual void SetLimits(int startAngle, int endAngle, long min, long max);
    void Draw() override;
    int ValToAngle(long value) override;
    void CalcNeedlePos() override;
    void DrawTicMarks() override;
};

// What both bitmap dials add: the face and anchor pictures, the composite and the centre of rotation.
struct GuiDialBitmaps {
    GuiBitmap* background = nullptr;
    GuiBitmap* anchor = nullptr;
    GuiBitmap* composite = nullptr;
    int16_t corX = 0;
    int16_t corY = 0;
};

// Both bitmap dials: the face picture and the needle composed off-screen, turning about the client
// centre or the centre-of-rotation offsets.
template <typename Dial> class GuiBitmapDial : public Dial {
  public:
    ~GuiBitmapDial() override;

    void Draw() override;
    void CalcNeedlePos() override;
    void UseTrueCOR(int on);
    void SetCOR(int x, int y, int redraw);

    void DrawToComposite();

    GuiDialBitmaps mBitmaps;

  protected:
    template <typename... DialArgs>
    GuiBitmapDial(GuiBitmap* background, GuiBitmap* anchor, DialArgs... args) : Dial(args...) {
        mBitmaps.background = background;
        mBitmaps.anchor = anchor;
    }
    // The position constructors: the dial as large as its picture.
    void FitToBitmap();

  private:
    static constexpr bool kFinite = std::is_same_v<Dial, GuiFiniteDial>;
};

class GuiCircularBitmapDial : public GuiBitmapDial<GuiCircularDial> {
  public:
    GuiCircularBitmapDial(const GuiRect& rect, int refAngle, long valuesPerRev, long min, long max,
                          GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
    GuiCircularBitmapDial(int left, int top, int refAngle, long valuesPerRev, long min, long max,
                          GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
};

class GuiFiniteBitmapDial : public GuiBitmapDial<GuiFiniteDial> {
  public:
    GuiFiniteBitmapDial(const GuiRect& rect, int startAngle, int endAngle, long min, long max,
                        GuiBitmap* background, GuiBitmap* anchor, unsigned int style);
    GuiFiniteBitmapDial(int left, int top, int startAngle, int endAngle, long min, long max,
                        GuiBitmap* background, GuiBitmap* anchor, unsigned int style);

    void SetBkgBitmap(GuiBitmap* bitmap);
};
