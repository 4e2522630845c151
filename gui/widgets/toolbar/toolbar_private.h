// Inside the tool bar: where a panel's children start.
#pragma once

#include "gui/widgets/toolbar/toolbar.h"

// Room for the grip at a panel's left edge, and the gap above its children.
constexpr int TOOL_PANEL_GRIP = 10;
constexpr int TOOL_PANEL_TOP_GAP = 2;
// The menu bar's type number (the bar does not depend on the menus).
constexpr uint8_t TOOL_MENU_BAR_TYPE = 9;
