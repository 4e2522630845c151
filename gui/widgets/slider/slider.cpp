#include "gui/widgets/slider/slider.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/core/screen.h"
#include "gui/core/util.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/slider/slider_private.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr int KNOB = 8; // length of the knob along the track

} // namespace

// ---- arithmetic ---------------------------------------------------------------------------------

void GuiSliderTravel(const GuiRect& c, bool vertical, int* low, int* high) {
    const int w = c.Width(), h = c.Height();
    if (vertical) {
        *low = c.top - 3 + (h >> 4);
        *high = c.bottom + 3 - (h >> 4);
    } else {
        *low = c.left - 3 + (w >> 4);
        *high = c.right + 3 - (w >> 4);
    }
}

int GuiSliderPosition(int low, int high, int min, int max, int value) {
    const int64_t range = static_cast<int64_t>(max) - min;
    if (range == 0) return low;
    const int64_t f = ((static_cast<int64_t>(value) - min) * 256) / range;
    return GuiClamp16(low + (((static_cast<int64_t>(high) - low - 7) * f) >> 8));
}

int GuiSliderValueAt(int lead, int low, int high, int min, int max) {
    const int64_t travel = static_cast<int64_t>(high) - low - 7;
    if (travel <= 0) return min;
    return GuiClamp32(min + (static_cast<int64_t>(lead) - low) * (static_cast<int64_t>(max) - min) / travel);
}

int GuiSliderSnap(int64_t v, int min, int max, int scale) {
    const int64_t range = static_cast<int64_t>(max) - min;
    const int64_t n = scale > 0 ? std::llabs(range) / scale : 0;
    const int64_t step = n ? range / n : range;
    if (step == 0) return min;
    int64_t snapped = ((v + min + std::llabs(step / 2)) / step) * step;
    const int64_t lo = min < max ? min : max, hi = min < max ? max : min;
    if (snapped < lo) snapped = lo;
    if (snapped > hi) snapped = hi;
    return static_cast<int>(snapped);
}

int GuiSliderTicks(int min, int max, int scale) {
    if (scale <= 0) return 0;
    return GuiClamp32(std::llabs(static_cast<int64_t>(max) - min) / scale + 1);
}

int GuiSliderTickAt(int start, int length, int count, int i) {
    if (count < 2) return start * 8;
    const int64_t spacing = (8 * static_cast<int64_t>(length) - (length & ~1)) / (count - 1);
    return GuiClamp32(start * 8 + spacing * i);
}

// ---- the knob -----------------------------------------------------------------------------------

GuiSlideButton::GuiSlideButton(int min, int max, int scale, unsigned int style)
    : GuiThing(0, static_cast<uint16_t>(style)), mMinValue(min), mMaxValue(max), mScale(scale),
      mCurrentValue(min) {
    mStatus |= PSF_SELECTABLE;
}

bool GuiSlideButton::Vertical() const {
    auto* s = static_cast<GuiSlider*>(mpParent);
    return s && s->Vertical();
}

int GuiSlideButton::Lead() const {
    return Vertical() ? mReal.top : mReal.left;
}

void GuiSlideButton::SetDragLimits() {
    if (!mpParent) return;
    int low, high;
    GuiSliderTravel(mpParent->mClient, Vertical(), &low, &high);
    mLowLimit = low;
    mHighLimit = high;
}

void GuiSlideButton::SetSize() {
    if (!mpParent) return;
    SetDragLimits();
    const GuiRect& c = mpParent->mClient;
    if (Vertical())
        mReal =
            GuiRect(c.left + (c.right - c.left + 1) / 6 + 3, mLowLimit, c.right - 2, mLowLimit + KNOB - 1);
    else
        mReal =
            GuiRect(mLowLimit, c.top + 2, mLowLimit + KNOB - 1, c.bottom - (c.bottom - c.top + 1) / 6 - 2);
    mClient = mReal;
    mClip = mReal & mpParent->mClip;
    RecalcCurrentPos(0);
}

