#include "gui/widgets/notebook/notebook.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/slider/slider.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr int NOTEBOOK_FONT_SLOT = 13;
// Tabs that do not all fit leave this much of the tab row to the spin button that scrolls them.
constexpr int NOTEBOOK_SPIN_ROOM = 36;

} // namespace

GuiNotebook::GuiNotebook(const GuiRect& r, unsigned int style, unsigned char numTabs)
    : GuiWindow(r, style), mNumTabs(numTabs), mTextTabs((style & NBS_TEXT_TABS) != 0) {
    mStatus &= static_cast<uint16_t>(~PSF_SIZEABLE);
    mType = TYPE_NOTEBOOK;
    mColors[0] = GUI_FACE;
    mColors[1] = GUI_FACE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_BLACK;
    mSignals = 1u << GSIG_SCROLL;
    MakeTabTable(mNumTabs);
    mppPageClients = GuiNewZeroed<GuiThing*>(mNumTabs);
    if (mNumTabs && !mppPageClients) mNumTabs = 0;
    mpFont = mFontTable[NOTEBOOK_FONT_SLOT];
    if (Visible()) {
        CalculateTabPositions();
        GuiRedraw(this);
    }
}

GuiNotebook::~GuiNotebook() {
    // The page shown is a child and goes with the window; the others are the notebook's alone.
    for (int i = 0; i < mNumTabs; ++i)
        if (mppPageClients[i] && mppPageClients[i]->mpParent != this) delete mppPageClients[i];
    if (mppTabTexts)
        for (int i = 0; i < mNumTabs; ++i)
            std::free(mppTabTexts[i]);
    delete[] mppTabTexts;
    delete[] mppTabClients;
    delete[] mppPageClients;
}

void GuiNotebook::MakeTabTable(int n) {
    if (mTextTabs)
        mppTabTexts = GuiNewZeroed<char*>(n);
    else
        mppTabClients = GuiNewZeroed<GuiThing*>(n);
}

void GuiNotebook::SetTabString(unsigned char tab, const char* text) {
    if (!mTextTabs || tab >= mNumTabs || !mppTabTexts) return;
    std::free(mppTabTexts[tab]);
    mppTabTexts[tab] = GuiCopyText(text);
}

void GuiNotebook::SetTabClient(unsigned char tab, GuiThing* client) {
    if (mTextTabs || tab >= mNumTabs || !mppTabClients) return;
    GuiThing* old = mppTabClients[tab];
    if (old == client) return; // destroying it would leave the table pointing at a freed object
    if (old) {
        Remove(old, 1);
        Destroy(old);
    }
    mppTabClients[tab] = client;
    if (!client) return;
    client->Id(static_cast<uint16_t>(tab + 1));
    client->mStatus = static_cast<uint16_t>((client->mStatus | PSF_NONCLIENT) & ~PSF_SELECTABLE);
    Add(client, 1);
}

GuiThing* GuiNotebook::GetTabClient(unsigned char tab) {
    return !mTextTabs && tab < mNumTabs && mppTabClients ? mppTabClients[tab] : nullptr;
}

void GuiNotebook::SetPageClient(unsigned char tab, GuiThing* client) {
    if (tab >= mNumTabs) return;
    GuiThing* old = mppPageClients[tab];
    if (old == client) return;
    if (old) {
        Remove(old, client ? 0 : 1);
        Destroy(old);
    }
    mppPageClients[tab] = client;
    if (tab == mCurrentTab && Visible() && client) AddCurrentPageClient(1);
}

GuiThing* GuiNotebook::GetPageClient(unsigned char tab) {
    return tab < mNumTabs ? mppPageClients[tab] : nullptr;
}

GuiThing* GuiNotebook::RemovePageClient(unsigned char tab) {
    if (tab >= mNumTabs) return nullptr;
    GuiThing* page = mppPageClients[tab];
    if (!page) return nullptr;
    mppPageClients[tab] = nullptr;
    if (page->mpParent == this) Remove(page, 1);
    return page;
}

