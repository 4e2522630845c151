// What the controls of the widget library share (their integer helpers are in arith.h).
//
// What every control of the widget library shares: text metrics that work before the screen
// exists, the few drawing strokes the controls repeat, and the standard ids of windows.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <new>

#include "gui/core/thing.h"

// Ids of the title bar's buttons and of the system menu's items (a choice in the menu and a
// click on the button arrive as the same signal).
enum : uint16_t {
    TITLE_ID_CLOSE = 1000,
    TITLE_ID_SYSTEM = 1001,
    TITLE_ID_MAXIMIZE = 1008,
    TITLE_ID_MINIMIZE = 1009,
    TITLE_ID_RESTORE = 1010,
};

// Messages to the owner of a message window (data: the clicked signal's type) and of a dialog
// (data: the button id).
enum : uint16_t { GM_MESSAGE_RESULT = 36, GM_DIALOG_RESULT = 37 };

// The type of a control's clicked signal (signal 4 of the id).
constexpr uint16_t GuiClickedType(uint16_t id) {
    return static_cast<uint16_t>(128 + 16 * id + 4);
}

// A zeroed array of n entries (null for none, or when memory is short); delete[] frees it.
template <typename T> T* GuiNewZeroed(int n) {
    return n > 0 ? new (std::nothrow) T[static_cast<size_t>(n)]() : nullptr;
}

// A malloc'ed copy of text (std::free releases it); null for null or when memory is short.
char* GuiCopyText(const char* text);

// Line height of a font chain (its tallest member); 0 without a font.
int GuiFontHeight(const GuiFont* font);
// Width in pixels of the first `count` characters (-1: all) of text in the font.
int GuiTextWidthOf(const char* text, const GuiFont* font, int count = -1);
// Width of one character.
int GuiCharWidth(char c, const GuiFont* font);

// One-pixel line and a filled rectangle without outline, drawn for `thing`.
void GuiStroke(GuiThing* thing, int x1, int y1, int x2, int y2, uint32_t colour);
void GuiFill(GuiThing* thing, const GuiRect& r, uint32_t colour);
// Invalidates the whole object and draws it, when it is shown.
void GuiRedraw(GuiThing* thing);
// Sends `thing` a resize message for r, as its parent would.
void GuiSendResize(GuiThing* thing, const GuiRect& r);
// A bar `height` tall across the top of parent's client area: inside its frame (4, 4 and 3 pixels
// left, top and right for a thick frame, `thinInset` for the others but none), below the first
// child of each type in `above`.
GuiRect GuiTopBarRect(const GuiThing* parent, int thinInset, std::initializer_list<uint8_t> above,
                      int height);
// Sends a message straight to `to`'s handler (not through the queue); returns its result.
int GuiSendDirect(GuiThing* to, uint16_t type, GuiThing* source = nullptr, int data = 0);

// Tells a handler whether its object outlived a call out of it: an owner's handler may delete the
// object, or the window that holds it. The object holds a lifeline; the handler watches it over
// the call and touches nothing of the object when the watch finds it gone.
class GuiLifeline {
  public:
    GuiLifeline() = default;
    GuiLifeline(const GuiLifeline&) = delete;
    GuiLifeline& operator=(const GuiLifeline&) = delete;
    ~GuiLifeline();

    class Watch {
      public:
        explicit Watch(GuiLifeline& life);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;
        bool Alive() const;

      private:
        int mSlot;
    };
};

// A window's result to its owner by direct call, then the window destroys itself, unless the
// owner's handler has destroyed it already.
void GuiReportAndClose(GuiThing* window, GuiLifeline& life, GuiThing* owner, uint16_t type, int data);
