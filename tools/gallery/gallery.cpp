// vyn_gallery: the widget library on the simulated display.
//
//   vyn_gallery [--out DIR] [--index N] [--hold]
//
// Builds each scene on this thread (which plays the GUI task), drives it with the messages a
// pointer and keys would send, and writes DIR/gallery-<scene>.png (default DIR: the current
// directory). With --hold it then shows the scenes in turn, 4 s each, until interrupted, for the
// viewer: vyn_fbview N (default index 0).
#include "tools/gallery/gallery.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/widgets/dialog/dialog.h"
#include "gui/widgets/editbox/editbox.h"
#include "gui/widgets/editfield/editfield.h"
#include "gui/widgets/group/group.h"
#include "gui/widgets/lights/lights.h"
#include "gui/widgets/menu/menu.h"
#include "gui/widgets/msgwin/msgwin.h"
#include "gui/widgets/progress/progress.h"
#include "gui/widgets/statusbar/statusbar.h"
#include "gui/widgets/terminal/terminal.h"
#include "gui/widgets/textbox/textbox.h"
#include "gui/widgets/title/title.h"
#include "gui/widgets/toolbar/toolbar.h"
#include "platform/display/displaysim.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const GuiMenuDescription kViewItems[] = {
    {"Toolbar", 201, MIS_ENABLED | MIS_CHECK | MIS_CHECKED, nullptr},
    {"Status bar", 202, MIS_ENABLED | MIS_CHECK, nullptr},
    {nullptr, 0, MIS_SEPARATOR, nullptr},
    {"Small", 203, MIS_ENABLED | MIS_RADIO, nullptr},
    {"Large", 204, MIS_ENABLED | MIS_RADIO | MIS_DOTTED, nullptr},
    {"Disabled", 205, MIS_CHECK, nullptr},
    {nullptr, 0, 0, nullptr},
};
const GuiMenuDescription kFileItems[] = {
    {"Open", 101, MIS_ENABLED, nullptr},    {"Save", 102, MIS_ENABLED, nullptr},
    {"View", 103, MIS_ENABLED, kViewItems}, {nullptr, 0, MIS_SEPARATOR, nullptr},
    {"Quit", 104, MIS_ENABLED, nullptr},    {nullptr, 0, 0, nullptr},
};
const GuiMenuDescription kBar[] = {
    {"File", 100, MIS_ENABLED, kFileItems},
    {"Edit", 110, MIS_ENABLED, nullptr},
    {"Help", 120, 0, nullptr},
    {nullptr, 0, 0, nullptr},
};

} // namespace

namespace gallery {

GuiPresentationManager* pm() {
    return GuiPresentation();
}

void post(uint16_t type, int x, int y) {
    GuiMessage m(type);
    m.payload.point = GuiPoint(x, y);
    GuiThing::mpMessageQueue->Push(&m);
    pm()->DispatchPending();
}

void click(int x, int y) {
    post(GM_LBUTTON_DOWN, x, y);
    post(GM_LBUTTON_UP, x, y);
}

void show() {
    GuiScreen* s = GuiThing::mpScreen;
    s->Invalidate(pm()->mReal);
    pm()->Draw();
    s->FlushScreen();
}

GuiWindow* desk(uint32_t colour) {
    auto* d = new GuiWindow(GuiRect(0, 0, displaysim::WIDTH - 1, displaysim::HEIGHT - 1), FF_NONE);
    d->SetColor(0, colour);
    pm()->Add(d, 0);
    return d;
}

Scene* gExtra = nullptr;

AddScene::AddScene(const char* name, void (*build)()) : scene{name, build} {
    Scene** end = &gExtra;
    while (*end)
        end = &(*end)->next;
    *end = &scene;
}

} // namespace gallery

