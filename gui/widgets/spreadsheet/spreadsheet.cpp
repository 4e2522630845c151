#include "gui/widgets/spreadsheet/spreadsheet.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr int SHEET_CELL_FONT_SLOT = 11;
constexpr int SHEET_HEADER_FONT_SLOT = 12;
constexpr int SHEET_BAR = GUI_SCROLL_SIZE;

// `array` of `count` entries replaced by one of `wanted`: an entry inserted (zeroed) at `at`, or
// the one at `removeAt` taken out. False, and the array kept, when memory is short.
template <typename T> bool GuiSheetResize(T*& array, int count, int wanted, int at, int removeAt = -1) {
    T* next = wanted > 0 ? new (std::nothrow) T[static_cast<size_t>(wanted)]() : nullptr;
    if (wanted > 0 && !next) return false;
    int j = 0;
    for (int i = 0; i < count; ++i) {
        if (i == removeAt) continue;
        if (j == at && removeAt < 0) ++j;
        if (j < wanted) next[j++] = array[i];
    }
    delete[] array;
    array = next;
    return true;
}

} // namespace

// ---- cells and rows -----------------------------------------------------------------------------

GuiSpreadSheetCell::~GuiSpreadSheetCell() {
    std::free(mpText);
}

void GuiSpreadSheetCell::DataSet(const char* text) {
    mIsText = 1;
    if (!text) {
        std::free(mpText);
        mpText = nullptr;
        mCapacity = 0;
        return;
    }
    const int len = static_cast<int>(std::strlen(text));
    if (mCapacity <= len) {
        char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 8));
        if (!buf) return;
        std::free(mpText);
        mpText = buf;
        mCapacity = len + 8;
    }
    std::memmove(mpText, text, static_cast<size_t>(len) + 1);
}

void GuiSpreadSheetCell::BmpSet(const GuiBitmap* bitmap) {
    mpBitmap = bitmap;
    mIsText = 0;
}

GuiSpreadSheetRow::GuiSpreadSheetRow(int cols) {
    if (cols <= 0) return;
    mppCells = new (std::nothrow) GuiSpreadSheetCell*[static_cast<size_t>(cols)]();
    if (!mppCells) return;
    for (int i = 0; i < cols; ++i)
        if ((mppCells[i] = new (std::nothrow) GuiSpreadSheetCell))
            mCount = i + 1;
        else
            break;
}

GuiSpreadSheetRow::~GuiSpreadSheetRow() {
    for (int i = 0; i < mCount; ++i)
        delete mppCells[i];
    delete[] mppCells;
    std::free(mpHeader);
}

const char* GuiSpreadSheetRow::DataGet(int col) const {
    return col >= 0 && col < mCount ? mppCells[col]->mpText : nullptr;
}
const GuiBitmap* GuiSpreadSheetRow::BmpGet(int col) const {
    return col >= 0 && col < mCount ? mppCells[col]->mpBitmap : nullptr;
}
void GuiSpreadSheetRow::DataSet(int col, const char* text) {
    if (col >= 0 && col < mCount) mppCells[col]->DataSet(text);
}
void GuiSpreadSheetRow::BmpSet(int col, const GuiBitmap* bitmap) {
    if (col >= 0 && col < mCount) mppCells[col]->BmpSet(bitmap);
}
void GuiSpreadSheetRow::SetRowSelected(int flag) {
    if (flag)
        mStyle |= SSR_SELECTED;
    else
        mStyle &= ~SSR_SELECTED;
    for (int i = 0; i < mCount; ++i)
        mppCells[i]->mSelected = flag ? 1 : 0;
}
void GuiSpreadSheetRow::SetCellSelected(int col, int flag) {
    if (col >= 0 && col < mCount) mppCells[col]->mSelected = flag ? 1 : 0;
}
int GuiSpreadSheetRow::GetCellSelected(int col) const {
    return col >= 0 && col < mCount ? mppCells[col]->mSelected : 0;
}
int GuiSpreadSheetRow::IsText(int col) const {
    return col >= 0 && col < mCount ? mppCells[col]->mIsText : 0;
}
void GuiSpreadSheetRow::SetRowHeader(const char* text) {
    std::free(mpHeader);
    mpHeader = GuiCopyText(text);
}

int GuiSpreadSheetRow::InsertColumn(int col, const char* text) {
    if (col < 0 || col > mCount) return 0;
    auto* cell = new (std::nothrow) GuiSpreadSheetCell;
    if (!cell) return 0;
    if (!GuiSheetResize(mppCells, mCount, mCount + 1, col)) {
        delete cell;
        return 0;
    }
    mppCells[col] = cell;
    ++mCount;
    if (text) cell->DataSet(text);
    return 1;
}

int GuiSpreadSheetRow::DeleteColumn(int col) {
    if (col < 0 || col >= mCount) return 0;
    GuiSpreadSheetCell* gone = mppCells[col];
    if (!GuiSheetResize(mppCells, mCount, mCount - 1, -1, col)) return 0;
    delete gone;
    --mCount;
    return 1;
}

// ---- the sheet ----------------------------------------------------------------------------------

