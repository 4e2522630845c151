// The simulated display: manager calls, layers, the shared shown frame, PNG snapshots and the viewer.
#include "gui/testkit.h"
#include "platform/display/fbshm.h"
#include "platform/hw/zynq_map.h"
#include "platform/kmgr/kmgr.h"
#include "support/stepped.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

using guitest::run;
using testsupport::ScratchDir;

// The controller's registers: layer n at 0x40010138 + 0x80 n, the colour saturation at 0x400101B0.
constexpr uintptr_t LAYER1 = 0x400101B8;
constexpr int MARK = 150 * displaysim::WIDTH + 400; // inside the green block of pattern()

struct Display : testsupport::SteppedTest {
    uint32_t idx = guitest::testIndex();
    ScratchDir dir;
    void SetUp() override {
        SteppedTest::SetUp();
        ASSERT_TRUE(displaysim::install(idx));
    }
    void TearDown() override {
        displaysim::setSnapshot("", 0);
        displaysim::uninstall();
    }
    intptr_t flush() { return kmgr_syscall(4225, idx, 0xBCA0002, 1); }
    void pattern() { // noise, and a green block whose top byte is set
        uint32_t* fb = displaysim::frameBuffer();
        for (int i = 0; i < displaysim::WIDTH * displaysim::HEIGHT; ++i)
            fb[i] = (i * 2654435761u) >> 8;
        for (int y = 100; y < 200; ++y)
            std::fill(fb + y * displaysim::WIDTH + 300, fb + y * displaysim::WIDTH + 500, 0xFF00C000u);
    }
    uint32_t shownMark() const { return displaysim::shown()[MARK] & 0xFFFFFF; }
};

TEST_F(Display, CallsCheckTheirArguments) {
    EXPECT_EQ(kmgr_syscall(4225, idx + 1, 0xBCA0002, 1), -1) << "another process index";
    EXPECT_EQ(kmgr_syscall(4225, idx, 0xBCA0003, 1), -1);
    EXPECT_EQ(kmgr_syscall(4226, idx, 0xBCA0002, 2), 0);
    EXPECT_EQ(kmgr_syscall(4226, idx, 0xBCA0002, 1), -1);
    // The boot logo: size, then a copy into a buffer large enough.
    uint32_t size = 0;
    ASSERT_EQ(kmgr_syscall(4228, reinterpret_cast<intptr_t>(&size)), 0);
    std::vector<uint8_t> buf(size);
    EXPECT_EQ(kmgr_syscall(4227, reinterpret_cast<intptr_t>(buf.data()), intptr_t(size) - 1), -1);
    EXPECT_EQ(kmgr_syscall(4227, reinterpret_cast<intptr_t>(buf.data()), size), 0);
    EXPECT_EQ(buf, displaysim::defaultBootLogo());
    EXPECT_EQ(kmgr_syscall(4228, 0), -1);
    hw_write32(0x40010338, 3); // layer 4
    EXPECT_TRUE(displaysim::layerEnabled(4));
    hw_write32(0x400101B0, 170);
    EXPECT_EQ(displaysim::colourSaturation(), 170u);
}

