#include "display/app/disp_main.h"

#include "acquisition/board/board.h"
#include "comm/comint/comint.h"
#include "display/app/display.h"
#include "display/fonts/tarvo_fonts.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/scrndrv/scrndrv.h"
#include "platform/hw/hw.h"
#include "platform/os/osfs.h"
#include "services/nvram/nvram.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

int brightness_switch_pos = 0;

namespace {
CMainContainer* gMain = nullptr;
std::atomic<uint8_t> started{0};
std::atomic<int> maxPage{0};

// Posts a command; payload words 1 and 2. Without a target the message goes straight into the
// GUI queue, whose mutex is all the poster takes: the GUI task routes it to the main container.
int post(uint16_t type, const void* w1 = nullptr, const void* w2 = nullptr, int32_t value = 0,
         bool isValue = false) {
    if (gbGuiInitialized != 1 || !GuiThing::mpMessageQueue) return -1;
    GuiMessage m(type);
    if (isValue) {
        m.payload.l = value;
    } else {
        m.payload.ptr[0] = const_cast<void*>(w1);
        m.payload.ptr[1] = const_cast<void*>(w2);
    }
    return GuiThing::mpMessageQueue->Push(&m) ? 0 : -1;
}
int postValue(uint16_t type, uint32_t v) {
    return post(type, nullptr, nullptr, static_cast<int32_t>(v), true);
}
uint32_t word1(const GuiMessage& m) {
    return static_cast<uint32_t>(m.payload.l);
}
} // namespace

CMainContainer* displayMainContainer() {
    return gMain;
}

int displayMaxPages(int n) {
    if (n != -1) maxPage = n;
    return maxPage;
}
int displayStatus(int s) {
    if (s == 1) started = 1;
    return started;
}
void displayJoin() {}

// ---- start-up ------------------------------------------------------------------------------

namespace {
void displayInitDone(intptr_t sem, intptr_t, intptr_t, intptr_t) {
    auto s = reinterpret_cast<SEM_ID>(sem);
    if (s && semTake(s, WAIT_FOREVER) == OK) semDelete(s);
    PwmOut_Set(0, 95.0f, 1000.0f);
    digital_ioOut(5, 1);
    scrndrvLayerEnable(1);
}
} // namespace

void ConfigureGuiInput() {
    char devices[2][8];
    std::snprintf(devices[0], sizeof devices[0], "%s", "ttya:");
    std::snprintf(devices[1], sizeof devices[1], "%s", "ittyb:");
    (void)devices;
}
void RestoreGuiInput() {}
const GuiAppHooks display_guiHooks{ConfigureGuiInput, GuiAppInitialize, RestoreGuiInput};

void GuiAppInitialize(GuiPresentationManager* pm) {
    auto* main =
        new (std::nothrow) CMainContainer(GuiRect(0, 0, SCRNDRV_APP_WIDTH - 1, SCRNDRV_APP_HEIGHT - 1), 1);
    if (!main) return;
    gMain = main;
    pm->Add(main, 1);
    if (GuiScreen* s = GuiThing::mpScreen) {
        s->Invalidate(pm->mClient);
        pm->Draw();
        s->FlushScreen();
        s->WaitFlushFinish();
    }
}