namespace {

using namespace gallery;

const char kLog[] = "Session started.\nLap 1 1:42.317\nLap 2 1:41.905\nLap 3 1:41.622 (best)\n"
                    "Oil temperature above 120 C for 4 s\nLap 4 1:43.010\nPit entry\nPit exit\n";
const char kWrapped[] = "A text box breaks its lines at carriage returns and line feeds and, with word "
                        "wrap, at spaces, commas and hyphens, so a long sentence reads like this one.";

// A decorated window with every decoration, a group box, progress bars and lights.
void sceneWindows() {
    GuiWindow* d = desk(0x336666);
    auto* w = new GuiDecoratedWindow(GuiRect(20, 20, 620, 440), FF_THICK);
    w->SetColor(0, GUI_FACE);
    w->Add(new GuiTitle("Decorated window", TS_SYSTEM_MENU | TS_MIN_MAX | TS_CLOSE | TT_COPY), 0);
    w->Add(new GuiMenuBar(kBar), 0);
    auto* tools = new GuiToolBar(1);
    auto* panel = new GuiToolBarPanel(2);
    panel->AddToEnd(new GuiTextButton(GuiRect(0, 0, 59, 21), "New", 31), 0);
    panel->AddToEnd(new GuiTextButton(GuiRect(0, 0, 59, 21), "Open", 32), 0);
    tools->AddPanel(panel, 0);
    w->Add(tools, 0);
    auto* status = new GuiStatusBar;
    w->Add(status, 0);
    d->Add(w, 0);
    status->AddTextField(120, 41, "Ready");
    status->AddTextField(100, 42, "Lap 4");
    status->SizeToParent();

    const int L = w->mClient.left, T = w->mClient.top;
    auto* group = new GuiGroup(GuiRect(L + 10, T + 10, L + 230, T + 110), "Group box", GROUP_ENABLED);
    w->Add(group, 0);
    group->Add(new GuiTextButton(GuiRect(L + 25, T + 40, L + 115, T + 65), "Enabled", 51), 0);
    group->Add(new GuiTextButton(GuiRect(L + 125, T + 40, L + 215, T + 65), "Button", 52), 0);
    auto* off = new GuiGroup(GuiRect(L + 10, T + 120, L + 230, T + 220), "Disabled group", GROUP_ENABLED);
    w->Add(off, 0);
    off->Add(new GuiTextButton(GuiRect(L + 25, T + 150, L + 115, T + 175), "Off", 53), 0);
    off->Enable(0);

    const int x = L + 250;
    w->Add(new GuiProgressBar(GuiRect(x, T + 15, x + 300, T + 40), FF_RECESSED | PBS_SHOW_VALUE | PBS_PERCENT,
                              0, 200, 120),
           0);
    auto* two = new GuiProgressBar(GuiRect(x, T + 50, x + 300, T + 75),
                                   FF_RECESSED | PBS_SHOW_VALUE | PBS_PERCENT | PBS_RAISED_BAR, 0, 100, 45);
    two->SetColor(3, GUI_BLACK);
    w->Add(two, 0);
    w->Add(new GuiProgressBar(GuiRect(x, T + 85, x + 300, T + 105), FF_THIN | PBS_SEGMENTED, 0, 100, 70), 0);
    w->Add(new GuiProgressBar(GuiRect(x, T + 115, x + 24, T + 215), FF_RECESSED | PBS_VERTICAL, 0, 100, 65),
           0);
    static const uint32_t kColours[] = {0x00C000, 0xE0C000, 0xE00000};
    for (int i = 0; i < 3; ++i) {
        auto* lamp = new GuiColorLight(GuiRect(x + 40 + 40 * i, T + 120, x + 70 + 40 * i, T + 150), 3,
                                       LS_CIRCLE | LS_CLEAR_BACKGROUND | FF_NONE);
        for (unsigned s = 0; s < 3; ++s)
            lamp->SetStateColor(s, kColours[s]);
        lamp->SetState(static_cast<unsigned>(i), 0);
        w->Add(lamp, 0);
        auto* box = new GuiColorLight(GuiRect(x + 40 + 40 * i, T + 160, x + 70 + 40 * i, T + 180), 3,
                                      LS_RECTANGLE | FF_RAISED);
        for (unsigned s = 0; s < 3; ++s)
            box->SetStateColor(s, kColours[s]);
        box->SetState(static_cast<unsigned>(2 - i), 0);
        w->Add(box, 0);
    }
    auto* bitmapLight = new GuiBitmapLight(x + 170, T + 125, 2);
    bitmapLight->SetStateBitmap(0, &gbWinIconBitmap);
    w->Add(bitmapLight, 0);
    show();
    // The menu bar's "File" menu and its "View" sub-menu, opened by the pointer.
    GuiMenuBar* bar = w->MenuBar();
    GuiThing* file = bar->First();
    click(file->mReal.left + 5, file->mReal.top + 5);
    GuiMenuButton* view = bar->FindButton("View");
    if (view) post(GM_POINTER_MOVE, view->mReal.left + 20, view->mReal.top + 5);
    show();
}

// Message windows, a dialog and the title's system menu.
void sceneMessages() {
    desk(0x404060);
    auto* msg = new GuiMessageWindow("Message window", "The lap was not saved.", MW_OK | MW_CANCEL | FF_THICK,
                                     &gbWinIconBitmap, nullptr);
    msg->Resize(GuiRect(20, 20, 20 + msg->mReal.Width() - 1, 20 + msg->mReal.Height() - 1));
    pm()->First()->Add(msg, 0);
    auto* ml = new GuiMLMessageWindow("Multi-line message", kWrapped, MW_YES | MW_NO | MW_RETRY | FF_THICK,
                                      nullptr, nullptr);
    ml->Resize(GuiRect(20, 200, 20 + ml->mReal.Width() - 1, 200 + ml->mReal.Height() - 1));
    pm()->First()->Add(ml, 0);
    auto* progress = new GuiProgressWindow("Copying", "Copying the measurement files", MW_ABORT | FF_THICK,
                                           FF_RECESSED | PBS_SHOW_VALUE | PBS_PERCENT, nullptr, nullptr);
    progress->Resize(GuiRect(420, 20, 420 + progress->mReal.Width() - 1, 20 + progress->mReal.Height() - 1));
    pm()->First()->Add(progress, 0);
    progress->Bar()->Update(37, 0);
    auto* dialog = new GuiDialog(GuiRect(420, 220, 760, 400), "Dialog", nullptr, FF_THICK);
    dialog->Add(new GuiTextButton(GuiRect(440, 350, 520, 375), "OK", GUI_ID_OK), 0);
    dialog->Add(new GuiTextButton(GuiRect(540, 350, 620, 375), "Apply", GUI_ID_APPLY), 0);
    pm()->First()->Add(dialog, 0);
    show();
    // The system menu of the dialog, opened with its button.
    if (GuiTitle* t = dialog->Title())
        if (GuiThing* sys = t->Find(TITLE_ID_SYSTEM, 0)) click(sys->mReal.left + 4, sys->mReal.top + 4);
    show();
}

// The text box, the editors and the terminal window.
void sceneEditors() {
    GuiWindow* d = desk(0x2F4F4F);
    auto* log = new GuiTextBox(GuiRect(20, 20, 320, 150), 0, FF_RECESSED, kLog, 400);
    log->SetScrollMode(WSM_VERTICAL_AUTO);
    d->Add(log, 0);
    log->SetHighlightedLine(3);
    auto* wrap = new GuiTextBox(GuiRect(20, 170, 320, 300), 0, FF_RECESSED | TBS_WORD_WRAP, kWrapped, 0);
    d->Add(wrap, 0);
    auto* edit = new GuiEditBox(GuiRect(340, 20, 680, 150), 60, FF_RECESSED | TBS_EDITABLE,
                                "Edit box\nType, mark with the pointer,\ncut, copy and paste.", 200);
    d->Add(edit, 0);
    auto* field =
        new GuiEditField(GuiRect(340, 170, 680, 195), "Edit field", 61, FF_RECESSED | TBS_EDITABLE, 40);
    d->Add(field, 0);
    pm()->MoveFocusTree(field);
    for (const char* k = "Edit field, typed"; *k; ++k)
        field->InsertKey(*k);
    field->InsertKey(GK_HOME);
    auto* term = new GuiTerminalWin(GuiRect(20, 320, 680, 460), 62, FF_THIN | TBS_EDITABLE, nullptr, 500);
    term->SetColor(0, GUI_BLACK);
    term->SetColor(2, 0x00E000);
    term->SetPrompt("vyn> ");
    d->Add(term, 0);
    pm()->MoveFocusTree(term);
    for (const char* k = "lof_get"; *k; ++k)
        term->InsertKey(static_cast<unsigned>(*k));
    term->InsertKey(GK_ENTER);
    term->Append("lap 4, outing 1, fragment 2\n", 0);
    term->Prompt();
    // Marked with the pointer from the start of line 2 to the middle of line 3.
    const int y1 = edit->mClient.top + 2 + edit->LineHeight() + 3, y2 = y1 + edit->LineHeight();
    post(GM_LBUTTON_DOWN, edit->mClient.left + 3, y1);
    post(GM_POINTER_MOVE, edit->mClient.left + 60, y2);
    post(GM_LBUTTON_UP, edit->mClient.left + 60, y2);
    show();
}

const Scene kScenes[] = {{"windows", sceneWindows}, {"messages", sceneMessages}, {"editors", sceneEditors}};

} // namespace

namespace gallery {

void Clear() {
    pm()->DispatchPending();
    while (GuiThing* c = pm()->First()) {
        pm()->Remove(c, 0);
        delete c;
    }
    pm()->DispatchPending();
}

// This file's scenes, then those the other files add.
std::vector<const Scene*> Scenes() {
    std::vector<const Scene*> all;
    for (const Scene& s : kScenes)
        all.push_back(&s);
    for (const Scene* s = gExtra; s; s = s->next)
        all.push_back(s);
    return all;
}

} // namespace gallery