TEST_F(Display, LayerOneShowsOrHidesTheFrameLastFlushedAndSharesIt) {
    displaysim::setSnapshot(dir / "snap.png", 1000);
    pattern();
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(shownMark(), 0u) << "layer 1 off: black";
    const uint64_t snaps = displaysim::snapshotCount();
    hw_write32(LAYER1, 3); // no flush: the controller shows the layer at once
    EXPECT_EQ(shownMark(), 0x00C000u);
    displaysim::frameBuffer()[MARK] = 0xABCDEF;
    EXPECT_EQ(shownMark(), 0x00C000u) << "drawing after the flush is not shown";
    sim::step(2);
    EXPECT_GT(displaysim::snapshotCount(), snaps) << "the new frame is also written";

    int fd = shm_open(displaysim::shownShmName(idx).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    const size_t bytes = sizeof(FbShmHeader) + displaysim::WIDTH * displaysim::HEIGHT * 4;
    void* p = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(p, MAP_FAILED);
    auto* h = static_cast<const FbShmHeader*>(p);
    EXPECT_EQ(h->magic, FBSHM_MAGIC);
    EXPECT_EQ(h->flushes, 2u) << "a new shown frame when layer 1 came on, and one for the flush";
    EXPECT_EQ(h->sequence % 2, 0u);
    EXPECT_EQ(reinterpret_cast<const uint32_t*>(h + 1)[MARK] & 0xFFFFFF, 0x00C000u);
    munmap(p, bytes);
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(shownMark(), 0xABCDEFu) << "a flush shows what changed since the last one";

    hw_write32(LAYER1, 0);
    EXPECT_EQ(shownMark(), 0u);
    volatile uint32_t* regs = hw_map(zynq::DISPLAY_LAYERS_BASE, zynq::CORE_SIZE);
    ASSERT_NE(regs, nullptr);
    regs[LAYER1 % zynq::CORE_SIZE / 4] = 3; // through the mapped window: seen at the next tick
    sim::step(1);
    EXPECT_EQ(shownMark(), 0xABCDEFu) << "the frame last flushed, kept while the layer was off";
}

// Stepped time writes held-back frames on the tick itself. A writer thread beside it would take
// the display's lock at times of the host's choosing, and a tick that finds the lock taken skips
// its check: a layer switch or a snapshot would then come a tick late, or not at all.
TEST_F(Display, SteppedTimeStartsNoSnapshotWriter) {
    auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
    const auto before = threads();
    displaysim::setSnapshot(dir / "snap.png", 1000);
    EXPECT_EQ(threads(), before);
}

TEST_F(Display, SnapshotsAreRateLimitedAtomicAndExact) {
    const std::string path = dir / "snap.png";
    pattern();
    hw_write32(LAYER1, 3);
    displaysim::setSnapshot(path, 2); // at most every 500 ms
    flush();
    flush();
    EXPECT_EQ(displaysim::snapshotCount(), 1u) << "the second is held back";
    sim::step(499);
    displaysim::frameBuffer()[5] = 0xABCDEF;
    flush();
    EXPECT_EQ(displaysim::snapshotCount(), 1u);
    sim::step(1);
    EXPECT_EQ(displaysim::snapshotCount(), 2u) << "the frame held back is written once the interval passed";
    sim::step(2000);
    EXPECT_EQ(displaysim::snapshotCount(), 2u) << "nothing new, nothing written";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1) << "no temporary left";
    std::string out;
    run("/usr/bin/python3 -c \"from PIL import Image; i = Image.open('" + path +
            "'); print(i.size, i.mode, i.getpixel((5, 0)), i.getpixel((400, 150)))\"",
        &out);
    EXPECT_EQ(out, "(1024, 480) RGB (171, 205, 239) (0, 192, 0)\n");
}

TEST_F(Display, ASnapshotThatCannotBeWrittenIsLoggedOnce) {
    const std::string path = dir / "no-such-dir/snap.png";
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

TEST_F(Display, ViewerUnderXvfbShowsExactlyTheSnapshot) {
    const std::string viewer = std::string(std::getenv("VYN_BUILD_DIR")) + "/tools/fbview/vyn_fbview";
    if (access("/usr/bin/xvfb-run", X_OK) != 0 || access("/usr/bin/import", X_OK) != 0 ||
        access(viewer.c_str(), X_OK) != 0)
        GTEST_SKIP() << "Xvfb, ImageMagick or the viewer is missing";
    pattern();
    hw_write32(LAYER1, 3);
    ASSERT_EQ(flush(), 0);
    const std::string snap = dir / "snap.png", shot = dir / "shot.png";
    ASSERT_TRUE(displaysim::writePng(snap));
    // The viewer prints "shown <flushes>" once the frame is on the screen; then the screen is taken.
    std::string out;
    ASSERT_EQ(run("xvfb-run -a -s '-screen 0 1024x480x24 -nolisten tcp' bash -c 'exec 3< <(exec " + viewer +
                      " " + std::to_string(idx) +
                      " 2>/dev/null); read -t 10 l <&3; echo \"$l\"; import -window root " + shot +
                      "; kill $!'",
                  &out),
              0)
        << out;
    EXPECT_EQ(out, "shown 2\n") << "layer 1 on, then the flush";
    EXPECT_EQ(run("compare -metric AE '" + snap + "' '" + shot + "' null:", &out), 0)
        << out << " pixels differ";
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

} // namespace
