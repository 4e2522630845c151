#include "gui/widgets/table/table.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"

#include <new>

GuiTable::GuiTable(int left, int top, int rows, int cols)
    : GuiWindow(GuiRect(left, top, left + 1, top + 1), 0x3001), mRows(rows > 0 ? rows : 0),
      mCols(cols > 0 ? cols : 0) {
    mType = TYPE_TABLE;
    mStatus &= static_cast<uint16_t>(~PSF_SIZEABLE);
    mpHeights = GuiNewZeroed<int>(mRows);
    mpWidths = GuiNewZeroed<int>(mCols);
    if (!mpHeights || !mpWidths) mRows = mCols = 0;
    mClient = mReal;
}

GuiTable::~GuiTable() {
    while (mpCells) {
        Cell* c = mpCells;
        mpCells = c->next;
        // A client never laid out is no child of the table: it would be lost.
        if (c->client && !c->client->mpParent) delete c->client;
        delete c;
    }
    delete[] mpHeights;
    delete[] mpWidths;
}

namespace {

// sizes[first] + ... + sizes[first + count - 1], held to the 16-bit coordinates (at most 32767).
int GuiTableSum(const int* sizes, int from, int count) {
    int64_t s = 0;
    for (int i = from; i < from + count; ++i)
        s += sizes[i];
    return static_cast<int>(s > 32767 ? 32767 : s);
}

} // namespace

GuiTable::Cell* GuiTable::FindCell(int row, int col) {
    for (Cell* c = mpCells; c; c = c->next)
        if (c->row == row && c->col == col) return c;
    return nullptr;
}

void GuiTable::SetColWidth(int col, int width, int force) {
    if (!mRows || !mCols || col < 0 || col >= mCols) return;
    const int needed = width + 2 * mPadding + mGrid;
    if (mpWidths[col] >= needed && !force) return;
    mpWidths[col] = needed;
}

void GuiTable::SetRowHeight(int row, int height, int force) {
    if (!mRows || !mCols || row < 0 || row >= mRows) return;
    const int needed = height + 2 * mPadding + mGrid;
    if (mpHeights[row] >= needed && !force) return;
    mpHeights[row] = needed;
}

void GuiTable::SetCellClient(int row, int col, GuiThing* client, int rowSpan, int colSpan,
                             unsigned int style) {
    if (!mRows || !mCols || row < 0 || col < 0 || row >= mRows || col >= mCols) return;
    rowSpan = rowSpan < 1 ? 1 : rowSpan > mRows - row ? mRows - row : rowSpan;
    colSpan = colSpan < 1 ? 1 : colSpan > mCols - col ? mCols - col : colSpan;
    Cell* cell = FindCell(row, col);
    if (cell) {
        if (cell->client == client) return; // destroying it would leave the cell with a freed object
        if (cell->client) Destroy(cell->client);
    } else {
        cell = new (std::nothrow) Cell{nullptr, nullptr, row, col, 1, 1, 0x0900};
        if (!cell) return;
        Cell** end = &mpCells;
        while (*end)
            end = &(*end)->next;
        *end = cell;
    }
    cell->client = client;
    cell->rowSpan = rowSpan;
    cell->colSpan = colSpan;
    cell->style = style;
    if (client && Visible()) Layout();
}

GuiThing* GuiTable::GetCellClient(int row, int col) {
    Cell* c = FindCell(row, col);
    return c ? c->client : nullptr;
}

int GuiTable::GetRowCol(GuiThing* client, int* row, int* col) {
    for (Cell* c = mpCells; c; c = c->next)
        if (client && c->client == client) {
            if (row) *row = c->row;
            if (col) *col = c->col;
            return 1;
        }
    return 0;
}

void GuiTable::DropCell(Cell* cell, bool destroyClient) {
    for (Cell** p = &mpCells; *p; p = &(*p)->next)
        if (*p == cell) {
            *p = cell->next;
            break;
        }
    if (destroyClient && cell->client) {
        if (cell->client->mpParent)
            Destroy(cell->client);
        else
            delete cell->client;
    }
    delete cell;
}

GuiThing* GuiTable::RemoveCellClient(int row, int col) {
    Cell* cell = FindCell(row, col);
    if (!cell) return nullptr;
    GuiThing* client = cell->client;
    DropCell(cell, false);
    if (client && client->mpParent == this) {
        if (mStyle & TS_TRANSPARENT) {
            Remove(client, 0);
            if (mpParent) GuiRedraw(mpParent);
        } else {
            Remove(client, 1);
        }
    }
    return client;
}

unsigned int GuiTable::GetCellStyle(int row, int col) {
    Cell* c = FindCell(row, col);
    return c ? c->style : 0;
}

