#include "gui/widgets/dial/dial.h"
#include "gui/core/screen.h"
#include "gui/scroll/scroll.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/dial/dial_private.h"

namespace {

// An angle that left the int range would overflow later arithmetic; sine and cosine repeat anyway.
int angleOf(int64_t a) {
    return static_cast<int>(a > (1 << 30) || a < -(1 << 30) ? a % 360 : a);
}

GuiRect spanned(GuiPoint a, GuiPoint b) {
    return GuiRect(a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y, a.x < b.x ? b.x : a.x,
                   a.y < b.y ? b.y : a.y);
}

} // namespace

int GuiCircularAngle(int refAngle, long valuesPerRev, long minimum, long value) {
    if (valuesPerRev < 2) return refAngle;
    const int64_t step = 92160 / (int64_t{valuesPerRev} - 1); // 360 x 256
    return angleOf(refAngle - (((int64_t{value} - minimum) * step) >> 8));
}

int GuiFiniteAngle(int startAngle, int endAngle, long minimum, long maximum, long value) {
    const int64_t n = int64_t{maximum} - minimum - 1;
    if (n == 0) return startAngle;
    const int64_t step = ((int64_t{startAngle} - endAngle) * 256) / n;
    return angleOf(startAngle - (((int64_t{value} - minimum) * step) >> 8));
}

GuiPoint GuiDialPoint(GuiPoint centre, int angle, long distance) {
    int s = 0, c = 0;
    GuiLookupSinCos(angle, &s, &c);
    return GuiPoint(GuiClamp16(centre.x + ((int64_t{distance} * c) >> 10)),
                    GuiClamp16(centre.y - ((int64_t{distance} * s) >> 10)));
}

// ---- base -----------------------------------------------------------------------------------

GuiDial::GuiDial(const GuiRect& rect, unsigned int style) : GuiThing(rect, 0, static_cast<uint16_t>(style)) {
    mColors[0] = GUI_FACE;
    if (!(style & DS_PARENT_BACKGROUND)) mStatus |= PSF_VIEWPORT;
    if (!(mStyle & FF_MASK)) mStyle |= FF_NONE;
    InitClient();
}

GuiDial::GuiDial(int left, int top, unsigned int style)
    : GuiDial(GuiRect(left, top, left + 100, top + 100), style) {}

int GuiDial::Radius() const {
    const int hw = mClient.Width() >> 1, hh = mClient.Height() >> 1;
    return hw < hh ? hw : hh;
}

GuiPoint GuiDial::Centre() const {
    return GuiPoint(mClient.left + (mClient.Width() >> 1), mClient.top + (mClient.Height() >> 1));
}

void GuiDial::NeedleFrom(int radius) {
    const int64_t length = int64_t{mNeedleLength} * radius / 100;
    mTip = GuiDialPoint(mAnchor, mAngle, static_cast<long>(length < 0 ? 0 : length));
}

uint32_t GuiDial::BorderColour() {
    return (mStyle & DS_PARENT_BACKGROUND) && mpParent ? mpParent->mColors[0] : mColors[0];
}

void GuiDial::SetValue(long value, int redraw) {
    if (GuiSetWithin(mValue, value, mMinimum, mMaximum) && Visible() && redraw) CalcClipAndDraw();
}

long GuiDial::IncrementValue(long delta, int redraw) {
    if (GuiStepWithin(mValue, delta, mMinimum, mMaximum) && Visible() && redraw) CalcClipAndDraw();
    return mValue;
}

void GuiDial::DrawNeedle() {
    GuiScreen* s = mpScreen;
    if (!s) return;
    const GuiColor needle(mNeedleColor, mNeedleColor, GUI_COLOR_FILL);
    if (mStyle & DS_LINE_NEEDLE) {
        s->Line(this, mTip.x, mTip.y, mAnchor.x, mAnchor.y, needle, 1);
    } else if (mStyle & DS_THICK_NEEDLE) {
        s->Line(this, mTip.x, mTip.y, mAnchor.x, mAnchor.y, needle, 3);
    } else if (mStyle & DS_POLYGON_NEEDLE) {
        const int w = mClient.Width(), h = mClient.Height();
        const int r = (mStyle & DS_TRUE_CENTRE) ? ((w < h ? w : h) >> 1) : (w > h ? w : h);
        const long side = static_cast<long>(int64_t{mNeedleLength} * r / 100 / 3);
        const GuiPoint shape[5] = {mAnchor, GuiDialPoint(mAnchor, mAngle - 15, side), mTip,
                                   GuiDialPoint(mAnchor, mAngle + 15, side), mAnchor};
        s->Polygon(this, shape, 5, GuiColor(GUI_BLACK, mNeedleColor, GUI_COLOR_FILL), 1);
    }
}

