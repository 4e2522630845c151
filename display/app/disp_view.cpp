#include "display/app/disp_view.h"

#include "display/fonts/tarvo_fonts.h"
#include "gui/core/screen.h"

#include <cmath>
#include <cstring>

std::atomic<uint8_t> disp_alarm_inhibit{0};

namespace {
constexpr GuiColor CROSS(DISP_RED, GUI_FACE);

int16_t clamp16(double v) {
    if (v < -32768.0) return -32768;
    if (v > 32767.0) return 32767;
    return static_cast<int16_t>(v);
}
int clampInto(int v, int lo, int hi) {
    return v < lo ? lo : v > hi ? hi : v;
}
} // namespace

// ---- element base --------------------------------------------------------------------------

CDataView::CDataView(display_elem_s* e, unsigned int style) : GuiWindow(GuiRect(), style), mElem(e) {
    mReal = mClient = mClip = GuiRect();
    auto alarmTimes = [this](uint32_t minMs, uint32_t autoMs, uint32_t retrigMs, uint32_t blink) {
        mMinTicks = disp_msToTicks(minMs);
        mAutoTicks = disp_msToTicks(autoMs);
        mRetrigTicks = disp_msToTicks(retrigMs);
        mBlinkPeriod = blink == BLINK_SLOW ? 8 : blink == BLINK_FAST ? 4 : 0;
    };
    if (!e) return;
    switch (e->type) {
    case ELEM_ALPHANUMERIC: {
        const alphanum_s& a = e->alphanum;
        mAlwaysOnTop = a.always_on_top;
        mResettable = a.vis_mode == VIS_LIMIT_RESETABLE;
        alarmTimes(a.min_disp_time, a.auto_reset_time, a.retrigger_time, a.blink);
        break;
    }
    case ELEM_PICTURE: {
        const picture_elem_s& p = e->picture;
        mAlwaysOnTop = p.always_on_top;
        mResettable = p.vis_mode == VIS_LIMIT_RESETABLE;
        alarmTimes(p.min_disp_time, p.auto_reset_time, p.retrigger_time, p.blink);
        break;
    }
    case ELEM_BARGRAPH:
        mAlwaysOnTop = e->bargraph.always_on_top;
        mResettable = e->bargraph.vis_mode == VIS_LIMIT_RESETABLE;
        break;
    default:
        break;
    }
}

int CDataView::Message(const GuiMessage& msg) {
    if (msg.type == GM_HIDE || msg.type == GM_SHOW) {
        GuiWindow::Message(msg);
        return 0;
    }
    return GuiWindow::Message(msg);
}

int CDataView::update() {
    if (mValue) mValue->updateData();
    if (mVis && mVis->getMeasUpdateState()) {
        mVis->updateData();
        if (!std::isnan(mVis->value)) {
            const int32_t v = disp_roundInt(mVis->value);
            mPrevState = mState;
            switch (mState) {
            case 0:
                if (v != 0) {
                    if (mAutoTicks) mAutoCount = mAutoTicks;
                    if (mMinTicks == 0) {
                        mState = 3;
                    } else {
                        mMinCount = mMinTicks;
                        mState = 2;
                    }
                    mBlinkCount = mBlinkPeriod;
                    mBlinkPhase = 1;
                    disp_alarm_inhibit = 0;
                }
                break;
            case 2:
                if (mMinCount <= 1) {
                    mMinCount = 0;
                    mState = 3;
                } else {
                    --mMinCount;
                }
                break;
            case 3:
                if (v == 0) {
                    mState = 0;
                } else if (mAutoTicks) {
                    if (mAutoCount == 1) {
                        mAutoCount = 0;
                        AlarmReset(1);
                    }
                    if (mAutoCount > 1) --mAutoCount;
                }
                break;
            case 4:
                if (mRetrigCount <= 1) {
                    mResetFlag = 0;
                    mAcknowledged = 0;
                    mRetrigCount = 0;
                    mState = 0;
                } else {
                    --mRetrigCount;
                }
                break;
            default:
                break;
            }
            mActive = (mState == 2 || mState == 3) && !mAcknowledged && mBlinkPhase == 1 &&
                      (disp_alarm_inhibit == 0 || !mResettable);
            if (mBlinkCount > 1) {
                --mBlinkCount;
            } else if (mBlinkCount == 1) {
                mBlinkCount = mBlinkPeriod;
                mBlinkPhase ^= 1;
            }
        }
    }
    const int r = updateDisp(0);
    if (r) Draw();
    return r;
}

