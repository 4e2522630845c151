// Menus, the title bar and its system menu.
#include "gui/controls/button/button.h"
#include "gui/core/util.h"
#include "gui/fonts/fonts.h"
#include "gui/widgets/dialog/dialog.h"
#include "gui/widgets/menu/menu.h"
#include "gui/widgets/title/title.h"
#include "gui/widgets/widget_fixture.h"

#include <algorithm>
#include <string>

namespace {

const GuiMenuDescription kOptions[] = {
    {"Alpha", 21, MIS_ENABLED | MIS_RADIO | MIS_DOTTED, nullptr},
    {"Beta", 22, MIS_ENABLED | MIS_RADIO, nullptr},
    {nullptr, 0, MIS_SEPARATOR, nullptr},
    {"Gamma", 23, MIS_ENABLED | MIS_RADIO | MIS_DOTTED, nullptr},
    {"Check", 24, MIS_ENABLED | MIS_CHECK, nullptr},
    {"Locked", 25, MIS_CHECK, nullptr},
    {"Fixed", 26, MIS_RADIO, nullptr},
    {"Silent", 0, MIS_ENABLED, nullptr},
    {nullptr, 0, 0, nullptr},
};
const GuiMenuDescription kBar[] = {
    {"Options", 20, MIS_ENABLED, kOptions},
    {"Plain", 30, MIS_ENABLED, nullptr},
    {nullptr, 0, 0, nullptr},
};
const GuiMenuDescription kEmpty[] = {{nullptr, 0, 0, nullptr}};

struct Menus : widgettest::WidgetTest {
    widgettest::Recorder* win = nullptr;
    GuiMenuBar* bar = nullptr;
    void SetUp() override {
        WidgetTest::SetUp();
        win = new widgettest::Recorder(GuiRect(100, 50, 499, 349), FF_THIN);
        bar = new GuiMenuBar(kBar);
        win->Add(bar, 0);
        desk->Add(win, 1);
    }
    GuiMenuButton* item(const char* text) { return bar->FindButton(text); }
    int signals(uint16_t id, int signal) { return win->count(static_cast<uint16_t>(128 + 16 * id + signal)); }
    void openOptions() { clickIn(item("Options")); }
};

TEST_F(Menus, ChoosingItemsTogglesAndDotsAndSignalsTheOwner) {
    openOptions();
    ASSERT_TRUE(item("Alpha")->Visible());
    clickIn(item("Check"));
    EXPECT_TRUE(item("Check")->IsChecked());
    EXPECT_FALSE(item("Alpha")->Visible()) << "the choice closes the menu";
    openOptions();
    clickIn(item("Beta"));
    openOptions();
    clickIn(item("Check"));
    openOptions();
    clickIn(item("Silent"));
    EXPECT_EQ(std::tuple(signals(24, 8), signals(24, 9), signals(22, 10), signals(21, 11),
                         item("Alpha")->IsDotted(), item("Beta")->IsDotted(), item("Gamma")->IsDotted(),
                         item("Check")->IsChecked()),
              std::tuple(1, 1, 1, 0, false, true, true, false))
        << "the radio group ends at the separator; undotting sends nothing";
    EXPECT_EQ(win->count(128 + 4), 0) << "an item without id sends nothing";
}

TEST_F(Menus, DisabledCheckAndRadioItemsIgnoreThePointer) {
    openOptions();
    for (GuiMenuButton* b : {item("Locked"), item("Fixed")}) {
        send(b, GM_LBUTTON_DOWN);
        send(b, GM_LBUTTON_UP);
    }
    drain();
    EXPECT_EQ(
        std::tuple(item("Locked")->IsChecked(), item("Fixed")->IsDotted(), signals(25, 8), signals(26, 10)),
        std::tuple(false, false, 0, 0));
}

// A bar item without a menu only toggles the flyover mode; an empty table builds no items.
TEST_F(Menus, ABarItemWithoutMenuOnlyTogglesFlyoverAndAnEmptyTableBuildsNothing) {
    clickIn(item("Plain"));
    EXPECT_EQ(std::tuple(bar->InFlyoverMode(), signals(30, 4)), std::tuple(1, 0));
    GuiMenuBar emptyBar(kEmpty);
    GuiMenu emptyMenu(kEmpty, 0);
    EXPECT_EQ(std::tuple(emptyBar.First(), emptyMenu.First()), std::tuple(nullptr, nullptr));
}
// An item is its text's width + 8 wide, 32 more in a menu, and the font's height + 2 high (a
// separator 6); a menu is the widest item + 6 wide and each item + 1 and 6 more high (edges
// inclusive); bar items start 4 beyond the one before, 2 in from the bar.
TEST_F(Menus, ItemsMenusAndTheBarTakeTheSizesOfTheirTexts) {
    openOptions();
    GuiMenu* menu = item("Options")->SubMenu();
    ASSERT_TRUE(menu && menu->Visible());
    int widest = 0, height = 0;
    for (const GuiMenuDescription* d = kOptions; d->id || d->style; ++d) {
        const int w = d->text ? screen->TextWidth(d->text, &MenuFont) : 0,
                  h = d->text ? MenuFont.height + 2 : 6;
        widest = std::max(widest, w);
        height += h + 1;
        if (!d->text) continue;
        EXPECT_EQ(std::tuple(item(d->text)->GetMinSize(TYPE_MENU), item(d->text)->GetMinSize(TYPE_MENU_BAR)),
                  std::tuple(GuiRect(0, 0, w + 40, h), GuiRect(0, 0, w + 8, h)))
            << d->text;
    }
    EXPECT_EQ(std::tuple(menu->mReal.Width(), menu->mReal.Height()), std::tuple(widest + 47, height + 7));
    const int options = screen->TextWidth("Options", &MenuFont),
              plain = screen->TextWidth("Plain", &MenuFont);
    EXPECT_EQ(std::tuple(item("Options")->mReal.left, item("Options")->mReal.right, item("Plain")->mReal.left,
                         item("Plain")->mReal.right),
              std::tuple(bar->mReal.left + 6, bar->mReal.left + 6 + options + 9,
                         bar->mReal.left + options + 19, bar->mReal.left + options + 19 + plain + 9));
}

TEST_F(Menus, SubMenusStayOnTheScreen) {
    const GuiMenuDescription sub[] = {{"One", 41, MIS_ENABLED, nullptr},
                                      {"Two", 42, MIS_ENABLED, nullptr},
                                      {"Three", 43, MIS_ENABLED, nullptr},
                                      {nullptr, 0, 0, nullptr}};
    const GuiMenuDescription parent[] = {{"More", 40, MIS_ENABLED, sub}, {nullptr, 0, 0, nullptr}};
    auto* menu = new GuiMenu(parent, 0);
    const GuiRect size = menu->GetMinSize();
    GuiMessage r(GM_RESIZE, menu);
    r.payload.rect = GuiRect(1024 - size.Width(), 480 - size.Height(), 1023, 479);
    menu->Message(r);
    pm->Add(menu, 1);
    auto* more = static_cast<GuiMenuButton*>(menu->First());
    send(more, GM_POINTER_ENTER);
    GuiMenu* opened = more->SubMenu();
    ASSERT_TRUE(opened && opened->Visible());
    // Moved left by the button's width, its own and one: it ends left of the button.
    EXPECT_EQ(opened->mReal.right, more->mReal.left - 3);
    EXPECT_EQ(opened->mReal.bottom, 479 - 1) << "moved up to one pixel above the screen's bottom";
    pm->Remove(menu, 1);
    delete menu; // the open sub-menu goes with its button
    for (GuiThing* c = pm->First(); c; c = c->Next())
        EXPECT_NE(c->mType, TYPE_MENU) << "a shown sub-menu left behind";
}

// ---- title ----------------------------------------------------------------------------------

TEST_F(Menus, TitleButtonsLeaveTheClientAreaTheirRoom) {
    const struct {
        uint16_t style;
        int clientFromRight;
    } cases[] = {{0, 4}, {TS_CLOSE, 21}, {TS_CLOSE | TS_MIN_MAX, 4 + 17 + 17 + 16}};
    for (const auto& c : cases) {
        GuiTitle t("t", c.style);
        GuiMessage m(GM_RESIZE, &t);
        m.payload.rect = GuiRect(0, 0, 300, 18);
        t.Message(m);
        EXPECT_EQ(300 - t.mClient.right, c.clientFromRight) << "style " << c.style;
    }
    GuiTitle bare("t", 0);
    EXPECT_EQ(std::tuple(bare.SystemMenu(), bare.CloseButton(), bare.MaxButton(), bare.First()),
              std::tuple(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Menus, TheSystemMenuDisablesWhatTheTitleLacks) {
    GuiTitle t("t", TS_SYSTEM_MENU);
    for (const char* text : {GUISC_CLOSE, GUISC_MINIMIZE, GUISC_MAXIMIZE})
        EXPECT_FALSE(t.SystemMenu()->FindButton(text)->Enabled()) << text;
    GuiTitle all("t", TS_SYSTEM_MENU | TS_CLOSE | TS_MIN_MAX);
    EXPECT_TRUE(all.SystemMenu()->FindButton(GUISC_MAXIMIZE)->Enabled());
}

TEST_F(Menus, TheTitleHeightFollowsTheFontAndIsAtLeast18) {
    GuiFont small = *GuiTextThing::mFontTable[1], large = small;
    small.height = 10;
    small.next = large.next = nullptr;
    large.height = 30;
    GuiTitle t("t", 0);
    t.SetFont(&small);
    EXPECT_EQ(t.TitleHeight(), 18);
    t.SetFont(&large);
    EXPECT_EQ(std::tuple(t.TitleHeight(), t.mReal.bottom - t.mReal.top), std::tuple(32, 32));
}

// A dialog with a title shows (its title relabels the system menu through the items, the
// separator among them), maximises, shows the restore button and restores from it.
TEST_F(Menus, ADialogTitleFollowsMaximiseAndRestore) {
    auto* d = new GuiDialog(GuiRect(200, 100, 499, 299), "Dialog", nullptr, FF_THICK);
    desk->Add(d, 1);
    GuiTitle* t = d->Title();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->mReal, GuiRect(204, 104, 496, 104 + t->TitleHeight()));
    send(d, GM_MAXIMIZE);
    EXPECT_EQ(std::tuple(t->SystemMenu()->FindButton(GUISC_RESTORE) != nullptr, d->Maximized()),
              std::tuple(true, true));
    auto* withButtons = new GuiDecoratedWindow(GuiRect(50, 50, 449, 349), FF_THICK);
    withButtons->Add(new GuiTitle("w", TS_SYSTEM_MENU | TS_MIN_MAX | TS_CLOSE), 0);
    desk->Add(withButtons, 1);
    send(withButtons, GM_MAXIMIZE);
    t = withButtons->Title();
    EXPECT_EQ(t->MaxButton()->Id(), TITLE_ID_RESTORE);
    clickIn(t->MaxButton());
    EXPECT_EQ(std::tuple(withButtons->Maximized(), withButtons->mReal),
              std::tuple(false, GuiRect(50, 50, 449, 349)));
}

} // namespace
