// GuiIcon: the bitmap that stands for a minimised window.
#pragma once

#include "gui/core/thing.h"

class GuiIcon : public GuiThing {
  public:
    // A null bitmap shows the built-in window icon.
    GuiIcon(GuiThing* window, GuiBitmap* bitmap, uint16_t id = 0, uint16_t style = FF_NONE);
    void Draw() override;
    GuiBitmap* GetIcon() const { return mpBitmap; }
    GuiThing* Window() const { return mpWindow; }

  private:
    GuiThing* mpWindow;
    GuiBitmap* mpBitmap;
};
