#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"

#include "platform/unit_dir.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>

namespace fs = std::filesystem;

namespace {

// errno of a call that failed with -1 (0: it did not fail)
int errnoOf(intptr_t result) {
    return result == -1 ? errno : 0;
}

struct OsFs : ::testing::Test {
    UnitDir unit;
    const std::string root = unit.path;

    void SetUp() override {
        osfs::reset();
        for (const char* d : {"cfg", "meas", "meas2", "usb", "outside"})
            fs::create_directory(root + "/" + d);
        for (auto [dev, d] : {std::pair{"cfg:", "cfg"},
                              {"meas:", "meas/" /* trailing slash is dropped */},
                              {"meas2:", "meas2"},
                              {"usb_meas:", "usb"}})
            ASSERT_TRUE(osfs::addDevice(dev, root + "/" + d));
    }
    void TearDown() override { osfs::reset(); }
    std::string resolve(const char* path) {
        char out[PATH_MAX];
        errno = 0;
        if (osResolvePath(path, out, sizeof out) != 0) return "errno " + std::to_string(errno);
        return out;
    }
};

// Device paths against Python's posixpath.normpath of the device directory joined with the rest.
TEST_F(OsFs, DeviceNamesResolveLikeNormalisedHostPaths) {
    const std::map<std::string, std::string> dirs = {
        {"cfg:", "cfg"}, {"meas:", "meas"}, {"meas2:", "meas2"}, {"usb_meas:", "usb"}};
    const std::pair<std::string, std::string> cases[] = {
        {"cfg:", "/display.xml"},
        {"cfg:", "display.xml"},
        {"cfg:", ""},
        {"cfg:", "/"},
        {"cfg:", "/a/./b//c.txt"},
        {"cfg:", "\\sub\\f.xml"},
        {"cfg:", "/a/b/../c"},
        {"meas2:", "/x.dat"},
        {"usb_meas:", "f.dat"},
        {"meas:", "/a/.."},
        {"meas:", "a\\b/../../c.dat"},
    };
    std::vector<std::vector<pyref::bytes>> host;
    for (auto& [dev, rest] : cases) {
        const std::string dir = root + "/" + dirs.at(dev);
        host.push_back({pyref::bytes(dir.begin(), dir.end()), pyref::bytes(rest.begin(), rest.end())});
    }
    const auto expected =
        pyref::map("import posixpath\n"
                   "def f(d, r): return posixpath.normpath((d + b'/' + r.replace(b'\\\\', b'/')).decode())",
                   host);
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(resolve((cases[i].first + cases[i].second).c_str()), expected[i])
            << cases[i].first + cases[i].second;
}

TEST_F(OsFs, PathsOutsideTheDevicesAreRefused) {
    EXPECT_EQ(resolve(nullptr), "errno " + std::to_string(EINVAL));
    // Without a device name nothing reaches the host, not even its root.
    for (const char* p : {"/etc/passwd", "display.xml", "", "x:/a", "CFG:/a", "/tmp/x:/a", "cfg/a:b"})
        EXPECT_EQ(resolve(p), "errno " + std::to_string(ENOENT)) << p;
    for (const char* p : {"cfg:..", "cfg:/../outside", "cfg:/a/../../outside/f", "meas:\\..\\x"})
        EXPECT_EQ(resolve(p), "errno " + std::to_string(EACCES)) << p;
    EXPECT_EQ(errnoOf(osOpen("/etc/hostname", O_RDONLY)), ENOENT);
    EXPECT_EQ(errnoOf(osFopen("cfg:/../outside/x", "w") ? 0 : -1), EACCES);
    EXPECT_FALSE(fs::exists(root + "/outside/x"));

    char small[8];
    EXPECT_EQ(errnoOf(osResolvePath("cfg:/x", small, sizeof small)), ENAMETOOLONG);

    // A removed device does not fall back to one with a similar name.
    ASSERT_TRUE(osfs::removeDevice("meas2:"));
    EXPECT_EQ(resolve("meas2:/x"), "errno " + std::to_string(ENOENT));
    EXPECT_EQ(resolve("meas:/x"), root + "/meas/x");
}

TEST_F(OsFs, DeviceInstallationChecksPrefixAndDirectory) {
    for (const char* bad : {"cfg", ":", "a:b:", "a/b:", "a\\b:", ""})
        EXPECT_FALSE(osfs::addDevice(bad, root)) << bad;
    EXPECT_FALSE(osfs::addDevice("x:", ""));
    EXPECT_FALSE(osfs::addDevice("x:", "/"));
    EXPECT_FALSE(osfs::addDevice("x:", "///"));

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_TRUE(osfs::addDevice("rel:", "some/dir"));
    std::string dir;
    ASSERT_TRUE(osfs::deviceDir("rel:", &dir));
    EXPECT_EQ(dir, std::string(cwd) + "/some/dir");

    ASSERT_TRUE(osfs::addDevice("cfg:", root + "/usb")); // re-pointed
    EXPECT_EQ(resolve("cfg:/a"), root + "/usb/a");
    EXPECT_FALSE(osfs::deviceDir("nope:", &dir));
}

TEST_F(OsFs, FileAndDirectoryOperations) {
    ASSERT_EQ(osMkdir("meas:/outing1", 0755), 0);
    EXPECT_EQ(errnoOf(osMkdir("meas:/outing1", 0755)), EEXIST);
    FILE* f = osFopen("meas:/outing1/lap1.dat", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("0123456789", f);
    std::fclose(f);

    struct stat st;
    ASSERT_EQ(osStat("meas:\\outing1\\lap1.dat", &st), 0);
    EXPECT_EQ(st.st_size, 10);
    ASSERT_EQ(osStat("meas:", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_EQ(osRename("meas:/outing1/lap1.dat", "meas:/renamed.dat"), 0);
    EXPECT_TRUE(fs::exists(root + "/meas/renamed.dat"));
    // Devices are separate volumes: no rename across them, as on the unit.
    EXPECT_EQ(errnoOf(osRename("meas:/renamed.dat", "meas2:/renamed.dat")), EXDEV);
    EXPECT_EQ(errnoOf(osRename("meas:/renamed.dat", "/tmp/renamed.dat")), ENOENT);

    EXPECT_EQ(osRemove("meas:/renamed.dat"), 0);
    EXPECT_FALSE(fs::exists(root + "/meas/renamed.dat"));
    // The device's own directory stays.
    EXPECT_EQ(errnoOf(osRemove("cfg:")), EBUSY);
    EXPECT_EQ(errnoOf(osRemove("cfg:/a/..")), EBUSY);
    EXPECT_EQ(errnoOf(osRename("cfg:/", "cfg:/x")), EBUSY);
    EXPECT_TRUE(fs::is_directory(root + "/cfg"));
    EXPECT_EQ(osFopen("cfg:/x", nullptr), nullptr);
    EXPECT_EQ(osStat("cfg:/x", nullptr), -1);
}

TEST_F(OsFs, ControlRequestsSizeFlushDelete) {
    unit.write("cfg/a.xml", std::string(1234, 'x'));
    int fd = osOpen("cfg:/a.xml", O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t size = 0;
    EXPECT_EQ(osIoctl(fd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size)), 0);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(errnoOf(osIoctl(fd, OS_FIOSIZE, 0)), EINVAL);
    EXPECT_EQ(osIoctl(fd, OS_FIOSYNC, 0), 0);
    EXPECT_EQ(osIoctl(fd, OS_FIOFLUSH, 0), 0);
    EXPECT_EQ(errnoOf(osIoctl(fd, 12345, 0)), ENOTSUP);

    // Delete removes the name; the open descriptor stays usable until closed.
    EXPECT_EQ(osIoctl(fd, OS_FIODELETE, 0), 0);
    EXPECT_FALSE(fs::exists(root + "/cfg/a.xml"));
    char c;
    EXPECT_EQ(read(fd, &c, 1), 1);
    EXPECT_EQ(errnoOf(osIoctl(fd, OS_FIODELETE, 0)), ENOENT);
    close(fd);

    int dfd = osOpen("cfg:", O_RDONLY);
    ASSERT_GE(dfd, 0);
    EXPECT_EQ(osIoctl(dfd, OS_FIOSYNC, 0), 0);
    EXPECT_EQ(errnoOf(osIoctl(dfd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size))), EISDIR);
    EXPECT_EQ(errnoOf(osIoctl(dfd, OS_FIODELETE, 0)), EISDIR);
    close(dfd);
    EXPECT_TRUE(fs::is_directory(root + "/cfg"));
}

TEST_F(OsFs, DeleteRequestOnlyRemovesFilesOnDevices) {
    // A host file that was not opened through a device.
    std::string host = root + "/outside/keep.txt";
    unit.write("outside/keep.txt", "keep");
    int fd = open(host.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(errnoOf(osIoctl(fd, OS_FIODELETE, 0)), EACCES);
    close(fd);
    EXPECT_TRUE(fs::exists(host));

    // Nor through a link inside a device that points out of it.
    fs::create_symlink(host, root + "/cfg/link.txt");
    fd = osOpen("cfg:/link.txt", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(errnoOf(osIoctl(fd, OS_FIODELETE, 0)), EACCES);
    close(fd);
    EXPECT_TRUE(fs::exists(host));
}

} // namespace
