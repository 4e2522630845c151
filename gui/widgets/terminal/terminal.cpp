#include "gui/widgets/terminal/terminal.h"
#include "gui/widgets/terminal/terminal_private.h"

#include <cstdlib>
#include <cstring>

bool GuiLineStartsWithPrompt(const char* line, int lineLen, const char* prompt, int promptLen) {
    // Bounded by the line: a line shorter than the prompt is not read past its end.
    return line && prompt && lineLen >= promptLen &&
           std::memcmp(line, prompt, static_cast<size_t>(promptLen)) == 0;
}

GuiTerminalWin::GuiTerminalWin(const GuiRect& rect, unsigned int id, unsigned int style, const char* text,
                               int maxLength)
    : GuiEditBox(rect, static_cast<uint16_t>(id), static_cast<uint16_t>(style), text,
                 static_cast<unsigned int>(maxLength)) {
    mType = TYPE_TERMINAL;
}

GuiTerminalWin::~GuiTerminalWin() {
    std::free(mpPrompt);
    std::free(mpCommand);
}

void GuiTerminalWin::SetPrompt(const char* prompt) {
    std::free(mpPrompt);
    mpPrompt = prompt ? strdup(prompt) : nullptr;
    if (!mpText && mpPrompt) DataSet(mpPrompt);
}

void GuiTerminalWin::Prompt() {
    if (mpPrompt) Append(mpPrompt, 1);
}

void GuiTerminalWin::SendCommandToParent() {
    const int P = mpPrompt ? static_cast<int>(std::strlen(mpPrompt)) : 0;
    int startLine = mCursor.row;
    if (P > 0) {
        for (int line = mCursor.row; line >= 0; --line) {
            startLine = line;
            if (line == 0) break;
            int len = 0;
            const char* p = GetLineStart(line, &len);
            if (GuiLineStartsWithPrompt(p, len, mpPrompt, P)) break;
        }
    }
    const unsigned start = static_cast<unsigned>(GetLineIndex(startLine) + P);
    const unsigned end = static_cast<unsigned>(GetLineIndex(mCursor.row) + mCursor.col);
    std::free(mpCommand);
    mpCommand = nullptr;
    if (end > start && end != 65535 && end <= static_cast<unsigned>(TextLength())) {
        mpCommand = static_cast<char*>(std::malloc(end - start + 1));
        if (mpCommand) {
            std::memcpy(mpCommand, mpText + start, end - start);
            mpCommand[end - start] = 0;
        }
    }
    GuiMessage m(static_cast<uint16_t>(136 + 16 * mId), mpParent, this);
    m.payload.ptr[0] = mpCommand;
    mpParent->Message(m);
}

int GuiTerminalWin::Message(const GuiMessage& msg) {
    if (msg.type == GM_KEY && msg.data == 13) {
        if (mId && mpParent) SendCommandToParent();
        return 0;
    }
    return GuiEditBox::Message(msg);
}