GuiSpreadSheet::GuiSpreadSheet(const GuiRect& r, int rows, int cols, unsigned int id, unsigned int style,
                               GuiThing* owner)
    : GuiWindow(r, style), mpOwner(owner) {
    mId = static_cast<uint16_t>(id);
    mType = TYPE_SPREADSHEET;
    mColors[0] = GUI_FACE;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    mpFont = mFontTable[SHEET_CELL_FONT_SLOT];
    mpHeaderFont = mFontTable[SHEET_HEADER_FONT_SLOT];
    const int h = GuiFontHeight(mpFont);
    mRowHeight = h + h / 2;
    mHeaderRowHeight = GuiFontHeight(mpHeaderFont);
    SetSize(rows, cols);
}

GuiSpreadSheet::~GuiSpreadSheet() {
    for (int i = 0; i < mRows; ++i)
        delete mppRows[i];
    for (int i = 0; i < mHeaderCount; ++i)
        delete mppHeaders[i];
    for (int i = 0; i < mFooterCount; ++i)
        delete mppFooters[i];
    delete[] mppRows;
    delete[] mppHeaders;
    delete[] mppFooters;
    delete[] mpColStyles;
    delete[] mppColFonts;
    delete[] mpColWidths;
}

int GuiSpreadSheet::DefaultWidth() const {
    return GuiTextWidthOf(" ", mFontTable[SHEET_CELL_FONT_SLOT]) + 8;
}

uint32_t GuiSpreadSheet::NewColumnStyle() const {
    return (mStyle & SSS_SELECT_CELLS) ? SSC_CELLS_SELECT : 0;
}

void GuiSpreadSheet::SetSize(int rows, int cols) {
    rows = rows > 0 ? rows : 0;
    cols = cols > 0 ? cols : 0;
    for (int i = 0; i < mRows; ++i)
        delete mppRows[i];
    for (int i = 0; i < mHeaderCount; ++i)
        delete mppHeaders[i];
    delete[] mppRows;
    delete[] mppHeaders;
    mppHeaders = nullptr;
    mHeaderCount = 0;
    delete[] mpColStyles;
    delete[] mppColFonts;
    delete[] mpColWidths;
    mppRows = rows ? new (std::nothrow) GuiSpreadSheetRow*[static_cast<size_t>(rows)]() : nullptr;
    mpColStyles = cols ? new (std::nothrow) uint32_t[static_cast<size_t>(cols)] : nullptr;
    mppColFonts = cols ? new (std::nothrow) const GuiFont*[static_cast<size_t>(cols)] : nullptr;
    mpColWidths = cols ? new (std::nothrow) int[static_cast<size_t>(cols)] : nullptr;
    if ((rows && !mppRows) || (cols && (!mpColStyles || !mppColFonts || !mpColWidths))) rows = cols = 0;
    mCols = cols;
    mRows = 0;
    for (int i = 0; i < rows; ++i) {
        mppRows[i] = new (std::nothrow) GuiSpreadSheetRow(cols);
        if (!mppRows[i]) break;
        mRows = i + 1;
    }
    for (int c = 0; c < mCols; ++c) {
        mpColStyles[c] = 0x888;
        mppColFonts[c] = mFontTable[SHEET_CELL_FONT_SLOT];
        mpColWidths[c] = DefaultWidth();
    }
    Fit();
}

// Keeps the fixed and visible columns and the visible rows inside the grid.
void GuiSpreadSheet::Fit() {
    if (mFixed > mCols) mFixed = mCols;
    mFixedWidth = 0;
    for (int c = 0; c < mFixed; ++c)
        mFixedWidth += mpColWidths[c];
    if (mFirstCol < mFixed) mFirstCol = mFixed;
    if (mFirstCol > mCols - 1) mFirstCol = mCols - 1 > mFixed ? mCols - 1 : mFixed;
    if (mLastCol > mCols - 1) mLastCol = mCols - 1;
    if (mFirstRow > mRows - 1) mFirstRow = mRows > 0 ? mRows - 1 : 0;
    if (mLastRow > mRows - 1) mLastRow = mRows - 1;
}

int GuiSpreadSheet::TopBorder() const {
    return mHeaderCount ? mHeaderCount * mHeaderRowHeight + 10 : 6;
}

void GuiSpreadSheet::Signal(uint8_t code, int col, int row) {
    if (!mId || !mpOwner) return;
    GuiMessage m(static_cast<uint16_t>(mId * 16 + 128 + code), mpOwner, this, mId);
    m.payload.point = GuiPoint(col, row);
    mpOwner->Message(m);
}

// ---- data ---------------------------------------------------------------------------------------

const char* GuiSpreadSheet::GetCellData(int row, int col) {
    return row >= 0 && row < mRows ? mppRows[row]->DataGet(col) : nullptr;
}
const GuiBitmap* GuiSpreadSheet::GetCellBmp(int row, int col) {
    return row >= 0 && row < mRows ? mppRows[row]->BmpGet(col) : nullptr;
}
const char* GuiSpreadSheet::GetRowHeader(int row) {
    return row >= 0 && row < mRows ? mppRows[row]->RowHeader() : nullptr;
}
const char* GuiSpreadSheet::GetColHeader(int col) {
    return mHeaderCount ? mppHeaders[0]->DataGet(col) : nullptr;
}

void GuiSpreadSheet::SetCellData(int row, int col, const char* text, int redraw) {
    if (row < 0 || row >= mRows || col < 0 || col >= mCols) return;
    mppRows[row]->DataSet(col, text);
    if (Visible()) {
        if (redraw) RedrawOneCell(row, col);
    } else if (text) {
        CheckColWidths(col, GuiTextWidthOf(text, mppColFonts[col]) + 8);
    }
}

