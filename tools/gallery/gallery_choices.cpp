// Gallery scenes of the choosing and arranging controls: lists, combo box, tree view, notebook,
// slider and spin button; table and spreadsheet.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/list/list.h"
#include "gui/widgets/notebook/notebook.h"
#include "gui/widgets/slider/slider.h"
#include "gui/widgets/spreadsheet/spreadsheet.h"
#include "gui/widgets/table/table.h"
#include "gui/widgets/tree/tree.h"
#include "tools/gallery/gallery.h"

#include <cstdio>

namespace {

using namespace gallery;

const char* const kChannels[] = {"Engine speed", "Oil pressure", "Oil temperature", "Water temperature",
                                 "Throttle",     "Gear",         "Lambda",          "Fuel pressure",
                                 "Battery",      "Brake front",  "Brake rear",      "Steering angle"};

// A list item: a line of text that shows the list's selection.
class Item : public GuiPrompt {
  public:
    Item(const char* text, uint16_t id, int width = 150)
        : GuiPrompt(GuiRect(0, 0, width - 1, 17), text, id, FF_NONE | TJ_LEFT | PS_ENABLED) {}
    void Draw() override {
        const bool selected = mStyle & LIS_SELECTED;
        mColors[0] = selected ? GUI_ACTIVE_BLUE : GUI_WHITE;
        mColors[2] = selected ? GUI_WHITE : GUI_BLACK;
        GuiPrompt::Draw();
    }
};

void sceneLists() {
    GuiWindow* d = desk(0x3A5F5F);
    auto* list = new GuiVertList(GuiRect(20, 20, 220, 200), 10, FF_RECESSED);
    list->SetScrollMode(WSM_VERTICAL_AUTO);
    for (int i = 0; i < 12; ++i)
        list->AddToEnd(new Item(kChannels[i], static_cast<uint16_t>(100 + i)), 0);
    d->Add(list, 1);
    list->SetSelected(5);

    auto* row = new GuiHorzList(GuiRect(240, 20, 600, 45), 11, FF_THIN);
    static const char* const kGears[] = {"1st", "2nd", "3rd", "4th", "5th", "6th"};
    for (int i = 0; i < 6; ++i)
        row->AddToEnd(new Item(kGears[i], static_cast<uint16_t>(200 + i), 59), 0);
    d->Add(row, 1);
    row->SetSelected(2);

    auto* tree = new GuiTreeView(GuiRect(20, 220, 300, 460), FF_RECESSED, "Car", &gbWinIconBitmap);
    tree->Id(12);
    GuiTreeNode* engine = new GuiTreeNode("Engine", &gbCheckBitmap);
    GuiTreeNode* chassis = new GuiTreeNode("Chassis", &gbCheckBitmap);
    tree->Root()->Add(engine);
    tree->Root()->Add(chassis);
    tree->Root()->Add(new GuiTreeNode("Driver", nullptr));
    for (int i = 0; i < 4; ++i)
        engine->Add(new GuiTreeNode(kChannels[i], nullptr));
    for (int i = 9; i < 12; ++i)
        chassis->Add(new GuiTreeNode(kChannels[i], nullptr));
    engine->mOpen = 1;
    d->Add(tree, 1);
    tree->Select(engine->First()->Next(), 1);

    auto* book = new GuiNotebook(GuiRect(620, 20, 1000, 220), NBS_TEXT_TABS | NBS_TABS_ON_TOP | FF_THICK, 5);
    static const char* const kTabs[] = {"Laps", "Sectors", "Map", "Setup", "Notes"};
    for (unsigned char i = 0; i < 5; ++i) {
        book->SetTabString(i, kTabs[i]);
        book->SetPageClient(i, new GuiPrompt(GuiRect(0, 0, 10, 10), kTabs[i], 0, FF_NONE | TJ_CENTER));
    }
    d->Add(book, 1);
    book->SelectTab(1);
    auto* narrow = new GuiNotebook(GuiRect(620, 240, 860, 330), NBS_TEXT_TABS | FF_NONE, 6);
    for (unsigned char i = 0; i < 6; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Page %u", i + 1);
        narrow->SetTabString(i, name);
    }
    d->Add(narrow, 1);

    auto* across = new GuiSlider(GuiRect(620, 350, 900, 390), 0, 100, 13, FF_RAISED, 10);
    d->Add(across, 1);
    across->SetCurrentValue(40, 1);
    auto* upright = new GuiSlider(GuiRect(920, 240, 960, 460), 0, 100, 14, FF_RAISED | SLS_SNAP, 25);
    d->Add(upright, 1);
    upright->SetCurrentValue(75, 1);
    auto* value = new GuiPrompt(GuiRect(620, 410, 680, 430), "7", 0, FF_RECESSED | TJ_RIGHT);
    d->Add(value, 1);
    auto* spin = new GuiSpinButton(690, 412, value, -20, 20, 1, 15, SPS_ENABLED);
    spin->SetDigits(3);
    d->Add(spin, 1);
    spin->UpdateSlave(GSIG_SCROLL);

    auto* combo = new GuiComboBox(GuiRect(320, 70, 520, 260), 16, FF_RECESSED);
    for (int i = 0; i < 8; ++i)
        combo->AddToEnd(new Item(kChannels[i], static_cast<uint16_t>(300 + i)), 0);
    d->Add(combo, 1);
    combo->SetSelected(3);
    show();
    if (combo->Arrow()) click(combo->Arrow()->mReal.left + 4, combo->Arrow()->mReal.top + 4);
    show();
}

void sceneGrids() {
    GuiWindow* d = desk(0x4F4F2F);
    auto* table = new GuiTable(20, 20, 3, 3);
    table->SetCellPadding(3);
    static const char* const kCells[] = {"Lap", "Time", "Best", "1", "1:42.317", "", "2", "1:41.905", "yes"};
    for (int i = 0; i < 9; ++i) {
        if (i == 5) continue;
        auto* p =
            new GuiPrompt(GuiRect(0, 0, 69 + (i % 3 == 1 ? 20 : 0), 19), kCells[i], 0, FF_NONE | TJ_CENTER);
        table->SetCellClient(i / 3, i % 3, p, 1, i == 4 ? 2 : 1, TCS_SIZES | TCS_HCENTRE | TCS_VCENTRE);
    }
    d->Add(table, 1);
    table->Layout();

    auto* sheet = new GuiSpreadSheet(GuiRect(20, 160, 700, 460), 14, 7, 20,
                                     FF_THIN | SSS_SELECT_CELLS | SSS_CUT_COLUMN_VISIBLE, nullptr);
    static const char* const kHeads[] = {"Lap", "Time", "S1", "S2", "S3", "Speed", "Fuel"};
    for (int c = 0; c < 7; ++c) {
        sheet->SetHeader(1, c, kHeads[c]);
        sheet->SetColumnStyle(c, 0x888 | SSC_HEADER_SELECTS);
        sheet->ForceColWidth(c, 90);
    }
    sheet->SetHeader(2, 1, "m:s");
    sheet->SetFooter(1, 1, "1:41.622");
    for (int r = 0; r < 14; ++r) {
        char text[32];
        std::snprintf(text, sizeof text, "%d", r + 1);
        sheet->SetCellData(r, 0, text, 0);
        std::snprintf(text, sizeof text, "1:4%d.%03d", 1 + r % 3, (r * 317) % 1000);
        sheet->SetCellData(r, 1, text, 0);
        for (int c = 2; c < 5; ++c) {
            std::snprintf(text, sizeof text, "%d.%03d", 30 + (r + c) % 5, (r * 71 + c * 13) % 1000);
            sheet->SetCellData(r, c, text, 0);
        }
        std::snprintf(text, sizeof text, "%d", 240 + (r * 7) % 20);
        sheet->SetCellData(r, 5, text, 0);
        std::snprintf(text, sizeof text, "%d.%d", 60 - r * 2, r % 10);
        sheet->SetCellData(r, 6, text, 0);
        std::snprintf(text, sizeof text, "L%d", r + 1);
        sheet->SetRowHeader(r, text);
        sheet->SetRowStyle(r, SSR_HEADER_SELECTS);
    }
    sheet->SetScrollStartCol(1);
    d->Add(sheet, 1);
    sheet->SelectRow(2, 1);
    sheet->SelectCell(5, 3, 1);
    show();
}

const AddScene kLists{"lists", sceneLists};
const AddScene kGrids{"grids", sceneGrids};

} // namespace
