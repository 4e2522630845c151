#include "gui/widgets/scale/scale.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/scale/scale_private.h"

namespace {

const GuiRect kNoArea(0, 0, -1, -1);

} // namespace

int GuiScaleTravel(int start, int end, long minimum, long maximum, long value, uint16_t style) {
    const int64_t n = int64_t{maximum} - minimum - 1;
    const bool vertical = style & SS_VERTICAL, atStart = style & SS_MIN_AT_START;
    const int64_t length = vertical ? int64_t{start} - end : int64_t{end} - start;
    const int64_t d = n ? ((int64_t{value} - minimum) * (length * 256 / n)) >> 8 : 0;
    if (vertical) return GuiClamp16(atStart ? start - d : end + d);
    return GuiClamp16(atStart ? start + d : end - d);
}

// ---- base -----------------------------------------------------------------------------------

GuiScale::GuiScale(const GuiRect& rect, long min, long max, unsigned int style)
    : GuiThing(rect, 0, static_cast<uint16_t>(style)), mValue(static_cast<int32_t>(min)),
      mMinimum(static_cast<int32_t>(min)), mMaximum(static_cast<int32_t>(max)) {
    mStatus |= PSF_VIEWPORT;
    mColors[0] = GUI_FACE;
    if (!(mStyle & FF_MASK)) mStyle |= FF_NONE;
    InitClient();
    GuiScale::ValToPoint(mValue, mNeedlePoint);
}

GuiScale::GuiScale(int left, int top, long min, long max, unsigned int style)
    : GuiScale(GuiRect(left, top, left + 100, top + 150), min, max, style) {}

void GuiScale::SetTravelPoints() {
    const int w = mClient.Width(), h = mClient.Height();
    if (mStyle & SS_VERTICAL) {
        mTravelStart = mClient.bottom - (h >> 4);
        mTravelEnd = mClient.top + (h >> 4);
    } else {
        mTravelStart = mClient.left + (w >> 4);
        mTravelEnd = mClient.right - (w >> 4);
    }
}

int GuiScale::ValToPoint(long value, GuiPoint& point) {
    SetTravelPoints();
    const int c = GuiScaleTravel(mTravelStart, mTravelEnd, mMinimum, mMaximum, value, mStyle);
    point = (mStyle & SS_VERTICAL) ? GuiPoint(0, c) : GuiPoint(c, 0);
    return c;
}

GuiPoint GuiScale::NeedleAt() {
    if (!mUseStoredPoint) ValToPoint(mValue, mNeedlePoint);
    return mNeedlePoint;
}

uint32_t GuiScale::BackgroundColour() {
    return (mStyle & SS_PARENT_BACKGROUND) && mpParent ? mpParent->mColors[0] : mColors[0];
}

void GuiScale::SetValue(long value, int redraw) {
    if (GuiSetWithin(mValue, value, mMinimum, mMaximum) && Visible() && redraw) CalcClipAndDraw();
}

long GuiScale::IncrementValue(long delta, int redraw) {
    if (GuiStepWithin(mValue, delta, mMinimum, mMaximum) && Visible() && redraw) CalcClipAndDraw();
    return mValue;
}

void GuiScale::SetMinValue(long value, int redraw) {
    if (value == mMinimum) return;
    mMinimum = static_cast<int32_t>(value);
    if (Visible() && redraw) CalcClipAndDraw();
}

void GuiScale::SetMaxValue(long value, int redraw) {
    if (value == mMaximum) return;
    mMaximum = static_cast<int32_t>(value);
    if (Visible() && redraw) CalcClipAndDraw();
}

