#include "gui/fonts/fonts.h"

bool GuiIsBuiltInFont(const GuiFont* font) {
    return font == &SysFont || font == &MenuFont;
}
