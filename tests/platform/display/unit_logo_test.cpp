// End to end: the platform boots a unit whose settings ask for PNG snapshots, the display's
// start-up shows the boot logo, and the snapshot is the logo.
#include "display/app/display.h"
#include "gui/testkit.h"
#include "platform/boot/platform.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

namespace {

using guitest::run;

TEST(UnitDisplay, TheBootLogoIsOnTheScreenAndInTheSnapshot) {
    testsupport::ScratchDir unit;
    unit.write("vyn.ini", "[platform]\nsnapshot = display.png\nsnapshot_rate = 10\n");
    const uint32_t index = guitest::testIndex() + 7; // a frame buffer no other test drew into
    ASSERT_EQ(platform::bootForTest(unit.path, index), 0) << platform::bootError();
    RtpIndex = index;
    displayInit(); // the display's start: the boot logo
    sim::step(200);
    const std::string snap = "'" + unit.path + "/display.png'";
    const std::string ref = std::string(std::getenv("VYN_SOURCE_DIR") ? std::getenv("VYN_SOURCE_DIR") : ".") +
                            "/tests/gui/reference/bootlogo.png";
    // Size, the brightest colour beside the application's area, pixels unlike the logo.
    std::string out;
    run("identify -format '%w %h ' " + snap + " && convert " + snap +
            " -crop 384x480+640+0 +repage -format '%[fx:maxima.r+maxima.g+maxima.b] ' info: && convert " +
            snap + " -crop 640x480+0+0 +repage png:- | compare -metric AE " + ref + " - null:",
        &out);
    EXPECT_EQ(out, "1024 480 0 0");
    EXPECT_TRUE(displaysim::layerEnabled(1));
    platform::halt();
}

} // namespace
