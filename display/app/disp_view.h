// The display elements: the common base with the visibility state machine (CDataView), the
// value box (CDispBox), the bar graph (CBarView) and the picture (CPicture).
#pragma once

#include "display/app/disp_data.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/window/window.h"

#include <atomic>
#include <cstdint>

// 1 hides every resettable alarm.
extern std::atomic<uint8_t> disp_alarm_inhibit;

// Times in milliseconds as page ticks of 50 ms.
inline uint32_t disp_msToTicks(uint32_t ms) {
    return static_cast<uint32_t>((static_cast<uint64_t>(ms) + 49) / 50);
}

constexpr uint32_t DISP_RED = 0xFF0000;

class CDataView : public GuiWindow {
  public:
    CDataView(display_elem_s* e, unsigned int style);
    ~CDataView() override = default;

    int Message(const GuiMessage& msg) override;
    void Draw() override {}
    // 0 nothing changed, 1 only the text or bar (invalidated by the element), 2 colours or
    // visibility.
    virtual int updateDisp(int) { return 0; }
    virtual int update();
    virtual int forceUpdate();

    void AlarmReset(int automatic);
    void clearAlarmReset();
    int setElemResetFlag(int flag);
    void setData(CData* d, CDataType_t role);
    CData* getData(CDataType_t role) const;
    display_elem_s* getElemP() const { return mElem; }
    uint32_t getType() const { return mElem ? mElem->type : 3; }
    const char* getFormatStr() const;
    int getViewIsActive() const { return mActive; }
    int isResettable() const { return mResettable; }
    int isAlarm() const { return mHasVis && mAlwaysOnTop; }
    int getAlarmState() const { return alarmIn(mState); }
    int getAlarmState_old() const { return alarmIn(mPrevState); }
    int getAlarmStateHidden() const;
    int getAlarmWasRedrawn() const;
    int getError() const;
    uint32_t state() const { return mState; }

    static uint32_t dispElem_Color(const rgb_s& c);
    static uint32_t dispElem_GhostColor(const rgb_s& c);

  protected:
    int alarmIn(uint32_t state) const;
    // Step 7 of the value box: adds or removes the element on its parent page.
    int visibilityStep(GuiWindow* parent, int result, bool* cancelled = nullptr);
    // Draws a text into a new bitmap of its size (filled with bg); null when empty or out of memory.
    static GuiBitmap* textImage(const char* text, const GuiFont* font, uint32_t fg, uint32_t bg,
                                int alpha = 0);
    static void freeImage(GuiBitmap*& b);
    // The title in its four colourings (lower, middle, upper, ghost; lower and upper only when
    // given) at the top centre of the client area; its height, or `fallback` without a screen
    // or a title.
    template <class Deco>
    int titleImages(const char* title, const Deco& middle, const Deco* lower, const Deco* upper,
                    GuiBitmap* (&titles)[4], GuiPoint& pos, int fallback) const;
    void placeReal(const GuiRect& page);

    uint32_t mResetFlag = 0;
    CData* mValue = nullptr;
    CData* mVis = nullptr;
    display_elem_s* mElem;
    uint32_t mAlwaysOnTop = 0;
    uint32_t mHasVis = 0;
    uint32_t mActive = 0;
    uint32_t mShown = 0;
    uint32_t mForce = 0;
    uint32_t mAcknowledged = 0;
    uint32_t mResettable = 0;
    uint32_t mMinTicks = 0, mAutoTicks = 0, mRetrigTicks = 0;
    uint32_t mMinCount = 0, mAutoCount = 0, mRetrigCount = 0;
    uint32_t mBlinkCount = 0, mBlinkPeriod = 0, mBlinkPhase = 1;
    uint32_t mState = 0, mPrevState = 0;
};

// The limit zones of a value with their hysteresis: 0 below the lower limit, 1 between the
// limits, 2 above the upper one, 3 no valid value.
struct DispZones {
    DispZones(uint8_t hasLower, uint8_t hasUpper, float lower, float upper, float lowerHyst, float upperHyst)
        : mHasLower(hasLower), mHasUpper(hasUpper), mLowerLimit(lower), mUpperLimit(upper),
          mLowerHyst(lowerHyst), mUpperHyst(upperHyst) {}
    // Follows validity and value; true when the zone or the validity changed.
    bool stepZone(bool valid, double v);

