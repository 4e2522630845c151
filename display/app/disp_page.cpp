#include "display/app/disp_page.h"

#include "display/app/display.h"
#include "display/fonts/tarvo_fonts.h"
#include "gui/core/screen.h"
#include "platform/os/osfs.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

std::atomic<uint8_t> disp_reset_alarm_active{0};
ext_alarm_s ext_alarm;

CData* CDispPage::reset_chan = nullptr;
CData* CDispPage::page_chan = nullptr;
CData* CDispPage::brightness_chan = nullptr;
uint8_t CDispPage::switched_page = 0;

namespace {
SEM_ID extAlarmMutex() {
    static SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return m;
}

// What the page update keeps from one tick to the next, for every page alike: the reset input
// and the timeout status of the last tick, and how often the status changed in a row.
struct TickMemory {
    uint8_t resetOld = 0;
    uint8_t onlineMin = 0, onlineMax = 0;
    uint32_t timeoutPids = 0, timecntMin = 0, timecntMax = 0, timeoutAll = 0;
    uint8_t logTimeoutCnt = 0;
} tickMemory;
} // namespace

void disp_extAlarmLock() {
    semTake(extAlarmMutex(), WAIT_FOREVER);
}
void disp_extAlarmUnlock() {
    semGive(extAlarmMutex());
}
void disp_extAlarmCopy(ext_alarm_s* out) {
    out->shown = ext_alarm.shown.load();
    out->acknowledged = ext_alarm.acknowledged.load();
    out->active = ext_alarm.active.load();
    out->changed = ext_alarm.changed.load();
    disp_extAlarmLock();
    out->tag = ext_alarm.tag;
    out->x = ext_alarm.x;
    out->y = ext_alarm.y;
    out->width = ext_alarm.width;
    out->height = ext_alarm.height;
    out->textColour = ext_alarm.textColour;
    out->backgroundColour = ext_alarm.backgroundColour;
    std::memcpy(out->text, ext_alarm.text, sizeof out->text);
    disp_extAlarmUnlock();
}

// ---- image container -----------------------------------------------------------------------

struct picture_image_s {
    uint32_t ofs;
    uint32_t len;
    GuiBitmap* bitmap;
    GuiPngConvert* converter;
    picture_image_s* next;
};

struct picture_file_s {
    char name[256];
    picture_image_s* images;
    picture_file_s* next;
};

picture_file_s* CImageContainer::addfile(const char* name) {
    for (picture_file_s* f = mFiles; f; f = f->next)
        if (std::strcmp(f->name, name) == 0) return f;
    auto* f = static_cast<picture_file_s*>(std::calloc(1, sizeof(picture_file_s)));
    if (!f) return nullptr;
    std::snprintf(f->name, sizeof f->name, "%s", name);
    f->next = mFiles;
    mFiles = f;
    return f;
}

void CImageContainer::addbitmap(picture_file_s* f, uint32_t ofs, uint32_t len) {
    if (!f) return;
    for (picture_image_s* i = f->images; i; i = i->next)
        if (i->ofs == ofs && i->len == len) return;
    auto* i = static_cast<picture_image_s*>(std::calloc(1, sizeof(picture_image_s)));
    if (!i) return;
    i->ofs = ofs;
    i->len = len;
    i->next = f->images;
    f->images = i;
}

