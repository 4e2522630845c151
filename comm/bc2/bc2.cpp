// BaseCom2: presence multicast, the connection manager and the CI and DK channels per peer.
//
// No task that sends waits on a peer: what a stream socket does not take at once waits, whole
// messages and frames in order, in its channel's bounded queue (bc2_queue_private.h), which the
// flusher task sends on as the socket takes it. A slow peer loses what its queue has no room for
// (a command message is lost and counted; a DK record stays with its sender), never its channel: a
// channel is dropped only when its queue makes no progress for SEND_LIMIT_MS.
//
// Locks, in the order they are taken: a DK send buffer's `mutex` (a frame is built and handed to
// the stream under it), then its channel's `sendLock` (the socket's stream and the queue). Neither
// is held while taking `hostLock`; under `hostLock` only a channel nobody else sees yet has its
// buffers reset. The receive task takes a channel's `sendLock` alone when it takes the socket out.
#include "comm/bc2/bc2.h"
#include "comm/bc2/bc2_queue_private.h"

#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "comm/sockreg/sockreg.h"
#include "platform/os/os.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/bytes/bytes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::get_be64;
using bytes::put_be16;
using bytes::put_be32;
using bytes::put_be64;
constexpr int HOSTS = 66;
constexpr int MC_RECORD = 65;
constexpr int CI = 0, DK = 1;
constexpr uint16_t CONNECT_FAILED = 0, DISCONNECTED = 2, CONNECTED = 3, REQUESTED = 4;
constexpr int SOCK_BUF = 23360;
constexpr int POLL_SLICE_MS = 200;
constexpr int CONNECT_LIMIT_MS = 3000;
// A stream channel whose queue makes no progress this long is dropped. Nobody waits on it meanwhile;
// the limit is for the peer that reads slowly: a receiver whose buffer filled opens its window again
// only once a sixteenth of it is free, which a slow reader of a large buffer takes a second or so for.
constexpr int SEND_LIMIT_MS = 3000;
// How often the flusher tries the sockets while a queue waits.
constexpr int FLUSH_SLICE_MS = 5;
// How long a command channel's receive task waits for its peer's room in the command queue before
// it looks again for a stop or a drop.
constexpr int ROOM_SLICE_MS = 50;

uint64_t bit(uint32_t pid) {
    return pid < 64 ? uint64_t{1} << pid : 0;
}

struct SendBuffer {
    SEM_ID mutex = nullptr;
    uint32_t errorState = 0; // 0 none, 1 a datagram failed
    uint16_t fill = 0;
    uint32_t half = 0;
    uint8_t data[2 * BC2_FRAME] = {};
    uint8_t* frame() { return data + half; }
};

struct Host;

struct Channel {
    const char* name;
    int type;
    Host* host;
    uint32_t pid;
    std::atomic<SEM_ID> activate{nullptr};
    std::atomic<bool> activating{false}; // taken by the first activation alone
    std::atomic<uint16_t> state{DISCONNECTED};
    std::atomic<int> fd{-1};
    std::atomic<int> users{0}; // tasks other than the receive task inside a use of fd
    // Set by the send that failed on fd (it shut fd down); cleared when a new socket is taken.
    std::atomic<bool> dropping{false};
    SEM_ID sendLock = nullptr; // one stream send at a time, so that messages never interleave
    // Under sendLock: what the socket did not take yet, and who put the first waiting message,
    // with its header, for the line that tells a drop.
    Bc2SendQueue send{BC2_SEND_QUEUE};
    const char* firstWho = "";
    uint8_t firstHead[20] = {};
    TASK_ID task = TASK_ID_NULL;
    sockaddr_in peerListen{};
    sockaddr_in peerUdp{};
    SendBuffer buf[2]; // offline (TCP), online
    std::atomic<uint32_t> framesOnline{0}, sent{0}, sendErrors{0}, udpReceived{0}, received{0}, recvErrors{0};
    // Each channel's own guard for the lines that tell it came up or went down: a guard shared
    // by every peer and both types swallowed a restarted peer's news behind the others' lines.
    SyslogRateGuard upLog, downLog, sendLog;
};

struct Host {
    uint8_t packet[BC2_PRESENCE_SIZE];
    Channel* dk;
    Channel* ci;
    int32_t remaining;
    uint16_t online;
    uint16_t version;
    uint16_t offset;
    uint16_t contact;
    sockaddr_in from;
};

Host hosts[HOSTS];
SEM_ID hostLock = nullptr; // host records and the making of channels
std::atomic<uint64_t> heardSet{0}, ciSet{0}, dkSet{0};
std::atomic<uint32_t> counter{0};
std::atomic<uint32_t> presenceReceivedCount{0};
std::atomic<bool> stopFlag{false};
SEM_ID flushWake = nullptr; // given when a queue starts to wait, and at the stop
std::atomic<Channel*> mcChannel{nullptr};
// Set when the command multicast channel cannot be made: the command task then serves this
// unit's own commands without it.
std::atomic<bool> mcFailed{false};
int dkTxFd = -1;
uint16_t ownPid = 0;
uint32_t ownAddr = 0;
uint16_t ownOffset = 0;
SEM_ID stopWake = nullptr;

// The flood guards of the transport's lines are made anew by every start, as everything else the
// transport keeps: a site's counter holds for the start it counted in.
std::atomic<uint32_t> startCount{0};
struct FloodSite {
    std::atomic<uint32_t> start{0};
    std::atomic<uint8_t> counter{0};
};
bool floodCheck(FloodSite& site) {
    const uint32_t now = startCount.load();
    if (site.start.exchange(now) != now) site.counter = 0;
    return syslogx_floodcheck(&site.counter);
}
#define BC2_GUARDED(prio, ...)                                                                               \
    do {                                                                                                     \
        static FloodSite bc2_flood_site_;                                                                    \
        if (floodCheck(bc2_flood_site_)) syslogx((prio), __VA_ARGS__);                                       \
    } while (0)

std::atomic<void (*)(int, uint32_t, int)> raceHook{nullptr};
std::atomic<int (*)(const uint8_t*, int)> queueSink{nullptr};
std::atomic<int (*)(const uint8_t*, int)> forwardSink{nullptr};
std::atomic<bool (*)(int, int)> roomSink{nullptr};
// The command multicast's datagrams dropped beyond their senders' share, and the guard of the line
// that tells them: both anew at each start.
std::atomic<uint32_t> mcDropped{0};
SyslogRateGuard mcDropLog;
std::atomic<void (*)(uint16_t)> resetSink{nullptr};

// Every task of the transport, joined at stop.
constexpr int MAX_TASKS = 7 + 2 * HOSTS;
TASK_ID tasks[MAX_TASKS];
std::atomic<int> taskCount{0};
void remember(TASK_ID t) {
    const int i = taskCount.fetch_add(1);
    if (i < MAX_TASKS) tasks[i] = t;
}

struct HostGuard {
    HostGuard() { semTake(hostLock, WAIT_FOREVER); }
    ~HostGuard() { semGive(hostLock); }
};

const char* err() {
    return std::strerror(errno);
}

sockaddr_in inet(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons(port);
    return a;
}

