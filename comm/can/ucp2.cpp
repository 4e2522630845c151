#include "comm/can/ucp2.h"

#include "comm/can/can.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"

#include <cstring>

namespace {

struct Buffer {
    uint32_t id;
    uint8_t length;
    uint8_t dlc;
    uint8_t format;
    uint8_t data[64];
    uint8_t isNew;
};

Buffer buffers[UCP2_BUFFERS];
int nextIndex = 0;
SEM_ID mutex = nullptr;

int registerRx(int intf, uint8_t format, uint32_t id, bool fd) {
    if (intf != 1 && intf != 2) return -1;
    if (nextIndex >= UCP2_BUFFERS) {
        syslogx(LOG_ERR, "ucp2RegisterRxMsg(): Too many UCP Messages");
        return -1;
    }
    const int index = nextIndex++;
    if (canRegisterRxFunc(static_cast<uint8_t>(intf - 1), format, id, ucp2RxMsgProcessor,
                          static_cast<uintptr_t>(index)) != 0) {
        if (fd)
            syslogx(LOG_ERR, "ucp2RegisterRxMsgFD(): Error registering CAN FD MESSAGE IF:%d MSG:%d", intf,
                    static_cast<int>(id));
        else
            syslogx(LOG_ERR, "ucp2RegisterRxMsg(): Error registering CAN MESSAGE IF:%d MSG:%d", intf,
                    static_cast<int>(id));
    }
    return index;
}

// Copies out under the mutex and fetches-and-clears the flag; an index outside the buffers
// clears the data.
bool read(int index, uint8_t* data, size_t n, uint8_t* isNew) {
    if (index < 0 || index >= UCP2_BUFFERS) {
        std::memset(data, 0, n);
        return false;
    }
    Buffer& b = buffers[index];
    ucpMutexTake();
    std::memcpy(data, b.data, n);
    if (isNew) *isNew = b.isNew;
    b.isNew = 0;
    ucpMutexGive();
    return true;
}

} // namespace

int ucp2ActivateMutex() {
    if (!mutex) mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!mutex) {
        syslogx(LOG_ALERT, "Activation of UCP Mutex failed, in multicore, CAN transfers are not protected");
        return 0;
    }
    return 1;
}

int ucp2RegisterRxMsg(int intf, uint8_t format, uint32_t id) {
    return registerRx(intf, format, id, false);
}
int ucp2RegisterRxMsgFD(int intf, uint8_t format, uint32_t id) {
    return registerRx(intf, format, id, true);
}
int ucp2RegisterTxMsg(...) {
    return 0;
}
int ucp2RegisterTxMsgFD(...) {
    return 0;
}

void ucp2SendMsg(int, int intf, const ucp2Msg* m) {
    if (intf == 1 || intf == 2)
        canSend(static_cast<uint8_t>(intf - 1), m->id, m->format, m->dlc, m->data, 0, 0);
}

void ucp2SendMsgFD(int, int intf, const ucp2MsgFD* m) {
    if (intf == 1 || intf == 2)
        canSend(static_cast<uint8_t>(intf - 1), m->id, m->format, m->dlc, m->data, m->fd, m->flags);
}

void ucp2GetMsg(int index, ucp2Msg* m, uint8_t* isNew, int) {
    if (!read(index, m->data, sizeof m->data, isNew)) return;
    const Buffer& b = buffers[index];
    m->dlc = b.dlc;
    m->id = b.id;
    m->format = b.format;
}

void ucp2GetMsgFD(int index, ucp2MsgFD* m, uint8_t* isNew, int) {
    const size_t n = index >= 0 && index < UCP2_BUFFERS ? buffers[index].length : sizeof m->data;
    if (!read(index, m->data, n, isNew)) return;
    const Buffer& b = buffers[index];
    m->fd = 1;
    m->format = b.format;
    m->length = b.length;
    m->dlc = b.dlc;
    m->id = b.id;
}

void ucp2RxMsgProcessor(uintptr_t index, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data) {
    if (index >= UCP2_BUFFERS) return;
    Buffer& b = buffers[index];
    b.length = canDLC2length(dlc);
    b.dlc = static_cast<uint8_t>(dlc);
    b.id = id;
    b.format = format;
    ucpMutexTake();
    std::memcpy(b.data, data, b.length);
    b.isNew = 1;
    ucpMutexGive();
}

void ucpMutexTake() {
    if (mutex && semTake(mutex, WAIT_FOREVER) != OK) SYSLOGX_GUARDED(LOG_ERR, "Unable to take UCP Mutex");
}

void ucpMutexGive() {
    if (mutex && semGive(mutex) != OK) SYSLOGX_GUARDED(LOG_ERR, "Unable to give UCP Mutex");
}

void ucp2_reset() {
    std::memset(buffers, 0, sizeof buffers);
    nextIndex = 0;
}
