#include "platform/display/displaysim.h"
#include "platform/kmgr/calls.h"
#include "platform/display/fbshm.h"
#include "platform/hw/hw_sim.h"
#include "platform/hw/zynq_map.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/sysproc/sysproc.h"

#include <png.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The platform's boot logo as a screen dump, drawn at build time (boot_logo_dump.cpp).
extern const uint8_t displaysim_boot_logo[];
extern const size_t displaysim_boot_logo_size;

namespace displaysim {
namespace {

constexpr uintptr_t CTRL_BASE = zynq::DISPLAY_LAYERS_BASE;
constexpr size_t CTRL_SIZE = zynq::CORE_SIZE;
constexpr uintptr_t LAYER0 = zynq::DISPLAY_LAYER_REG0, LAYER_STEP = zynq::DISPLAY_LAYER_STEP;
constexpr uintptr_t COLSAT = zynq::DISPLAY_COLSAT_REG;
constexpr uintptr_t LAYER1 = LAYER0 + LAYER_STEP;
constexpr size_t FRAME_BYTES = static_cast<size_t>(WIDTH) * HEIGHT * 4;

struct State {
    std::mutex m;
    bool installed = false;
    uint32_t index = 0;
    uint32_t* fb = nullptr;
    FbShmHeader* shm = nullptr;
    size_t shmBytes = 0;
    std::string shmName;
    volatile uint32_t regs[CTRL_SIZE / 4] = {};
    std::vector<uint32_t> flushed; // the application's layer as last flushed
    bool layerOn = false;          // layer 1 as last composed into the shown frame
    std::atomic<uint64_t> flushes{0};
    std::atomic<uint64_t> waits{0};
    std::vector<uint8_t> logo;
    std::string snapPath;
    int64_t snapIntervalNs = 0;
    int64_t lastSnapNs = INT64_MIN / 2;
    bool snapPending = false;
    bool snapFailLogged = false;
    std::atomic<uint64_t> snaps{0};
    int hook = 0;
    // Real time: a frame held back is written by a thread of its own, never on the tick.
    std::thread writer;
    std::condition_variable writeCv;
    bool writeDue = false;
    bool writerStop = false;
};

State& st() {
    static State* s = new State;
    return *s;
}

uint32_t* pixels(State& s) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(s.shm) + sizeof(FbShmHeader));
}