CImageContainer::CImageContainer(display_s* d) {
    if (!d) return;
    auto collect = [this](const page_s& p) {
        for (display_elem_s* e = p.elements; e; e = e->next)
            if (e->type == ELEM_PICTURE)
                addbitmap(addfile(e->picture.picture.filename), e->picture.picture.ofs,
                          e->picture.picture.len);
    };
    collect(d->all_pages);
    for (int i = 0; i < d->page_count && i < DISPLAY_MAX_PAGES; ++i)
        collect(d->pages[i]);
    for (picture_file_s* f = mFiles; f; f = f->next) {
        FILE* fp = osFopen(f->name, "rb");
        if (!fp) continue;
        long size = -1;
        if (std::fseek(fp, 0, SEEK_END) == 0) size = std::ftell(fp);
        for (picture_image_s* i = f->images; i; i = i->next) {
            // Data reaching past the end of the file is a short read: refused before anything is allocated.
            const bool inFile = size >= 0 && i->len > 0 &&
                                static_cast<uint64_t>(i->ofs) + i->len <= static_cast<uint64_t>(size);
            auto* buf = inFile ? static_cast<unsigned char*>(std::malloc(i->len)) : nullptr;
            if (!buf || std::fseek(fp, static_cast<long>(i->ofs), SEEK_SET) != 0 ||
                std::fread(buf, 1, i->len, fp) != i->len) {
                syslogx(LOG_ERR, "CImageContainer: could not read picture %s %i %i", f->name,
                        static_cast<int>(i->ofs), static_cast<int>(i->len));
                std::free(buf);
                continue;
            }
            i->converter = new (std::nothrow) GuiPngConvert(0);
            if (i->converter) {
                i->converter->mImageCount = 1;
                i->converter->mMode = 0;
                i->converter->SetSystemPalette(nullptr, 1600, 0);
                i->converter->SetInputBuffer(buf, i->len);
                i->converter->ReadImage(1);
                i->bitmap = i->converter->GetBitmapPointer(0);
                i->converter->SetInputBuffer(nullptr, 0);
                if (i->bitmap) ++mConverted;
            }
            std::free(buf);
        }
        std::fclose(fp);
    }
    if (mConverted > 0) syslogx(LOG_INFO, "CImageContainer: successfully converted %i pictures", mConverted);
}

CImageContainer::~CImageContainer() {
    while (picture_file_s* f = mFiles) {
        mFiles = f->next;
        while (picture_image_s* i = f->images) {
            f->images = i->next;
            delete i->converter;
            std::free(i);
        }
        std::free(f);
    }
}

GuiBitmap* CImageContainer::getImage(const picture_s* p) const {
    if (!p) return nullptr;
    for (picture_file_s* f = mFiles; f; f = f->next)
        if (std::strcmp(f->name, p->filename) == 0)
            for (picture_image_s* i = f->images; i; i = i->next)
                if (i->ofs == p->ofs && i->len == p->len) return i->bitmap;
    return nullptr;
}

// ---- element table -------------------------------------------------------------------------

CHashElem::CHashElem(short size)
    : mElems(new CDataView*[size > 0 ? size : 1]()), mSize(size > 0 ? size : 0) {}

CHashElem::~CHashElem() {
    delete[] mElems;
}

short CHashElem::AddElem(CDataView* v) {
    const short at = mNext;
    if (at < mSize && !mElems[at]) mElems[at] = v;
    ++mNext;
    return at;
}

short CHashElem::AddElemAt(CDataView* v, short i) {
    if (i < 0 || i >= mSize || mElems[i]) return 0;
    mElems[i] = v;
    return i;
}

// ---- page ----------------------------------------------------------------------------------

CDispPage::CDispPage(int x, int y, int width, int height, int timerId, page_s* page, page_s* allPages,
                     CDataManager* dm, CImageContainer* images)
    : GuiWindow(GuiRect(x, y, x + width - 1, y + height - 1), 1), mTimerId(timerId), mDm(dm) {
    const int n = (page ? page->elem_count : 0) + (allPages ? allPages->elem_count : 0);
    mCount = n > 32767 ? 32767 : n;
    mElems = new CHashElem(static_cast<short>(mCount));
    InitClient();
    if (page) SetColor(0, CDataView::dispElem_Color(page->bg_col));
    CDataView** alarms = new CDataView*[mCount > 0 ? mCount : 1];
    int alarmCount = 0;
    display_elem_s* e = page ? page->elements : nullptr;
    bool inAll = false;
    for (int i = 0; i < mCount; ++i) {
        if (!e && !inAll) {
            inAll = true;
            e = allPages ? allPages->elements : nullptr;
        }
        if (!e) break;
        CDataView* v = nullptr;
        switch (e->type) {
        case ELEM_ALPHANUMERIC:
            v = new (std::nothrow) CDispBox(mReal, e, this, 1);
            if (v) Add(v, 1);
            break;
        case ELEM_BARGRAPH:
            v = new (std::nothrow) CBarView(mReal, e, this, 1);
            if (v) Add(v, 0);
            break;
        case ELEM_PICTURE:
            v = new (std::nothrow)
                CPicture(mReal, e, images ? images->getImage(&e->picture.picture) : nullptr, this, 1);
            if (v) Add(v, 1);
            break;
        default:
            break;
        }
        if (v) {
            for (CDataType_t which : {CDATA_VALUE, CDATA_VIS})
                if (CData* d = dm ? dm->addData(e, 4, which) : nullptr) v->setData(d, which);
            mElems->AddElemAt(v, static_cast<short>(i));
            if (v->isAlarm()) alarms[alarmCount++] = v;
        }
        e = e->next;
    }
    processOverlayElements(alarms, alarmCount);
    delete[] alarms;
}

