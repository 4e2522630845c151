// Inside the status bar: the style of its text fields.
#pragma once

#include "gui/widgets/statusbar/statusbar.h"

// Recessed frame, left-justified, own copy of the text, the bar's colour behind it.
constexpr uint16_t STATUS_FIELD_STYLE = 0x6048;
