// Inside the edit field: its colours and cursor.
#pragma once

#include "gui/widgets/editfield/editfield.h"

constexpr uint32_t FIELD_CURSOR_COLOUR = 0x0000FF;
constexpr int EDIT_FIELD_FONT_SLOT = 7;
