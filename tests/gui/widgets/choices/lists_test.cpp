// Lists, the combo box and the tree view.
#include "gui/controls/button/button.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/widgets/list/list.h"
#include "gui/widgets/tree/tree.h"
#include "gui/widgets/widget_fixture.h"

#include <string>
#include <vector>

namespace {

GuiPrompt* item(uint16_t id, int height = 18) {
    return new GuiPrompt(GuiRect(0, 0, 99, height - 1), "item", id, FF_NONE | TJ_LEFT | PS_ENABLED);
}

struct Lists : widgettest::WidgetTest {
    int signals(uint16_t id, int signal) {
        return owner->count(static_cast<uint16_t>(128 + 16 * id + signal));
    }
    // Item ids in list order.
    static std::string order(GuiList* l) {
        std::string s;
        for (int i = 0; GuiThing* t = l->GetThing(i); ++i)
            s += std::to_string(t->Id()) + " ";
        return s;
    }
};

TEST_F(Lists, AShownListSelectsItsFirstItemAndSignalsIt) {
    auto* list = new GuiVertList(GuiRect(10, 10, 200, 200), 9, FF_THIN);
    for (uint16_t id : {41, 42})
        list->AddToEnd(item(id), 0);
    owner->Add(list, 1);
    drain();
    ASSERT_NE(owner->last(128 + 16 * 9 + 12), nullptr);
    EXPECT_EQ(owner->last(128 + 16 * 9 + 12)->data, 41);
    EXPECT_EQ(list->GetSelectedIndex(), 0);
    list->SetSelected(1);
    EXPECT_EQ(std::tuple(list->GetThing(0)->Style() & 0x1000, list->GetThing(1)->Style() & 0x1000),
              std::tuple(0, 0x1000))
        << "style bit 0x1000 marks the selection";
    GuiPrompt stranger(GuiRect(0, 0, 9, 9), "x");
    list->SetSelected(&stranger);
    EXPECT_EQ(list->GetSelected(), nullptr) << "an object that is no item leaves no selection";
}

TEST_F(Lists, InsertPlacesItemsByIndexAlsoWithoutAParent) {
    for (bool shown : {false, true}) {
        auto* list = new GuiVertList(GuiRect(10, 10, 200, 200), 0, FF_THIN);
        if (shown) owner->Add(list, 1);
        for (uint16_t id : {1, 2})
            list->AddToEnd(item(id), 0);
        list->Insert(item(3), 2, 0, 1);  // == count: appends
        list->Insert(item(4), 9, 0, 1);  // beyond: appends
        list->Insert(item(5), -1, 0, 1); // negative: in front
        list->Insert(item(6), 1, 1, 1);
        EXPECT_EQ(order(list), "5 6 1 2 3 4 ") << (shown ? "shown" : "without a parent");
        EXPECT_EQ(list->GetSelectedIndex(), 1);
        if (!shown) delete list;
    }
}

TEST_F(Lists, SteppingStopsOrWrapsAtTheEnds) {
    for (unsigned style : {unsigned{FF_THIN}, unsigned{FF_THIN | LS_WRAP}}) {
        auto* list = new GuiVertList(GuiRect(10, 10, 200, 200), 0, style);
        for (uint16_t id : {1, 2, 3})
            list->AddToEnd(item(id), 0);
        owner->Add(list, 1);
        list->SetSelected(2);
        GuiThing* next = list->SelectNext();
        EXPECT_EQ(next ? next->Id() : 0, style & LS_WRAP ? 1 : 0);
        EXPECT_EQ(list->GetSelectedIndex(), style & LS_WRAP ? 0 : 2);
        EXPECT_EQ(list->PageDown(), list->GetThing(2)) << "a page longer than the list ends on the last item";
    }
}

TEST_F(Lists, ItemsBeyondTheClientBringABarAndTakeItAway) {
    auto* list = new GuiVertList(GuiRect(10, 10, 200, 100), 0, FF_NONE);
    list->SetScrollMode(WSM_VERTICAL_AUTO);
    owner->Add(list, 1);
    const int wide = list->mClient.Width();
    for (uint16_t id = 1; id <= 8; ++id)
        list->AddToEnd(item(id), 1);
    ASSERT_NE(list->VScroll(), nullptr);
    EXPECT_EQ(list->GetThing(0)->mReal.Width(), wide - GUI_SCROLL_SIZE);
    list->SetSelected(7);
    while (list->GetNumItems() > 1)
        delete list->Remove(list->GetThing(list->GetNumItems() - 1), 1);
    drain();
    EXPECT_EQ(std::tuple(list->VScroll(), list->GetThing(0)->mReal.Width(), list->GetThing(0)->mReal.top),
              std::tuple(nullptr, wide, list->mClient.top));
}

TEST_F(Lists, AnItemDeletedBehindTheListsBackIsNoSelection) {
    auto* list = new GuiVertList(GuiRect(10, 10, 200, 200), 0, FF_THIN);
    auto* combo = new GuiComboBox(GuiRect(300, 10, 450, 200), 0, FF_RECESSED);
    owner->Add(list, 1);
    owner->Add(combo, 1);
    for (uint16_t id : {1, 2}) {
        list->AddToEnd(item(id), 1);
        combo->AddToEnd(item(id), 1);
    }
    list->SetSelected(1);
    combo->SetSelected(1);
    delete list->GetThing(1);
    delete combo->GetThing(1);
    EXPECT_EQ(std::tuple(list->GetSelected(), list->GetSelectedIndex(), combo->GetSelected()),
              std::tuple(nullptr, -1, nullptr));
    combo->CaptureSelectedToBitmap();
    combo->Clear();
    EXPECT_EQ(std::tuple(combo->GetThing(0), combo->Captured()), std::tuple(nullptr, nullptr));
}

TEST_F(Lists, TheComboBoxReportsAChangedChoiceOnly) {
    auto* combo = new GuiComboBox(GuiRect(300, 10, 450, 200), 5, FF_RECESSED);
    for (uint16_t id : {61, 62, 63})
        combo->AddToEnd(item(id, 20), 0);
    owner->Add(combo, 1);
    EXPECT_EQ(combo->mReal.Height(), 24) << "the tallest item and the frame";
    combo->AddToEnd(item(64, 40), 1);
    EXPECT_EQ(combo->mReal.Height(), 24) << "a shown box keeps its closed height";
    drain();
    owner->got.clear();
    clickIn(combo->Arrow());
    ASSERT_TRUE(combo->IsOpen());
    clickIn(combo->Arrow());
    EXPECT_EQ(std::tuple(combo->IsOpen(), signals(5, 12)), std::tuple(false, 0));
    clickIn(combo->Arrow());
    clickIn(combo->GetThing(2));
    EXPECT_EQ(std::tuple(combo->IsOpen(), signals(5, 12), combo->GetSelectedIndex()),
              std::tuple(false, 1, 2));
    EXPECT_EQ(owner->last(128 + 16 * 5 + 12)->data, 63);
}

TEST_F(Lists, AnOpenDropDownGoesWithItsBox) {
    auto* combo = new GuiComboBox(GuiRect(300, 10, 450, 200), 5, FF_RECESSED);
    combo->AddToEnd(item(1), 0);
    owner->Add(combo, 1);
    clickIn(combo->Arrow());
    ASSERT_EQ(combo->List()->Parent(), pm);
    owner->Destroy(combo);
    for (GuiThing* c = pm->First(); c; c = c->Next())
        EXPECT_NE(c->Type(), TYPE_VERT_LIST);
    // And a list deleted from the manager's tree leaves the box without one.
    combo = new GuiComboBox(GuiRect(300, 10, 450, 200), 5, FF_RECESSED);
    combo->AddToEnd(item(1), 0);
    owner->Add(combo, 1);
    clickIn(combo->Arrow());
    delete combo->List();
    EXPECT_EQ(std::tuple(combo->List(), combo->IsOpen()), std::tuple(nullptr, false));
    clickIn(combo->Arrow());
}

// ---- tree view ----------------------------------------------------------------------------------

struct Trees : Lists {
    GuiTreeView* view = nullptr;
    GuiTreeNode* a = nullptr;
    GuiTreeNode* b = nullptr;
    void build(uint16_t id) {
        view = new GuiTreeView(GuiRect(10, 10, 300, 300), FF_THIN, "root", nullptr);
        view->Id(id);
        a = new GuiTreeNode("a", nullptr);
        b = new GuiTreeNode("b", nullptr);
        view->Root()->Add(a);
        view->Root()->Add(b);
        a->Add(new GuiTreeNode("x", nullptr));
        b->Add(new GuiTreeNode("x", nullptr));
        owner->Add(view, 1);
        redrawAll();
    }
    void clickBox(GuiTreeNode* n) {
        click(n->mReal.left - view->Indent(), (n->mReal.top + n->mReal.bottom) / 2);
    }
};

// The box opens (10) and closes (11) a branch; a press on a node selects it (8), message 13 (the
// right button's release) on the selected node signals 12; a view with id 0 signals nothing.
TEST_F(Trees, TheBoxOpensAndClosesABranchAndNodesSignalSelectionAndRelease) {
    for (uint16_t id : {3, 0}) {
        build(id);
        owner->got.clear();
        clickBox(a);
        EXPECT_EQ(std::tuple(a->mOpen, owner->signalsOf(id).size()), std::tuple(1, id ? 1u : 0u));
        redrawAll();
        clickBox(a);
        clickIn(b);
        post(GM_RBUTTON_UP, b->mReal.left + 3, b->mReal.top + 3);
        EXPECT_EQ(std::tuple(a->mOpen, view->Selected()), std::tuple(0, b));
        if (id) {
            EXPECT_EQ(owner->signalsOf(id), (std::vector<int>{10, 11, 8, 12}));
            EXPECT_EQ(owner->last(128 + 16 * id + 10)->payload.ptr[0], a);
        } else {
            EXPECT_EQ(owner->signalsOf(0).size(), 0u) << "id 0 signals nothing";
        }
        view->Destroy(view);
        drain();
    }
}

// FindNode searches one level (1 = the root's children) or, with 0, all in depth-first order; a
// node inserted before the first child of its parent becomes the last child, the root takes none.
TEST_F(Trees, FindNodeAndInsertPlaceNodesByLevelAndOrder) {
    build(0);
    b->Add(new GuiTreeNode(nullptr, nullptr));
    a->First()->Add(new GuiTreeNode("b", nullptr));
    EXPECT_EQ(std::tuple(view->FindNode(0, "x"), view->FindNode(2, "b"), view->FindNode(3, "b"),
                         view->FindNode(1, "b"), view->FindNode(0, "none")),
              std::tuple(a->First(), nullptr, a->First()->First(), b, nullptr));
    auto* c = new GuiTreeNode("c", nullptr);
    a->Insert(c);
    EXPECT_EQ(std::tuple(view->Root()->Count(), b->Next()), std::tuple(3, c));
    auto* d = new GuiTreeNode("d", nullptr);
    b->Insert(d);
    auto* e = new GuiTreeNode("e", nullptr);
    view->Root()->Insert(e);
    EXPECT_EQ(std::tuple(d->Next(), e->Parent()), std::tuple(b, nullptr));
    delete e;
    a->mOpen = 1; // removing the selected branch selects its parent; a reset selects nothing
    view->Select(a->First(), 1);
    view->DestroyNode(a);
    EXPECT_EQ(view->Selected(), view->Root());
    view->Select(b->First(), 0);
    view->Reset("new");
    EXPECT_EQ(std::tuple(view->Selected(), view->Root()->Count()), std::tuple(nullptr, 0));
}

} // namespace