bool reusePort(int fd) {
    const int one = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

// Waits until the socket is readable: false once the transport stops or on an error. No
// time-out: the stop shuts every socket down, which ends the wait.
bool waitReadable(int fd) {
    for (;;) {
        if (stopFlag) return false;
        pollfd p{fd, POLLIN, 0};
        int r;
        {
            OsExternalWait wait;
            r = poll(&p, 1, -1);
        }
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// True once the stream socket was shut down (both ways, as a drop does) or failed.
bool shutDown(int fd) {
    pollfd p{fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// A datagram that cannot go at once is lost rather than waited for.
ssize_t sendDatagram(int fd, const uint8_t* data, size_t n, const sockaddr_in& to) {
    return sendto(fd, data, n, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

// ---- channels ----------------------------------------------------------------------------

void resetBuffer(SendBuffer& b) {
    if (!b.mutex) {
        b.mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        if (!b.mutex) {
            syslogx(LOG2_ERR, "BC2_snd_framer_ini(): semMCreate failed - errno %s", err());
            return;
        }
    }
    if (semTake(b.mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG2_ERR, "BC2_snd_framer_ini(): semTake failed - errno %s", err());
        return;
    }
    b.errorState = 0;
    b.fill = 0;
    b.half = 0;
    if (semGive(b.mutex) != OK) syslogx(LOG2_ERR, "BC2_snd_framer_ini(): semGive failed - errno %s", err());
}

void dropChannel(Channel* c) {
    if (!c) return;
    if (c->activate) semDelete(c->activate);
    if (c->sendLock) semDelete(c->sendLock);
    for (SendBuffer& b : c->buf)
        if (b.mutex) semDelete(b.mutex);
    delete c;
}

uint32_t hostAddress(const Host& h) {
    return get_be32(h.packet);
}

// Under hostLock.
Channel* channelOf(uint32_t pid, int type, bool create) {
    Host& h = hosts[pid];
    Channel*& slot = type == DK ? h.dk : h.ci;
    if (slot || !create) return slot;
    auto* c = new Channel{};
    c->name = type == DK ? "DK" : "CI";
    c->type = type;
    c->host = &h;
    c->pid = pid;
    const uint16_t port = bc2_peer_listen_port(type == DK, ownOffset, h.offset, h.version);
    c->peerListen = inet(hostAddress(h), port);
    if (type == DK) c->peerUdp = inet(hostAddress(h), static_cast<uint16_t>(BC2_PORT_DK_UDP + h.offset));
    resetBuffer(c->buf[0]);
    resetBuffer(c->buf[1]);
    c->sendLock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!c->sendLock) syslogx(LOG2_ERR, "BC2_create_channel_config(): semMCreate failed - errno %s", err());
    slot = c;
    return c;
}

std::atomic<uint64_t>& ownSet(int type) {
    return type == DK ? dkSet : ciSet;
}

// A use of the channel's descriptor by a task other than its receive task (a send, a shutdown):
// while one lasts, the receive task does not close the descriptor, so the number cannot have
// gone to another file meanwhile. -1 when the channel has none.
class FdUse {
  public:
    explicit FdUse(Channel* c) : c_(c) {
        c_->users.fetch_add(1);
        fd_ = c_->fd.load();
    }
    ~FdUse() { c_->users.fetch_sub(1); }
    FdUse(const FdUse&) = delete;
    FdUse& operator=(const FdUse&) = delete;
    int fd() const { return fd_; }

  private:
    Channel* c_;
    int fd_;
};

// Closes a descriptor the receive task has taken out of its channel, once no other task uses it
// (one blocked in it is woken first).
int closeTaken(Channel* c, int fd) {
    if (c->users.load()) {
        ::shutdown(fd, SHUT_RDWR);
        while (c->users.load())
            taskDelay(1);
    }
    return bcSocket_close(fd);
}

// Closes the channel's socket when the caller is its receive task (`own`, which it says itself:
// it may run before its spawner has stored its id); any other task only shuts it down, which
// wakes the receive task, and that one closes it: a descriptor is never closed under a task still
// using it.
void disconnect(Channel* c, bool own = false) {
    if (own) {
        // What waits for this socket must not go on the next one.
        const bool locked = c->sendLock && semTake(c->sendLock, WAIT_FOREVER) == OK;
        const int fd = c->fd.exchange(-1);
        c->send.clear();
        if (locked) semGive(c->sendLock);
        if (fd >= 0 && !bcSocket_isShutdown()) {
            if (syslogx_rateguard(&c->downLog))
                syslogx(LOG2_INFO, "Basecom2: Disconnecting TCP %s socket", c->name);
            if (closeTaken(c, fd) != 0)
                syslogx(LOG2_ERR, "BC2_disconnect(): close of TCP %s socket failed (%u)", c->name,
                        static_cast<unsigned>(fd));
        }
    } else {
        FdUse use(c);
        if (use.fd() >= 0) {
            if (auto hook = raceHook.load()) hook(2, c->pid, c->type);
            ::shutdown(use.fd(), SHUT_RDWR);
        }
    }
    resetBuffer(c->buf[0]);
    resetBuffer(c->buf[1]);
}

uint64_t ticksNow() {
    return tick64Get();
}
uint64_t ticksOf(int ms) {
    return static_cast<uint64_t>(ms) * static_cast<uint64_t>(sysClkRateGet()) / 1000u;
}

// Under sendLock: drops the channel whose stream failed or stalled. The peer's stream may be cut
// inside a message, so the socket is shut down (the receive task closes it) and what waits goes,
// with the queue's memory.
void dropLocked(Channel* c, int fd) {
    const int e = errno;
    c->dropping = true;
    c->send.clear();
    ::shutdown(fd, SHUT_RDWR);
    ++c->sendErrors;
    errno = e;
}

// The line that tells a channel's drop, or a command message lost for want of room, within the
// channel's own guard (one stuck peer does not silence the others): `head` the header of the
// message that could not go (command channels), errno the reason.
void tellDrop(Channel* c, const char* who, const uint8_t* head) {
    const int e = errno;
    if (stopFlag || !syslogx_rateguard(&c->sendLog)) return;
    if (c->type == CI)
        syslogx(LOG2_ERR, "Basecom2: %s Error sending comint cmd to PID 0x%X -> 0x%X, cmd 0x%X, %s", who,
                get_be16(head + 4), get_be16(head + 6), get_be16(head + 16), std::strerror(e));
    else
        syslogx(LOG2_ERR, "%s:[0x%02x] socket send error - errno %s", who, c->pid, std::strerror(e));
}

// What a put into a channel's stream came to.
enum class Stream {
    NONE,    // no socket, or the channel dropped already
    TAKEN,   // gone, or waiting whole in the channel's queue
    NO_ROOM, // nothing of it went: the queue has no room for it; the channel stays
    DROPPED, // the socket failed and the channel is dropped now (errno says why; the caller tells it)
};

// Puts n bytes whole into the channel's stream without waiting on the peer. `head` (20 bytes, or
// null) and `who` name the message for the line of a later drop.
Stream streamPut(Channel* c, const uint8_t* data, size_t n, const char* who, const uint8_t* head) {
    FdUse use(c);
    const int fd = use.fd();
    if (fd < 0 || c->dropping || !c->sendLock || semTake(c->sendLock, WAIT_FOREVER) != OK)
        return Stream::NONE;
    Stream result = Stream::NONE;
    bool wake = false;
    // A put that waited for the lock behind a drop, or a socket taken out meanwhile, puts nothing.
    if (!c->dropping && c->fd.load() == fd) {
        const bool idle = c->send.waiting() == 0;
        switch (c->send.put(fd, data, n, ticksNow())) {
        case Bc2SendQueue::TAKEN:
            result = Stream::TAKEN;
            if (idle && c->send.waiting()) {
                c->firstWho = who;
                if (head) std::memcpy(c->firstHead, head, sizeof c->firstHead);
                wake = true;
            }
            break;
        case Bc2SendQueue::NO_ROOM:
            result = Stream::NO_ROOM;
            break;
        case Bc2SendQueue::FAILED:
            dropLocked(c, fd);
            result = Stream::DROPPED;
            break;
        }
    }
    const int e = errno;
    semGive(c->sendLock);
    if (wake) semGive(flushWake);
    errno = e;
    return result;
}

// The flusher's turn at one channel: sends on what waits, and drops the channel when its queue
// made no progress for SEND_LIMIT_MS. True while something still waits.
bool flushChannel(Channel* c) {
    if (!c->send.waiting()) return false;
    FdUse use(c);
    const int fd = use.fd();
    if (fd < 0 || !c->sendLock || semTake(c->sendLock, WAIT_FOREVER) != OK) return false;
    bool ok = true;
    const char* who = c->firstWho;
    uint8_t head[sizeof c->firstHead];
    std::memcpy(head, c->firstHead, sizeof head); // the line is told outside the lock
    if (!c->dropping && c->fd.load() == fd && c->send.waiting()) {
        const uint64_t now = ticksNow();
        ok = c->send.push(fd, now);
        if (ok && c->send.stalled(now, ticksOf(SEND_LIMIT_MS))) {
            errno = ETIMEDOUT;
            ok = false;
        }
        if (!ok) dropLocked(c, fd);
    }
    const bool waiting = c->send.waiting() != 0;
    const int e = errno;
    semGive(c->sendLock);
    errno = e;
    if (!ok) tellDrop(c, who, head);
    return waiting;
}

void receiveTask(Channel* c);

// The presence receiver and a connect daemon may activate a new channel at once: only the
// first makes the semaphore and the task. A later caller that finds no semaphore yet is served
// by its initial count, since the task has not started.
int activate(Channel* c) {
    if (!c->activating.exchange(true)) {
        if (auto hook = raceHook.load()) hook(0, c->pid, c->type);
        const SEM_ID sem = semCCreate(SEM_Q_FIFO, 1);
        if (!sem) {
            syslogx(LOG2_ERR, "BC2_recv_activate(): semCCreate failed - errno %s", err());
            c->activating = false;
            return 0;
        }
        c->activate = sem;
        char name[32];
        std::snprintf(name, sizeof name, "r_%s_PID%02X", c->name, c->pid);
        c->task = taskSpawn(
            name, 77, VX_FP_TASK, 10000,
            [](intptr_t a, intptr_t, intptr_t, intptr_t) { receiveTask(reinterpret_cast<Channel*>(a)); },
            reinterpret_cast<intptr_t>(c));
        if (c->task == TASK_ID_NULL) {
            syslogx(LOG2_INFO, "Basecom2: creation of %s receive task for PID 0x%X failed", c->name, c->pid);
            return 0;
        }
        remember(c->task);
        return 1;
    }
    if (const SEM_ID sem = c->activate.load()) semGive(sem);
    return 1;
}

int connectActive(Channel* c) {
    const int fd = bcSocket_get(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        syslogx(LOG2_ERR, "BC2_connect_active: Create TCP socket failed");
        return -1;
    }
    if (!reusePort(fd)) syslogx(LOG2_ERR, "BC2_connect_active: Setting SO_REUSEPORT option failed");
    uint16_t version;
    {
        HostGuard g;
        version = c->host->version;
    }
    // Always from the unit's own address: the peer knows a host by the address it connects from,
    // and the host's choice may be another one (of two units on one loopback, always the first).
    // Peers below 517 know it by its fixed port too.
    const uint16_t port =
        version < BC2_VERSION
            ? static_cast<uint16_t>((c->type == DK ? BC2_PORT_DK_ACTIVE : BC2_PORT_CI_ACTIVE) + ownOffset)
            : 0;
    const sockaddr_in local = inet(ownAddr, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG2_ERR, "BC2_connect_active: connect active, binding TCP send socket on port: %x failed",
                port);
        bcSocket_close(fd);
        return -1;
    }
    const int tos = 0x10, one = 1, size = SOCK_BUF;
    const linger lg{1, 0};
    if (setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0)
        syslogx(LOG2_ERR, "BC2_connect_active: Setting IP_TOS option failed");
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        syslogx(LOG2_ERR, "BC2_connect_active: Setting TCP_NODELAY option failed");
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        syslogx(LOG2_ERR, "BC2_connect_active: Setting SO_SNDBUF option failed");
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
        syslogx(LOG2_ERR, "BC2_connect_active: Setting SO_RCVBUF option failed");
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        syslogx(LOG2_ERR, "BC2_connect_active: Setting SO_LINGER option failed");
    SYSLOGX_RATE_GUARDED(LOG2_INFO, "BC2_connect_active: going to connect, fd %u", static_cast<unsigned>(fd));
    // Non-blocking, so that a stop does not wait for the network's time-out.
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = connect(fd, reinterpret_cast<const sockaddr*>(&c->peerListen), sizeof c->peerListen);
    if (r != 0 && errno == EINPROGRESS) {
        int waited = 0;
        for (;;) {
            pollfd p{fd, POLLOUT, 0};
            int n;
            {
                OsExternalWait wait;
                n = poll(&p, 1, POLL_SLICE_MS);
            }
            if (n > 0) {
                int e = 0;
                socklen_t l = sizeof e;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &l);
                errno = e;
                r = e == 0 ? 0 : -1;
                break;
            }
            waited += POLL_SLICE_MS;
            if (stopFlag || waited >= CONNECT_LIMIT_MS) {
                errno = ETIMEDOUT;
                break;
            }
        }
    }
    if (r != 0) {
        SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_connect_active: Connecting TCP socket failed: %s", err());
        if (!bcSocket_isShutdown() && bcSocket_close(fd) != 0)
            syslogx(LOG2_ERR, "BC2_connect_active: close TCP socket failed: %s", err());
        return -1;
    }
    fcntl(fd, F_SETFL, flags);
    SYSLOGX_RATE_GUARDED(LOG2_INFO, "BC2_connect_active: connected, fd %u", static_cast<unsigned>(fd));
    return fd;
}

int ciReceive(Channel* c);
int dkReceive(Channel* c, int& foreignInRow);

void receiveTask(Channel* c) {
    for (;;) {
        semTake(c->activate, WAIT_FOREVER);
        if (stopFlag) return;
        if (c->type == DK) taskCpuAffinitySet(taskIdSelf(), 1);
        if (c->fd.load() < 0) {
            const int fd = connectActive(c);
            if (fd < 0) {
                SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_eth_recv: %s - could not create socket!", c->name);
                c->state = CONNECT_FAILED;
                continue;
            }
            if (auto hook = raceHook.load()) hook(1, c->pid, c->type);
            // The peer may have connected in meanwhile: the socket in place stays.
            int none = -1;
            if (!c->fd.compare_exchange_strong(none, fd)) bcSocket_close(fd);
        }
        c->dropping = false;
        c->state = CONNECTED;
        ownSet(c->type).fetch_or(bit(c->pid));
        timespec now{};
        osClockGettime(CLOCK_MONOTONIC, &now);
        if (syslogx_rateguard(&c->upLog))
            syslogx(LOG2_INFO, "BC2_eth_recv(): %s channel to PID 0x%X established after: %d.%03ds", c->name,
                    c->pid, static_cast<int>(now.tv_sec), static_cast<int>(now.tv_nsec / 1000000));
        int foreignInRow = 0;
        while (!stopFlag && (c->type == CI ? ciReceive(c) : dkReceive(c, foreignInRow)) != 0) {
        }
        disconnect(c, true);
        ownSet(c->type).fetch_and(~bit(c->pid));
        c->state = DISCONNECTED;
        if (stopFlag) return;
    }
}

int ciReceive(Channel* c) {
    const int fd = c->fd.load();
    uint8_t msg[20 + BC2_CI_RECV_MAX];
    const int r = bc2_recv_packet(fd, msg, 20);
    // A channel a failed send dropped has been told of already.
    const bool quiet = bcSocket_isShutdown() || c->dropping;
    if (r < 0) {
        if (!quiet)
            SYSLOGX_RATE_GUARDED(
                LOG2_ERR, "Basecom2: CI channel - Error PID 0x%X receiving serial network header, '%s'",
                c->pid, err());
        ++c->recvErrors;
        return 0;
    }
    if (r == 0) {
        if (!quiet) SYSLOGX_RATE_GUARDED(LOG2_ERR, "Basecom2: CI channel - socket closed");
        return 0;
    }
    const uint16_t len = get_be16(msg + 2);
    if (len > BC2_CI_RECV_MAX) {
        BC2_GUARDED(LOG2_ERR, "bc_ci_receive recv. bytes : %d (%d)", static_cast<int>(len),
                    static_cast<int>(BC2_CI_RECV_MAX));
        ++c->recvErrors;
        return 0;
    }
    if (len && bc2_recv_packet(fd, msg + 20, len) != len) {
        BC2_GUARDED(LOG2_ERR, "Basecom2:CI channel - Error receiving comint cmd");
        ++c->recvErrors;
        return 0;
    }
    if (len > BC2_CI_PAYLOAD_MAX) {
        BC2_GUARDED(LOG2_ERR, "bc_ci_receive recv. bytes : %d (%d)", static_cast<int>(len),
                    static_cast<int>(BC2_CI_PAYLOAD_MAX));
        ++c->recvErrors;
        return 1;
    }
    // A peer speaks for itself and for the units behind it, never for a unit this one hears itself
    // (or for this unit): such a message would spend another's shares.
    const uint16_t source = get_be16(msg + 4);
    if (source != c->pid && (source == ownPid || (heardSet.load() & bit(source)))) {
        ++c->recvErrors;
        SYSLOGX_RATE_GUARDED(LOG2_ERR, "Basecom2: CI channel - PID 0x%X sent cmd 0x%X as PID 0x%X, refused",
                             c->pid, get_be16(msg + 16), source);
        return 1;
    }
    const bool mine = get_be16(msg + 6) == ownPid;
    if (mine) ++c->received;
    // A peer that holds its share of the command queue, or whose answers wait beyond their room in
    // its channel's queue, waits here before more of its stream is read: TCP holds that peer alone
    // back, and nothing it sent is lost. A drop ends the wait, whichever task shut the socket down
    // (a restarted or silent peer's channel is taken anew). While answers wait, the room comes as the
    // flusher sends them, which nobody announces: the wait looks again every tick.
    for (;;) {
        const auto put = mine ? queueSink.load() : forwardSink.load();
        if (!put || put(msg, static_cast<int>(c->pid)) >= 0) return 1;
        if (stopFlag || c->dropping || shutDown(fd)) return 0;
        const int slice = c->send.waiting() ? 1 : static_cast<int>(ticksOf(ROOM_SLICE_MS));
        if (auto room = roomSink.load())
            room(static_cast<int>(c->pid), slice);
        else
            taskDelay(1);
    }
}

int dkReceive(Channel* c, int& foreignInRow) {
    const int fd = c->fd.load();
    uint8_t head[BC2_DK_HEADER];
    const int r = bc2_recv_packet(fd, head, BC2_DK_HEADER);
    if (r <= 0) {
        if (bcSocket_isShutdown() || c->dropping) return 0;
        if (r == 0)
            SYSLOGX_RATE_GUARDED(LOG2_ERR, "Basecom2: DK channel - socket closed");
        else
            SYSLOGX_RATE_GUARDED(
                LOG2_ERR, "Basecom2: DK channel - Error PID 0x%X receiving serial network header, '%s'",
                c->pid, err());
        ++c->recvErrors;
        return 0;
    }
    const uint16_t pid = get_be16(head);
    const uint16_t len = get_be16(head + 2);
    uint8_t entry[BC2_FRAME];
    if (pid == ownPid) {
        foreignInRow = 0;
        // No slot is larger than a frame allows; a longer record cannot be meant for one.
        if (len > DK_SLOT_MAX) {
            BC2_GUARDED(LOG2_ERR, "Basecom2: DK channel - Error receiving dynkom data (4)");
            ++c->recvErrors;
            return 0;
        }
        if (len && bc2_recv_packet(fd, entry, len) != len) {
            BC2_GUARDED(LOG2_ERR, "Basecom2: DK channel - Error receiving dynkom data");
            return 0;
        }
        if (dynkomm_fifo_put(get_be32(head + 4), entry, len, nullptr) == DK_PUT_OK) ++c->received;
        return 1;
    }
    BC2_GUARDED(LOG_ERR, "Basecom2: DK channel - received data for PID 0x%X - no routing available", pid);
    ++c->recvErrors;
    if (++foreignInRow > 1 || len > 512) return 0;
    if (len && bc2_recv_packet(fd, entry, len) != len) {
        BC2_GUARDED(LOG2_ERR, "Basecom2: DK channel - Error receiving dynkom data (2)");
        return 0;
    }
    return 1;
}

// Runs for one host and channel type when a presence packet shows that the host hears us.
void connectManager(uint32_t pid, int type) {
    Channel* c;
    uint64_t peerSet;
    uint32_t peerAddr;
    {
        HostGuard g;
        if (!channelOf(pid, type, false))
            SYSLOGX_RATE_GUARDED(LOG2_INFO, "BC2_connect_manager: call BC BC2_create_channel_config %s",
                                 type == DK ? "DK" : "CI");
        c = channelOf(pid, type, true);
        peerSet = get_be64(hosts[pid].packet + (type == DK ? 40 : 32));
        peerAddr = hostAddress(hosts[pid]);
    }
    const uint16_t st = c->state.load();
    if (st == CONNECTED || st == REQUESTED) return;
    c->state = REQUESTED;
    const bool mine = ownSet(type).load() & bit(pid);
    const bool theirs = peerSet & bit(ownPid);
    if (mine && theirs) {
        c->state = CONNECTED;
        return;
    }
    if (mine) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "BC2_connect_manager local_con_state chan_type %X, remotePID %X", type,
                             pid);
        disconnect(c);
    }
    if (bc2_connects_actively(ownAddr, peerAddr)) activate(c);
    taskDelay(1);
}

void disconnectHost(uint32_t pid) {
    Channel *ci, *dk;
    {
        HostGuard g;
        ci = hosts[pid].ci;
        dk = hosts[pid].dk;
    }
    if (ci) disconnect(ci);
    if (dk) disconnect(dk);
}

// ---- tasks ---------------------------------------------------------------------------------

void presenceSend() {
    const int fd = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        syslogx(LOG2_ERR, "BC2_UDP_send(): Create UDP Tx Socket failed");
        return;
    }
    if (!reusePort(fd)) {
        syslogx(LOG2_ERR, "BC2_UDP_send(): Setting Tx socket reuse address option failed, errno %s", err());
        return;
    }
    in_addr ifAddr{htonl(ownAddr)};
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifAddr, sizeof ifAddr) != 0) {
        syslogx(LOG2_ERR, "BC2_UDP_send(): Socket Tx set socket option IP_MULTICAST_IF failed! (%s)", err());
        return;
    }
    const uint16_t port = static_cast<uint16_t>(BC2_PORT_PRESENCE_TX + ownOffset);
    const sockaddr_in local = inet(ownAddr, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG2_ERR, "BC2_UDP_send(): Socket bind Tx on port %u failed, errno %s", port, err());
        return;
    }
    const unsigned char off = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) != 0) {
        syslogx(LOG2_ERR, "BC2_UDP_send: Setting Rx socket multicast loop option failed, errno %s", err());
        return;
    }
    const sockaddr_in group = inet(BC2_GROUP_PRESENCE, BC2_PORT_PRESENCE);
    const int period = sysClkRateGet() / 5;
    while (!stopFlag) {
        uint8_t packet[BC2_PRESENCE_SIZE];
        bc2_build_presence(packet, ownAddr, ownPid, heardSet.load(), ciSet.load(), dkSet.load(), ++counter,
                           ownOffset);
        // A datagram that cannot go now is lost (the next round follows): never a wait here, so
        // the round keeps to its clock.
        if (sendto(fd, packet, sizeof packet, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&group),
                   sizeof group) != static_cast<ssize_t>(sizeof packet))
            SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_UDP_send(): Sending multicast message failed");
        for (uint32_t pid = 0; pid < 64; ++pid) {
            bool timedOut = false;
            {
                HostGuard g;
                Host& h = hosts[pid];
                if (h.online && h.contact == 2) {
                    h.remaining -= 200;
                    if (h.remaining < 0) {
                        h.online = 0;
                        timedOut = true;
                    }
                }
            }
            if (!timedOut) continue;
            SYSLOGX_RATE_GUARDED(LOG2_WARN, "UDP_send: Channel to PID 0x%X timed out, closing it...", pid);
            heardSet.fetch_and(~bit(pid));
            SYSLOGX_RATE_GUARDED(LOG2_WARN, "Host PID 0x%X is Offline", pid);
            SYSLOGX_RATE_GUARDED(LOG2_ERR, "UDP_send: BC2_disconnect");
            disconnectHost(pid);
            // Whether it comes back with its paths or restarted, they are asked for anew.
            dynkomm_fifo_free_receiving_all(static_cast<uint16_t>(pid), false);
        }
        semTake(stopWake, period);
    }
}