CDispPage::CDispPage(int left, int top, int right, int bottom, int, int colour)
    : GuiWindow(GuiRect(left, top, right, bottom), 1) {
    InitClient();
    SetColor(0, static_cast<uint32_t>(colour));
}

CDispPage::~CDispPage() {
    // Elements that took themselves off the page are not among its children.
    for (int i = 0; mElems && i < mCount; ++i)
        if (CDataView* v = mElems->GetElem(static_cast<short>(i)); v && v->Parent() != this) delete v;
    delete mElems;
    // The programming window, once "fstop" took it off the page.
    if (mpFlashWnd && mpFlashWnd->Parent() != this) delete mpFlashWnd;
    for (int g = 0; g < mGroupCount; ++g)
        delete[] mGroups[g].members;
    delete[] mGroups;
}

bool CDispPage::checkOverlap(const GuiRect& a, const GuiRect& b) {
    return a.top < b.bottom && a.bottom > b.top && a.left < b.right && a.right > b.left;
}

void CDispPage::processOverlayElements(CDataView** list, int n) {
    int* groupOf = new int[n > 0 ? n : 1];
    CDataView** order = new CDataView*[n > 0 ? n : 1];
    for (int i = 0; i < n; ++i)
        groupOf[i] = -1;
    int groups = 0;
    int* starts = new int[n + 1];
    int filled = 0;
    for (int head = 0; head < n; ++head) {
        if (groupOf[head] >= 0) continue;
        starts[groups] = filled;
        groupOf[head] = groups;
        order[filled++] = list[head];
        // The group grows while it is scanned.
        for (int k = starts[groups]; k < filled; ++k)
            for (int j = head + 1; j < n; ++j)
                if (groupOf[j] < 0 && checkOverlap(order[k]->mClient, list[j]->mClient)) {
                    groupOf[j] = groups;
                    order[filled++] = list[j];
                }
        ++groups;
    }
    starts[groups] = filled;
    mGroups = new ResetGroup[groups > 0 ? groups : 1];
    mGroupCount = groups;
    for (int g = 0; g < groups; ++g) {
        ResetGroup& r = mGroups[g];
        r.count = starts[g + 1] - starts[g];
        r.members = new CDataView*[r.count];
        for (int m = 0; m < r.count; ++m)
            r.members[m] = order[starts[g] + m];
    }
    delete[] starts;
    delete[] order;
    delete[] groupOf;
    mActiveGroup = mGroupCount;
    mResetElem = nullptr;
}

int CDispPage::getTimeSlot(unsigned short ms) {
    return ms < 100 ? 5 : ms < 200 ? 6 : ms < 500 ? 7 : ms < 1000 ? 8 : 9;
}

void CDispPage::setFrameRate(int ticks) {
    mFrameRate = ticks;
    if (!mpMessageQueue) return;
    mpMessageQueue->KillTimer(this, static_cast<uint16_t>(mTimerId));
    mpMessageQueue->SetTimer(this, static_cast<uint16_t>(mTimerId), ticks, ticks);
}