void displayInit() {
    scrndrvSetRtpIndex(RtpIndex);
    scrndrvInit();
    TarvoFonts_ini();
    ext_alarm.shown = ext_alarm.acknowledged = ext_alarm.active = ext_alarm.changed = 0;

    SEM_ID sem = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    int prio = 120;
    if (taskPriorityGet(taskIdSelf(), &prio) != OK) prio = 120;
    if (taskSpawn("r_dispInitDone", prio, VX_FP_TASK, 500000, displayInitDone,
                  reinterpret_cast<intptr_t>(sem)) == TASK_ID_NULL) {
        syslogx(LOG_ERR, "displayInit(): create displayInitDone failed");
        return;
    }
    TASK_ID tid = taskSpawn("r_GuiMn", 121, VX_FP_TASK, 500000, GuiTaskMain, reinterpret_cast<intptr_t>(sem));
    if (tid == TASK_ID_NULL) {
        syslogx(LOG_ERR, "displayInit(): create GuiMain failed");
        return;
    }
    if (taskCpuAffinitySet(tid, 1) != OK)
        syslogx(LOG_ERR, "displayInit() failed to set cpu affinity for GuiMn, tid %X, cpuset %d, errno %s",
                static_cast<unsigned>(tid), 1, std::strerror(errno));
    tid = taskSpawn("r_t_GuiTmr", 120, VX_FP_TASK, 500000, GuiTimerTask);
    if (tid == TASK_ID_NULL) {
        syslogx(LOG_ERR, "displayInit(): create GuiTimer failed");
        return;
    }
    if (taskCpuAffinitySet(tid, 1) != OK)
        syslogx(LOG_ERR, "displayInit() failed to set cpu affinity for t_GuiTmr, tid %X, cpuset %d, errno %s",
                static_cast<unsigned>(tid), 1, std::strerror(errno));
}

// ---- posting -------------------------------------------------------------------------------

int displayStart() {
    return post(DISP_CMD_START);
}
int displayStop() {
    return post(DISP_CMD_STOP);
}
int displayNext() {
    return post(DISP_CMD_NEXT);
}
int displayPrev() {
    return post(DISP_CMD_NEXT);
}
int displayColor(unsigned long rgb) {
    return postValue(DISP_CMD_COLOR, static_cast<uint32_t>(rgb));
}
int displaySwitchPage(unsigned int index) {
    return postValue(DISP_CMD_PAGE, index < 11 ? index : 11);
}
int displayBrightness(unsigned int pos) {
    return postValue(DISP_CMD_BRIGHTNESS, pos);
}
int displaySetUpdateRate(int ticks) {
    return postValue(DISP_CMD_RATE, static_cast<uint32_t>(ticks));
}
int displayFlashStart() {
    return post(DISP_CMD_FLASH_ON);
}
int displayFlashStop() {
    return post(DISP_CMD_FLASH_OFF);
}
int displayTxtShow(const char* text) {
    return post(DISP_CMD_TEXT, text);
}
int displayTxtShow2(const char* t1, const char* t2) {
    return post(DISP_CMD_TEXT2, t1, t2);
}
int displayTxtShowFree(const char* text) {
    if (gbGuiInitialized != 1) return -1;
    char* copy = static_cast<char*>(std::malloc(255));
    if (!copy) return -1;
    std::snprintf(copy, 255, "%s", text ? text : "");
    if (post(DISP_CMD_TEXT_FREE, copy) != 0) {
        std::free(copy);
        return -1;
    }
    return 0;
}
int displayTxtHide() {
    return post(DISP_CMD_TEXT_HIDE);
}
int displayUpdateExtWnd() {
    return post(DISP_CMD_ALARM_WND);
}

// ---- alarm state ---------------------------------------------------------------------------

int display_alarm(uint8_t active, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                  uint32_t textColour, uint32_t backgroundColour, uint8_t tag, const char* text) {
    disp_extAlarmLock();
    ext_alarm.active = active;
    ext_alarm.tag = tag;
    ext_alarm.x = x;
    ext_alarm.y = y;
    ext_alarm.width = width;
    ext_alarm.height = height;
    ext_alarm.textColour = textColour;
    ext_alarm.backgroundColour = backgroundColour;
    size_t n = 0;
    for (; text && text[n] && n < 254; ++n)
        ext_alarm.text[n] = text[n] == ' ' ? static_cast<char>(129) : text[n];
    ext_alarm.text[n] = 0;
    ext_alarm.acknowledged = 0;
    ext_alarm.changed = 1;
    disp_extAlarmUnlock();
    return displayUpdateExtWnd();
}

void display_get_alarm_state(ext_alarm_s** out) {
    if (out) *out = &ext_alarm;
}
uint8_t display_get_reset_alarm_active() {
    return disp_reset_alarm_active;
}
uint8_t display_get_alarm_hidden() {
    return disp_alarm_inhibit;
}
void display_trigger_inhibit_alarms() {
    disp_alarm_inhibit = 1;
}
void display_reset_inhibit_alarms() {
    disp_alarm_inhibit = 0;
}