void GuiDial::DrawAnchor() {
    if (!mpScreen) return;
    GuiColor c(mAnchorColor, mAnchorColor, GUI_COLOR_FILL);
    mpScreen->Circle(this, mAnchor.x, mAnchor.y, mAnchorRadius, c, 1);
}

void GuiDial::EraseNeedle() {
    if (!mpScreen) return;
    mpScreen->BeginDraw(this);
    const GuiColor face(mFaceColor, mFaceColor, GUI_COLOR_FILL);
    if (mStyle & (DS_LINE_NEEDLE | DS_THICK_NEEDLE))
        mpScreen->Line(this, mTip.x, mTip.y, mAnchor.x, mAnchor.y, face, (mStyle & DS_LINE_NEEDLE) ? 1 : 3);
    DrawAnchor();
    mpScreen->EndDraw();
}

void GuiDial::DrawDial() {
    if (!mpScreen) return;
    const GuiPoint c = Centre();
    const int r = Radius();
    GuiColor rings[4] = {GuiColor(GUI_BLACK, GUI_BLACK), GuiColor(GUI_WHITE, GUI_WHITE),
                         GuiColor(GUI_WHITE, GUI_WHITE), GuiColor(GUI_SHADOW, mFaceColor, GUI_COLOR_FILL)};
    for (int i = 0; i < 4; ++i)
        mpScreen->Circle(this, c.x, c.y, r - i, rings[i], 1);
}

int GuiDial::CalcTicPos(long value, GuiPoint& outer, GuiPoint& inner) {
    if (value < mMinimum || value > mMaximum) return 0;
    const int angle = ValToAngle(value), r4 = Radius() - 4;
    outer = GuiDialPoint(Centre(), angle, r4);
    inner = GuiDialPoint(Centre(), angle, static_cast<long>(r4 - int64_t{mTicLength} * r4 / 100));
    return 1;
}

// The needle's old and new areas, grown by its width, are redrawn within the dial's clip.
void GuiDial::CalcClipAndDraw() {
    const GuiRect saved = mClip, before = spanned(mTip, mAnchor);
    CalcNeedlePos();
    GuiRect area = spanned(mTip, mAnchor);
    if (area == before || !mpScreen) return; // the clip is left as it was
    area |= before;
    area += (mStyle & DS_THICK_NEEDLE) ? 3 : (mStyle & DS_POLYGON_NEEDLE) ? 10 : 2;
    mClip &= area;
    mPartial = 1;
    mpScreen->Invalidate(mClip);
    Draw();
    mPartial = 0;
    mClip = saved;
}

// ---- circular -------------------------------------------------------------------------------

GuiCircularDial::GuiCircularDial(const GuiRect& rect, int refAngle, long valuesPerRev, long min, long max,
                                 unsigned int style)
    : GuiDial(rect, style) {
    mType = TYPE_CIRCULAR_DIAL;
    GuiCircularDial::SetLimits(refAngle, valuesPerRev, min, max);
}

GuiCircularDial::GuiCircularDial(int left, int top, int refAngle, long valuesPerRev, long min, long max,
                                 unsigned int style)
    : GuiCircularDial(GuiRect(left, top, left + 100, top + 100), refAngle, valuesPerRev, min, max, style) {}

void GuiCircularDial::SetLimits(int refAngle, long valuesPerRev, long min, long max) {
    mRefAngle = refAngle;
    mValuesPerRev = static_cast<int32_t>(valuesPerRev);
    mMinimum = static_cast<int32_t>(min);
    mMaximum = static_cast<int32_t>(max);
    mValue = mMinimum;
    CalcNeedlePos();
}

