#include "gui/widgets/lights/lights.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"

#include <cstdint>
#include <new>

namespace {

// A new zeroed table of n entries holding the first entries of `old` (which is freed).
template <typename T> T* GuiResizeStateTable(T* old, uint32_t oldCount, uint32_t n) {
    T* t = new (std::nothrow) T[n]();
    if (!t) return old;
    for (uint32_t i = 0; old && i < oldCount && i < n; ++i)
        t[i] = old[i];
    delete[] old;
    return t;
}

} // namespace

GuiLight::GuiLight(const GuiRect& rect, unsigned int numStates, unsigned int style)
    : GuiThing(rect, 0, static_cast<uint16_t>(style)), mNumStates(numStates) {
    InitClient();
}

GuiLight::GuiLight(int x, int y, unsigned int numStates, unsigned int style)
    : GuiLight(GuiRect(x, y, x + 100, y + 100), numStates, style) {}

unsigned int GuiLight::Show(int redraw) {
    if (Visible() && redraw && mpScreen) {
        mpScreen->Invalidate(mClient);
        Draw();
    }
    return mState;
}

unsigned int GuiLight::IncrementState(int redraw) {
    if (mNumStates) mState = mState + 1 >= mNumStates ? 0 : mState + 1;
    return Show(redraw);
}

unsigned int GuiLight::DecrementState(int redraw) {
    if (mNumStates) mState = mState == 0 ? mNumStates - 1 : mState - 1;
    return Show(redraw);
}

unsigned int GuiLight::SetState(unsigned int state, int redraw) {
    if (state < mNumStates) mState = state;
    return Show(redraw);
}

unsigned int GuiLight::SetNumStates(unsigned int n) {
    if (n == 0 || n == mNumStates) return mNumStates;
    mNumStates = n;
    if (mState >= n) mState = n - 1;
    return mNumStates;
}

// ---- colour light ---------------------------------------------------------------------------

GuiColorLight::GuiColorLight(const GuiRect& rect, unsigned int numStates, unsigned int style)
    : GuiLight(rect, numStates, style) {
    mType = TYPE_COLOR_LIGHT;
}

GuiColorLight::GuiColorLight(int x, int y, unsigned int numStates, unsigned int style)
    : GuiLight(x, y, numStates, style) {
    mType = TYPE_COLOR_LIGHT;
}

GuiColorLight::~GuiColorLight() {
    delete[] mpColors;
}

unsigned int GuiColorLight::SetNumStates(unsigned int n) {
    if (n == 0 || n == mNumStates) return mNumStates;
    mpColors = GuiResizeStateTable(mpColors, mpColors ? mNumStates : 0, n);
    return GuiLight::SetNumStates(n);
}

int GuiColorLight::SetStateColor(unsigned int state, unsigned long colour) {
    if (!mpColors && mNumStates) mpColors = GuiResizeStateTable<uint32_t>(nullptr, 0, mNumStates);
    if (state >= mNumStates || !mpColors) return 0;
    mpColors[state] = static_cast<uint32_t>(colour);
    return 1;
}

void GuiColorLight::Draw() {
    if (!mNumStates || !mpColors || !mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    const uint32_t c = mpColors[mState];
    if (mStyle & LS_RECTANGLE) {
        StandardBorder(c);
    } else if (mStyle & LS_CIRCLE) {
        if ((mStyle & LS_CLEAR_BACKGROUND) && mpParent) StandardBorder(mpParent->mColors[0]);
        const int rx = mClient.Width() / 2, ry = mClient.Height() / 2;
        const int r = rx < ry ? rx : ry;
        GuiColor lamp(c, c, GUI_COLOR_FILL), rim(GUI_BLACK, GUI_BLACK);
        s->Circle(this, mClient.left + rx, mClient.top + ry, r, lamp, 1);
        s->Circle(this, mClient.left + rx, mClient.top + ry, r, rim, 1);
    }
    DrawChildren();
    s->EndDraw();
}

// ---- bitmap light ---------------------------------------------------------------------------

GuiBitmapLight::GuiBitmapLight(const GuiRect& rect, unsigned int numStates)
    : GuiLight(rect, numStates, FF_NONE) {
    mType = TYPE_BITMAP_LIGHT;
}

GuiBitmapLight::GuiBitmapLight(int x, int y, unsigned int numStates) : GuiLight(x, y, numStates, FF_NONE) {
    mType = TYPE_BITMAP_LIGHT;
}

GuiBitmapLight::~GuiBitmapLight() {
    delete[] mpBitmaps;
}

unsigned int GuiBitmapLight::SetNumStates(unsigned int n) {
    if (n == 0 || n == mNumStates) return mNumStates;
    mpBitmaps = GuiResizeStateTable(mpBitmaps, mpBitmaps ? mNumStates : 0, n);
    return GuiLight::SetNumStates(n);
}

int GuiBitmapLight::SetStateBitmap(unsigned int state, GuiBitmap* bitmap) {
    if (!bitmap) return 0;
    if (!mpBitmaps && mNumStates) {
        mpBitmaps = GuiResizeStateTable<GuiBitmap*>(nullptr, 0, mNumStates);
        if (mpBitmaps)
            Resize(GuiRect(mReal.left, mReal.top, mReal.left + bitmap->width - 1,
                           mReal.top + bitmap->height - 1));
    }
    if (state >= mNumStates || !mpBitmaps) return 0;
    mpBitmaps[state] = bitmap;
    return 1;
}

void GuiBitmapLight::Draw() {
    if (!mNumStates || !mpBitmaps || !mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (GuiBitmap* b = mpBitmaps[mState]) mpScreen->Bitmap(this, GuiPoint(mReal.left, mReal.top), b);
    DrawChildren();
    mpScreen->EndDraw();
}