void GuiScale::CalcNeedleRect(const GuiPoint& p, GuiRect& r) {
    if (!(mStyle & (SS_LINE_NEEDLE | SS_THICK_NEEDLE | SS_ARROW_NEEDLE))) return;
    const int L = mClient.left, T = mClient.top, R = mClient.right, B = mClient.bottom;
    const int w = mClient.Width(), h = mClient.Height();
    const bool near = mStyle & SS_NEAR_SIDE, arrow = mStyle & SS_ARROW_NEEDLE;
    if (mStyle & SS_VERTICAL) {
        const int span = (w >> 1) + (w >> 2) - (w >> 3), x1 = near ? L + (w >> 2) : R - (w >> 2);
        const int across = arrow ? (h >> 4) + 2 : 3;
        r = near ? GuiRect(x1, p.y - across, x1 + span, p.y + across)
                 : GuiRect(x1 - span, p.y - across, x1, p.y + across);
    } else {
        const int span = (h >> 1) + (h >> 2) - (h >> 3), y1 = near ? T + (h >> 2) : B - (h >> 2);
        const int across = arrow ? (w >> 4) + 2 : 3;
        r = near ? GuiRect(p.x - across, y1, p.x + across, y1 + span)
                 : GuiRect(p.x - across, y1 - span, p.x + across, y1);
    }
}

void GuiScale::DrawNeedle() {
    GuiScreen* s = mpScreen;
    if (!s) return;
    const GuiPoint p = NeedleAt();
    const int L = mClient.left, T = mClient.top, R = mClient.right, B = mClient.bottom;
    const int w = mClient.Width(), h = mClient.Height();
    const bool vertical = mStyle & SS_VERTICAL, near = mStyle & SS_NEAR_SIDE;
    const int in = near ? 1 : -1; // away from the near edge
    if (mStyle & SS_ARROW_NEEDLE) {
        const GuiColor c(GUI_BLACK, mNeedleColor, GUI_COLOR_FILL);
        if (vertical) {
            const int x0 = near ? L + (w >> 2) : R - (w >> 2), xs = x0 + in * (w >> 3),
                      xb = xs + in * (w >> 1);
            const int y0 = p.y - (h >> 4), y1 = y0 + (h >> 3);
            s->Line(this, x0, p.y, xs, p.y, c, 1);
            const GuiPoint head[4] = {GuiPoint(xb, y1), GuiPoint(xb, y0), GuiPoint(xs, p.y),
                                      GuiPoint(xb, y1)};
            s->Polygon(this, head, 4, c, 1);
        } else {
            const int y0 = near ? T + (h >> 2) : B - (h >> 2), ys = y0 + in * (h >> 3),
                      yb = ys + in * (h >> 1);
            const int x0 = p.x - (w >> 4), x1 = x0 + (w >> 3);
            s->Line(this, p.x, y0, p.x, ys, c, 1);
            const GuiPoint head[4] = {GuiPoint(x1, yb), GuiPoint(x0, yb), GuiPoint(p.x, ys),
                                      GuiPoint(x1, yb)};
            s->Polygon(this, head, 4, c, 1);
        }
    } else if (mStyle & (SS_LINE_NEEDLE | SS_THICK_NEEDLE)) {
        const GuiColor c(mNeedleColor, mNeedleColor, GUI_COLOR_FILL);
        const bool thick = mStyle & SS_THICK_NEEDLE;
        if (vertical) {
            const int x1 = near ? L + (w >> 2) : R - (w >> 2),
                      xe = x1 + in * ((w >> 1) + (w >> 2) - (w >> 3));
            const int x2 = x1 + in * (w >> 4);
            s->Line(this, x1, p.y, xe, p.y, c, 1);
            if (thick)
                for (int d : {-1, 1}) {
                    s->Line(this, x1, p.y + d, xe, p.y + d, c, 1);
                    s->Line(this, x2, p.y + 2 * d, xe, p.y + 2 * d, c, 1);
                }
        } else {
            const int y1 = near ? T + (h >> 2) : B - (h >> 2),
                      ye = y1 + in * ((h >> 1) + (h >> 2) - (h >> 3));
            const int y2 = y1 - in * (h >> 4);
            s->Line(this, p.x, y1, p.x, ye, c, 1);
            if (thick)
                for (int d : {-1, 1}) {
                    s->Line(this, p.x + d, y1, p.x + d, ye, c, 1);
                    s->Line(this, p.x + 2 * d, y2, p.x + 2 * d, ye, c, 1);
                }
        }
    }
}

