// Inside the group box: which children belong to the button family it enables and disables.
#pragma once

#include "gui/widgets/group/group.h"

// Types 5, 11, 12, 14, 15, 26 and 29: the buttons of the toolkit and of the widget library.
bool GuiIsGroupButton(uint8_t type);
