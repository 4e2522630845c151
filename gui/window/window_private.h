// Inside the window: the record of a running modal loop and the drag outline.
#pragma once

#include <atomic>

#include "gui/window/window.h"

class GuiScreen;

// One per running Execute/GlobalModalExecute of a window, on that loop's stack. The window's
// destructor clears `alive` under the GUI lock: the loop then touches nothing of the window.
struct GuiWindow::ModalFrame {
    ModalFrame* outer = nullptr;
    std::atomic<bool> alive{true};
};

// The dotted XOR outline of `rect`, limited to `clip` only: it is drawn over whatever lies
// there (windows in front included), and drawing it twice restores the screen.
void GuiXorOutline(GuiScreen* screen, const GuiRect& rect, const GuiRect& clip);

// True when `thing` is `root` or lies below it (compares pointers only, so `thing` may be gone).
bool GuiTreeHolds(const GuiThing* root, const GuiThing* thing);