void GuiNotebook::CalculateTabPositions() {
    int w = -1, h = -1;
    for (int i = 0; i < mNumTabs; ++i) {
        if (mTextTabs) {
            if (mppTabTexts && mppTabTexts[i]) {
                const int tw = GuiTextWidthOf(mppTabTexts[i], mpFont);
                if (tw > w) w = tw;
            }
        } else if (mppTabClients && mppTabClients[i]) {
            if (mppTabClients[i]->mReal.Width() > w) w = mppTabClients[i]->mReal.Width();
            if (mppTabClients[i]->mReal.Height() > h) h = mppTabClients[i]->mReal.Height();
        }
    }
    if (mTextTabs) h = GuiFontHeight(mpFont);
    mTabWidth = w + 12;
    mTabHeight = h + 6;
    GuiWindow::InitClient();
    if (Top())
        mClient.top = GuiClamp16(static_cast<int64_t>(mReal.top) + mTabHeight + (Thick() ? 4 : 2));
    else
        mClient.bottom = GuiClamp16(static_cast<int64_t>(mReal.bottom) - mTabHeight - (Thick() ? 5 : 3));
    const int clientWidth = mClient.Width();
    int visible = (clientWidth - 4) / mTabWidth;
    if (visible < mNumTabs) {
        const GuiRect spin =
            Top() ? GuiClampRect(mReal.right - 34, mClient.top - 19, mReal.right - 2, mClient.top - 3)
                  : GuiClampRect(mReal.right - 34, mClient.bottom + 3, mReal.right - 2, mClient.bottom + 19);
        if (!mpSpin) {
            mpSpin = new (std::nothrow) GuiSpinButton(spin, NOTEBOOK_SPIN_ID, SPS_ENABLED);
            if (mpSpin) {
                mpSpin->mStatus |= PSF_NONCLIENT;
                Add(mpSpin, 1);
            }
        } else {
            mpSpin->Resize(spin);
        }
        visible = (clientWidth - NOTEBOOK_SPIN_ROOM) / mTabWidth;
    } else if (mpSpin) {
        GuiThing* spin = mpSpin;
        mpSpin = nullptr;
        Destroy(spin);
    }
    mVisibleTabs = static_cast<uint8_t>(visible < 0 ? 0 : visible > 255 ? 255 : visible);
    if (mTextTabs || !mppTabClients) return;
    for (int i = 0; i < mNumTabs; ++i) {
        GuiThing* c = mppTabClients[i];
        if (!c) continue;
        const int64_t left =
            static_cast<int64_t>(mReal.left) + static_cast<int64_t>(i - mFirstVisibleTab) * mTabWidth + 6;
        const int64_t right = left - 7 + mTabWidth;
        if (Top())
            c->Resize(
                GuiClampRect(left, mReal.top + 3, right, static_cast<int64_t>(mReal.top) - 4 + mTabHeight));
        else
            c->Resize(GuiClampRect(left, static_cast<int64_t>(mReal.bottom) - 3 - mTabHeight + 7, right,
                                   mReal.bottom - 3));
    }
}

void GuiNotebook::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    DrawFrame(1);
    DrawTabs(0);
    DrawTabs(1);
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiNotebook::DrawFrame(int) {
    if (!mpScreen) return;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    const int w = Thick() ? 5 : 2, e = Thick() ? 4 : 2;
    const GuiRect& c = mClient;
    const GuiColor frame(GUI_FACE, mColors[0], GUI_COLOR_FILL);
    if (Top()) {
        mpScreen->Rectangle(this, GuiRect(L, c.top - w, R, B), frame, w);
        GuiFill(this, GuiRect(L, T, R, c.top - w - 1), mColors[0]);
        GuiStroke(this, L + 1, c.top - e, L + 1, B, GUI_WHITE);
        GuiStroke(this, L + 1, c.top - e, R - 1, c.top - e, GUI_WHITE);
        GuiStroke(this, R - 1, c.top - e + 1, R - 1, B - 1, GUI_SHADOW);
        GuiStroke(this, L + 1, B - 1, R - 1, B - 1, GUI_SHADOW);
        GuiStroke(this, R, c.top - e, R, B, GUI_BLACK);
        GuiStroke(this, L, B, R, B, GUI_BLACK);
    } else {
        mpScreen->Rectangle(this, GuiRect(L, T, R, c.bottom + w), frame, w);
        GuiFill(this, GuiRect(L, c.bottom + w + 1, R, B), mColors[0]);
        GuiStroke(this, L + 1, T + 1, L + 1, c.bottom + e, GUI_WHITE);
        GuiStroke(this, L + 1, T + 1, R - 1, T + 1, GUI_WHITE);
        GuiStroke(this, R - 1, T + 1, R - 1, c.bottom + e, GUI_SHADOW);
        GuiStroke(this, L + 1, c.bottom + e - 1, R - 1, c.bottom + e - 1, GUI_SHADOW);
        GuiStroke(this, R, T, R, c.bottom + e, GUI_BLACK);
        GuiStroke(this, L + 1, c.bottom + e, R, c.bottom + e, GUI_BLACK);
    }
    if (Thick()) {
        GuiStroke(this, c.left - 1, c.top - 1, c.right + 1, c.top - 1, GUI_SHADOW);
        GuiStroke(this, c.left - 1, c.top, c.left - 1, c.bottom + 1, GUI_SHADOW);
        GuiStroke(this, c.left - 1, c.bottom + 2, c.right + 1, c.bottom + 2, GUI_WHITE);
        GuiStroke(this, c.right + 2, c.top, c.right + 2, c.bottom + 1, GUI_WHITE);
    }
}