void presenceReceived(const uint8_t* data, size_t n, const sockaddr_in& from) {
    ++presenceReceivedCount;
    Bc2Presence p;
    if (!bc2_parse_presence(data, n, &p)) {
        if (n >= BC2_PRESENCE_MIN)
            BC2_GUARDED(LOG2_ERR, "BC2_UDP_listen() wrong pid received %d", static_cast<int>(p.pid));
        return;
    }
    if (p.pid == ownPid) {
        BC2_GUARDED(LOG2_ERR, "BC2_UDP_listen() received our own pid, ignored");
        return;
    }
    bool reset;
    {
        HostGuard g;
        Host& h = hosts[p.pid];
        h.from = from;
        h.version = p.version;
        h.offset = p.offset;
        h.online = 1;
        h.contact = 2;
        h.remaining = static_cast<int32_t>((p.period > 60000 ? 60000 : p.period) + 200);
        const uint32_t stored = get_be32(h.packet + 52);
        reset = p.counter < stored && stored != 0xFFFFFFFF;
        std::memcpy(h.packet, p.wire, BC2_PRESENCE_SIZE);
    }
    if (routing_learn(p.pid, {ROUTE_ETHERNET, p.address}))
        SYSLOGX_RATE_GUARDED(LOG_INFO, "BC2_UDP_listen add remote_pid %X", p.pid);
    if (reset) {
        disconnectHost(p.pid);
        // It knows nothing of its paths here any more: nothing would close them.
        dynkomm_fifo_free_receiving_all(p.pid, true);
        SYSLOGX_RATE_GUARDED(LOG2_INFO, "Basecom2: Reset detected on PID 0x%X, illegal msg sequence counter",
                             p.pid);
        // Nor of the lists it asked for here.
        if (auto s = resetSink.load()) s(p.pid);
    }
    heardSet.fetch_or(bit(p.pid));
    if (p.heard & bit(ownPid)) {
        connectManager(p.pid, CI);
        connectManager(p.pid, DK);
    }
}

