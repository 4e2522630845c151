#include "gui/scroll/scroll.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/scroll/scroll_private.h"
#include "gui/core/screen.h"
#include "services/syslog/syslog.h"

namespace {

constexpr uint16_t ARROW_STYLE = BS_ENABLED | 0x0010 | BS_CLICK_ON_PRESS | BS_AUTO_REPEAT;
constexpr uint16_t ID_FIRST = 1000, ID_SECOND = 1001;
constexpr uint16_t SIG_FIRST = 128 + 16 * ID_FIRST + GSIG_CLICKED;
constexpr uint16_t SIG_SECOND = 128 + 16 * ID_SECOND + GSIG_CLICKED;

int32_t clamp32(int64_t v) {
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

} // namespace

// ---- arithmetic ---------------------------------------------------------------------------

GuiThumbSpan GuiScrollThumbSpan(const GuiScrollInfo& info, int clientLen, bool vertical) {
    if (clientLen <= 0) return {0, 0};
    const int64_t C = clientLen, min = info.minimum, max = info.maximum, visible = info.visible;
    const int64_t range = max - min + 1;
    if (max - min < visible) return {0, clientLen};
    int64_t len = (vertical ? visible : visible - 1) * C / range;
    if (len < GUI_SCROLL_MIN_THUMB) len = GUI_SCROLL_MIN_THUMB;
    if (len > C) len = C; // a bar shorter than the shortest thumb
    int64_t off = (static_cast<int64_t>(info.current) - min) * (C - len) / (range - visible);
    // A current outside its limits (set without CheckScrollLimits) keeps the thumb in the trough.
    if (off < 0) off = 0;
    if (off > C - len) off = C - len;
    return {static_cast<int>(off), static_cast<int>(len)};
}

int64_t GuiScrollValueAt(const GuiScrollInfo& info, int offset, int clientLen, int thumbLen) {
    const int64_t span = static_cast<int64_t>(info.maximum) - info.minimum - info.visible + 1;
    int64_t value = static_cast<int64_t>(offset) * span;
    const int64_t free = static_cast<int64_t>(clientLen) - thumbLen;
    if (free > 0) value /= free;
    return value + info.minimum;
}

int64_t GuiScrollLimit(const GuiScrollInfo& info, int64_t current) {
    if (current < info.minimum) current = info.minimum;
    const int64_t last = static_cast<int64_t>(info.maximum) - info.visible + 1;
    if (current > last) current = last > info.minimum ? last : info.minimum;
    return current;
}

// ---- the thumb ----------------------------------------------------------------------------

GuiScrollButton::GuiScrollButton(int vertical) : GuiThing(0, FF_RAISED), mVertical(vertical) {
    mColors[0] = mColors[1] = GUI_FACE;
    mStatus &= static_cast<uint16_t>(~PSF_ACCEPTS_FOCUS);
}

void GuiScrollButton::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    mpScreen->EndDraw();
}

void GuiScrollButton::ReportPosition() {
    if (!mpParent) return;
    GuiMessage m(mVertical ? GM_VSCROLL : GM_HSCROLL, mpParent, this,
                 mVertical ? mReal.Height() : mReal.Width());
    m.payload.l = mVertical ? mReal.top : mReal.left;
    mpParent->Message(m);
}

int GuiScrollButton::Message(const GuiMessage& msg) {
    const GuiPoint p = msg.payload.point;
    const int coordinate = mVertical ? p.y : p.x;
    switch (msg.type) {
    case GM_LBUTTON_DOWN:
        if (Visible() && mpParent && mpParent->Visible()) {
            CapturePointer();
            mStartRect = mReal;
            mDragging = 1;
            mStartPos = mLastPos = coordinate;
        }
        return 0;
    case GM_POINTER_MOVE:
        if (!mDragging) break;
        if (coordinate != mLastPos) {
            mLastPos = coordinate;
            GuiThing* owner = mpParent ? mpParent->mpParent : nullptr;
            if (MoveDraw(coordinate) && owner && (owner->mStatus & PSF_CONTINUOUS_SCROLL)) ReportPosition();
        }
        return 0;
    case GM_LBUTTON_UP:
        if (!mDragging) break;
        mDragging = 0;
        ReleasePointer();
        ReportPosition();
        return 0;
    default:
        break;
    }
    return GuiThing::Message(msg);
}

