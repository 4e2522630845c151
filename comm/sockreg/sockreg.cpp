// The one socket registry of the process.
#include "comm/sockreg/sockreg.h"

#include "platform/os/os.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

std::atomic<int> shutdownFlag{0};
std::atomic<SEM_ID> tableMutex{nullptr};

// Made on first use: the instance is constructed before the OS layer runs.
SEM_ID lockOf() {
    SEM_ID m = tableMutex.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!made) {
        syslogx(LOG2_ERR, "bcSocket(): semMCreate failed - errno %s", std::strerror(errno));
        return nullptr;
    }
    if (!tableMutex.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

bool take(const char* what) {
    SEM_ID m = lockOf();
    if (m && semTake(m, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_ERR, "%s could not get mutex - errno %s", what, std::strerror(errno));
    return false;
}
void give() {
    semGive(tableMutex.load());
}

bcSocket instance;

} // namespace

bcSocket::~bcSocket() {
    shutdownFlag = 1;
    // At exit the OS layer may be gone: no lock, no log.
    for (int i = used - 1; i >= 0; --i) {
        ::shutdown(fds[i], SHUT_WR);
        ::close(fds[i]);
    }
    used = 0;
}

int bcSocket::get_socket(int domain, int type, int protocol) {
    if (!take("bcSocket::get_socket():")) return -1;
    int fd = -1;
    if (used == BC_SOCKET_MAX) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "bcSocket::get_socket(): maximum socket reached, no socket given");
    } else {
        fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
        if (fd >= 0) fds[used++] = fd;
    }
    give();
    return fd;
}

int bcSocket::accept_socket(int listenFd, sockaddr* addr, socklen_t* len) {
    int fd;
    {
        OsExternalWait wait;
        fd = ::accept4(listenFd, addr, len, SOCK_CLOEXEC);
    }
    if (fd < 0) return -1;
    if (!take("bcSocket::accept_socket():")) {
        ::close(fd);
        return -1;
    }
    const bool full = used == BC_SOCKET_MAX;
    if (!full) fds[used++] = fd;
    give();
    if (full) {
        SYSLOGX_RATE_GUARDED(
            LOG_ERR, "bcSocket::accept_socket(): maximum socket reached, no socket added to the array");
        ::close(fd);
        errno = 35;
        return -1;
    }
    return fd;
}

int bcSocket::close_socket(int fd) {
    if (!take("bcSocket::close_socket():")) return -1;
    int i = 0;
    while (i < used && fds[i] != fd)
        ++i;
    if (i == used) {
        give();
        syslogx(LOG3_DEBUG, "bcSocket::close_socket(%u): invalid file descriptor", static_cast<unsigned>(fd));
        errno = 9;
        return -1;
    }
    fds[i] = fds[--used];
    give();
    SYSLOGX_RATE_GUARDED(LOG3_DEBUG, "bcSocket::close_socket(%u)", static_cast<unsigned>(fd));
    ::shutdown(fd, SHUT_WR);
    return ::close(fd);
}

void bcSocket::shutdown_all() {
    shutdownFlag = 1;
    if (!take("bcSocket shutdown -")) return;
    for (int i = 0; i < used; ++i)
        ::shutdown(fds[i], SHUT_RDWR);
    give();
}

void bcSocket::close_all() {
    if (!take("bcSocket shutdown -")) return;
    if (used)
        syslogx(LOG3_DEBUG, "bcSocket shutdown - closing %u pending sockets", static_cast<unsigned>(used));
    for (int i = used - 1; i >= 0; --i)
        ::close(fds[i]);
    used = 0;
    give();
}

int bcSocket::count() {
    if (!take("bcSocket::count():")) return 0;
    const int n = used;
    give();
    return n;
}

int bcSocket_get(int domain, int type, int protocol) {
    return instance.get_socket(domain, type, protocol);
}
int bcSocket_accept(int fd, sockaddr* addr, socklen_t* len) {
    return instance.accept_socket(fd, addr, len);
}
int bcSocket_close(int fd) {
    return instance.close_socket(fd);
}
int bcSocket_isShutdown() {
    return shutdownFlag.load();
}
void bcSocket_shutdownAll() {
    instance.shutdown_all();
}
void bcSocket_closeAll() {
    instance.close_all();
}
int bcSocket_count() {
    return instance.count();
}
void bcSocket_reset() {
    instance.close_all();
    shutdownFlag = 0;
}
