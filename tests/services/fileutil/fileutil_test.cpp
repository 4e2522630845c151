// File helpers on drives of a scratch directory, the manager calls for drives and network, and
// the latching diagnostic buffers.
#include "services/fileutil/fileutil.h"
#include "services/rtpman/rtpman.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs_sim.h"
#include "platform/settings/settings.h"
#include "support/stepped.h"

#include <cstring>
#include <random>
#include <set>

namespace fs = std::filesystem;

namespace {

struct Files : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    std::vector<std::pair<std::array<intptr_t, 3>, std::string>> calls; // a[0..2], a[1] as a text
    intptr_t result = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        osfs::reset();
        for (auto [drive, d] : {std::pair{"cfg:", "cfg"}, {"meas:", "meas"}, {"usb_meas:", "usb"}}) {
            fs::create_directory(dir / d);
            osfs::addDevice(drive, dir / d);
        }
        platform::Settings s;
        s.ipv4 = 0xC0A80025; // 192.168.0.37
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(3);
        ASSERT_EQ(AppMan_init(), 1);
        fileutil_reset();
    }
    void TearDown() override {
        for (unsigned n : {2694u, 2705u, 2706u, 2708u})
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

TEST_F(Files, PathSplittingAndBoundedStrings) {
    const char *mixed = "a\\b/c\\d", *fwd = "a\\b/c";
    EXPECT_EQ((std::vector{pathSlashRindex(nullptr), pathSlashRindex("name"), pathSlashRindex(mixed),
                           pathSlashRindex(fwd)}),
              (std::vector<const char*>{nullptr, nullptr, mixed + 5, fwd + 3}));
    // path, then the directory and file of pathSplitn and of measPathSplitn (null: not checked)
    const char* cases[][5] = {{"/name.txt", "/", "name.txt", nullptr},
                              {"cfg:/one/two/name.txt", "cfg:/one/two", "name.txt", nullptr},
                              {"cfg:", "cfg:", "", nullptr}, // an existing directory
                              // a drive name without '/' is a directory only for the measurement split
                              {"usb_meas:f.dat", "", "usb_meas:f.dat", "usb_meas:", "f.dat"},
                              {"meas:/o1/f.dat", nullptr, nullptr, "meas:/o1", "f.dat"},
                              {"plainname", nullptr, nullptr, "", "plainname"},
                              {nullptr, "", "", nullptr}};
    for (const auto& c : cases)
        for (int meas = 0; meas < 2; ++meas) {
            char d[32], f[32];
            if (!c[1 + 2 * meas]) continue;
            (meas ? measPathSplitn : pathSplitn)(c[0], d, f, sizeof d);
            EXPECT_EQ(std::string(d) + "|" + f, std::string(c[1 + 2 * meas]) + "|" + c[2 + 2 * meas])
                << (c[0] ? c[0] : "null") << " " << meas;
        }
    char d4[4], f4[4];
    pathSplitn("abcdef/ghijkl", d4, f4, sizeof d4); // cut, but terminated
    EXPECT_EQ(std::string(d4) + "," + f4, "abc,ghi");
    const char* t = "a:b:c";
    EXPECT_EQ((std::vector{strnrchr(t, ':', 16), strnrchr(t, 'x', 16), strnrchr(t, ':', 5),
                           strnrchr(nullptr, ':', 6)}),
              (std::vector<const char*>{t + 3, nullptr, nullptr, nullptr})); // 5: no terminator within
    char out[8];
    strncpy_tail(out, "abcdef", 4);
    EXPECT_STREQ(out, "def");
}

TEST_F(Files, FlushingAndRemovingByExtension) {
    fs::create_directory(dir / "meas/o1");
    dir.write("meas/o1/f.dat", "x");
    EXPECT_EQ((std::vector{flushDir("meas:/o1/f.dat"), flushDir("meas:/o1"), flushDir("nosep"),
                           flushDir("meas:/nodir/f.dat"), flushDir("usb_meas:f.dat"),
                           measFlushDir("usb_meas:f.dat"), flushDirViaFile("meas:/o1/f.dat"),
                           flushDirViaFile("meas:/o1/none.dat")}),
              (std::vector{0, 0, -1, -1, -1, 0, 0, -1}));

    fs::create_directories(dir / "meas/outing0001/sub.dat");
    fs::create_directory(dir / "meas/outi"); // the name cut to ten characters
    for (const char* f : {"a.dat", "b.dat", "c.txt", "d.data", "e.DAT", "noext"})
        dir.write(std::string("meas/outing0001/") + f, "x");
    dir.write("meas/outi/keep.dat", "x");
    EXPECT_EQ(removeFileExt("meas:/outing0001", "dat"), 3); // a.dat, b.dat, d.data
    std::set<std::string> left;
    for (auto& e : fs::directory_iterator(dir / "meas/outing0001"))
        left.insert(e.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"c.txt", "e.DAT", "noext", "sub.dat"}));
    EXPECT_TRUE(fs::exists(dir / "meas/outi/keep.dat"));
    EXPECT_EQ(removeFileExt("meas:/outing0001/c.txt", "txt"), 0); // not a directory
    EXPECT_EQ((std::vector{removeFileExt(nullptr, "dat"), removeFileExt("meas:/outing0001", nullptr),
                           removeFileExt("meas:/gone", "dat"), removeFile("meas:/missing.dat")}),
              std::vector(4, -1));

    // Names that would be cut are not removed: a directory of 230 characters as the unit names it.
    std::string rel = "meas:", host = dir / "meas";
    for (; rel.size() < 220; rel += "/" + std::string(20, 'd'))
        fs::create_directory(host += "/" + std::string(20, 'd'));
    const std::string longName = host + "/" + std::string(60, 'n') + ".dat";
    std::ofstream(host + "/s.dat") << "x";
    std::ofstream(longName) << "x";
    EXPECT_EQ(removeFileExt(rel.c_str(), "dat"), 1);
    EXPECT_TRUE(!fs::exists(host + "/s.dat") && fs::exists(longName));
    EXPECT_TRUE(logged("removeFileExt() path too long, not removed"));
    EXPECT_EQ(removeFileExt(("meas:/" + std::string(260, 'x')).c_str(), "dat"), -1);
}

