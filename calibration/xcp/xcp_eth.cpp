// XCP on UDP: frames of LEN and CTR around each packet. The receive task reads command
// datagrams and runs the command processor; the transmit task drains the transmit queue and
// sends responses, events and DTOs with one packet counter, DTO frames packed into datagrams
// that leave full, before a response, with a slow event's frames, or at the 10 ms tick after
// their first frame.
#include "calibration/xcp/xcp_private.h"

#include "services/bytes/bytes.h"
#include "services/syslog/syslog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

struct xcpEthCtx {
    std::atomic<int> sock{-1};
    int wakeFd = -1;
    sockaddr_in local{};
    // Receive task: the sender of the datagram in hand and the connected tool.
    sockaddr_in sender{};
    sockaddr_in rxPeer{};
    bool hasRxPeer = false;
    uint16_t lastRxCtr = 0;
    // Transmit task: where everything goes, the one packet counter and the datagram being packed.
    sockaddr_in peer{};
    bool hasPeer = false;
    uint16_t ctr = 1;
    uint32_t packed = 0;
    uint8_t pack[XCP_FRAME_HEADER + XCP_MAX_DTO]; // a lone frame may be larger than the limit
    // The datagram being packed holds frames, set before the tail moves past them: a tick that
    // finds the buffer empty finds them here.
    std::atomic<bool> holding{false};
    std::atomic<bool> tickQueued{false}; // one tick item at a time
    std::atomic<bool> stopping{false};
    std::atomic<TASK_ID> rxTask{TASK_ID_NULL};
    std::atomic<TASK_ID> txTask{TASK_ID_NULL};
    // DTO frames between the rasters (under the DAQ mutex) and the transmit task. Positions
    // count bytes and wrap with the u32; a cycle's frames lie in one piece, and where one did not
    // fit before the end, a LEN of 0 (or less room than a frame header) sends the reader back
    // to the start. One queue item at a time stands for all that waits: a sender held for longer
    // than the queue has items still finds every frame.
    uint32_t dtoStart = 0;
    std::atomic<uint32_t> dtoHead{0};
    std::atomic<uint32_t> dtoTail{0};
    std::atomic<bool> dtoQueued{false};
    std::atomic<bool> dtoLeave{false}; // the next DTO item sends what it packs
    std::atomic<uint32_t> dtoLost{0};
    uint8_t dto[XCP_DTO_BUFFER];
};
static_assert(XCP_DTO_PACK_LIMIT <= XCP_FRAME_HEADER + XCP_MAX_DTO, "shared frames fit the pack buffer");

namespace {

// ---- socket registry ------------------------------------------------------------------------

SEM_ID registryMutex;
int sockets[XCP_MAX_SOCKETS];
int socketCount;
std::atomic<bool> registryShutdown{false};

// ---- transmit ----------------------------------------------------------------------------

void putFrameHeader(uint8_t* h, uint32_t length, uint16_t ctr) {
    bytes::put_le16(h, static_cast<uint16_t>(length)), bytes::put_le16(h + 2, ctr);
}

// Every packet takes the next count; DTOs dropped on the way took theirs before.
uint16_t nextCtr(xcpEthCtx* c) {
    if (c->dtoLost.load(std::memory_order_relaxed))
        c->ctr = static_cast<uint16_t>(c->ctr + c->dtoLost.exchange(0, std::memory_order_relaxed));
    return c->ctr++;
}

// `guard` is the text's own: failed DTOs and failed responses do not silence each other.
bool sendDatagram(xcpEthCtx* c, const uint8_t* data, uint32_t n, const char* who,
                  std::atomic<uint8_t>& guard) {
    if (!c->hasPeer) return false;
    const ssize_t sent = sendto(c->sock, data, n, MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&c->peer), sizeof c->peer);
    if (sent == static_cast<ssize_t>(n)) return true;
    const int e = errno;
    if (syslogx_floodcheck(&guard))
        syslogx(LOG3_ERR, "%s: sendto() failed with count %ld and error %s", who, static_cast<long>(sent),
                std::strerror(e));
    return false;
}

void sendPacked(xcpEthCtx* c) {
    static std::atomic<uint8_t> guard{0};
    sendDatagram(c, c->pack, c->packed, "xcpEthTxFrameDTO()", guard);
    c->packed = 0;
    c->holding.store(false, std::memory_order_relaxed);
}

