// The slider, the spin button and the notebook.
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/notebook/notebook.h"
#include "gui/widgets/slider/slider_private.h"
#include "gui/widgets/widget_fixture.h"

namespace {

using Values = widgettest::WidgetTest;

TEST_F(Values, SnappingTicksAndEmptyRanges) {
    const struct {
        int64_t v;
        int min, max, scale, snapped;
    } snaps[] = {
        {60, 0, 100, 25, 50}, {63, 0, 100, 25, 75},   {0, 100, 0, 25, 100}, // the low end of a reversed range
        {-40, 0, 100, 25, 0}, {130, 0, 100, 25, 100},                       // kept in the range
        {7, 50, 50, 10, 50},  {40, 0, 100, 0, 0},     {40, 0, 100, -1, 0},  // no division by 0
    };
    for (const auto& s : snaps)
        EXPECT_EQ(GuiSliderSnap(s.v, s.min, s.max, s.scale), s.snapped)
            << s.v << " over " << s.min << ".." << s.max;
    EXPECT_EQ(std::tuple(GuiSliderTicks(0, 100, 10), GuiSliderTicks(0, 100, -1), GuiSliderTicks(0, 100, 0)),
              std::tuple(11, 0, 0));
    EXPECT_EQ(GuiSliderPosition(10, 100, 100, 0, 100), 10)
        << "a reversed range puts its minimum at the low end";
    EXPECT_EQ(std::tuple(GuiSliderPosition(10, 100, 5, 5, 9), GuiSliderValueAt(40, 10, 17, 0, 100)),
              std::tuple(10, 0));
}

TEST_F(Values, DraggingTheKnobSignalsTheValueWithinItsTravel) {
    auto* slider = new GuiSlider(GuiRect(100, 100, 400, 140), 0, 100, 6, FF_RAISED, 10);
    owner->Add(slider, 1);
    GuiSlideButton* knob = slider->Knob();
    ASSERT_NE(knob, nullptr);
    const struct {
        int to, value, lead;
    } drags[] = {{1000, 100, knob->mHighLimit - 7}, {0, 0, knob->mLowLimit}};
    for (const auto& d : drags) {
        const int at = knob->mReal.left + 2;
        post(GM_LBUTTON_DOWN, at, 120);
        post(GM_POINTER_MOVE, at + d.to - 500, 120);
        post(GM_LBUTTON_UP, at, 120);
        ASSERT_NE(owner->last(128 + 16 * 6 + 9), nullptr);
        EXPECT_EQ(std::tuple(owner->last(128 + 16 * 6 + 9)->payload.l, knob->mReal.left),
                  std::tuple(d.value, d.lead));
    }
    post(GM_POINTER_MOVE, 390, 120);
    EXPECT_EQ(slider->GetCurrentValue(), 0) << "released: the knob stays";
}

TEST_F(Values, TheSpinButtonStepsASignedNumberWithinItsLimits) {
    const struct {
        const char* shown;
        int min, max, digits;
        bool up;
        const char* next;
    } cases[] = {
        {"9", 0, 9, 0, true, "9"},     {"6", 0, 9, 3, true, "007"},   {"1233", 0, 9999, 3, true, "1234"},
        {"-3", -5, 5, 0, false, "-4"}, {"-5", -5, 5, 0, false, "-5"}, {"-2", -5, 5, 3, false, "-03"},
    };
    for (const auto& c : cases) {
        auto* slave = new GuiPrompt(GuiRect(10, 10, 80, 30), c.shown, 0, FF_THIN | TT_COPY);
        owner->Add(slave, 1);
        auto* spin = new GuiSpinButton(90, 10, slave, c.min, c.max, 1, 4, SPS_ENABLED | SPS_VERTICAL);
        spin->SetDigits(c.digits);
        owner->Add(spin, 1);
        owner->got.clear();
        clickIn(spin->Find(c.up ? SPIN_ID_UP : SPIN_ID_DOWN, 0));
        EXPECT_STREQ(slave->DataGet(), c.next) << c.shown;
        EXPECT_EQ(owner->count(static_cast<uint16_t>(128 + 16 * 4 + (c.up ? 8 : 9))), 1) << "also at a limit";
        owner->Destroy(spin);
        owner->Destroy(slave);
    }
}

// ---- notebook -----------------------------------------------------------------------------------

GuiNotebook* textBook(const GuiRect& r, unsigned char n) {
    auto* book = new GuiNotebook(r, NBS_TEXT_TABS, n);
    static const char* const kNames[] = {"a", "bb", "ccc", "dddd", "eeeee", "ffffff"};
    for (unsigned char i = 0; i < n; ++i) {
        book->SetTabString(i, kNames[i % 6]);
        book->SetPageClient(i, new GuiPrompt(GuiRect(0, 0, 9, 9), kNames[i % 6]));
    }
    return book;
}

TEST_F(Values, TabsShareTheWidestWidthAndASpinButtonScrollsWhatDoesNotFit) {
    GuiNotebook* book = textBook(GuiRect(100, 100, 400, 300), 3);
    owner->Add(book, 1);
    EXPECT_EQ(book->TabWidth(), GuiTextWidthOf("ccc", GuiTextThing::mFontTable[13]) + 12);
    EXPECT_EQ(book->Spin(), nullptr);
    book->ResetNumTabs(40);
    ASSERT_NE(book->Spin(), nullptr);
    EXPECT_EQ(book->VisibleTabs(), (book->mClient.Width() - 36) / book->TabWidth());
    clickIn(book->Spin()->Find(SPIN_ID_RIGHT, 0));
    EXPECT_EQ(book->FirstVisibleTab(), 1);
    book->ResetNumTabs(2);
    EXPECT_EQ(std::tuple(book->Spin(), book->FirstVisibleTab()), std::tuple(nullptr, 0));
}

TEST_F(Values, SelectingATabSignalsItsIndexOnce) {
    GuiNotebook* book = textBook(GuiRect(100, 100, 400, 300), 3);
    book->Id(7);
    owner->Add(book, 1);
    book->SelectTab(2);
    drain();
    ASSERT_EQ(owner->count(248), 1);
    EXPECT_EQ(owner->last(248)->payload.l, 2);
    EXPECT_EQ(book->GetPageClient(2)->Parent(), book);
    const int tabY = book->mReal.bottom - 4;
    click(book->mReal.left + 2 * book->TabWidth() + 5, tabY); // the current tab
    click(book->mReal.left + 5, book->mClient.top + 5);       // the page area
    EXPECT_EQ(std::tuple(owner->count(248), book->CurrentTab()), std::tuple(1, 2));
    click(book->mReal.left + 5, tabY);
    EXPECT_EQ(book->CurrentTab(), 0);
}

TEST_F(Values, TablesAndClientsSurviveEveryChangeOfTheTabs) {
    for (unsigned char n : {0, 2}) { // no tabs at all: nothing to read or select
        auto* book = new GuiNotebook(GuiRect(100, 100, 400, 300), 0, n);
        owner->Add(book, 1);
        auto* tab = new GuiPrompt(GuiRect(0, 0, 30, 12), "t");
        auto* page = new GuiPrompt(GuiRect(0, 0, 9, 9), "p");
        book->SetTabClient(1, tab);
        book->SetTabClient(1, tab); // the same object twice is no replacement
        book->SetPageClient(1, page);
        book->SetPageClient(1, page);
        book->SelectTab(1);
        book->SelectTab(0);
        clickIn(book);
        redrawAll();
        if (!n) {
            delete tab;
            delete page;
            book->ResetNumTabs(0);
            continue;
        }
        EXPECT_EQ(std::tuple(book->GetTabClient(1), book->GetPageClient(1), tab->Id()),
                  std::tuple(tab, page, 2));
        book->ResetTabStyle(NBS_TEXT_TABS); // the tab clients go, the style stays
        book->SetTabString(0, "text");
        EXPECT_EQ(std::tuple(book->TextTabs(), book->Style() & NBS_TEXT_TABS, book->GetTabClient(1)),
                  std::tuple(true, 0, nullptr));
        EXPECT_STREQ(book->TabString(0), "text");
        book->ResetTabStyle(0);
        book->SetTabClient(1, new GuiPrompt(GuiRect(0, 0, 30, 12), "u"));
        book->ResetNumTabs(1); // the client of tab 1 goes with its tab
        int children = 0;
        for (GuiThing* c = book->First(); c; c = c->Next())
            ++children;
        EXPECT_EQ(children, 0);
    }
}

} // namespace
