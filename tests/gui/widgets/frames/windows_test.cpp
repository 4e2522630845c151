// Status and tool bars, decorated windows and dialogs, message windows.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/dialog/dialog.h"
#include "gui/widgets/msgwin/msgwin.h"
#include "gui/widgets/statusbar/statusbar.h"
#include "gui/widgets/textbox/textbox.h"
#include "gui/widgets/title/title.h"
#include "gui/widgets/toolbar/toolbar.h"
#include "gui/widgets/widget_fixture.h"

#include <string>

namespace {

struct Windows : widgettest::WidgetTest {
    GuiDecoratedWindow* window(unsigned style) {
        auto* w = new GuiDecoratedWindow(GuiRect(100, 50, 499, 349), style);
        owner->Add(w, 1);
        return w;
    }
};

TEST_F(Windows, AStatusBarGivesBackAllTheRoomItTookAndLinesUpItsFields) {
    GuiDecoratedWindow* w = window(FF_THIN);
    const int bottom = w->mClient.bottom;
    for (int cycle = 0; cycle < 3; ++cycle) {
        auto* bar = new GuiStatusBar;
        w->Add(bar, 1);
        EXPECT_EQ(w->mClient.bottom, bottom - bar->mReal.Height());
        w->Remove(bar, 1);
        EXPECT_EQ(w->mClient.bottom, bottom) << "cycle " << cycle;
        delete bar;
    }
    auto* title = new GuiTitle("t", 0);
    owner->Add(title, 0);
    const int top = w->mClient.top;
    w->Add(title, 1); // already a child elsewhere: the client area stays
    EXPECT_EQ(w->mClient.top, top);
    auto* bar = new GuiStatusBar; // its fields line up; only an existing one changes
    window(FF_THICK)->Add(bar, 1);
    GuiPrompt* one = bar->AddTextField(100, 1, "one");
    GuiPrompt* two = bar->AddTextField(50, 2, "two");
    bar->SizeToParent();
    EXPECT_EQ(std::tuple(two->mReal.left, two->mReal.right, bar->mClient.right),
              std::tuple(one->mReal.right + 3, bar->mReal.right - 17, bar->mReal.right - 16));
    flush(); // the grip takes the corner
    const int gx = bar->mReal.right - gbDragBitmap.width + 1, gy = bar->mReal.bottom - gbDragBitmap.height;
    bool gripDrawn = false;
    for (int y = gy; y <= bar->mReal.bottom; ++y)
        for (int x = gx; x <= bar->mReal.right; ++x)
            gripDrawn |= shownAt(x, y) != GUI_FACE;
    EXPECT_TRUE(gripDrawn);
    const int invalid = screen->InvalidCount();
    bar->SetTextField(99, const_cast<char*>("none"));
    EXPECT_EQ(screen->InvalidCount(), invalid);
    bar->SetTextField(2, const_cast<char*>("2"));
    EXPECT_STREQ(two->DataGet(), "2");
}

TEST_F(Windows, APressBesideTheGripIsAPressOnTheWindowAndOnItStartsSizing) {
    auto* host = new widgettest::Recorder(GuiRect(100, 50, 499, 349), FF_THICK);
    owner->Add(host, 1);
    auto* bar = new GuiStatusBar;
    host->Add(bar, 1);
    post(GM_LBUTTON_DOWN, bar->mReal.left + 5, bar->mReal.top + 5);
    EXPECT_EQ(host->count(GM_LBUTTON_DOWN), 1);
    post(GM_LBUTTON_UP, bar->mReal.left + 5, bar->mReal.top + 5);
    post(GM_POINTER_MOVE, bar->mReal.right - 2, bar->mReal.bottom - 2);
    post(GM_LBUTTON_DOWN, bar->mReal.right - 2, bar->mReal.bottom - 2);
    ASSERT_NE(host->last(GM_MOVE_SIZE), nullptr);
    EXPECT_EQ(host->last(GM_MOVE_SIZE)->data, WBP_BOTTOM_RIGHT);
    post(GM_LBUTTON_UP, bar->mReal.right - 2, bar->mReal.bottom - 2);
}

TEST_F(Windows, ToolBarPanelsLineUpTheirChildren) {
    auto* panel = new GuiToolBarPanel(1);
    panel->AddToEnd(new GuiThing(GuiRect(0, 0, 29, 19)), 0);
    EXPECT_EQ(std::tuple(panel->mReal.Height(), panel->First()->mReal.left),
              std::tuple(23, panel->mReal.left + 10));
    GuiDecoratedWindow* w = window(FF_THICK);
    auto* title = new GuiTitle("t", 0);
    w->Add(title, 0);
    auto* bar = new GuiToolBar(2);
    bar->AddPanel(panel, 0);
    bar->AddPanel(panel, 0);
    w->Add(bar, 1);
    int panels = 0;
    for (GuiThing* c = bar->First(); c; c = c->Next())
        ++panels;
    EXPECT_EQ(std::tuple(panels, bar->mReal.top), std::tuple(1, w->mReal.top + 4 + title->mReal.Height()));
}

// ---- dialogs --------------------------------------------------------------------------------

// A dialog reports the button id (37), a message window the clicked signal's type (36), while it
// still stands; a closing button then destroys it, unless the owner's handler destroyed it or the
// page holding it.
TEST_F(Windows, ButtonsReportToTheOwnerWhileTheWindowStandsAndThenCloseIt) {
    const struct {
        bool dialog;
        uint16_t id, type;
        int data;
        bool closes;
    } cases[] = {
        {true, 1002, 37, 1002, true},   {true, 1004, 37, 1004, false},  {true, 1007, 37, 1007, true},
        {false, 1002, 36, 16164, true}, {false, 1006, 36, 16228, true}, {false, 1003, 36, 16180, true},
    };
    for (const auto& c : cases)
        for (int kill = 0; kill < 3; ++kill) { // by the owner's handler: 0 nothing, 1 the window, 2 its page
            auto* page = new GuiWindow(GuiRect(150, 80, 700, 400), FF_THIN);
            owner->Add(page, 1);
            const GuiRect r(200, 100, 499, 299);
            GuiWindow* w;
            if (c.dialog) {
                w = new GuiDialog(r, "Dialog", owner, FF_THICK);
                w->Add(new GuiTextButton(GuiRect(220, 250, 300, 275), "b", c.id), 0);
            } else {
                w = new GuiMessageWindow(r, nullptr, "Save?", MW_OK | MW_YES | MW_CANCEL, nullptr, owner);
            }
            page->Add(w, 1);
            int heard = 0;
            owner->on = [&](const GuiMessage& m) {
                if (m.type != c.type) return;
                EXPECT_EQ(std::tuple(m.data, m.source, w->Parent()), std::tuple(c.data, w, page));
                ++heard;
                if (kill) owner->Destroy(kill == 1 ? static_cast<GuiThing*>(w) : page);
            };
            clickIn(w->Find(c.id, 0));
            owner->on = nullptr;
            EXPECT_EQ(heard, 1) << "button " << c.id << ", kill " << kill;
            if (kill == 0) {
                EXPECT_EQ(page->First() == nullptr, c.closes) << "button " << c.id;
            }
            if (kill != 2) owner->Destroy(page);
            owner->got.clear();
        }
    GuiDialog plain(GuiRect(0, 0, 99, 99), nullptr, nullptr, FF_THIN);
    EXPECT_EQ(std::tuple(plain.Title(), plain.Status() & PSF_MOVEABLE), std::tuple(nullptr, 0));
}

TEST_F(Windows, TheTitleCloseButtonEndsAModalDialog) {
    auto* d = new GuiDialog(GuiRect(200, 100, 499, 299), "Dialog", nullptr, FF_THICK);
    owner->Add(d, 1);
    GuiThing* close = d->Title()->CloseButton();
    for (uint16_t type : {GM_LBUTTON_DOWN, GM_LBUTTON_UP}) {
        GuiMessage m(type);
        m.payload.point = GuiPoint(close->mReal.left + 3, close->mReal.top + 3);
        GuiThing::mpMessageQueue->Push(&m);
    }
    EXPECT_EQ(d->Execute(0), GUI_ID_CLOSE);
}

// ---- message windows ------------------------------------------------------------------------

TEST_F(Windows, MessageWindowButtonsShareOneWidthInStyleOrder) {
    GuiMessageWindow w(GuiRect(0, 0, 399, 199), nullptr, "text", MW_OK | MW_CANCEL, nullptr, nullptr);
    auto* ok = static_cast<GuiTextButton*>(w.Find(GUI_ID_OK, 0));
    auto* cancel = static_cast<GuiTextButton*>(w.Find(GUI_ID_CANCEL, 0));
    ASSERT_TRUE(ok && cancel);
    EXPECT_EQ(
        std::tuple(std::string(ok->DataGet()), std::string(cancel->DataGet()), ok->mReal.Width(),
                   cancel->mReal.left - ok->mReal.left),
        std::tuple(std::string("OK"), std::string("Cancel"), cancel->mReal.Width(), w.ButtonWidth() + 8));
    EXPECT_EQ(w.ButtonWidth(), GuiTextWidthOf("Cancel", GuiTextThing::mFontTable[3]) + 8);
}

// The row (n buttons of one width, 8 apart) is centred in the client width, whatever the frame takes;
// it ends 4 above the client bottom and is the button font's height + 6 high (multi-line: its top
// 16 + that height above the client bottom).
TEST_F(Windows, MessageWindowButtonRowsAreCentredInTheClientArea) {
    const GuiFont* font = GuiTextThing::mFontTable[3];
    const int fh = GuiFontHeight(font), bw = GuiTextWidthOf("Cancel", font) + 8;
    for (uint16_t frame : {FF_NONE, FF_THIN, FF_RAISED, FF_THICK})
        for (bool multi : {false, true}) {
            const GuiRect r(10, 20, 409, 219);
            const uint16_t style = frame | MW_OK | MW_YES | MW_CANCEL;
            GuiWindow* w =
                multi
                    ? static_cast<GuiWindow*>(new GuiMLMessageWindow(r, "T", "text", style, nullptr, nullptr))
                    : new GuiMessageWindow(r, "T", "text", style, nullptr, nullptr);
            const GuiRect c = w->mClient;
            const int left = c.left + (c.Width() - (3 * bw + 16)) / 2,
                      top = c.bottom - fh - (multi ? 16 : 10);
            int i = 0;
            for (uint16_t id : {GUI_ID_OK, GUI_ID_YES, GUI_ID_CANCEL}) {
                const int x = left + i++ * (bw + 8);
                EXPECT_EQ(w->Find(id, 0)->mReal, GuiRect(x, top, x + bw, c.bottom - 4))
                    << "frame " << frame << (multi ? " multi-line" : "") << " button " << id;
            }
            delete w;
        }
}

TEST_F(Windows, MessageWindowsSizeThemselves) {
    GuiMessageWindow bare(nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(bare.mReal.Width(), 81);
    const int textWidth = GuiTextWidthOf("Hi", GuiTextThing::mFontTable[14]) + 16;
    GuiBitmap icon = gbWinIconBitmap;
    icon.width = 200;
    GuiMessageWindow wide(nullptr, "Hi", 0, &icon, nullptr);
    EXPECT_EQ(wide.mReal.Width(), textWidth + 200 + 24 + 1);
    const char* longText = "many words that need more than one line of this narrow box to show, and more";
    GuiMLMessageWindow small(nullptr, "x", MW_OK, nullptr, nullptr);
    GuiMLMessageWindow tall(nullptr, longText, MW_OK, nullptr, nullptr);
    const int step = GuiFontHeight(GuiTextThing::mFontTable[14]) + 3;
    const int grown = tall.mReal.Height() - small.mReal.Height();
    EXPECT_GT(grown, 0);
    EXPECT_EQ(grown % step, 0);
    EXPECT_GE(tall.TextBox()->mReal.Height(), tall.TextBox()->TotalLines() * tall.TextBox()->LineHeight());
}

} // namespace
