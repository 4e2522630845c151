// Lists of arbitrary objects and the drop-down combo box built from one.
//
// A GuiList lays its client children (its items) out one after another, keeps one selected (shown
// with the item's style bit LIS_SELECTED), scrolls the selection into view, adds and removes its
// scroll bars as the items need them and signals a new selection to its parent (signal 12, data:
// the item's id). GuiVertList stacks the items, GuiHorzList sets them in a row. GuiComboBox shows
// the selected item beside an arrow button that drops its list down over everything else.
#pragma once

#include "gui/window/window.h"

class GuiBitmapButton;
class GuiComboBox;

constexpr uint8_t TYPE_LIST = 161;
constexpr uint8_t TYPE_VERT_LIST = 162;
constexpr uint8_t TYPE_HORZ_LIST = 163;
constexpr uint8_t TYPE_COMBO_BOX = 164;

constexpr uint16_t LIS_SELECTED = 0x1000; // item style: drawn as the selection
constexpr uint16_t LS_WRAP = 0x2000;      // list style: stepping past an end wraps
constexpr uint16_t CBS_RIGHT = 0x0020;    // combo box style: the item shown right-aligned
constexpr uint16_t CBS_CENTRE = 0x0080;   // combo box style: the item shown centred
constexpr uint8_t GSIG_SELECT = 12;
constexpr uint16_t COMBO_ARROW_ID = 1000;

class GuiList : public GuiWindow {
  public:
    GuiList(const GuiRect& rect, unsigned int id, unsigned int style);

    int Message(const GuiMessage& msg) override;
    void Add(GuiThing* item, int redraw = 1) override;
    void AddToEnd(GuiThing* item, int redraw = 1) override;
    GuiThing* Remove(GuiThing* item, int redraw = 1) override;
    int CheckAutoScroll() override;

    virtual void Insert(GuiThing* item, int index, int select, int redraw);
    virtual GuiThing* GetSelected();
    virtual void SetSelected(GuiThing* item);
    virtual int GetIndex(GuiThing* item);
    virtual GuiThing* GetThing(int index);
    virtual int GetSelectedIndex();
    virtual GuiThing* SetSelected(int index);
    virtual void Clear();
    virtual void PositionChildren() = 0;

    void ScrollCurrentIntoView(int redraw);
    GuiThing* SelectNext();
    GuiThing* SelectPrevious();
    GuiThing* PageDown();
    GuiThing* PageUp();
    int GetNumItems();
    void SetSeparation(int s) { mSeparation = s; }
    bool IsItem(const GuiThing* thing) const;

  protected:
    virtual bool Horizontal() const { return false; }
    GuiThing* mpSelected = nullptr;
    int32_t mSeparation = 1;

  private:
    GuiThing* Page(bool forward);
    GuiThing* Step(bool forward);
};

class GuiVertList : public GuiList {
  public:
    GuiVertList(const GuiRect& rect, unsigned int id, unsigned int style);
    void PositionChildren() override;
};

class GuiHorzList : public GuiList {
  public:
    GuiHorzList(const GuiRect& rect, unsigned int id, unsigned int style);
    void PositionChildren() override;

  protected:
    bool Horizontal() const override { return true; }
};

// The combo box's drop-down list: it takes no focus and closes its box when an item is clicked.
class ComboList : public GuiVertList {
  public:
    ComboList(const GuiRect& rect, unsigned int id, unsigned int style, GuiComboBox* owner);
    // An open list lies in the presentation manager's tree: whoever deletes it there tells the box.
    ~ComboList() override;
    int Message(const GuiMessage& msg) override;
    GuiComboBox* mpOwner;
};

class GuiComboBox : public GuiThing {
  public:
    GuiComboBox(const GuiRect& rect, unsigned short id, unsigned short style);
    ~GuiComboBox() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Add(GuiThing* item, int redraw = 1) override;
    void AddToEnd(GuiThing* item, int redraw = 1) override;
    GuiThing* Remove(GuiThing* thing, int redraw = 1) override;
    void Resize(GuiRect rect) override;
    GuiThing* Find(uint16_t id, int recursive = 1) override;

    virtual void Insert(GuiThing* item, int index, int select, int redraw);
    virtual GuiThing* GetSelected();
    virtual void SetSelected(GuiThing* item);
    virtual GuiThing* SetSelected(int index);
    virtual int GetIndex(GuiThing* item);
    virtual GuiThing* GetThing(int index);
    virtual int GetSelectedIndex();
    virtual void Clear();

    void SetScrollMode(unsigned int mode);
    void OpenList();
    void CloseList();
    void CalcCloseHeight();
    void CaptureSelectedToBitmap();
    void SendListSelect();

    ComboList* List() const { return mpList; }
    GuiBitmapButton* Arrow() const { return mpArrow; }
    GuiBitmap* Captured() const { return mpCaptured; }
    bool IsOpen() const { return mOpen != 0; }
    int ClosedHeight() const { return mClosedHeight; }

  private:
    friend class ComboList;
    GuiBitmapButton* mpArrow = nullptr;
    ComboList* mpList = nullptr;
    GuiBitmap* mpCaptured = nullptr;
    GuiThing* mpShown = nullptr;
    int32_t mOpenHeight;
    int32_t mClosedHeight = 16;
    int32_t mOpen = 0;

    GuiThing* Shown();
    void PlaceArrow();
};