void presenceListen() {
    const int fd = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        syslogx(LOG2_ERR, "BC2_UDP_listen(): Create UDP Rx Socket failed");
        return;
    }
    if (!reusePort(fd)) {
        syslogx(LOG2_ERR, "BC2_UDP_listen: Setting Rx socket reuse address option failed, errno %s", err());
        return;
    }
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = htonl(BC2_GROUP_PRESENCE);
    mreq.imr_interface.s_addr = htonl(ownAddr);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        syslogx(LOG2_ERR, "BC2_UDP_listen: Setting Rx socket multicast option failed, errno %s", err());
        return;
    }
    const sockaddr_in local = inet(INADDR_ANY, BC2_PORT_PRESENCE);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG2_ERR, "BC2_UDP_listen: Socket bind Rx failed");
        return;
    }
    while (waitReadable(fd)) {
        uint8_t data[1000];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        const ssize_t n =
            recvfrom(fd, data, sizeof data, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) {
            if (errno != EAGAIN && !stopFlag)
                SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_UDP_listen: recvfrom failed errno %s", err());
            continue;
        }
        presenceReceived(data, static_cast<size_t>(n), from);
    }
}

// Gives an accepted connection on listen socket i to its host's channel, or closes it.
void adoptAccepted(int type, int i, int fd, const sockaddr_in& from) {
    const linger lg{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        syslogx(LOG2_ERR, "BC2_connect_passive: Setting SO_LINGER option failed(2)");
    const uint32_t addr = ntohl(from.sin_addr.s_addr);
    const uint16_t srcPort = ntohs(from.sin_port);
    const uint16_t activeBase = type == DK ? BC2_PORT_DK_ACTIVE : BC2_PORT_CI_ACTIVE;
    Channel* c = nullptr;
    {
        HostGuard g;
        for (uint32_t pid = 0; pid < 64 && !c; ++pid) {
            const Host& h = hosts[pid];
            if (!h.contact || ntohl(h.from.sin_addr.s_addr) != addr) continue;
            const bool match = h.version < 514 || srcPort == activeBase + h.offset ||
                               (h.version >= BC2_VERSION && i * 100 == h.offset);
            if (match) c = channelOf(pid, type, true);
        }
        // A connection with a socket already in place (accepted, or made by the receive
        // task) stays with the one in place.
        int none = -1;
        if (c && !c->fd.compare_exchange_strong(none, fd)) c = nullptr;
    }
    if (!c) {
        // No host of ours, or a second connection: closing it keeps the registry from filling up.
        bcSocket_close(fd);
        return;
    }
    if (!activate(c)) {
        SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_connect_passive(): creation of %s receive task failed", c->name);
        int mine = fd;
        if (c->fd.compare_exchange_strong(mine, -1)) closeTaken(c, fd);
    }
}

void passiveDaemon(int type) {
    const uint16_t base = type == DK ? BC2_PORT_DK : BC2_PORT_CI;
    pollfd listeners[5];
    for (int i = 0; i < 5; ++i) {
        const uint16_t port = static_cast<uint16_t>(base + ownOffset + 20 * i);
        const int fd = bcSocket_get(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            syslogx(LOG2_ERR, "BC2_connect_passive: Create TCP connect listen socket port: %u failed", port);
            return;
        }
        const int tos = 0x10, one = 1, size = SOCK_BUF;
        if (setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0)
            syslogx(LOG2_ERR, "BC2_connect_passive: Setting IP_TOS option failed");
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
            syslogx(LOG2_ERR, "BC2_connect_passive: Setting TCP_NODELAY option failed");
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
            syslogx(LOG2_ERR, "BC2_connect_passive: Setting SO_SNDBUF option failed");
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
            syslogx(LOG2_ERR, "BC2_connect_passive: Setting SO_RCVBUF option failed");
        if (!reusePort(fd)) syslogx(LOG2_ERR, "BC2_connect_passive: Setting SO_REUSEPORT option failed");
        const sockaddr_in local = inet(ownAddr, port);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            syslogx(LOG2_ERR, "BC2_connect_passive: Binding TCP listen socket on port %u failed errno %s",
                    port, err());
            return;
        }
        if (listen(fd, 10) != 0) {
            syslogx(LOG2_ERR, "BC2_connect_passive: listen on TCP port %u caused error", port);
            return;
        }
        listeners[i] = {fd, POLLIN, 0};
    }
    while (!stopFlag) {
        int r;
        {
            OsExternalWait wait;
            r = poll(listeners, 5, -1); // the stop shuts the listeners down
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            if (!stopFlag) syslogx(LOG2_ERR, "BC2_connect_passive: select() failed, errno %s", err());
            return;
        }
        for (int i = 0; i < 5 && r > 0 && !stopFlag; ++i) {
            if (!(listeners[i].revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            const int fd = bcSocket_accept(listeners[i].fd, reinterpret_cast<sockaddr*>(&from), &fl);
            if (fd < 0) {
                SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_connect_passive: accept() failed, errno %s", err());
                continue;
            }
            SYSLOGX_RATE_GUARDED(LOG2_INFO, "BC2_connect_passive, port %u, fd %u",
                                 static_cast<unsigned>(base + ownOffset + 20 * i), static_cast<unsigned>(fd));
            adoptAccepted(type, i, fd, from);
        }
    }
}

void ciMulticast() {
    struct Over {
        ~Over() {
            if (!mcChannel.load()) mcFailed = true;
        }
    } over;
    const int tx = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (tx < 0) {
        syslogx(LOG2_ERR, "BC2_CI_MC_listen(): Create MC CI Tx socket failed");
        return;
    }
    in_addr ifAddr{htonl(ownAddr)};
    if (setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &ifAddr, sizeof ifAddr) != 0) {
        syslogx(LOG2_ERR, "BC2_CI_MC_listen(): Socket Tx set socket option IP_MULTICAST_IF failed! (%s)",
                err());
        return;
    }
    const unsigned char off = 0;
    if (setsockopt(tx, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) != 0) {
        syslogx(LOG2_ERR, "BC2_CI_MC_listen(): Socket Tx set socket option no loop failed!");
        return;
    }
    const int rx = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (rx < 0) {
        syslogx(LOG2_ERR, "BC2_CI_MC_listen(): Create MC CI listen Rx socket failed");
        return;
    }
    if (!reusePort(rx)) {
        syslogx(LOG2_ERR, "BC2_CI_MC_listen(): Setting Rx socket reuse address option failed, errno %s",
                err());
        return;
    }
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = htonl(BC2_GROUP_CI);
    mreq.imr_interface.s_addr = htonl(ownAddr);
    if (setsockopt(rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        syslogx(LOG2_ERR,
                "BC2_CI_MC_listen(): Setting Rx socket multicast option on port %u failed, errno %s",
                BC2_PORT_CI_MC, err());
        return;
    }
    const sockaddr_in local = inet(INADDR_ANY, BC2_PORT_CI_MC);
    if (bind(rx, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG2_ERR, "BC2_CI_MC_listen(): Socket bind Rx on port %u failed", BC2_PORT_CI_MC);
        return;
    }
    auto* c = new Channel{};
    c->name = "CI";
    c->type = CI;
    c->host = &hosts[MC_RECORD];
    c->pid = MC_RECORD;
    c->peerListen = inet(BC2_GROUP_CI, BC2_PORT_CI_MC);
    c->fd = tx;
    c->state = CONNECTED;
    {
        HostGuard g;
        hosts[MC_RECORD].ci = c;
    }
    mcChannel = c;
    while (waitReadable(rx)) {
        uint8_t msg[512];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n =
            recvfrom(rx, msg, sizeof msg, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno != EAGAIN && !stopFlag) {
                SYSLOGX_RATE_GUARDED(LOG2_ERR, "BC2_CI_MC_listen(): Error receiving serial network header");
                ++c->recvErrors;
            }
            continue;
        }
        ++c->received;
        // A message must hold its header and the payload it announces; our own come back on
        // a loopback interface and are not served twice.
        const uint16_t source = get_be16(msg + 4);
        if (n < 20 || get_be16(msg + 2) > n - 20 || source == ownPid) continue;
        // A unit heard on the network sends from the address of its presence packets: a datagram
        // in its name from elsewhere would spend its shares.
        const bool heard = heardSet.load() & bit(source);
        bool fromThere = false;
        if (heard) {
            HostGuard g;
            fromThere = hosts[source].from.sin_addr.s_addr == from.sin_addr.s_addr;
        }
        if (heard && !fromThere) {
            ++c->recvErrors;
            SYSLOGX_RATE_GUARDED(LOG2_ERR,
                                 "BC2_CI_MC_listen(): cmd 0x%X as PID 0x%X from another address, refused",
                                 get_be16(msg + 16), source);
            continue;
        }
        put_be16(msg + 6, ownPid);
        // One task for every sender: a datagram beyond its sender's share is dropped, never waited
        // for. Senders not heard on the network share one share.
        const auto q = queueSink.load();
        if (q && q(msg, heard ? source : BC2_SOURCE_OTHER) < 0) {
            const uint32_t dropped = ++mcDropped;
            if (syslogx_rateguard(&mcDropLog))
                syslogx(LOG2_WARN,
                        "BC2_CI_MC_listen(): cmd 0x%X from PID 0x%X beyond its share of the command queue, "
                        "dropped (%u so far)",
                        get_be16(msg + 16), source, static_cast<unsigned>(dropped));
        }
    }
}

void dkUdpListen() {
    const int fd = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        syslogx(LOG2_ERR, "Basecom2: Create UDP Rx Socket failed (DK)");
        return;
    }
    if (!reusePort(fd)) syslogx(LOG2_ERR, "BC2_dk_udp_listen: Setting SO_REUSEPORT option failed");
    const sockaddr_in local = inet(ownAddr, static_cast<uint16_t>(BC2_PORT_DK_UDP + ownOffset));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG2_ERR, "Basecom2: Socket bind Rx failed (DK), %s", err());
        return;
    }
    taskCpuAffinitySet(taskIdSelf(), 1);
    while (waitReadable(fd)) {
        uint8_t data[BC2_FRAME];
        const ssize_t n = recv(fd, data, sizeof data, MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && !stopFlag)
                SYSLOGX_RATE_GUARDED(LOG_ERR, "Basecom2: DK UDP channel - Error receiving UDP packet");
            continue;
        }
        const int source = bc2_dk_datagram(data, static_cast<size_t>(n));
        if (source >= 0 && source < 64) {
            HostGuard g;
            if (hosts[source].dk) ++hosts[source].dk->udpReceived;
        }
    }
}

