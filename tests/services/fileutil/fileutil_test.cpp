// File helpers on drives of a scratch directory, and the manager calls for drives and network.
#include "services/fileutil/fileutil.h"
#include "services/rtpman/rtpman.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs_sim.h"
#include "platform/settings/settings.h"
#include "support/stepped.h"

#include <random>

namespace fs = std::filesystem;

namespace {

struct Files : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    std::vector<std::pair<std::array<intptr_t, 3>, std::string>> calls; // a[0..2], a[1] as a text
    intptr_t result = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        osfs::reset();
        fs::create_directory(dir / "cfg");
        osfs::addDevice("cfg:", dir / "cfg");
        platform::Settings s;
        s.ipv4 = 0xC0A80025; // 192.168.0.37
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(3);
        ASSERT_EQ(AppMan_init(), 1);
        fileutil_reset();
    }
    void TearDown() override {
        for (unsigned n : {2694u, 2705u, 2708u})
            kmgr::setHandler(n, nullptr);
        osfs::reset();
        SteppedTest::TearDown();
    }
    // Records every call of `number` and answers `result`.
    void capture(unsigned number, bool text) {
        kmgr::setHandler(number, [this, text](const intptr_t* a) {
            calls.push_back({{a[0], a[1], a[2]}, text && a[1] ? reinterpret_cast<const char*>(a[1]) : ""});
            return result;
        });
    }
};

TEST_F(Files, ExistenceSizeAndLoading) {
    dir.write("cfg/display.xml", "<display/>");
    // "/etc/hostname" is not on a drive; a directory has no size
    EXPECT_EQ((std::vector{fexist("cfg:/display.xml"), fexist("cfg:/missing.xml"), fexist("/etc/hostname"),
                           fexist(nullptr)}),
              (std::vector{1, 0, 0, 0}));
    EXPECT_EQ(
        (std::vector{fsize("cfg:/display.xml"), fsize("cfg:/missing.xml"), fsize("cfg:"), fsize(nullptr)}),
        (std::vector<uint32_t>{10, 0, 0, 0}));
    // Binary content, zeros included, loads whole and terminated after its end.
    std::mt19937 rng(1);
    std::string blob(5003, '\0');
    std::generate_n(blob.begin(), 5000, rng);
    dir.write("cfg/blob.bin", blob);
    uint32_t len = 77;
    char* data = fload("cfg:/blob.bin", &len);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, len + 1), blob + '\0');
    std::free(data);
    dir.write("cfg/empty.xml", "");
    EXPECT_EQ(fload("cfg:/empty.xml", &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(fload("cfg:/missing.xml", nullptr), nullptr);
}

TEST_F(Files, ManagerCallsForDrivesAndNetwork) {
    capture(2694, true);
    result = 1;
    EXPECT_EQ(driveAvailable("cfg:"), 0);
    result = 0;
    EXPECT_EQ(driveAvailable("meas:") + driveAvailable(nullptr), -2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (std::pair{std::array<intptr_t, 3>{3, calls[0].first[1], 1}, std::string("cfg:")}));
    capture(2708, false); // the USB request alone carries the request kind first, then its value
    result = 7;
    EXPECT_EQ(usbMon_resetRequest(USB_REQ_REG_RESET, 1), 7);
    EXPECT_EQ(calls.back().first, (std::array<intptr_t, 3>{2, 1, 0}));

    calls.clear();
    capture(2705, true); // one subnet per /24 other than the own one, up to ten
    result = 0;
    EXPECT_EQ(add_subnet(0xC0A800FE), -1);
    EXPECT_EQ(add_subnet(0x0A010203), 0); // 10.1.2.3
    EXPECT_EQ(calls.at(0).second, "gem0 inet add 10.1.2.37 netmask 255.255.255.0");
    EXPECT_EQ(add_subnet(0x0A010299), -1); // same /24
    result = -1;                           // the manager's result is handed back
    EXPECT_EQ(add_subnet(0x0A010300), -1);
    result = 0;
    for (uint32_t net = 4; net < 13; ++net)
        EXPECT_EQ(add_subnet(0x0A010000 | net << 8), net < 12 ? 0 : -1);
    EXPECT_EQ(calls.size(), 10u);
    EXPECT_TRUE(logged("add_subnet: too many subnets (ignored): 10.1.12.0"));
}

} // namespace
