// The display's top window: it builds the pages from the description on the start command,
// tears them down on the stop, switches pages, sets the brightness and shows the text and
// external alarm windows. Everything here runs on the GUI task.
#pragma once

#include "display/app/disp_page.h"

// Display command codes (message types).
enum DisplayCmd_t : uint16_t {
    DISP_CMD_NEXT = 10,
    DISP_CMD_START = 0x4001,
    DISP_CMD_STOP = 0x4002,
    DISP_CMD_COLOR = 0x4003,
    DISP_CMD_PAGE = 0x4004,
    DISP_CMD_BRIGHTNESS = 0x4007,
    DISP_CMD_RATE = 0x4008,
    DISP_CMD_FLASH_ON = 0x4009,
    DISP_CMD_FLASH_OFF = 0x400A,
    DISP_CMD_TEXT = 0x400B,
    DISP_CMD_TEXT2 = 0x400C,
    DISP_CMD_TEXT_FREE = 0x400D,
    DISP_CMD_TEXT_HIDE = 0x400E,
    DISP_CMD_ALARM_WND = 0x400F,
};

extern int brightness_switch_pos;

class CMainContainer : public GuiWindow {
  public:
    CMainContainer(const GuiRect& rect, unsigned int style);
    ~CMainContainer() override;
    int Message(const GuiMessage& msg) override;

    void setupMeas();
    void stopMeas();
    void update_ext_wnd(bool pageSwitched);
    void show_text(const char* text);
    void show_text2(const char* text1, const char* text2);
    void hide_text();

    int currentPage() const { return mCurrent; }
    CDispPage* page(int i) const { return i >= 0 && i < DISPLAY_MAX_PAGES ? mPages[i] : nullptr; }
    CDispPage* colourPage() const { return mPages[DISPLAY_MAX_PAGES]; }
    display_s* description() const { return mDisplay; }
    CDataManager* dataManager() const { return mDm; }
    GuiWindow* textWindow() const { return mpTextWnd; }
    GuiWindow* alarmWindow() const { return mpAlarmWnd; }

  private:
    void initDispCfgChan(CData** chan, awm_meas_in* input, unsigned short raster);
    void flush();
    void showTextWindow(int top, int bottom, const char* text1, const char* text2);
    void destroyTextWindow();

    display_s* mDisplay = nullptr;
    int mCurrent = 0;
    CDispPage* mPages[DISPLAY_MAX_PAGES + 1] = {}; // the colour page last
    bool mFlash = false;
    int mFrameRate = 1;
    GuiWindow* mpTextWnd = nullptr;
    GuiPrompt* mpTextPrompt1 = nullptr;
    GuiPrompt* mpTextPrompt2 = nullptr;
    GuiWindow* mpAlarmWnd = nullptr;
    GuiPrompt* mpAlarmPrompt = nullptr;
    GuiPrompt* mpAlarmTag = nullptr;
    CDataManager* mDm = nullptr;
    CImageContainer* mImages = nullptr;
    unsigned long mColour = 0xFFFFFF;
};

// The main container while the GUI runs (null before GuiAppInitialize).
CMainContainer* displayMainContainer();
// Guards the channel statics of CDispPage and the control state between the GUI task and the
// display control task.
void disp_chanLock();
void disp_chanUnlock();
