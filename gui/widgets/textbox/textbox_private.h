// Inside the text box: the marker of an unfilled entry of the line table and the justified x of
// a line.
#pragma once

#include "gui/widgets/textbox/textbox.h"

constexpr uint32_t TEXT_BOX_NO_LINE = 0xFFFFFFFFu;

// Where a line `textWidth` pixels wide starts, by the justification bits of `style`.
int GuiTextBoxLineX(uint16_t style, const GuiRect& client, int border, int hOffset, int textWidth,
                    int plainX);
