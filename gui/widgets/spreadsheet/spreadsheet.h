// GuiSpreadSheet: a grid of cells with headers, fixed columns, scrolling and selection.
//
// GuiSpreadSheet: a window showing a grid of text or bitmap cells with optional header rows,
// footer rows and row headers, fixed columns at the left that never scroll, scroll bars when the
// grid does not fit, and selection of cells, rows and columns by the pointer, reported to an owner
// (sent directly; payload point: column, row): 8/9 column selected/unselected, 10/11 row
// selected/unselected, 12 cell clicked.
#pragma once

#include "gui/window/window.h"

constexpr uint8_t TYPE_SPREADSHEET = 153;

// Sheet style bits.
constexpr uint16_t SSS_SELECT_CELLS = 0x0400;
constexpr uint16_t SSS_CUT_COLUMN_VISIBLE = 0x0800;
constexpr uint16_t SSS_MULTI_ROWS = 0x1000;
constexpr uint16_t SSS_MULTI_COLUMNS = 0x2000;
// Column style bits.
constexpr uint32_t SSC_FLAT = 0x002;
constexpr uint32_t SSC_RAISED = 0x004;
constexpr uint32_t SSC_RECESSED = 0x008;
constexpr uint32_t SSC_RIGHT = 0x020;
constexpr uint32_t SSC_CENTRE = 0x080;
constexpr uint32_t SSC_HEADER_SELECTS = 0x100;
constexpr uint32_t SSC_SELECTED = 0x200;
constexpr uint32_t SSC_SEPARATOR = 0x400;
constexpr uint32_t SSC_CELLS_SELECT = 0x800;
// Row style bits.
constexpr uint32_t SSR_HEADER_SELECTS = 0x100;
constexpr uint32_t SSR_SELECTED = 0x200;

enum : uint8_t {
    SS_SIG_COLUMN_SELECTED = 8,
    SS_SIG_COLUMN_UNSELECTED = 9,
    SS_SIG_ROW_SELECTED = 10,
    SS_SIG_ROW_UNSELECTED = 11,
    SS_SIG_CELL_CLICKED = 12,
};
constexpr uint16_t SS_VSCROLL_ID = 1000;
constexpr uint16_t SS_HSCROLL_ID = 1001;
constexpr int SS_MAX_HEADER_ROWS = 4;

class GuiSpreadSheetCell {
  public:
    GuiSpreadSheetCell() = default;
    virtual ~GuiSpreadSheetCell();
    GuiSpreadSheetCell(const GuiSpreadSheetCell&) = delete;
    GuiSpreadSheetCell& operator=(const GuiSpreadSheetCell&) = delete;
    void DataSet(const char* text);
    void BmpSet(const GuiBitmap* bitmap);

    char* mpText = nullptr;
    const GuiBitmap* mpBitmap = nullptr;
    int mSelected = 0;
    int mIsText = 1;
    int mCapacity = 0;
};

class GuiSpreadSheetRow {
  public:
    explicit GuiSpreadSheetRow(int cols);
    ~GuiSpreadSheetRow();
    GuiSpreadSheetRow(const GuiSpreadSheetRow&) = delete;
    GuiSpreadSheetRow& operator=(const GuiSpreadSheetRow&) = delete;

    const char* DataGet(int col) const;
    const GuiBitmap* BmpGet(int col) const;
    void DataSet(int col, const char* text);
    void BmpSet(int col, const GuiBitmap* bitmap);
    void SetRowSelected(int flag);
    void SetCellSelected(int col, int flag);
    int GetCellSelected(int col) const;
    int IsText(int col) const;
    void SetRowHeader(const char* text);
    const char* RowHeader() const { return mpHeader; }
    int InsertColumn(int col, const char* text);
    int DeleteColumn(int col);
    int Count() const { return mCount; }

    GuiSpreadSheetCell** mppCells = nullptr;
    int mCount = 0;
    uint32_t mStyle = 0;
    char* mpHeader = nullptr;
};

class GuiSpreadSheet : public GuiWindow {
  public:
    GuiSpreadSheet(const GuiRect& rect, int rows, int cols, unsigned int id, unsigned int style,
                   GuiThing* owner);
    ~GuiSpreadSheet() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetColor(uint8_t index, uint32_t colour) override;
    void Resize(GuiRect rect) override;

    virtual void SetCellData(int row, int col, const char* text, int redraw);
    virtual void SetCellBmp(int row, int col, const GuiBitmap* bitmap, int redraw);
    virtual void SetScrollStartCol(int n);
    virtual void SelectCell(const GuiPoint& p);
    virtual GuiRect GetCellRect(int row, int col);
    virtual void UpdateScrollBars();
    virtual void DrawHeaders();
    virtual void CheckCellSelect(const GuiPoint& p);
    virtual void DrawCellBorder(GuiRect& r, uint32_t colour, int row, int col);
    virtual void DrawFlat(GuiRect& r, uint32_t colour, int width);
    virtual void DrawRecessed(GuiRect& r, uint32_t colour, int row, int col);
    virtual void DrawRaised(GuiRect& r, uint32_t colour, int row, int col);
    virtual void UpdateCell(GuiRect& r, const char* text, unsigned int style, const GuiFont* font,
                            uint32_t ink, uint32_t face);
    virtual void UpdateCell(GuiRect& r, uint32_t ink, uint32_t face, int row, int col);
    virtual void DoVerticalScrolling(int firstRow);
    virtual void DoHorizontalScrolling(int firstCol);
    virtual void ClipToFace();

