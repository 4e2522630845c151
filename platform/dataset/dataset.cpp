#include "platform/dataset/dataset.h"

#include "platform/fsutil/fsutil.h"
#include "platform/kmgr/kmgr_sim.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <utility>
#include <unistd.h>

namespace dataset {

namespace {

struct State {
    std::mutex m;
    std::string dir;
    std::string path;
    bool installed = false;
    int lockFd = -1; // the installed image, locked so that no other unit takes it
};

State& state() {
    static State* s = new State; // handlers may run until the process ends
    return *s;
}

// The new image replaces the old one only once it is complete on disk: a failed store
// leaves the stored dataset as it was. It is locked before it gets its name, so that the
// installed image stays locked across stores.
bool replaceImage(State& s, const std::string& dir, const void* data, size_t len, std::string* error) {
    const std::string path = dir + "/" + IMAGE_FILE, tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0 && fsutil::writeAll(fd, data, len, 0) && fsync(fd) == 0;
    const int err = errno;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0 || !fsutil::syncDir(dir)) {
        if (error) *error = path + ": " + std::strerror(ok ? errno : err);
        close(fd);
        unlink(tmp.c_str());
        return false;
    }
    if (s.installed && dir == s.dir) std::swap(s.lockFd, fd);
    if (fd >= 0) close(fd);
    return true;
}

bool validArgs(const intptr_t* a) {
    return a[1] != 0 && a[2] > 0 && static_cast<uint64_t>(a[2]) <= IMAGE_MAX;
}

intptr_t store(const intptr_t* a) {
    if (!validArgs(a)) return -1;
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    return replaceImage(s, s.dir, reinterpret_cast<const void*>(a[1]), static_cast<size_t>(a[2]), nullptr)
               ? 0
               : -1;
}

// Only an image of exactly the asked length is handed over; the destination is untouched
// otherwise.
intptr_t load(const intptr_t* a) {
    if (!validArgs(a)) return -1;
    const size_t len = static_cast<size_t>(a[2]);
    auto* dst = reinterpret_cast<uint8_t*>(a[1]);
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    const int fd = fsutil::openRegular(s.path, nullptr);
    if (fd < 0) return -1;
    struct stat st;
    intptr_t result = -1;
    if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == len) {
        size_t done = 0;
        while (done < len) {
            const ssize_t r = pread(fd, dst + done, len - done, static_cast<off_t>(done));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        if (done == len) result = 0;
    }
    close(fd);
    return result;
}

bool isDir(const std::string& dir, std::string* error) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = "dataset directory " + dir + ": not a directory";
        return false;
    }
    return true;
}

void unlock(State& s) {
    if (s.lockFd >= 0) close(s.lockFd);
    s.lockFd = -1;
    s.installed = false;
}

} // namespace

bool install(const std::string& nvDir, std::string* error) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    unlock(s);
    kmgr::setHandler(KCALL_DATASET_STORE, nullptr);
    kmgr::setHandler(KCALL_DATASET_LOAD, nullptr);
    if (!isDir(nvDir, error)) return false;
    const std::string path = nvDir + "/" + IMAGE_FILE;
    // A missing image is a unit to be programmed (nothing to lock: it does not start without
    // one); anything but a file in its place is an error. Two units on one dataset would
    // overwrite each other's stores unseen.
    std::string why;
    const int fd = fsutil::openRegular(path, &why);
    if (fd < 0 && errno != ENOENT) {
        if (error) *error = why;
        return false;
    }
    if (fd >= 0) {
        if (!fsutil::lockFile(fd, path)) {
            close(fd);
            if (error) *error = "dataset image " + path + ": in use by another unit";
            return false;
        }
        s.lockFd = fd;
    }
    s.dir = nvDir;
    s.path = path;
    s.installed = true;
    kmgr::setHandler(KCALL_DATASET_STORE, store);
    kmgr::setHandler(KCALL_DATASET_LOAD, load);
    return true;
}

void uninstall() {
    kmgr::setHandler(KCALL_DATASET_STORE, nullptr);
    kmgr::setHandler(KCALL_DATASET_LOAD, nullptr);
    std::lock_guard<std::mutex> g(state().m);
    unlock(state());
}

std::string imagePath() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    return s.path;
}

bool writeImage(const std::string& nvDir, const void* data, size_t len, std::string* error) {
    if (!isDir(nvDir, error)) return false;
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    return replaceImage(s, nvDir, data, len, error);
}

} // namespace dataset