// ---- main container ------------------------------------------------------------------------

CMainContainer::CMainContainer(const GuiRect& rect, unsigned int style) : GuiWindow(rect, style) {
    SetColor(0, 0xFFFFFF);
    SetColor(1, 0xFFFFFF);
    // The logo is as large as the window: laid from the corner it covers it exactly (centring
    // an even size in an even window would shift it by a pixel).
    SetWallpaper(&gbBootLogoBitmap, 1);
    disp_chanLock();
    CDispPage::reset_chan = CDispPage::page_chan = CDispPage::brightness_chan = nullptr;
    disp_chanUnlock();
}

CMainContainer::~CMainContainer() {
    stopMeas();
    hide_text();
    if (gMain == this) gMain = nullptr;
}

void CMainContainer::flush() {
    if (!mpScreen) return;
    mpScreen->FlushScreen();
    mpScreen->WaitFlushFinish();
}

void CMainContainer::stopMeas() {
    // The control task must not read the channels once they are freed.
    disp_chanLock();
    CDispPage::reset_chan = CDispPage::page_chan = CDispPage::brightness_chan = nullptr;
    displayCtrl_stop();
    disp_chanUnlock();
    if (mDm) mDm->stopMeasurement();
    for (CDispPage*& p : mPages) {
        if (p) Destroy(p);
        p = nullptr;
    }
    XmlFreeDisplay(mDisplay);
    mDisplay = nullptr;
    delete mImages;
    mImages = nullptr;
    delete mDm;
    mDm = nullptr;
}

void CMainContainer::initDispCfgChan(CData** chan, awm_meas_in* input, unsigned short raster) {
    if (!chan || !input) return;
    CData* d = nullptr;
    if (input->adr != 0) {
        d = new (std::nothrow) CData(input);
        if (d && mDm) mDm->addData(d, raster);
    }
    disp_chanLock();
    *chan = d;
    disp_chanUnlock();
}

void CMainContainer::setupMeas() {
    InitClient();
    SetColor(0, 0xFFFFFF);
    mCurrent = 0;
    stopMeas();
    if (XmlLoad("cfg:/display.xml", &mDisplay) != 0) {
        XmlFreeDisplay(mDisplay);
        mDisplay = nullptr;
        char msg[100] = "";
        xml_get_error_msg(msg, sizeof msg);
        if (msg[0]) syslogx(LOG2_ERR, "MainContainer::setupMeas - XML:%s", msg);
    }
    display_err = 0;
    display_elements_skipped = 0;
    display_elements_updated = 0;
    if (!mDisplay) {
        syslogx(LOG2_ERR, "MainContainer::setupMeas - reading of display control file failed");
        started = 1;
        update_ext_wnd(false);
        return;
    }
    syslogx(LOG2_INFO, "MainContainer::setupMeas - reading display control file, configuration with %d pages",
            mDisplay->page_count);
    mImages = new (std::nothrow) CImageContainer(mDisplay);
    mDm = new (std::nothrow) CDataManager();
    initDispCfgChan(&CDispPage::reset_chan, &mDisplay->reset_input, 4);
    initDispCfgChan(&CDispPage::page_chan, &mDisplay->page_input, 4);
    initDispCfgChan(&CDispPage::brightness_chan, &mDisplay->brightness_input, 4);

    int always = 0;
    for (display_elem_s* e = mDisplay->all_pages.elements; e; e = e->next) {
        const uint32_t vis = e->type == ELEM_ALPHANUMERIC ? e->alphanum.vis_mode
                             : e->type == ELEM_BARGRAPH   ? e->bargraph.vis_mode
                             : e->type == ELEM_PICTURE    ? e->picture.vis_mode
                                                          : 1;
        if (e->type <= ELEM_PICTURE && vis == VIS_ALWAYS) ++always;
    }
    int count = 0;
    for (int i = 0; i < DISPLAY_MAX_PAGES; ++i) {
        if (always == 0 && !mDisplay->pages[i].valid) continue;
        mPages[i] = new (std::nothrow) CDispPage(mClient.left, mClient.top, mDisplay->x_res, mDisplay->y_res,
                                                 i, &mDisplay->pages[i], &mDisplay->all_pages, mDm, mImages);
        ++count;
    }
    const int p = displayCtrl_start(static_cast<unsigned char>(count - 1));
    mCurrent = p >= 1 && p <= DISPLAY_MAX_PAGES ? p - 1 : 0;
    if (mPages[mCurrent]) Add(mPages[mCurrent], 1);
    disp_chanLock(); // the control task may change it already
    const int b = display_brightness;
    disp_chanUnlock();
    brightness_switch_pos = b ? b - 1 : 0;
    displayBrightness(static_cast<unsigned>(brightness_switch_pos));
    if (mDm) {
        mDm->createMeaslists();
        mDm->startMeasurement();
    }
    if (count) maxPage = count - 1;
    started = 1;
    update_ext_wnd(false);
}

