// Test support for the GUI toolkit: the test thread plays the GUI task over the simulated
// display, in stepped time; images are compared with ImageMagick.
#pragma once

#include "gui/core/message.h"
#include "support/stepped.h"
#include "gui/core/thing.h"
#include "gui/presentation/presentation.h"
#include "gui/scrndrv/scrndrv.h"
#include "gui/core/l24logi.h"
#include "platform/display/displaysim.h"
#include "platform/hw/hw.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace guitest {

// A process index of our own, so that test programs running side by side use their own shared memory.
uint32_t testIndex();

class GuiTest : public testsupport::SteppedTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Flushes the frame and returns the shown pixel (top byte masked).
    void flush();
    uint32_t shownAt(int x, int y) const;
    uint32_t fbAt(int x, int y) const;
    // Expects the shown colour at each point.
    struct Px {
        int x, y;
        uint32_t colour;
    };
    void expectShown(std::initializer_list<Px> points) const {
        for (const Px& p : points)
            EXPECT_EQ(shownAt(p.x, p.y), p.colour) << "at (" << p.x << ", " << p.y << ")";
    }
    // Runs the queued messages on this thread, as the GUI task would.
    int drain() { return pm->DispatchPending(); }
    // Draws the root so that every pending invalidation is drawn and its lock levels returned.
    void redrawAll();
    // Fills the whole frame buffer (not yet shown) with one colour word.
    void fillFrame(uint32_t colour);

    GuiPresentationManager* pm = nullptr;
    GuiScreen* screen = nullptr;
};

// A plain object that draws its frame and its children; optionally a viewport owner.
class Probe : public GuiThing {
  public:
    explicit Probe(const GuiRect& r, uint16_t id = 0, uint16_t status = 0) : GuiThing(r, id, FF_NONE) {
        mStatus |= status;
        mColors[0] = 0x123456;
    }
    void Draw() override;
};

// A directory of this process's own for scratch files, removed with everything in it when the
// process ends.
const std::string& scratchDir();
// Writes the region of the shown frame as a PNG.
bool writeShownPng(const std::string& path, const GuiRect& region);
// Compares the region of the shown frame with tests/gui/reference/<name>.png exactly; on a
// difference the actual image and a diff image are kept in the build directory under the test
// program's name, for review.
::testing::AssertionResult matchesReference(const std::string& name, const GuiRect& region);
// Runs a shell command; returns its exit status and stdout+stderr.
int run(const std::string& cmd, std::string* out = nullptr);

} // namespace guitest