void GuiSpreadSheet::SetCellBmp(int row, int col, const GuiBitmap* bitmap, int redraw) {
    if (row < 0 || row >= mRows || col < 0 || col >= mCols) return;
    mppRows[row]->BmpSet(col, bitmap);
    if (Visible()) {
        if (redraw) RedrawOneCell(row, col);
    } else if (bitmap) {
        CheckColWidths(col, bitmap->width);
    }
}

GuiSpreadSheetRow** GuiSpreadSheet::Grow(GuiSpreadSheetRow** rows, int count, int wanted) {
    auto** next = new (std::nothrow) GuiSpreadSheetRow*[static_cast<size_t>(wanted)]();
    if (!next) return nullptr;
    for (int i = 0; i < count; ++i)
        next[i] = rows[i];
    for (int i = count; i < wanted; ++i)
        if (!(next[i] = new (std::nothrow) GuiSpreadSheetRow(mCols))) {
            for (int j = count; j < i; ++j)
                delete next[j];
            delete[] next;
            return nullptr;
        }
    delete[] rows;
    return next;
}

void GuiSpreadSheet::SetHeader(int headerRow, int col, const char* text) {
    if (headerRow < 1 || headerRow > SS_MAX_HEADER_ROWS || col < 0 || col >= mCols) return;
    if (headerRow > mHeaderCount) {
        GuiSpreadSheetRow** grown = Grow(mppHeaders, mHeaderCount, headerRow);
        if (!grown) return;
        mppHeaders = grown;
        mHeaderCount = headerRow;
    }
    const int before = mpColWidths[col];
    if (text) CheckColWidths(col, GuiTextWidthOf(text, mpHeaderFont) + 8);
    mppHeaders[headerRow - 1]->DataSet(col, text);
    if (Visible() && mpColWidths[col] != before) RebuildBars();
}

void GuiSpreadSheet::SetFooter(int footerRow, int col, const char* text) {
    if (footerRow < 1 || footerRow > SS_MAX_HEADER_ROWS || col < 0 || col >= mCols) return;
    if (footerRow > mFooterCount) {
        GuiSpreadSheetRow** grown = Grow(mppFooters, mFooterCount, footerRow);
        if (!grown) return;
        mppFooters = grown;
        mFooterCount = footerRow;
    }
    if (text) CheckColWidths(col, GuiTextWidthOf(text, mpHeaderFont) + 8);
    mppFooters[footerRow - 1]->DataSet(col, text);
}

void GuiSpreadSheet::SetRowHeader(int row, const char* text) {
    if (row < 0 || row >= mRows) return;
    mppRows[row]->SetRowHeader(text);
    const int w = text ? GuiTextWidthOf(text, mpHeaderFont) + 8 : 0;
    if (w <= mRowHeaderWidth) return;
    mRowHeaderWidth = w;
    if (Visible()) RebuildBars();
}

void GuiSpreadSheet::SetCellFont(const GuiFont* font) {
    for (int c = 0; c < mCols; ++c)
        mppColFonts[c] = font;
    const int h = GuiFontHeight(font);
    mRowHeight = h + h / 2;
}

void GuiSpreadSheet::SetColumnFont(int col, const GuiFont* font) {
    if (col < 0 || col >= mCols) return;
    mppColFonts[col] = font;
    int h = 0;
    for (int c = 0; c < mCols; ++c)
        if (GuiFontHeight(mppColFonts[c]) > h) h = GuiFontHeight(mppColFonts[c]);
    mRowHeight = h + h / 2;
}

void GuiSpreadSheet::SetHeaderFont(const GuiFont* font) {
    mpHeaderFont = font;
    mHeaderRowHeight = GuiFontHeight(font);
    if (Visible()) RebuildBars();
}

void GuiSpreadSheet::SetColumnStyle(int col, uint32_t style) {
    if (col < 0 || col >= mCols) return;
    mpColStyles[col] = style;
    if (style & SSC_SEPARATOR) mpColWidths[col] = 4;
    Fit();
}

void GuiSpreadSheet::SetRowStyle(int row, uint32_t style) {
    if (row >= 0 && row < mRows) mppRows[row]->mStyle = style;
}
uint32_t GuiSpreadSheet::GetRowStyle(int row) {
    return row >= 0 && row < mRows ? mppRows[row]->mStyle : 0;
}

void GuiSpreadSheet::ForceColWidth(int col, int width) {
    if (col < 0 || col >= mCols || (mpColStyles[col] & SSC_SEPARATOR)) return;
    mpColWidths[col] = width;
    Fit();
}
void GuiSpreadSheet::CheckColWidths(int col, int width) {
    if (col < 0 || col >= mCols || mpColWidths[col] >= width) return;
    ForceColWidth(col, width);
}
void GuiSpreadSheet::SetColWidth(int col, const char* text, const GuiFont* font) {
    if (text) CheckColWidths(col, GuiTextWidthOf(text, font) + 8);
}

int GuiSpreadSheet::GetOptimumWidth() {
    int64_t w = mRowHeaderWidth + 16;
    for (int c = 0; c < mCols; ++c)
        w += mpColWidths[c];
    return static_cast<int>(w > 32767 ? 32767 : w);
}