void CMainContainer::destroyTextWindow() {
    if (!mpTextWnd) return;
    for (GuiPrompt** p : {&mpTextPrompt1, &mpTextPrompt2})
        if (*p) {
            mpTextWnd->Remove(*p, 1);
            Destroy(*p);
            *p = nullptr;
        }
    Remove(mpTextWnd, 1);
    Destroy(mpTextWnd);
    mpTextWnd = nullptr;
}

void CMainContainer::hide_text() {
    destroyTextWindow();
    flush();
}

void CMainContainer::showTextWindow(int top, int bottom, const char* t1, const char* t2) {
    destroyTextWindow();
    const int L = mClient.left, T = mClient.top;
    mpTextWnd = new GuiWindow(GuiRect(L + 15, T + top, L + 625, T + bottom), 1);
    const int p1Top = t2 ? 140 : 160, p1Bottom = t2 ? 200 : 240;
    mpTextPrompt1 = new GuiPrompt(GuiRect(L + 40, T + p1Top, L + 600, T + p1Bottom), t1 ? t1 : "", 0, 0x6081);
    mpTextPrompt1->SetFont(&TarvoTiny);
    mpTextWnd->Add(mpTextPrompt1, 1);
    if (t2) {
        mpTextPrompt2 = new GuiPrompt(GuiRect(L + 40, T + 200, L + 600, T + 260), t2, 0, 0x6081);
        mpTextPrompt2->SetFont(&TarvoTiny);
        mpTextWnd->Add(mpTextPrompt2, 1);
    }
    Add(mpTextWnd, 1);
    mpTextWnd->SetColor(0, DISP_RED);
    if (mpScreen) mpScreen->Invalidate(mpTextWnd->mClient);
    mpTextWnd->Draw();
    MoveToFront(mpTextWnd, 1);
    flush();
}

void CMainContainer::show_text(const char* text) {
    showTextWindow(150, 250, text, nullptr);
}

void CMainContainer::show_text2(const char* t1, const char* t2) {
    showTextWindow(130, 270, t1, t2 ? t2 : "");
}

