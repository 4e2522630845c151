#include "gui/controls/icon/icon.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/core/screen.h"

GuiIcon::GuiIcon(GuiThing* window, GuiBitmap* bitmap, uint16_t id, uint16_t style)
    : GuiThing(id, style), mpWindow(window), mpBitmap(bitmap ? bitmap : &gbWinIconBitmap) {
    mType = TYPE_ICON;
    mReal = GuiRect(0, 0, mpBitmap->width - 1, mpBitmap->height - 1);
    mClient = mClip = mReal;
    mColors[0] = GUI_FACE;
}

void GuiIcon::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    mpScreen->Rectangle(this, mReal, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
    mpScreen->Bitmap(this, GuiPoint(mReal.left, mReal.top), mpBitmap);
    DrawChildren();
    mpScreen->EndDraw();
}