void GuiSlideButton::ParentShift(int, int) {
    SetSize();
}

void GuiSlideButton::RecalcCurrentPos(int redraw) {
    const int pos = GuiSliderPosition(mLowLimit, mHighLimit, mMinValue, mMaxValue, mCurrentValue);
    if (Vertical())
        UpdateVertPos(pos - mReal.top, redraw);
    else
        UpdateHorzPos(pos - mReal.left, redraw);
}

void GuiSlideButton::UpdateHorzPos(int d, int redraw) {
    Move(d, redraw, false);
}
void GuiSlideButton::UpdateVertPos(int d, int redraw) {
    Move(d, redraw, true);
}

void GuiSlideButton::Move(int d, int redraw, bool vertical) {
    const int lead = vertical ? mReal.top : mReal.left, trail = vertical ? mReal.bottom : mReal.right;
    if (lead + d < mLowLimit) d = mLowLimit - lead;
    if (trail + d > mHighLimit) d = mHighLimit - trail;
    GuiRect r = mReal;
    r.Shift(vertical ? 0 : d, vertical ? d : 0);
    if (redraw && mpParent) {
        Resize(r);
        GuiThing* painter =
            (mpParent->mStyle & SLS_PARENT_BACKGROUND) && mpParent->mpParent ? mpParent->mpParent : mpParent;
        GuiRedraw(painter);
        return;
    }
    mReal = r;
    mClient = r;
    mClip = mpParent ? mpParent->mClip & r : r;
}

void GuiSlideButton::CheckSnap(GuiPoint p, bool vertical) {
    const int at = vertical ? p.y : p.x;
    Move(at - KNOB / 2 - Lead(), 0, vertical);
    const int64_t travel = static_cast<int64_t>(mHighLimit) - mLowLimit - 7;
    const int64_t v = travel > 0 ? (static_cast<int64_t>(Lead()) - mLowLimit) *
                                       (static_cast<int64_t>(mMaxValue) - mMinValue) / travel
                                 : 0;
    const int snapped = GuiSliderSnap(v, mMinValue, mMaxValue, mScale);
    const bool changed = snapped != mCurrentValue;
    mCurrentValue = snapped;
    // An unchanged value puts the knob back where the screen shows it.
    RecalcCurrentPos(changed ? 1 : 0);
}

void GuiSlideButton::UpdatePosition(GuiPoint p) {
    const bool vertical = Vertical();
    if (mpParent && (mpParent->mStyle & SLS_SNAP)) {
        CheckSnap(p, vertical);
        return;
    }
    const int before = Lead();
    Move(vertical ? p.y - mLastPoint.y : p.x - mLastPoint.x, 1, vertical);
    if (Lead() != before)
        mCurrentValue = GuiSliderValueAt(Lead(), mLowLimit, mHighLimit, mMinValue, mMaxValue);
    mLastPoint = p;
}

void GuiSlideButton::SetMinValue(int v) {
    mMinValue = v;
    RecalcCurrentPos(0);
}
void GuiSlideButton::SetMaxValue(int v) {
    mMaxValue = v;
    RecalcCurrentPos(0);
}
void GuiSlideButton::SetCurrentValue(int value, int redraw) {
    mCurrentValue = value;
    RecalcCurrentPos(redraw);
}
void GuiSlideButton::Reset(int min, int max, int current) {
    mMinValue = min;
    mMaxValue = max;
    mCurrentValue = current;
    RecalcCurrentPos(0);
}