void GuiNotebook::DrawTabs(int selected) {
    if (!mpScreen || !mNumTabs || mTabWidth <= 0) return;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    GuiRect slot =
        Top() ? GuiClampRect(L + 2, T + 1, L + 1 + mTabWidth, static_cast<int64_t>(T) + mTabHeight)
              : GuiClampRect(L + 2, static_cast<int64_t>(B) - 3 - mTabHeight + 1, L + 1 + mTabWidth, B - 3);
    const GuiRect saved = mClip;
    GuiRect strip = slot;
    strip += 1;
    strip.right = static_cast<int16_t>(mpSpin ? R - NOTEBOOK_SPIN_ROOM : R - 2);
    mClip &= strip;
    const uint32_t bg = selected ? mColors[1] : mColors[0];
    const uint32_t ink = selected ? mColors[3] : mColors[2];
    if (!selected) slot -= 2;
    const bool focus = mpPresentation && mpPresentation->GetCurrentThing() == this;
    for (int i = mFirstVisibleTab; i < mNumTabs && slot.left < mClip.right; ++i, slot.Shift(mTabWidth, 0)) {
        if ((i == mCurrentTab) != (selected != 0)) continue;
        const int l = slot.left, t = slot.top, r = slot.right, b = slot.bottom;
        GuiFill(this, slot, bg);
        if (Top()) {
            GuiStroke(this, l + 1, t - 1, r + 1, t - 1, GUI_WHITE);
            GuiStroke(this, l - 1, t + 1, l - 1, b, GUI_WHITE);
            GuiStroke(this, l, t, l, t, GUI_WHITE);
            GuiStroke(this, r + 1, t - 1, r + 1, b, GUI_SHADOW);
            GuiStroke(this, r + 2, t, r + 2, b, GUI_BLACK);
        } else {
            GuiStroke(this, l - 1, t, l - 1, b, GUI_WHITE);
            GuiStroke(this, r + 1, t, r + 1, b, GUI_SHADOW);
            GuiStroke(this, l, b + 1, r + 1, b + 1, GUI_SHADOW);
            GuiStroke(this, r + 2, selected ? t + 1 : t, r + 2, b + 1, GUI_BLACK);
            GuiStroke(this, l + 1, b + 2, r + 2, b + 2, GUI_BLACK);
        }
        const char* text = mTextTabs && mppTabTexts ? mppTabTexts[i] : nullptr;
        if (text) {
            GuiColor c(ink, bg);
            const int x = (l + r) / 2 - GuiTextWidthOf(text, mpFont) / 2;
            mpScreen->DrawText(this, GuiPoint(x, t + (Top() ? 2 : 1)), text, c, mpFont);
        }
        if (selected && focus) {
            GuiRect f = slot;
            f -= 1;
            mpScreen->Rectangle(this, f, GuiColor(GUI_SHADOW, 0), 1);
        }
    }
    mClip = saved;
}

void GuiNotebook::SelectTab(unsigned char tab) {
    if (tab >= mNumTabs || tab == mCurrentTab) return;
    const int firstBefore = mFirstVisibleTab;
    if (mpSpin && mTabWidth > 0) {
        const int64_t right = static_cast<int64_t>(mReal.left) + 1 +
                              static_cast<int64_t>(tab - mFirstVisibleTab + 1) * mTabWidth;
        if (right >= mpSpin->mReal.left) {
            const int first = tab - (mpSpin->mReal.left - mReal.left) / mTabWidth + 1;
            mFirstVisibleTab = static_cast<uint8_t>(first < 0 ? 0 : first);
        } else if (tab < mFirstVisibleTab) {
            mFirstVisibleTab = tab;
        }
    }
    if (GuiThing* old = mppPageClients[mCurrentTab])
        if (old->mpParent == this) Remove(old, 0);
    mCurrentTab = tab;
    // The tab clients follow a scrolled row.
    if (mFirstVisibleTab != firstBefore && !mTextTabs) CalculateTabPositions();
    AddCurrentPageClient(0);
    if (!Visible()) return;
    GuiRedraw(this);
    if (mId && mpParent && mpMessageQueue) {
        GuiMessage m(static_cast<uint16_t>(128 + 16 * mId + GSIG_SCROLL), mpParent, this, mId);
        m.payload.l = tab;
        mpMessageQueue->Push(&m);
    }
}

void GuiNotebook::AddCurrentPageClient(int redraw) {
    if (mCurrentTab >= mNumTabs) return;
    GuiThing* page = mppPageClients[mCurrentTab];
    if (!page) return;
    GuiRect r = mClient;
    r -= 4;
    if (page->mReal != r) page->Resize(r);
    Add(page, redraw);
}

