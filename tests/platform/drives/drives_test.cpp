#include "platform/drives/drives.h"

#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

intptr_t text(const char* s) {
    return reinterpret_cast<intptr_t>(s);
}

struct Drives : ::testing::Test {
    std::string root;
    void SetUp() override {
        char tmpl[] = "/tmp/vyn_drives_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        fs::create_directory(root + "/cfg");
        osfs::reset();
        osfs::addDevice("cfg:", root + "/cfg");
        osfs::addDevice("meas:", root + "/meas"); // its directory does not exist yet
        kmgr::clearFaults();
        drives::install();
    }
    void TearDown() override {
        osfs::reset();
        fs::remove_all(root);
    }
    intptr_t available(const char* drive) { return kmgr_syscall(2694, 0, text(drive), 1); }
};

TEST_F(Drives, AvailabilityFollowsTheDevicesUnlessSet) {
    EXPECT_EQ(available("cfg:"), 1);
    EXPECT_EQ(available("meas:"), 0);
    EXPECT_EQ(available("usb_meas:"), 0);
    fs::create_directory(root + "/meas");
    EXPECT_EQ(available("meas:"), 1);

    drives::setAvailable("cfg:", false);
    drives::setAvailable("usb_meas:", true);
    EXPECT_EQ(available("cfg:"), 0);
    EXPECT_EQ(available("usb_meas:"), 1);
    drives::install(); // forgets the settings
    EXPECT_EQ(available("cfg:"), 1);
    EXPECT_EQ(available("usb_meas:"), 0);

    EXPECT_EQ(kmgr_syscall(2694, 0, 0, 1), -1);
    EXPECT_EQ(kmgr_syscall(2694, 0, text("cfg:"), 0), -1);
}

TEST_F(Drives, CommandsAndUsbRequestsAreRecorded) {
    EXPECT_EQ(kmgr_syscall(2705, 2, text("gem0 inet add 10.1.2.37 netmask 255.255.255.0")), 0);
    EXPECT_EQ(kmgr_syscall(2706, 2, text("add default 10.1.2.1")), 0);
    EXPECT_EQ(kmgr_syscall(2706, 2, 0), -1);
    EXPECT_EQ(kmgr_syscall(2705, 2, text("")), -1);
    auto log = drives::routeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].call, 2705u);
    EXPECT_EQ(log[0].rtpIndex, 2u);
    EXPECT_EQ(log[0].text, "gem0 inet add 10.1.2.37 netmask 255.255.255.0");
    EXPECT_EQ(log[1].call, 2706u);
    EXPECT_EQ(log[1].text, "add default 10.1.2.1");

    // Request kind first, then the value.
    EXPECT_EQ(kmgr_syscall(2708, 1, 0), 0);
    EXPECT_EQ(kmgr_syscall(2708, 0, 1), 0);
    EXPECT_EQ(kmgr_syscall(2708, 3, 1), -1);
    EXPECT_EQ(kmgr_syscall(2708, -1, 1), -1);
    auto usb = drives::usbLog();
    ASSERT_EQ(usb.size(), 2u);
    EXPECT_EQ(usb[0].kind, 1);
    EXPECT_EQ(usb[0].value, 0);
    EXPECT_EQ(usb[1].kind, 0);
    EXPECT_EQ(usb[1].value, 1);

    drives::install();
    EXPECT_TRUE(drives::routeLog().empty());
    EXPECT_TRUE(drives::usbLog().empty());
}

} // namespace