// An extension matches on the first three characters after the name's last dot: one that
// differs in any of them, a shorter one, or a dot before the last keeps its file.
TEST_F(Files, RemovalByExtensionMatchesTheFirstThreeCharactersAfterTheLastDot) {
    fs::create_directory(dir / "meas/o2");
    const std::set<std::string> gone = {"a.dat", "b.datx", "c.old.dat", ".dat"};
    const std::set<std::string> kept = {"d.dat.",    "e.dax", "f.dbt", "g.xat", "h.da",
                                        "i.dat.old", "j.d",   "k.",    "dat",   "l.tad"};
    for (const std::set<std::string>* names : {&gone, &kept})
        for (const std::string& f : *names)
            dir.write("meas/o2/" + f, "x");
    EXPECT_EQ(removeFileExt("meas:/o2", "dat"), static_cast<int>(gone.size()));
    std::set<std::string> left;
    for (auto& e : fs::directory_iterator(dir / "meas/o2"))
        left.insert(e.path().filename());
    EXPECT_EQ(left, kept);
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

    calls.clear();
    capture(2706, true); // the default gateway only once
    EXPECT_EQ(setDefaultGateway(0xC0A80001), 0);
    EXPECT_EQ(setDefaultGateway(0xC0A80002), -1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, "add default 192.168.0.1");
}

TEST(DiagBuff, LatchesUntilReadAndReportsSeenBits) {
    DiagBuff b;
    DiagBuff_Initialize(&b);
    uint32_t err = 99, seenBits = 99;
    auto read = [&](uint32_t mask) {
        DiagBuff_Read(&b, mask, &err, &seenBits);
        return std::pair(err, seenBits);
    };
    DiagBuff_Write(&b, 1, 1);
    DiagBuff_Write(&b, 0, 1);
    EXPECT_EQ(DiagBuff_GetErrorRaw(&b, 1, &err), 0u);
    EXPECT_EQ(read(1), std::pair(1u, 1u)); // still latched
    EXPECT_EQ(read(1), std::pair(0u, 0u));
    // Bits outside the mask are untouched; an overwrite forgets the latch.
    DiagBuff_Write(&b, 0xF0, 0xFF);
    DiagBuff_Write(&b, 0x80000000u, 0x80000000u);
    DiagBuff_OverWrite(&b, 0x00, 0x30);
    EXPECT_EQ(read(0x0F), std::pair(0u, 0x0Fu));
    EXPECT_EQ(read(0xFFFFFFFFu), std::pair(0x800000C0u, 0x800000F0u));
}

} // namespace
