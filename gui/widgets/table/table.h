// GuiTable: a layout window.
//
// Its cells hold other objects (cell clients); rows and columns take the size of the clients that
// ask for it (TCS_SIZES), a cell may span rows and columns, each client is aligned in its cell and
// clipped to it, and grid lines (raised when wider than 3) separate the cells. The table owns its
// clients, laid out or not.
#pragma once

#include "gui/window/window.h"

constexpr uint8_t TYPE_TABLE = 152;

// Cell style bits.
constexpr unsigned TCS_SIZES = 0x0001; // the client sizes its rows and columns
constexpr unsigned TCS_HCENTRE = 0x0100;
constexpr unsigned TCS_RIGHT = 0x0400;
constexpr unsigned TCS_VCENTRE = 0x0800;
constexpr unsigned TCS_BOTTOM = 0x2000;
// Table style bits.
constexpr uint16_t TS_HGRID = 0x1000;
constexpr uint16_t TS_VGRID = 0x2000;
constexpr uint16_t TS_TRANSPARENT = 0x4000;

class GuiTable : public GuiWindow {
  public:
    GuiTable(int left, int top, int rows, int cols);
    ~GuiTable() override;

    void Draw() override;
    void DrawChildren() override;

    virtual void DrawGrid();
    virtual void SetCellPadding(int padding) { mPadding = padding; }
    virtual void SetColWidth(int col, int width, int force);
    virtual void SetRowHeight(int row, int height, int force);
    // Cells outside the grid are refused; spans are cut at its edge.
    virtual void SetCellClient(int row, int col, GuiThing* client, int rowSpan, int colSpan,
                               unsigned int style);
    // Cells that no longer fit are dropped with their clients.
    virtual void Reconfigure(int rows, int cols, int gridWidth, int padding);
    virtual void Layout();

    void SetGridWidth(int grid) { mGrid = grid; }
    GuiThing* GetCellClient(int row, int col);
    int GetRowCol(GuiThing* client, int* row, int* col);
    GuiThing* RemoveCellClient(int row, int col);
    unsigned int GetCellStyle(int row, int col);
    void GetCellSpan(int row, int col, int* rowSpan, int* colSpan);
    int GetForcedColWidth(int col);
    int GetForcedRowHeight(int row);
    int CellSpansRow(int row, int col);
    int CellSpansCol(int row, int col);

    int Rows() const { return mRows; }
    int Cols() const { return mCols; }
    int RowHeight(int row) const { return row >= 0 && row < mRows ? mpHeights[row] : 0; }
    int ColWidth(int col) const { return col >= 0 && col < mCols ? mpWidths[col] : 0; }

  private:
    struct Cell {
        GuiThing* client;
        Cell* next;
        int row, col, rowSpan, colSpan;
        unsigned style;
    };
    int* mpHeights = nullptr;
    int* mpWidths = nullptr;
    Cell* mpCells = nullptr;
    int mPadding = 0;
    int mGrid = 5;
    int mRows = 0;
    int mCols = 0;

    Cell* FindCell(int row, int col);
    void DropCell(Cell* cell, bool destroyClient);
};
