#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/os/osserial.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

struct Devices {
    std::mutex m;
    std::map<std::string, std::string> dirs; // prefix with ':' -> absolute host directory
};

Devices& D() {
    static Devices* d = new Devices; // used by tasks until the process ends
    return *d;
}

struct Resolved {
    std::string prefix;
    std::string host;
    bool root = false; // the device's own directory
};

bool isSep(char c) {
    return c == '/' || c == '\\';
}

int fail(int e) {
    errno = e;
    return -1;
}

int resolve(const char* path, Resolved* r) {
    if (!path) return fail(EINVAL);
    const char* colon = std::strchr(path, ':');
    if (!colon) return fail(ENOENT);
    r->prefix.assign(path, colon + 1);
    {
        Devices& d = D();
        std::lock_guard<std::mutex> g(d.m);
        auto it = d.dirs.find(r->prefix);
        if (it == d.dirs.end()) return fail(ENOENT);
        r->host = it->second;
    }
    // Lexical normalisation: the host never sees "..", so a path cannot climb out.
    std::vector<std::string> parts;
    for (const char* p = colon + 1; *p;) {
        const char* e = p;
        while (*e && !isSep(*e))
            ++e;
        std::string c(p, e);
        if (c == "..") {
            if (parts.empty()) return fail(EACCES);
            parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(std::move(c));
        }
        p = *e ? e + 1 : e;
    }
    for (const std::string& c : parts)
        r->host += "/" + c;
    r->root = parts.empty();
    if (r->host.size() >= PATH_MAX) return fail(ENAMETOOLONG);
    return 0;
}

// The path of an open descriptor, when it is a file on an installed device.
int deviceFileOf(int fd, const struct stat& st, std::string* out) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buf[PATH_MAX];
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n < 0) return -1;
    buf[n] = 0;
    std::string path(buf);
    struct stat now;
    if (lstat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return fail(ENOENT); // already unlinked or replaced
    Devices& d = D();
    std::lock_guard<std::mutex> g(d.m);
    for (auto& [prefix, dir] : d.dirs) {
        char real[PATH_MAX];
        if (!realpath(dir.c_str(), real)) continue;
        size_t len = std::strlen(real);
        if (path.size() > len + 1 && path.compare(0, len, real) == 0 && path[len] == '/') {
            *out = path;
            return 0;
        }
    }
    return fail(EACCES);
}

int deleteOpenFile(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    std::string path;
    if (deviceFileOf(fd, st, &path) != 0) return -1;
    return unlink(path.c_str());
}

int fileSize(int fd, intptr_t arg) {
    if (!arg) return fail(EINVAL);
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) return fail(EINVAL);
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) return fail(EOVERFLOW);
    *reinterpret_cast<uint32_t*>(arg) = static_cast<uint32_t>(st.st_size);
    return 0;
}

} // namespace

int osResolvePath(const char* path, char* out, size_t size) {
    if (!out) return fail(EINVAL);
    Resolved r;
    if (resolve(path, &r) != 0) return -1;
    if (r.host.size() + 1 > size) return fail(ENAMETOOLONG);
    std::memcpy(out, r.host.c_str(), r.host.size() + 1);
    return 0;
}

int osOpen(const char* path, int flags, int mode) {
    if (osserial::isSerialName(path)) return osserial::open(path, flags);
    Resolved r;
    if (resolve(path, &r) != 0) return -1;
    return open(r.host.c_str(), flags, static_cast<mode_t>(mode));
}

FILE* osFopen(const char* path, const char* mode) {
    Resolved r;
    if (!mode) {
        errno = EINVAL;
        return nullptr;
    }
    if (resolve(path, &r) != 0) return nullptr;
    return std::fopen(r.host.c_str(), mode);
}

DIR* osOpendir(const char* path) {
    Resolved r;
    if (resolve(path, &r) != 0) return nullptr;
    return opendir(r.host.c_str());
}

int osStat(const char* path, struct stat* st) {
    Resolved r;
    if (!st) return fail(EINVAL);
    if (resolve(path, &r) != 0) return -1;
    return stat(r.host.c_str(), st);
}

int osRemove(const char* path) {
    Resolved r;
    if (resolve(path, &r) != 0) return -1;
    if (r.root) return fail(EBUSY);
    return std::remove(r.host.c_str());
}

int osRename(const char* from, const char* to) {
    Resolved a, b;
    if (resolve(from, &a) != 0 || resolve(to, &b) != 0) return -1;
    if (a.prefix != b.prefix) return fail(EXDEV);
    if (a.root || b.root) return fail(EBUSY);
    return std::rename(a.host.c_str(), b.host.c_str());
}

int osMkdir(const char* path, int mode) {
    Resolved r;
    if (resolve(path, &r) != 0) return -1;
    return mkdir(r.host.c_str(), static_cast<mode_t>(mode));
}

int osIoctl(int fd, int code, intptr_t arg) {
    switch (code) {
    case OS_FIOFLUSH:
    case OS_FIOSYNC:
        return fsync(fd);
    case OS_FIOSIZE:
        return fileSize(fd, arg);
    case OS_FIODELETE:
        return deleteOpenFile(fd);
    case OS_FIOBAUDRATE:
        return osserial::setBaudRate(fd, arg);
    case OS_FIOSETOPTIONS:
        return osserial::setOptions(fd, arg);
    default:
        return fail(ENOTSUP);
    }
}

namespace osfs {

bool addDevice(const std::string& prefix, const std::string& hostDir) {
    if (prefix.size() < 2 || prefix.find(':') != prefix.size() - 1) return false;
    for (char c : prefix)
        if (isSep(c)) return false;
    if (hostDir.empty()) return false;
    std::string dir = hostDir;
    if (dir[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return false;
        dir = std::string(cwd) + "/" + dir;
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir == "/") return false; // a drive is never the whole host
    Devices& d = D();
    std::lock_guard<std::mutex> g(d.m);
    d.dirs[prefix] = dir;
    return true;
}

bool removeDevice(const std::string& prefix) {
    Devices& d = D();
    std::lock_guard<std::mutex> g(d.m);
    return d.dirs.erase(prefix) > 0;
}

bool deviceDir(const std::string& prefix, std::string* hostDir) {
    Devices& d = D();
    std::lock_guard<std::mutex> g(d.m);
    auto it = d.dirs.find(prefix);
    if (it == d.dirs.end()) return false;
    if (hostDir) *hostDir = it->second;
    return true;
}

void reset() {
    osserial::reset();
    Devices& d = D();
    std::lock_guard<std::mutex> g(d.m);
    d.dirs.clear();
}

} // namespace osfs
