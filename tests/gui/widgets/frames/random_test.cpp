// Seeded random pointer, key, clipboard, timer, editing and animation steps over one desk holding
// every interactive control of the library leave the toolkit consistent (charts, dials and scales
// take no pointer input; their ranges are tested with their arithmetic).
#include "gui/controls/button/button.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/animation/animation.h"
#include "gui/widgets/dialog/dialog.h"
#include "gui/widgets/editbox/editbox.h"
#include "gui/widgets/editfield/editfield.h"
#include "gui/widgets/group/group.h"
#include "gui/widgets/lights/lights.h"
#include "gui/widgets/list/list.h"
#include "gui/widgets/menu/menu.h"
#include "gui/widgets/msgwin/msgwin.h"
#include "gui/widgets/notebook/notebook.h"
#include "gui/widgets/progress/progress.h"
#include "gui/widgets/slider/slider.h"
#include "gui/widgets/spreadsheet/spreadsheet.h"
#include "gui/widgets/statusbar/statusbar.h"
#include "gui/widgets/table/table.h"
#include "gui/widgets/terminal/terminal.h"
#include "gui/widgets/title/title.h"
#include "gui/widgets/toolbar/toolbar.h"
#include "gui/widgets/tree/tree.h"
#include "gui/widgets/widget_fixture.h"

#include <cstdlib>

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

GuiPrompt* item(int id) {
    return new GuiPrompt(GuiRect(0, 0, 80, 15), "item", static_cast<uint16_t>(id),
                         FF_NONE | TJ_LEFT | PS_ENABLED);
}

struct Random : widgettest::WidgetTest {
    GuiDecoratedWindow* win = nullptr;
    GuiVertList* list = nullptr;
    GuiComboBox* combo = nullptr;
    GuiTreeView* tree = nullptr;
    GuiNotebook* book = nullptr;
    GuiSpreadSheet* sheet = nullptr;
    GuiTable* table = nullptr;
    GuiAnimation* anim = nullptr;
    GuiBitmap* picture = nullptr;
    GuiBitmap* cycle[2] = {}; // the animation window's frames stay the caller's

    void TearDown() override {
        WidgetTest::TearDown();
        if (picture) std::free(picture->data);
        delete picture;
    }

    // A decorated window with every frame and text control, rebuilt when it is closed.
    void buildWindow() {
        win = new GuiDecoratedWindow(GuiRect(0, 0, 419, 479), FF_THICK);
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
        auto* edit = new GuiEditBox(GuiRect(L + 5, T + 5, L + 200, T + 120), 5, FF_THIN | TBS_EDITABLE,
                                    "one\ntwo three\nfour", 300);
        edit->SetScrollMode(WSM_VERTICAL_AUTO | WSM_HORIZONTAL_AUTO);
        win->Add(edit, 1);
        auto* term = new GuiTerminalWin(GuiRect(L + 5, T + 130, L + 200, T + 250), 6, FF_THIN | TBS_EDITABLE,
                                        nullptr, 200);
        term->SetPrompt("> ");
        term->SetScrollMode(WSM_VERTICAL);
        win->Add(term, 1);
        win->Add(new GuiEditField(GuiRect(L + 210, T + 5, L + 400, T + 30), "field", 7,
                                  FF_THIN | TBS_EDITABLE, 12),
                 1);
        auto* group = new GuiGroup(GuiRect(L + 210, T + 40, L + 400, T + 120), "Group", GROUP_ENABLED);
        win->Add(group, 1);
        group->Add(new GuiTextButton(GuiRect(L + 220, T + 60, L + 300, T + 85), "OK", GUI_ID_OK), 1);
        win->Add(new GuiProgressBar(GuiRect(L + 210, T + 130, L + 400, T + 150), FF_THIN | PBS_SHOW_VALUE, 0,
                                    10, 3),
                 1);
        auto* lamp = new GuiColorLight(GuiRect(L + 210, T + 160, L + 240, T + 190), 2, LS_CIRCLE);
        lamp->SetStateColor(1, 0xFF0000);
        win->Add(lamp, 1);
    }