// The frames waiting in the DTO buffer into datagrams: each frame takes its counter, a datagram
// leaves when the next frame would not fit or no frame could join it. What is left waits for more
// frames, a response or the tick.
void packDtos(xcpEthCtx* c) {
    const uint32_t head = c->dtoHead.load(std::memory_order_acquire);
    for (uint32_t at = c->dtoTail.load(std::memory_order_relaxed); at != head;) {
        const uint32_t room = XCP_DTO_BUFFER - at % XCP_DTO_BUFFER;
        uint8_t* f = c->dto + at % XCP_DTO_BUFFER;
        const uint32_t len = room < XCP_FRAME_HEADER ? 0 : bytes::get_le16(f);
        if (len == 0) { // the next cycle starts at the beginning
            at += room;
            continue;
        }
        const uint32_t n = XCP_FRAME_HEADER + len;
        if (c->packed && c->packed + n > XCP_DTO_PACK_LIMIT) sendPacked(c);
        putFrameHeader(f, len, nextCtr(c));
        std::memcpy(c->pack + c->packed, f, n);
        c->packed += n, at += n;
        c->holding.store(true, std::memory_order_relaxed);
        c->dtoTail.store(at, std::memory_order_release);
        if (c->packed + XCP_FRAME_HEADER + XCP_ODT_HEADER > XCP_DTO_PACK_LIMIT) sendPacked(c);
    }
}

void xcpEthTxTask(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    xcpTxItem it;
    static std::atomic<uint8_t> ctoGuard{0};
    for (;;) {
        if (msgQReceive(cp->txQueue, &it, sizeof it, WAIT_FOREVER) == ERROR) {
            if (c->stopping) return;
            SYSLOGX_GUARDED(LOG_ERR, "xcpEthDTOTask(): _msgq_receive() result: %s", std::strerror(errno));
            taskDelay(1);
            continue;
        }
        switch (it.kind) {
        case XCP_TX_CTO:
            // The DTOs counted before it leave before it, so the master sees the counter rise.
            if (c->packed) sendPacked(c);
            putFrameHeader(it.header, it.length, nextCtr(c));
            sendDatagram(c, it.header, it.length + XCP_FRAME_HEADER, "xcpEthTxFrameCTO()", ctoGuard);
            break;
        case XCP_TX_DTO: {
            // Frames stored after this take another item. A slow event's frames, once in sight,
            // leave at once with what waits before them.
            c->dtoQueued.exchange(false, std::memory_order_acq_rel);
            const bool leave = c->dtoLeave.exchange(false, std::memory_order_acquire);
            packDtos(c);
            if (leave && c->packed) sendPacked(c);
            break;
        }
        case XCP_TX_TICK:
            c->tickQueued.store(false, std::memory_order_relaxed);
            [[fallthrough]];
        case XCP_TX_FLUSH:
            // Frames whose queue item a full queue refused are taken along.
            packDtos(c);
            if (c->packed) sendPacked(c);
            break;
        case XCP_TX_RESET:
            // What the last session counted goes to its tool.
            if (c->packed) sendPacked(c);
            c->ctr = 1, c->dtoLost = 0;
            std::memcpy(&c->peer, it.packet, sizeof c->peer);
            c->hasPeer = true;
            break;
        default: // XCP_TX_STOP
            if (c->packed) sendPacked(c);
            return;
        }
    }
}

// ---- receive -----------------------------------------------------------------------------