int GuiSlideButton::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_LBUTTON_DOWN:
        if (mDragging) return 0;
        CapturePointer();
        SetDragLimits();
        mDragging = 1;
        mLastPoint = msg.payload.point;
        return 0;
    case GM_POINTER_MOVE: {
        if (!mDragging) return 0;
        const int before = mCurrentValue;
        UpdatePosition(msg.payload.point);
        if (mCurrentValue != before && mpParent) {
            GuiMessage m(GM_SLIDER_VALUE, mpParent, this);
            m.payload.l = mCurrentValue;
            mpParent->Message(m);
        }
        return 0;
    }
    case GM_LBUTTON_UP:
        if (!mDragging) return 0;
        ReleasePointer();
        mDragging = 0;
        return 0;
    case GM_SHOW: {
        SetSize();
        const int r = GuiThing::Message(msg);
        mDragging = 0;
        return r;
    }
    case GM_HIDE: {
        if (mDragging) ReleasePointer();
        const int r = GuiThing::Message(msg);
        mDragging = 0;
        return r;
    }
    default:
        return GuiThing::Message(msg);
    }
}

void GuiSlideButton::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    mpScreen->Rectangle(this, mReal, GuiColor(GUI_BLACK, 0), 1);
    if (Vertical()) {
        for (int y : {T + 1, B - 1})
            GuiStroke(this, L + 1, y, R - 1, y, GUI_SHADOW);
        for (int y : {T + 2, B - 2})
            GuiStroke(this, L + 1, y, R - 1, y, GUI_FACE);
        mpScreen->Line(this, L + 1, T + 3, R - 1, T + 3, GuiColor(GUI_WHITE, GUI_WHITE), 2);
    } else {
        for (int x : {L + 1, R - 1})
            GuiStroke(this, x, T + 1, x, B - 1, GUI_SHADOW);
        for (int x : {L + 2, R - 2})
            GuiStroke(this, x, T + 1, x, B - 1, GUI_FACE);
        mpScreen->Line(this, L + 3, T + 1, L + 3, B - 1, GuiColor(GUI_WHITE, GUI_WHITE), 2);
    }
    DrawChildren();
    mpScreen->EndDraw();
}

// ---- the slider ---------------------------------------------------------------------------------

GuiSlider::GuiSlider(const GuiRect& rect, int min, int max, unsigned int id, unsigned int style, int scale)
    : GuiThing(rect, static_cast<uint16_t>(id), static_cast<uint16_t>(style)), mMinValue(min), mMaxValue(max),
      mScale(scale) {
    mType = TYPE_SLIDER;
    mStatus |= PSF_WINDOW | PSF_SIZEABLE;
    mColors[0] = GUI_FACE;
    mColors[2] = GUI_BLACK;
    mSignals = 1u << GSIG_SLIDE;
    InitClient();
}

void GuiSlider::MakeKnob() {
    if (mpSlideButton) return;
    mpSlideButton = new (std::nothrow) GuiSlideButton(mMinValue, mMaxValue, mScale, 0);
    if (mpSlideButton) Add(mpSlideButton, 1);
}

void GuiSlider::Changed() {
    if (mpSlideButton) mpSlideButton->Reset(mMinValue, mMaxValue, mpSlideButton->mCurrentValue);
    if (Visible() && mpScreen) {
        mpScreen->Invalidate(mClient);
        Draw();
    }
}

void GuiSlider::SetMinValue(int v) {
    mMinValue = v;
    Changed();
}
void GuiSlider::SetMaxValue(int v) {
    mMaxValue = v;
    Changed();
}
void GuiSlider::Reset(int min, int max, int current) {
    mMinValue = min;
    mMaxValue = max;
    if (mpSlideButton) mpSlideButton->mCurrentValue = current;
    Changed();
}

void GuiSlider::SetCurrentValue(int value, int redraw) {
    MakeKnob();
    if (mpSlideButton) mpSlideButton->SetCurrentValue(value, redraw);
}

int GuiSlider::GetCurrentValue() {
    MakeKnob();
    return mpSlideButton ? mpSlideButton->mCurrentValue : mMinValue;
}

void GuiSlider::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    if (mpSlideButton) mpSlideButton->SetSize();
}