void CDispPage::setFlashMode(bool on) {
    mFlash = on;
    if (on) {
        if (!mpFlashWnd) {
            const int L = mClient.left, T = mClient.top;
            mpFlashWnd = new GuiWindow(GuiRect(L + 15, T + 150, L + 785, T + 250), 1);
            mpFlashPrompt =
                new GuiPrompt(GuiPoint(L + 40, T + 160), "Please stand by while programming device...",
                              &TarvoTiny, 0, 0x6081);
            mFlashX = static_cast<int16_t>(L + 25);
            mpFlashBox = new GuiWindow(GuiRect(mFlashX, T + 210, mFlashX + 75, T + 240), 1);
            mpFlashBox->SetColor(0, GUI_BLACK);
            mpFlashWnd->Add(mpFlashPrompt, 1);
            mpFlashWnd->Add(mpFlashBox, 1);
        }
        Add(mpFlashWnd, 1);
        mpFlashWnd->SetColor(0, DISP_RED);
        if (mpScreen) mpScreen->Invalidate(mpFlashWnd->mClient);
        mpFlashWnd->Draw();
        MoveToFront(mpFlashWnd, 1);
    } else if (mpFlashWnd) {
        Remove(mpFlashWnd, 1);
    }
}

void CDispPage::SwitchedPage() {
    for (int g = 0; g < mGroupCount; ++g) {
        for (int m = 0; m < mGroups[g].count; ++m)
            mGroups[g].members[m]->clearAlarmReset();
        mGroups[g].shown = nullptr;
    }
    for (int i = 0; i < mCount; ++i)
        if (CDataView* v = element(i)) v->forceUpdate();
    mResetElem = nullptr;
    mActiveGroup = mGroupCount;
    mCursor = 0;
    switched_page = 1;
}

int CDispPage::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_HIDE:
        GuiWindow::Message(msg);
        if (mpMessageQueue) mpMessageQueue->KillTimer(this, static_cast<uint16_t>(mTimerId));
        return 0;
    case GM_SHOW:
        GuiWindow::Message(msg);
        if (mpMessageQueue)
            mpMessageQueue->SetTimer(this, static_cast<uint16_t>(mTimerId), mFrameRate, mFrameRate);
        return 0;
    case GM_TIMER:
        tick();
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}

void CDispPage::redraw(CDataView* e) {
    if (mpScreen) mpScreen->Invalidate(e->mClient);
    e->Draw();
    Add(e, 1);
}

void CDispPage::tick() {
    const int visited = updateElements();
    ext_alarm_s ea;
    disp_extAlarmCopy(&ea);
    const bool ext = ea.active && !ea.acknowledged && ea.tag;
    const GuiRect E(ea.x, ea.y, ea.x + ea.width, ea.y + ea.height);
    display_elements_skipped = static_cast<uint16_t>(mCount - visited);
    takeResetInput();
    uint8_t err = display_err;
    uint8_t resetActive = 0;
    for (int gi = 0; gi < mGroupCount; ++gi)
        updateGroup(gi, ext, E, err, resetActive);
    display_err = err;
    disp_reset_alarm_active = resetActive;
    acknowledgeReset(ext);
    if (mFlash && mpFlashWnd && mpFlashBox) moveFlashBox();
    if (mpScreen) {
        mpScreen->FlushScreen();
        mpScreen->WaitFlushFinish();
    }
    if (mDm) logTimeouts();
}

int CDispPage::updateElements() {
    int changed = 0;
    uint16_t updated = 0;
    // The alarm elements first, every tick.
    for (int i = 0; i < mCount; ++i) {
        CDataView* e = element(i);
        if (!e || !e->isAlarm()) continue;
        const int r = e->update();
        changed += r;
        if (r) ++updated;
        if (e == mResetElem && e->getAlarmState_old() && !e->getAlarmState()) {
            mResetElem = nullptr;
            e->setElemResetFlag(0);
            for (int g = 0; g < mGroupCount; ++g)
                if (mGroups[g].shown && *mGroups[g].shown == e) mGroups[g].shown = nullptr;
        }
    }
    // The others from the cursor on, until more than 20 changed (all of them after a switch).
    int k = 0;
    while (mCount > 0) {
        CDataView* e = element(mCursor);
        if (e && !e->isAlarm()) {
            const int r = e->update();
            changed += r;
            if (r) ++updated;
        }
        if (++mCursor >= mCount) mCursor = 0;
        if (switched_page == 0 && changed > 20) break;
        if (++k >= mCount) break;
    }
    display_elements_updated = updated;
    switched_page = 0;
    return k;
}