int GuiScrollButton::MoveDraw(int coordinate) {
    GuiThing* bar = mpParent;
    if (!bar || !mpScreen) return 0;
    const GuiRect& c = bar->mClient;
    GuiRect r = mStartRect;
    const int d = coordinate - mStartPos;
    GuiRect uncovered;
    if (mVertical) {
        r.Shift(0, d);
        if (r.bottom > c.bottom) r.Shift(0, c.bottom - r.bottom);
        if (r.top < c.top) r.Shift(0, c.top - r.top);
        if (r == mReal) return 0;
        uncovered = r.top >= mReal.top ? GuiRect(c.left, c.top, c.right, r.top - 1)
                                       : GuiRect(c.left, r.bottom + 1, c.right, c.bottom);
    } else {
        r.Shift(d, 0);
        if (r.right > c.right) r.Shift(c.right - r.right, 0);
        if (r.left < c.left) r.Shift(c.left - r.left, 0);
        if (r == mReal) return 0;
        uncovered = r.left >= mReal.left ? GuiRect(c.left, c.top, r.left - 1, c.bottom)
                                         : GuiRect(r.right + 1, c.top, c.right, c.bottom);
    }
    Resize(r);
    mpScreen->BeginDraw(this);
    const GuiRect saved = mClip;
    mClip = bar->mClip & uncovered;
    mpScreen->BitmapFill(this, bar->mClient, &gbMixPatternBitmap);
    mClip = saved;
    Draw();
    mpScreen->EndDraw();
    return 1;
}

// ---- the bars -----------------------------------------------------------------------------

GuiScroll::GuiScroll() : GuiThing(0, FF_NONE) {
    mStatus = static_cast<uint16_t>((mStatus | PSF_SIZEABLE | PSF_NONCLIENT) & ~PSF_ACCEPTS_FOCUS);
    mReal = mClient = mClip = GuiRect(0, 0, GUI_SCROLL_SIZE - 1, GUI_SCROLL_SIZE - 1);
    mInfo = GuiScrollInfo{0, 1, 0, 1, 1};
}

GuiScroll::GuiScroll(const GuiRect& rect, const GuiScrollInfo* info, unsigned int id)
    : GuiThing(rect, static_cast<uint16_t>(id), FF_NONE) {
    mStatus = static_cast<uint16_t>((mStatus | PSF_SIZEABLE) & ~PSF_ACCEPTS_FOCUS);
    mInfo = info ? *info : GuiScrollInfo{0, 1, 0, 1, 1};
}

void GuiScroll::MakeChildren(bool vertical, bool placed) {
    const GuiRect r = mReal;
    GuiRect first(0, 0, GUI_SCROLL_SIZE - 1, GUI_SCROLL_SIZE - 1), second = first;
    if (placed) {
        // A stand-alone bar's arrows: squares from the bar's first corner and towards its far end,
        // edges GUI_SCROLL_SIZE apart (Resize later places the second one differently).
        const int n = GUI_SCROLL_SIZE;
        first = GuiRect(r.left, r.top, r.left + n, r.top + n);
        second = vertical ? GuiRect(r.left, r.bottom - n, r.left + n, r.bottom)
                          : GuiRect(r.right - n, r.top, r.right, r.top + n);
    }
    mpFirstButton =
        new GuiBitmapButton(first, vertical ? &gbUpArrowBitmap : &gbLeftArrowBitmap, ID_FIRST, ARROW_STYLE);
    mpSecondButton =
        new GuiBitmapButton(second, vertical ? &gbDownArrowBitmap : &gbMoreBitmap, ID_SECOND, ARROW_STYLE);
    for (GuiThing* b : {static_cast<GuiThing*>(mpFirstButton), static_cast<GuiThing*>(mpSecondButton)})
        b->mStatus = static_cast<uint16_t>((b->mStatus | PSF_NONCLIENT) & ~PSF_ACCEPTS_FOCUS);
    mpThumb = new GuiScrollButton(vertical ? 1 : 0);
    Add(mpFirstButton, 1);
    Add(mpSecondButton, 1);
    Add(mpThumb, 1);
    if (vertical) {
        mClient.top = static_cast<int16_t>(mClient.top + GUI_SCROLL_SIZE);
        mClient.bottom = static_cast<int16_t>(mClient.bottom - GUI_SCROLL_SIZE);
    } else {
        mClient.left = static_cast<int16_t>(mClient.left + GUI_SCROLL_SIZE);
        mClient.right = static_cast<int16_t>(mClient.right - GUI_SCROLL_SIZE);
    }
}