int GuiSlider::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        MakeKnob();
        return GuiThing::Message(msg);
    case GM_LBUTTON_DOWN:
        if (mpSlideButton) {
            // The knob jumps to the press and the drag goes on from there.
            GuiMessage press(GM_LBUTTON_DOWN, mpSlideButton);
            press.payload.point = GuiPoint(mpSlideButton->mReal.left, mpSlideButton->mReal.top);
            mpSlideButton->Message(press);
            GuiMessage move(GM_POINTER_MOVE, mpSlideButton);
            move.payload.point = msg.payload.point;
            mpSlideButton->Message(move);
        }
        return 0;
    case GM_SLIDER_VALUE:
        if (mId && (mSignals & (1u << GSIG_SLIDE)) && mpParent) {
            GuiMessage m(static_cast<uint16_t>(128 + 16 * mId + GSIG_SLIDE), mpParent, this, mId);
            m.payload.l = msg.payload.l;
            mpParent->Message(m);
        }
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiSlider::DrawScale() {
    const GuiRect& c = mClient;
    const int W = c.Width(), H = c.Height();
    const int count = GuiSliderTicks(mMinValue, mMaxValue, mScale);
    const uint32_t ink = mColors[2];
    if (Vertical()) {
        const int start = c.top + H / 16;
        for (int i = 0; i < count; ++i) {
            const int y = GuiSliderTickAt(start, H, count, i) / 8;
            GuiStroke(this, c.left, y, c.left + W / 6, y, ink);
        }
        const int x = (c.left + W / 6 + 1 + c.right) / 2;
        const int from = start - 3;
        const int to =
            count >= 2 ? GuiSliderTickAt(start, H, count, count - 1) / 8 + 3 : c.bottom - H / 16 + 3;
        GuiStroke(this, x - 1, from, x - 1, to, GUI_SHADOW);
        GuiStroke(this, x, from, x, to, GUI_BLACK);
        GuiStroke(this, x + 1, from, x + 1, to, GUI_WHITE);
    } else {
        const int start = c.left + W / 16;
        for (int i = 0; i < count; ++i) {
            const int x = GuiSliderTickAt(start, W, count, i) / 8;
            GuiStroke(this, x, c.bottom - H / 6, x, c.bottom, ink);
        }
        const int y = (c.top + c.bottom - H / 6 - 1) / 2;
        const int from = start - 3;
        const int to =
            count >= 2 ? GuiSliderTickAt(start, W, count, count - 1) / 8 + 3 : c.right - W / 16 + 3;
        GuiStroke(this, from, y - 1, to, y - 1, GUI_SHADOW);
        GuiStroke(this, from, y, to, y, GUI_BLACK);
        GuiStroke(this, from, y + 1, to, y + 1, GUI_WHITE);
    }
}

void GuiSlider::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    if (mScale != -1) DrawScale();
    DrawChildren();
    mpScreen->EndDraw();
}

// ---- the spin button ----------------------------------------------------------------------------

namespace {

GuiRect spinRect(int x, int y, unsigned style) {
    return (style & SPS_VERTICAL) ? GuiRect(x, y, x + 15, y + 31) : GuiRect(x, y, x + 31, y + 15);
}

int32_t limit32(long v) {
    return GuiClamp32(static_cast<int64_t>(v));
}

} // namespace

GuiSpinButton::GuiSpinButton(int x, int y, unsigned int id, unsigned int style)
    : GuiSpinButton(spinRect(x, y, style), id, style) {}

GuiSpinButton::GuiSpinButton(int x, int y, GuiTextThing* slave, long min, long max, int step, unsigned int id,
                             unsigned int style)
    : GuiSpinButton(spinRect(x, y, style), slave, min, max, step, id, style) {}

GuiSpinButton::GuiSpinButton(const GuiRect& rect, unsigned int id, unsigned int style)
    : GuiThing(rect, static_cast<uint16_t>(id), static_cast<uint16_t>(style)) {
    AddSpinButtons();
}

