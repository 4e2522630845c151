// GuiTerminalWin: a command-line window on the edit box.
//
// It shows a prompt and, on Enter, hands the text typed after the last prompt to its parent:
// message 136 + 16 x id (signal 8 of its id), by direct call, payload pointer = the command (null
// for none), which the window keeps owning until the next Enter.
#pragma once

#include "gui/widgets/editbox/editbox.h"

constexpr uint8_t TYPE_TERMINAL = 160;

class GuiTerminalWin : public GuiEditBox {
  public:
    GuiTerminalWin(const GuiRect& rect, unsigned int id, unsigned int style, const char* text, int maxLength);
    ~GuiTerminalWin() override;

    int Message(const GuiMessage& msg) override;

    void SetPrompt(const char* prompt);
    // Appends the prompt and redraws.
    void Prompt();
    void SendCommandToParent();

    const char* PromptText() const { return mpPrompt; }
    const char* LastCommand() const { return mpCommand; }

  private:
    char* mpPrompt = nullptr;
    char* mpCommand = nullptr;
};
