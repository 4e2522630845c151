// Seeded random steps over each of the gallery's scenes, which hold every control of the library:
// pointer presses, releases and moves, timer ticks, keys to the focused editor, the clipboard, and
// controls and windows closed as an application closes them. Afterwards the toolkit is consistent.
#include "gui/widgets/editbox/editbox.h"
#include "gui/widgets/editfield/editfield.h"
#include "gui/widgets/widget_fixture.h"
#include "tools/gallery/gallery.h"

#include <vector>

namespace {

using Random = widgettest::WidgetTest;

TEST_F(Random, MessageSequencesOverEveryControlLeaveTheToolkitConsistent) {
    const auto op = [&](const Pick& pick) {
        GuiThing* f = pm->GetCurrentThing();
        switch (pick(4)) {
        case 0: {
            static const unsigned keys[] = {'a',     ' ',    '\n',  GK_BACKSPACE, GK_ENTER, GK_DELETE,
                                            GK_HOME, GK_END, GK_UP, GK_DOWN,      GK_LEFT,  GK_RIGHT};
            const unsigned key = keys[pick(12)];
            if (auto* box = dynamic_cast<GuiEditBox*>(f))
                box->InsertKey(key);
            else if (auto* field = dynamic_cast<GuiEditField*>(f))
                field->InsertKey(static_cast<int>(key));
            if (key == GK_ENTER && f) send(f, GM_KEY, 13);
            break;
        }
        case 1: {
            GuiMessage m(static_cast<uint16_t>(GM_CUT + pick(3)));
            GuiThing::mpMessageQueue->Push(&m);
            break;
        }
        default: { // now and then one of the scene's controls or windows is closed
            std::vector<GuiThing*> closable;
            for (GuiThing* w = pm->First(); w; w = w->Next())
                for (GuiThing* c = w == desk ? nullptr : w->First(); c; c = c->Next())
                    closable.push_back(c);
            if (!closable.empty() && pick(40) == 0) {
                GuiThing* c = closable[static_cast<size_t>(pick(static_cast<int>(closable.size())))];
                c->Parent()->Destroy(c);
            }
            break;
        }
        }
    };
    for (const gallery::Scene* scene : gallery::Scenes()) {
        SCOPED_TRACE(scene->name);
        randomSteps({7u, 2024u}, 1500, GuiPoint(1024, 480), scene->build, op);
    }
}

} // namespace