// A command message on a peer's stream: 1 taken (sent, or waiting in the channel's queue), else
// 0. A message the queue has no room for is lost, counted and told, and the channel stays; the
// failure that dropped the channel is counted and told; what found it dropped already is neither.
int ciSend(Channel* c, const uint8_t* msg, size_t n, const char* who) {
    switch (streamPut(c, msg, n, who, msg)) {
    case Stream::TAKEN:
        ++c->sent;
        return 1;
    case Stream::NO_ROOM:
        ++c->sendErrors;
        errno = ENOBUFS;
        tellDrop(c, who, msg);
        return 0;
    case Stream::DROPPED:
        tellDrop(c, who, msg);
        return 0;
    case Stream::NONE:
        break;
    }
    return 0;
}

// ---- DK sending --------------------------------------------------------------------------------

// A peer's DK channel and its protocol version, which the presence receiver rewrites with each
// packet: both read under the host lock.
struct DkPeer {
    Channel* c;
    uint16_t version;
};
DkPeer dkChannel(uint32_t pid) {
    if (pid >= 64 || !hostLock) return {nullptr, 0};
    HostGuard g;
    return {hosts[pid].dk, hosts[pid].version};
}

// Sends the buffer's frame: as a datagram, or whole into the stream (where what the socket does
// not take at once waits in the channel's queue). 1 sent; 0 failed: a datagram that failed is
// logged once per error state, a frame the stream failed on dropped the channel (its receive task
// resets the buffers); -1 the channel's queue has no room for the frame, which stays for a later
// call.
int sendRest(Channel* c, SendBuffer& b, bool udp, const char* who) {
    if (udp) {
        if (dkTxFd < 0) return 0;
        if (sendDatagram(dkTxFd, b.frame(), b.fill, c->peerUdp) != static_cast<ssize_t>(b.fill)) {
            ++c->sendErrors;
            if (b.errorState != 1)
                SYSLOGX_RATE_GUARDED(LOG2_ERR, "%s:[0x%02x] socket send error - errno %s", who, c->pid,
                                     err());
            b.errorState = 1;
            return 0;
        }
    } else {
        switch (streamPut(c, b.frame(), b.fill, who, nullptr)) {
        case Stream::TAKEN:
            break;
        case Stream::NO_ROOM:
            return -1;
        case Stream::DROPPED:
            tellDrop(c, who, nullptr);
            return 0;
        case Stream::NONE:
            return 0;
        }
    }
    // the online buffer's frames count apart, whichever way they went
    if (&b == &c->buf[1])
        ++c->framesOnline;
    else
        ++c->sent;
    b.errorState = 0;
    b.fill = 0;
    b.half = b.half ? 0 : BC2_FRAME;
    return 1;
}

