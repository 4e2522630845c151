// Inside the message windows: the standard buttons and their shared layout arithmetic.
#pragma once

#include <cstdint>

#include "gui/widgets/msgwin/msgwin.h"

struct GuiMessageButton {
    uint16_t bit;
    const char* text;
    uint16_t id;
};
// "OK", "Yes", "No", "Abort", "Retry", "Cancel", in the order they are laid out.
extern const GuiMessageButton GuiMessageButtons[6];

// Width of one button ("Cancel" in the button font + 8) and of the row of those in `style`.
int GuiMessageButtonWidth();
int GuiMessageRowWidth(uint16_t style, int buttonWidth);
// The client edges that the frame style leaves: 1 for thin, 2 raised or recessed, 5 thick.
int GuiMessageFrameInset(uint16_t style);
// Adds the buttons of `style` to `window` from `left`, `top` to `bottom`.
void GuiMessageAddButtons(GuiThing* window, uint16_t style, int left, int top, int bottom, int buttonWidth);
// Sends the window's owner message 36 or 37 for a clicked standard button and destroys the
// window; 0. Modal windows leave it to the window (Execute returns the id).
bool GuiIsStandardClose(uint16_t type);
