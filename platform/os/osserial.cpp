// Serial devices of the OS layer: "/tyCo/0" and "/tyCo/1" stand for host devices.
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/os/osserial.h"
#include "platform/os/sim.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Serials {
    std::mutex m;
    std::map<std::string, std::string> hosts; // "/tyCo/1" -> host path
};

Serials& S() {
    static Serials* s = new Serials; // used by tasks until the process ends
    return *s;
}

constexpr struct {
    int bps;
    speed_t code;
} SPEEDS[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
              {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
              {230400, B230400}, {460800, B460800}, {921600, B921600}};

// The line raw: bytes pass as they are, both ways (a FIFO has no line settings: -1).
int makeRaw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return -1;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t);
}

} // namespace

namespace osserial {

bool isSerialName(const char* path) {
    return path && path[0] == '/';
}

int open(const char* path, int flags) {
    std::string host;
    {
        Serials& s = S();
        std::lock_guard<std::mutex> g(s.m);
        auto it = s.hosts.find(path);
        if (it == s.hosts.end()) {
            errno = ENOENT;
            return -1;
        }
        host = it->second;
    }
    // Nothing is ever created behind a device name, and it never becomes our terminal.
    flags &= O_ACCMODE;
    return ::open(host.c_str(), flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

int setOptions(int fd, intptr_t options) {
    if (!isatty(fd)) return -1; // errno ENOTTY or EBADF
    if (options != OS_OPT_RAW) {
        errno = EINVAL;
        return -1;
    }
    return makeRaw(fd);
}

int setBaudRate(int fd, intptr_t bps) {
    if (!isatty(fd)) return -1; // errno ENOTTY or EBADF
    auto it =
        std::find_if(std::begin(SPEEDS), std::end(SPEEDS), [bps](const auto& s) { return s.bps == bps; });
    struct termios t;
    if (it == std::end(SPEEDS)) {
        errno = EINVAL;
        return -1;
    }
    if (tcgetattr(fd, &t) != 0 || cfsetispeed(&t, it->code) != 0 || cfsetospeed(&t, it->code) != 0) return -1;
    return tcsetattr(fd, TCSANOW, &t);
}

void reset() {
    Serials& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.hosts.clear();
}

} // namespace osserial

bool osfs::addSerialDevice(const std::string& name, const std::string& hostPath) {
    if (name.size() < 2 || name[0] != '/') return false;
    if (!hostPath.empty()) { // the desk's line starts raw, as the unit's driver sets it up
        const int fd = ::open(hostPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && isatty(fd)) makeRaw(fd);
        if (fd >= 0) ::close(fd);
    }
    Serials& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (hostPath.empty())
        s.hosts.erase(name);
    else
        s.hosts[name] = hostPath;
    return true;
}

int osWaitReadable(int fd, int ticks) {
    const uint64_t start = tick64Get();
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int n;
        const bool stepped = sim::mode() == sim::TimeMode::Stepped;
        if (stepped) {
            n = poll(&p, 1, 0);
        } else {
            // Short slices: a delete request is seen within one.
            OsExternalWait away;
            n = poll(&p, 1, 10);
        }
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1;
        }
        if (ticks != WAIT_FOREVER && tick64Get() - start >= static_cast<uint64_t>(std::max(ticks, 0)))
            return 0;
        // In stepped time the data is looked for once a tick; either way a delete request ends here.
        taskDelay(stepped ? 1 : 0);
    }
}