void CMainContainer::update_ext_wnd(bool pageSwitched) {
    if (!started) return;
    if (pageSwitched) ext_alarm.acknowledged = 0;
    ext_alarm_s a;
    disp_extAlarmCopy(&a);
    const bool noPage = !page(mCurrent);
    if (a.active && !a.acknowledged) {
        const GuiRect R(a.x, a.y, a.x + a.width - 1, a.y + a.height - 1);
        if (!mpAlarmWnd) {
            mpAlarmWnd = new GuiWindow(R, 1);
            mpAlarmWnd->SetColor(0, a.backgroundColour);
            mpAlarmPrompt = new GuiPrompt(R, a.text, 0, 0x6081);
            mpAlarmPrompt->SetFont(&TarvoNormal);
            mpAlarmPrompt->SetColor(2, a.textColour);
            mpAlarmPrompt->SetColor(0, a.backgroundColour);
            mpAlarmWnd->Add(mpAlarmPrompt, 1);
            ext_alarm.changed = 0;
            if (!mpAlarmTag && a.tag && mpScreen) {
                const int w = mpScreen->TextWidth("R", &TarvoTiny, -1),
                          h = mpScreen->TextHeight("R", &TarvoTiny);
                mpAlarmTag = new GuiPrompt(GuiRect(R.left, R.top, R.left + w, R.top + h), "R", 0, 0x2081);
                mpAlarmTag->SetFont(&TarvoTiny);
                mpAlarmTag->SetColor(0, a.textColour);
                mpAlarmTag->SetColor(2, a.backgroundColour);
                mpAlarmWnd->Add(mpAlarmTag, 1);
            }
        } else if (a.changed) {
            mpAlarmWnd->Resize(R);
            mpAlarmPrompt->Resize(R);
            mpAlarmWnd->SetColor(0, a.backgroundColour);
            mpAlarmPrompt->DataSet(a.text);
            mpAlarmPrompt->SetColor(2, a.textColour);
            mpAlarmPrompt->SetColor(0, a.backgroundColour);
            if (mpAlarmTag) {
                mpAlarmTag->SetColor(0, a.textColour);
                mpAlarmTag->SetColor(2, a.backgroundColour);
            }
            if (mpScreen) mpScreen->Invalidate(mpAlarmWnd->mClient);
            ext_alarm.changed = 0;
        }
        ext_alarm.shown = 1;
        Add(mpAlarmWnd, 1);
        mpAlarmWnd->Draw();
        if (noPage) flush();
    } else if (a.shown && mpAlarmWnd) {
        Remove(mpAlarmWnd, 1);
        if (noPage) flush();
        ext_alarm.shown = 0;
    }
}