// Sends on the stream channels' queues as their sockets take them: woken when a queue starts to
// wait, it tries every channel while any waits.
void flusher() {
    const int slice = std::max(1, sysClkRateGet() * FLUSH_SLICE_MS / 1000);
    for (bool waiting = false; !stopFlag;) {
        semTake(flushWake, waiting ? slice : WAIT_FOREVER);
        Channel* channels[2 * 64];
        int n = 0;
        {
            HostGuard g;
            for (const Host& h : hosts)
                for (Channel* c : {h.ci, h.dk})
                    if (c && c->pid < 64 && n < 2 * 64) channels[n++] = c;
        }
        waiting = false;
        for (int i = 0; i < n && !stopFlag; ++i)
            waiting = flushChannel(channels[i]) || waiting;
    }
}

int appendRecord(Channel* c, int which, bool udp, const uint8_t* header, const uint8_t* entry,
                 const char* who) {
    const uint16_t len = get_be16(header + 2);
    if (BC2_DK_HEADER + len > BC2_FRAME) return 0;
    SendBuffer& b = c->buf[which];
    if (!b.mutex || semTake(b.mutex, WAIT_FOREVER) != OK) {
        BC2_GUARDED(LOG2_ERR, "%s:[0x%02x] semTake failed - errno %s", who, c->pid, err());
        return 0;
    }
    int result = 0;
    if (b.fill + BC2_DK_HEADER + len > BC2_FRAME) result = sendRest(c, b, udp, who);
    // The record goes into a fresh frame, or is dropped when the frame failed; it stays with its
    // caller when the frame before it waits for room.
    if (result == 1 || b.fill + BC2_DK_HEADER + len <= BC2_FRAME) {
        std::memcpy(b.frame() + b.fill, header, BC2_DK_HEADER);
        std::memcpy(b.frame() + b.fill + BC2_DK_HEADER, entry, len);
        b.fill = static_cast<uint16_t>(b.fill + BC2_DK_HEADER + len);
    }
    if (semGive(b.mutex) != OK) syslogx(LOG2_ERR, "dyncom_send_eth(): semGive failed - errno %s", err());
    return result;
}

} // namespace

