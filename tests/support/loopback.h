// Sockets for tests that stand in for a peer or a tool of the unit on this host.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace testsupport {

inline sockaddr_in inetAddress(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(addr), a.sin_port = htons(port);
    return a;
}

// A socket of `type` bound to addr:port (port 0: one the host hands out); the address it got in
// `bound`.
inline int boundSocket(int type, uint32_t addr = INADDR_LOOPBACK, uint16_t port = 0,
                       sockaddr_in* bound = nullptr) {
    const int fd = socket(AF_INET, type, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = inetAddress(addr, port);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<const sockaddr*>(&a), n);
    if (bound) getsockname(fd, reinterpret_cast<sockaddr*>(bound), &n);
    return fd;
}

inline bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// The next datagram within `ms` (empty when none came) and its sender.
inline std::vector<uint8_t> datagram(int fd, int ms, sockaddr_in* from = nullptr) {
    static thread_local uint8_t buf[65536];
    socklen_t n = sizeof(sockaddr_in);
    const ssize_t r = readable(fd, ms) ? recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(from),
                                                  from ? &n : nullptr)
                                       : -1;
    return r > 0 ? std::vector<uint8_t>(buf, buf + r) : std::vector<uint8_t>{};
}

} // namespace testsupport