// Only the needle's old and new areas are redrawn, within the scale's clip.
void GuiScale::CalcClipAndDraw() {
    GuiRect before = kNoArea, after = kNoArea;
    CalcNeedleRect(mNeedlePoint, before);
    GuiPoint p;
    ValToPoint(mValue, p);
    if (p == mNeedlePoint) return;
    CalcNeedleRect(p, after);
    mNeedlePoint = p;
    GuiRect area = before.IsEmpty() ? after : after.IsEmpty() ? before : (before |= after);
    if (area.IsEmpty() || !mpScreen) return;
    const GuiRect saved = mClip;
    mClip &= area;
    mUseStoredPoint = 1;
    mpScreen->Invalidate(mClip);
    Draw();
    mUseStoredPoint = 0;
    mClip = saved;
}

// ---- linear scale ---------------------------------------------------------------------------

GuiLinearScale::GuiLinearScale(const GuiRect& rect, long min, long max, long ticStep, unsigned int style)
    : GuiScale(rect, min, max, style), mTicStep(static_cast<int32_t>(ticStep)) {
    mType = TYPE_LINEAR_SCALE;
}

GuiLinearScale::GuiLinearScale(int left, int top, long min, long max, long ticStep, unsigned int style)
    : GuiLinearScale(GuiRect(left, top, left + 100, top + 150), min, max, ticStep, style) {}

void GuiLinearScale::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    SetTravelPoints();
    DrawScale();
    if (mStyle & SS_TICS) DrawTicMarks();
    DrawChildren();
    DrawNeedle();
    mpScreen->EndDraw();
}

void GuiLinearScale::DrawScale() {
    GuiScreen* s = mpScreen;
    if (!s) return;
    StandardBorder(BackgroundColour());
    const bool near = mStyle & SS_NEAR_SIDE;
    const uint32_t groove[3] = {GUI_SHADOW, GUI_BLACK, GUI_WHITE};
    for (int i = 0; i < 3; ++i) {
        const GuiColor c(groove[i], GUI_FACE);
        if (mStyle & SS_VERTICAL) {
            const int w = mClient.Width(), x = mClient.left + (near ? w >> 1 : 0) - 1 + (w >> 2) + i;
            s->Line(this, x, mTravelEnd, x, mTravelStart, c, 1);
        } else {
            const int h = mClient.Height(), y = mClient.top + (near ? h >> 1 : 0) - 1 + (h >> 2) + i;
            s->Line(this, mTravelStart, y, mTravelEnd, y, c, 1);
        }
    }
}

void GuiLinearScale::DrawTicMarks() {
    if (!mTicStep || !mpScreen) return;
    const int64_t count = (int64_t{mMaximum} - mMinimum) / mTicStep + 1;
    const GuiColor c(GUI_BLACK, GUI_FACE);
    const bool near = mStyle & SS_NEAR_SIDE;
    const int in = near ? 1 : -1;
    for (int64_t k = 0; k < count; ++k) {
        GuiPoint p;
        ValToPoint(static_cast<long>(mMinimum + k * mTicStep), p);
        if (mStyle & SS_VERTICAL) {
            const int e = near ? mClient.left : mClient.right;
            mpScreen->Line(this, e, p.y, e + in * (mClient.Width() >> 2), p.y, c, 1);
        } else {
            const int e = near ? mClient.top : mClient.bottom;
            mpScreen->Line(this, p.x, e, p.x, e + in * (mClient.Height() >> 2), c, 1);
        }
    }
}

// ---- bitmap scale ---------------------------------------------------------------------------

GuiLinearBitmapScale::GuiLinearBitmapScale(const GuiRect& rect, long min, long max, int travelStart,
                                           int travelEnd, GuiBitmap* background, GuiBitmap* needle,
                                           unsigned int style)
    : GuiScale(rect, min, max, style | SS_OFFSET_TRAVEL | FF_NONE), mpBackground(background),
      mpNeedle(needle), mTravelStartOffset(travelStart), mTravelEndOffset(travelEnd) {
    mType = TYPE_LINEAR_BITMAP_SCALE;
    ValToPoint(mValue, mNeedlePoint);
}

GuiLinearBitmapScale::GuiLinearBitmapScale(int left, int top, long min, long max, int travelStart,
                                           int travelEnd, GuiBitmap* background, GuiBitmap* needle,
                                           unsigned int style)
    : GuiLinearBitmapScale(GuiRect(left, top, left + 100, top + 150), min, max, travelStart, travelEnd,
                           background, needle, style) {
    if (!background) return;
    mReal.right = static_cast<int16_t>(mReal.left + background->width - 1);
    mReal.bottom = static_cast<int16_t>(mReal.top + background->height - 1);
    mClip = mReal;
    InitClient();
    ValToPoint(mValue, mNeedlePoint);
}