int CMainContainer::Message(const GuiMessage& msg) {
    if (msg.type == DISP_CMD_NEXT) {
        if (CDispPage* cur = page(mCurrent)) Remove(cur, 1);
        int idx = mCurrent;
        for (int step = 0; step < DISPLAY_MAX_PAGES + 1; ++step) {
            idx = (idx + 1) % DISPLAY_MAX_PAGES;
            if (mPages[idx]) break;
        }
        mCurrent = idx;
        if (CDispPage* p = page(mCurrent)) {
            Center(p);
            // As after the page command: its elements come up with their visibility weighed
            // anew, else an alarm whose input is off stays drawn.
            p->SwitchedPage();
            Add(p, 1);
        }
        if (mpTextWnd) MoveToFront(mpTextWnd, 1);
        update_ext_wnd(true);
        return 0;
    }
    if (msg.type < DISP_CMD_START || msg.type > DISP_CMD_ALARM_WND) return GuiWindow::Message(msg);
    switch (msg.type) {
    case DISP_CMD_START:
        setupMeas();
        if (mpTextWnd) MoveToFront(mpTextWnd, 1);
        break;
    case DISP_CMD_STOP:
        stopMeas();
        flush();
        break;
    case DISP_CMD_COLOR: {
        mColour = word1(msg);
        CDispPage*& cp = mPages[DISPLAY_MAX_PAGES];
        if (!cp) {
            cp = new (std::nothrow) CDispPage(mClient.left, mClient.top, mClient.left + 639,
                                              mClient.top + 479, 0, static_cast<int>(mColour));
            if (cp) Add(cp, 1);
        }
        if (cp) {
            cp->SetColor(0, static_cast<uint32_t>(mColour));
            if (mpScreen) mpScreen->Invalidate(cp->mClient);
            cp->Draw();
            MoveToFront(cp, 1);
        }
        break;
    }
    case DISP_CMD_PAGE: {
        display_err = 0;
        display_elements_skipped = 0;
        display_elements_updated = 0;
        const int target =
            static_cast<int>(word1(msg) < DISPLAY_MAX_PAGES ? word1(msg) : DISPLAY_MAX_PAGES - 1);
        if (CDispPage* cur = page(mCurrent)) {
            if (!mPages[target]) {
                Remove(cur, 1);
                flush();
            } else {
                Remove(cur, 0);
            }
        }
        mCurrent = target;
        if (CDispPage* p = mPages[target]) {
            p->SwitchedPage();
            Add(p, 1);
            p->setFrameRate(mFrameRate);
            p->setFlashMode(mFlash);
        }
        if (mpTextWnd) MoveToFront(mpTextWnd, 1);
        update_ext_wnd(true);
        break;
    }
    case DISP_CMD_BRIGHTNESS: {
        const uint32_t pos = word1(msg);
        if (!mDisplay || pos >= 12) break;
        brightness_switch_pos = static_cast<int>(pos);
        if (pos < mDisplay->brightness_count) {
            const float perc = mDisplay->brightness_perc[pos];
            PwmOut_Set(0, display_brightness_bg(perc), 1000.0f);
            hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_COLSAT_REG, display_brightness_colSat(perc) & 0xFF);
        }
        break;
    }
    case DISP_CMD_RATE:
        if (CDispPage* p = page(mCurrent)) p->setFrameRate(static_cast<int>(word1(msg)));
        mFrameRate = static_cast<int>(word1(msg));
        break;
    case DISP_CMD_FLASH_ON:
    case DISP_CMD_FLASH_OFF:
        mFlash = msg.type == DISP_CMD_FLASH_ON;
        if (CDispPage* p = page(mCurrent)) p->setFlashMode(mFlash);
        break;
    case DISP_CMD_TEXT:
        show_text(static_cast<const char*>(msg.payload.ptr[0]));
        break;
    case DISP_CMD_TEXT2:
        show_text2(static_cast<const char*>(msg.payload.ptr[0]),
                   static_cast<const char*>(msg.payload.ptr[1]));
        break;
    case DISP_CMD_TEXT_FREE:
        if (char* heap = static_cast<char*>(msg.payload.ptr[0])) {
            char buffer[255];
            std::snprintf(buffer, sizeof buffer, "%s", heap);
            std::free(heap);
            show_text(buffer);
        }
        break;
    case DISP_CMD_TEXT_HIDE:
        hide_text();
        break;
    case DISP_CMD_ALARM_WND:
        update_ext_wnd(false);
        break;
    default:
        break;
    }
    return 0;
}

// ---- screen capture ------------------------------------------------------------------------

unsigned char* DumpReal(unsigned long* size) {
    if (gbGuiInitialized != 1 || !GuiThing::mpScreen) return nullptr;
    return GuiThing::mpScreen->DumpWindowsBitmap(
        size, GuiRect(0, 0, SCRNDRV_APP_WIDTH - 1, SCRNDRV_APP_HEIGHT - 1));
}

int display_bmpwrite(const char* path) {
    FILE* f = osFopen(path, "wb");
    if (!f) {
        std::printf("Error, unable to open file %s.\n", path);
        return -1;
    }
    unsigned long size = 0;
    unsigned char* buf = DumpReal(&size);
    const bool written = buf && std::fwrite(buf, 1, size, f) == size;
    std::free(buf);
    const bool closed = std::fclose(f) == 0;
    if (written && closed) return 0;
    std::printf(buf ? "Error, unable to write file %s.\n" : "Error, no screen to capture into %s.\n", path);
    osRemove(path);
    return -1;
}

// ---- the shell command ---------------------------------------------------------------------

namespace {
void display_usage() {
    static const char* const lines[] = {
        "controls display application\n",
        "usage: display <command> [<par>]\n",
        "    <start|stop>      : starts and stops display application;\n",
        "    <color> <par>     : sets color to whole screen\n",
        "    <writebmp>        : write screen to file\n",
        "    <next|prev>       : switches pages\n",
        "    <page> <par>      : select page\n",
        "    <brightness> <par>: set brightness<par>\n",
        "    <fstop|fstart>    : starts stops flash window\n",
        "    <txtshow|txthide> : hides, shows text\n",
    };
    for (const char* l : lines)
        std::fputs(l, stdout);
}
} // namespace