void CDispPage::takeResetInput() {
    uint8_t v = 0;
    if (reset_chan) {
        reset_chan->updateData();
        double q = 0;
        reset_chan->getQuantData(q);
        v = disp_roundInt(q) != 0;
        if (!tickMemory.resetOld && v && mResetState == 0) mResetState = 1;
    }
    tickMemory.resetOld = v;
}

void CDispPage::updateGroup(int gi, bool ext, const GuiRect& E, uint8_t& err, uint8_t& resetActive) {
    const int none = mGroupCount;
    ResetGroup& g = mGroups[gi];
    bool anyAlarm = false;
    int n = 0;
    for (int mi = 0; mi < g.count; ++mi) {
        CDataView* e = g.members[mi];
        CDataView** slot = &g.members[mi];
        if (e->getError() == 1) err = 1;
        if (!e->getAlarmState()) {
            if (e->getAlarmStateHidden()) resetActive = 1;
            if (g.shown == slot) g.shown = nullptr;
            continue;
        }
        anyAlarm = true;
        if (!e->isResettable()) continue;
        resetActive = 1;
        if (ext) {
            mResetElem = nullptr;
            mActiveGroup = none;
            if (e->setElemResetFlag(0) && e->getViewIsActive()) redraw(e);
        } else {
            if (mActiveGroup == none) mActiveGroup = gi;
            if (mActiveGroup == gi) {
                ++n;
                if (!mResetElem && (g.shown == slot || !g.shown)) {
                    g.shown = slot;
                    mResetElem = e;
                    if (e->setElemResetFlag(1) && e->getViewIsActive()) redraw(e);
                }
            }
        }
    }
    if (mActiveGroup != none && !mResetElem && n == 0) mActiveGroup = none;
    if (g.count < 2) return;
    if (!anyAlarm) {
        g.ticks = 0;
        return;
    }
    if (mResetState == 0) ++g.ticks;
    if (g.ticks == 15 || !g.members[g.rotation]->getAlarmState())
        rotateGroup(gi, ext, E);
    else
        redrawShown(g, ext, E);
}

void CDispPage::rotateGroup(int gi, bool ext, const GuiRect& E) {
    ResetGroup& g = mGroups[gi];
    g.ticks = 0;
    for (int step = 0; step < g.count; ++step) {
        g.rotation = (g.rotation + 1) % g.count;
        CDataView* m = g.members[g.rotation];
        if (!m->getAlarmState()) continue;
        if (g.shown == &g.members[g.rotation]) return;
        g.shown = &g.members[g.rotation];
        if (gi == mActiveGroup && !ext) {
            if (mResetElem && mResetElem != m && mResetElem->setElemResetFlag(0) &&
                mResetElem->getViewIsActive())
                redraw(mResetElem);
            mResetElem = nullptr;
            if (m->isResettable()) {
                mResetElem = m;
                m->setElemResetFlag(1);
            }
        }
        if (m->getViewIsActive() && (!ext || !checkOverlap(m->mClient, E))) redraw(m);
        return;
    }
}

void CDispPage::redrawShown(ResetGroup& g, bool ext, const GuiRect& E) {
    // A member that blinked back on was drawn over the one kept on top.
    for (int mi = 0; mi < g.count; ++mi) {
        CDataView* m = g.members[mi];
        if (m->getAlarmWasRedrawn() && g.shown != &g.members[mi]) {
            if (g.shown && (*g.shown)->getViewIsActive() && (!ext || !checkOverlap(m->mClient, E)))
                redraw(*g.shown);
            return;
        }
    }
}

