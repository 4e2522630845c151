// Inside the lists: which children are items, the walk over them and their layout in a column or a
// row.
#pragma once

#include "gui/widgets/list/list.h"

// The client children are the items (scroll bars are not).
bool GuiListIsItem(const GuiThing* child);
GuiThing* GuiListNextItem(GuiThing* item);
GuiThing* GuiListPrevItem(GuiThing* item);
// The items one after the other from the client's top (left), `separation` pixels apart, each as
// wide (high) as the client, each signalling its clicks.
void GuiListLayOut(GuiThing* list, bool horizontal, int separation);