int GuiCircularDial::ValToAngle(long value) {
    return GuiCircularAngle(mRefAngle, mValuesPerRev, mMinimum, value);
}

void GuiCircularDial::CalcNeedlePos() {
    mAnchor = Centre();
    int64_t v = mValue;
    if (mValuesPerRev > 0 && v - mMinimum >= mValuesPerRev) v = mMinimum + (v - mMinimum) % mValuesPerRev;
    mAngle = ValToAngle(static_cast<long>(v));
    NeedleFrom(Radius());
}

void GuiCircularDial::DrawTicMarks() {
    if (!mTicStep || !mpScreen) return;
    const GuiColor black(GUI_BLACK, GUI_BLACK);
    GuiPoint outer, inner;
    if (CalcTicPos(mMinimum, outer, inner))
        mpScreen->Line(this, outer.x, outer.y, inner.x, inner.y, black, 3);
    const int64_t first = int64_t{mMinimum} + mTicStep;
    const int64_t n = GuiStepCount(first, int64_t{mMinimum} + mValuesPerRev, mTicStep);
    for (int64_t k = 0; k < n; ++k)
        if (CalcTicPos(static_cast<long>(first + k * mTicStep), outer, inner))
            mpScreen->Line(this, outer.x, outer.y, inner.x, inner.y, black, 1);
}

void GuiCircularDial::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (!(mStyle & FF_NONE)) StandardBorder(BorderColour());
    if (!mPartial) CalcNeedlePos();
    DrawDial();
    if (mStyle & DS_TICS) DrawTicMarks();
    DrawChildren();
    DrawNeedle();
    DrawAnchor();
    mpScreen->EndDraw();
}

// ---- finite ---------------------------------------------------------------------------------

GuiFiniteDial::GuiFiniteDial(const GuiRect& rect, int startAngle, int endAngle, long min, long max,
                             unsigned int style)
    : GuiDial(rect, style) {
    mType = TYPE_FINITE_DIAL;
    GuiFiniteDial::SetLimits(startAngle, endAngle, min, max);
}

GuiFiniteDial::GuiFiniteDial(int left, int top, int startAngle, int endAngle, long min, long max,
                             unsigned int style)
    : GuiFiniteDial(GuiRect(left, top, left + 100, top + 100), startAngle, endAngle, min, max, style) {}

void GuiFiniteDial::SetLimits(int startAngle, int endAngle, long min, long max) {
    mStartAngle = startAngle;
    mEndAngle = endAngle > startAngle ? endAngle - 360 : endAngle;
    mMinimum = static_cast<int32_t>(min);
    mMaximum = static_cast<int32_t>(max);
    mValue = mMinimum;
    CalcNeedlePos();
}

int GuiFiniteDial::ValToAngle(long value) {
    return GuiFiniteAngle(mStartAngle, mEndAngle, mMinimum, mMaximum, value);
}

void GuiFiniteDial::CalcNeedlePos() {
    mAnchor = Centre();
    mAngle = mValue <= mMinimum ? mStartAngle : mValue >= mMaximum ? mEndAngle : ValToAngle(mValue);
    NeedleFrom(Radius());
}

void GuiFiniteDial::DrawTicMarks() {
    if (!mTicStep || !mpScreen) return;
    const GuiColor black(GUI_BLACK, GUI_BLACK);
    GuiPoint outer, inner;
    const int64_t n = GuiStepCount(mMinimum, mMaximum, mTicStep);
    for (int64_t k = 0; k < n; ++k)
        if (CalcTicPos(static_cast<long>(mMinimum + k * mTicStep), outer, inner))
            mpScreen->Line(this, outer.x, outer.y, inner.x, inner.y, black, 1);
}

void GuiFiniteDial::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(BorderColour());
    if (!mPartial) CalcNeedlePos();
    DrawDial();
    if (mStyle & DS_TICS) DrawTicMarks();
    DrawChildren();
    DrawNeedle();
    DrawAnchor();
    mpScreen->EndDraw();
}

// ---- bitmap dials ---------------------------------------------------------------------------