GuiSpinButton::GuiSpinButton(const GuiRect& rect, GuiTextThing* slave, long min, long max, int step,
                             unsigned int id, unsigned int style)
    : GuiThing(rect, static_cast<uint16_t>(id), static_cast<uint16_t>(style)), mpSlave(slave),
      mMinValue(limit32(min)), mMaxValue(limit32(max)), mStep(step) {
    if (mpSlave) mpSlave->SetCopyMode();
    AddSpinButtons();
}

void GuiSpinButton::AddSpinButtons() {
    mType = TYPE_SPIN_BUTTON;
    mClient = mReal;
    const uint16_t style = static_cast<uint16_t>(0x1A | (mStyle & SPS_ENABLED));
    const GuiRect& r = mReal;
    GuiBitmapButton* first;
    GuiBitmapButton* second;
    if (mStyle & SPS_VERTICAL) {
        const int mid = r.top + r.Height() / 2;
        first = new (std::nothrow)
            GuiBitmapButton(GuiRect(r.left, r.top, r.right, mid), &gbUpArrowBitmap, SPIN_ID_UP, style);
        second = new (std::nothrow) GuiBitmapButton(GuiRect(r.left, mid + 1, r.right, r.bottom),
                                                    &gbDownArrowBitmap, SPIN_ID_DOWN, style);
    } else {
        const int mid = r.left + r.Width() / 2;
        first = new (std::nothrow)
            GuiBitmapButton(GuiRect(r.left, r.top, mid, r.bottom), &gbLeftArrowBitmap, SPIN_ID_LEFT, style);
        second = new (std::nothrow)
            GuiBitmapButton(GuiRect(mid + 1, r.top, r.right, r.bottom), &gbMoreBitmap, SPIN_ID_RIGHT, style);
    }
    if (first) AddToEnd(first, 0);
    if (second) AddToEnd(second, 0);
    mSignals = (1u << GSIG_SCROLL) | (1u << GSIG_SLIDE);
}

void GuiSpinButton::SetLimits(long min, long max, int step) {
    mMinValue = limit32(min);
    mMaxValue = limit32(max);
    mStep = step;
}

void GuiSpinButton::SetDigits(int digits) {
    mDigits = digits < 0 ? 0 : digits > 15 ? 15 : digits;
}

void GuiSpinButton::UpdateSlave(int direction) {
    if (!mpSlave || !mpSlave->DataGet()) return;
    // The limits are signed, and so is the number shown.
    int64_t v = std::strtoll(mpSlave->DataGet(), nullptr, 10);
    v += direction == GSIG_SLIDE ? -static_cast<int64_t>(mStep) : mStep;
    if (v < mMinValue) v = mMinValue;
    if (v > mMaxValue) v = mMaxValue;
    char digits[66];
    gui_ltoa(static_cast<long>(v), digits, 10);
    char text[40];
    const bool negative = digits[0] == '-';
    const char* magnitude = digits + (negative ? 1 : 0);
    const int len = static_cast<int>(std::strlen(digits));
    const int zeros = mDigits > len ? mDigits - len : 0;
    int n = 0;
    if (negative) text[n++] = '-';
    for (int i = 0; i < zeros; ++i)
        text[n++] = '0';
    std::strcpy(text + n, magnitude);
    mpSlave->DataSet(text);
    GuiRedraw(mpSlave);
}

int GuiSpinButton::Message(const GuiMessage& msg) {
    if (msg.type >= 128 && msg.type < GM_APP && ((msg.type - 128) & 15) == GSIG_CLICKED) {
        const int id = (msg.type - 128) >> 4;
        int signal = -1;
        if (id == SPIN_ID_UP || id == SPIN_ID_RIGHT) signal = GSIG_SCROLL;
        if (id == SPIN_ID_DOWN || id == SPIN_ID_LEFT) signal = GSIG_SLIDE;
        if (signal >= 0) {
            UpdateSlave(signal);
            if (mId && (mSignals & (1u << signal)) && mpParent && mpParent->Visible())
                SendSignal(static_cast<uint8_t>(signal));
            return 0;
        }
    }
    return GuiThing::Message(msg);
}