void GuiTable::GetCellSpan(int row, int col, int* rowSpan, int* colSpan) {
    int rs = 1, cs = 1;
    for (Cell* c = mpCells; c; c = c->next)
        if (row >= c->row && row < c->row + c->rowSpan && col >= c->col && col < c->col + c->colSpan) {
            rs = c->rowSpan;
            cs = c->colSpan;
            break;
        }
    if (rowSpan) *rowSpan = rs;
    if (colSpan) *colSpan = cs;
}

int GuiTable::GetForcedColWidth(int col) {
    for (Cell* c = mpCells; c; c = c->next)
        if ((c->style & TCS_SIZES) && col >= c->col && col < c->col + c->colSpan) return ColWidth(col);
    return -1;
}

int GuiTable::GetForcedRowHeight(int row) {
    for (Cell* c = mpCells; c; c = c->next)
        if ((c->style & TCS_SIZES) && row >= c->row && row < c->row + c->rowSpan) return RowHeight(row);
    return -1;
}

int GuiTable::CellSpansRow(int row, int col) {
    for (Cell* c = mpCells; c; c = c->next)
        if (c->row < row && row < c->row + c->rowSpan && col >= c->col && col < c->col + c->colSpan) return 1;
    return 0;
}

int GuiTable::CellSpansCol(int row, int col) {
    for (Cell* c = mpCells; c; c = c->next)
        if (c->col < col && col < c->col + c->colSpan && row >= c->row && row < c->row + c->rowSpan) return 1;
    return 0;
}

void GuiTable::Reconfigure(int rows, int cols, int gridWidth, int padding) {
    rows = rows > 0 ? rows : 0;
    cols = cols > 0 ? cols : 0;
    int* heights = GuiNewZeroed<int>(rows);
    int* widths = GuiNewZeroed<int>(cols);
    if ((rows && !heights) || (cols && !widths)) {
        delete[] heights;
        delete[] widths;
        return;
    }
    delete[] mpHeights;
    delete[] mpWidths;
    mpHeights = heights;
    mpWidths = widths;
    mRows = rows;
    mCols = cols;
    mGrid = gridWidth;
    mPadding = padding;
    // Cells beyond the new grid go; spans are cut at its edge.
    for (Cell* c = mpCells; c;) {
        Cell* next = c->next;
        if (c->row >= mRows || c->col >= mCols) {
            DropCell(c, true);
        } else {
            if (c->rowSpan > mRows - c->row) c->rowSpan = mRows - c->row;
            if (c->colSpan > mCols - c->col) c->colSpan = mCols - c->col;
        }
        c = next;
    }
    Layout();
}

void GuiTable::Layout() {
    if (!mRows || !mCols) return;
    for (Cell* c = mpCells; c; c = c->next) {
        if (!(c->style & TCS_SIZES) || !c->client || c->rowSpan != 1 || c->colSpan != 1) continue;
        SetRowHeight(c->row, c->client->mReal.Height(), 0);
        SetColWidth(c->col, c->client->mReal.Width(), 0);
    }
    for (Cell* c = mpCells; c; c = c->next) {
        if (!(c->style & TCS_SIZES) || !c->client || (c->rowSpan < 2 && c->colSpan < 2)) continue;
        struct Axis {
            int* sizes;
            int first, span, need;
            void (GuiTable::*set)(int, int, int);
        } axes[] = {{mpHeights, c->row, c->rowSpan, c->client->mReal.Height(), &GuiTable::SetRowHeight},
                    {mpWidths, c->col, c->colSpan, c->client->mReal.Width(), &GuiTable::SetColWidth}};
        for (const Axis& a : axes) {
            int s = GuiTableSum(a.sizes, a.first, a.span);
            if (s) s -= mGrid + 2 * mPadding;
            if (s >= a.need) continue;
            int empty = -1;
            for (int i = a.first; i < a.first + a.span && empty < 0; ++i)
                if (!a.sizes[i]) empty = i;
            if (empty >= 0) {
                (this->*a.set)(empty, a.need - s, 0);
                continue;
            }
            for (int i = a.first; i < a.first + a.span; ++i)
                (this->*a.set)(i, (a.need - s) / a.span + 1 + a.sizes[i], 0);
        }
    }
    const int L = mReal.left, T = mReal.top;
    GuiWindow::Resize(GuiRect(L, T, GuiClamp16(int64_t{L} - 1 + mGrid + GuiTableSum(mpWidths, 0, mCols)),
                              GuiClamp16(int64_t{T} - 1 + mGrid + GuiTableSum(mpHeights, 0, mRows))));
    for (Cell* c = mpCells; c; c = c->next) {
        GuiThing* client = c->client;
        if (!client) continue;
        const int x = mReal.left + mGrid + GuiTableSum(mpWidths, 0, c->col);
        const int y = mClient.top + mGrid + GuiTableSum(mpHeights, 0, c->row);
        const int W = GuiTableSum(mpWidths, c->col, c->colSpan),
                  H = GuiTableSum(mpHeights, c->row, c->rowSpan);
        const int cw = client->mReal.Width(), ch = client->mReal.Height();
        int dx = 0, dy = 0;
        if (c->style & TCS_HCENTRE)
            dx = ((W - 2 * mPadding - cw) >> 1) - 1;
        else if (c->style & TCS_RIGHT)
            dx = W - 2 * mPadding - cw;
        if (c->style & TCS_VCENTRE)
            dy = ((H - 2 * mPadding - ch) >> 1) - 1;
        else if (c->style & TCS_BOTTOM)
            dy = H - 2 * mPadding - ch;
        GuiRect r = client->mReal;
        r.MoveTo(x + dx + mPadding, y + dy + mPadding);
        client->Resize(r);
        Add(client, 0);
    }
    // The grid changed under the clients too: the whole table is drawn once.
    if (Visible()) GuiRedraw(this);
}