// ---- pure helpers ----------------------------------------------------------------------------

bool bc2_parse_presence(const uint8_t* data, size_t len, Bc2Presence* out) {
    *out = {};
    if (!data || len < BC2_PRESENCE_MIN) return false;
    std::memcpy(out->wire, data, len < BC2_PRESENCE_SIZE ? len : BC2_PRESENCE_SIZE);
    const uint8_t* w = out->wire;
    out->address = get_be32(w);
    out->pid = get_be16(w + 10);
    out->period = get_be32(w + 12);
    out->heard = get_be64(w + 24);
    out->ci = get_be64(w + 32);
    out->dk = get_be64(w + 40);
    out->counter = get_be32(w + 52);
    out->version = len < 57 ? 512 : get_be16(w + 56);
    out->offset = out->version < 514 ? 0 : get_be16(w + 58);
    return out->pid < 64;
}

void bc2_build_presence(uint8_t out[BC2_PRESENCE_SIZE], uint32_t address, uint16_t pid, uint64_t heard,
                        uint64_t ci, uint64_t dk, uint32_t count, uint16_t offset) {
    std::memset(out, 0, BC2_PRESENCE_SIZE);
    put_be32(out, address);
    put_be16(out + 10, pid);
    put_be32(out + 12, 1000);
    put_be64(out + 24, heard);
    put_be64(out + 32, ci);
    put_be64(out + 40, dk);
    put_be32(out + 48, 200);
    put_be32(out + 52, count);
    put_be16(out + 56, BC2_VERSION);
    put_be16(out + 58, offset);
}

uint16_t bc2_peer_listen_port(bool dk, uint16_t own, uint16_t peer, uint16_t peerVersion) {
    uint32_t port = (dk ? BC2_PORT_DK : BC2_PORT_CI) + static_cast<uint32_t>(peer);
    if (peerVersion >= BC2_VERSION) port += static_cast<uint32_t>(own / 100) * 20;
    return static_cast<uint16_t>(port);
}

bool bc2_connects_actively(uint32_t own, uint32_t peer) {
    auto swapped = [](uint32_t a) { return __builtin_bswap32(a); };
    return swapped(own) > swapped(peer);
}

int bc2_dk_datagram(const uint8_t* data, size_t len) {
    int source = -1;
    size_t at = 0;
    while (len - at >= BC2_DK_HEADER) {
        const uint16_t pid = get_be16(data + at);
        const uint16_t n = get_be16(data + at + 2);
        const uint32_t magic = get_be32(data + at + 4);
        at += BC2_DK_HEADER;
        if (n > len - at) break; // runs past the datagram
        if (pid == ownPid) {
            DkFifoInfo info{};
            const DkPutResult r = dynkomm_fifo_put(magic, data + at, n, &info);
            if (r != DK_PUT_NO_FIFO) source = info.sourcePid;
            if (r == DK_PUT_FULL)
                SYSLOGX_RATE_GUARDED(
                    LOG_INFO,
                    "Basecom2: DK UDP channel - cannot write data to fifo data from pid 0x%02x, type "
                    "0x%x, slots %d, "
                    "raster %d",
                    info.sourcePid, info.flags, info.slots, info.raster);
        } else {
            BC2_GUARDED(LOG_ERR,
                        "Basecom2: DK UDP channel - received data for PID 0x%X - no routing available", pid);
        }
        at += n;
    }
    return source;
}

void bc2_setRaceHook(void (*hook)(int point, uint32_t pid, int type)) {
    raceHook = hook;
}

void bc2_accepted(int type, int listener, int fd, uint32_t addr, uint16_t port) {
    adoptAccepted(type, listener, fd, inet(addr, port));
}

// ---- start and stop --------------------------------------------------------------------------------

void BC2_setCommandSink(int (*queue)(const uint8_t*, int), int (*forward)(const uint8_t*, int),
                        bool (*room)(int, int)) {
    queueSink = queue;
    forwardSink = forward;
    roomSink = room;
}

void BC2_setResetSink(void (*sink)(uint16_t pid)) {
    resetSink = sink;
}

void BC2_init() {
    stopFlag = false;
    mcFailed = false;
    ++startCount;
    mcDropped = 0;
    syslogx_rateguard_reset(&mcDropLog);
    // Every early return leaves the unit without a command multicast channel.
    struct McTask {
        bool started = false;
        ~McTask() {
            if (!started) mcFailed = true;
        }
    } mcTask;
    ownPid = AppMan_getPID();
    ownAddr = AppMan_getIPv4Addr();
    ownOffset = AppMan_getBC2PortOffset();
    if (!hostLock) hostLock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!stopWake) stopWake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (!flushWake) flushWake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (flushWake) semTake(flushWake, NO_WAIT); // the last stop's give
    heardSet = 0;
    ciSet = bit(ownPid);
    dkSet = bit(ownPid);
    counter = 0;
    // A start after a stop: the tasks that used the last run's channels are gone.
    for (Host& h : hosts) {
        for (Channel* c : {h.ci, h.dk})
            dropChannel(c);
        h = Host{};
    }
    hosts[ownPid].version = BC2_VERSION;
    hosts[ownPid].offset = ownOffset;

    dkTxFd = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (dkTxFd < 0) {
        syslogx(LOG2_INFO, "Basecom2: Create UDP Tx Socket failed (DK)");
        return;
    }
    if (!reusePort(dkTxFd)) {
        syslogx(LOG2_ERR, "BC2_eth_ini: Setting Tx socket reuse address option failed, errno %s", err());
        return;
    }
    const sockaddr_in local = inet(ownAddr, 0);
    bind(dkTxFd, reinterpret_cast<const sockaddr*>(&local), sizeof local);

    struct Start {
        const char* name;
        int priority;
        size_t stack;
        void (*body)();
        const char* spawnFailed;
        const char* checkFailed;
    };
    static const Start starts[] = {
        {"r_BC2_CI_daemon", 74, 5000, [] { passiveDaemon(CI); },
         "BC2_eth_ini(): taskSpawn failed 'BC2 CI daemon'",
         "BC2_eth_ini(): Failed to start task 'tBC2 CI daemon'"},
        {"r_BC2_DK_daemon", 79, 5000, [] { passiveDaemon(DK); },
         "BC2_eth_ini(): Failed to start task 'BC2 DK daemon'",
         "BC2_eth_ini(): Failed to start task 'tBC2_DK_daemon'"},
        {"r_UDP_MC_listen", 75, 5000, presenceListen, "BC2_eth_ini(): Failed to start task 'UDP MC listen'",
         "BC2_eth_ini(): Failed to start task 'tUDP MC listen'"},
        {"r_UDP_MC_send", 76, 5000, presenceSend, "BC2_eth_ini(): Failed to start task 'UDP MC send'",
         "BC2_eth_ini(): Failed to start task 'tUDP_MC_send'"},
        {"r_BC2_MC_CI_listen", 77, 5000, ciMulticast,
         "BC2_eth_ini(): Failed to start task 'BC2 CI MC listen'",
         "BC2_eth_ini(): Failed to start task 'tBC2_MC_CI_listen"},
        {"r_BC2_DK_UDP_listen", 78, 10000, dkUdpListen,
         "BC2_eth_ini(): Failed to start task 'BC2 DK UDP listen'",
         "BC2_eth_ini(): Failed to start task 'tBC2_DK_UDP_listen"},
        {"r_BC2_flush", 74, 5000, flusher, "BC2_eth_ini(): Failed to start task 'BC2 flush'",
         "BC2_eth_ini(): Failed to start task 'tBC2_flush'"},
    };
    for (const Start& s : starts) {
        const TASK_ID t = taskSpawn(
            s.name, s.priority, VX_FP_TASK, s.stack,
            [](intptr_t body, intptr_t, intptr_t, intptr_t) { reinterpret_cast<void (*)()>(body)(); },
            reinterpret_cast<intptr_t>(s.body));
        if (t == TASK_ID_NULL) {
            syslogx(LOG2_ERR, "%s", s.spawnFailed);
            if (s.body == dkUdpListen) continue;
            return;
        }
        remember(t);
        if (s.body == ciMulticast) mcTask.started = true;
        if (taskIdVerify(t) != OK) syslogx(LOG2_ERR, "%s", s.checkFailed);
    }
    syslogx(LOG_INFO, "BC2_eth_ini(): Initialisation finished");
}