int CDataView::forceUpdate() {
    mShown = 0;
    mForce = 1;
    mPrevState = 0;
    return 0;
}

void CDataView::AlarmReset(int automatic) {
    if (!mResettable || mState != 3) return;
    mAcknowledged = 1;
    mActive = 0;
    if (mRetrigTicks) {
        mRetrigCount = mRetrigTicks;
        mState = 4;
    } else {
        mState = automatic ? 0 : 1;
    }
}

void CDataView::clearAlarmReset() {
    mResetFlag = 0;
    mAcknowledged = 0;
    mState = 0;
}

int CDataView::setElemResetFlag(int flag) {
    const uint32_t f = static_cast<uint32_t>(flag);
    const int changed = f != mResetFlag;
    mResetFlag = f;
    return changed;
}

void CDataView::setData(CData* d, CDataType_t role) {
    if (role == CDATA_VALUE) {
        mValue = d;
    } else if (role == CDATA_VIS) {
        mVis = d;
        mHasVis = 1;
    }
}

CData* CDataView::getData(CDataType_t role) const {
    return role == CDATA_VALUE ? mValue : role == CDATA_VIS ? mVis : nullptr;
}

const char* CDataView::getFormatStr() const {
    return mElem ? mElem->alphanum.format_str : nullptr;
}

int CDataView::alarmIn(uint32_t state) const {
    return (state == 2 || state == 3) && mAlwaysOnTop && (disp_alarm_inhibit == 0 || !mResettable);
}

int CDataView::getAlarmStateHidden() const {
    return (mState == 2 || mState == 3) && mAlwaysOnTop && disp_alarm_inhibit == 1 && mResettable;
}

int CDataView::getAlarmWasRedrawn() const {
    return mBlinkCount + 1 == mBlinkPeriod && mPrevState != 0 && mActive;
}

int CDataView::getError() const {
    return mVis && !mVis->isValid();
}

uint32_t CDataView::dispElem_Color(const rgb_s& c) {
    return static_cast<uint32_t>(c.red) << 16 | static_cast<uint32_t>(c.green) << 8 | c.blue;
}

uint32_t CDataView::dispElem_GhostColor(const rgb_s& c) {
    return static_cast<uint32_t>(c.red >> 1) << 16 | static_cast<uint32_t>(c.green >> 1) << 8 | (c.blue >> 1);
}

int CDataView::visibilityStep(GuiWindow* parent, int result, bool* cancelled) {
    if (!mVis || !parent) return result;
    if (mActive && !mShown) {
        parent->Add(this, 1);
        result = 2;
        mForce = 0;
        if (cancelled) *cancelled = true;
    }
    if (mForce || (!mActive && mShown)) {
        parent->Remove(this, 1);
        result = 2;
        if (cancelled) *cancelled = true;
    }
    mForce = 0;
    mShown = mActive;
    return result;
}

template <class Deco>
int CDataView::titleImages(const char* title, const Deco& middle, const Deco* lower, const Deco* upper,
                           GuiBitmap* (&titles)[4], GuiPoint& pos, int fallback) const {
    GuiScreen* s = mpScreen;
    if (!s || !title[0]) return fallback;
    const int w = s->TextWidth(title, &TarvoTiny);
    const int h = s->TextHeight(title, &TarvoTiny);
    pos = GuiPoint(mClient.left + (mClient.right - mClient.left) / 2 - w / 2, mClient.top);
    titles[3] = textImage(title, &TarvoTiny, dispElem_GhostColor(middle.title_fg_col),
                          dispElem_GhostColor(middle.title_bg_col));
    titles[1] = textImage(title, &TarvoTiny, dispElem_Color(middle.title_fg_col),
                          dispElem_Color(middle.title_bg_col));
    if (lower)
        titles[0] = textImage(title, &TarvoTiny, dispElem_Color(lower->title_fg_col),
                              dispElem_Color(lower->title_bg_col));
    if (upper)
        titles[2] = textImage(title, &TarvoTiny, dispElem_Color(upper->title_fg_col),
                              dispElem_Color(upper->title_bg_col));
    return h;
}

