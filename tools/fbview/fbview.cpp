// fbview: shows the simulated display of a running vyn process in an X11 window, with the LED
// modules of its LED array in a panel beside it (top, left and right of a sketch of the screen,
// as the unit carries them).
//
//   vyn_fbview [-d UNIT_DIR] [process index]
//
// maps the shared frame of the unit of that index (default 0) in UNIT_DIR (default:
// $VYN_UNIT_DIR, else the current directory). It waits for a unit that has not started yet; a
// UNIT_DIR that holds no unit (none of its files) ends it.
//
// Prints "shown <flush count>" after each frame it puts on the screen; q or closing the window ends it.
// The LEDs are asked of the unit's control channel ("leds") ten times a second.
#include "platform/control/control.h"
#include "platform/display/fbshm.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const FbShmHeader* mapFrame(const std::string& name, size_t* bytes) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(FbShmHeader)) {
        close(fd);
        return nullptr;
    }
    void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return nullptr;
    const auto* h = static_cast<const FbShmHeader*>(p);
    if (h->magic != FBSHM_MAGIC ||
        sizeof(FbShmHeader) + static_cast<size_t>(h->stride) * h->height > static_cast<size_t>(st.st_size)) {
        munmap(p, static_cast<size_t>(st.st_size));
        return nullptr;
    }
    *bytes = static_cast<size_t>(st.st_size);
    return h;
}

// What a unit directory holds: a unit set up there (its settings, or the default non-volatile
// directory with its dataset), running (its control socket) or run before (its log).
bool holdsUnit(const std::string& dir) {
    for (const char* name : {"vyn.ini", "nvram", control::SOCKET_NAME, "vyn.log"}) {
        struct stat st {};
        if (lstat((dir + "/" + name).c_str(), &st) == 0) return true;
    }
    return false;
}

constexpr int LED_SIZE = 14, LED_STEP = 18, LEDS = 30, PANEL = 2 * LED_STEP + 10 * LED_STEP + 16;

// The control channel of the unit, connected on demand; -1 while there is none.
struct Control {
    std::string path;
    int fd = -1;

    bool connectNow() {
        sockaddr_un a{};
        if (path.size() >= sizeof a.sun_path) return false;
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.c_str(), path.size());
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) return false;
        timeval tv{0, 300000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
        close(fd);
        fd = -1;
        return false;
    }
    // The colours of the 30 LEDs; false (all dark) when the unit does not answer.
    bool leds(uint32_t* rgb) {
        if (fd < 0 && !connectNow()) return false;
        std::string line;
        if (write(fd, "leds\n", 5) == 5) {
            char c;
            while (read(fd, &c, 1) == 1 && c != '\n')
                line += c;
        }
        int n = 0;
        if (line.rfind("ok", 0) == 0) {
            const char* p = line.c_str() + 2;
            char* end = nullptr;
            for (; n < LEDS; ++n, p = end) {
                rgb[n] = static_cast<uint32_t>(std::strtoul(p, &end, 16));
                if (end == p) break;
            }
        }
        if (n == LEDS) return true;
        close(fd);
        fd = -1;
        return false;
    }
};

