// Inside the notebook: the font of its tab texts and the room of its spin button.
#pragma once

#include "gui/widgets/notebook/notebook.h"

constexpr int NOTEBOOK_FONT_SLOT = 13;
// Tabs that do not all fit leave this much of the tab row to the spin button that scrolls them.
constexpr int NOTEBOOK_SPIN_ROOM = 36;