GuiBitmap* CDataView::textImage(const char* text, const GuiFont* font, uint32_t fg, uint32_t bg, int alpha) {
    GuiScreen* s = mpScreen;
    if (!s || !text || !*text) return nullptr;
    const int w = s->TextWidth(text, font), h = s->TextHeight(text, font);
    GuiBitmap* b = s->CreateBitmap(w > 0 ? w : 1, h > 0 ? h : 1, alpha);
    if (!b) return nullptr;
    GuiColor c(fg, bg, GUI_COLOR_FILL);
    s->BeginDraw(nullptr, b);
    s->DrawText(nullptr, GuiPoint(0, 0), text, c, font);
    s->EndDraw(b);
    return b;
}

void CDataView::freeImage(GuiBitmap*& b) {
    if (b && mpScreen) mpScreen->DestroyBitmap(b);
    b = nullptr;
}

void CDataView::placeReal(const GuiRect& page) {
    const elem_head_s& h = mElem->head;
    const int l = clampInto(page.left + static_cast<int>(h.pos_x), -32768, 32767);
    const int t = clampInto(page.top + static_cast<int>(h.pos_y), -32768, 32767);
    mReal = GuiRect(l, t, clampInto(l + static_cast<int>(h.size_x) - 1, -32768, 32767),
                    clampInto(t + static_cast<int>(h.size_y) - 1, -32768, 32767));
    mClip = mReal;
    InitClient();
}

void disp_drawDecoFrame(GuiThing* t, const GuiRect& c, uint32_t style, uint32_t fg, uint32_t bg) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || style == DECO_NONE) return;
    const GuiColor col(fg, bg);
    s->Rectangle(t, GuiRect(c.left + 5, c.top + 5, c.right - 5, c.bottom - 5), col, 2);
    switch (style) {
    case DECO_DOUBLE_LINE:
        s->Rectangle(t, GuiRect(c.left + 9, c.top + 9, c.right - 9, c.bottom - 9), col, 2);
        break;
    case DECO_SINGLE_TOP:
        s->Rectangle(t, GuiRect(c.left + 9, c.top + 5, c.right - 9, c.bottom - 5), col, 2);
        break;
    case DECO_SINGLE_SIDE:
        s->Rectangle(t, GuiRect(c.left + 5, c.top + 9, c.right - 5, c.bottom - 9), col, 2);
        break;
    default:
        break;
    }
}

bool DispZones::stepZone(bool valid, double v) {
    bool changed = false;
    if (!mValid && valid) {
        mValid = 1;
        mZone = 1;
        changed = true;
    } else if (mValid && !valid) {
        mValid = 0;
        mZone = 3;
        changed = true;
    }
    const uint32_t before = mZone;
    if (mZone == 0 && v >= mLowerLimit + mLowerHyst) mZone = 1;
    if (mHasUpper && mZone == 1 && v > mUpperLimit) mZone = 2;
    if (mZone == 2 && v <= mUpperLimit - mUpperHyst) mZone = 1;
    if (mHasLower && mZone == 1 && v < mLowerLimit) mZone = 0;
    return changed || mZone != before;
}

// ---- value box -----------------------------------------------------------------------------

