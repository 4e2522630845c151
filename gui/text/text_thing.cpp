#include "gui/text/text_thing.h"
#include "gui/fonts/fonts.h"
#include "gui/core/screen.h"

#include <cstdlib>
#include <cstring>

GuiFont* GuiTextThing::mFontTable[GUI_FONT_SLOTS] = {
    &SysFont, &SysFont,  &MenuFont, &MenuFont, &MenuFont, &MenuFont, &SysFont,  &SysFont,
    &SysFont, &MenuFont, &MenuFont, &MenuFont, &SysFont,  &MenuFont, &MenuFont, &MenuFont,
    &SysFont, nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,  nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   &SysFont,  &MenuFont,
};

GuiTextThing::GuiTextThing(const GuiRect& rect, uint16_t id, uint16_t style, const char* text, int fontIndex)
    : GuiThing(rect, id, style) {
    Initialize(style, text, fontIndex);
}

GuiTextThing::GuiTextThing(uint16_t id, uint16_t style, const char* text, int fontIndex)
    : GuiThing(id, style) {
    Initialize(style, text, fontIndex);
}

GuiTextThing::~GuiTextThing() {
    if (mCopy) std::free(mpText);
}

void GuiTextThing::Initialize(uint16_t style, const char* text, int fontIndex) {
    mpText = nullptr;
    mLength = 0;
    mBufferSize = 0;
    mpFont = fontIndex >= 0 && fontIndex < GUI_FONT_SLOTS ? mFontTable[fontIndex] : nullptr;
    mCopy = (style & TT_COPY) != 0;
    if (!text || !*text) return;
    int len = static_cast<int>(std::strlen(text));
    if (!mCopy) {
        mpText = const_cast<char*>(text);
        mLength = len + 1;
        return;
    }
    mpText = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 17));
    if (!mpText) return;
    std::memcpy(mpText, text, static_cast<size_t>(len) + 1);
    mLength = len + 1;
    mBufferSize = len + 17;
}

void GuiTextThing::InvalidateClient() {
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
}

void GuiTextThing::DataSet(const char* text) {
    bool empty = !text || !*text;
    if (mCopy) {
        if (empty) {
            std::free(mpText);
            mpText = nullptr;
            mLength = 0;
            mBufferSize = 0;
        } else if (text != mpText) {
            int len = static_cast<int>(std::strlen(text)) + 1;
            if (mBufferSize < len) {
                char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 32));
                if (!buf) return; // the old text stays
                std::free(mpText);
                mpText = buf;
                mBufferSize = len + 32;
            }
            std::memmove(mpText, text, static_cast<size_t>(len));
            mLength = len;
        }
    } else if (empty) {
        mpText = nullptr;
        mLength = 0;
    } else {
        mpText = const_cast<char*>(text);
        mLength = static_cast<int>(std::strlen(text)) + 1;
    }
    InvalidateClient();
}

void GuiTextThing::SetFont(const GuiFont* font) {
    mpFont = const_cast<GuiFont*>(font);
    InvalidateClient();
}

void GuiTextThing::SetCopyMode() {
    if (mCopy || !mpText) return;
    const char* old = mpText;
    mpText = nullptr;
    mLength = 0;
    mBufferSize = 0;
    mCopy = true;
    DataSet(old);
}

int GuiTextThing::AssignFontTablePointer(int index, GuiFont* font, int freeOld) {
    if (index < 0 || index >= GUI_FONT_SLOTS) return 0;
    if (freeOld) {
        // The built-in fonts are static data and stay; a freed font leaves every slot it was in.
        GuiFont* f = mFontTable[index];
        while (f && f != font && !GuiIsBuiltInFont(f)) {
            GuiFont* next = f->next;
            for (auto& slot : mFontTable)
                if (slot == f) slot = nullptr;
            delete[] f->offsets;
            delete[] f->data;
            delete f;
            f = next;
        }
    }
    mFontTable[index] = font;
    return 1;
}