bool samePeer(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void receiveAll(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    uint8_t buf[XCP_MAX_DATAGRAM_RX];
    for (;;) {
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        // A longer datagram is cut: only its first packet counts anyway.
        const ssize_t n =
            recvfrom(c->sock, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                SYSLOGX_GUARDED(LOG3_ERR, "xcpEthTask(): Error receiving from XCP socket");
            return;
        }
        if (c->stopping) return;
        xcpEthDatagram(cp, buf, static_cast<uint32_t>(n), &from);
    }
}

void startTxTask(xcpCp* cp) {
    char name[32];
    std::snprintf(name, sizeof name, "r_xcpEthDTO%u", static_cast<unsigned>(cp->number));
    const TASK_ID t = taskSpawn(
        name, XCP_TASK_PRIORITY, VX_FP_TASK, XCP_TASK_STACK,
        [](intptr_t a, intptr_t, intptr_t, intptr_t) { xcpEthTxTask(reinterpret_cast<xcpCp*>(a)); },
        reinterpret_cast<intptr_t>(cp));
    if (t == TASK_ID_NULL) {
        syslogx(LOG_ERR, "xcpEthInit(): Failed to create xcpEthDTOTask");
        return;
    }
    cp->eth->txTask = t;
    if (taskCpuAffinitySet(t, 1u << XCP_TASK_CORE) != OK)
        syslogx(LOG_ERR, "xcpEthInit(): Failed set affinity of xcpEthDTOTask");
    else
        syslogx(LOG_INFO, "xcpEthInit(): Set Task %s to Core#%d", name, XCP_TASK_CORE);
}

void xcpEthTask(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    const int fd = xcpSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        syslogx(LOG3_ERR, "xcpEthTask(): Failed to create datagram socket");
        return;
    }
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        syslogx(LOG2_ERR, "xcpEthTask: Setting Rx socket reuse port option failed (%s)",
                std::strerror(errno));
        xcpSocket_close(fd);
        return;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&c->local), sizeof c->local) != 0) {
        syslogx(LOG3_ERR, "xcpEthTask(): Failed to bind datagram (%s)", std::strerror(errno));
        xcpSocket_close(fd);
        return;
    }
    c->sock = fd;
    c->hasRxPeer = false;
    if (c->stopping) return;
    startTxTask(cp);
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        FD_SET(c->wakeFd, &rd);
        int r;
        {
            OsExternalWait wait;
            r = select((fd > c->wakeFd ? fd : c->wakeFd) + 1, &rd, nullptr, nullptr, nullptr);
        }
        // Shutdown wakes the select by shutting the socket down.
        if (c->stopping || xcpSocket_isShutdown()) return;
        if (r < 0) {
            if (errno == EINTR) continue;
            SYSLOGX_GUARDED(LOG3_ERR, "xcpEthTask(): Error on select() [%u]", static_cast<unsigned>(errno));
            taskDelay(1);
            continue;
        }
        if (FD_ISSET(c->wakeFd, &rd)) {
            uint64_t v;
            if (read(c->wakeFd, &v, sizeof v) < 0 && errno != EAGAIN)
                SYSLOGX_GUARDED(LOG3_ERR, "xcpEthTask(): Error on select() [%u]",
                                static_cast<unsigned>(errno));
        }
        xcpCommandProcessorIdle(cp);
        if (FD_ISSET(fd, &rd)) receiveAll(cp);
    }
}

// Without its queue (it could not be made) the transport has nothing to tell the transmit task.
bool queueItem(xcpCp* cp, xcpTxItem& item, std::atomic<uint8_t>& guard, const char* failText,
               int ticks = NO_WAIT) {
    return !cp->txQueue || xcpTxFrame(cp, &item, guard, failText, ticks);
}

void stopTxTask(xcpCp* cp) {
    const TASK_ID t = cp->eth->txTask.exchange(TASK_ID_NULL);
    if (t == TASK_ID_NULL) return;
    xcpTxItem stop{};
    stop.kind = XCP_TX_STOP;
    // What is queued leaves first, the RESET event of the shutdown among it.
    static std::atomic<uint8_t> guard{0};
    if (queueItem(cp, stop, guard, "xcpEthStop(): msgQSend() error", sysClkRateGet()))
        taskWaitExit(t, sysClkRateGet());
}

} // namespace

int xcpEthInit(xcpCp* cp, uint32_t address, uint16_t port) {
    if (!registryMutex) registryMutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!registryMutex) syslogx(LOG_ERR, "xcpSocket(): semMCreate failed - errno %s", std::strerror(errno));
    auto* c = new (std::nothrow) xcpEthCtx;
    if (!c) {
        syslogx(LOG_ERR, "xcpEthInit(): _mem_alloc_zero() failed");
        return 1;
    }
    c->local.sin_family = AF_INET;
    c->local.sin_port = htons(port);
    c->local.sin_addr.s_addr = htonl(address);
    c->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    cp->eth = c;
    char name[32];
    std::snprintf(name, sizeof name, "r_xcpEth%u", static_cast<unsigned>(cp->number));
    const TASK_ID t =
        c->wakeFd < 0
            ? TASK_ID_NULL
            : taskSpawn(
                  name, XCP_TASK_PRIORITY, VX_FP_TASK, XCP_TASK_STACK,
                  [](intptr_t a, intptr_t, intptr_t, intptr_t) { xcpEthTask(reinterpret_cast<xcpCp*>(a)); },
                  reinterpret_cast<intptr_t>(cp));
    if (t == TASK_ID_NULL) {
        syslogx(LOG_ERR, "xcpEthInit(): Failed to start xcpEthTask");
        return 1;
    }
    c->rxTask = t;
    if (taskCpuAffinitySet(t, 1u << XCP_TASK_CORE) != OK) {
        syslogx(LOG_ERR, "xcpEthInit(): Failed set affinity of %s", name);
        return 1;
    }
    syslogx(LOG_INFO, "xcpEthInit(): Set Task %s to Core#%d", name, XCP_TASK_CORE);
    return 0;
}

