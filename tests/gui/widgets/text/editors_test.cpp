// The edit box, the terminal window and the edit field, driven by the pointer, keys and the
// scratch pad.
#include "gui/widgets/common/widget.h"
#include "gui/widgets/editbox/editbox.h"
#include "gui/widgets/editfield/editfield.h"
#include "gui/widgets/terminal/terminal.h"
#include "gui/widgets/terminal/terminal_private.h"
#include "gui/widgets/widget_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Editors : widgettest::WidgetTest {
    GuiEditBox* box(const char* text, unsigned max = 100) {
        auto* b = new GuiEditBox(GuiRect(20, 20, 419, 219), 7, FF_THIN | TBS_EDITABLE, text, max);
        b->SetSignals(0x0700);
        owner->Add(b, 1);
        return b;
    }
    // The point of a text position of the box (on the line's middle, at the column's left edge).
    GuiPoint at(GuiEditBox* b, int col, int row) {
        int len = 0;
        const char* p = b->GetLineStart(row, &len);
        const int x = b->mClient.left + b->BorderWhitespace() + GuiTextWidthOf(p, b->mpFont, col);
        return GuiPoint(x,
                        b->mClient.top + b->BorderWhitespace() + row * b->LineHeight() + b->LineHeight() / 2);
    }
    void type(GuiEditBox* b, const char* keys) {
        for (; *keys; ++keys)
            b->InsertKey(static_cast<unsigned char>(*keys));
    }
    void setPad(const char* text) { pm->SetScratchPad(text); }
};

TEST_F(Editors, AClickLeavesTheCursorThereAndADragMarksAndSignals) {
    GuiEditBox* b = box("first line\nsecond");
    const GuiPoint p = at(b, 3, 1);
    click(p.x, p.y);
    EXPECT_EQ(b->Cursor(), (CURSOR_POS{3, 1}));
    EXPECT_EQ(b->Flags() & (EBF_CURSOR | EBF_MARKED), EBF_CURSOR);
    EXPECT_EQ(owner->count(128 + 16 * 7 + 8), 0);
    const GuiPoint q = at(b, 5, 0);
    post(GM_LBUTTON_DOWN, q.x, q.y);
    post(GM_POINTER_MOVE, p.x, p.y);
    post(GM_LBUTTON_UP, 900, 400); // released outside the box
    EXPECT_EQ(b->Flags() & (EBF_CURSOR | EBF_MARKED), EBF_MARKED);
    EXPECT_EQ(owner->count(128 + 16 * 7 + 8), 1) << "signal 8: text marked";
    EXPECT_EQ(b->Flags() & EBF_EDIT_POINTER, 0u);
    send(b, GM_CUT);
    EXPECT_STREQ(b->DataGet(), "firstond");
    EXPECT_STREQ(pm->mpScratchPad, " line\nsec");
}

