#include "services/fileutil/fileutil.h"
#include "support/logcapture.h"

#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/os/sim.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace fs = std::filesystem;

namespace {

struct Files : ::testing::Test {
    UnitDir unit;
    const std::string root = unit.path;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        testsupport::logStart();
        osfs::reset();
        for (auto [drive, d] : {std::pair{"cfg:", "cfg"}, {"meas:", "meas"}, {"usb_meas:", "usb"}}) {
            fs::create_directory(root + "/" + d);
            osfs::addDevice(drive, root + "/" + d);
        }
    }
    void TearDown() override { osfs::reset(); }
    bool logged(const std::string& needle) { return testsupport::logContains(seen, needle); }
};

TEST_F(Files, ExistenceSizeAndLoading) {
    unit.write("cfg/display.xml", "<display/>");
    EXPECT_EQ(fexist("cfg:/display.xml"), 1);
    for (const char* p :
         {"cfg:/missing.xml", "/etc/hostname" /* not on a drive */, static_cast<const char*>(nullptr)})
        EXPECT_EQ(fexist(p), 0) << (p ? p : "null");
    EXPECT_EQ(fsize("cfg:/display.xml"), 10u);
    EXPECT_TRUE(logged("fsize() found 10 Bytes for file 'cfg:/display.xml'"));
    EXPECT_EQ(fsize(nullptr), 0u);
    EXPECT_EQ(fsize("cfg:/missing.xml"), 0u);
    EXPECT_TRUE(logged("fsize() file 'cfg:/missing.xml' does not exist"));
    EXPECT_EQ(fsize("cfg:"), 0u); // a directory has no size
    EXPECT_TRUE(logged("fsize() fseek and ioctl for file 'cfg:' failed"));

    // Binary content, zeros included, loads whole and terminated after its end.
    std::string blob(5003, '\0');
    std::mt19937 rng(1);
    for (size_t i = 0; i < 5000; ++i)
        blob[i] = static_cast<char>(rng());
    unit.write("cfg/blob.bin", blob);
    uint32_t len = 77;
    char* data = fload("cfg:/blob.bin", &len);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, len + 1), blob + '\0');
    std::free(data);

    unit.write("cfg/empty.xml", "");
    len = 77;
    EXPECT_EQ(fload("cfg:/empty.xml", &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(logged("fload() fsize failed, cold not read file 'cfg:/empty.xml'"));
    EXPECT_EQ(fload("cfg:/missing.xml", nullptr), nullptr);
}

TEST_F(Files, PathSplitting) {
    EXPECT_EQ(pathSlashRindex(nullptr), nullptr);
    EXPECT_EQ(pathSlashRindex("name"), nullptr);
    const char *mixed = "a\\b/c\\d", *fwd = "a\\b/c";
    EXPECT_EQ(pathSlashRindex(mixed), mixed + 5);
    EXPECT_EQ(pathSlashRindex(fwd), fwd + 3);

    // path, then the directory and file of pathSplitn and of measPathSplitn (null: not checked)
    const char* cases[][5] = {
        {"/name.txt", "/", "name.txt", nullptr},
        {"cfg:/one/two/name.txt", "cfg:/one/two", "name.txt", nullptr},
        {"cfg:", "cfg:", "", nullptr}, // an existing directory
        // a drive name without '/' is a directory only for the measurement split
        {"usb_meas:f.dat", "", "usb_meas:f.dat", "usb_meas:", "f.dat"},
        {"meas:/o1/f.dat", nullptr, nullptr, "meas:/o1", "f.dat"},
        {"plainname", nullptr, nullptr, "", "plainname"},
        {nullptr, "", "", nullptr},
    };
    for (const auto& c : cases) {
        char d[32], f[32];
        for (int meas = 0; meas < 2; ++meas) {
            if (!c[1 + 2 * meas]) continue;
            (meas ? measPathSplitn : pathSplitn)(c[0], d, f, sizeof d);
            EXPECT_EQ(std::string(d) + "|" + f, std::string(c[1 + 2 * meas]) + "|" + c[2 + 2 * meas])
                << (c[0] ? c[0] : "null") << " " << meas;
        }
    }
    EXPECT_TRUE(logged("measPathSplitn() could not determine any seperator for drive/directory or filename "
                       "'plainname', cpy all to filename"));
    char d4[4], f4[4];
    pathSplitn("abcdef/ghijkl", d4, f4, sizeof d4); // cut, but terminated
    EXPECT_EQ(std::string(d4) + "," + f4, "abc,ghi");
}

TEST_F(Files, BoundedStrings) {
    const char* t = "a:b:c";
    EXPECT_EQ(strnrchr(t, ':', 16), t + 3);
    EXPECT_EQ(strnrchr(t, 'x', 16), nullptr);
    EXPECT_EQ(strnrchr(t, ':', 5), nullptr); // no terminator within the first 5
    EXPECT_EQ(strnrchr(t, ':', 6), t + 3);
    EXPECT_EQ(strnrchr(nullptr, ':', 6), nullptr);
    for (auto [src, n, want] :
         {std::tuple{"abcdef", 4, "def"}, {"ab", 4, "ab"}, {"abc", 4, "abc"}, {"abc", 1, ""}}) {
        char out[8];
        strncpy_tail(out, src, n);
        EXPECT_STREQ(out, want) << src << " " << n;
    }
}

TEST_F(Files, FlushingDirectories) {
    fs::create_directory(root + "/meas/o1");
    unit.write("meas/o1/f.dat", "x");
    EXPECT_EQ(flushDir("meas:/o1/f.dat"), 0);
    EXPECT_EQ(flushDir("meas:/o1"), 0); // the drive's root
    EXPECT_EQ(flushDir("nosep"), -1);
    EXPECT_TRUE(logged("flush() failed 'nosep', '', 'nosep'"));
    EXPECT_EQ(flushDir("meas:/nodir/f.dat"), -1);
    EXPECT_TRUE(logged("flush() open failed 'meas:/nodir/f.dat', 'meas:/nodir', 'f.dat'"));
    EXPECT_EQ(flushDir("usb_meas:f.dat"), -1);
    EXPECT_EQ(measFlushDir("usb_meas:f.dat"), 0);
    EXPECT_EQ(flushDirViaFile("meas:/o1/f.dat"), 0);
    EXPECT_EQ(flushDirViaFile("meas:/o1/none.dat"), -1);
}

TEST_F(Files, RemovalByExtensionStaysInItsDirectory) {
    fs::create_directory(root + "/meas/outing0001");
    fs::create_directory(root + "/meas/outi"); // the name cut to ten characters
    for (const char* f : {"a.dat", "b.dat", "c.txt", "d.data", "e.DAT", "noext"})
        unit.write(std::string("meas/outing0001/") + f, "x");
    fs::create_directory(root + "/meas/outing0001/sub.dat");
    unit.write("meas/outi/keep.dat", "x");

    EXPECT_EQ(removeFileExt("meas:/outing0001", "dat"), 3); // a.dat, b.dat, d.data
    std::set<std::string> left;
    for (auto& e : fs::directory_iterator(root + "/meas/outing0001"))
        left.insert(e.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"c.txt", "e.DAT", "noext", "sub.dat"}));
    EXPECT_TRUE(fs::exists(root + "/meas/outi/keep.dat"));

    EXPECT_EQ(removeFileExt(nullptr, "dat"), -1);
    EXPECT_EQ(removeFileExt("meas:/outing0001", nullptr), -1);
    EXPECT_EQ(removeFileExt("meas:/outing0001/c.txt", "txt"), 0); // not a directory
    EXPECT_TRUE(fs::exists(root + "/meas/outing0001/c.txt"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(removeFileExt("meas:/gone", "dat"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open path: meas:/gone\n");
    EXPECT_EQ(removeFile(nullptr), -1);
    EXPECT_EQ(removeFile("meas:/missing.dat"), -1);
}

TEST_F(Files, RemovalByExtensionRefusesNamesThatWouldBeCut) {
    // A directory of 230 characters as the unit names it, with one short and one long entry.
    std::string rel = "meas:", host = root + "/meas";
    while (rel.size() < 220) {
        rel += "/" + std::string(20, 'd');
        host += "/" + std::string(20, 'd');
        fs::create_directory(host);
    }
    const std::string longName = std::string(60, 'n') + ".dat";
    std::ofstream(host + "/s.dat") << "x";
    std::ofstream(host + "/" + longName) << "x";
    EXPECT_EQ(removeFileExt(rel.c_str(), "dat"), 1);
    EXPECT_FALSE(fs::exists(host + "/s.dat"));
    EXPECT_TRUE(fs::exists(host + "/" + longName));
    EXPECT_TRUE(logged("removeFileExt() path too long, not removed"));
    EXPECT_EQ(removeFileExt(("meas:/" + std::string(260, 'x')).c_str(), "dat"), -1);
    EXPECT_TRUE(logged("removeFileExt() directory name too long, nothing removed"));
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
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(read(1), std::pair(1u, 1u)); // still latched
    EXPECT_EQ(read(1), std::pair(0u, 0u));

    // Bits outside the mask are untouched; an overwrite forgets the latch.
    DiagBuff_Write(&b, 0xF0, 0xFF);
    DiagBuff_Write(&b, 0x80000000u, 0x80000000u);
    DiagBuff_OverWrite(&b, 0x00, 0x30);
    EXPECT_EQ(read(0x0F), std::pair(0u, 0x0Fu));
    EXPECT_EQ(DiagBuff_GetErrorRaw(&b, 0xFFFFFFFFu, nullptr), 0x800000C0u);
    DiagBuff_Read(&b, 0xFFFFFFFFu, &err, nullptr);
    EXPECT_EQ(err, 0x800000C0u);
    EXPECT_EQ(b.seen, 0u);

    DiagBuff16 h;
    DiagBuff16_Initialize(&h);
    uint16_t e16 = 0, s16 = 0;
    DiagBuff16_Write(&h, 0x8001, 0x8001);
    DiagBuff16_Write(&h, 0x0000, 0x8000);
    EXPECT_EQ(DiagBuff16_GetErrorRaw(&h, 0xFFFF, nullptr), 0x0001);
    DiagBuff16_Read(&h, 0xFFFF, &e16, &s16);
    EXPECT_EQ(e16 << 16 | s16, 0x80018001);
    DiagBuff16_OverWrite(&h, 0x0000, 0x0001);
    DiagBuff16_Read(&h, 0xFFFF, &e16, &s16);
    EXPECT_EQ(e16 << 16 | s16, 0x00000001);
}

} // namespace
