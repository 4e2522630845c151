// Inside the menus: the walk over the item buttons that menus and bars share.
#pragma once

#include "gui/widgets/menu/menu.h"

// Depth-first over the item buttons among `first` and its siblings (sub-menus searched right
// after their button): the first whose text equals `text`. Items without text (separators)
// never match.
GuiMenuButton* GuiMenuFindButton(GuiThing* first, const char* text);
// Calls CloseMenu on every item button among `first` and its siblings but `except`.
void GuiMenuCloseAll(GuiThing* first, GuiMenuButton* except);