void xcpEthDatagram(xcpCp* cp, const uint8_t* data, uint32_t n, const void* from) {
    xcpEthCtx* c = cp->eth;
    if (n < XCP_FRAME_HEADER) return;
    const uint32_t len = bytes::get_le16(data);
    if (len < 1 || len > n - XCP_FRAME_HEADER) return; // LEN must fit what arrived
    sockaddr_in sender;
    std::memcpy(&sender, from, sizeof sender);
    // Only the connected tool is heard, unless another one connects.
    if (cp->state == 2 && c->hasRxPeer && !samePeer(sender, c->rxPeer) &&
        data[XCP_FRAME_HEADER] != XCP_CMD_CONNECT)
        return;
    c->lastRxCtr = bytes::get_le16(data + 2);
    c->sender = sender;
    xcpCommandProcessor(cp, data + XCP_FRAME_HEADER, len);
}

void xcpEthReset(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    c->rxPeer = c->sender, c->hasRxPeer = true;
    xcpTxItem item{};
    item.kind = XCP_TX_RESET;
    std::memcpy(item.packet, &c->sender, sizeof c->sender);
    static std::atomic<uint8_t> guard{0};
    queueItem(cp, item, guard, "xcpEthReset(): msgQSend() error");
}

void xcpEthDtoFlush(xcpCp* cp) {
    xcpTxItem item{};
    item.kind = XCP_TX_FLUSH;
    static std::atomic<uint8_t> guard{0};
    queueItem(cp, item, guard, "xcpEthDtoFlush(): msgQSend() error");
}

uint8_t* xcpEthDtoSpace(xcpCp* cp, uint32_t bytes) {
    xcpEthCtx* c = cp->eth;
    if (!c || bytes > XCP_DTO_BUFFER) {
        errno = ENOBUFS;
        return nullptr;
    }
    const uint32_t head = c->dtoHead.load(std::memory_order_relaxed);
    const uint32_t room = XCP_DTO_BUFFER - head % XCP_DTO_BUFFER;
    const uint32_t at = bytes > room ? head + room : head;
    if (at + bytes - c->dtoTail.load(std::memory_order_acquire) > XCP_DTO_BUFFER) {
        errno = ENOBUFS;
        return nullptr;
    }
    if (at != head && room >= XCP_FRAME_HEADER) std::memset(c->dto + head % XCP_DTO_BUFFER, 0, 2);
    c->dtoStart = at;
    return c->dto + at % XCP_DTO_BUFFER;
}

void xcpEthDtoSend(xcpCp* cp, uint32_t bytes, bool leave) {
    xcpEthCtx* c = cp->eth;
    c->dtoHead.store(c->dtoStart + bytes, std::memory_order_release);
    // Told before the item is claimed: the item that sees it sees these frames.
    if (leave) c->dtoLeave.store(true, std::memory_order_release);
    if (c->dtoQueued.exchange(true, std::memory_order_acq_rel)) return; // the item waiting takes these too
    xcpTxItem item;
    item.kind = XCP_TX_DTO, item.length = 0;
    // A full queue: the frames go with the next cycle's item or the tick.
    if (msgQSend(cp->txQueue, &item, offsetof(xcpTxItem, packet), NO_WAIT, MSG_PRI_NORMAL) != OK)
        c->dtoQueued.store(false);
}

void xcpEthDtoLost(xcpCp* cp, uint32_t count) {
    if (cp->eth) cp->eth->dtoLost.fetch_add(count, std::memory_order_relaxed);
}

void xcpEthTick(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    if (!c || !cp->txQueue) return;
    // The tail read first: once it has passed a frame, holding tells that frame waits.
    const bool buffered =
        c->dtoTail.load(std::memory_order_acquire) != c->dtoHead.load(std::memory_order_acquire);
    if (!(buffered || c->holding.load(std::memory_order_relaxed)) || c->tickQueued.exchange(true)) return;
    xcpTxItem item;
    item.kind = XCP_TX_TICK, item.length = 0;
    // A full queue wakes the sender anyway, and the next tick tries again: nothing to tell.
    if (msgQSend(cp->txQueue, &item, offsetof(xcpTxItem, packet), NO_WAIT, MSG_PRI_NORMAL) != OK)
        c->tickQueued.store(false);
}

