#include "services/fileutil/fileutil.h"
#include "support/logcapture.h"

#include "platform/os/osfs.h"
#include "platform/os/sim.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Files : ::testing::Test {
    std::string root;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        testsupport::logStart();
        char tmpl[] = "/tmp/vyn_fileutil_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char* d : {"cfg", "meas", "usb"})
            fs::create_directory(root + "/" + d);
        osfs::reset();
        osfs::addDevice("cfg:", root + "/cfg");
        osfs::addDevice("meas:", root + "/meas");
        osfs::addDevice("usb_meas:", root + "/usb");
    }
    void TearDown() override {
        osfs::reset();
        fs::remove_all(root);
    }
    void write(const std::string& rel, const std::string& data) {
        std::ofstream(root + "/" + rel, std::ios::binary) << data;
    }
    bool logged(const std::string& needle) { return testsupport::logContains(seen, needle); }
};

TEST_F(Files, ExistenceSizeAndLoading) {
    write("cfg/display.xml", "<display/>");
    EXPECT_EQ(fexist("cfg:/display.xml"), 1);
    EXPECT_EQ(fexist("cfg:/missing.xml"), 0);
    EXPECT_EQ(fexist("/etc/hostname"), 0); // not on a drive
    EXPECT_EQ(fexist(nullptr), 0);

    EXPECT_EQ(fsize("cfg:/display.xml"), 10u);
    EXPECT_TRUE(logged("fsize() found 10 Bytes for file 'cfg:/display.xml'"));
    EXPECT_EQ(fsize(nullptr), 0u);
    EXPECT_EQ(fsize("cfg:/missing.xml"), 0u);
    EXPECT_TRUE(logged("fsize() file 'cfg:/missing.xml' does not exist"));
    EXPECT_EQ(fsize("cfg:"), 0u); // a directory has no size
    EXPECT_TRUE(logged("fsize() fseek and ioctl for file 'cfg:' failed"));

    uint32_t len = 77;
    char* text = fload("cfg:/display.xml", &len);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(len, 10u);
    EXPECT_STREQ(text, "<display/>");
    std::free(text);

    write("cfg/empty.xml", "");
    len = 77;
    EXPECT_EQ(fload("cfg:/empty.xml", &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(logged("fload() fsize failed, cold not read file 'cfg:/empty.xml'"));
    EXPECT_EQ(fload("cfg:/missing.xml", nullptr), nullptr);
}

TEST_F(Files, LoadsBinaryContentWhole) {
    // Python writes random bytes (zeros included) and reports them in hex.
    std::string path = root + "/cfg/blob.bin";
    std::string cmd =
        "/usr/bin/python3 -c 'import os,sys; b=os.urandom(5000)+bytes(3); open(sys.argv[1],\"wb\").write(b); "
        "print(b.hex())' " +
        path;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string hex;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        hex.append(buf, n);
    ASSERT_EQ(pclose(p), 0);
    while (!hex.empty() && hex.back() == '\n')
        hex.pop_back();
    ASSERT_EQ(hex.size(), 2 * 5003u);

    uint32_t len = 0;
    char* data = fload("cfg:/blob.bin", &len);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(len, 5003u);
    std::string got;
    for (uint32_t i = 0; i < len; ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", static_cast<unsigned char>(data[i]));
        got += h;
    }
    EXPECT_EQ(got, hex);
    EXPECT_EQ(data[len], 0); // terminated after the content
    std::free(data);
}

TEST_F(Files, PathSplitting) {
    EXPECT_EQ(pathSlashRindex(nullptr), nullptr);
    EXPECT_EQ(pathSlashRindex("name"), nullptr);
    const char* mixed = "a\\b/c\\d";
    EXPECT_EQ(pathSlashRindex(mixed), mixed + 5);
    const char* fwd = "a\\b/c";
    EXPECT_EQ(pathSlashRindex(fwd), fwd + 3);

    char dir[32], file[32];
    pathSplitn("/name.txt", dir, file, sizeof dir);
    EXPECT_STREQ(dir, "/");
    EXPECT_STREQ(file, "name.txt");
    pathSplitn("cfg:/one/two/name.txt", dir, file, sizeof dir);
    EXPECT_STREQ(dir, "cfg:/one/two");
    EXPECT_STREQ(file, "name.txt");
    pathSplitn("cfg:", dir, file, sizeof dir); // an existing directory
    EXPECT_STREQ(dir, "cfg:");
    EXPECT_STREQ(file, "");
    pathSplitn("usb_meas:f.dat", dir, file, sizeof dir); // no directory of that name
    EXPECT_STREQ(dir, "");
    EXPECT_STREQ(file, "usb_meas:f.dat");
    pathSplitn(nullptr, dir, file, sizeof dir);
    EXPECT_STREQ(dir, "");
    EXPECT_STREQ(file, "");
    char d4[4], f4[4];
    pathSplitn("abcdef/ghijkl", d4, f4, sizeof d4); // cut, but terminated
    EXPECT_STREQ(d4, "abc");
    EXPECT_STREQ(f4, "ghi");

    measPathSplitn("usb_meas:f.dat", dir, file, sizeof dir);
    EXPECT_STREQ(dir, "usb_meas:");
    EXPECT_STREQ(file, "f.dat");
    measPathSplitn("meas:/o1/f.dat", dir, file, sizeof dir);
    EXPECT_STREQ(dir, "meas:/o1");
    EXPECT_STREQ(file, "f.dat");
    measPathSplitn("plainname", dir, file, sizeof dir);
    EXPECT_STREQ(dir, "");
    EXPECT_STREQ(file, "plainname");
    EXPECT_TRUE(logged("measPathSplitn() could not determine any seperator for drive/directory or filename "
                       "'plainname', cpy all to filename"));
}

TEST_F(Files, BoundedStrings) {
    const char* t = "a:b:c";
    EXPECT_EQ(strnrchr(t, ':', 16), t + 3);
    EXPECT_EQ(strnrchr(t, 'x', 16), nullptr);
    EXPECT_EQ(strnrchr(t, ':', 5), nullptr); // no terminator within the first 5
    EXPECT_EQ(strnrchr(t, ':', 6), t + 3);
    EXPECT_EQ(strnrchr(nullptr, ':', 6), nullptr);

    char out[8];
    strncpy_tail(out, "abcdef", 4);
    EXPECT_STREQ(out, "def");
    strncpy_tail(out, "ab", 4);
    EXPECT_STREQ(out, "ab");
    strncpy_tail(out, "abc", 4);
    EXPECT_STREQ(out, "abc");
    strncpy_tail(out, "abc", 1);
    EXPECT_STREQ(out, "");
}

TEST_F(Files, FlushingDirectories) {
    fs::create_directory(root + "/meas/o1");
    write("meas/o1/f.dat", "x");
    EXPECT_EQ(flushDir("meas:/o1/f.dat"), 0);
    EXPECT_EQ(flushDir("meas:/o1"), 0); // the drive's root
    EXPECT_EQ(flushDir("nosep"), -1);
    EXPECT_TRUE(logged("flush() failed 'nosep', '', 'nosep'"));
    EXPECT_EQ(flushDir("meas:/nodir/f.dat"), -1);
    EXPECT_TRUE(logged("flush() open failed 'meas:/nodir/f.dat', 'meas:/nodir', 'f.dat'"));
    // A drive name without '/' is a directory only for the measurement split.
    EXPECT_EQ(flushDir("usb_meas:f.dat"), -1);
    EXPECT_EQ(measFlushDir("usb_meas:f.dat"), 0);
    EXPECT_EQ(flushDirViaFile("meas:/o1/f.dat"), 0);
    EXPECT_EQ(flushDirViaFile("meas:/o1/none.dat"), -1);
}

TEST_F(Files, RemovalByExtensionStaysInItsDirectory) {
    fs::create_directory(root + "/meas/outing0001");
    fs::create_directory(root + "/meas/outi"); // the name cut to ten characters
    for (const char* f : {"a.dat", "b.dat", "c.txt", "d.data", "e.DAT", "noext"})
        write(std::string("meas/outing0001/") + f, "x");
    fs::create_directory(root + "/meas/outing0001/sub.dat");
    write("meas/outi/keep.dat", "x");

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
}

TEST_F(Files, RemovalByExtensionRefusesNamesThatWouldBeCut) {
    // A directory of 230 characters as the unit names it, with one short and one long entry.
    std::string rel = "meas:";
    std::string host = root + "/meas";
    while (rel.size() < 220) {
        rel += "/" + std::string(20, 'd');
        host += "/" + std::string(20, 'd');
        fs::create_directory(host);
    }
    std::string longName = std::string(60, 'n') + ".dat";
    std::ofstream(host + "/s.dat") << "x";
    std::ofstream(host + "/" + longName) << "x";
    EXPECT_EQ(removeFileExt(rel.c_str(), "dat"), 1);
    EXPECT_FALSE(fs::exists(host + "/s.dat"));
    EXPECT_TRUE(fs::exists(host + "/" + longName));
    EXPECT_TRUE(logged("removeFileExt() path too long, not removed"));

    std::string tooLong = "meas:/" + std::string(260, 'x');
    EXPECT_EQ(removeFileExt(tooLong.c_str(), "dat"), -1);
    EXPECT_TRUE(logged("removeFileExt() directory name too long, nothing removed"));

    EXPECT_EQ(removeFile(nullptr), -1);
    EXPECT_EQ(removeFile("meas:/missing.dat"), -1);
}

TEST(DiagBuff, LatchesUntilReadAndReportsSeenBits) {
    DiagBuff b;
    DiagBuff_Initialize(&b);
    uint32_t err = 99, seenBits = 99;
    DiagBuff_Write(&b, 1, 1);
    DiagBuff_Write(&b, 0, 1);
    EXPECT_EQ(DiagBuff_GetErrorRaw(&b, 1, &err), 0u);
    EXPECT_EQ(err, 0u);
    DiagBuff_Read(&b, 1, &err, &seenBits);
    EXPECT_EQ(err, 1u); // still latched
    EXPECT_EQ(seenBits, 1u);
    DiagBuff_Read(&b, 1, &err, &seenBits);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(seenBits, 0u);

    // Bits outside the mask are untouched; an overwrite forgets the latch.
    DiagBuff_Write(&b, 0xF0, 0xFF);
    DiagBuff_Write(&b, 0x80000000u, 0x80000000u);
    DiagBuff_OverWrite(&b, 0x00, 0x30);
    DiagBuff_Read(&b, 0x0F, &err, &seenBits);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(seenBits, 0x0Fu);
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
    EXPECT_EQ(e16, 0x8001);
    EXPECT_EQ(s16, 0x8001);
    DiagBuff16_OverWrite(&h, 0x0000, 0x0001);
    DiagBuff16_Read(&h, 0xFFFF, &e16, &s16);
    EXPECT_EQ(e16, 0);
    EXPECT_EQ(s16, 0x0001);
}

} // namespace