int displayCommandFunc(int argc, char** argv) {
    const char* cmd = argc >= 2 ? argv[1] : "";
    const char* par = argc >= 3 ? argv[2] : "";
    auto is = [&](const char* word, int n) { return argc == n && std::strcmp(cmd, word) == 0; };
    if (is("start", 2)) {
        displayStart();
    } else if (is("stop", 2)) {
        displayStop();
    } else if (is("color", 3)) {
        // The stop first: a colour posted before it would be taken down at once.
        displayStop();
        unsigned int value = 0;
        if (par[0] && par[1] == 'x' && std::sscanf(par, "%x", &value) == 1)
            displayColor(value);
        else
            std::printf("Invalid color format. RGB Format: 0x00RRGGBB\n");
    } else if (is("next", 2)) {
        displayNext();
    } else if (is("prev", 2)) {
        displayPrev();
    } else if (is("page", 3) || is("brightness", 3)) {
        const bool page = cmd[0] == 'p';
        unsigned int value = 0;
        if (std::sscanf(par, "%u", &value) != 1) {
            std::printf(page ? "Invalid page number.\n" : "Invalid brightness switch position.\n");
            return -1;
        }
        if (page)
            displaySwitchPage(value);
        else
            displayBrightness(value);
    } else if (is("fstart", 2)) {
        displayFlashStart();
    } else if (is("fstop", 2)) {
        displayFlashStop();
    } else if (is("txtshow", 3)) {
        displayTxtShowFree(par);
    } else if (is("txthide", 2)) {
        displayTxtHide();
    } else if (is("bmpdump", 3)) {
        display_bmpwrite(par);
    } else {
        display_usage();
    }
    return 0;
}

// ---- page sets -----------------------------------------------------------------------------

// The name's 16 one-byte records are stored as one: a restart finds the old name or the new one.
bool pageSetName_getName(char* buffer, unsigned int size) {
    char name[16] = {};
    if (nvram_dbs_read_all(nvram_DispPageSet_Elem.id, name, sizeof name) != sizeof name) return false;
    std::memcpy(buffer, name, size < 16 ? size : 16);
    return true;
}

bool pageSetName_putName(const char* name, unsigned int size) {
    char record[16] = {};
    std::memcpy(record, name, size < 16 ? size : 16);
    return nvram_dbs_write_all(nvram_DispPageSet_Elem.id, record, sizeof record) == sizeof record;
}

void display_pageset_cmd(const uint8_t* m, size_t len) {
    if (!m || len < 20 + 16) {
        SYSLOGX_GUARDED(LOG_ERR, "display_pageset_cmd(): message of %u bytes has no page-set name",
                        static_cast<unsigned>(len));
        return;
    }
    const char* name = reinterpret_cast<const char*>(m + 20);
    char active[16] = {};
    pageSetName_getName(active, 16);
    if (std::strncmp(active, name, 16) == 0) {
        SYSLOGX_RATE_GUARDED(LOG_INFO, "display_pageset_cmd(): received active pageset '%.*s' -> ignored", 16,
                             name);
        return;
    }
    SYSLOGX_RATE_GUARDED(LOG_INFO, "display_pageset_cmd(): received pageset '%.*s'", 16, name);
    // A name that could not be stored would restart the unit on every repeat.
    if (!pageSetName_putName(name, 16)) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "display_pageset_cmd(): pageset '%.*s' not stored, no restart", 16,
                             name);
        return;
    }
    startPostrun();
}

void display_pageset_tlc(uint16_t pid, const char* name) {
    uint8_t msg[36] = {};
    ci_set_header(msg, {16, app_pid, pid, 0, 0, 0x1600});
    std::strncpy(reinterpret_cast<char*>(msg + 20), name ? name : "", 16);
    comint_put_cmd(msg, 1);
    syslogx(LOG_INFO, "display_pageset_tlc(): send new pageset to pid 0x%02x, \"%s\"", pid, name ? name : "");
}