void GuiTable::Draw() {
    if (!mRows || !mCols || !mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (!(mStyle & TS_TRANSPARENT)) StandardBorder(mColors[0]);
    if (mStyle & (TS_HGRID | TS_VGRID)) DrawGrid();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiTable::DrawGrid() {
    if (!mRows || !mCols || !mpScreen) return;
    const int g = mGrid;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t colour, int width) {
        mpScreen->Line(this, x1, y1, x2, y2, GuiColor(colour, colour), width);
    };
    if (mStyle & TS_VGRID) {
        int x = mClient.left;
        for (int c = 0; c < mCols; x += mpWidths[c++]) {
            if (!mpWidths[c]) continue;
            int y = mClient.top;
            for (int r = 0; r < mRows; y += mpHeights[r++]) {
                const int h = mpHeights[r];
                if (!h || CellSpansCol(r, c)) continue;
                line(x, y, x, y + h, GUI_FACE, g);
                if (g > 3) {
                    line(x + 1, y, x + 1, y + h, GUI_WHITE, 1);
                    line(x + g - 1, y, x + g - 1, y + h, GUI_SHADOW, 1);
                }
            }
        }
    }
    if (mStyle & TS_HGRID) {
        int y = mClient.top;
        for (int r = 0; r < mRows; y += mpHeights[r++]) {
            if (!mpHeights[r]) continue;
            int x = mClient.left;
            for (int c = 0; c < mCols; x += mpWidths[c++]) {
                const int w = mpWidths[c];
                if (!w || CellSpansRow(r, c)) continue;
                line(x, y, x + w, y, GUI_FACE, g);
                if (g > 3) {
                    line(x, y + 1, x + w - 1, y + 1, GUI_WHITE, 1);
                    line(x, y + g - 1, x + w, y + g - 1, GUI_SHADOW, 1);
                }
            }
        }
    }
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    const int X = L + GuiTableSum(mpWidths, 0, mCols), Y = T + GuiTableSum(mpHeights, 0, mRows);
    if (mStyle & TS_VGRID) {
        line(X, T, X, B, GUI_FACE, g);
        if (g > 3) {
            line(X + 1, T + 1, X + 1, B - g + 1, GUI_WHITE, 1);
            line(R, T, R, B - 1, GUI_SHADOW, 1);
        }
    }
    if (mStyle & TS_HGRID) {
        line(L, Y, R, Y, GUI_FACE, g);
        if (g > 3) {
            line(L + 1, Y + 1, R - g + 2, Y + 1, GUI_WHITE, 1);
            line(L, B, R, B, GUI_SHADOW, 1);
        }
    }
}

void GuiTable::DrawChildren() {
    if (!mpScreen || mpScreen->InvalidCount() == 0) return;
    for (Cell* c = mpCells; c; c = c->next) {
        GuiThing* client = c->client;
        if (!client || client->mpParent != this) continue;
        GuiRect cell(mClient.left + GuiTableSum(mpWidths, 0, c->col),
                     mClient.top + GuiTableSum(mpHeights, 0, c->row), 0, 0);
        cell.right = GuiClamp16(int64_t{cell.left} + GuiTableSum(mpWidths, c->col, c->colSpan));
        cell.bottom = GuiClamp16(int64_t{cell.top} + GuiTableSum(mpHeights, c->row, c->rowSpan));
        cell -= mPadding;
        cell.left = GuiClamp16(int64_t{cell.left} + mGrid);
        cell.top = GuiClamp16(int64_t{cell.top} + mGrid);
        const GuiRect saved = client->mClip;
        client->mClip &= cell;
        if (client->mClip.Overlap(mpScreen->InvalidRect())) client->Draw();
        client->mClip = saved;
    }
}