void xcpEthWake(xcpCp* cp) {
    const uint64_t one = 1;
    if (cp->eth && cp->eth->wakeFd >= 0 && write(cp->eth->wakeFd, &one, sizeof one) < 0)
        SYSLOGX_GUARDED(LOG_ERR, "xcpEthWake(): %s", std::strerror(errno));
}

void xcpEthStop(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    if (!c) return;
    c->stopping = true;
    stopTxTask(cp);
    // Closing a socket does not wake a select on it; shutting it down does.
    if (c->sock >= 0) ::shutdown(c->sock, SHUT_RDWR);
    xcpEthWake(cp);
    const TASK_ID rx = c->rxTask.exchange(TASK_ID_NULL);
    if (rx != TASK_ID_NULL) taskWaitExit(rx, sysClkRateGet());
    stopTxTask(cp); // spawned while the receive task was still starting
    c->sock = -1;   // closed with the registry's other sockets
}

void xcpEthFree(xcpCp* cp) {
    xcpEthCtx* c = cp->eth;
    if (!c) return;
    if (c->wakeFd >= 0) ::close(c->wakeFd);
    delete c;
    cp->eth = nullptr;
}

// ---- socket registry ------------------------------------------------------------------------

int xcpSocket_get(int domain, int type, int protocol) {
    if (semTake(registryMutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "xcpSocket::get_socket(): could not get mutex - errno %s", std::strerror(errno));
        return -1;
    }
    int fd = -1;
    if (socketCount == XCP_MAX_SOCKETS) {
        syslogx(LOG_ERR, "xcpSocket::get_socket(): maximum socket reached, no socket given");
    } else {
        fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
        if (fd >= 0) sockets[socketCount++] = fd;
    }
    semGive(registryMutex);
    return fd;
}

int xcpSocket_accept(int listening, sockaddr* address, socklen_t* length) {
    int fd;
    {
        OsExternalWait wait;
        fd = ::accept4(listening, address, length, SOCK_CLOEXEC);
    }
    if (fd < 0) return -1;
    if (semTake(registryMutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "xcpSocket::accept_socket(): could not get mutex - errno %s", std::strerror(errno));
        ::close(fd);
        return -1;
    }
    const bool full = socketCount == XCP_MAX_SOCKETS;
    if (!full) sockets[socketCount++] = fd;
    semGive(registryMutex);
    if (!full) return fd;
    syslogx(LOG_ERR, "xcpSocket::accept_socket(): maximum socket reached, no socket added to the array");
    ::close(fd);
    errno = 35; // the code the unit's callers know for "no room"
    return -1;
}

int xcpSocket_close(int fd) {
    if (semTake(registryMutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "xcpSocket::close_socket(): could not get mutex - errno %s", std::strerror(errno));
        return -1;
    }
    int i = 0;
    while (i < socketCount && sockets[i] != fd)
        ++i;
    if (i == socketCount) {
        semGive(registryMutex);
        syslogx(LOG3_DEBUG, "xcpSocket::close_socket(%u): invalid file descriptor",
                static_cast<unsigned>(fd));
        errno = EBADF;
        return -1;
    }
    sockets[i] = sockets[--socketCount];
    semGive(registryMutex);
    syslogx(LOG3_DEBUG, "xcpSocket::close_socket(%u)", static_cast<unsigned>(fd));
    return ::close(fd);
}

bool xcpSocket_isShutdown() {
    return registryShutdown;
}

void xcpSocket_shutdown() {
    registryShutdown = true;
    if (!registryMutex) return;
    if (semTake(registryMutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "xcpSocket shutdown - could not get mutex (%s)", std::strerror(errno));
        return;
    }
    if (socketCount)
        syslogx(LOG3_DEBUG, "xcpSocket shutdown - closing %u pending sockets",
                static_cast<unsigned>(socketCount));
    while (socketCount)
        ::close(sockets[--socketCount]);
    semDelete(registryMutex);
    registryMutex = nullptr;
}

void xcpSocket_reset() {
    xcpSocket_shutdown();
    registryShutdown = false;
}