CDispBox::CDispBox(const GuiRect& page, display_elem_s* e, GuiWindow* parent, unsigned int style)
    : CDataView(e, style),
      DispZones(e->alphanum.has_deco_lower, e->alphanum.has_deco_upper, e->alphanum.lower_limit,
                e->alphanum.upper_limit, e->alphanum.lower_hyst, e->alphanum.upper_hyst),
      mpParentPage(parent), mTitle(e->alphanum.title), mFrameStyle(e->alphanum.deco_middle.style) {
    const alphanum_s& a = e->alphanum;
    placeReal(page);
    const alphanum_deco_s& m = a.deco_middle;
    mTextFg = dispElem_GhostColor(m.text_fg_col);
    mTextBg = dispElem_GhostColor(m.text_bg_col);
    mBorderFg = dispElem_GhostColor(m.border_fg_col);
    mBorderBg = dispElem_GhostColor(m.border_bg_col);
    SetColor(0, mBorderBg);
    GuiScreen* s = mpScreen;
    const int cl = mClient.left, ct = mClient.top, cr = mClient.right, cb = mClient.bottom;
    mTitleH = titleImages(mTitle, m, mHasLower ? &a.deco_lower : nullptr, mHasUpper ? &a.deco_upper : nullptr,
                          mTitles, mTitlePos, mTitleH);
    mCurTitle = mTitles[1];
    const uint32_t tf = dispElem_Color(m.title_fg_col), tb = dispElem_Color(m.title_bg_col);
    mMarker =
        tf == tb ? textImage("R", &TarvoTiny, GUI_BLACK, GUI_WHITE) : textImage("R", &TarvoTiny, tb, tf);

    const auto size = static_cast<FontSizeType_t>(a.font_size);
    const GuiFont* font = Tarvo_getFont(size);
    const int dbl = TarvoFonts_isDouble(size);
    const int h = (s ? s->TextHeight("0", font) : 0) * (dbl ? 2 : 1);
    const int th = mTitleH;
    GuiRect pr(cl + 16, ct + th, cr - 16, cb - 16);
    uint16_t just = TJ_RIGHT;
    switch (a.align) {
    case ALIGN_TL:
    case ALIGN_TM:
    case ALIGN_TR:
        pr.bottom = static_cast<int16_t>(ct + th + h < cb - 16 ? ct + th + h : cb - 16);
        break;
    case ALIGN_BL:
    case ALIGN_BM:
    case ALIGN_BR:
        pr.top = static_cast<int16_t>(ct + th + h < cb - 16 ? cb - 16 - h : ct + th);
        break;
    default:
        break;
    }
    if (a.align <= ALIGN_BR) just = a.align % 3 == 0 ? TJ_LEFT : a.align % 3 == 1 ? TJ_CENTER : TJ_RIGHT;
    mpPrompt = new GuiPrompt(pr, "", 0, static_cast<uint16_t>(just | 0x4001), dbl);
    mpPrompt->SetFont(font);
    mpPrompt->SetColor(2, mTextFg);
    mpPrompt->SetColor(0, mTextBg);
    Add(mpPrompt, 1);
}

CDispBox::~CDispBox() {
    for (GuiBitmap*& b : mTitles)
        freeImage(b);
    freeImage(mMarker);
}

int CDispBox::forceUpdate() {
    CDataView::forceUpdate();
    mForceText = 1;
    mResetFlag = 0;
    return 1;
}

void CDispBox::takeZoneColours() {
    const alphanum_s& a = mElem->alphanum;
    const alphanum_deco_s* d = mZone == 0 ? &a.deco_lower : mZone == 2 ? &a.deco_upper : &a.deco_middle;
    if (mZone == 3) {
        mBorderFg = dispElem_GhostColor(d->border_fg_col);
        mBorderBg = dispElem_GhostColor(d->border_bg_col);
        mTextFg = dispElem_GhostColor(d->text_fg_col);
        mTextBg = dispElem_GhostColor(d->text_bg_col);
    } else {
        mBorderFg = dispElem_Color(d->border_fg_col);
        mBorderBg = dispElem_Color(d->border_bg_col);
        mTextFg = dispElem_Color(d->text_fg_col);
        mTextBg = dispElem_Color(d->text_bg_col);
        mCurTitle = mTitles[mZone];
    }
    mFrameStyle = d->style;
}

int CDispBox::updateDisp(int) {
    bool changed = false;
    int result = 0;
    if (!mValue) {
        mForceText = 0;
        mZone = 1;
        if (!mValid) {
            mpPrompt->DataSet(mElem->alphanum.format_str);
            mValid = 1;
            changed = true;
        }
    } else {
        double v = 0;
        mValue->getQuantData(v);
        if (stepZone(mValue->isValid(), v)) changed = true;
        mValue->getDataStr(mElem->alphanum.format_str, mText, sizeof mText);
        if (mForceText || std::strncmp(mText, mPrevText, 255) != 0) {
            mpPrompt->DataSet(mText);
            result = 1;
        }
        mForceText = 0;
        std::memcpy(mPrevText, mText, sizeof mText);
    }
    if (changed) {
        takeZoneColours();
        SetColor(0, mBorderBg);
        mpPrompt->SetColor(2, mTextFg);
        mpPrompt->SetColor(0, mTextBg);
        Invalidate(mClient);
        result = 2;
    }
    return visibilityStep(mpParentPage, result);
}