    void build() {
        buildWindow();
        desk->Add(new GuiMessageWindow("Note", "random", MW_OK | MW_CANCEL | FF_THICK, nullptr, nullptr), 1);
        list = new GuiVertList(GuiRect(430, 10, 560, 120), 1, FF_THIN | LS_WRAP);
        list->SetScrollMode(WSM_VERTICAL_AUTO);
        combo = new GuiComboBox(GuiRect(570, 10, 700, 150), 2, FF_RECESSED);
        for (int i = 0; i < 8; ++i) {
            list->AddToEnd(item(10 + i), 0);
            combo->AddToEnd(item(20 + i), 0);
        }
        tree = new GuiTreeView(GuiRect(430, 130, 600, 300), FF_THIN, "root", nullptr);
        tree->Id(3);
        for (int i = 0; i < 4; ++i) {
            auto* n = new GuiTreeNode("node", nullptr);
            tree->Root()->Add(n);
            for (int j = 0; j < 5; ++j)
                n->Add(new GuiTreeNode("leaf", nullptr));
        }
        book = new GuiNotebook(GuiRect(710, 10, 900, 150), NBS_TEXT_TABS, 9);
        book->Id(4);
        for (unsigned char i = 0; i < 9; ++i) {
            book->SetTabString(i, "tab");
            book->SetPageClient(i,
                                new GuiSlider(GuiRect(0, 0, 10, 10), 0, 10 * i, 5, FF_RAISED | SLS_SNAP, i));
        }
        sheet =
            new GuiSpreadSheet(GuiRect(610, 160, 1010, 300), 20, 9, 6, FF_THIN | SSS_SELECT_CELLS, nullptr);
        sheet->SetHeader(1, 0, "h");
        sheet->SetScrollStartCol(1);
        table = new GuiTable(910, 10, 2, 2);
        for (int i = 0; i < 4; ++i)
            table->SetCellClient(i / 2, i % 2, item(40 + i), 1, 1, TCS_SIZES | TCS_VCENTRE);
        for (GuiThing* t : std::initializer_list<GuiThing*>{list, combo, tree, book, sheet, table})
            desk->Add(t, 1);
        table->Layout();
        desk->Add(new GuiSpinButton(910, 100, nullptr, -5, 5, 1, 7, SPS_ENABLED), 1);

        if (!picture) picture = screen->CreateBitmap(30, 30, 1);
        GuiAnimationFrame frames[3] = {{picture, 1, 0, 0, AFC_CLEAR}, {picture, 0, 5, 5, AFC_PREVIOUS}, {}};
        anim = new GuiAnimation(GuiRect(430, 310, 480, 360), frames, 0, FF_NONE);
        anim->SetMode(AM_LOOP | AM_START_ON_SHOW);
        cycle[0] = cycle[1] = picture;
        auto* window =
            new GuiAnimationWindow(GuiRect(500, 310, 560, 370), picture, cycle, 2, 3, 3, nullptr, FF_NONE);
        desk->Add(anim, 1);
        desk->Add(window, 1);
        window->Run(1, 0);
    }

    void key(const Pick& pick) {
        static const unsigned keys[] = {'a',     ' ',    '\n',  GK_BACKSPACE, GK_ENTER, GK_DELETE,
                                        GK_HOME, GK_END, GK_UP, GK_DOWN,      GK_LEFT,  GK_RIGHT};
        const unsigned k = keys[pick(12)];
        GuiThing* f = pm->GetCurrentThing();
        if (auto* box = dynamic_cast<GuiEditBox*>(f))
            box->InsertKey(k);
        else if (auto* field = dynamic_cast<GuiEditField*>(f))
            field->InsertKey(static_cast<int>(k));
        else
            post(GM_KEY, 0, 0);
        if (k == GK_ENTER && f) send(f, GM_KEY, 13);
    }

    void edit(int what, int n) {
        switch (what) {
        case 0:
            list->Insert(item(50 + n), n % 10 - 1, n & 1, 1);
            break;
        case 1:
            if (GuiThing* t = list->GetThing(n % 9)) list->Destroy(t);
            break;
        case 2:
            combo->SetSelected(n % 9 - 1);
            break;
        case 3:
            book->ResetNumTabs(static_cast<unsigned char>(n % 12));
            break;
        case 4:
            book->SelectTab(static_cast<unsigned char>(n % 12));
            break;
        case 5:
            if (GuiTreeNode* x = tree->FindNode(n % 3, n & 1 ? "leaf" : "node")) tree->DestroyNode(x);
            break;
        case 6:
            sheet->DeleteColumn(n % 10);
            break;
        case 7:
            sheet->InsertColumn(n % 10, 30, "c");
            break;
        case 8:
            sheet->DeleteRow(n % 25);
            break;
        default:
            table->SetCellClient(n % 2, n % 3 % 2, n & 1 ? item(60) : nullptr, 1 + n % 2, 1, TCS_SIZES);
            break;
        }
    }

    // The animations: started, stopped, taken from the desk and put back.
    void animate(const Pick& pick) {
        if (pick(3) == 0) {
            desk->Remove(anim, 1);
            desk->Add(anim, pick(2));
        } else if (pick(4) == 0) {
            anim->Stop();
        } else {
            anim->Start(pick(4) - 1);
        }
    }
};

TEST_F(Random, MessageSequencesLeaveTheToolkitConsistent) {
    randomSteps(
        {1u, 7u, 2024u}, 4000, GuiPoint(1024, 480), [&] { build(); },
        [&](const Pick& pick) {
            if (!GuiTreeHolds(desk, win)) return buildWindow(); // closed by its title or destroyed
            switch (pick(6)) {
            case 0:
                return key(pick);
            case 1: {
                GuiMessage m(static_cast<uint16_t>(GM_CUT + pick(3)));
                GuiThing::mpMessageQueue->Push(&m);
                return;
            }
            case 2:
                if (pick(10) == 0) desk->Destroy(win);
                return;
            case 3:
                edit(pick(10), pick(100));
                EXPECT_TRUE(list->GetSelected() == nullptr || list->IsItem(list->GetSelected()));
                return;
            default:
                return animate(pick);
            }
        });
}

} // namespace