void BC2_stop() {
    stopFlag = true;
    bcSocket_shutdownAll();
    if (stopWake) semGive(stopWake);
    if (flushWake) semGive(flushWake);
    for (Host& h : hosts)
        for (Channel* c : {h.ci, h.dk})
            if (c && c->activate) semGive(c->activate);
    const int n = taskCount.exchange(0);
    for (int i = 0; i < n && i < MAX_TASKS; ++i)
        taskWaitExit(tasks[i], sysClkRateGet());
    bcSocket_closeAll();
    mcChannel = nullptr;
}

// ---- sending ---------------------------------------------------------------------------------

int comint_status() {
    return mcChannel.load() != nullptr;
}

int BC2_ciMulticastFailed() {
    return mcFailed.load() ? 1 : 0;
}

int comint_put_eth(const uint8_t* msg) {
    const uint16_t len = get_be16(msg + 2);
    const uint16_t dest = get_be16(msg + 6);
    if (len > BC2_CI_PAYLOAD_MAX) return 0;
    Channel* c;
    {
        if (!hostLock) return 0;
        HostGuard g;
        c = dest == 0xFFFE ? hosts[MC_RECORD].ci : dest <= 64 ? hosts[dest].ci : nullptr;
    }
    if (!c) return 0;
    const size_t n = 20u + len;
    if (c->pid != MC_RECORD) return ciSend(c, msg, n, "comint_put_eth()");
    FdUse use(c);
    if (use.fd() < 0) return 0;
    if (sendDatagram(use.fd(), msg, n, c->peerListen) != static_cast<ssize_t>(n)) {
        SYSLOGX_RATE_GUARDED(LOG2_ERR, "Basecom2: comint_put_eth() Error sending mulitcast comint cmd");
        ++c->sendErrors;
        return 0;
    }
    ++c->framesOnline;
    return 1;
}

int comint_put_locSock(const uint8_t* msg) {
    const uint16_t len = get_be16(msg + 2);
    const uint16_t dest = get_be16(msg + 6);
    if (len > BC2_CI_PAYLOAD_MAX || dest >= 64 || !hostLock) return 0;
    Channel* c;
    {
        HostGuard g;
        c = hosts[dest].ci;
    }
    if (!c) return 0;
    return ciSend(c, msg, 20u + len, "comint_put_locSock()");
}

long BC2_ciWaiting(uint32_t pid) {
    if (pid >= 64 || !hostLock) return -1;
    HostGuard g;
    const Channel* c = hosts[pid].ci;
    return c && c->fd.load() >= 0 ? static_cast<long>(c->send.waiting()) : -1;
}

int dyncom_send_eth(const uint8_t* header, const uint8_t* entry) {
    Channel* c = dkChannel(get_be16(header)).c;
    if (!c || c->fd.load() < 0) return 0;
    return appendRecord(c, 0, false, header, entry, "dyncom_send_eth()");
}

int dyncom_send_eth_online(const uint8_t* header, const uint8_t* entry) {
    const uint16_t pid = get_be16(header);
    const DkPeer peer = dkChannel(pid);
    Channel* c = peer.c;
    if (!c || c->fd.load() < 0) return 0;
    if (peer.version < 513) return appendRecord(c, 0, false, header, entry, "dyncom_send_eth()");
    const bool udp = routing_get_next(pid).kind == ROUTE_ETHERNET;
    return appendRecord(c, 1, udp, header, entry, "dyncom_send_eth_online()");
}

void Dynkom_flush_eth(int kind) {
    for (uint32_t pid = 0; pid < 64; ++pid) {
        if (pid == ownPid) continue;
        const DkPeer peer = dkChannel(pid);
        Channel* c = peer.c;
        if (!c || c->fd.load() < 0) continue;
        const int which = kind == 1 ? 0 : 1;
        const bool udp = which == 1 && peer.version >= 513 && routing_get_next(pid).kind == ROUTE_ETHERNET;
        SendBuffer& b = c->buf[which];
        if (!b.mutex || semTake(b.mutex, WAIT_FOREVER) != OK) {
            syslogx(LOG2_ERR, "Dynkom_flush_eth(): pid: 0x%02x, semTake failed - errno %s", pid, err());
            continue;
        }
        if (b.fill) sendRest(c, b, udp, "Dynkom_flush_eth()");
        if (semGive(b.mutex) != OK)
            syslogx(LOG2_ERR, "Dynkom_flush_eth_offline(): semGive failed - errno %s", err());
    }
}

int bc2_recv_packet(int fd, void* buffer, int n) {
    auto* p = static_cast<uint8_t*>(buffer);
    int got = 0;
    while (got < n) {
        if (!waitReadable(fd)) return -1;
        const ssize_t r = recv(fd, p + got, static_cast<size_t>(n - got), MSG_DONTWAIT);
        if (r == 0) return 0;
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return -1;
        }
        got += static_cast<int>(r);
    }
    return n;
}

int BC2_connected(uint32_t pid) {
    return (ciSet.load() & dkSet.load() & bit(pid)) != 0;
}

int BC2_getRemoteCapabilty(uint32_t pid, int capability) {
    if (!BC2_connected(pid) || !hostLock) return 2;
    uint16_t version;
    {
        HostGuard g;
        version = hosts[pid].version;
    }
    if (capability < 0 || capability > 2) return 1;
    return version >= 514 + capability ? 0 : 1;
}

uint64_t comint_get_connect_mask() {
    return ciSet.load();
}
uint64_t udp_get_detect_mask() {
    return heardSet.load();
}
uint64_t dk_get_connect_mask() {
    return dkSet.load();
}

void BC2_debugoutGlob(Bc2DebugGlob* out) {
    *out = {};
    if (Channel* mc = mcChannel.load()) {
        out->mcRxCnt = static_cast<uint16_t>(mc->received.load());
        out->mcRxErr = static_cast<uint16_t>(mc->recvErrors.load());
    }
    out->mcDropCnt = static_cast<uint16_t>(mcDropped.load());
    out->bcRxCnt = static_cast<uint16_t>(presenceReceivedCount.load());
    out->bcSeqCnt = counter.load();
}

int BC2_debugoutPID(uint32_t pid, Bc2DebugPid* out) {
    *out = {};
    if (pid >= 64 || !hostLock) return 0;
    HostGuard g;
    const Host& h = hosts[pid];
    out->remSeqCnt = get_be32(h.packet + 52);
    out->remoteVer = h.version;
    if (const Channel* c = h.ci) {
        out->cmdState = static_cast<uint8_t>(c->state.load());
        out->cmdTxCnt = static_cast<uint16_t>(c->sent.load());
        out->cmdTxErr = static_cast<uint16_t>(c->sendErrors.load());
        out->cmdRxCnt = static_cast<uint16_t>(c->received.load());
        out->cmdRxErr = static_cast<uint16_t>(c->recvErrors.load());
    }
    if (const Channel* c = h.dk) {
        out->dataState = static_cast<uint8_t>(c->state.load());
        out->dataTxCntOnline = static_cast<uint16_t>(c->framesOnline.load());
        out->dataTxCntOffline = static_cast<uint16_t>(c->sent.load());
        out->dataTxErr = static_cast<uint16_t>(c->sendErrors.load());
        out->dataRxCntOnline = static_cast<uint16_t>(c->udpReceived.load());
        out->dataRxCntOffline = static_cast<uint16_t>(c->received.load());
        out->dataRxErr = static_cast<uint16_t>(c->recvErrors.load());
    }
    return 1;
}
