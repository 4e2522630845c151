// Named pipes of the OS layer over host pipes, and the redirection of standard output into one.
#include "platform/os/os.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

struct Pipe {
    int rd = -1;
    int wr = -1;
    int opened = 0;
};

struct Pipes {
    std::mutex m;
    std::map<std::string, Pipe> byName;
    std::map<int, std::string> byFd; // descriptors of pipeOpen
};

Pipes& P() {
    static Pipes* p = new Pipes;
    return *p;
}

Pipe* pipeOfFd(Pipes& p, int fd) {
    auto it = p.byFd.find(fd);
    if (it == p.byFd.end()) return nullptr;
    auto pit = p.byName.find(it->second);
    return pit == p.byName.end() ? nullptr : &pit->second;
}

} // namespace

STATUS pipeDevCreate(const char* name, int maxMsgs, int maxMsgBytes) {
    if (!name || !*name || maxMsgs <= 0 || maxMsgBytes <= 0) {
        errno = EINVAL;
        return ERROR;
    }
    Pipes& p = P();
    std::lock_guard<std::mutex> g(p.m);
    if (p.byName.count(name)) {
        errno = EEXIST;
        return ERROR;
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return ERROR;
    const long want = static_cast<long>(maxMsgs) * maxMsgBytes;
    if (::fcntl(fds[1], F_GETPIPE_SZ) < want) ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(want));
    p.byName[name] = Pipe{fds[0], fds[1], 0};
    return OK;
}

STATUS pipeDevDelete(const char* name, bool force) {
    Pipes& p = P();
    std::lock_guard<std::mutex> g(p.m);
    auto it = name ? p.byName.find(name) : p.byName.end();
    if (it == p.byName.end()) {
        errno = ENODEV;
        return ERROR;
    }
    if (it->second.opened > 0 && !force) {
        errno = EBUSY;
        return ERROR;
    }
    for (auto f = p.byFd.begin(); f != p.byFd.end();) {
        if (f->second == it->first) {
            ::close(f->first);
            f = p.byFd.erase(f);
        } else {
            ++f;
        }
    }
    ::close(it->second.rd);
    ::close(it->second.wr);
    p.byName.erase(it);
    return OK;
}

int pipeOpen(const char* name) {
    Pipes& p = P();
    std::lock_guard<std::mutex> g(p.m);
    auto it = name ? p.byName.find(name) : p.byName.end();
    if (it == p.byName.end()) {
        errno = ENOENT;
        return ERROR;
    }
    const int fd = ::fcntl(it->second.rd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return ERROR;
    it->second.opened++;
    p.byFd[fd] = it->first;
    return fd;
}

int pipeRead(int fd, void* buf, size_t maxLen) {
    {
        Pipes& p = P();
        std::lock_guard<std::mutex> g(p.m);
        if (!pipeOfFd(p, fd)) {
            errno = EBADF;
            return ERROR;
        }
    }
    for (;;) {
        const ssize_t n = ::read(fd, buf, maxLen);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : ERROR;
    }
}

STATUS pipeFlush(int fd) {
    char sink[4096];
    int n;
    while ((n = pipeRead(fd, sink, sizeof sink)) > 0) {
    }
    return n < 0 ? ERROR : OK;
}

STATUS pipeClose(int fd) {
    Pipes& p = P();
    std::lock_guard<std::mutex> g(p.m);
    Pipe* pipe = pipeOfFd(p, fd);
    if (!pipe) {
        errno = EBADF;
        return ERROR;
    }
    pipe->opened--;
    p.byFd.erase(fd);
    ::close(fd);
    return OK;
}

STATUS ioGlobalStdSet(int stdFd, int fd) {
    Pipes& p = P();
    std::lock_guard<std::mutex> g(p.m);
    Pipe* pipe = pipeOfFd(p, fd);
    if (!pipe || (stdFd != 1 && stdFd != 2)) {
        errno = EBADF;
        return ERROR;
    }
    std::fflush(stdFd == 1 ? stdout : stderr);
    if (::dup2(pipe->wr, stdFd) < 0) return ERROR;
    // Whatever prints waits for no reader: a full pipe drops the text.
    ::fcntl(stdFd, F_SETFL, ::fcntl(stdFd, F_GETFL) | O_NONBLOCK);
    return OK;
}
