// Seeded random pointer, key, clipboard and timer messages over a window holding every control of
// the library leave the toolkit consistent.
#include "gui/controls/button/button.h"
#include "gui/widgets/dialog/dialog.h"
#include "gui/widgets/editbox/editbox.h"
#include "gui/widgets/editfield/editfield.h"
#include "gui/widgets/group/group.h"
#include "gui/widgets/lights/lights.h"
#include "gui/widgets/menu/menu.h"
#include "gui/widgets/msgwin/msgwin.h"
#include "gui/widgets/progress/progress.h"
#include "gui/widgets/statusbar/statusbar.h"
#include "gui/widgets/terminal/terminal.h"
#include "gui/widgets/title/title.h"
#include "gui/widgets/toolbar/toolbar.h"
#include "gui/widgets/widget_fixture.h"

namespace {

const GuiMenuDescription kSub[] = {{"Check", 61, MIS_ENABLED | MIS_CHECK, nullptr},
                                   {"Dot", 62, MIS_ENABLED | MIS_RADIO, nullptr},
                                   {nullptr, 0, 0, nullptr}};
const GuiMenuDescription kItems[] = {{"Open", 51, MIS_ENABLED, nullptr},
                                     {"More", 52, MIS_ENABLED, kSub},
                                     {nullptr, 0, MIS_SEPARATOR, nullptr},
                                     {"Off", 53, MIS_CHECK, nullptr},
                                     {nullptr, 0, 0, nullptr}};
const GuiMenuDescription kBar[] = {{"File", 50, MIS_ENABLED, kItems}, {"Go", 55, MIS_ENABLED, nullptr}, {}};

struct Random : widgettest::WidgetTest {
    GuiDecoratedWindow* win = nullptr;

    void build() {
        win = new GuiDecoratedWindow(GuiRect(10, 10, 629, 469), FF_THICK);
        win->Add(new GuiTitle("Random", TS_SYSTEM_MENU | TS_MIN_MAX | TS_CLOSE | TT_COPY), 0);
        win->Add(new GuiMenuBar(kBar), 0);
        auto* tools = new GuiToolBar(1);
        auto* panel = new GuiToolBarPanel(2);
        panel->AddToEnd(new GuiTextButton(GuiRect(0, 0, 49, 19), "Tool", 3), 0);
        tools->AddPanel(panel, 0);
        win->Add(tools, 0);
        auto* status = new GuiStatusBar;
        win->Add(status, 0);
        desk->Add(win, 1);
        status->AddTextField(100, 4, "status");
        const int L = win->mClient.left, T = win->mClient.top;
        auto* edit = new GuiEditBox(GuiRect(L + 5, T + 5, L + 300, T + 120), 5, FF_THIN | TBS_EDITABLE,
                                    "one\ntwo three\nfour", 300);
        edit->SetScrollMode(WSM_VERTICAL_AUTO | WSM_HORIZONTAL_AUTO);
        win->Add(edit, 1);
        auto* term = new GuiTerminalWin(GuiRect(L + 5, T + 130, L + 300, T + 250), 6, FF_THIN | TBS_EDITABLE,
                                        nullptr, 200);
        term->SetPrompt("> ");
        term->SetScrollMode(WSM_VERTICAL);
        win->Add(term, 1);
        win->Add(new GuiEditField(GuiRect(L + 310, T + 5, L + 580, T + 30), "field", 7,
                                  FF_THIN | TBS_EDITABLE, 12),
                 1);
        auto* group = new GuiGroup(GuiRect(L + 310, T + 40, L + 580, T + 120), "Group", GROUP_ENABLED);
        win->Add(group, 1);
        group->Add(new GuiTextButton(GuiRect(L + 320, T + 60, L + 400, T + 85), "OK", GUI_ID_OK), 1);
        auto* bar = new GuiProgressBar(GuiRect(L + 310, T + 130, L + 580, T + 150), FF_THIN | PBS_SHOW_VALUE,
                                       0, 10, 3);
        win->Add(bar, 1);
        auto* lamp = new GuiColorLight(GuiRect(L + 310, T + 160, L + 340, T + 190), 2, LS_CIRCLE);
        lamp->SetStateColor(1, 0xFF0000);
        win->Add(lamp, 1);
        desk->Add(new GuiMessageWindow("Note", "random", MW_OK | MW_CANCEL | FF_THICK, nullptr, nullptr), 1);
    }
};

TEST_F(Random, MessageSequencesLeaveTheToolkitConsistent) {
    randomSteps(
        {1u, 7u, 2024u}, 3000, GuiPoint(660, 480), [&] { build(); },
        [&](const Pick& pick) {
            if (!GuiTreeHolds(desk, win)) return build(); // closed by its title or destroyed
            GuiThing* f = pm->GetCurrentThing();
            switch (pick(4)) {
            case 0: {
                static const unsigned keys[] = {'a',     ' ',    '\n',  GK_BACKSPACE, GK_ENTER, GK_DELETE,
                                                GK_HOME, GK_END, GK_UP, GK_DOWN,      GK_LEFT,  GK_RIGHT};
                const unsigned key = keys[pick(12)];
                if (auto* box = dynamic_cast<GuiEditBox*>(f))
                    box->InsertKey(key);
                else if (auto* field = dynamic_cast<GuiEditField*>(f))
                    field->InsertKey(static_cast<int>(key));
                if (key == GK_ENTER && f) send(f, GM_KEY, 13);
                break;
            }
            case 1: {
                GuiMessage m(static_cast<uint16_t>(GM_CUT + pick(3)));
                GuiThing::mpMessageQueue->Push(&m);
                break;
            }
            case 2:
                if (pick(10) == 0) desk->Destroy(win);
                break;
            default:
                post(GM_KEY, 0, 0);
                break;
            }
        });
}

} // namespace
