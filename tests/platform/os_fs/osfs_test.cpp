#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <climits>

namespace fs = std::filesystem;

namespace {

// errno of a call that failed with -1 (0: it did not fail)
const auto errnoOf = [](intptr_t result) { return result == -1 ? errno : 0; };

struct OsFs : ::testing::Test {
    testsupport::ScratchDir unit;
    void SetUp() override {
        osfs::reset();
        for (const char* d : {"cfg", "meas", "meas2", "usb", "outside"})
            fs::create_directory(unit / d);
        for (auto [dev, d] :
             {std::pair{"cfg:", "cfg"}, {"meas:", "meas/"}, {"meas2:", "meas2"}, {"usb_meas:", "usb"}})
            ASSERT_TRUE(osfs::addDevice(dev, unit / d)); // a trailing slash is dropped
    }
    void TearDown() override { osfs::reset(); }
    std::string resolve(const char* path) {
        char out[PATH_MAX];
        return osResolvePath(path, out, sizeof out) ? "errno " + std::to_string(errno) : out;
    }
};

// Device paths against Python's posixpath.normpath of the device directory joined with the rest;
// refused paths give their errno.
TEST_F(OsFs, DeviceNamesResolveLikeNormalisedHostPaths) {
    const std::vector<std::string> paths = {
        "cfg:/display.xml", "cfg:display.xml", "cfg:",           "cfg:/",      "cfg:/a/./b//c.txt",
        "cfg:\\sub\\f.xml", "cfg:/a/b/../c",   "usb_meas:f.dat", "meas:/a/..", "meas:a\\b/../../c.dat"};
    ASSERT_TRUE(osfs::removeDevice("meas2:")); // no fall-back to a device with a similar name
    std::vector<std::vector<pyref::bytes>> in;
    for (const std::string& p : paths)
        in.push_back({pyref::bytes(p.begin(), p.end())});
    const auto expected =
        pyref::map("import posixpath\ndirs = {'cfg': 'cfg', 'meas': 'meas', 'usb_meas': 'usb'}\n"
                   "def f(p): d, r = p.decode().split(':', 1); return posixpath.normpath('" +
                       unit.path + "/' + dirs[d] + '/' + r.replace('\\\\', '/'))",
                   in);
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(resolve(paths[i].c_str()), expected[i]) << paths[i];

    // Without a device name nothing reaches the host, not even its root; nor does a way out of one.
    for (const char* p :
         {"/etc/passwd", "display.xml", "", "x:/a", "CFG:/a", "/tmp/x:/a", "cfg/a:b", "meas2:/x"})
        EXPECT_EQ(resolve(p), "errno " + std::to_string(ENOENT)) << p;
    for (const char* p : {"cfg:..", "cfg:/../outside", "cfg:/a/../../outside/f", "meas:\\..\\x"})
        EXPECT_EQ(resolve(p), "errno " + std::to_string(EACCES)) << p;
    EXPECT_EQ(resolve(nullptr), "errno " + std::to_string(EINVAL));
    EXPECT_EQ(osFopen("cfg:/../outside/x", "w"), nullptr);
    EXPECT_FALSE(fs::exists(unit / "outside/x"));
    char small[8];
    EXPECT_EQ(errnoOf(osResolvePath("cfg:/x", small, sizeof small)), ENAMETOOLONG);

    // Devices are checked when installed.
    for (const char* dev : {"cfg", ":", "a:b:", "a/b:", "a\\b:", ""})
        EXPECT_FALSE(osfs::addDevice(dev, unit.path)) << dev;
    for (const char* dir : {"", "/", "///"})
        EXPECT_FALSE(osfs::addDevice("x:", dir)) << dir;
}

TEST_F(OsFs, FileDirectoryAndControlOperations) {
    ASSERT_EQ(osMkdir("meas:/outing1", 0755), 0);
    unit.write("meas/outing1/lap1.dat", "0123456789");
    EXPECT_EQ(osRename("meas:/outing1/lap1.dat", "meas:/renamed.dat"), 0);
    // Devices are separate volumes: no rename across them, as on the unit; their own directories stay.
    EXPECT_EQ(
        (std::vector{errnoOf(osRename("meas:/renamed.dat", "meas2:/renamed.dat")),
                     errnoOf(osRename("meas:/renamed.dat", "/tmp/renamed.dat")), errnoOf(osRemove("cfg:")),
                     errnoOf(osRemove("cfg:/a/..")), errnoOf(osRename("cfg:/", "cfg:/x"))}),
        (std::vector{EXDEV, ENOENT, EBUSY, EBUSY, EBUSY}));
    EXPECT_EQ(osRemove("meas:/renamed.dat"), 0);

    unit.write("cfg/a.xml", std::string(1234, 'x'));
    int fd = osOpen("cfg:/a.xml", O_RDONLY), dfd = osOpen("cfg:", O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t size = 0;
    EXPECT_EQ(osIoctl(fd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size)), 0);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ((std::vector{errnoOf(osIoctl(fd, OS_FIOSIZE, 0)), errnoOf(osIoctl(fd, 12345, 0)),
                           errnoOf(osIoctl(dfd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size))),
                           errnoOf(osIoctl(dfd, OS_FIODELETE, 0))}),
              (std::vector{EINVAL, ENOTSUP, EISDIR, EISDIR}));
    // Delete removes the name; the open descriptor stays usable until closed.
    EXPECT_EQ(osIoctl(fd, OS_FIODELETE, 0), 0);
    EXPECT_FALSE(fs::exists(unit / "cfg/a.xml"));
    EXPECT_EQ(read(fd, &size, 1), 1);
    EXPECT_EQ(errnoOf(osIoctl(fd, OS_FIODELETE, 0)), ENOENT);
    close(fd), close(dfd);

    // Only files on devices are deleted: not a host file, nor one behind a link out of a device.
    const std::string host = unit / "outside/keep.txt";
    unit.write("outside/keep.txt", "keep");
    fs::create_symlink(host, unit / "cfg/link.txt");
    for (int h : {open(host.c_str(), O_RDONLY), osOpen("cfg:/link.txt", O_RDONLY)}) {
        EXPECT_EQ(errnoOf(osIoctl(h, OS_FIODELETE, 0)), EACCES);
        close(h);
    }
    EXPECT_TRUE(fs::exists(host));
}

} // namespace
