#include "gui/controls/prompt/prompt.h"
#include "gui/core/screen.h"

#include <cstring>

namespace {
constexpr int PROMPT_FONT_SLOT = 6;

void setupPrompt(GuiPrompt* p, uint16_t style) {
    p->mType = TYPE_PROMPT;
    if (style & PS_ENABLED) {
        p->mStatus |= PSF_WINDOW;
        p->mSignals = 2;
    } else {
        p->mStatus &= static_cast<uint16_t>(~(PSF_SELECTABLE | PSF_ACCEPTS_FOCUS));
    }
    p->mColors[0] = GUI_WHITE;
    p->mColors[1] = GUI_ACTIVE_BLUE;
    p->mColors[2] = GUI_BLACK;
    p->mColors[3] = GUI_WHITE;
    p->InitClient();
}
} // namespace

GuiPrompt::GuiPrompt(const GuiRect& rect, const char* text, uint16_t id, uint16_t style, int doubleSize)
    : GuiTextThing(rect, id, style, text, PROMPT_FONT_SLOT), mDouble(doubleSize) {
    setupPrompt(this, style);
}

GuiPrompt::GuiPrompt(GuiPoint where, const char* text, const GuiFont* font, uint16_t id, uint16_t style,
                     int doubleSize)
    : GuiTextThing(GuiRect(where.x, where.y, where.x, where.y), id, style, text, PROMPT_FONT_SLOT),
      mDouble(doubleSize) {
    if (font) mpFont = const_cast<GuiFont*>(font);
    setupPrompt(this, style);
    int inset = mClient.left - mReal.left;
    int k = doubleSize ? 2 : 1;
    int w = mpScreen ? mpScreen->TextWidth(text, mpFont) * k : 0;
    int h = mpScreen ? mpScreen->TextHeight(text, mpFont) * k : 0;
    mReal = GuiRect(where.x, where.y, where.x + w + 2 * inset - 1, where.y + h + 2 * inset - 1);
    mClip = mReal;
    InitClient();
}

uint32_t GuiPrompt::FillColor() const {
    if ((mStyle & PS_PARENT_BACKGROUND) && mpParent) return mpParent->mColors[0];
    return (mStatus & PSF_CURRENT) ? mColors[1] : mColors[0];
}

void GuiPrompt::Draw() {
    if (!mpScreen || !mpParent || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    StandardBorder(FillColor());
    if (mpText && mpFont) {
        int k = mDouble ? 2 : 1;
        int w = s->TextWidth(mpText, mpFont) * k, h = s->TextHeight(mpText, mpFont) * k;
        int x;
        if (mStyle & TJ_RIGHT)
            x = mClient.right - w + 1;
        else if (mStyle & TJ_CENTER)
            x = mClient.left + (mClient.Width() - w) / 2;
        else
            x = mClient.left;
        int y = mClient.top + (mClient.Height() - h) / 2;
        GuiColor c((mStatus & PSF_CURRENT) ? mColors[3] : mColors[2], FillColor());
        GuiRect saved = mClip;
        mClip &= mClient; // the text never covers the frame
        s->DrawText(this, GuiPoint(x, y), mpText, c, mpFont, -1, mDouble);
        mClip = saved;
    }
    DrawChildren();
    s->EndDraw();
}

int GuiPrompt::Message(const GuiMessage& msg) {
    return GuiTextThing::Message(msg);
}

GuiVPrompt::GuiVPrompt(const GuiRect& rect, const char* text, uint16_t id, uint16_t style)
    : GuiPrompt(rect, text, id, style, 0) {
    mType = TYPE_VPROMPT;
    InitClient();
}

void GuiVPrompt::Draw() {
    if (!mpScreen || !mpParent || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    StandardBorder(FillColor());
    if (mpText && mpFont) {
        GuiColor c((mStatus & PSF_CURRENT) ? mColors[3] : mColors[2], 0);
        int h = s->TextHeight(mpText, mpFont) - 1;
        int n = static_cast<int>(std::strlen(mpText));
        int y = mClient.top + (mClient.Height() - n * h) / 2;
        int xc = (mClient.left + mClient.right) / 2;
        for (int i = 0; i < n; ++i) {
            char one[2] = {mpText[i], 0};
            int w = s->TextWidth(one, mpFont);
            s->DrawText(this, GuiPoint(xc - w / 2, y), one, c, mpFont);
            y += h;
        }
    }
    DrawChildren();
    s->EndDraw();
}