int GuiSpreadSheet::GetOptimumHeight() {
    const int64_t h =
        TopBorder() + int64_t{mRows} * mRowHeight + int64_t{mFooterCount} * mHeaderRowHeight + 10;
    return static_cast<int>(h > 32767 ? 32767 : h);
}

int GuiSpreadSheet::InsertColumn(int col, int width, const char* headerText) {
    if (col < 0 || col > mCols) return -1;
    if (!GuiSheetResize(mpColStyles, mCols, mCols + 1, col) ||
        !GuiSheetResize(mppColFonts, mCols, mCols + 1, col) ||
        !GuiSheetResize(mpColWidths, mCols, mCols + 1, col))
        return -1;
    mpColStyles[col] = NewColumnStyle();
    mppColFonts[col] = mFontTable[SHEET_CELL_FONT_SLOT];
    mpColWidths[col] = width;
    ++mCols;
    for (int i = 0; i < mRows; ++i)
        mppRows[i]->InsertColumn(col, nullptr);
    for (int i = 0; i < mHeaderCount; ++i)
        mppHeaders[i]->InsertColumn(col, i == 0 ? headerText : nullptr);
    for (int i = 0; i < mFooterCount; ++i)
        mppFooters[i]->InsertColumn(col, nullptr);
    if (col < mFixed) ++mFixed;
    Fit();
    if (Visible()) RebuildBars();
    return mCols;
}

int GuiSpreadSheet::DeleteColumn(int col) {
    if (mCols < 2 || col < 0 || col >= mCols) return -1;
    GuiSheetResize(mpColStyles, mCols, mCols - 1, -1, col);
    GuiSheetResize(mppColFonts, mCols, mCols - 1, -1, col);
    GuiSheetResize(mpColWidths, mCols, mCols - 1, -1, col);
    --mCols;
    for (int i = 0; i < mRows; ++i)
        mppRows[i]->DeleteColumn(col);
    for (int i = 0; i < mHeaderCount; ++i)
        mppHeaders[i]->DeleteColumn(col);
    for (int i = 0; i < mFooterCount; ++i)
        mppFooters[i]->DeleteColumn(col);
    // The fixed and visible columns stay inside the narrower grid.
    if (col < mFixed) --mFixed;
    Fit();
    if (Visible()) RebuildBars();
    return mCols;
}

int GuiSpreadSheet::InsertRow(int row, const char* headerText) {
    if (row < 0 || row > mRows) return -1;
    auto* r = new (std::nothrow) GuiSpreadSheetRow(mCols);
    if (!r) return -1;
    if (!GuiSheetResize(mppRows, mRows, mRows + 1, row)) {
        delete r;
        return -1;
    }
    mppRows[row] = r;
    ++mRows;
    if (headerText) SetRowHeader(row, headerText);
    if (Visible()) RebuildBars();
    return mRows;
}

int GuiSpreadSheet::DeleteRow(int row) {
    if (row < 0 || row >= mRows) return -1;
    GuiSpreadSheetRow* gone = mppRows[row];
    if (!GuiSheetResize(mppRows, mRows, mRows - 1, -1, row)) return -1;
    delete gone;
    --mRows;
    Fit();
    if (Visible()) RebuildBars();
    return mRows;
}

// ---- layout and scrolling -----------------------------------------------------------------------

void GuiSpreadSheet::ColumnLayout() {
    Fit();
    const bool allRows = mVisibleRows >= mRows;
    const int64_t limit = int64_t{mReal.right} - mReal.left - 5 - (allRows ? 0 : SHEET_BAR);
    int64_t x = int64_t{mRowHeaderWidth} + mFixedWidth + 6;
    int last = mFirstCol - 1;
    mLastColCut = 0;
    for (int c = mFirstCol; c < mCols; ++c) {
        x += mpColWidths[c];
        last = c;
        if (x > limit) {
            mLastColCut = 1;
            break;
        }
    }
    mVisibleCols = mFixed + (last - mFirstCol + 1);
    mVisibleWidth = static_cast<int>(x - mRowHeaderWidth - 6);
    mLastCol = last - (mLastColCut && !(mStyle & SSS_CUT_COLUMN_VISIBLE) ? 1 : 0);
}

int GuiSpreadSheet::LastDrawnCol() const {
    return mLastCol + (mLastColCut && !(mStyle & SSS_CUT_COLUMN_VISIBLE) ? 1 : 0);
}

