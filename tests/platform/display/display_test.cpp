// The simulated display: manager calls, layers, the shared shown frame, PNG snapshots and the viewer.
#include "gui/testkit.h"
#include "platform/display/fbshm.h"
#include "platform/kmgr/kmgr.h"
#include "platform/hw/zynq_map.h"
#include "platform/kmgr/kmgr_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

using guitest::run;
using guitest::testIndex;

constexpr uintptr_t LAYER1 = zynq::DISPLAY_LAYERS_BASE + zynq::DISPLAY_LAYER_REG0 + zynq::DISPLAY_LAYER_STEP;

std::string buildDir() {
    return std::getenv("VYN_BUILD_DIR") ? std::getenv("VYN_BUILD_DIR") : "/tmp";
}

struct Display : ::testing::Test {
    uint32_t idx = testIndex();
    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        ASSERT_TRUE(displaysim::install(idx));
    }
    void TearDown() override {
        displaysim::setSnapshot("", 0);
        displaysim::uninstall();
        kmgr::clearFaults();
    }
    intptr_t flush() { return kmgr_syscall(4225, idx, 0xBCA0002, 1); }
    void pattern() {
        uint32_t* fb = displaysim::frameBuffer();
        for (int y = 0; y < displaysim::HEIGHT; ++y)
            for (int x = 0; x < displaysim::WIDTH; ++x)
                fb[y * displaysim::WIDTH + x] = (static_cast<uint32_t>(x / 4) << 16) |
                                                (static_cast<uint32_t>(y / 2) << 8) |
                                                ((x + y) % 3 == 0 ? 0xFFu : 0x40u);
        for (int y = 100; y < 200; ++y)
            for (int x = 300; x < 500; ++x)
                fb[y * displaysim::WIDTH + x] = 0xFF000000u | 0x00C000; // top byte set
    }
};

TEST_F(Display, FlushShowsTheFrameOnlyWithLayerOneAndChecksItsArguments) {
    pattern();
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(displaysim::shown()[0], 0u) << "layer 1 off: black";
    hw_write32(LAYER1, 3);
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(displaysim::shown()[1], displaysim::frameBuffer()[1]);
    EXPECT_EQ(displaysim::flushCount(), 2u);
    EXPECT_EQ(kmgr_syscall(4225, idx + 1, 0xBCA0002, 1), -1) << "another process index";
    EXPECT_EQ(kmgr_syscall(4225, idx, 0xBCA0003, 1), -1);
    EXPECT_EQ(kmgr_syscall(4226, idx, 0xBCA0002, 2), 0);
    EXPECT_EQ(kmgr_syscall(4226, idx, 0xBCA0002, 1), -1);
    kmgr::injectFault(4225, 1, 2);
    EXPECT_EQ(flush(), 1);
    EXPECT_EQ(flush(), 1);
    EXPECT_EQ(flush(), 0);
    // Registers: five layers and the colour saturation.
    hw_write32(0x40010338, 3);
    EXPECT_TRUE(displaysim::layerEnabled(4));
    hw_write32(0x400101B0, 170);
    EXPECT_EQ(displaysim::colourSaturation(), 170u);
    EXPECT_EQ(hw_read32(0x400101B0), 170u);
}

TEST_F(Display, SwitchingLayerOneShowsOrHidesTheFrameLastFlushed) {
    std::string path = buildDir() + "/display_layer_snap.png";
    std::remove(path.c_str());
    displaysim::setSnapshot(path, 1000);
    pattern();
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(displaysim::shown()[150 * 1024 + 400], 0u) << "layer 1 off: black";
    const uint64_t snaps = displaysim::snapshotCount();
    hw_write32(LAYER1, 3); // no flush: the controller shows the layer at once
    EXPECT_EQ(displaysim::shown()[150 * 1024 + 400] & 0xFFFFFF, 0x00C000u);
    displaysim::frameBuffer()[0] = 0xABCDEF;
    EXPECT_NE(displaysim::shown()[0] & 0xFFFFFF, 0xABCDEFu) << "drawing after the flush is not shown";
    sim::step(2);
    EXPECT_GT(displaysim::snapshotCount(), snaps) << "the new frame is also written";
    hw_write32(LAYER1, 0);
    EXPECT_EQ(displaysim::shown()[150 * 1024 + 400], 0u);
    // Through the mapped window the switch is seen at the next tick.
    volatile uint32_t* regs = hw_map(zynq::DISPLAY_LAYERS_BASE, zynq::CORE_SIZE);
    ASSERT_NE(regs, nullptr);
    regs[LAYER1 % zynq::CORE_SIZE / 4] = 3;
    sim::step(1);
    EXPECT_EQ(displaysim::shown()[150 * 1024 + 400] & 0xFFFFFF, 0x00C000u);
    EXPECT_EQ(displaysim::flushCount(), 1u);
}

