// The table and the spreadsheet.
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/spreadsheet/spreadsheet.h"
#include "gui/widgets/table/table.h"
#include "gui/widgets/widget_fixture.h"

#include <vector>

namespace {

// An object that tells when it is deleted. Its flag lives in the fixture: the tree it sits in may
// be deleted after the test's body has returned.
struct Tracked : GuiThing {
    bool* gone;
    Tracked(int w, int h, bool* g) : GuiThing(GuiRect(0, 0, w - 1, h - 1)), gone(g) { *gone = false; }
    ~Tracked() override { *gone = true; }
};

struct Grids : widgettest::WidgetTest {
    bool gone[5] = {};
};

TEST_F(Grids, ClientsSizeTheRowsAndColumnsOfTheTable) {
    auto* table = new GuiTable(100, 100, 2, 2);
    for (int i = 0; i < 4; ++i)
        table->SetCellClient(i / 2, i % 2, new Tracked(20, 10, &gone[i]), 1, 1, TCS_SIZES);
    owner->Add(table, 1);
    table->Layout();
    EXPECT_EQ(
        std::tuple(table->mReal.Width(), table->mReal.Height(), table->ColWidth(1), table->RowHeight(0)),
        std::tuple(55, 35, 25, 15));
    bool& replaced = gone[4];
    auto* old = new Tracked(10, 10, &replaced);
    table->SetCellClient(1, 1, old, 1, 1, TCS_HCENTRE);
    table->SetCellClient(1, 1, old, 1, 1, TCS_HCENTRE); // the same object again replaces nothing
    EXPECT_EQ(std::tuple(gone[3], replaced), std::tuple(true, false));
    table->Layout();
    const int cellLeft = table->mReal.left + 25 + 5, cellTop = table->mReal.top + 15 + 5;
    EXPECT_EQ(old->mReal.top, cellTop) << "no vertical bit: at the top";
    EXPECT_NEAR(old->mReal.left - cellLeft, cellLeft + 19 - old->mReal.right, 2)
        << "centred in the cell less its grid line";
}

TEST_F(Grids, ASpanningCellHidesTheGridLineItCrosses) {
    auto* table = new GuiTable(100, 100, 2, 2);
    table->SetCellClient(0, 0, new GuiThing(GuiRect(0, 0, 49, 9)), 1, 2, TCS_SIZES);
    table->SetCellClient(1, 0, new GuiThing(GuiRect(0, 0, 19, 9)), 1, 1, TCS_SIZES);
    table->SetCellClient(1, 1, new GuiThing(GuiRect(0, 0, 19, 9)), 1, 1, TCS_SIZES);
    table->SetGridWidth(1);
    owner->Add(table, 1);
    table->Layout();
    redrawAll();
    flush();
    const int x = table->mClient.left + table->ColWidth(0);
    const int y0 = table->mClient.top + table->RowHeight(0) / 2, y1 = y0 + table->RowHeight(0);
    EXPECT_EQ(std::tuple(shownAt(x, y0) == GUI_FACE, shownAt(x, y1)), std::tuple(false, GUI_FACE));
    EXPECT_EQ(std::tuple(table->CellSpansCol(0, 1), table->CellSpansCol(1, 1)), std::tuple(1, 0));
}

TEST_F(Grids, TheTableKeepsCellsInsideItsGridAndOwnsItsClients) {
    GuiTable empty(10, 10, 0, 3);
    bool refused;
    auto* stray = new Tracked(5, 5, &refused);
    empty.SetCellClient(0, 0, stray, 1, 1, TCS_SIZES);
    EXPECT_EQ(empty.GetCellClient(0, 0), nullptr);
    bool neverLaidOut, dropped;
    {
        GuiTable table(10, 10, 2, 2);
        table.SetCellClient(2, 0, stray, 1, 1, 0); // outside: refused
        table.SetCellClient(0, 1, new Tracked(5, 5, &neverLaidOut), 9, 9, TCS_SIZES);
        int rs, cs;
        table.GetCellSpan(1, 1, &rs, &cs);
        EXPECT_EQ(std::tuple(table.GetCellClient(2, 0), rs, cs), std::tuple(nullptr, 2, 1))
            << "spans cut at the edge";
        table.SetCellClient(1, 0, new Tracked(5, 5, &dropped), 1, 1, 0);
        table.Reconfigure(1, 2, 5, 0);
        EXPECT_EQ(std::tuple(dropped, table.GetCellClient(1, 0)), std::tuple(true, nullptr));
    }
    EXPECT_EQ(std::tuple(neverLaidOut, refused), std::tuple(true, false));
    delete stray;
}

// ---- spreadsheet --------------------------------------------------------------------------------

struct Sheets : Grids {
    GuiSpreadSheet* sheet(int rows, int cols, uint16_t id, unsigned style = FF_THIN | SSS_SELECT_CELLS) {
        auto* s = new GuiSpreadSheet(GuiRect(100, 50, 600, 400), rows, cols, id, style, nullptr);
        owner->Add(s, 1);
        return s;
    }
    std::vector<std::pair<int, int>> signals(uint16_t id) { // (code, row or column)
        std::vector<std::pair<int, int>> v;
        for (const GuiMessage& m : owner->got)
            if (m.type >= 128 + 16 * id && m.type < 128 + 16 * (id + 1))
                v.emplace_back(m.type - 128 - 16 * id, m.payload.point.x + m.payload.point.y);
        return v;
    }
};

TEST_F(Sheets, ANewSheetHasItsDefaults) {
    GuiSpreadSheet* s = sheet(3, 2, 0);
    EXPECT_EQ(std::tuple(s->GetColWidth(1), s->GetColumnStyle(0), s->HeaderRows(), s->TopBorder()),
              std::tuple(GuiTextWidthOf(" ", GuiTextThing::mFontTable[11]) + 8, 0x888u, 0, 6));
    s->SetHeader(5, 0, "x");
    s->SetHeader(0, 0, "x");
    EXPECT_EQ(s->HeaderRows(), 0);
    s->SetHeader(2, 1, "two");
    EXPECT_EQ(std::tuple(s->HeaderRows(), s->GetColHeader(1)), std::tuple(2, nullptr));
    const int deleted = s->DeleteColumn(0);
    EXPECT_EQ(std::tuple(deleted, s->DeleteColumn(0)), std::tuple(1, -1));
    s->SetColumnStyle(0, SSC_SEPARATOR | SSC_HEADER_SELECTS);
    EXPECT_EQ(s->GetColWidth(0), 4);
}

TEST_F(Sheets, SelectingAnotherRowUnselectsTheFirst) {
    for (uint16_t id : {2, 0}) {
        GuiSpreadSheet* s = sheet(6, 3, id);
        owner->got.clear();
        s->SelectRow(2, 1);
        s->SelectRow(4, 1);
        EXPECT_EQ(std::tuple(s->RowSelected(2), s->RowSelected(4)), std::tuple(0, 1));
        if (id)
            EXPECT_EQ(signals(id), (std::vector<std::pair<int, int>>{{10, 2}, {11, 2}, {10, 4}}));
        else
            EXPECT_EQ(owner->count(128 + 10), 0) << "id 0 sends nothing";
        owner->Destroy(s);
    }
}

TEST_F(Sheets, ClicksSelectCellsRowsAndColumns) {
    GuiSpreadSheet* s = sheet(6, 3, 4);
    s->SetHeader(1, 0, "A");
    s->SetHeader(1, 1, "B");
    s->SetColumnStyle(0, 0x888 | SSC_HEADER_SELECTS);
    s->SetColumnStyle(1, SSC_SEPARATOR | SSC_HEADER_SELECTS);
    s->SetRowHeader(1, "r");
    s->SetRowStyle(1, SSR_HEADER_SELECTS);
    redrawAll();
    owner->got.clear();
    const GuiRect cell = s->GetCellRect(3, 2), head = s->GetCellRect(0, 0), sep = s->GetCellRect(0, 1);
    click(cell.left + 2, cell.top + 2);
    click(head.left + 2, s->mReal.top + 8);
    click(sep.left + 1, s->mReal.top + 8); // a separator ignores its header
    click(s->mReal.left + 8, s->GetCellRect(1, 0).top + 2);
    EXPECT_EQ(signals(4), (std::vector<std::pair<int, int>>{{12, 5}, {8, 0}, {9, 0}, {10, 1}}));
}

TEST_F(Sheets, IndexesStayInsideAShrinkingSheet) {
    GuiSpreadSheet* s = sheet(0, 30, 5);
    click(s->mReal.left + 7, s->mReal.top + 20); // no row under the pointer of an empty sheet
    s->SetRowHeader(0, "x");
    s->SetScrollStartCol(3);
    s->DoHorizontalScrolling(100);
    EXPECT_EQ(s->FirstVisibleCol(), 29) << "never past the last column";
    while (s->Cols() > 1)
        s->DeleteColumn(s->Cols() - 1);
    EXPECT_EQ(std::tuple(s->FixedCols(), s->FirstVisibleCol()), std::tuple(1, 1));
    EXPECT_EQ(s->InsertRow(1, nullptr), -1);
    const int inserted = s->InsertRow(0, "r");
    const int left = s->DeleteRow(0);
    EXPECT_EQ(std::tuple(inserted, left, s->Rows()), std::tuple(1, 0, 0));
    redrawAll();
}

} // namespace
