// Seeded random pointer, timer and editing steps over every control of lists, combo box, tree
// view, notebook, slider, spin button, table and spreadsheet leave the toolkit consistent.
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/list/list.h"
#include "gui/widgets/notebook/notebook.h"
#include "gui/widgets/slider/slider.h"
#include "gui/widgets/spreadsheet/spreadsheet.h"
#include "gui/widgets/table/table.h"
#include "gui/widgets/tree/tree.h"
#include "gui/widgets/widget_fixture.h"

namespace {

struct Random : widgettest::WidgetTest {
    GuiVertList* list = nullptr;
    GuiComboBox* combo = nullptr;
    GuiTreeView* tree = nullptr;
    GuiNotebook* book = nullptr;
    GuiSpreadSheet* sheet = nullptr;
    GuiTable* table = nullptr;

    static GuiPrompt* item(int id) {
        return new GuiPrompt(GuiRect(0, 0, 80, 15), "item", static_cast<uint16_t>(id),
                             FF_NONE | TJ_LEFT | PS_ENABLED);
    }
    void build() {
        list = new GuiVertList(GuiRect(10, 10, 150, 120), 1, FF_THIN | LS_WRAP);
        list->SetScrollMode(WSM_VERTICAL_AUTO);
        combo = new GuiComboBox(GuiRect(160, 10, 300, 150), 2, FF_RECESSED);
        for (int i = 0; i < 8; ++i) {
            list->AddToEnd(item(10 + i), 0);
            combo->AddToEnd(item(20 + i), 0);
        }
        tree = new GuiTreeView(GuiRect(10, 130, 200, 300), FF_THIN, "root", nullptr);
        tree->Id(3);
        for (int i = 0; i < 4; ++i) {
            auto* n = new GuiTreeNode("node", nullptr);
            tree->Root()->Add(n);
            for (int j = 0; j < 5; ++j)
                n->Add(new GuiTreeNode("leaf", nullptr));
        }
        book = new GuiNotebook(GuiRect(320, 10, 520, 150), NBS_TEXT_TABS, 9);
        book->Id(4);
        for (unsigned char i = 0; i < 9; ++i) {
            book->SetTabString(i, "tab");
            book->SetPageClient(i,
                                new GuiSlider(GuiRect(0, 0, 10, 10), 0, 10 * i, 5, FF_RAISED | SLS_SNAP, i));
        }
        sheet =
            new GuiSpreadSheet(GuiRect(220, 170, 620, 400), 20, 9, 6, FF_THIN | SSS_SELECT_CELLS, nullptr);
        sheet->SetHeader(1, 0, "h");
        sheet->SetScrollStartCol(1);
        table = new GuiTable(640, 10, 2, 2);
        for (int i = 0; i < 4; ++i)
            table->SetCellClient(i / 2, i % 2, item(40 + i), 1, 1, TCS_SIZES | TCS_VCENTRE);
        for (GuiThing* t : std::initializer_list<GuiThing*>{list, combo, tree, book, sheet, table})
            desk->Add(t, 1);
        table->Layout();
        desk->Add(new GuiSpinButton(640, 200, nullptr, -5, 5, 1, 7, SPS_ENABLED), 1);
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
};

TEST_F(Random, MessageSequencesLeaveTheToolkitConsistent) {
    randomSteps(
        {3u, 11u, 2025u}, 2000, GuiPoint(800, 420), [&] { build(); },
        [&](const Pick& pick) {
            const int what = pick(10); // drawn one after the other: the same steps from every compiler
            edit(what, pick(100));
            EXPECT_TRUE(list->GetSelected() == nullptr || list->IsItem(list->GetSelected()));
        });
}

} // namespace