void CDispBox::Draw() {
    GuiScreen* s = mpScreen;
    if (!s || !Visible()) return;
    s->BeginDraw(this);
    DrawFrame(1);
    disp_drawDecoFrame(this, mClient, mFrameStyle, mBorderFg, mBorderBg);
    const int cl = mClient.left, ct = mClient.top, cr = mClient.right, cb = mClient.bottom;
    s->Rectangle(this, GuiRect(cl + 16, ct + 16, cr - 16, cb - 16),
                 GuiColor(mTextFg, mTextBg, GUI_COLOR_FILL), 0);
    if (mZone != 3) {
        if (mCurTitle) s->Bitmap(this, mTitlePos, mCurTitle);
        // Drawn whether or not an invalidation is pending: the text area was just filled over
        // it, and a box that its page has just added and drawn holds none any more.
        mpPrompt->Draw();
    } else {
        s->Line(this, cl + 16, ct + 17, cr - 16, cb - 17, CROSS, 2);
        s->Line(this, cl + 16, cb - 17, cr - 16, ct + 17, CROSS, 2);
        if (mTitles[3]) s->Bitmap(this, mTitlePos, mTitles[3]);
    }
    if (mResettable && mMarker && mResetFlag) s->Bitmap(this, GuiPoint(cl, ct), mMarker);
    s->EndDraw();
}

// ---- bar graph -----------------------------------------------------------------------------

