#include "platform/fsutil/fsutil.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fsutil {

bool writeAll(int fd, const void* data, size_t n, off_t off) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = pwrite(fd, p, n, off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
        off += w;
    }
    return true;
}

bool syncDir(const std::string& dir) {
    const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (d < 0) return false;
    const bool ok = fsync(d) == 0;
    close(d);
    return ok;
}

int openRegular(const std::string& path, std::string* error) {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int err = errno;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    if (fd >= 0) close(fd);
    if (error) *error = path + ": " + (fd >= 0 ? "not a regular file" : std::strerror(err));
    errno = fd >= 0 ? EINVAL : err;
    return -1;
}

bool lockFile(int fd, const std::string& path) {
    struct stat held, named;
    return flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace fsutil
