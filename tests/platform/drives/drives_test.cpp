#include "platform/drives/drives.h"

#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

namespace {

intptr_t text(const char* s) {
    return reinterpret_cast<intptr_t>(s);
}

struct Drives : ::testing::Test {
    UnitDir unit{"cfg"};
    const std::string root = unit.path + "/..";
    void SetUp() override {
        osfs::reset();
        osfs::addDevice("cfg:", unit.path);
        osfs::addDevice("meas:", root + "/meas"); // its directory does not exist yet
        kmgr::clearFaults();
        drives::install();
    }
    void TearDown() override { osfs::reset(); }
    std::vector<intptr_t> available(std::vector<const char*> drives) {
        std::vector<intptr_t> v;
        for (const char* d : drives)
            v.push_back(kmgr_syscall(2694, 0, text(d), 1));
        return v;
    }
};

TEST_F(Drives, AvailabilityFollowsTheDevicesUnlessSet) {
    EXPECT_EQ(available({"cfg:", "meas:", "usb_meas:"}), (std::vector<intptr_t>{1, 0, 0}));
    std::filesystem::create_directory(root + "/meas");
    EXPECT_EQ(available({"meas:"}), std::vector<intptr_t>{1});
    drives::setAvailable("cfg:", false);
    drives::setAvailable("usb_meas:", true);
    EXPECT_EQ(available({"cfg:", "usb_meas:"}), (std::vector<intptr_t>{0, 1}));
    drives::install(); // forgets the settings
    EXPECT_EQ(available({"cfg:", "usb_meas:"}), (std::vector<intptr_t>{1, 0}));
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
    EXPECT_EQ(std::tuple(log[0].call, log[0].rtpIndex, log[0].text),
              std::tuple(2705u, 2u, "gem0 inet add 10.1.2.37 netmask 255.255.255.0"));
    EXPECT_EQ(std::tuple(log[1].call, log[1].text), std::tuple(2706u, "add default 10.1.2.1"));

    // Request kind first, then the value.
    for (auto [kind, value, result] : {std::tuple{1, 0, 0}, {0, 1, 0}, {3, 1, -1}, {-1, 1, -1}})
        EXPECT_EQ(kmgr_syscall(2708, kind, value), result) << kind;
    auto usb = drives::usbLog();
    ASSERT_EQ(usb.size(), 2u);
    EXPECT_EQ(std::tuple(usb[0].kind, usb[0].value, usb[1].kind, usb[1].value), std::tuple(1, 0, 0, 1));
    drives::install();
    EXPECT_TRUE(drives::routeLog().empty());
    EXPECT_TRUE(drives::usbLog().empty());
}

} // namespace
