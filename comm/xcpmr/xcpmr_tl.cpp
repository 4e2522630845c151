// XCP master transports: CAN frames of at most 8 bytes, and XCP on Ethernet over UDP with its
// {LEN, CTR} header, from a socket connected to the slave.
#include "comm/can/can.h"
#include "comm/xcpmr/xcpmr_private.h"
#include "services/bytes/bytes.h"
#include "services/errmgr/errmgr.h"
#include "services/fileutil/fileutil.h"
#include "services/syslog/syslog.h"
#include "services/timemod/timemod.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

namespace xmr {

namespace {

constexpr int ERR_PATH_CAN = 423, ERR_TYPE_CANID = 29;

void RxHandler(uintptr_t user, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data);
void DaqHandler(uintptr_t user, uint32_t, uint8_t, uint32_t dlc, const uint8_t* data) {
    Inst* in = reinterpret_cast<Inst*>(user);
    const uint8_t pid = data[0];
    if (pid >= 0xFC || in->parked.load() || !running(in) || (in->keyByte.load() >> 6) != 0) return;
    const uint32_t m = pid < PID_MAP ? in->pidMap[pid].load() : 0;
    Daq* d = m >> 31 && (m >> 8 & 0xFFFF) < in->nDaq ? &in->daqs[m >> 8 & 0xFFFF] : nullptr;
    if (!d) {
        SYSLOGX_GUARDED(LOG_ERR, "CCPMR: received ODT with NULL handle");
        return;
    }
    const uint32_t len = canDLC2length(dlc);
    postDto(in, d, m & 0xFF, time_getTimestamp(), data + 1, len > 8 ? 7 : (len ? len - 1 : 0));
}

void RxHandler(uintptr_t user, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data) {
    Inst* in = reinterpret_cast<Inst*>(user);
    if (in->parked.load()) return;
    if (data[0] < 0xFC) return DaqHandler(user, id, format, dlc, data);
    postResponse(in, data, 8, "xcpmr_RxHandler(): msgQSend(CTO) error: %s");
}

// Registers `id` once per instance.
int canRegisterRxFunc(int32_t* list, uint8_t node, uint32_t id, canRxFunc fn, Inst* in) {
    int free = -1;
    for (int i = 0; i < RX_IDS; ++i) {
        if (list[i] == static_cast<int32_t>(id)) return 0;
        if (list[i] == -1 && free < 0) free = i;
    }
    if (free >= 0) list[free] = static_cast<int32_t>(id);
    const int r =
        ::canRegisterRxFunc(node, mr::canFormat(id), mr::canId(id), fn, reinterpret_cast<uintptr_t>(in));
    if (r != 0) error_mgr_set(ERR_PATH_CAN + node, ERR_TYPE_CANID, 0);
    return r;
}

void rxTask(intptr_t arg, intptr_t, intptr_t, intptr_t) {
    Inst* in = reinterpret_cast<Inst*>(arg);
    for (;;) {
        const uint8_t* p = nullptr;
        const int n = UdpReceivePacket(in, &p);
        if (taskDeleteRequested()) return;
        if (n < 0) {
            SYSLOGX_GUARDED(LOG_ERR, "xcpmr_handler_ini; xcpmr_UdpReceivePacket ERROR");
            taskDelay(1); // a refused port reports once per datagram; never spin on it
            continue;
        }
        UdpHandlePacket(in, p, static_cast<uint32_t>(n));
    }
}

} // namespace

int CanInit(Inst* in) {
    CanTl* c = in->can;
    for (int32_t& id : c->rx)
        id = -1;
    if (canRegisterRxFunc(c->rx, c->node, c->respId, RxHandler, in) != 0) {
        syslogx(LOG_ERR, "XCPMR: cannot bind XCP CAN-ID(RX) xcp master");
        return -1;
    }
    if ((c->tx = canRegisterTxFunc(c->node, mr::canFormat(c->cmdId), mr::canId(c->cmdId), 0, 0)) < 0) {
        syslogx(LOG_ERR, "XCPMR: cannot bind CCP CAN-ID(TX) ccp master");
        return -1;
    }
    return 0;
}

int CanDaqInit(Inst* in, Daq* d) {
    // The response identifier also carries DTOs: its handler passes them on.
    if (canRegisterRxFunc(in->can->rx, in->can->node, d->dto, DaqHandler, in) != 0) {
        syslogx(LOG_ERR, "XCPMR: cannot bind XCP CAN-ID(DAQ) xcp master");
        return -1;
    }
    return 0;
}

int CanSendPacket(Inst* in, const uint8_t* p, uint32_t len) {
    uint8_t f[8] = {};
    std::memcpy(f, p, len < 8 ? len : 8);
    canTxMsg(in->can->tx, 8, f);
    return 0;
}

int UdpInit(Inst* in, uint32_t address, uint16_t port) {
    if (!(in->udp = new (std::nothrow) UdpTl{})) {
        syslogx(LOG_ERR, "xcpmr_UdpInit(): calloc() failed");
        return -1;
    }
    UdpTl* u = in->udp;
    add_subnet(address);
    u->slave.sin_family = AF_INET;
    u->slave.sin_port = htons(port);
    u->slave.sin_addr.s_addr = htonl(address);
    u->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // Connected: datagrams of anyone but the slave never reach the receive task.
    if (u->fd < 0 || connect(u->fd, reinterpret_cast<const sockaddr*>(&u->slave), sizeof u->slave) != 0) {
        syslogx(LOG3_ERR, "xcpmr_UdpInit(): Failed to create datagram socket");
        if (u->fd >= 0) close(u->fd);
        u->fd = -1;
        return -1;
    }
    return 0;
}

int UdpSendPacket(Inst* in, const uint8_t* p, uint32_t len) {
    UdpTl* u = in->udp;
    uint8_t frame[4 + PACKET_MAX];
    if (len > PACKET_MAX) return -1;
    bytes::put_le16(frame, static_cast<uint16_t>(len));
    bytes::put_le16(frame + 2, u->sendCtr);
    std::memcpy(frame + 4, p, len);
    const ssize_t n = ::send(u->fd, frame, len + 4, MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(len + 4)) {
        SYSLOGX_GUARDED(LOG3_ERR, "xcpmr_UdpSendPacket(): send() failed with frameLen %ld and error %s",
                        static_cast<long>(len + 4), std::strerror(errno));
        return -1;
    }
    ++u->sendCtr;
    return 0;
}

void UdpHandlePacket(Inst* in, const uint8_t* p, uint32_t n) {
    if (n == 0) return;
    if (p[0] >= 0xFC) {
        postResponse(in, p, n, "xcpmrTplRxTask(): msgQSend(CTO) error: %s");
        return;
    }
    if (!running(in)) return;
    const uint8_t type = in->keyByte.load() >> 6;
    const uint32_t idLen = type == 0 ? 1 : type == 1 ? 2 : type == 2 ? 3 : 4;
    if (n < idLen) return;
    Daq* d = nullptr;
    uint32_t odt = 0;
    if (type == 0) {
        const uint32_t m = p[0] < PID_MAP ? in->pidMap[p[0]].load() : 0;
        if (m >> 31 && (m >> 8 & 0xFFFF) < in->nDaq) d = &in->daqs[m >> 8 & 0xFFFF], odt = m & 0xFF;
    } else {
        odt = p[0];
        d = daqByNumber(in, type == 1 ? p[1] : mr::get16(p + (type == 2 ? 1 : 2), in->bigEndian));
    }
    if (!d) {
        SYSLOGX_GUARDED(LOG_ERR, "CCPMR: received ODT with NULL handle");
        return;
    }
    uint32_t at = idLen, stamp = 0;
    if (odt == 0 && in->tsSize) {
        if (n < at + in->tsSize) return;
        const uint32_t ts = in->tsSize == 1   ? p[at]
                            : in->tsSize == 2 ? mr::get16(p + at, in->bigEndian)
                                              : mr::get32(p + at, in->bigEndian);
        at += in->tsSize;
        // double: a float would lose the 100 us steps once the product passes 2^24
        stamp = static_cast<uint32_t>(static_cast<int64_t>(slaveTime(ts, in->factor)) + in->offset.load());
    } else if (odt == 0) {
        stamp = time_getTimestamp();
    }
    postDto(in, d, odt, stamp, p + at, n - at);
}

int UdpReceivePacket(Inst* in, const uint8_t** packet) {
    UdpTl* u = in->udp;
    if (u->pos >= u->fill) {
        ssize_t n;
        {
            OsExternalWait wait;
            n = recv(u->fd, u->buf, sizeof u->buf, 0);
        }
        if (n < 0) {
            SYSLOGX_GUARDED(LOG3_ERR, "xcpmr_UdpReceivePacket(): recv() failed with error %s",
                            std::strerror(errno));
            return -1;
        }
        u->fill = static_cast<uint32_t>(n);
        u->pos = 0;
        if (n == 0) return 0;
    }
    return UdpNextPacket(u, packet);
}

int UdpNextPacket(UdpTl* u, const uint8_t** packet) {
    if (u->fill - u->pos < 4 || u->fill - u->pos - 4 < bytes::get_le16(u->buf + u->pos)) {
        u->pos = u->fill; // the rest of a damaged datagram
        SYSLOGX_GUARDED(LOG3_ERR, "xcpmr_UdpReceivePacket(): runt header");
        return -1;
    }
    const uint16_t len = bytes::get_le16(u->buf + u->pos);
    u->lastCtr = bytes::get_le16(u->buf + u->pos + 2);
    *packet = u->buf + u->pos + 4;
    u->pos += 4u + len;
    return len;
}

bool RxTaskCreate(Inst* in) {
    char name[16];
    std::snprintf(name, sizeof name, "r_xcpmrt%d", in->index);
    if ((in->rxTask = taskSpawn(name, 125, VX_FP_TASK, 500000, rxTask, reinterpret_cast<intptr_t>(in))) ==
        TASK_ID_NULL) {
        syslogx(LOG_ERR, "xcpmrTplRxTaskCreate(): instance %d: create %s failed", in->index, name);
        return false;
    }
    return true;
}

void UdpClose(Inst* in) {
    if (!in->udp) return;
    if (in->udp->fd >= 0) ::shutdown(in->udp->fd, SHUT_RDWR);
    if (in->rxTask) {
        taskDelete(in->rxTask);
        taskWaitExit(in->rxTask, WAIT_FOREVER);
        in->rxTask = TASK_ID_NULL;
    }
    if (in->udp->fd >= 0) close(in->udp->fd);
    delete in->udp;
    in->udp = nullptr;
}

} // namespace xmr
