// A seeded random run of tree changes, timers and messages under ASan/UBSan. After each drain the
// GUI lock is free, all queue nodes are free and no timer names an object that is gone.
#include "gui/testkit.h"

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

std::set<GuiThing*> gAlive;

class Node : public guitest::Probe {
  public:
    Node(const GuiRect& r, uint16_t id, uint16_t status) : Probe(r, id, status) {
        gAlive.insert(this);
        mSignals = 0x13; // resize, signal 1 and click signals
    }
    ~Node() override { gAlive.erase(this); }
};

struct RandomRun : guitest::GuiTest {
    std::mt19937 rng;
    std::vector<GuiThing*> detached; // owned by the test while outside the tree

    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
    GuiRect rect() {
        int l = pick(600), t = pick(440);
        return GuiRect(l, t, l + 1 + pick(200), t + 1 + pick(100));
    }
    GuiThing* any() { // an object in the tree, or the root
        std::vector<GuiThing*> v;
        for (GuiThing* t : gAlive)
            if (t->IsIn(pm)) v.push_back(t);
        if (v.empty() || pick(8) == 0) return pm;
        return v[static_cast<size_t>(pick(static_cast<int>(v.size())))];
    }
    GuiThing* anyNode() {
        GuiThing* t = any();
        return t == pm ? nullptr : t;
    }
    void forgetDetached() {
        std::vector<GuiThing*> keep;
        for (GuiThing* t : detached)
            if (gAlive.count(t) && !t->mpParent) keep.push_back(t);
        detached.swap(keep);
    }
    void check() {
        for (int i = 0; i < 10 && drain() > 0; ++i) {
        }
        redrawAll();
        ASSERT_EQ(giCriticalNesting, 0);
        ASSERT_EQ(GuiQueueFreeNodes(gpGuiMesgQueue), GUI_QUEUE_NODES);
        GuiThing::mpMessageQueue->ForEachTimer([&](GuiThing* t, uint16_t, long, long) {
            ASSERT_TRUE(gAlive.count(t)) << "timer of a destroyed object";
        });
        if (GuiThing* f = pm->GetCurrentThing()) {
            ASSERT_TRUE(gAlive.count(f));
        }
        if (GuiThing* c = pm->GetPointerOwner()) {
            ASSERT_TRUE(gAlive.count(c));
        }
        // Sibling links are consistent everywhere.
        for (GuiThing* t : gAlive)
            for (GuiThing* c = t->First(); c; c = c->Next()) {
                ASSERT_EQ(c->Parent(), t);
                if (c->Next()) {
                    ASSERT_EQ(c->Next()->Prev(), c);
                }
            }
    }

    void step() {
        GuiMessageQueue* mq = GuiThing::mpMessageQueue;
        int op = pick(22);
        switch (op >= 16 ? 0 : op) { // creating is the most frequent step
        case 0:
        case 1: {
            static const uint16_t bits[] = {0, 0, PSF_VIEWPORT, PSF_ALWAYS_ON_TOP,
                                            PSF_VIEWPORT | PSF_ALWAYS_ON_TOP};
            auto* n = new Node(rect(), static_cast<uint16_t>(pick(4) ? pick(30) : 2000), bits[pick(5)]);
            GuiThing* parent = any();
            if (pick(2))
                parent->Add(n, pick(2));
            else
                parent->AddToEnd(n, pick(2));
            break;
        }
        case 2:
            if (GuiThing* t = anyNode()) {
                if (t->mpParent->Remove(t, pick(2))) detached.push_back(t);
            }
            break;
        case 3:
            if (GuiThing* t = anyNode()) (pick(2) ? t->mpParent : t)->Destroy(t);
            break;
        case 4:
            forgetDetached();
            if (!detached.empty()) {
                size_t i = static_cast<size_t>(pick(static_cast<int>(detached.size())));
                if (pick(2))
                    delete detached[i];
                else
                    any()->Add(detached[i], 1);
                detached.erase(detached.begin() + static_cast<long>(i));
            }
            break;
        case 5:
            if (GuiThing* t = anyNode()) t->mpParent->MoveToFront(t, pick(2));
            break;
        case 6:
            if (GuiThing* t = anyNode()) t->Resize(rect());
            break;
        case 7:
            if (GuiThing* t = anyNode())
                mq->SetTimer(t, static_cast<uint16_t>(pick(3)), 1 + pick(3), pick(3));
            break;
        case 8:
            if (GuiThing* t = anyNode()) mq->KillTimer(t, static_cast<uint16_t>(pick(3)));
            break;
        case 9:
            mq->TimerTick();
            break;
        case 10: {
            static const uint16_t types[] = {GM_DRAW,       GM_APP,          GM_APP + 1, GM_RESIZE,
                                             GM_GAIN_FOCUS, GM_LBUTTON_DOWN, GM_HIDE};
            GuiMessage m(types[pick(7)], any());
            m.payload.rect = rect();
            mq->Push(&m);
            break;
        }
        case 11: {
            GuiMessage m(static_cast<uint16_t>(GM_POINTER_MOVE + pick(5)));
            m.payload.point = GuiPoint(pick(640), pick(480));
            mq->Push(&m);
            break;
        }
        case 12: {
            GuiThing* s = anyNode();
            if (!s) break;
            GuiMessage m(static_cast<uint16_t>(pick(3) ? GM_ADD : GM_DESTROY), pick(2) ? any() : pm, s);
            mq->Push(&m);
            break;
        }
        case 13:
            if (GuiThing* t = anyNode()) pm->MoveFocusTree(t);
            break;
        case 14:
            if (GuiThing* t = anyNode()) (pick(2) ? t->CapturePointer() : t->ReleasePointer());
            break;
        default:
            check();
            break;
        }
    }
};

TEST_F(RandomRun, TreeTimersAndMessagesStayConsistent) {
    size_t most = 0;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        rng.seed(seed);
        for (int i = 0; i < 600; ++i) {
            step();
            if (HasFatalFailure()) return;
            most = std::max(most, gAlive.size());
        }
        check();
        forgetDetached();
        for (GuiThing* t : detached)
            delete t;
        detached.clear();
        while (pm->First())
            delete pm->Remove(pm->First(), 0);
        check();
        ASSERT_TRUE(gAlive.empty());
    }
    EXPECT_GT(most, 20u) << "the run builds real trees";
}

} // namespace