GuiLinearBitmapScale::~GuiLinearBitmapScale() {
    if (mpComposite && mpScreen) mpScreen->DestroyBitmap(mpComposite);
}

void GuiLinearBitmapScale::SetTravelPoints() {
    if (!(mStyle & SS_OFFSET_TRAVEL)) {
        GuiScale::SetTravelPoints();
        return;
    }
    const int base = (mStyle & SS_VERTICAL) ? mClient.top : mClient.left;
    mTravelStart = base + mTravelStartOffset;
    mTravelEnd = base + mTravelEndOffset;
}

void GuiLinearBitmapScale::CalcNeedleRect(const GuiPoint& p, GuiRect& r) {
    if (!mpNeedle) {
        GuiScale::CalcNeedleRect(p, r);
        return;
    }
    const int bw = mpNeedle->width, bh = mpNeedle->height, near = mStyle & SS_NEAR_SIDE;
    if (mStyle & SS_VERTICAL) {
        const int y = p.y - bh / 2 - mNeedleOffset;
        r = near ? GuiRect(mClient.right - bw + 1, y, mClient.right, y + bh - 1)
                 : GuiRect(mClient.left, y, mClient.left + bw - 1, y + bh - 1);
    } else {
        const int x = p.x - bw / 2 - mNeedleOffset;
        r = near ? GuiRect(x, mClient.bottom - bh + 1, x + bw - 1, mClient.bottom)
                 : GuiRect(x, mClient.top, x + bw - 1, mClient.top + bh - 1);
    }
}

void GuiLinearBitmapScale::DrawBitmapNeedle() {
    if (!mpNeedle || !mpScreen) return;
    const GuiPoint p = NeedleAt();
    const int bw = mpNeedle->width, bh = mpNeedle->height, near = mStyle & SS_NEAR_SIDE;
    int x, y;
    if (mStyle & SS_VERTICAL) {
        x = near ? mClient.right - bw + 1 : mClient.left;
        y = p.y - (mNeedleOffset + bh / 2);
    } else {
        y = near ? mClient.bottom - bh + 1 : mClient.top;
        x = p.x - (mNeedleOffset + bw / 2);
    }
    if (mpBackground) { // into the composite
        x -= mReal.left;
        y -= mReal.top;
    }
    mpScreen->Bitmap(this, GuiPoint(x, y), mpNeedle);
}

void GuiLinearBitmapScale::DrawToComposite() {
    if (!mpBackground || !mpScreen) return;
    if (!mpComposite) mpComposite = mpScreen->CreateBitmap(mpBackground->width, mpBackground->height, 1);
    if (!mpComposite) return;
    mpScreen->BeginDraw(this, mpComposite);
    mpScreen->Bitmap(this, GuiPoint(0, 0), mpBackground);
    DrawBitmapNeedle();
    mpScreen->EndDraw(mpComposite);
}

void GuiLinearBitmapScale::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    if (mpBackground) {
        DrawToComposite();
        mpScreen->BeginDraw(this);
        if (mpComposite) mpScreen->Bitmap(this, GuiPoint(mReal.left, mReal.top), mpComposite);
    } else {
        mpScreen->BeginDraw(this);
        const uint32_t c = BackgroundColour();
        mpScreen->Rectangle(this, mReal, GuiColor(c, c, GUI_COLOR_FILL), 1);
        DrawBitmapNeedle();
    }
    if (!mpNeedle) DrawNeedle();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiLinearBitmapScale::SetBkgBitmap(GuiBitmap* bitmap) {
    if (mpComposite && mpScreen) mpScreen->DestroyBitmap(mpComposite);
    mpComposite = nullptr;
    mpBackground = bitmap;
    if (!bitmap || !mpScreen) return;
    mpComposite = mpScreen->CreateBitmap(bitmap->width, bitmap->height, 1);
    if (mReal.Width() != bitmap->width || mReal.Height() != bitmap->height)
        Resize(
            GuiRect(mReal.left, mReal.top, mReal.left + bitmap->width - 1, mReal.top + bitmap->height - 1));
}