int64_t nowNs() {
    timespec ts{};
    osClockGettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Encodes the frame as an RGB PNG; libpng reports errors by longjmp, so nothing here changes
// after setjmp.
bool encodePng(FILE* f, const uint32_t* px, uint8_t* row) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, WIDTH, HEIGHT, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            uint32_t c = px[y * WIDTH + x];
            row[3 * x] = static_cast<uint8_t>(c >> 16);
            row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(c);
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool writePngFrom(const uint32_t* px, const std::string& path) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    std::vector<uint8_t> row(static_cast<size_t>(WIDTH) * 3);
    bool ok = encodePng(f, px, row.data());
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool writePngLocked(State& s, const std::string& path) {
    if (!s.shm || !writePngFrom(pixels(s), path)) return false;
    s.snaps++;
    return true;
}

void snapshotFailed(State& s) {
    // One line is enough: the path stays wrong until the unit is set up again.
    if (s.snapFailLogged) return;
    s.snapFailLogged = true;
    sysproc::platformLog(147, "KVX2_KMGR", "display", "cannot write the snapshot " + s.snapPath);
}

// Lock held. True when a snapshot is to be written now (and counted as written).
bool snapshotDue(State& s, bool afterFlush) {
    if (s.snapPath.empty()) return false;
    if (afterFlush) s.snapPending = true;
    if (!s.snapPending) return false;
    int64_t now = nowNs();
    if (now - s.lastSnapNs < s.snapIntervalNs) return false;
    s.lastSnapNs = now;
    s.snapPending = false;
    return true;
}

void maybeSnapshot(State& s, bool afterFlush) {
    if (snapshotDue(s, afterFlush) && !writePngLocked(s, s.snapPath)) snapshotFailed(s);
}

// The real-time writer of held-back frames: the frame is copied under the lock and encoded
// outside it, so neither the tick nor a flush waits for the encoder.
void writerBody() {
    State& s = st();
    std::vector<uint32_t> frame(FRAME_BYTES / 4);
    std::unique_lock<std::mutex> lk(s.m);
    for (;;) {
        s.writeCv.wait(lk, [&] { return s.writeDue || s.writerStop; });
        if (s.writerStop) return;
        s.writeDue = false;
        if (!s.shm || !snapshotDue(s, false)) continue;
        std::memcpy(frame.data(), pixels(s), FRAME_BYTES);
        const std::string path = s.snapPath;
        lk.unlock();
        const bool ok = writePngFrom(frame.data(), path);
        lk.lock();
        if (ok)
            s.snaps++;
        else
            snapshotFailed(s);
    }
}

void stopWriter(State& s) {
    {
        std::lock_guard<std::mutex> g(s.m);
        s.writerStop = true;
    }
    s.writeCv.notify_all();
    if (s.writer.joinable()) s.writer.join();
    s.writerStop = false;
    s.writeDue = false;
}

// Copies the blocks of `from` that differ from `to` (a page tick redraws a few elements: the
// rest of the frame is only read).
void copyChanged(uint32_t* to, const uint32_t* from) {
    constexpr size_t BLOCK = 64; // pixels
    for (size_t i = 0; i < FRAME_BYTES / 4; i += BLOCK) {
        uint32_t diff = 0;
        for (size_t k = 0; k < BLOCK; ++k)
            diff |= to[i + k] ^ from[i + k];
        if (diff) std::memcpy(to + i, from + i, BLOCK * 4);
    }
}

// The shown frame: layer 1 (the frame last flushed) while it is on, else black. While it is on,
// the shown frame is the flushed one; `flushed` keeps it while it is off. Called with the lock
// held, after a flush and whenever layer 1 is switched.
void compose(State& s) {
    const bool on = s.regs[LAYER1 / 4] == zynq::DISPLAY_LAYER_ON;
    s.shm->sequence = s.shm->sequence + 1;
    if (on && !s.layerOn)
        std::memcpy(pixels(s), s.flushed.data(), FRAME_BYTES);
    else if (!on && s.layerOn)
        std::memcpy(s.flushed.data(), pixels(s), FRAME_BYTES);
    if (!on) std::memset(pixels(s), 0, FRAME_BYTES);
    s.layerOn = on;
    s.shm->sequence = s.shm->sequence + 1;
}

// Layer 1 switched by a register write (or through the mapped window, seen on the next tick).
void layerCheck(State& s) {
    if (s.installed && (s.regs[LAYER1 / 4] == zynq::DISPLAY_LAYER_ON) != s.layerOn) {
        compose(s);
        s.shm->flushes = s.shm->flushes + 1;
        maybeSnapshot(s, true);
    }
}

intptr_t onFlush(const intptr_t* a) {
    State& s = st();
    if (static_cast<uint32_t>(a[0]) != s.index || a[1] != KCALL_DISPLAY_ID || a[2] != 1) return -1;
    std::lock_guard<std::mutex> g(s.m);
    if (!s.installed) return -1;
    s.shm->sequence = s.shm->sequence + 1;
    copyChanged(s.layerOn ? pixels(s) : s.flushed.data(), s.fb);
    s.flushes++;
    s.shm->flushes = s.shm->flushes + 1;
    s.shm->sequence = s.shm->sequence + 1;
    maybeSnapshot(s, true);
    return 0;
}

intptr_t onWait(const intptr_t* a) {
    State& s = st();
    if (static_cast<uint32_t>(a[0]) != s.index || a[1] != KCALL_DISPLAY_ID || a[2] != 2) return -1;
    s.waits++; // a flush here is done when its call returns
    return 0;
}

intptr_t onLogoSize(const intptr_t* a) {
    State& s = st();
    auto* size = reinterpret_cast<uint32_t*>(a[0]);
    if (!size) return -1;
    std::lock_guard<std::mutex> g(s.m);
    *size = static_cast<uint32_t>(s.logo.size());
    return 0;
}

intptr_t onLogoCopy(const intptr_t* a) {
    State& s = st();
    auto* buf = reinterpret_cast<uint8_t*>(a[0]);
    std::lock_guard<std::mutex> g(s.m);
    if (!buf || a[1] < static_cast<intptr_t>(s.logo.size())) return -1;
    std::memcpy(buf, s.logo.data(), s.logo.size());
    return 0;
}

// Frames left by processes that ended without removing theirs (killed, or gone through _exit
// before the display was uninstalled): a frame whose writer no longer exists is removed.
void removeOrphanedFrames() {
    DIR* d = opendir("/dev/shm");
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "vyn_fb_", 7) != 0) continue;
        const std::string name = std::string("/") + e->d_name;
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd < 0) continue;
        FbShmHeader h{};
        const bool read = pread(fd, &h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
        close(fd);
        if (read && h.magic == FBSHM_MAGIC && h.owner != 0 && kill(static_cast<pid_t>(h.owner), 0) != 0 &&
            errno == ESRCH)
            shm_unlink(name.c_str());
    }
    closedir(d);
}

