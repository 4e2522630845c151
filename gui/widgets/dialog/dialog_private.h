// Inside the decorated window: which children are decorations, and the dialog's title style.
#pragma once

#include "gui/widgets/dialog/dialog.h"

// Own copy of the text, close button, system button and menu.
constexpr uint16_t DIALOG_TITLE_STYLE = 0x2A00;

// True for the decorations that take room at the top of the client area (title, menu and tool
// bars); the status bar takes it at the bottom.
bool GuiIsTopDecoration(const GuiThing* child);
bool GuiIsDecoration(const GuiThing* child);
