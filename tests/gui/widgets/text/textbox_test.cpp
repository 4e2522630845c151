// The text box: lines, the line table, the bounded log.
#include "gui/widgets/textbox/textbox.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/widget_fixture.h"

#include <string>

namespace {

using TextBox = widgettest::WidgetTest;

std::string line(GuiTextBox* b, int i) {
    int len = 0;
    const char* p = b->GetLineStart(i, &len);
    return p ? std::string(p, static_cast<size_t>(len)) : "<none>";
}

TEST_F(TextBox, LineBreaksCountAsTheRulesSay) {
    const struct {
        const char* text;
        int lines;
    } cases[] = {{"a\nb\n", 2}, {"a\r\nb\r\n", 3}, {"a\rb", 2}, {"\n", 1}, {"", 0}};
    for (const auto& c : cases) {
        GuiTextBox b(GuiRect(0, 0, 199, 99), 0, FF_THIN, c.text, 100);
        EXPECT_EQ(b.TotalLines(), c.lines) << "text of " << std::string(c.text).size() << " characters";
    }
    GuiTextBox lf(GuiRect(0, 0, 199, 99), 0, FF_THIN, "\nx", 100);
    int len = -1;
    EXPECT_EQ(lf.GetLineStart(0, &len), lf.DataGet());
    EXPECT_EQ(len, 0) << "a line of a single LF is empty";
}

TEST_F(TextBox, TheLineTableFollowsLinesFarDown) {
    std::string text;
    for (int i = 0; i < 150; ++i)
        text += "line " + std::to_string(i) + "\n";
    GuiTextBox b(GuiRect(0, 0, 199, 99), 0, FF_THIN, text.c_str(), 10000);
    EXPECT_EQ(b.TotalLines(), 150);
    EXPECT_EQ(line(&b, 120), "line 120");
    EXPECT_EQ(b.FirstCachedLine(), 70);
    EXPECT_EQ(line(&b, 3), "line 3");
}

// Filling the table and walking to its first line break the lines at one width: the lines read
// back after a refill are those of the text cut into equal pieces.
TEST_F(TextBox, WrappedLinesAreTheSameWhereverTheTableStarts) {
    const int c = GuiCharWidth('x', GuiTextThing::mFontTable[8]);
    ASSERT_GT(c, 1);
    const int perLine = 7, border = 2, frame = 1;
    // A wrap width of 7 characters and one pixel: one pixel less would hold only 6.
    const int width = perLine * c + 1 + 2 * border + 2 * frame;
    const std::string text(2000, 'x');
    GuiTextBox b(GuiRect(0, 0, width - 1, 99), 0, FF_THIN | TBS_WORD_WRAP, text.c_str(), 10000);
    const int lines = (2000 + perLine - 1) / perLine;
    EXPECT_EQ(b.TotalLines(), lines);
    for (int i : {250, 120, 0, 285})
        EXPECT_EQ(b.GetLineIndex(i), i * perLine) << "line " << i;
}

TEST_F(TextBox, WordWrapBreaksAfterTheLastSpaceCommaOrHyphen) {
    const int c = GuiCharWidth('m', GuiTextThing::mFontTable[8]);
    const int width = 5 * c + 4 + 2; // five m's reach the wrap width
    const struct {
        const char* text;
        const char* first;
    } cases[] = {{"mmmmmmm", "mmmm"}, {"m,m mmm", "m,m "}, {"mm-mmmm", "mm-"}};
    for (const auto& k : cases) {
        GuiTextBox b(GuiRect(0, 0, width - 1, 99), 0, FF_THIN | TBS_WORD_WRAP, k.text, 100);
        EXPECT_EQ(line(&b, 0), k.first);
    }
    GuiTextBox narrow(GuiRect(0, 0, 6, 99), 0, FF_THIN | TBS_WORD_WRAP, "mm", 100);
    EXPECT_EQ(std::tuple(narrow.TotalLines(), line(&narrow, 0)), std::tuple(2, std::string("m")))
        << "a character wider than the wrap width is a line of its own";
}

TEST_F(TextBox, AppendKeepsTheNewestTextWithinTheMaximum) {
    auto* b = new GuiTextBox(GuiRect(10, 10, 209, 40), 0, FF_THIN, "0123456789", 10);
    desk->Add(b, 1);
    b->Append("ab", 1);
    EXPECT_STREQ(b->DataGet(), "23456789ab");
    b->Append("ABCDEFGHIJKL", 0);
    EXPECT_STREQ(b->DataGet(), "CDEFGHIJKL");
    // Without a maximum nothing is dropped (it used to compute negative lengths).
    for (int max : {0, -5}) {
        GuiTextBox log(GuiRect(0, 0, 199, 99), 0, FF_THIN, "abc", max);
        log.Append("def", 0);
        log.Append("g", 0);
        EXPECT_STREQ(log.DataGet(), "abcdefg") << "maximum " << max;
    }
}

TEST_F(TextBox, AppendScrollsToTheEndAndSetTopLineClamps) {
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "row\n";
    auto* b = new GuiTextBox(GuiRect(10, 10, 209, 109), 0, FF_THIN, "start", 10000);
    desk->Add(b, 1);
    const int visible = b->VisibleLines();
    ASSERT_GT(visible, 1);
    b->Append(text.c_str(), 0);
    EXPECT_EQ(b->TopLine(), b->TotalLines() - visible);
    b->SetTopLine(1000, 1);
    EXPECT_EQ(b->TopLine(), b->TotalLines() - visible);
    b->SetTopLine(-3, 1);
    EXPECT_EQ(b->TopLine(), 0);
}

} // namespace