CBarView::CBarView(const GuiRect& page, display_elem_s* e, GuiWindow* parent, unsigned int style)
    : CDataView(e, style),
      DispZones(e->bargraph.has_deco_lower, e->bargraph.has_deco_upper, e->bargraph.lower_limit,
                e->bargraph.upper_limit, e->bargraph.lower_hyst, e->bargraph.upper_hyst),
      mpParentPage(parent), mTitle(e->bargraph.title), mFrameStyle(e->bargraph.deco_middle.style) {
    const bargraph_s& g = e->bargraph;
    placeReal(page);
    const bargraph_deco_s& m = g.deco_middle;
    mSeg[1] = dispElem_Color(m.bar_fg_col);
    if (g.style == BAR_SOLID) {
        mSeg[0] = mSeg[2] = mSeg[1];
    } else {
        mSeg[0] = mHasLower ? dispElem_Color(g.deco_lower.bar_fg_col) : mSeg[1];
        mSeg[2] = mHasUpper ? dispElem_Color(g.deco_upper.bar_fg_col) : mSeg[1];
    }
    mBarBg = dispElem_GhostColor(m.bar_bg_col);
    mBorderFg = dispElem_GhostColor(m.border_fg_col);
    mBorderBg = dispElem_GhostColor(m.border_bg_col);
    mTicksCol = dispElem_GhostColor(m.ticks_col);
    mHorizontal = g.orientation == BAR_HORI_LR || g.orientation == BAR_HORI_RL;
    mReversed = g.orientation == BAR_HORI_RL || g.orientation == BAR_VERT_BT;
    SetColor(0, mBorderBg);

    GuiScreen* s = mpScreen;
    const int cl = mClient.left, ct = mClient.top, cr = mClient.right, cb = mClient.bottom;
    const int th = titleImages(mTitle, m, mHasLower ? &g.deco_lower : nullptr,
                               mHasUpper ? &g.deco_upper : nullptr, mTitles, mTitlePos, 16);
    mCurTitle = mTitles[1];
    const int zeroW = s ? s->TextWidth("0", &TarvoTiny) : 0, zeroH = s ? s->TextHeight("0", &TarvoTiny) : 0;
    const int L = cl + 16, R = g.ticks && !mHorizontal ? cr - (zeroW + 17) : cr - 16;
    const int T = ct + th + (g.ticks && mHorizontal ? zeroH : 0), B = cb - 16;
    mBar = GuiRect(L, T, R, B);

    if (g.min < g.max) {
        const float span = mHorizontal ? static_cast<float>(R - L) : static_cast<float>(B - T);
        switch (g.orientation) {
        case BAR_HORI_LR:
            mSlope = span / (g.max - g.min);
            mOffset = static_cast<float>(L) - mSlope * g.min;
            break;
        case BAR_HORI_RL:
            mSlope = span / (g.min - g.max);
            mOffset = static_cast<float>(R) - mSlope * g.min;
            break;
        case BAR_VERT_BT:
            mSlope = span / (g.min - g.max);
            mOffset = static_cast<float>(B) - mSlope * g.min;
            break;
        default:
            mSlope = span / (g.max - g.min);
            mOffset = static_cast<float>(T) - mSlope * g.min;
            break;
        }
    }
    const int lo = mHorizontal ? L : T, hi = mHorizontal ? R : B;
    auto limitPx = [&](float limit) {
        float p = mOffset + mSlope * limit;
        p = std::isnan(p) ? static_cast<float>(lo) : p < -32768.0f ? -32768.0f : p > 32767.0f ? 32767.0f : p;
        return static_cast<int16_t>(clampInto(static_cast<int>(std::round(p)), lo, hi));
    };
    mLowerPx = limitPx(mLowerLimit);
    mUpperPx = limitPx(mUpperLimit);
    mBarEnd = mPrevBarEnd = pixelOf(NAN);

    if (g.ticks && s) {
        const uint16_t n = g.tick_count < BARGRAPH_MAX_TICKS ? g.tick_count : BARGRAPH_MAX_TICKS;
        for (int i = 0; i < n; ++i) {
            const tick_s& t = g.tick_list[i];
            char name[sizeof t.name + 1] = {};
            std::memcpy(name, t.name, sizeof t.name);
            double p = static_cast<double>(mOffset) + static_cast<double>(mSlope) * t.value;
            if (std::isnan(p)) p = lo;
            const int q = static_cast<int>(std::round(p < lo ? lo : p > hi ? hi : p));
            int w, h;
            if (mHorizontal) {
                w = s->TextWidth(name, &TarvoTiny);
                h = s->TextHeight(name, &TarvoTiny);
                mLabelPos[i] = GuiPoint(q - w / 2, mReal.top + th);
            } else {
                w = zeroW;
                h = s->TextHeight(name, &TarvoTiny);
                mLabelPos[i] = GuiPoint(mReal.right - w - 16, q - h / 2);
            }
            mTickPos[i] = static_cast<int16_t>(q);
            auto label = [&](const bargraph_deco_s& d) -> GuiBitmap* {
                GuiBitmap* b = s->CreateBitmap(w > 0 ? w : 1, h > 0 ? h : 1, 0);
                if (!b) return nullptr;
                GuiColor c(dispElem_Color(d.ticks_col), dispElem_Color(d.border_bg_col), GUI_COLOR_FILL);
                s->BeginDraw(nullptr, b);
                s->Rectangle(nullptr, GuiRect(0, 0, b->width - 1, b->height - 1), c, 0);
                s->DrawText(nullptr, GuiPoint(0, 0), name, c, &TarvoTiny);
                s->EndDraw(b);
                return b;
            };
            mLabels[1][i] = label(m);
            if (mHasLower) mLabels[0][i] = label(g.deco_lower);
            if (mHasUpper) mLabels[2][i] = label(g.deco_upper);
        }
    }
}

CBarView::~CBarView() {
    for (GuiBitmap*& b : mTitles)
        freeImage(b);
    for (auto& row : mLabels)
        for (GuiBitmap*& b : row)
            freeImage(b);
}

int CBarView::forceUpdate() {
    CDataView::forceUpdate();
    mForceBar = 1;
    return 1;
}

int16_t CBarView::pixelOf(double v) const {
    const int lo = mHorizontal ? mBar.left : mBar.top, hi = mHorizontal ? mBar.right : mBar.bottom;
    const int start = mReversed ? hi : lo;
    if (std::isnan(v) || (mSlope == 0 && mOffset == 0)) return static_cast<int16_t>(start);
    const double p = static_cast<double>(mOffset) + static_cast<double>(mSlope) * v;
    if (std::isnan(p)) return static_cast<int16_t>(start);
    return static_cast<int16_t>(clampInto(clamp16(std::round(p)), lo, hi));
}