// Where LED n of module position p (1 top, 2 left, 3 right) sits in the panel right of the
// frame, which starts at x0.
void ledPlace(int p, int n, int x0, int* x, int* y) {
    const int along = LED_STEP + 8 + n * LED_STEP;
    if (p == 1) {
        *x = x0 + along;
        *y = 8;
    } else {
        *x = x0 + (p == 2 ? 8 : PANEL - 8 - LED_SIZE);
        *y = along;
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("VYN_UNIT_DIR");
    std::string dir = env ? env : "";
    int arg = 1;
    if (argc > 2 && std::strcmp(argv[1], "-d") == 0) {
        dir = argv[2];
        arg = 3;
    }
    char* end = nullptr;
    unsigned long index = arg < argc ? std::strtoul(argv[arg], &end, 10) : 0;
    // A directory that is none would name a frame no unit ever makes: the wait would never end.
    struct stat unit {};
    const int dirError = dir.empty()                     ? 0
                         : stat(dir.c_str(), &unit) != 0 ? errno
                         : !S_ISDIR(unit.st_mode)        ? ENOTDIR
                                                         : 0;
    const bool noDir = dirError != 0;
    if (noDir) std::fprintf(stderr, "fbview: unit directory %s: %s\n", dir.c_str(), std::strerror(dirError));
    if (noDir || argc > arg + 1 ||
        (end && (*end || !std::isdigit(static_cast<unsigned char>(*argv[arg])) || index > UINT32_MAX))) {
        std::fprintf(stderr, "usage: vyn_fbview [-d UNIT_DIR] [process index]\n");
        return 2;
    }
    std::string name = fbShmName(static_cast<uint32_t>(index), dir);
    size_t bytes = 0;
    const FbShmHeader* fb = nullptr;
    for (int tries = 0; !(fb = mapFrame(name, &bytes)); ++tries) {
        if (tries == 0 && !dir.empty() && !holdsUnit(dir)) {
            std::fprintf(stderr, "fbview: no unit in %s: it holds none of vyn.ini, nvram, %s, vyn.log\n",
                         dir.c_str(), control::SOCKET_NAME);
            return 1;
        }
        if (tries == 0) std::fprintf(stderr, "fbview: waiting for %s\n", name.c_str());
        usleep(100000);
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "fbview: cannot open the X display\n");
        return 1;
    }
    const int w = static_cast<int>(fb->width), h = static_cast<int>(fb->height);
    const int ww = w + PANEL, wh = h;
    int scr = DefaultScreen(dpy);
    Visual* vis = DefaultVisual(dpy, scr);
    if (DefaultDepth(dpy, scr) < 24 || vis->c_class != TrueColor) {
        std::fprintf(stderr, "fbview: needs a 24-bit true-colour display\n");
        return 1;
    }
    Window win = XCreateSimpleWindow(dpy, RootWindow(dpy, scr), 0, 0, static_cast<unsigned>(ww),
                                     static_cast<unsigned>(wh), 0, 0, BlackPixel(dpy, scr));
    XStoreName(dpy, win, ("vyn display " + std::to_string(index)).c_str());
    XSizeHints hints{};
    hints.flags = PMinSize | PMaxSize | PPosition;
    hints.min_width = hints.max_width = ww;
    hints.min_height = hints.max_height = wh;
    XSetWMNormalHints(dpy, win, &hints);
    Atom del = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(dpy, win, &del, 1);
    XSelectInput(dpy, win, ExposureMask | KeyPressMask | StructureNotifyMask);
    XMapWindow(dpy, win);
    GC gc = XCreateGC(dpy, win, 0, nullptr);

    // The image owns its buffer (XDestroyImage frees it).
    auto* pixels = static_cast<char*>(std::malloc(static_cast<size_t>(w) * h * 4));
    XImage* img = XCreateImage(dpy, vis, 24, ZPixmap, 0, pixels, static_cast<unsigned>(w),
                               static_cast<unsigned>(h), 32, w * 4);
    const auto* src =
        reinterpret_cast<const uint32_t*>(reinterpret_cast<const char*>(fb) + sizeof(FbShmHeader));
    bool mapped = false, dirty = true;
    uint32_t lastFlush = ~0u;
    Control control{(dir.empty() ? std::string() : dir + "/") + control::SOCKET_NAME};
    uint32_t leds[LEDS] = {}, shownLeds[LEDS] = {};
    bool ledsDirty = true;
    for (int cycle = 0;; ++cycle) {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == MapNotify) mapped = true;
            if (ev.type == Expose) dirty = true;
            if (ev.type == KeyPress) {
                KeySym k = XLookupKeysym(&ev.xkey, 0);
                if (k == 'q' || k == 'Q') goto done;
            }
            if (ev.type == ClientMessage && static_cast<Atom>(ev.xclient.data.l[0]) == del) goto done;
        }
        uint32_t seq = fb->sequence, flushes = fb->flushes;
        if (mapped && (dirty || flushes != lastFlush) && !(seq & 1)) {
            for (int y = 0; y < h; ++y) {
                const uint32_t* row = src + static_cast<size_t>(y) * (fb->stride / 4);
                for (int x = 0; x < w; ++x)
                    XPutPixel(img, x, y, row[x] & 0x00FFFFFF);
            }
            if (fb->sequence == seq) { // not torn by a flush in between
                XPutImage(dpy, win, gc, img, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
                ledsDirty = true;
                XSync(dpy, False);
                lastFlush = flushes;
                dirty = false;
                std::printf("shown %u\n", flushes);
                std::fflush(stdout);
            }
        }
        if (cycle % 5 == 0) {
            if (!control.leds(leds)) std::memset(leds, 0, sizeof leds);
            if (std::memcmp(leds, shownLeds, sizeof leds) != 0) ledsDirty = true;
        }
        if (mapped && ledsDirty) {
            XSetForeground(dpy, gc, 0x404040); // the screen between the modules
            XDrawRectangle(dpy, win, gc, w + LED_STEP + 8, LED_STEP + 8, 10 * LED_STEP, 10 * LED_STEP);
            for (int i = 0; i < LEDS; ++i) {
                int x, y;
                ledPlace(i / 10 + 1, i % 10, w, &x, &y);
                XSetForeground(dpy, gc, leds[i] ? leds[i] : 0x202020);
                XFillArc(dpy, win, gc, x, y, LED_SIZE, LED_SIZE, 0, 360 * 64);
            }
            XSync(dpy, False);
            std::memcpy(shownLeds, leds, sizeof leds);
            ledsDirty = false;
        }
        usleep(20000);
    }
done:
    if (control.fd >= 0) close(control.fd);
    XDestroyImage(img);
    XFreeGC(dpy, gc);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    munmap(const_cast<FbShmHeader*>(fb), bytes);
    return 0;
}