void CDispPage::acknowledgeReset(bool ext) {
    if (mResetState == 1) {
        mResetState = 2;
        mResetTicks = 0;
        return;
    }
    if (mResetState != 2 || ++mResetTicks <= 3) return;
    if (!mResetElem)
        syslogx(LOG_DEBUG, "Display: reset alarm acknowledge, ext active %d, has res elem FALSE", ext);
    else if (mResetElem->getType() == ELEM_ALPHANUMERIC && mResetElem->getFormatStr())
        syslogx(LOG_DEBUG,
                "Display: reset alarm acknowledge, ext active %d, has res elem TRUE, #grps %d, reset "
                "group %d, "
                "str '%s'",
                ext, mGroupCount, mActiveGroup, mResetElem->getFormatStr());
    else
        syslogx(LOG_DEBUG,
                "Display: reset alarm acknowledge, ext active %d, has res elem TRUE, #grps %d, reset "
                "group %d",
                ext, mGroupCount, mActiveGroup);
    mResetTicks = 0;
    if (!ext) {
        if (mResetElem) {
            mResetElem->setElemResetFlag(0);
            mActiveGroup = mGroupCount;
            mResetElem->AlarmReset(0);
            mResetElem = nullptr;
        }
    } else {
        ext_alarm.acknowledged = 1;
        displayUpdateExtWnd();
        if (mResetElem && mResetElem->setElemResetFlag(1) && mResetElem->getViewIsActive())
            redraw(mResetElem);
    }
    mResetState = 0;
}

void CDispPage::moveFlashBox() {
    const int L = mClient.left, T = mClient.top;
    if (mFlashDir == 1) {
        if (mFlashX + 5 + 75 > L + 610)
            mFlashDir = 0;
        else
            mFlashX = static_cast<int16_t>(mFlashX + 5);
    } else {
        if (mFlashX - 5 < L + 15)
            mFlashDir = 1;
        else
            mFlashX = static_cast<int16_t>(mFlashX - 5);
    }
    mpFlashBox->Resize(GuiRect(mFlashX, T + 210, mFlashX + 75, T + 240));
    if (mpScreen) mpScreen->Invalidate(mpFlashWnd->mClient);
    mpFlashWnd->Draw();
    MoveToFront(mpFlashWnd, 1);
}

void CDispPage::logTimeouts() {
    bool onMin = false, onMax = false;
    uint16_t tmn = 0, tmx = 0;
    uint32_t all = 0, pids = 0;
    mDm->getStatus(&onMin, &onMax, &tmn, &tmx, &all, &pids);
    disp_online_mn = static_cast<uint8_t>(onMin);
    disp_online_mx = static_cast<uint8_t>(onMax);
    disp_timecnt_mn = tmn;
    disp_timecnt_mx = tmx;
    disp_timeout_all = all;
    disp_timeout_pids = pids;
    TickMemory& o = tickMemory;
    // Channels that time out and come back under load change the status at every page tick.
    static SyslogRateGuard guard;
    auto repeatedly = [] {
        const TickMemory& o = tickMemory;
        if (!syslogx_rateguard(&guard)) return;
        syslogx(LOG_DEBUG,
                "Display: timeout status change %ux repeatedly (0x%X,to %d,tmn %d, tmx %d, omn %d, omx %d)",
                static_cast<unsigned>(o.logTimeoutCnt), o.timeoutPids, static_cast<int>(o.timeoutAll),
                static_cast<int>(o.timecntMin), static_cast<int>(o.timecntMax), o.onlineMin, o.onlineMax);
    };
    const bool same = pids == o.timeoutPids && all == o.timeoutAll && tmn == o.timecntMin &&
                      tmx == o.timecntMax && onMin == o.onlineMin && onMax == o.onlineMax;
    if (same) {
        if (o.logTimeoutCnt) {
            repeatedly();
            o.logTimeoutCnt = 0;
        }
    } else {
        bool logNow = true;
        if (pids == o.timeoutPids && tmn == o.timecntMin && onMin == o.onlineMin && onMax == o.onlineMax) {
            logNow = o.logTimeoutCnt == 0;
            ++o.logTimeoutCnt;
        } else if (o.logTimeoutCnt > 1) {
            repeatedly();
            o.logTimeoutCnt = 1;
        }
        if (o.logTimeoutCnt > 49) {
            repeatedly();
            o.logTimeoutCnt = 1;
        }
        if (logNow && syslogx_rateguard(&guard))
            syslogx(LOG_DEBUG, "Display: timeout status change (0x%X,to %d,tmn %d, tmx %d, omn %d, omx %d)",
                    pids, static_cast<int>(all), tmn, tmx, onMin, onMax);
    }
    o.timeoutPids = pids;
    o.timeoutAll = all;
    o.timecntMin = tmn;
    o.timecntMax = tmx;
    o.onlineMin = onMin;
    o.onlineMax = onMax;
}
