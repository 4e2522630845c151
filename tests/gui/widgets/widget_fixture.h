// What the widget tests share: the test thread plays the GUI task (tests/gui/testkit.h) over a
// desk window; pointer messages are posted and the queue drained; a recording parent keeps the
// messages its children send it.
#pragma once

#include "gui/testkit.h"
#include "gui/window/window.h"
#include "gui/window/window_private.h"

#include <functional>
#include <random>
#include <vector>

namespace widgettest {

// A window that records every message it receives (type, data, source, payload pointer) and
// hands each to `on`, when set, before its own handling.
class Recorder : public GuiWindow {
  public:
    explicit Recorder(const GuiRect& r, unsigned style = FF_NONE) : GuiWindow(r, style) {}
    int Message(const GuiMessage& msg) override {
        got.push_back(msg);
        if (on) on(msg);
        return GuiWindow::Message(msg);
    }
    int count(uint16_t type) const {
        int n = 0;
        for (const GuiMessage& m : got)
            n += m.type == type;
        return n;
    }
    // The codes of the signals of control `id`, in the order they came.
    std::vector<int> signalsOf(uint16_t id) const {
        std::vector<int> codes;
        for (const GuiMessage& m : got)
            if (m.type >= 128 + 16 * id && m.type < 128 + 16 * (id + 1))
                codes.push_back(m.type - 128 - 16 * id);
        return codes;
    }
    const GuiMessage* last(uint16_t type) const {
        for (auto it = got.rbegin(); it != got.rend(); ++it)
            if (it->type == type) return &*it;
        return nullptr;
    }
    std::vector<GuiMessage> got;
    std::function<void(const GuiMessage&)> on;
};

struct WidgetTest : guitest::GuiTest {
    GuiWindow* desk = nullptr;
    Recorder* owner = nullptr; // the parent of the controls under test, over the whole desk
    void SetUp() override {
        GuiTest::SetUp();
        desk = new GuiWindow(GuiRect(0, 0, 1023, 479), FF_NONE);
        desk->SetColor(0, 0x336666);
        pm->Add(desk, 1);
        owner = new Recorder(GuiRect(0, 0, 1023, 479));
        desk->Add(owner, 1);
    }
    void TearDown() override {
        drain();
        redrawAll();
        GuiTest::TearDown();
    }
    void post(uint16_t type, int x, int y) {
        GuiMessage m(type);
        m.payload.point = GuiPoint(x, y);
        GuiThing::mpMessageQueue->Push(&m);
        drain();
    }
    void click(int x, int y) {
        post(GM_LBUTTON_DOWN, x, y);
        post(GM_LBUTTON_UP, x, y);
    }
    void clickIn(const GuiThing* t) { click(t->mReal.left + 3, t->mReal.top + 3); }

    // Seeded random steps over the scene that `build` makes: presses, releases and moves of the
    // pointer within `area`, timer ticks, and (three in eight) the scene's own operations (`op`
    // with a random number source). Every 100 steps, and once everything is destroyed, the GUI
    // lock and the queue's nodes are free and every timer belongs to an object in the tree.
    using Pick = std::function<int(int)>; // 0 .. n - 1
    void randomSteps(std::initializer_list<unsigned> seeds, int steps, GuiPoint area,
                     const std::function<void()>& build, const std::function<void(const Pick&)>& op) {
        auto consistent = [&](const char* when) {
            redrawAll();
            EXPECT_EQ(std::tuple(giCriticalNesting, GuiQueueFreeNodes(gpGuiMesgQueue)),
                      std::tuple(0, GUI_QUEUE_NODES))
                << when;
            GuiThing::mpMessageQueue->ForEachTimer(
                [&](GuiThing* t, uint16_t, long, long) { EXPECT_TRUE(GuiTreeHolds(pm, t)) << when; });
        };
        for (unsigned seed : seeds) {
            std::mt19937 rng(seed);
            const Pick pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
            build();
            for (int step = 1; step <= steps && !HasFailure(); ++step) {
                const int x = pick(area.x), y = pick(area.y);
                switch (pick(8)) {
                case 0:
                    post(GM_LBUTTON_DOWN, x, y);
                    break;
                case 1:
                    post(GM_LBUTTON_UP, x, y);
                    break;
                case 2:
                case 3:
                    post(pick(4) ? GM_POINTER_MOVE : GM_RBUTTON_UP, x, y);
                    break;
                case 4:
                    GuiThing::mpMessageQueue->TimerTick();
                    drain();
                    break;
                default:
                    op(pick);
                    drain();
                    break;
                }
                if (step % 100 == 0) consistent("during the steps");
            }
            while (GuiThing* c = desk->First())
                desk->Destroy(c);
            for (GuiThing* c = pm->First(); c;) {
                GuiThing* next = c->Next();
                if (c != desk) pm->Destroy(c);
                c = next;
            }
            drain();
            consistent("with the scene gone");
            bool anyTimer = false;
            GuiThing::mpMessageQueue->ForEachTimer([&](GuiThing*, uint16_t, long, long) { anyTimer = true; });
            EXPECT_FALSE(anyTimer) << "seed " << seed;
        }
    }
    // Sends the message straight to the object, as the presentation manager would.
    static int send(GuiThing* t, uint16_t type, int data = 0) {
        return t->Message(GuiMessage(type, t, nullptr, data));
    }
};

} // namespace widgettest