// Keys from the focus, which puts the cursor at the end (0 stands for a paste of "12345"): the text
// and the cursor after them. Keys at the edges and beyond the maximum change nothing; a paste takes
// what fits, into a text beyond the maximum nothing.
TEST_F(Editors, KeysAndPastesEditWithinTheEdgesAndTheMaximum) {
    const struct {
        const char* text;
        unsigned max;
        std::vector<unsigned> keys;
        const char* after;
        CURSOR_POS cursor;
    } cases[] = {
        {"abc\ndefgh", 9, {}, "abc\ndefgh", {5, 1}},
        {"abc\ndefgh", 9, {'x', GK_DELETE}, "abc\ndefgh", {5, 1}},
        {"abc\ndefgh", 9, {GK_UP, GK_HOME, GK_BACKSPACE, GK_UP}, "abc\ndefgh", {0, 0}},
        {"abc\ndefgh", 9, {GK_HOME, GK_LEFT}, "abc\ndefgh", {3, 0}}, // to the end of the line above
        {"q", 100, {GK_BACKSPACE}, nullptr, {0, 0}},
        {"q", 100, {GK_HOME, GK_DELETE}, nullptr, {0, 0}},
        {"abc", 6, {0}, "abc123", {6, 0}},
        {nullptr, 4, {0}, "1234", {0, 0}},
        {"abcdefgh", 4, {0}, "abcdefgh", {8, 0}},
    };
    setPad("12345");
    for (const auto& c : cases) {
        const std::string what =
            std::string(c.text ? c.text : "no text") + " and " + std::to_string(c.keys.size()) + " keys";
        GuiEditBox* b = box(c.text, c.max);
        pm->MoveFocusTree(b);
        for (unsigned k : c.keys)
            if (k)
                b->InsertKey(k);
            else
                send(b, GM_PASTE);
        EXPECT_EQ(std::string(b->DataGet() ? b->DataGet() : "-"), c.after ? c.after : "-") << what;
        EXPECT_EQ(b->Cursor(), c.cursor) << what;
        owner->Destroy(b);
    }
    GuiEditBox* b = box("a long first line");
    pm->MoveFocusTree(b);
    b->DataSet("ab\ncd"); // a shorter text brings the cursor column into its line
    EXPECT_EQ(b->Cursor(), (CURSOR_POS{2, 0}));
    type(b, "Z");
    EXPECT_STREQ(b->DataGet(), "abZ\ncd");
}

TEST_F(Editors, TerminalEnterSendsWhatFollowsThePrompt) {
    auto* t = new GuiTerminalWin(GuiRect(20, 240, 419, 399), 9, FF_THIN | TBS_EDITABLE, nullptr, 200);
    t->SetPrompt("vyn> ");
    owner->Add(t, 1);
    pm->MoveFocusTree(t);
    const uint16_t command = 136 + 16 * 9;
    send(t, GM_KEY, 13);
    ASSERT_NE(owner->last(command), nullptr);
    EXPECT_EQ(owner->last(command)->payload.ptr[0], nullptr) << "nothing typed behind the prompt";
    t->Append("ab\nvyn> ", 0);
    for (const char* k = "meas"; *k; ++k)
        t->InsertKey(static_cast<unsigned char>(*k));
    send(t, GM_KEY, 13);
    EXPECT_STREQ(static_cast<const char*>(owner->last(command)->payload.ptr[0]), "meas");
    t->Id(0);
    const size_t n = owner->got.size();
    send(t, GM_KEY, 13);
    EXPECT_EQ(owner->got.size(), n) << "a window without id sends nothing";
}

TEST_F(Editors, APromptNeverMatchesALineShorterThanItself) {
    const char buf[] = "vyn> rest";
    const struct {
        int lineLen;
        const char* prompt;
        bool match;
    } cases[] = {
        {9, "vyn> ", true}, {5, "vyn> ", true}, {2, "vyn> ", false}, {0, "v", false}, {9, "vyn>>", false}};
    for (const auto& c : cases)
        EXPECT_EQ(GuiLineStartsWithPrompt(buf, c.lineLen, c.prompt, static_cast<int>(std::strlen(c.prompt))),
                  c.match)
            << c.lineLen << " " << c.prompt;
}

// ---- edit field ----------------------------------------------------------------------------

struct Field : Editors {
    GuiEditField* field(const char* text, int max, int width = 200) {
        auto* f =
            new GuiEditField(GuiRect(20, 300, 20 + width - 1, 325), text, 11, FF_THIN | TBS_EDITABLE, max);
        owner->Add(f, 1);
        return f;
    }
    // The number of keys the field took.
    static int keys(GuiEditField* f, const char* k) {
        int took = 0;
        for (; *k; ++k)
            took += f->InsertKey(static_cast<unsigned char>(*k)) != 0;
        return took;
    }
};