void GuiSpreadSheet::UpdateScrollBars() {
    const int rowHeight = mRowHeight > 0 ? mRowHeight : 1;
    int64_t widths = 0;
    for (int c = 0; c < mCols; ++c)
        widths += mpColWidths[c];
    auto rowPass = [&](bool room) {
        mHBarNeeded =
            int64_t{mReal.left} + mRowHeaderWidth + 6 + (room ? SHEET_BAR : 0) + widths > mReal.right - 6;
        const int64_t space = int64_t{mReal.Height()} - TopBorder() - 6 -
                              int64_t{mFooterCount} * mHeaderRowHeight - (mHBarNeeded ? SHEET_BAR : 0);
        mVisibleRows = space > 0 ? static_cast<int>(space / rowHeight) : 0;
    };
    rowPass(mpVScroll != nullptr);
    if (mVisibleRows < mRows && !mpVScroll) rowPass(true);
    if (mVisibleRows >= mRows) {
        mFirstRow = 0;
        mLastRow = mRows - 1;
    } else {
        mLastRow = mFirstRow + mVisibleRows - 1;
        if (mLastRow > mRows - 1) {
            mLastRow = mRows - 1;
            mFirstRow = mLastRow - mVisibleRows + 1;
        }
    }
    ColumnLayout();
    const int R = mReal.right, B = mReal.bottom;
    if (mVisibleRows >= mRows) {
        if (GuiVScroll* b = mpVScroll) {
            mpVScroll = nullptr;
            Destroy(b);
        }
    } else {
        GuiScrollInfo info{0, mRows - 1, mFirstRow, 1, mVisibleRows};
        const int top = mReal.top + TopBorder();
        const GuiRect r = GuiClampRect(R - 7 - SHEET_BAR + 1, top, R - 7,
                                       int64_t{top} + int64_t{mVisibleRows} * rowHeight - 1);
        if (!mpVScroll) {
            mpVScroll = new (std::nothrow) GuiVScroll(r, &info, SS_VSCROLL_ID);
            if (mpVScroll) GuiThing::Add(mpVScroll, 1);
        } else {
            mpVScroll->Resize(r);
            mpVScroll->Reset(&info);
        }
    }
    if (!mHBarNeeded) {
        if (GuiHScroll* b = mpHScroll) {
            mpHScroll = nullptr;
            Destroy(b);
        }
    } else {
        GuiScrollInfo info{mFixed, mCols - mVisibleCols + 3, mFirstCol, 1,
                           mVisibleCols - mFixed - (mLastColCut ? 1 : 0)};
        const GuiRect r = GuiClampRect(int64_t{mReal.left} + 6 + mRowHeaderWidth + mFixedWidth,
                                       B - 6 - SHEET_BAR + 1, R - 6 - (mpVScroll ? SHEET_BAR : 0), B - 6);
        if (!mpHScroll) {
            mpHScroll = new (std::nothrow) GuiHScroll(r, &info, SS_HSCROLL_ID);
            if (mpHScroll) GuiThing::Add(mpHScroll, 1);
        } else {
            mpHScroll->Resize(r);
            mpHScroll->Reset(&info);
        }
    }
}

void GuiSpreadSheet::RebuildBars() {
    UpdateScrollBars();
    GuiRedraw(this);
}

void GuiSpreadSheet::DoVerticalScrolling(int first) {
    const int most = mRows - mVisibleRows;
    if (first > most) first = most;
    if (first < 0) first = 0;
    mLastRow += first - mFirstRow;
    if (mLastRow > mRows - 1) mLastRow = mRows - 1;
    mFirstRow = first;
    if (!Visible() || !mpScreen) return;
    const int bottom = mpHScroll ? mpHScroll->mReal.top - 1 : mReal.bottom - 6;
    const int right = mpVScroll ? mpVScroll->mReal.left - 1 : mReal.right - 6;
    mpScreen->Invalidate(GuiRect(mReal.left, mReal.top + TopBorder(), right, bottom));
    Draw();
}

void GuiSpreadSheet::DoHorizontalScrolling(int first) {
    // Never past the last column.
    if (first > mCols - 1) first = mCols - 1;
    if (first < mFixed) first = mFixed;
    if (first == mFirstCol) return;
    mFirstCol = first;
    ColumnLayout();
    if (mpHScroll) {
        GuiScrollInfo info{mFixed, mCols - mVisibleCols + 3, mFirstCol, 1,
                           mVisibleCols - mFixed - (mLastColCut ? 1 : 0)};
        mpHScroll->Reset(&info);
    }
    if (!Visible() || !mpScreen) return;
    mpScreen->Invalidate(GuiClampRect(int64_t{mReal.left} + 6 + mRowHeaderWidth + mFixedWidth, mReal.top,
                                      mReal.right, mReal.bottom));
    Draw();
}

void GuiSpreadSheet::SetScrollStartCol(int n) {
    if (n < 0 || n > mCols) return;
    mFixed = n;
    mFirstCol = n;
    Fit();
    if (Visible()) RebuildBars();
}

void GuiSpreadSheet::VScrollIntoView(int row) {
    if (!mpVScroll) return;
    int first = row - mVisibleRows / 2;
    if (first > mRows - mVisibleRows) first = mRows - mVisibleRows;
    if (first < 0) first = 0;
    GuiScrollInfo info{0, mRows - 1, first, 1, mVisibleRows};
    mpVScroll->Reset(&info);
    DoVerticalScrolling(first);
}

void GuiSpreadSheet::Resize(GuiRect r) {
    GuiWindow::Resize(r);
    mFirstCol = mFixed;
    UpdateScrollBars();
    MessageChildren(GuiMessage(GM_PARENT_SIZED));
}

// ---- drawing ------------------------------------------------------------------------------------

void GuiSpreadSheet::ClipToFace() {
    if (mClipNesting++) return;
    mSavedClip = mClip;
    GuiRect face = mReal;
    face -= 6;
    mClip &= face & mClient;
    if (mpVScroll && mClip.right >= mpVScroll->mReal.left)
        mClip.right = static_cast<int16_t>(mpVScroll->mReal.left - 1);
}

void GuiSpreadSheet::EndClipToFace() {
    if (mClipNesting > 0 && --mClipNesting == 0) mClip = mSavedClip;
}