namespace {

// The position constructors size the dial to its picture.
void fitToBitmap(GuiDial* dial, const GuiBitmap* b) {
    if (!b) return;
    dial->mReal.right = static_cast<int16_t>(dial->mReal.left + b->width - 1);
    dial->mReal.bottom = static_cast<int16_t>(dial->mReal.top + b->height - 1);
    dial->mClip = dial->mReal;
    dial->InitClient();
}

GuiBitmap* makeComposite(const GuiBitmap* background, bool copyTransparency) {
    GuiScreen* s = GuiThing::mpScreen;
    GuiBitmap* c = s && background ? s->CreateBitmap(background->width, background->height, 1) : nullptr;
    if (c && copyTransparency && (background->flags & BMF_HAS_TRANS)) {
        c->flags |= BMF_HAS_TRANS;
        c->transparent = background->transparent;
    }
    return c;
}

void freeComposite(GuiDialBitmaps& b) {
    if (b.composite && GuiThing::mpScreen) GuiThing::mpScreen->DestroyBitmap(b.composite);
    b.composite = nullptr;
}

// Turning about the centre-of-rotation offsets: the anchor there and the radius the larger side.
void anchorAtOffsets(GuiDial* d, const GuiDialBitmaps& b, int& radius) {
    const GuiRect& c = d->mClient;
    d->mAnchor = GuiPoint(c.left + b.corX, c.top + b.corY);
    radius = c.Width() > c.Height() ? c.Width() : c.Height();
}

// Face and needle into the composite, in the composite's coordinates (finite: with its background
// fill, and the clip rectangle left where it is).
void compose(GuiDial* d, GuiDialBitmaps& b, bool finite) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!b.composite) b.composite = makeComposite(b.background, finite);
    if (!b.composite) return;
    if (!d->mPartial) d->CalcNeedlePos();
    s->BeginDraw(d, b.composite);
    if (finite && ((d->Style() & DS_PARENT_BACKGROUND) || (b.background->flags & BMF_HAS_TRANS))) {
        const bool parent = d->mpParent && (d->mStyle & FF_MASK) == FF_NONE;
        const uint32_t c = parent ? d->mpParent->GetColor(0) : d->mColors[0];
        s->Rectangle(d, GuiRect(0, 0, b.composite->width - 1, b.composite->height - 1),
                     GuiColor(c, c, GUI_COLOR_FILL), parent ? 0 : 1);
    }
    s->Bitmap(d, GuiPoint(0, 0), b.background);
    const int dx = d->mReal.left, dy = d->mReal.top;
    auto move = [&](int sign) {
        d->mTip = GuiPoint(d->mTip.x - sign * dx, d->mTip.y - sign * dy);
        d->mAnchor = GuiPoint(d->mAnchor.x - sign * dx, d->mAnchor.y - sign * dy);
        if (!finite) d->mClip.Shift(-sign * dx, -sign * dy);
    };
    move(1);
    d->DrawNeedle();
    if (!b.anchor)
        d->DrawAnchor();
    else if (d->mStyle & DS_TRUE_CENTRE)
        s->Bitmap(d, GuiPoint(d->mAnchor.x - b.anchor->width / 2, d->mAnchor.y - b.anchor->height / 2),
                  b.anchor);
    s->EndDraw(b.composite);
    move(-1);
}

} // namespace

template <typename Dial> GuiBitmapDial<Dial>::~GuiBitmapDial() {
    freeComposite(mBitmaps);
}

template <typename Dial> void GuiBitmapDial<Dial>::FitToBitmap() {
    fitToBitmap(this, mBitmaps.background);
    CalcNeedlePos();
}

template <typename Dial> void GuiBitmapDial<Dial>::CalcNeedlePos() {
    Dial::CalcNeedlePos();
    if (this->mStyle & DS_TRUE_CENTRE) return;
    int radius = 0;
    anchorAtOffsets(this, mBitmaps, radius);
    this->NeedleFrom(radius);
}

template <typename Dial> void GuiBitmapDial<Dial>::UseTrueCOR(int on) {
    this->mStyle = static_cast<uint16_t>((this->mStyle & ~(DS_TRUE_CENTRE | DS_COR_OFFSETS)) |
                                         (on ? DS_TRUE_CENTRE : DS_COR_OFFSETS));
}

