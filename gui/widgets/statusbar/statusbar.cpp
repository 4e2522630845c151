#include "gui/widgets/statusbar/statusbar.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"

#include <new>

namespace {

// Recessed frame, left-justified, own copy of the text, the bar's colour behind it.
constexpr uint16_t STATUS_FIELD_STYLE = 0x6048;

constexpr int STATUS_FONT_SLOT = 6;

} // namespace

GuiStatusBar::GuiStatusBar() : GuiTextThing(0, FF_NONE, nullptr, STATUS_FONT_SLOT) {
    mReal = mClient = mClip = GuiRect(0, 0, 100, BarHeight());
    mColors[0] = GUI_FACE;
    mStatus |= PSF_NONCLIENT | PSF_SIZEABLE;
    mType = TYPE_STATUS_BAR;
}

int GuiStatusBar::BarHeight() const {
    return GuiFontHeight(mpFont) + 6;
}

bool GuiStatusBar::ParentSizeable() const {
    return mpParent && (mpParent->mStatus & PSF_SIZEABLE);
}

GuiPrompt* GuiStatusBar::GetPrompt(unsigned int id) {
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (c->mType == TYPE_PROMPT && c->mId == id) return static_cast<GuiPrompt*>(c);
    return nullptr;
}

void GuiStatusBar::SetFont(const GuiFont* font) {
    if (!font) return;
    GuiTextThing::SetFont(font);
    const int oldTop = mReal.top;
    const int top = mReal.bottom - BarHeight();
    GuiSendResize(this, GuiRect(mReal.left, top, mReal.right, mReal.bottom));
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (c->mType == TYPE_PROMPT)
            GuiSendResize(c, GuiRect(c->mReal.left, top + 2, c->mReal.right, mReal.bottom - 1));
    if (Visible() && mpParent) {
        GuiThing* p = mpParent;
        p->mClient.bottom = static_cast<int16_t>(p->mClient.bottom + (top - oldTop));
        p->Resize(p->mReal);
        GuiRedraw(p);
    }
}

GuiPrompt* GuiStatusBar::AddTextField(int width, uint16_t id, const char* text) {
    int left = mReal.left;
    if (mpFirst) {
        int right = mpFirst->mReal.right;
        for (GuiThing* c = mpFirst; c; c = c->mpNext)
            if (c->mReal.right > right) right = c->mReal.right;
        left = right + 3;
    }
    const GuiRect r(left, mReal.top + 2, left + width - 1, mReal.bottom - 1);
    auto* field = new (std::nothrow) GuiPrompt(r, text, id, STATUS_FIELD_STYLE);
    if (!field) return nullptr;
    field->mpFont = mpFont;
    AddToEnd(field, 1);
    mpLastField = field;
    return field;
}

void GuiStatusBar::SetTextField(uint16_t id, const char* text) {
    GuiPrompt* field = GetPrompt(id);
    if (!field || !mpScreen) return;
    mpScreen->BeginDraw(this);
    field->DataSet(text);
    field->Draw();
    CheckDrawDragMap(field);
    mpScreen->EndDraw();
}

void GuiStatusBar::SizeToParent() {
    if (!mpParent) return;
    GuiRect r = mpParent->mReal;
    const uint16_t frame = mpParent->mStyle;
    if ((frame & FF_THICK) || !(frame & FF_NONE)) {
        const int in = (frame & FF_THICK) ? 3 : 2;
        r.left = static_cast<int16_t>(r.left + in);
        r.right = static_cast<int16_t>(r.right - in);
        r.bottom = static_cast<int16_t>(r.bottom - in);
    }
    GuiSendResize(this, GuiRect(r.left, r.bottom - BarHeight(), r.right, r.bottom));
    const bool sizeable = ParentSizeable();
    if (sizeable) mClient.right = static_cast<int16_t>(mReal.right - 16);
    if (mpLastField) {
        const GuiRect f = mpLastField->mReal;
        GuiSendResize(mpLastField, GuiRect(f.left, f.top, mReal.right - (sizeable ? 17 : 1), f.bottom));
    }
}

void GuiStatusBar::CheckDrawDragMap(GuiThing* field) {
    if (field && field->mReal.right < mReal.right - gbDragBitmap.width) return;
    if (!ParentSizeable() || !mpScreen) return;
    mpScreen->Bitmap(this, GuiPoint(mReal.right - gbDragBitmap.width + 1, mReal.bottom - gbDragBitmap.height),
                     &gbDragBitmap);
}

void GuiStatusBar::Draw() {
    if (!mpScreen || !mpParent || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiFill(this, mReal, mColors[0]);
    GuiStroke(this, mReal.left + 1, mReal.top + 1, mReal.right, mReal.top + 1, GUI_WHITE);
    if (mpParent->mStyle & FF_THICK)
        GuiStroke(this, mReal.right, mReal.top, mReal.right, mReal.top, GUI_WHITE);
    DrawChildren();
    CheckDrawDragMap(nullptr);
    mpScreen->EndDraw();
}

int GuiStatusBar::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
    case GM_PARENT_SIZED:
        SizeToParent();
        return GuiTextThing::Message(msg);
    case GM_POINTER_MOVE: {
        if (!ParentSizeable()) return 0;
        const GuiRect grip(mReal.right - 16, mReal.bottom - 16, mReal.right, mReal.bottom);
        const bool over = grip.Contains(msg.payload.point);
        if (over != (mGrip != 0)) {
            mGrip = over ? 1 : 0;
            if (mpScreen) mpScreen->SetPointerType(over ? 3 : 0);
        }
        return 0;
    }
    case GM_LBUTTON_DOWN: {
        if (!mpParent) return 0;
        if (!mGrip) return mpParent->Message(msg);
        mGrip = 0;
        GuiMessage m(GM_MOVE_SIZE, mpParent, nullptr, 10);
        m.payload.point = msg.payload.point;
        return mpParent->Message(m);
    }
    case GM_POINTER_EXIT:
        if (mGrip) {
            if (mpScreen) mpScreen->SetPointerType(0);
            mGrip = 0;
        }
        return 0;
    default:
        return GuiTextThing::Message(msg);
    }
}