GuiRect GuiSpreadSheet::GetCellRect(int row, int col) {
    const int64_t top = int64_t{mReal.top} + TopBorder() + int64_t{row - mFirstRow} * mRowHeight;
    int64_t left = int64_t{mReal.left} + mRowHeaderWidth + 6;
    if (mFixed > 0 && col < mFixed) {
        for (int c = 0; c < col; ++c)
            left += mpColWidths[c];
    } else {
        left += mFixedWidth;
        for (int c = mFirstCol; c < col && c < mCols; ++c)
            left += mpColWidths[c];
    }
    const int w = col >= 0 && col < mCols ? mpColWidths[col] : 0;
    return GuiClampRect(left, top, left + w - 1, top + mRowHeight - 1);
}

uint32_t GuiSpreadSheet::GetCellBackColor(int row, int col) {
    const bool selected = row >= 0 && row < mRows && mppRows[row]->GetCellSelected(col);
    if (selected && !(GetColumnStyle(col) & SSC_SEPARATOR)) return mColors[1];
    return mColors[0];
}

uint32_t GuiSpreadSheet::GetCellTextColor(int row, int col) {
    return row >= 0 && row < mRows && mppRows[row]->GetCellSelected(col) ? mColors[3] : mColors[2];
}

void GuiSpreadSheet::DrawFlat(GuiRect& r, uint32_t colour, int width) {
    if (mpScreen) mpScreen->Rectangle(this, r, GuiColor(mExtra[GRID], colour, GUI_COLOR_FILL), width);
}

void GuiSpreadSheet::DrawRecessed(GuiRect& r, uint32_t colour, int, int col) {
    if (GetColumnStyle(col) & SSC_SEPARATOR) {
        GuiFill(this, GuiRect(r.left - 1, r.top, r.right + 1, r.bottom), mExtra[GRID]);
        return;
    }
    GuiStroke(this, r.left, r.top, r.right, r.top, mExtra[GRID]);
    GuiStroke(this, r.left, r.top, r.left, r.bottom, mExtra[GRID]);
    GuiStroke(this, r.left, r.bottom, r.right, r.bottom, GUI_WHITE);
    GuiStroke(this, r.right, r.top, r.right, r.bottom, GUI_WHITE);
    GuiFill(this, GuiRect(r.left + 1, r.top + 1, r.right - 1, r.bottom - 1), colour);
}

void GuiSpreadSheet::DrawRaised(GuiRect& r, uint32_t colour, int, int col) {
    if (GetColumnStyle(col) & SSC_SEPARATOR) {
        GuiFill(this, GuiRect(r.left - 1, r.top, r.right + 1, r.bottom), mExtra[GRID]);
        return;
    }
    GuiStroke(this, r.left, r.top, r.right, r.top, GUI_WHITE);
    GuiStroke(this, r.left, r.top, r.left, r.bottom, GUI_WHITE);
    GuiStroke(this, r.left, r.bottom, r.right, r.bottom, mExtra[GRID]);
    GuiStroke(this, r.right, r.top, r.right, r.bottom, mExtra[GRID]);
    GuiFill(this, GuiRect(r.left + 1, r.top + 1, r.right - 1, r.bottom - 1), colour);
}

void GuiSpreadSheet::DrawCellBorder(GuiRect& r, uint32_t colour, int row, int col) {
    const uint32_t style = GetColumnStyle(col);
    if (style & SSC_RECESSED)
        DrawRecessed(r, colour, row, col);
    else if (style & SSC_RAISED)
        DrawRaised(r, colour, row, col);
    else
        DrawFlat(r, colour, (style & SSC_FLAT) ? 1 : 0);
}

void GuiSpreadSheet::UpdateCell(GuiRect& r, const char* text, unsigned int style, const GuiFont* font,
                                uint32_t ink, uint32_t face) {
    if (!text || !mpScreen) return;
    const int inset = (style & SSC_FLAT) ? 2 : (style & (SSC_RAISED | SSC_RECESSED)) ? 3 : 0;
    GuiRect in = r;
    in -= inset;
    const GuiRect saved = mClip;
    mClip &= in;
    const int tw = GuiTextWidthOf(text, font);
    int x = r.left + inset;
    if (style & SSC_RIGHT)
        x = r.right - inset - tw;
    else if (style & SSC_CENTRE)
        x = r.left + (r.Width() - tw) / 2;
    GuiColor c(ink, face, GUI_COLOR_FILL);
    mpScreen->DrawText(this, GuiPoint(x, r.top + (r.Height() - GuiFontHeight(font)) / 2), text, c, font);
    mClip = saved;
}

void GuiSpreadSheet::UpdateCell(GuiRect& r, uint32_t ink, uint32_t face, int row, int col) {
    if (row < 0 || row >= mRows || col < 0 || col >= mCols) return;
    GuiSpreadSheetRow* data = mppRows[row];
    if (data->IsText(col)) {
        UpdateCell(r, data->DataGet(col), mpColStyles[col], mppColFonts[col], ink, face);
        return;
    }
    const GuiBitmap* b = data->BmpGet(col);
    if (!b || !mpScreen) return;
    const GuiRect saved = mClip;
    mClip &= GuiRect(r.left, r.top + 1, r.right, r.bottom - 1);
    mpScreen->Bitmap(this,
                     GuiPoint(r.left + (r.Width() - b->width) / 2, r.top + (r.Height() - b->height) / 2),
                     const_cast<GuiBitmap*>(b));
    mClip = saved;
}

bool GuiSpreadSheet::ColVisible(int col) const {
    return col >= 0 && col < mCols && (col < mFixed || (col >= mFirstCol && col <= mLastCol));
}

