// GuiWindow: the framed container of the toolkit.
//
// It draws a frame and an optional wallpaper, owns scroll bars that scroll its client objects, can
// be moved, sized, maximised, minimised to an icon and restored with the pointer, and runs modal
// message loops.
#pragma once

#include "gui/scroll/scroll.h"
#include "gui/text/text_thing.h"

#include <optional>

class GuiIcon;

// Scroll-mode bits.
constexpr unsigned WSM_VERTICAL = 0x01;
constexpr unsigned WSM_VERTICAL_AUTO = 0x02;
constexpr unsigned WSM_HORIZONTAL = 0x04;
constexpr unsigned WSM_HORIZONTAL_AUTO = 0x08;
constexpr unsigned WSM_CONTINUOUS = 0x80;

// Border parts (BorderContains, the drag mode); 128 moves the whole window.
enum : uint8_t {
    WBP_TOP = 1,
    WBP_BOTTOM = 2,
    WBP_LEFT = 4,
    WBP_RIGHT = 8,
    WBP_TOP_LEFT = 5,
    WBP_BOTTOM_LEFT = 6,
    WBP_TOP_RIGHT = 9,
    WBP_BOTTOM_RIGHT = 10,
    WBP_MOVE = 128,
};

class GuiWindow : public GuiTextThing, public GuiScrollSource {
  public:
    GuiWindow(const GuiRect& rect, unsigned int style);
    explicit GuiWindow(unsigned int style);
    ~GuiWindow() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Add(GuiThing* child, int draw = 1) override;
    void Resize(GuiRect rect) override;
    void InitClient() override;

    // The modal loop: shows the window (with show set) and dispatches until a handler returns
    // non-zero, which it returns. In a task other than the GUI task the window's messages come
    // through a queue of that task's own.
    virtual int Execute(int show);
    virtual void AddIcon(GuiIcon* icon);
    virtual void SetScrollMode(unsigned int mode);
    virtual unsigned int GetScrollMode() { return mScrollMode; }
    void GetVScrollInfo(GuiScrollInfo* info) override;
    void GetHScrollInfo(GuiScrollInfo* info) override;
    virtual void DrawFrame(int fill);
    virtual GuiBitmap* GetIcon() { return mpIcon; }
    virtual void SetIcon(GuiBitmap* bitmap) { mpIcon = bitmap; }
    // Mode 1 tiles the wallpaper over the client area, 0 centres it once.
    virtual void SetWallpaper(GuiBitmap* bitmap, int mode);
    // Adds or removes the automatic bars; 1 when it changed any.
    virtual int CheckAutoScroll();
    virtual GuiVScroll* CreateVScroll();
    virtual GuiHScroll* CreateHScroll();
    virtual int BorderContains(GuiPoint p);
    virtual void MoveClientObjects(int dx, int dy, int redraw);

    // Like Execute(1), with the pointer captured by the window for the whole loop.
    int GlobalModalExecute();
    // Limits how far a sizing drag may shrink `rect`.
    void CheckResizeRect(GuiRect& rect);
    // Draws (erase 0) or removes (erase 1) the drag outline.
    void DrawMoveFrame(int erase);
    void FillScrollCorner();

    GuiVScroll* VScroll() const { return mpVScroll; }
    GuiHScroll* HScroll() const { return mpHScroll; }
    bool Maximized() const { return mMaximized != 0; }
    bool Modal() const { return mModal != 0; }
    uint8_t MoveMode() const { return mMoveMode; }
    const GuiRect& RestoreRect() const { return mRestore; }

    GuiBitmap* mpIcon = nullptr;
    GuiBitmap* mpWallpaper = nullptr;
    GuiVScroll* mpVScroll = nullptr;
    GuiHScroll* mpHScroll = nullptr;
    uint8_t mModal = 0;
    uint8_t mMaximized = 0;
    uint8_t mMoveFrame = 0;
    int32_t mWallpaperMode = 1;
    uint8_t mScrollMode = 0;
    uint8_t mMoveMode = 0;
    uint8_t mPointerSet = 0;
    GuiPoint mDragStart;
    GuiPoint mDragLast;
    GuiRect mRestore;

  private:
    struct ModalFrame;
    ModalFrame* mpModal = nullptr; // running modal loops, innermost first; told when the window goes

    GuiRect DragRect(GuiPoint last);
    // Message's handlers, one per message type the window takes itself; none (nullopt) leaves
    // the message to the text thing.
    std::optional<int> OnDestroySelf(const GuiMessage& msg);
    std::optional<int> OnShow(const GuiMessage& msg);
    std::optional<int> OnPointerMove(const GuiMessage& msg);
    std::optional<int> OnLButtonDown(const GuiMessage& msg);
    std::optional<int> OnLButtonUp(const GuiMessage& msg);
    std::optional<int> OnGainFocus(const GuiMessage& msg);
    std::optional<int> OnPointerExit(const GuiMessage& msg);
    std::optional<int> OnAddIcon(const GuiMessage& msg);
    std::optional<int> OnMoveSize(const GuiMessage& msg);
    std::optional<int> OnVScroll(const GuiMessage& msg);
    std::optional<int> OnHScroll(const GuiMessage& msg);
    std::optional<int> OnMaximize(const GuiMessage& msg);
    std::optional<int> OnMinimize(const GuiMessage& msg);
    std::optional<int> OnRestore(const GuiMessage& msg);
    void DropBar(GuiThing* bar);
    void BeginModal(ModalFrame* frame, int show);
    void EndModal(ModalFrame* frame, bool release);
};