TEST_F(Display, BootLogoCallsHandOutTheDump) {
    uint32_t size = 0;
    ASSERT_EQ(kmgr_syscall(4228, reinterpret_cast<intptr_t>(&size)), 0);
    std::vector<uint8_t> logo = displaysim::defaultBootLogo();
    ASSERT_EQ(size, logo.size());
    std::vector<uint8_t> buf(size);
    EXPECT_EQ(kmgr_syscall(4227, reinterpret_cast<intptr_t>(buf.data()), static_cast<intptr_t>(size) - 1),
              -1);
    EXPECT_EQ(kmgr_syscall(4227, reinterpret_cast<intptr_t>(buf.data()), size), 0);
    EXPECT_EQ(buf, logo);
    // The dump is consistent: 12 + 4 npal + 2 nrun + ndata bytes, runs covering 640 x 480.
    uint32_t npal, nrun, ndata;
    std::memcpy(&npal, buf.data(), 4);
    std::memcpy(&nrun, buf.data() + 4, 4);
    std::memcpy(&ndata, buf.data() + 8, 4);
    EXPECT_EQ(buf.size(), 12 + 4 * npal + 2 * nrun + ndata);
    uint32_t pixels = 0;
    for (uint32_t i = 0; i < nrun; ++i)
        pixels += buf[12 + 4 * npal + 2 * i] | (buf[13 + 4 * npal + 2 * i] << 8);
    EXPECT_EQ(pixels, 640u * 480u);
    EXPECT_EQ(kmgr_syscall(4228, 0), -1);
}

TEST_F(Display, ShownFrameIsSharedWithOtherProcesses) {
    pattern();
    hw_write32(LAYER1, 3);
    flush();
    int fd = shm_open(displaysim::shownShmName(idx).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    size_t bytes = sizeof(FbShmHeader) + displaysim::WIDTH * displaysim::HEIGHT * 4;
    void* p = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(p, MAP_FAILED);
    auto* h = static_cast<const FbShmHeader*>(p);
    EXPECT_EQ(h->magic, FBSHM_MAGIC);
    EXPECT_EQ(h->width * h->height, 1024u * 480u);
    EXPECT_EQ(h->flushes, 2u) << "a new shown frame when layer 1 came on, and one for the flush";
    EXPECT_EQ(h->sequence % 2, 0u);
    auto* px = reinterpret_cast<const uint32_t*>(static_cast<const char*>(p) + sizeof(FbShmHeader));
    EXPECT_EQ(px[150 * 1024 + 400] & 0xFFFFFF, 0x00C000u);
    munmap(p, bytes);
}

// A frame left by a process that is gone (killed, say) is removed by the next display set up;
// one whose writer lives, or that is not a frame, stays.
TEST_F(Display, FramesOfProcessesThatAreGoneAreRemoved) {
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    auto leave = [](const std::string& name, uint32_t magic, pid_t owner) {
        int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0644);
        FbShmHeader h{};
        h.magic = magic;
        h.owner = static_cast<uint32_t>(owner);
        EXPECT_EQ(write(fd, &h, sizeof h), static_cast<ssize_t>(sizeof h));
        close(fd);
    };
    const std::string gone = displaysim::shownShmName(idx + 1), alive = displaysim::shownShmName(idx + 2),
                      other = displaysim::shownShmName(idx + 3);
    leave(gone, FBSHM_MAGIC, child);
    leave(alive, FBSHM_MAGIC, getppid());
    leave(other, 0, child);
    ASSERT_TRUE(displaysim::install(idx));
    auto exists = [](const std::string& name) {
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd >= 0) close(fd);
        return fd >= 0;
    };
    EXPECT_EQ(std::tuple(exists(gone), exists(alive), exists(other), exists(displaysim::shownShmName(idx))),
              std::tuple(false, true, true, true));
    shm_unlink(alive.c_str());
    shm_unlink(other.c_str());
}