int CBarView::updateDisp(int) {
    bool changed = false, cancelled = false;
    int result = 0;
    if (mValue) {
        const bargraph_s& g = mElem->bargraph;
        double v = 0;
        mValue->getQuantData(v);
        if (stepZone(mValue->isValid(), v)) changed = true;
        if (changed) {
            const bargraph_deco_s* d = mZone == 0   ? &g.deco_lower
                                       : mZone == 2 ? &g.deco_upper
                                                    : &g.deco_middle;
            auto col = mZone == 3 ? dispElem_GhostColor : dispElem_Color;
            mBarBg = col(d->bar_bg_col);
            mBorderFg = col(d->border_fg_col);
            mBorderBg = col(d->border_bg_col);
            mTicksCol = col(d->ticks_col);
            mFrameStyle = d->style;
            if (mZone != 3) {
                mCurLabels = static_cast<int>(mZone);
                mCurTitle = mTitles[mZone];
                if (g.style == BAR_SOLID) mSeg[0] = mSeg[1] = mSeg[2] = dispElem_Color(d->bar_fg_col);
            }
            SetColor(0, mBorderBg);
        }
        mBarEnd = pixelOf(mValid ? v : NAN);
        if ((mForceBar || mBarEnd != mPrevBarEnd) && !changed) {
            Invalidate(mBar);
            result = 1;
        }
        mForceBar = 0;
        mPrevBarEnd = mBarEnd;
    }
    result = visibilityStep(mpParentPage, result, &cancelled);
    if (changed && !cancelled) {
        Invalidate(mClient);
        result = 2;
    }
    return result;
}

void CBarView::fill(int from, int to, uint32_t colour) {
    if (from > to) return;
    const GuiRect r =
        mHorizontal ? GuiRect(from, mBar.top, to, mBar.bottom) : GuiRect(mBar.left, from, mBar.right, to);
    mpScreen->Rectangle(this, r, GuiColor(colour, colour, GUI_COLOR_FILL), 0);
}

void CBarView::Draw() {
    GuiScreen* s = mpScreen;
    if (!s || !Visible()) return;
    s->BeginDraw(this);
    DrawFrame(1);
    disp_drawDecoFrame(this, mClient, mFrameStyle, mBorderFg, mBorderBg);
    const int cl = mClient.left, ct = mClient.top, cr = mClient.right, cb = mClient.bottom;
    if (mZone == 3) {
        s->Line(this, cl + 16, ct + 17, cr - 16, cb - 17, CROSS, 2);
        s->Line(this, cl + 16, cb - 17, cr - 16, ct + 17, CROSS, 2);
        if (mTitles[3]) s->Bitmap(this, mTitlePos, mTitles[3]);
        s->EndDraw();
        return;
    }
    const int P = mBarEnd, Pl = mLowerPx, Pu = mUpperPx;
    const int lo = mHorizontal ? mBar.left : mBar.top, hi = mHorizontal ? mBar.right : mBar.bottom;
    if (!mReversed) {
        if (P <= Pl) {
            if (P > lo) fill(lo, P, mSeg[0]);
        } else if (P <= Pu) {
            fill(lo, Pl, mSeg[0]);
            fill(Pl + 1, P, mSeg[1]);
        } else {
            fill(lo, Pl, mSeg[0]);
            fill(Pl + 1, Pu, mSeg[1]);
            fill(Pu + 1, P, mSeg[2]);
        }
        if (P < hi)
            fill(P + 1, hi, mBarBg);
        else if (P == lo)
            fill(lo, hi, mBarBg);
    } else {
        if (P >= Pl) {
            if (P < hi) fill(P, hi, mSeg[0]);
        } else if (P >= Pu) {
            fill(Pl, hi, mSeg[0]);
            fill(P, Pl - 1, mSeg[1]);
        } else {
            fill(Pl, hi, mSeg[0]);
            fill(Pu, Pl - 1, mSeg[1]);
            fill(P, Pu - 1, mSeg[2]);
        }
        if (P > lo)
            fill(lo, P - 1, mBarBg);
        else if (P == hi)
            fill(lo, hi, mBarBg);
    }
    if (mElem->bargraph.ticks) {
        const uint16_t n =
            mElem->bargraph.tick_count < BARGRAPH_MAX_TICKS ? mElem->bargraph.tick_count : BARGRAPH_MAX_TICKS;
        const GuiColor tc(mTicksCol, mTicksCol);
        for (int i = 0; i < n; ++i) {
            if (GuiBitmap* b = mLabels[mCurLabels][i]) s->Bitmap(this, mLabelPos[i], b);
            if (mHorizontal)
                s->Line(this, mTickPos[i], mBar.top, mTickPos[i], mBar.bottom, tc, 2);
            else
                s->Line(this, mBar.left, mTickPos[i], mBar.right, mTickPos[i], tc, 2);
        }
    }
    if (mCurTitle) s->Bitmap(this, mTitlePos, mCurTitle);
    s->EndDraw();
}

