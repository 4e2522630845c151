// Inside the terminal window: the prompt test of a line.
#pragma once

#include "gui/widgets/terminal/terminal.h"

// True when the line (lineLen characters) begins with the prompt; a shorter line never does.
bool GuiLineStartsWithPrompt(const char* line, int lineLen, const char* prompt, int promptLen);
