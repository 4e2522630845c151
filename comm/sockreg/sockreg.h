// Socket registry of the device network: every socket of the transport, closed at shutdown.
//
// Socket registry of the device network: every socket the transport opens or accepts is listed
// here, so that shutdown can wake and close all of them and receivers can tell a shutdown from
// a network error.
#pragma once

#include <sys/socket.h>

constexpr int BC_SOCKET_MAX = 200;

class bcSocket {
  public:
    bcSocket() = default;
    ~bcSocket();
    bcSocket(const bcSocket&) = delete;
    bcSocket& operator=(const bcSocket&) = delete;

    // A new socket, listed; -1 when the table is full (nothing is created) or on failure.
    int get_socket(int domain, int type, int protocol);
    // Accepts on `listenFd` and lists the connection; a full table closes it again (-1, errno 35).
    int accept_socket(int listenFd, sockaddr* addr, socklen_t* len);
    // Unlists and closes; -1 with errno 9 for a descriptor that is not listed.
    int close_socket(int fd);
    // Shutdown, step one: flags the shutdown and shuts every listed socket down in both
    // directions, which wakes every task blocked in it; the descriptors stay open.
    void shutdown_all();
    // Shutdown, step two (once the tasks are joined): closes and unlists every socket.
    void close_all();
    int count();

  private:
    int fds[BC_SOCKET_MAX] = {};
    int used = 0;
};

int bcSocket_get(int domain, int type, int protocol);
int bcSocket_accept(int fd, sockaddr* addr, socklen_t* len);
int bcSocket_close(int fd);
int bcSocket_isShutdown();
void bcSocket_shutdownAll();
void bcSocket_closeAll();
int bcSocket_count();
// Tests: closes what is left and clears the shutdown flag.
void bcSocket_reset();