void GuiSpreadSheet::DrawRowTexts(GuiSpreadSheetRow* row, int top, int height, bool footer) {
    auto draw = [&](int c) {
        GuiRect r = GetCellRect(mFirstRow, c);
        r.top = static_cast<int16_t>(top);
        r.bottom = static_cast<int16_t>(top + height - 1);
        if (!footer) DrawFlat(r, mExtra[HEADER_FACE], 1);
        UpdateCell(r, row->DataGet(c), SSC_CENTRE, mpHeaderFont, mExtra[HEADER_TEXT],
                   footer ? GUI_FACE : mColors[0]);
    };
    for (int c = 0; c < mFixed; ++c)
        draw(c);
    for (int c = mFirstCol; c <= LastDrawnCol() && c < mCols; ++c)
        draw(c);
}

void GuiSpreadSheet::DrawHeaders() {
    for (int h = 0; h < mHeaderCount; ++h)
        DrawRowTexts(mppHeaders[h], mReal.top + 6 + h * mHeaderRowHeight, mHeaderRowHeight, false);
}

void GuiSpreadSheet::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    const uint32_t normal = mColors[0];
    mColors[0] = mExtra[FACE];
    DrawFrame(1);
    mColors[0] = normal;
    ClipToFace();
    DrawHeaders();
    for (int r = mFirstRow; r <= mLastRow && r < mRows; ++r) {
        auto cell = [&](int c) {
            GuiRect rc = GetCellRect(r, c);
            DrawCellBorder(rc, GetCellBackColor(r, c), r, c);
            UpdateCell(rc, GetCellTextColor(r, c), GetCellBackColor(r, c), r, c);
        };
        for (int c = 0; c < mFixed; ++c)
            cell(c);
        for (int c = mFirstCol; c <= LastDrawnCol() && c < mCols; ++c)
            cell(c);
    }
    const int footerTop = mReal.top + TopBorder() + mVisibleRows * mRowHeight;
    if (mFooterCount) {
        GuiFill(this,
                GuiRect(mReal.left, footerTop, mReal.right, footerTop + mFooterCount * mHeaderRowHeight - 1),
                GUI_FACE);
        for (int f = 0; f < mFooterCount; ++f)
            DrawRowTexts(mppFooters[f], footerTop + f * mHeaderRowHeight, mHeaderRowHeight, true);
    }
    for (int r = mFirstRow; r <= mLastRow && r < mRows; ++r) {
        const char* text = mppRows[r]->RowHeader();
        if (!text) continue;
        const GuiRect rc = GetCellRect(r, 0);
        GuiRect h(mReal.left + 6, rc.top, mReal.left + 5 + mRowHeaderWidth, rc.bottom);
        DrawFlat(h, mExtra[ROW_HEADER_FACE], 1);
        UpdateCell(h, text, SSC_RIGHT | SSC_FLAT, mpHeaderFont, mExtra[ROW_HEADER_TEXT],
                   mExtra[ROW_HEADER_FACE]);
    }
    EndClipToFace();
    DrawChildren();
    mpScreen->EndDraw();
}

int GuiSpreadSheet::RedrawOneCell(int row, int col) {
    if (row < mFirstRow || row > mLastRow || row >= mRows || !ColVisible(col) || !Visible() || !mpScreen)
        return 0;
    ClipToFace();
    GuiRect r = GetCellRect(row, col);
    int done = 0;
    if (r.Overlap(mClip)) {
        mpScreen->Invalidate(r);
        mpScreen->BeginDraw(this);
        DrawCellBorder(r, GetCellBackColor(row, col), row, col);
        UpdateCell(r, GetCellTextColor(row, col), GetCellBackColor(row, col), row, col);
        mpScreen->EndDraw();
        done = 1;
    }
    EndClipToFace();
    return done;
}

void GuiSpreadSheet::SetColor(uint8_t index, uint32_t colour) {
    if (index <= 3)
        GuiWindow::SetColor(index, colour);
    else if (index <= 9)
        mExtra[index - 4] = colour;
}

// ---- selection ----------------------------------------------------------------------------------

int GuiSpreadSheet::RowSelected(int row) {
    return (GetRowStyle(row) & SSR_SELECTED) ? 1 : 0;
}
int GuiSpreadSheet::ColSelected(int col) {
    return (GetColumnStyle(col) & SSC_SELECTED) ? 1 : 0;
}

int GuiSpreadSheet::GetSelectedRow(int n) {
    for (int r = 0; r < mRows; ++r)
        if (RowSelected(r) && n-- == 0) return r;
    return -1;
}

int GuiSpreadSheet::GetSelectedColumn(int n) {
    for (int c = 0; c < mCols; ++c)
        if (ColSelected(c) && n-- == 0) return c;
    return -1;
}

int GuiSpreadSheet::UnselectCells() {
    for (int r = 0; r < mRows; ++r)
        for (int c = 0; c < mCols; ++c)
            if (mppRows[r]->GetCellSelected(c)) {
                mppRows[r]->SetCellSelected(c, 0);
                RedrawOneCell(r, c);
                return 1;
            }
    return 0;
}

int GuiSpreadSheet::UnselectRows() {
    int any = 0;
    for (int r = 0; r < mRows; ++r)
        if (RowSelected(r)) {
            SelectRow(r, 0);
            any = 1;
        }
    return any;
}