// ---- picture -------------------------------------------------------------------------------

CPicture::CPicture(const GuiRect& page, display_elem_s* e, GuiBitmap* picture, GuiWindow* parent,
                   unsigned int style)
    : CDataView(e, style), mpParentPage(parent) {
    const picture_elem_s& p = e->picture;
    placeReal(page);
    const picture_deco_s& d = p.deco_middle;
    auto col = picture ? dispElem_Color : dispElem_GhostColor;
    const uint32_t borderFg = col(d.border_fg_col), borderBg = col(d.border_bg_col);
    const uint32_t titleFg = col(d.title_fg_col), titleBg = col(d.title_bg_col);
    const uint32_t alpha = picture ? (picture->flags & BMF_HAS_ALPHA) : 0;
    const int px = d.style != DECO_NONE ? 16 : 0, py = px;
    if (alpha) {
        Style(0x4000);
        RemoveStatus(PSF_VIEWPORT);
    }
    GuiScreen* s = mpScreen;
    if (!s) return;
    GuiBitmap* title = nullptr;
    int titleX = 0;
    if (p.title[0]) {
        const int w = s->TextWidth(p.title, &TarvoTiny);
        titleX = (mClient.right - mClient.left) / 2 - w / 2;
        title = textImage(p.title, &TarvoTiny, titleFg, alpha ? GUI_TRANSPARENT_WORD : titleBg,
                          static_cast<int>(alpha));
    }
    const int sx = static_cast<int>(p.size_x), sy = static_cast<int>(p.size_y);
    mComposed = s->CreateBitmap(sx, sy, static_cast<int>(alpha));
    if (mComposed) {
        s->BeginDraw(this, mComposed);
        if (!alpha || !picture)
            s->Rectangle(this, GuiRect(0, 0, sx - 1, sy - 1), GuiColor(borderBg, borderBg, GUI_COLOR_FILL),
                         0);
        disp_drawDecoFrame(this, GuiRect(0, 0, sx - 1, sy - 1), d.style, borderFg, borderBg);
        if (!picture) {
            s->Line(this, px, py + 1, sx - px - 1, sy - py - 2, CROSS, 2);
            s->Line(this, px, sy - py - 2, sx - px - 1, py + 1, CROSS, 2);
        } else {
            s->Bitmap(this, GuiPoint(px, py), picture);
        }
        if (title) s->Bitmap(this, GuiPoint(titleX, 0), title);
        s->EndDraw(mComposed);
    }
    freeImage(title);
    mMarker = textImage("R", &TarvoTiny, GUI_BLACK, GUI_WHITE);
}

CPicture::~CPicture() {
    freeImage(mComposed);
    freeImage(mMarker);
}

int CPicture::forceUpdate() {
    CDataView::forceUpdate();
    mResetFlag = 0;
    return 0;
}

int CPicture::updateDisp(int) {
    return visibilityStep(mpParentPage, 0);
}

void CPicture::Draw() {
    GuiScreen* s = mpScreen;
    if (!s || !Visible()) return;
    s->BeginDraw(this);
    const GuiPoint corner(mReal.left, mReal.top);
    if (mComposed) s->Bitmap(this, corner, mComposed);
    if (mResettable && mMarker && mResetFlag) s->Bitmap(this, corner, mMarker);
    s->EndDraw();
}
