// Display pages: one window per page slot that holds its elements and those of the all-pages
// list and refreshes them on its GUI timer; and the image container of their pictures.
#pragma once

#include "display/app/disp_view.h"
#include "gui/png/gui_png_convert.h"

#include <atomic>
#include <cstdint>

// A reset alarm is on show.
extern std::atomic<uint8_t> disp_reset_alarm_active;

// The external alarm window's record (written by display_alarm, read by the GUI task).
struct ext_alarm_s {
    std::atomic<uint8_t> shown{0};
    std::atomic<uint8_t> acknowledged{0};
    std::atomic<uint8_t> active{0};
    std::atomic<uint8_t> changed{0};
    uint8_t tag = 0;
    uint16_t x = 0, y = 0, width = 0, height = 0;
    uint32_t textColour = 0, backgroundColour = 0;
    char text[256] = "";
};
extern ext_alarm_s ext_alarm;
// Guards the record's geometry, colours and text between the writer and the GUI task.
void disp_extAlarmLock();
void disp_extAlarmUnlock();
// A consistent copy of the record.
void disp_extAlarmCopy(ext_alarm_s* out);

struct picture_file_s;

class CImageContainer {
  public:
    explicit CImageContainer(display_s* display);
    ~CImageContainer();
    CImageContainer(const CImageContainer&) = delete;
    CImageContainer& operator=(const CImageContainer&) = delete;

    GuiBitmap* getImage(const picture_s* picture) const;
    int converted() const { return mConverted; }

  private:
    picture_file_s* addfile(const char* name);
    void addbitmap(picture_file_s* file, uint32_t ofs, uint32_t len);
    picture_file_s* mFiles = nullptr;
    int mConverted = 0;
};

class CHashElem {
  public:
    explicit CHashElem(short size);
    ~CHashElem();
    CHashElem(const CHashElem&) = delete;
    CHashElem& operator=(const CHashElem&) = delete;
    short AddElem(CDataView* v);
    short AddElemAt(CDataView* v, short i);
    CDataView* GetElem(short i) const { return i >= 0 && i < mSize ? mElems[i] : nullptr; }
    short size() const { return mSize; }

  private:
    CDataView** mElems;
    short mSize;
    short mNext = 0;
};

struct ResetGroup {
    int count = 0;
    int rotation = 0;
    int ticks = 0;
    CDataView** members = nullptr;
    CDataView** shown = nullptr;
};

class CDispPage : public GuiWindow {
  public:
    CDispPage(int x, int y, int width, int height, int timerId, page_s* page, page_s* allPages,
              CDataManager* dm, CImageContainer* images);
    // A plain page of one colour.
    CDispPage(int left, int top, int right, int bottom, int reserved, int colour);
    ~CDispPage() override;

    int Message(const GuiMessage& msg) override;
    void setFlashMode(bool on);
    void setFrameRate(int ticks);
    void SwitchedPage();
    static int getTimeSlot(unsigned short ms);
    static bool checkOverlap(const GuiRect& a, const GuiRect& b);

    // The configuration inputs, created by the display start; read under disp_chanLock.
    static CData* reset_chan;
    static CData* page_chan;
    static CData* brightness_chan;
    static uint8_t switched_page;

    int elementCount() const { return mCount; }
    CDataView* element(int i) const { return mElems ? mElems->GetElem(static_cast<short>(i)) : nullptr; }
    int groupCount() const { return mGroupCount; }
    const ResetGroup& group(int i) const { return mGroups[i]; }
    CDataView* resetElement() const { return mResetElem; }
    int updateCursor() const { return mCursor; }
    int flashX() const { return mFlashX; }
    GuiWindow* flashWindow() const { return mpFlashWnd; }

  private:
    // One timer tick: the elements, the reset input, the reset groups, the acknowledgement, the
    // busy box, the flush and the timeout status, in this order.
    void tick();
    // Updates the alarm elements and then the others within the change budget; the number of
    // the others visited.
    int updateElements();
    void takeResetInput();
    // Finds a group's reset element, counts its errors and active resets, and turns the member
    // on top every 15 ticks.
    void updateGroup(int gi, bool ext, const GuiRect& extRect, uint8_t& err, uint8_t& resetActive);
    void rotateGroup(int gi, bool ext, const GuiRect& extRect);
    void redrawShown(ResetGroup& g, bool ext, const GuiRect& extRect);
    // The fourth tick after a reset edge acknowledges the reset element or the external alarm.
    void acknowledgeReset(bool ext);
    void moveFlashBox();
    void logTimeouts();
    void redraw(CDataView* e);
    void processOverlayElements(CDataView** list, int n);

    int mTimerId = 0;
    CHashElem* mElems = nullptr;
    int mCount = 0;
    int mFrameRate = 1;
    CDataView* mResetElem = nullptr;
    int mActiveGroup = 0;
    GuiWindow* mpFlashWnd = nullptr;
    GuiWindow* mpFlashBox = nullptr;
    GuiPrompt* mpFlashPrompt = nullptr;
    ResetGroup* mGroups = nullptr;
    int mGroupCount = 0;
    bool mFlash = false;
    int16_t mFlashX = 0;
    int16_t mFlashDir = 1;
    uint16_t mResetTicks = 0;
    uint8_t mResetState = 0;
    int mCursor = 0;
    CDataManager* mDm = nullptr;
};