int GuiNotebook::CheckTabClick(GuiPoint p) {
    if (Top() ? p.y >= mClient.top : p.y <= mClient.bottom) return 0;
    if (mTabWidth <= 0 || p.x < mReal.left) return 0;
    const int tab = mFirstVisibleTab + (p.x - mReal.left) / mTabWidth;
    if (tab >= mNumTabs || tab == mCurrentTab) return 0;
    SelectTab(static_cast<unsigned char>(tab));
    return 1;
}

void GuiNotebook::RedrawTabs() {
    if (!mTextTabs) CalculateTabPositions();
    if (!Visible() || !mpScreen) return;
    mpScreen->Invalidate(
        Top() ? GuiClampRect(mReal.left, mReal.top, mReal.right, static_cast<int64_t>(mReal.top) + mTabHeight)
              : GuiClampRect(mReal.left, static_cast<int64_t>(mReal.bottom) - mTabHeight - 2, mReal.right,
                             mReal.bottom));
    Draw();
}

int GuiNotebook::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_LBUTTON_DOWN:
        CheckTabClick(msg.payload.point);
        return 0;
    case 128 + 16 * NOTEBOOK_SPIN_ID + GSIG_SCROLL:
        if (mFirstVisibleTab + mVisibleTabs < mNumTabs) {
            ++mFirstVisibleTab;
            RedrawTabs();
        }
        return 0;
    case 128 + 16 * NOTEBOOK_SPIN_ID + GSIG_SLIDE:
        if (mFirstVisibleTab > 0) {
            --mFirstVisibleTab;
            RedrawTabs();
        }
        return 0;
    case GM_RESIZE: {
        if (mCurrentTab < mNumTabs)
            if (GuiThing* page = mppPageClients[mCurrentTab])
                if (page->mpParent == this) Remove(page, 0);
        const int r = GuiWindow::Message(msg);
        AddCurrentPageClient(0);
        if (Visible() && mpParent) GuiRedraw(mpParent);
        return r;
    }
    case GM_SHOW: {
        CalculateTabPositions();
        const int r = GuiWindow::Message(msg);
        AddCurrentPageClient(0);
        return r;
    }
    default:
        return GuiWindow::Message(msg);
    }
}

void GuiNotebook::FreeTabClients(int from) {
    if (!mppTabClients) return;
    for (int i = from; i < mNumTabs; ++i)
        if (GuiThing* c = mppTabClients[i]) {
            mppTabClients[i] = nullptr;
            Remove(c, 1);
            Destroy(c);
        }
}

void GuiNotebook::ResetNumTabs(unsigned char n) {
    if (mCurrentTab < mNumTabs)
        if (GuiThing* page = mppPageClients[mCurrentTab])
            if (page->mpParent == this) Remove(page, 1);
    GuiThing** pages = GuiNewZeroed<GuiThing*>(n);
    char** texts = mTextTabs ? GuiNewZeroed<char*>(n) : nullptr;
    GuiThing** clients = mTextTabs ? nullptr : GuiNewZeroed<GuiThing*>(n);
    if (n && (!pages || (mTextTabs ? !texts : !clients))) {
        delete[] pages;
        delete[] texts;
        delete[] clients;
        AddCurrentPageClient(0);
        return;
    }
    for (int i = 0; i < mNumTabs; ++i) {
        if (i < n) {
            pages[i] = mppPageClients[i];
            if (texts) texts[i] = mppTabTexts ? mppTabTexts[i] : nullptr;
            if (clients) clients[i] = mppTabClients ? mppTabClients[i] : nullptr;
            continue;
        }
        delete mppPageClients[i];
        if (mppTabTexts) std::free(mppTabTexts[i]);
    }
    // Tab clients of the tabs that go would stay children without a tab: they go too.
    FreeTabClients(n);
    delete[] mppPageClients;
    delete[] mppTabTexts;
    delete[] mppTabClients;
    mppPageClients = pages;
    mppTabTexts = texts;
    mppTabClients = clients;
    mNumTabs = n;
    mCurrentTab = 0;
    mFirstVisibleTab = 0;
    CalculateTabPositions();
    AddCurrentPageClient(0);
    if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
}

void GuiNotebook::ResetTabStyle(unsigned int style) {
    const bool text = (style & NBS_TEXT_TABS) != 0;
    if (text == mTextTabs) return;
    if (text) {
        FreeTabClients(0);
        delete[] mppTabClients;
        mppTabClients = nullptr;
    } else {
        if (mppTabTexts)
            for (int i = 0; i < mNumTabs; ++i)
                std::free(mppTabTexts[i]);
        delete[] mppTabTexts;
        mppTabTexts = nullptr;
    }
    mTextTabs = text;
    MakeTabTable(mNumTabs);
}

void GuiNotebook::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    if (!Visible()) return;
    CalculateTabPositions();
    GuiRedraw(this);
}
