#include "platform/drives/drives.h"

#include "platform/kmgr/kmgr.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "support/stepped.h"

namespace {

const auto text = [](const char* s) { return reinterpret_cast<intptr_t>(s); };

struct Drives : ::testing::Test {
    testsupport::ScratchDir unit{"cfg"};
    void SetUp() override {
        osfs::reset();
        osfs::addDevice("cfg:", unit.path);
        osfs::addDevice("meas:", unit / "../meas"); // its directory does not exist yet
        drives::install();
    }
    void TearDown() override { osfs::reset(); }
    static intptr_t on(const char* drive) { return kmgr_syscall(2694, 0, text(drive), 1); }
};

TEST_F(Drives, AvailabilityFollowsTheDevicesUnlessSetAndCommandsAreRecorded) {
    EXPECT_EQ((std::vector{on("cfg:"), on("meas:"), on("usb_meas:")}), (std::vector<intptr_t>{1, 0, 0}));
    std::filesystem::create_directory(unit / "../meas");
    drives::setAvailable("cfg:", false);
    drives::setAvailable("usb_meas:", true);
    EXPECT_EQ((std::vector{on("cfg:"), on("meas:"), on("usb_meas:")}), (std::vector<intptr_t>{0, 1, 1}));
    drives::install(); // forgets the settings
    EXPECT_EQ((std::vector{on("cfg:"), on("usb_meas:")}), (std::vector<intptr_t>{1, 0}));
    EXPECT_EQ(std::pair(kmgr_syscall(2694, 0, 0, 1), kmgr_syscall(2694, 0, text("cfg:"), 0)),
              std::pair(-1l, -1l));

    // Commands and USB requests are recorded until the next start.
    const char* ifconfig = "gem0 inet add 10.1.2.37 netmask 255.255.255.0";
    // Request kind first, then the value.
    EXPECT_EQ((std::vector{kmgr_syscall(2705, 2, text(ifconfig)),
                           kmgr_syscall(2706, 2, text("add default 10.1.2.1")), kmgr_syscall(2706, 2, 0),
                           kmgr_syscall(2705, 2, text("")), kmgr_syscall(2708, 1, 0),
                           kmgr_syscall(2708, 0, 1), kmgr_syscall(2708, 3, 1), kmgr_syscall(2708, -1, 1)}),
              (std::vector<intptr_t>{0, 0, -1, -1, 0, 0, -1, -1}));
    auto log = drives::routeLog();
    auto usb = drives::usbLog();
    ASSERT_EQ(std::pair(log.size(), usb.size()), std::pair(size_t{2}, size_t{2}));
    EXPECT_EQ(std::tuple(log[0].call, log[0].rtpIndex, log[0].text, log[1].call, log[1].text),
              std::tuple(2705u, 2u, ifconfig, 2706u, "add default 10.1.2.1"));
    EXPECT_EQ(std::tuple(usb[0].kind, usb[0].value, usb[1].kind, usb[1].value), std::tuple(1, 0, 0, 1));
    drives::install();
    EXPECT_TRUE(drives::routeLog().empty() && drives::usbLog().empty());
}

} // namespace