int GuiSpreadSheet::UnselectColumns() {
    int any = 0;
    for (int c = 0; c < mCols; ++c)
        if (ColSelected(c)) {
            SelectColumn(c, 0);
            any = 1;
        }
    return any;
}

void GuiSpreadSheet::UnselectAll() {
    if (UnselectRows() || UnselectColumns()) return;
    while (UnselectCells()) {
    }
}

void GuiSpreadSheet::SelectRow(int row, int flag) {
    if (row < 0 || row >= mRows) return;
    if (flag) {
        if (mStyle & SSS_MULTI_ROWS) {
            if (!UnselectColumns() && GetSelectedRow(0) < 0)
                while (UnselectCells()) {
                }
        } else if (GetSelectedRow(0) < 0) {
            if (!UnselectColumns())
                while (UnselectCells()) {
                }
        } else {
            UnselectRows();
        }
    }
    mppRows[row]->SetRowSelected(flag);
    for (int c = 0; c < mCols; ++c)
        if (ColVisible(c) && !RedrawOneCell(row, c)) break;
    Signal(flag ? SS_SIG_ROW_SELECTED : SS_SIG_ROW_UNSELECTED, 0, row);
}

void GuiSpreadSheet::SelectColumn(int col, int flag) {
    if (col < 0 || col >= mCols) return;
    if (flag) {
        if (mStyle & SSS_MULTI_COLUMNS) {
            if (!UnselectRows() && GetSelectedColumn(0) < 0)
                while (UnselectCells()) {
                }
        } else if (GetSelectedColumn(0) < 0) {
            if (!UnselectRows())
                while (UnselectCells()) {
                }
        } else {
            UnselectColumns();
        }
    }
    if (flag)
        mpColStyles[col] |= SSC_SELECTED;
    else
        mpColStyles[col] &= ~SSC_SELECTED;
    for (int r = 0; r < mRows; ++r)
        mppRows[r]->SetCellSelected(col, flag);
    for (int r = mFirstRow; r <= mLastRow && r < mRows; ++r)
        if (!RedrawOneCell(r, col)) break;
    Signal(flag ? SS_SIG_COLUMN_SELECTED : SS_SIG_COLUMN_UNSELECTED, col, 0);
}

void GuiSpreadSheet::SelectCell(int row, int col, int flag) {
    if (row < 0 || row >= mRows || col < 0 || col >= mCols) return;
    if (!UnselectRows() && !UnselectColumns())
        while (UnselectCells()) {
        }
    if (!flag) return;
    mppRows[row]->SetCellSelected(col, 1);
    RedrawOneCell(row, col);
}

int GuiSpreadSheet::ColumnAt(int x) const {
    int64_t left = int64_t{mReal.left} + mRowHeaderWidth + 6;
    for (int c = 0; c < mFixed; left += mpColWidths[c++])
        if (x >= left && x < left + mpColWidths[c]) return c;
    for (int c = mFirstCol; c <= LastDrawnCol() && c < mCols; left += mpColWidths[c++])
        if (x >= left && x < left + mpColWidths[c]) return c;
    return -1;
}

void GuiSpreadSheet::CheckCellSelect(const GuiPoint& p) {
    if (mRows == 0 || mRowHeight <= 0) return;
    const int row = (p.y - mReal.top - TopBorder()) / mRowHeight + mFirstRow;
    const int col = ColumnAt(p.x);
    if (p.y < mReal.top + TopBorder() || row > mLastRow || col < 0 || !(mpColStyles[col] & SSC_CELLS_SELECT))
        return;
    if (!mppRows[row]->GetCellSelected(col)) SelectCell(row, col, 1);
    Signal(SS_SIG_CELL_CLICKED, col, row);
}

void GuiSpreadSheet::SelectCell(const GuiPoint& p) {
    const int top = mReal.top + TopBorder();
    const int headerLeft = mReal.left + 6;
    if (p.x >= headerLeft && p.x < headerLeft + mRowHeaderWidth && p.y >= top) {
        // No row under the pointer in an empty sheet.
        if (mRows == 0 || mRowHeight <= 0) return;
        int row = (p.y - top) / mRowHeight + mFirstRow;
        if (row > mLastRow) row = mLastRow;
        if (row >= 0 && (GetRowStyle(row) & SSR_HEADER_SELECTS)) SelectRow(row, !RowSelected(row));
        return;
    }
    if (mHeaderCount && p.y >= mReal.top + 6 && p.y < top) {
        const int col = ColumnAt(p.x);
        const uint32_t style = GetColumnStyle(col);
        if (col >= 0 && (style & SSC_HEADER_SELECTS) && !(style & SSC_SEPARATOR))
            SelectColumn(col, !ColSelected(col));
        return;
    }
    if (mStyle & SSS_SELECT_CELLS) CheckCellSelect(p);
}

int GuiSpreadSheet::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW: {
        const int r = GuiWindow::Message(msg);
        UpdateScrollBars();
        if (!mpOwner) mpOwner = mpParent;
        return r;
    }
    case GM_LBUTTON_DOWN:
        SelectCell(msg.payload.point);
        return 0;
    case 128 + 16 * SS_VSCROLL_ID + GSIG_SCROLL:
        DoVerticalScrolling(msg.payload.l);
        return 0;
    case 128 + 16 * SS_HSCROLL_ID + GSIG_SCROLL:
        DoHorizontalScrolling(msg.payload.l);
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}