void unmapShown(State& s) {
    if (s.shm) {
        munmap(s.shm, s.shmBytes);
        shm_unlink(s.shmName.c_str());
        s.shm = nullptr;
    }
}

} // namespace

std::string shownShmName(uint32_t index, const std::string& unitDir) {
    return fbShmName(index, unitDir);
}

std::vector<uint8_t> defaultBootLogo() {
    return std::vector<uint8_t>(displaysim_boot_logo, displaysim_boot_logo + displaysim_boot_logo_size);
}

bool install(uint32_t index, const std::string& unitDir) {
    State& s = st();
    uninstall();
    char name[64];
    std::snprintf(name, sizeof name, "/shm/FrameBuffer_%u", index);
    uint32_t* fb = static_cast<uint32_t*>(shmMap(name, FRAME_BYTES, true));
    if (!fb) return false;

    // The shown frame outlives no process: a test or benchmark that never uninstalls (or fails
    // before it does) still removes its name when it exits.
    static const bool unlinkAtExit = [] {
        std::atexit([] {
            State& s2 = st();
            if (s2.shm) shm_unlink(s2.shmName.c_str());
        });
        return true;
    }();
    (void)unlinkAtExit;
    removeOrphanedFrames();
    std::string shmName = shownShmName(index, unitDir);
    size_t bytes = sizeof(FbShmHeader) + FRAME_BYTES;
    int fd = shm_open(shmName.c_str(), O_CREAT | O_RDWR, 0644);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return false;

    {
        std::lock_guard<std::mutex> g(s.m);
        s.index = index;
        s.fb = fb;
        s.shm = static_cast<FbShmHeader*>(p);
        s.shmBytes = bytes;
        s.shmName = shmName;
        std::memset(s.shm, 0, bytes);
        s.shm->magic = FBSHM_MAGIC;
        s.shm->width = WIDTH;
        s.shm->height = HEIGHT;
        s.shm->stride = WIDTH * 4;
        s.shm->owner = static_cast<uint32_t>(getpid());
        for (auto& r : s.regs)
            r = 0;
        s.flushed.assign(FRAME_BYTES / 4, 0);
        s.layerOn = false;
        s.flushes = 0;
        s.waits = 0;
        s.snaps = 0;
        s.logo = defaultBootLogo();
        s.snapPath.clear();
        s.snapPending = false;
        s.installed = true;
    }
    hwsim::addDevice(
        CTRL_BASE, CTRL_SIZE, [](uintptr_t off) -> uint32_t { return st().regs[off / 4]; },
        [](uintptr_t off, uint32_t v) {
            State& st2 = st();
            std::lock_guard<std::mutex> g(st2.m);
            st2.regs[off / 4] = v;
            if (off == LAYER1) layerCheck(st2);
        },
        st().regs);
    kmgr::setHandler(KCALL_DISPLAY_FLUSH, onFlush);
    kmgr::setHandler(KCALL_DISPLAY_WAIT_FLUSH, onWait);
    kmgr::setHandler(KCALL_BOOTLOGO_COPY, onLogoCopy);
    kmgr::setHandler(KCALL_BOOTLOGO_SIZE, onLogoSize);
    // The tick never waits: while a flush holds the display, its check comes on a later tick.
    s.hook = sim::addTickHook([](uint64_t) {
        State& st2 = st();
        std::unique_lock<std::mutex> lk(st2.m, std::try_to_lock);
        if (!lk || !st2.installed) return;
        layerCheck(st2);
        if (sim::mode() == sim::TimeMode::Stepped) {
            maybeSnapshot(st2, false);
        } else if (st2.snapPending && !st2.writeDue && st2.writer.joinable() &&
                   nowNs() - st2.lastSnapNs >= st2.snapIntervalNs) {
            st2.writeDue = true;
            st2.writeCv.notify_one();
        }
    });
    return true;
}