    uint8_t mHasLower, mHasUpper;
    uint8_t mValid = 0;
    uint32_t mZone = 3;
    float mLowerLimit, mUpperLimit, mLowerHyst, mUpperHyst;
};

class CDispBox : public CDataView, private DispZones {
  public:
    CDispBox(const GuiRect& page, display_elem_s* e, GuiWindow* parent, unsigned int style);
    ~CDispBox() override;
    void Draw() override;
    int updateDisp(int) override;
    int forceUpdate() override;

    uint32_t zone() const { return mZone; }
    const char* text() const { return mText; }
    GuiPrompt* prompt() const { return mpPrompt; }

  private:
    void takeZoneColours();

    GuiWindow* mpParentPage;
    GuiPrompt* mpPrompt = nullptr;
    char mText[255] = "";
    char mPrevText[257] = "";
    uint32_t mForceText = 1;
    const char* mTitle;
    GuiPoint mTitlePos;
    GuiBitmap* mTitles[4] = {}; // lower, middle, upper, ghost
    GuiBitmap* mCurTitle = nullptr;
    GuiBitmap* mMarker = nullptr;
    uint32_t mTextFg = 0, mTextBg = 0, mBorderFg = 0, mBorderBg = 0;
    int mTitleH = 16;
    uint32_t mFrameStyle;
};

class CBarView : public CDataView, private DispZones {
  public:
    CBarView(const GuiRect& page, display_elem_s* e, GuiWindow* parent, unsigned int style);
    ~CBarView() override;
    void Draw() override;
    int updateDisp(int) override;
    int forceUpdate() override;

    uint32_t zone() const { return mZone; }
    int16_t barEnd() const { return mBarEnd; }
    const GuiRect& barRect() const { return mBar; }
    int16_t lowerPixel() const { return mLowerPx; }
    int16_t upperPixel() const { return mUpperPx; }
    float slope() const { return mSlope; }
    float offset() const { return mOffset; }

  private:
    int16_t pixelOf(double v) const;
    void fill(int from, int to, uint32_t colour);

    int16_t mBarEnd = 0, mPrevBarEnd = 0;
    uint32_t mForceBar = 1;
    GuiRect mBar;
    GuiPoint mLabelPos[BARGRAPH_MAX_TICKS];
    int16_t mTickPos[BARGRAPH_MAX_TICKS] = {};
    GuiBitmap* mLabels[3][BARGRAPH_MAX_TICKS] = {};
    int mCurLabels = 1;
    GuiWindow* mpParentPage;
    const char* mTitle;
    GuiPoint mTitlePos;
    GuiBitmap* mTitles[4] = {};
    GuiBitmap* mCurTitle = nullptr;
    uint32_t mBorderFg = 0, mBorderBg = 0, mBarBg = 0, mTicksCol = 0;
    uint32_t mSeg[3] = {}; // lower, middle, upper
    uint32_t mFrameStyle;
    float mSlope = 0, mOffset = 0;
    uint8_t mReversed = 0, mHorizontal = 0;
    int16_t mLowerPx = 0, mUpperPx = 0;
};

class CPicture : public CDataView {
  public:
    CPicture(const GuiRect& page, display_elem_s* e, GuiBitmap* picture, GuiWindow* parent,
             unsigned int style);
    ~CPicture() override;
    void Draw() override;
    int updateDisp(int) override;
    int forceUpdate() override;
    GuiBitmap* composed() const { return mComposed; }

  private:
    GuiWindow* mpParentPage;
    GuiBitmap* mComposed = nullptr;
    GuiBitmap* mMarker = nullptr;
};

// The frame of a decoration style inside rect (in the drawing's coordinates): width 2 at inset
// 5, and the style's second outline.
void disp_drawDecoFrame(GuiThing* t, const GuiRect& client, uint32_t style, uint32_t fg, uint32_t bg);
