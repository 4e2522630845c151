// What the gallery's scene files share: the helpers that drive the toolkit on this thread, and
// the registration of scenes kept in source files of their own.
#pragma once

#include "gui/presentation/presentation.h"

#include <vector>

namespace gallery {

GuiPresentationManager* pm();
// Posts a pointer message at (x, y) and dispatches what is queued.
void post(uint16_t type, int x, int y);
void click(int x, int y);
// Draws the whole screen and flushes it.
void show();
// A plain window over the whole screen in the colour, the scene's background.
GuiWindow* desk(uint32_t colour);

struct Scene {
    const char* name;
    void (*build)();
    Scene* next = nullptr;
};
// Every scene, in the order they are shown.
std::vector<const Scene*> Scenes();
// Destroys what the presentation manager holds: the scene shown.
void Clear();
// A scene of another source file: `static gallery::AddScene s{"name", build};` at namespace scope.
struct AddScene {
    AddScene(const char* name, void (*build)());
    Scene scene;
};

} // namespace gallery

// The gauge scenes' names for the same helpers.
inline GuiWindow* galleryDesk(uint32_t colour) {
    return gallery::desk(colour);
}
inline void galleryShow() {
    gallery::show();
}