int countTmp(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            n += std::strstr(e->d_name, "snap.png.tmp") != nullptr;
        closedir(d);
    }
    return n;
}

TEST_F(Display, SnapshotsAreRateLimitedAtomicAndExact) {
    std::string dir = buildDir(), path = dir + "/display_snap.png";
    std::remove(path.c_str());
    pattern();
    hw_write32(LAYER1, 3);
    displaysim::setSnapshot(path, 2); // at most every 500 ms
    flush();
    EXPECT_EQ(displaysim::snapshotCount(), 1u);
    flush();
    EXPECT_EQ(displaysim::snapshotCount(), 1u) << "held back";
    sim::step(499);
    EXPECT_EQ(displaysim::snapshotCount(), 1u);
    displaysim::frameBuffer()[5] = 0xABCDEF;
    flush();
    sim::step(1);
    EXPECT_EQ(displaysim::snapshotCount(), 2u) << "the frame held back is written once the interval passed";
    sim::step(2000);
    EXPECT_EQ(displaysim::snapshotCount(), 2u) << "nothing new, nothing written";
    EXPECT_EQ(countTmp(dir), 0);
    // Python's imaging library reads the file back.
    std::string out;
    ASSERT_EQ(run("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + path +
                      "'); print(im.size, im.mode, '%02x%02x%02x' % im.getpixel((5, 0)), '%02x%02x%02x' % "
                      "im.getpixel((400, 150)))\"",
                  &out),
              0)
        << out;
    EXPECT_EQ(out, "(1024, 480) RGB abcdef 00c000\n");
}

TEST_F(Display, ASnapshotThatCannotBeWrittenIsLoggedOnce) {
    const std::string path = buildDir() + "/no-such-dir/display_snap.png";
    displaysim::setSnapshot(path, 1000);
    testing::internal::CaptureStdout();
    hw_write32(LAYER1, 3); // shows the frame: the first snapshot
    flush();
    sim::step(2);
    flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "147 KVX2_KMGR display: cannot write the snapshot " + path + "\n");
    EXPECT_EQ(displaysim::snapshotCount(), 0u);
}

// ---- the viewer under Xvfb --------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    int fds[2];
    Child c;
    if (pipe(fds) != 0) return c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 2);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    c.out = fds[0];
    return c;
}

// Reads a line from the child, waiting at most `ms`.
std::string readLine(int fd, int ms) {
    std::string line;
    for (int waited = 0; waited < ms;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            waited += 50;
            continue;
        }
        char ch;
        if (read(fd, &ch, 1) != 1) break;
        if (ch == '\n') return line;
        line += ch;
    }
    return line;
}

void stop(Child& c) {
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        waitpid(c.pid, nullptr, 0);
    }
    if (c.out >= 0) close(c.out);
}

std::string viewerPath() {
    for (const std::string& p : {buildDir() + "/tools/fbview/vyn_fbview", buildDir() + "/vyn_fbview"})
        if (access(p.c_str(), X_OK) == 0) return p;
    return "";
}

TEST_F(Display, ViewerUnderXvfbShowsExactlyTheSnapshot) {
    std::string viewer = viewerPath();
    if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/import", X_OK) != 0 || viewer.empty())
        GTEST_SKIP() << "Xvfb, ImageMagick or the viewer is missing";
    pattern();
    hw_write32(LAYER1, 3);
    ASSERT_EQ(flush(), 0);
    std::string dir = buildDir(), snap = dir + "/viewer_snap.png", shot = dir + "/viewer_shot.png";
    ASSERT_TRUE(displaysim::writePng(snap));

    Child x = spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x480x24", "-nolisten", "tcp"});
    std::string number = readLine(x.out, 10000);
    if (number.empty()) {
        stop(x);
        GTEST_SKIP() << "Xvfb did not start";
    }
    std::string display = "DISPLAY=:" + number;
    Child v = spawn({viewer, std::to_string(idx)}, {display});
    std::string line = readLine(v.out, 10000);
    EXPECT_EQ(line, "shown 2") << "layer 1 on, then the flush";
    std::string out;
    int st = run(display + " import -window root '" + shot + "'", &out);
    stop(v);
    stop(x);
    ASSERT_EQ(st, 0) << out;
    EXPECT_EQ(run("compare -metric AE '" + snap + "' '" + shot + "' null:", &out), 0)
        << out << " pixels differ";
}

} // namespace
