#include "gui/controls/button/button.h"
#include "gui/core/screen.h"

GuiButton::GuiButton(const GuiRect& rect, uint16_t id, uint16_t style, const char* text, uint8_t fontIndex)
    : GuiTextThing(rect, id, style, text, fontIndex) {
    mColors[0] = mColors[1] = GUI_FACE;
    mColors[2] = mColors[3] = GUI_BLACK;
    mSignals = 1u << GSIG_CLICKED;
    if (style & BS_ENABLED)
        mStatus |= PSF_SELECTABLE | PSF_WINDOW;
    else
        mStatus &= static_cast<uint16_t>(~(PSF_SELECTABLE | PSF_WINDOW));
    InitClient();
}

void GuiButton::InitClient() {
    mClient = mReal;
    mClient -= 2;
}

void GuiButton::Enable() {
    mStyle |= BS_ENABLED;
    mStatus |= PSF_SELECTABLE | PSF_WINDOW;
    if (Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}

void GuiButton::Disable() {
    mStyle &= static_cast<uint16_t>(~BS_ENABLED);
    mStatus &= static_cast<uint16_t>(~(PSF_SELECTABLE | PSF_WINDOW));
    if (Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}

void GuiButton::SetPressed(bool pressed) {
    if (pressed == Pressed()) return;
    if (pressed)
        mStyle |= BS_PRESSED;
    else
        mStyle &= static_cast<uint16_t>(~BS_PRESSED);
    if (Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}

void GuiButton::SignalClick() {
    if (mId && (mSignals & (1u << GSIG_CLICKED)) && mpParent && mpParent->Visible()) SendSignal(GSIG_CLICKED);
}

void GuiButton::DrawBevel() {
    GuiScreen* s = mpScreen;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s->Line(this, x1, y1, x2, y2, GuiColor(c, c), 1);
    };
    if (Pressed()) {
        line(L, T, R, T, GUI_SHADOW);
        line(L, T + 1, L, B, GUI_SHADOW);
        line(L + 1, T + 1, R - 1, T + 1, GUI_BLACK);
        line(L + 1, T + 2, L + 1, B - 1, GUI_BLACK);
        line(L, B, R, B, GUI_WHITE);
        line(R, T, R, B - 1, GUI_WHITE);
        line(L + 1, B - 1, R - 1, B - 1, GUI_FACE);
        line(R - 1, T + 2, R - 1, B - 2, GUI_FACE);
    } else {
        line(L, T, R, T, GUI_FACE);
        line(L, T + 1, L, B, GUI_FACE);
        line(L + 1, T + 1, R - 1, T + 1, GUI_WHITE);
        line(L + 1, T + 2, L + 1, B - 1, GUI_WHITE);
        line(R - 1, T + 1, R - 1, B - 1, GUI_SHADOW);
        line(L + 2, B - 1, R - 2, B - 1, GUI_SHADOW);
        line(R, T, R, B, GUI_BLACK);
        line(L, B, R - 1, B, GUI_BLACK);
    }
}

int GuiButton::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_LBUTTON_DOWN:
        if (!Enabled() || Pressed()) return 0;
        CapturePointer();
        SetPressed(true);
        if (mStyle & BS_CLICK_ON_PRESS) SignalClick();
        if ((mStyle & BS_AUTO_REPEAT) && mpMessageQueue)
            mpMessageQueue->SetTimer(this, 1, BS_FIRST_REPEAT_TICKS, BS_REPEAT_TICKS);
        return 0;
    case GM_POINTER_MOVE:
        // While the pointer is held the button looks pressed only with the pointer over it.
        if (mStatus & PSF_CAPTURED) SetPressed(mReal.Contains(msg.payload.point));
        return 0;
    case GM_LBUTTON_UP: {
        if (!(mStatus & PSF_CAPTURED)) return 0;
        ReleasePointer();
        if (mpMessageQueue) mpMessageQueue->KillTimer(this, 1);
        bool click = Pressed() && !(mStyle & BS_CLICK_ON_PRESS) && mReal.Contains(msg.payload.point);
        SetPressed(false);
        if (click) SignalClick();
        return 0;
    }
    case GM_TIMER:
        if (msg.data == 1 && Pressed()) SignalClick();
        return 0;
    default:
        return GuiTextThing::Message(msg);
    }
}

// ---- text button ------------------------------------------------------------------------------

GuiTextButton::GuiTextButton(const GuiRect& rect, const char* text, uint16_t id, uint16_t style)
    : GuiButton(rect, id, style, text, 0) {
    mType = TYPE_TEXT_BUTTON;
}

void GuiTextButton::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    s->Rectangle(this, mReal, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
    DrawBevel();
    if (mpText && mpFont) {
        int w = s->TextWidth(mpText, mpFont), h = s->TextHeight(mpText, mpFont);
        int d = Pressed() ? 1 : 0;
        GuiPoint at(mClient.left + (mClient.Width() - w) / 2 + d,
                    mClient.top + (mClient.Height() - h) / 2 + d);
        GuiRect saved = mClip;
        mClip &= mClient;
        if (Enabled()) {
            GuiColor c(mColors[2], mColors[0]);
            s->DrawText(this, at, mpText, c, mpFont);
        } else {
            // Disabled: engraved text.
            GuiColor light(GUI_WHITE, mColors[0]), dark(GUI_SHADOW, mColors[0]);
            s->DrawText(this, GuiPoint(at.x + 1, at.y + 1), mpText, light, mpFont);
            s->DrawText(this, at, mpText, dark, mpFont);
        }
        mClip = saved;
    }
    DrawChildren();
    s->EndDraw();
}

// ---- bitmap buttons -----------------------------------------------------------------------------

GuiBitmapButton::GuiBitmapButton(const GuiRect& rect, GuiBitmap* bitmap, uint16_t id, uint16_t style)
    : GuiButton(rect, id, style, nullptr, 0), mpBitmap(bitmap) {
    mType = TYPE_BITMAP_BUTTON;
}

void GuiBitmapButton::SetBitmap(GuiBitmap* bitmap) {
    mpBitmap = bitmap;
    if (Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}

void GuiBitmapButton::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    s->Rectangle(this, mReal, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
    DrawBevel();
    if (mpBitmap) {
        int d = Pressed() ? 1 : 0;
        GuiPoint at(mClient.left + (mClient.Width() - mpBitmap->width) / 2 + d,
                    mClient.top + (mClient.Height() - mpBitmap->height) / 2 + d);
        GuiRect saved = mClip;
        mClip &= mClient;
        s->Bitmap(this, at, mpBitmap);
        mClip = saved;
    }
    DrawChildren();
    s->EndDraw();
}

GuiSystemButton::GuiSystemButton(const GuiRect& rect, GuiBitmap* bitmap, uint16_t id)
    : GuiBitmapButton(rect, bitmap, id, BS_ENABLED) {}

void GuiSystemButton::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    s->Rectangle(this, mReal, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
    if (mpBitmap)
        s->Bitmap(this,
                  GuiPoint(mReal.left + (mReal.Width() - mpBitmap->width) / 2,
                           mReal.top + (mReal.Height() - mpBitmap->height) / 2),
                  mpBitmap);
    DrawChildren();
    s->EndDraw();
}
