#include "platform/os/osfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct OsFs : ::testing::Test {
    std::string root;

    void SetUp() override {
        char tmpl[] = "/tmp/vyn_osfs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char* d : {"cfg", "meas", "meas2", "usb", "outside"})
            fs::create_directory(root + "/" + d);
        osfs::reset();
        ASSERT_TRUE(osfs::addDevice("cfg:", root + "/cfg"));
        ASSERT_TRUE(osfs::addDevice("meas:", root + "/meas/")); // trailing slash is dropped
        ASSERT_TRUE(osfs::addDevice("meas2:", root + "/meas2"));
        ASSERT_TRUE(osfs::addDevice("usb_meas:", root + "/usb"));
    }
    void TearDown() override {
        osfs::reset();
        fs::remove_all(root);
    }

    std::string resolve(const char* path) {
        char out[PATH_MAX];
        errno = 0;
        if (osResolvePath(path, out, sizeof out) != 0) return "errno " + std::to_string(errno);
        return out;
    }
    void write(const std::string& hostPath, const std::string& data) { std::ofstream(hostPath) << data; }
};

// posixpath.normpath of the device directory joined with the rest, as Python sees it.
std::vector<std::string> pythonNormpaths(const std::vector<std::pair<std::string, std::string>>& dirAndRest) {
    char tmpl[] = "/tmp/vyn_osfs_py_XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    close(fd);
    {
        std::ofstream f(tmpl);
        for (auto& [dir, rest] : dirAndRest)
            f << dir << "\t" << rest << "\n";
    }
    std::string cmd = std::string("/usr/bin/python3 -c 'import sys, posixpath\n"
                                  "for line in open(sys.argv[1]):\n"
                                  "    d, r = line.rstrip(\"\\n\").split(\"\\t\")\n"
                                  "    print(posixpath.normpath(d + \"/\" + r.replace(\"\\\\\", \"/\")))' ") +
                      tmpl;
    std::vector<std::string> out;
    FILE* p = popen(cmd.c_str(), "r");
    EXPECT_NE(p, nullptr);
    char line[PATH_MAX + 2];
    while (p && std::fgets(line, sizeof line, p)) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        out.push_back(s);
    }
    if (p) {
        EXPECT_EQ(pclose(p), 0);
    }
    std::remove(tmpl);
    return out;
}

TEST_F(OsFs, DeviceNamesResolveLikeNormalisedHostPaths) {
    const std::vector<std::pair<std::string, std::string>> cases = {
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
    std::vector<std::pair<std::string, std::string>> host;
    const std::map<std::string, std::string> dirs = {{"cfg:", root + "/cfg"},
                                                     {"meas:", root + "/meas"},
                                                     {"meas2:", root + "/meas2"},
                                                     {"usb_meas:", root + "/usb"}};
    for (auto& [dev, rest] : cases)
        host.push_back({dirs.at(dev), rest});
    auto expected = pythonNormpaths(host);
    ASSERT_EQ(expected.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string path = cases[i].first + cases[i].second;
        EXPECT_EQ(resolve(path.c_str()), expected[i]) << path;
    }
}

TEST_F(OsFs, PathsOutsideTheDevicesAreRefused) {
    EXPECT_EQ(resolve(nullptr), "errno " + std::to_string(EINVAL));
    // Without a device name nothing reaches the host, not even its root.
    for (const char* p : {"/etc/passwd", "display.xml", "", "x:/a", "CFG:/a", "/tmp/x:/a", "cfg/a:b"})
        EXPECT_EQ(resolve(p), "errno " + std::to_string(ENOENT)) << p;
    for (const char* p : {"cfg:..", "cfg:/../outside", "cfg:/a/../../outside/f", "meas:\\..\\x"})
        EXPECT_EQ(resolve(p), "errno " + std::to_string(EACCES)) << p;
    errno = 0;
    EXPECT_EQ(osOpen("/etc/hostname", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(osFopen("cfg:/../outside/x", "w"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(fs::exists(root + "/outside/x"));

    char small[8];
    errno = 0;
    EXPECT_EQ(osResolvePath("cfg:/x", small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

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
    EXPECT_EQ(osMkdir("meas:/outing1", 0755), -1);
    EXPECT_EQ(errno, EEXIST);
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
    EXPECT_EQ(osRename("meas:/renamed.dat", "meas2:/renamed.dat"), -1);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(osRename("meas:/renamed.dat", "/tmp/renamed.dat"), -1);
    EXPECT_EQ(errno, ENOENT);

    EXPECT_EQ(osRemove("meas:/renamed.dat"), 0);
    EXPECT_FALSE(fs::exists(root + "/meas/renamed.dat"));
    // The device's own directory stays.
    EXPECT_EQ(osRemove("cfg:"), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(osRemove("cfg:/a/.."), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(osRename("cfg:/", "cfg:/x"), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_TRUE(fs::is_directory(root + "/cfg"));
    EXPECT_EQ(osFopen("cfg:/x", nullptr), nullptr);
    EXPECT_EQ(osStat("cfg:/x", nullptr), -1);
}

TEST_F(OsFs, ControlRequestsSizeFlushDelete) {
    write(root + "/cfg/a.xml", std::string(1234, 'x'));
    int fd = osOpen("cfg:/a.xml", O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t size = 0;
    EXPECT_EQ(osIoctl(fd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size)), 0);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(osIoctl(fd, OS_FIOSIZE, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(osIoctl(fd, OS_FIOSYNC, 0), 0);
    EXPECT_EQ(osIoctl(fd, OS_FIOFLUSH, 0), 0);
    EXPECT_EQ(osIoctl(fd, 12345, 0), -1);
    EXPECT_EQ(errno, ENOTSUP);

    // Delete removes the name; the open descriptor stays usable until closed.
    EXPECT_EQ(osIoctl(fd, OS_FIODELETE, 0), 0);
    EXPECT_FALSE(fs::exists(root + "/cfg/a.xml"));
    char c;
    EXPECT_EQ(read(fd, &c, 1), 1);
    EXPECT_EQ(osIoctl(fd, OS_FIODELETE, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    close(fd);

    int dfd = osOpen("cfg:", O_RDONLY);
    ASSERT_GE(dfd, 0);
    EXPECT_EQ(osIoctl(dfd, OS_FIOSYNC, 0), 0);
    EXPECT_EQ(osIoctl(dfd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size)), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(osIoctl(dfd, OS_FIODELETE, 0), -1);
    EXPECT_EQ(errno, EISDIR);
    close(dfd);
    EXPECT_TRUE(fs::is_directory(root + "/cfg"));
}

TEST_F(OsFs, DeleteRequestOnlyRemovesFilesOnDevices) {
    // A host file that was not opened through a device.
    std::string host = root + "/outside/keep.txt";
    write(host, "keep");
    int fd = open(host.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(osIoctl(fd, OS_FIODELETE, 0), -1);
    EXPECT_EQ(errno, EACCES);
    close(fd);
    EXPECT_TRUE(fs::exists(host));

    // Nor through a link inside a device that points out of it.
    fs::create_symlink(host, root + "/cfg/link.txt");
    fd = osOpen("cfg:/link.txt", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(osIoctl(fd, OS_FIODELETE, 0), -1);
    EXPECT_EQ(errno, EACCES);
    close(fd);
    EXPECT_TRUE(fs::exists(host));
}

} // namespace
