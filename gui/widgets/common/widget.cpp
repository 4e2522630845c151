#include "gui/widgets/common/widget.h"
#include "gui/core/screen.h"

#include <cstdlib>
#include <cstring>

char* GuiCopyText(const char* text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text) + 1;
    char* c = static_cast<char*>(std::malloc(n));
    if (c) std::memcpy(c, text, n);
    return c;
}

int GuiFontHeight(const GuiFont* font) {
    int h = 0;
    for (int hops = 0; font && hops < 16; font = font->next, ++hops)
        if (font->height > h) h = font->height;
    return h;
}

int GuiTextWidthOf(const char* text, const GuiFont* font, int count) {
    if (GuiThing::mpScreen) return GuiThing::mpScreen->TextWidth(text, font, count);
    if (!text || !font) return 0;
    int w = 0;
    for (int i = 0; text[i] && (count < 0 || i < count); ++i) {
        GuiGlyph g;
        if (GuiFindGlyph(font, static_cast<unsigned char>(text[i]), &g)) w += g.width;
    }
    return w;
}

int GuiCharWidth(char c, const GuiFont* font) {
    const char one[2] = {c, 0};
    return GuiTextWidthOf(one, font, 1);
}

void GuiStroke(GuiThing* thing, int x1, int y1, int x2, int y2, uint32_t colour) {
    if (GuiThing::mpScreen) GuiThing::mpScreen->Line(thing, x1, y1, x2, y2, GuiColor(colour, colour), 1);
}

void GuiFill(GuiThing* thing, const GuiRect& r, uint32_t colour) {
    if (GuiThing::mpScreen && !r.IsEmpty())
        GuiThing::mpScreen->Rectangle(thing, r, GuiColor(colour, colour, GUI_COLOR_FILL), 0);
}

void GuiRedraw(GuiThing* thing) {
    if (!thing || !thing->Visible() || !GuiThing::mpScreen) return;
    GuiThing::mpScreen->Invalidate(thing->mReal);
    thing->Draw();
}

int GuiSendDirect(GuiThing* to, uint16_t type, GuiThing* source, int data) {
    if (!to) return 0;
    return to->Message(GuiMessage(type, to, source, data));
}

namespace {

// The lifelines watched by the handlers running in this thread, innermost last; a slot is cleared
// when its object goes. Deeper nesting than this is not watched (taken as alive).
constexpr int MAX_WATCHES = 32;
thread_local GuiLifeline* tWatched[MAX_WATCHES];
thread_local int tWatchCount = 0;

} // namespace

GuiLifeline::~GuiLifeline() {
    for (int i = 0; i < tWatchCount; ++i)
        if (tWatched[i] == this) tWatched[i] = nullptr;
}

GuiLifeline::Watch::Watch(GuiLifeline& life) : mSlot(tWatchCount < MAX_WATCHES ? tWatchCount++ : -1) {
    if (mSlot >= 0) tWatched[mSlot] = &life;
}

GuiLifeline::Watch::~Watch() {
    if (mSlot >= 0) tWatchCount = mSlot;
}

bool GuiLifeline::Watch::Alive() const {
    return mSlot < 0 || tWatched[mSlot];
}

void GuiReportAndClose(GuiThing* window, GuiLifeline& life, GuiThing* owner, uint16_t type, int data) {
    if (owner) {
        GuiLifeline::Watch watch(life);
        GuiSendDirect(owner, type, window, data);
        if (!watch.Alive()) return;
    }
    window->Destroy(window);
}
void GuiSendResize(GuiThing* thing, const GuiRect& r) {
    GuiMessage m(GM_RESIZE, thing);
    m.payload.rect = r;
    thing->Message(m);
}

GuiRect GuiTopBarRect(const GuiThing* parent, int thinInset, std::initializer_list<uint8_t> above,
                      int height) {
    GuiRect r = parent->mReal;
    if (parent->mStyle & FF_THICK)
        r = GuiRect(r.left + 4, r.top + 4, r.right - 3, r.bottom);
    else if (!(parent->mStyle & FF_NONE))
        r = GuiRect(r.left + thinInset, r.top + thinInset, r.right - thinInset, r.bottom);
    int top = r.top;
    for (const uint8_t type : above)
        for (const GuiThing* c = parent->mpFirst; c; c = c->mpNext)
            if (c->mType == type) {
                top += c->mReal.Height();
                break;
            }
    return GuiRect(r.left, top, r.right, top + height - 1);
}
