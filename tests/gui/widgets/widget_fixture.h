// What the widget tests share: the test thread plays the GUI task (tests/gui/testkit.h) over a
// desk window; pointer messages are posted and the queue drained; a recording parent keeps the
// messages its children send it.
#pragma once

#include "gui/testkit.h"
#include "gui/window/window.h"

#include <functional>
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
    void SetUp() override {
        GuiTest::SetUp();
        desk = new GuiWindow(GuiRect(0, 0, 1023, 479), FF_NONE);
        desk->SetColor(0, 0x336666);
        pm->Add(desk, 1);
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
    // Sends the message straight to the object, as the presentation manager would.
    static int send(GuiThing* t, uint16_t type, int data = 0) {
        return t->Message(GuiMessage(type, t, nullptr, data));
    }
};

} // namespace widgettest
