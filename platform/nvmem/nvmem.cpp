#include "platform/nvmem/nvmem.h"

#include "platform/fsutil/fsutil.h"
#include "platform/kmgr/kmgr_sim.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nvmem {

namespace {

struct State {
    std::mutex m;
    std::string dir;
    std::string path;
    int fd = -1; // -1 while the image does not exist
    bool tearArmed = false;
    size_t tearAfter = 0;
    std::function<void()> before;
    Counts counts;
};

State& state() {
    static State* s = new State; // handlers may run until the process ends
    return *s;
}

// Fills [from, NVMEM_SIZE) with the erased value.
bool fillErased(int fd, off_t from) {
    std::vector<uint8_t> ff(64 * 1024, ERASED);
    for (off_t o = from; o < static_cast<off_t>(NVMEM_SIZE);) {
        const size_t n = std::min(ff.size(), static_cast<size_t>(static_cast<off_t>(NVMEM_SIZE) - o));
        if (!fsutil::writeAll(fd, ff.data(), n, o)) return false;
        o += static_cast<off_t>(n);
    }
    return true;
}

bool syncFile(State& s, int fd) {
    s.counts.syncs++;
    return fsync(fd) == 0;
}

bool syncDirectory(State& s) {
    s.counts.syncs++;
    return fsutil::syncDir(s.dir);
}

// Writes n bytes at off durably. The first write creates the erased image, or completes a
// short one, with these bytes in it: a new image appears under its name only once it is
// complete, so a power loss leaves none or a whole one.
bool writeDurably(State& s, const uint8_t* src, size_t n, off_t off) {
    if (s.fd >= 0) {
        struct stat st;
        if (fstat(s.fd, &st) != 0) return false;
        if (st.st_size < static_cast<off_t>(NVMEM_SIZE) && !fillErased(s.fd, st.st_size)) return false;
        return fsutil::writeAll(s.fd, src, n, off) && syncFile(s, s.fd);
    }
    const std::string tmp = s.path + ".new";
    const int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !fillErased(fd, 0) || !fsutil::writeAll(fd, src, n, off) ||
        !syncFile(s, fd) || rename(tmp.c_str(), s.path.c_str()) != 0 || !syncDirectory(s)) {
        close(fd);
        unlink(tmp.c_str());
        return false;
    }
    s.fd = fd;
    return true;
}

bool inRange(intptr_t len, intptr_t off) {
    return len >= 0 && off >= 0 && static_cast<uint64_t>(off) <= NVMEM_SIZE &&
           static_cast<uint64_t>(len) <= NVMEM_SIZE - static_cast<uint64_t>(off);
}

intptr_t persist(const intptr_t* a) {
    const auto* src = reinterpret_cast<const uint8_t*>(a[0]);
    const intptr_t len = a[1], off = a[2];
    if (!inRange(len, off) || (len > 0 && !src)) return -1;
    State& s = state();
    std::function<void()> before;
    {
        std::lock_guard<std::mutex> g(s.m);
        before.swap(s.before);
    }
    if (before) before();
    std::lock_guard<std::mutex> g(s.m);
    s.counts.persists++;
    size_t n = static_cast<size_t>(len);
    const bool torn = s.tearArmed;
    if (torn) {
        s.tearArmed = false;
        n = std::min(n, s.tearAfter);
    }
    if (!writeDurably(s, src, n, off)) return -1;
    return torn ? -1 : 0;
}

intptr_t load(const intptr_t* a) {
    auto* dst = reinterpret_cast<uint8_t*>(a[0]);
    const intptr_t len = a[1], off = a[2];
    if (!inRange(len, off) || (len > 0 && !dst)) return -1;
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    size_t done = 0;
    if (s.fd >= 0) {
        while (done < static_cast<size_t>(len)) {
            const ssize_t r =
                pread(s.fd, dst + done, static_cast<size_t>(len) - done, off + static_cast<off_t>(done));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            if (r == 0) break; // past the end of a short image
            done += static_cast<size_t>(r);
        }
    }
    std::memset(dst + done, ERASED, static_cast<size_t>(len) - done);
    return 0;
}

} // namespace

bool install(const std::string& nvDir, std::string* error) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    if (s.fd >= 0) close(s.fd);
    s.fd = -1;
    s.tearArmed = false;
    s.before = nullptr;
    s.counts = {};
    s.dir = nvDir;
    s.path = nvDir + "/" + IMAGE_FILE;
    auto fail = [&](const std::string& why) {
        kmgr::setHandler(KCALL_NVRAM_PERSIST, nullptr);
        kmgr::setHandler(KCALL_NVRAM_PERSIST_LOWPRIO, nullptr);
        kmgr::setHandler(KCALL_NVRAM_LOAD, nullptr);
        if (error) *error = "non-volatile image " + s.path + ": " + why;
        return false;
    };
    struct stat st;
    if (stat(s.path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return fail("not a regular file");
        s.fd = open(s.path.c_str(), O_RDWR | O_CLOEXEC);
        if (s.fd < 0) return fail(std::strerror(errno));
        // Two units on one image would overwrite each other's store unseen.
        if (!fsutil::lockFile(s.fd, s.path)) {
            close(s.fd);
            s.fd = -1;
            return fail("in use by another unit");
        }
    } else if (errno != ENOENT) {
        return fail(std::strerror(errno));
    }
    kmgr::setHandler(KCALL_NVRAM_PERSIST, persist);
    kmgr::setHandler(KCALL_NVRAM_PERSIST_LOWPRIO, persist);
    kmgr::setHandler(KCALL_NVRAM_LOAD, load);
    return true;
}

void uninstall() {
    kmgr::setHandler(KCALL_NVRAM_PERSIST, nullptr);
    kmgr::setHandler(KCALL_NVRAM_PERSIST_LOWPRIO, nullptr);
    kmgr::setHandler(KCALL_NVRAM_LOAD, nullptr);
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    if (s.fd >= 0) close(s.fd);
    s.fd = -1;
    s.tearArmed = false;
}

std::string imagePath() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    return s.path;
}

Counts counts() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    return s.counts;
}

void beforeNextWrite(std::function<void()> fn) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    s.before = std::move(fn);
}

void tearNextWrite(size_t bytesWritten) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    s.tearArmed = true;
    s.tearAfter = bytesWritten;
}

} // namespace nvmem