void uninstall() {
    State& s = st();
    if (s.hook) {
        sim::removeTickHook(s.hook);
        s.hook = 0;
    }
    for (unsigned c :
         {KCALL_DISPLAY_FLUSH, KCALL_DISPLAY_WAIT_FLUSH, KCALL_BOOTLOGO_COPY, KCALL_BOOTLOGO_SIZE})
        kmgr::setHandler(c, nullptr);
    hwsim::removeDevice(CTRL_BASE);
    stopWriter(s);
    std::lock_guard<std::mutex> g(s.m);
    s.installed = false;
    unmapShown(s);
    s.fb = nullptr;
}

uint32_t* frameBuffer() {
    return st().fb;
}
const uint32_t* shown() {
    return st().shm ? pixels(st()) : nullptr;
}
uint64_t flushCount() {
    return st().flushes;
}
uint64_t waitCount() {
    return st().waits;
}

uint32_t layerRegister(int layer) {
    if (layer < 0 || layer > 4) return 0;
    return st().regs[(LAYER0 + LAYER_STEP * static_cast<uintptr_t>(layer)) / 4];
}
bool layerEnabled(int layer) {
    return layerRegister(layer) == 3;
}
uint32_t colourSaturation() {
    return st().regs[COLSAT / 4];
}

void setBootLogo(const std::vector<uint8_t>& dump) {
    std::lock_guard<std::mutex> g(st().m);
    st().logo = dump;
}

void setSnapshot(const std::string& path, double maxPerSecond) {
    State& s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.snapPath = path;
    s.snapIntervalNs = maxPerSecond > 0 ? static_cast<int64_t>(1e9 / maxPerSecond) : 0;
    s.lastSnapNs = INT64_MIN / 2;
    s.snapPending = false;
    s.snapFailLogged = false;
    // Made here, at the start-up, with the host's default scheduling on any CPU: not a task. Stepped
    // time writes on the tick, and a thread beside it would only make the tick miss the lock.
    if (!path.empty() && !s.writer.joinable() && sim::mode() != sim::TimeMode::Stepped)
        s.writer = std::thread(writerBody);
}

uint64_t snapshotCount() {
    return st().snaps;
}

bool writePng(const std::string& path) {
    std::lock_guard<std::mutex> g(st().m);
    return writePngLocked(st(), path);
}

} // namespace displaysim