TEST_F(Field, EveryEditReportsOnFocusLossDeletedMarksIncluded) {
    const uint16_t done = 128 + 16 * 11 + 10;
    const struct {
        int key;
        bool mark;
    } cases[] = {{GK_LEFT, false}, {GK_BACKSPACE, true}, {GK_DELETE, true}};
    for (const auto& c : cases) {
        GuiEditField* f = field("some text", 20);
        f->SetSignals(0x0400);
        pm->MoveFocusTree(f);
        if (!c.mark) f->InsertKey(GK_END);
        f->InsertKey(c.key);
        const int before = owner->count(done);
        pm->MoveFocusTree(owner);
        drain();
        EXPECT_EQ(owner->count(done), before + 1) << "key " << c.key;
    }
}

TEST_F(Field, APasteGoesInAtTheCursorCutToTheRoomLeft) {
    const struct {
        const char* text;
        int max, cursor;
        const char* pad;
        const char* after;
    } cases[] = {
        {"xyzwv", 5, 1, "AB", "xyzwv"},
        {"xyz", 5, 1, "ABC", "xAByz"},
        {"xy", 0, 1, "AB", "xABy"},
        {nullptr, 3, 0, "ABCD", "ABC"},
    };
    for (const auto& c : cases) {
        GuiEditField* f = field(c.text, c.max);
        pm->MoveFocusTree(f);
        f->InsertKey(GK_HOME);
        for (int i = 0; i < c.cursor; ++i)
            f->InsertKey(GK_RIGHT);
        setPad(c.pad);
        send(f, GM_PASTE);
        EXPECT_STREQ(f->DataGet(), c.after) << (c.text ? c.text : "no text") << " + " << c.pad;
        owner->Destroy(f);
    }
}

// Typed keys stop at the maximum (0 and below: none); focus marks the whole text, which the first
// key replaces; a field narrower than a character still ends.
TEST_F(Field, TypingStopsAtTheMaximumAndReplacesAMark) {
    const struct {
        const char* text;
        int max, width;
        bool focus;
        const char* keys;
        int took;
        const char* after;
    } cases[] = {{"abc", 3, 200, false, "d", 0, "abc"},
                 {nullptr, 0, 200, false, "typed", 5, "typed"},
                 {nullptr, -1, 200, false, "typed", 5, "typed"},
                 {"old text", 20, 200, true, "n", 1, "n"},
                 {"wide", 0, 4, false, "MMMM", 4, "MMMMwide"}};
    for (const auto& c : cases) {
        GuiEditField* f = field(c.text, c.max, c.width);
        if (c.focus) {
            pm->MoveFocusTree(f);
            EXPECT_EQ(std::tuple(f->GetMarkStart(), f->GetMarkEnd(), f->Flags() & EFF_MARKED),
                      std::tuple(0, static_cast<int>(std::strlen(c.text)), EFF_MARKED));
        }
        EXPECT_EQ(keys(f, c.keys), c.took) << c.keys;
        f->InsertKey(GK_END);
        f->InsertKey(GK_HOME);
        EXPECT_STREQ(f->DataGet(), c.after) << c.keys;
        owner->Destroy(f);
    }
}
TEST_F(Field, TheTwoMarkFormsTakeTheirRanges) {
    GuiEditField* f = field("abcdef", 20);
    f->SetMark(2, 6);
    EXPECT_EQ(std::tuple(f->GetMarkStart(), f->GetMarkEnd()), std::tuple(2, 6));
    char* t = const_cast<char*>(f->DataGet());
    f->SetMark(t + 1, t + 6); // the pointer form cannot reach past the last character
    EXPECT_EQ(f->GetMarkStart(), 2);
    f->SetMark(t + 1, t + 5);
    EXPECT_EQ(std::tuple(f->GetMarkStart(), f->GetMarkEnd()), std::tuple(1, 5));
    f->SetMark(4, 2);
    EXPECT_EQ(f->Flags() & EFF_MARKED, 0);
}

} // namespace
