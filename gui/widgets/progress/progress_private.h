// Inside the progress bar: the arithmetic of the filled part and the label, and the block that
// shows the filled part in the button style.
#pragma once

#include "gui/controls/button/button.h"
#include "gui/widgets/progress/progress.h"

// The filled part of `client`: all of it when maximum <= minimum. Products in 64 bits; edges kept
// within the 16-bit range of a rectangle.
GuiRect GuiProgressBarRect(const GuiRect& client, bool vertical, int minimum, int maximum, int current);
// The percentage written on the bar: 100 when the range is empty.
long GuiProgressPercent(int minimum, int maximum, int current);

// The filled block: a raised block with style FF_RAISED, else a plain one, in colour 0.
class GuiProgressFill : public GuiButton {
  public:
    GuiProgressFill(const GuiRect& rect, uint16_t style) : GuiButton(rect, 0, style) {}
    void Draw() override;
};