void GuiScroll::Reset() {
    mInfo = GuiScrollInfo{0, 0, 0, 1, 0};
    ReadParentScrollInfo();
    SetScrollButtonPos();
}

void GuiScroll::Reset(const GuiScrollInfo* info) {
    if (info) mInfo = *info;
    SetScrollButtonPos();
}

void GuiScroll::CheckScrollLimits() {
    mInfo.current = clamp32(GuiScrollLimit(mInfo, mInfo.current));
}

void GuiScroll::PlaceThumb(bool vertical) {
    if (!mpThumb) return;
    const GuiThumbSpan s = GuiScrollThumbSpan(mInfo, vertical ? mClient.Height() : mClient.Width(), vertical);
    GuiRect r = vertical ? GuiRect(mClient.left, mClient.top + s.offset, mClient.right,
                                   mClient.top + s.offset + s.length - 1)
                         : GuiRect(mClient.left + s.offset, mClient.top,
                                   mClient.left + s.offset + s.length - 1, mClient.bottom);
    mpThumb->Resize(r);
    if (Visible()) Invalidate(mClient);
}

void GuiScroll::DrawBar(bool vertical) {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    const GuiRect& r = mReal;
    mpScreen->BeginDraw(this);
    GuiRect trough = vertical ? GuiRect(r.left, r.top + GUI_SCROLL_SIZE, r.right, r.bottom - GUI_SCROLL_SIZE)
                              : GuiRect(r.left + GUI_SCROLL_SIZE, r.top, r.right - GUI_SCROLL_SIZE, r.bottom);
    mpScreen->BitmapFill(this, trough, &gbMixPatternBitmap);
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiScroll::ResizeBar(GuiRect rect, bool vertical) {
    GuiThing::Resize(rect);
    const GuiRect& r = mReal;
    if (mpSecondButton)
        mpSecondButton->Resize(vertical ? GuiRect(r.left, r.bottom - GUI_SCROLL_SIZE + 1, r.right, r.bottom)
                                        : GuiRect(r.right - GUI_SCROLL_SIZE + 1, r.top, r.right, r.bottom));
    SetScrollButtonPos();
}

void GuiScroll::ReadWindowInfo(bool vertical) {
    auto* w = dynamic_cast<GuiScrollSource*>(mpParent);
    if (!w) return;
    if (vertical)
        w->GetVScrollInfo(&mInfo);
    else
        w->GetHScrollInfo(&mInfo);
    if (mInfo.current == mInfo.minimum ||
        static_cast<int64_t>(mInfo.current) - 1 + mInfo.visible <= mInfo.maximum)
        return;
    // The window shows more than there is below its content: it moves the content back.
    const int32_t old = mInfo.current;
    int64_t last = static_cast<int64_t>(mInfo.maximum) - mInfo.visible + 1;
    mInfo.current = clamp32(last < mInfo.minimum ? mInfo.minimum : last);
    GuiMessage m(vertical ? GM_VSCROLL : GM_HSCROLL, mpParent, this, old);
    m.payload.l = mInfo.current;
    mpParent->Message(m);
}

void GuiScroll::ReportChange(int32_t old, bool vertical) {
    if (!mpParent) return;
    GuiMessage m(vertical ? GM_VSCROLL : GM_HSCROLL, mpParent, this, old);
    m.payload.l = mInfo.current;
    if (mStatus & PSF_NONCLIENT) {
        mpParent->Message(m);
        return;
    }
    if (!mId) return;
    if (mId > GUI_MAX_SIGNAL_ID) {
        SYSLOGX_GUARDED(LOG_ERR, "GuiScroll: id %u too large for a signal", mId);
        return;
    }
    m.type = static_cast<uint16_t>(128 + 16 * mId + GSIG_SCROLL);
    mpParent->Message(m);
}

int GuiScroll::HandleMessage(const GuiMessage& msg, bool vertical) {
    const uint16_t scrollType = vertical ? GM_VSCROLL : GM_HSCROLL;
    const int32_t old = mInfo.current;
    if (msg.type == scrollType) {
        // From the thumb: payload = its top (left), data = its length.
        const int start = vertical ? mClient.top : mClient.left;
        const int len = vertical ? mClient.Height() : mClient.Width();
        const int64_t value = GuiScrollValueAt(mInfo, msg.payload.l - start, len, msg.data);
        if (value == mInfo.current) return 0;
        mInfo.current = clamp32(GuiScrollLimit(mInfo, value));
        if (mInfo.current != old) ReportChange(old, vertical);
        return 0;
    }
    switch (msg.type) {
    case GM_LBUTTON_DOWN: {
        // A press in the trough pages by one visible amount towards the press.
        const GuiRect& t = mpThumb ? mpThumb->mReal : mClient;
        const int at = vertical ? msg.payload.point.y : msg.payload.point.x;
        int64_t next = mInfo.current;
        if (at < (vertical ? t.top : t.left))
            next -= mInfo.visible;
        else if (at > (vertical ? t.bottom : t.right))
            next += mInfo.visible;
        mInfo.current = clamp32(GuiScrollLimit(mInfo, next));
        ReportChange(old, vertical);
        SetScrollButtonPos();
        Draw();
        return 0;
    }
    case SIG_FIRST:
    case SIG_SECOND: {
        int64_t next =
            static_cast<int64_t>(mInfo.current) + (msg.type == SIG_FIRST ? -mInfo.step : mInfo.step);
        mInfo.current = clamp32(GuiScrollLimit(mInfo, next));
        if (mInfo.current == old) return 0;
        ReportChange(old, vertical);
        SetScrollButtonPos();
        Draw();
        return 0;
    }
    case GM_SHOW:
    case GM_PARENT_SIZED: {
        GuiThing::Message(msg);
        if (!(mStatus & PSF_NONCLIENT)) {
            SetScrollButtonPos();
            return 0;
        }
        ReadParentScrollInfo();
        if (!mpParent) return 0;
        const GuiRect& c = mpParent->mClient;
        GuiMessage r(GM_RESIZE, this);
        r.payload.rect = vertical ? GuiRect(c.right + 1, c.top, c.right + GUI_SCROLL_SIZE, c.bottom)
                                  : GuiRect(c.left, c.bottom + 1, c.right, c.bottom + GUI_SCROLL_SIZE);
        Message(r);
        return 0;
    }
    default:
        return GuiThing::Message(msg);
    }
}

// ---- vertical -----------------------------------------------------------------------------

GuiVScroll::GuiVScroll() : GuiScroll() {
    mType = TYPE_VSCROLL;
    MakeChildren(true, false);
}

GuiVScroll::GuiVScroll(const GuiRect& rect, const GuiScrollInfo* info, unsigned int id)
    : GuiScroll(rect, info, id) {
    mType = TYPE_VSCROLL;
    MakeChildren(true, true);
}

int GuiVScroll::Message(const GuiMessage& msg) {
    return HandleMessage(msg, true);
}
void GuiVScroll::Draw() {
    DrawBar(true);
}
void GuiVScroll::Resize(GuiRect rect) {
    ResizeBar(rect, true);
}
void GuiVScroll::SetScrollButtonPos() {
    PlaceThumb(true);
}
void GuiVScroll::ReadParentScrollInfo() {
    ReadWindowInfo(true);
}

// ---- horizontal ---------------------------------------------------------------------------

GuiHScroll::GuiHScroll() : GuiScroll() {
    mType = TYPE_HSCROLL;
    MakeChildren(false, false);
}

GuiHScroll::GuiHScroll(const GuiRect& rect, const GuiScrollInfo* info, unsigned int id)
    : GuiScroll(rect, info, id) {
    mType = TYPE_HSCROLL;
    MakeChildren(false, true);
}

int GuiHScroll::Message(const GuiMessage& msg) {
    return HandleMessage(msg, false);
}
void GuiHScroll::Draw() {
    DrawBar(false);
}
void GuiHScroll::Resize(GuiRect rect) {
    ResizeBar(rect, false);
}
void GuiHScroll::SetScrollButtonPos() {
    PlaceThumb(false);
}
void GuiHScroll::ReadParentScrollInfo() {
    ReadWindowInfo(false);
}