    void SetSize(int rows, int cols);
    const char* GetCellData(int row, int col);
    const GuiBitmap* GetCellBmp(int row, int col);
    const char* GetRowHeader(int row);
    const char* GetColHeader(int col);
    void SetHeader(int headerRow, int col, const char* text);
    void SetFooter(int footerRow, int col, const char* text);
    void SetRowHeader(int row, const char* text);
    void SetCellFont(const GuiFont* font);
    void SetColumnFont(int col, const GuiFont* font);
    void SetHeaderFont(const GuiFont* font);
    void SetColumnStyle(int col, uint32_t style);
    uint32_t GetColumnStyle(int col) const { return col >= 0 && col < mCols ? mpColStyles[col] : 0; }
    void SetRowStyle(int row, uint32_t style);
    uint32_t GetRowStyle(int row);
    void ForceColWidth(int col, int width);
    void CheckColWidths(int col, int width);
    void SetColWidth(int col, const char* text, const GuiFont* font);
    int GetColWidth(int col) const { return col >= 0 && col < mCols ? mpColWidths[col] : 0; }
    int GetOptimumWidth();
    int GetOptimumHeight();
    int InsertColumn(int col, int width, const char* headerText);
    int AddColumn(int width, const char* headerText) { return InsertColumn(mCols, width, headerText); }
    int DeleteColumn(int col);
    int InsertRow(int row, const char* headerText);
    int AddRow(const char* headerText) { return InsertRow(mRows, headerText); }
    int DeleteRow(int row);
    int GetSelectedRow(int n);
    int GetSelectedColumn(int n);
    int RowSelected(int row);
    int ColSelected(int col);
    void SelectRow(int row, int flag);
    void SelectColumn(int col, int flag);
    void SelectCell(int row, int col, int flag);
    int UnselectCells();
    int UnselectRows();
    int UnselectColumns();
    void UnselectAll();
    int RedrawOneCell(int row, int col);
    void VScrollIntoView(int row);
    uint32_t GetCellBackColor(int row, int col);
    uint32_t GetCellTextColor(int row, int col);
    int TopBorder() const;
    void EndClipToFace();

    int Rows() const { return mRows; }
    int Cols() const { return mCols; }
    int HeaderRows() const { return mHeaderCount; }
    int FooterRows() const { return mFooterCount; }
    int FixedCols() const { return mFixed; }
    int FirstVisibleRow() const { return mFirstRow; }
    int LastVisibleRow() const { return mLastRow; }
    int FirstVisibleCol() const { return mFirstCol; }
    int LastVisibleCol() const { return mLastCol; }
    int VisibleRows() const { return mVisibleRows; }
    int RowHeight() const { return mRowHeight; }
    int HeaderRowHeight() const { return mHeaderRowHeight; }
    int RowHeaderWidth() const { return mRowHeaderWidth; }
    GuiThing* Owner() const { return mpOwner; }

  private:
    GuiSpreadSheetRow** mppRows = nullptr;
    GuiSpreadSheetRow** mppHeaders = nullptr;
    GuiSpreadSheetRow** mppFooters = nullptr;
    uint32_t* mpColStyles = nullptr;
    const GuiFont** mppColFonts = nullptr;
    const GuiFont* mpHeaderFont = nullptr;
    int* mpColWidths = nullptr;
    GuiThing* mpOwner;
    int mRows = 0;
    int mCols = 0;
    int mClipNesting = 0;
    int mFixed = 0;
    int mFixedWidth = 0;
    int mFirstRow = 0;
    int mLastRow = -1;
    int mFirstCol = 0;
    int mLastCol = -1;
    int mVisibleRows = 0;
    int mVisibleCols = 0;
    int mVisibleWidth = 0;
    int mHeaderCount = 0;
    int mFooterCount = 0;
    int mRowHeaderWidth = 0;
    int mLastColCut = 0;
    int mHBarNeeded = 0;
    int mRowHeight = 0;
    int mHeaderRowHeight = 0;
    GuiRect mSavedClip;
    uint32_t mExtra[6] = {GUI_FACE, GUI_WHITE, GUI_WHITE, GUI_BLACK, GUI_SHADOW, GUI_FACE};

    enum { HEADER_FACE, HEADER_TEXT, ROW_HEADER_FACE, ROW_HEADER_TEXT, GRID, FACE };

    void Signal(uint8_t code, int col, int row);
    void ColumnLayout();
    int LastDrawnCol() const;
    bool ColVisible(int col) const;
    int ColumnAt(int x) const;
    int DefaultWidth() const;
    uint32_t NewColumnStyle() const;
    void RebuildBars();
    void Fit();
    GuiSpreadSheetRow** Grow(GuiSpreadSheetRow** rows, int count, int wanted);
    void DrawRowTexts(GuiSpreadSheetRow* row, int top, int height, bool footer);
};