template <typename Dial> void GuiBitmapDial<Dial>::SetCOR(int x, int y, int redraw) {
    mBitmaps.corX = static_cast<int16_t>(x);
    mBitmaps.corY = static_cast<int16_t>(y);
    if (this->Visible() && redraw && this->mpScreen) {
        this->mpScreen->Invalidate(this->mClient);
        Draw();
    }
}

template <typename Dial> void GuiBitmapDial<Dial>::DrawToComposite() {
    compose(this, mBitmaps, kFinite);
}

// Without a picture the finite dial may sit on its parent's colour.
template <typename Dial> void GuiBitmapDial<Dial>::Draw() {
    GuiScreen* s = this->mpScreen;
    if (!s || (!this->Visible() && !s->DrawingToBitmap())) return;
    if (mBitmaps.background) {
        DrawToComposite();
        s->BeginDraw(this);
        if (mBitmaps.composite)
            s->Bitmap(this, GuiPoint(this->mReal.left, this->mReal.top), mBitmaps.composite);
        this->DrawChildren();
        s->EndDraw();
        return;
    }
    s->BeginDraw(this);
    if (kFinite && (this->mStyle & DS_PARENT_BACKGROUND) && this->mpParent &&
        (this->mStyle & FF_MASK) == FF_NONE) {
        const uint32_t c = this->mpParent->mColors[0];
        s->Rectangle(this, this->mReal, GuiColor(c, c, GUI_COLOR_FILL), 0);
    } else {
        this->StandardBorder(this->mColors[0]);
    }
    this->DrawChildren();
    if (!this->mPartial) CalcNeedlePos();
    this->DrawNeedle();
    if (kFinite) this->DrawAnchor();
    s->EndDraw();
}

template class GuiBitmapDial<GuiCircularDial>;
template class GuiBitmapDial<GuiFiniteDial>;

GuiCircularBitmapDial::GuiCircularBitmapDial(const GuiRect& rect, int refAngle, long valuesPerRev, long min,
                                             long max, GuiBitmap* background, GuiBitmap* anchor,
                                             unsigned int style)
    : GuiBitmapDial(background, anchor, rect, refAngle, valuesPerRev, min, max,
                    (style | DS_TRUE_CENTRE) & ~DS_COR_OFFSETS) {
    mType = TYPE_CIRCULAR_BITMAP_DIAL;
    CalcNeedlePos();
}

GuiCircularBitmapDial::GuiCircularBitmapDial(int left, int top, int refAngle, long valuesPerRev, long min,
                                             long max, GuiBitmap* background, GuiBitmap* anchor,
                                             unsigned int style)
    : GuiCircularBitmapDial(GuiRect(left, top, left + 100, top + 100), refAngle, valuesPerRev, min, max,
                            background, anchor, style) {
    FitToBitmap();
}

GuiFiniteBitmapDial::GuiFiniteBitmapDial(const GuiRect& rect, int startAngle, int endAngle, long min,
                                         long max, GuiBitmap* background, GuiBitmap* anchor,
                                         unsigned int style)
    : GuiBitmapDial(background, anchor, rect, startAngle, endAngle, min, max,
                    (style & DS_COR_OFFSETS) ? style : style | DS_TRUE_CENTRE) {
    mType = TYPE_FINITE_BITMAP_DIAL;
    CalcNeedlePos();
}

GuiFiniteBitmapDial::GuiFiniteBitmapDial(int left, int top, int startAngle, int endAngle, long min, long max,
                                         GuiBitmap* background, GuiBitmap* anchor, unsigned int style)
    : GuiFiniteBitmapDial(GuiRect(left, top, left + 100, top + 100), startAngle, endAngle, min, max,
                          background, anchor, style) {
    FitToBitmap();
}

void GuiFiniteBitmapDial::SetBkgBitmap(GuiBitmap* bitmap) {
    freeComposite(mBitmaps);
    mBitmaps.background = bitmap;
    if (!bitmap) return;
    mBitmaps.composite = makeComposite(bitmap, true);
    if (mReal.Width() != bitmap->width || mReal.Height() != bitmap->height)
        Resize(
            GuiRect(mReal.left, mReal.top, mReal.left + bitmap->width - 1, mReal.top + bitmap->height - 1));
}
