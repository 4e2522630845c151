#include "services/applcomm/applcomm.h"

#include "platform/os/os.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// The CAN driver client, once it runs, takes the node states (it sits above this module).
std::atomic<void (*)(int, uint8_t)> canStateSink{nullptr};

struct State {
    SEM_ID shmSem = nullptr;    // "/ApplComSem", owned by the system process
    SEM_ID accessSem = nullptr; // local copy and blink word
    uint8_t* shm = nullptr;
    uint8_t copy[APPLCOMM_BLOCK_SIZE] = {};
    uint32_t blink = 0;
    uint8_t prevFlags[6] = {}; // offsets 70 to 75 as last handled
    int canDelay = APPLCOMM_CAN_DELAY_CYCLES;
};

State st;

template <typename T> T field(size_t offset) {
    T v;
    std::memcpy(&v, st.copy + offset, sizeof v);
    return v;
}
// `count` fields from `offset` into a signal array, each element stored whole (it is sampled
// meanwhile).
template <typename T, typename A> void fields(A signal, size_t offset, int count) {
    for (int i = 0; i < count; ++i)
        signal[i] = field<T>(offset + sizeof(T) * static_cast<size_t>(i));
}

// Copies the block in and the blink word out, under both locks.
void exchange() {
    if (!st.shmSem || !st.shm) return;
    if (semTake(st.accessSem, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "applComm_10ms: could not take access semaphore (%s)", std::strerror(errno));
        return;
    }
    if (semTake(st.shmSem, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "applComm_10ms: could not take shared memory semaphore (%s)",
                        std::strerror(errno));
        // Keeping the access mutex here would block the shutdown's blink pattern for ever.
        semGive(st.accessSem);
        return;
    }
    std::memcpy(st.copy, st.shm, APPLCOMM_BLOCK_SIZE);
    std::memcpy(st.shm + APPLCOMM_BLINK_OFFSET, &st.blink, sizeof st.blink);
    if (semGive(st.shmSem) != OK)
        SYSLOGX_GUARDED(LOG_ERR, "applComm_10ms: could not give shared memory semaphore (%s)",
                        std::strerror(errno));
    if (semGive(st.accessSem) != OK)
        SYSLOGX_GUARDED(LOG_ERR, "applComm_10ms: could not give access semaphore (%s)", std::strerror(errno));
}

void publish() {
    usb_portsc1 = field<uint32_t>(0);
    usb_intr_status = field<uint32_t>(4);
    usb_reset_endp_err = field<uint16_t>(8);
    usb_errint_cnt = field<uint16_t>(10);
    usb_scsi_err = field<uint16_t>(12);
    usb_urb_err = field<uint16_t>(14);
    usb_stall_cnt = field<uint16_t>(16);
    usb_mount_err = field<uint16_t>(18);
    usb_mount_ok = field<uint16_t>(20);
    usb_msc_err = field<uint16_t>(22);
    usb_bbb_err = field<uint16_t>(24);
    usb_xbd_err = field<uint16_t>(26);
    usb_ehcd_err = field<uint16_t>(28);
    usb_einit_err = field<uint16_t>(30);
    usb_trans_err = field<uint16_t>(32);
    usb_util_err = field<uint16_t>(34);
    usb_reset_cnt = field<uint16_t>(36);
    usb_reset_mask = field<uint16_t>(38);
    usb_phy_linestate = field<uint8_t>(40);
    seram_word::copy(usb_serial, st.copy + 44, 20, true);
    usb_mediastate = static_cast<uint8_t>(field<uint32_t>(APPLCOMM_OFS_USB_MEDIASTATE));
    usb_errcnt = field<uint16_t>(APPLCOMM_OFS_USB_ERRCNT);
    fields<float>(cpu_load, 76, 2);
    fields<float>(cpu_load_10ms, 84, 2);
    fields<float>(cpu_load_100ms, 92, 2);
    prf_timestamp = field<uint32_t>(100);
    prf_baserate = field<uint32_t>(104);
    fields<uint32_t>(prf_mon_meas_tid, 108, 4);
    fields<float>(cpu_task_load, 124, 4);
    ftp_UserLoggedIn = field<uint32_t>(140);
    card_part1_size = field<uint32_t>(148);
    card_part2_size = field<uint32_t>(152);
}

// A flag that changed sets (nonzero) or clears (zero) its path's entry.
void flag(size_t offset, int path, int type) {
    uint8_t& prev = st.prevFlags[offset - APPLCOMM_OFS_SYS_MEDIA_ERR];
    const uint8_t now = st.copy[offset];
    if (now == prev) return;
    if (now)
        error_mgr_set(path, type, 0);
    else
        error_mgr_clear(path);
    prev = now;
}

void canNode(int node) {
    const size_t offset = APPLCOMM_OFS_CAN1_STATE + static_cast<size_t>(node);
    uint8_t& prev = st.prevFlags[offset - APPLCOMM_OFS_SYS_MEDIA_ERR];
    const uint8_t state = st.copy[offset];
    if (state != prev) {
        const int path = ERROR_MGR_PATH_CAN01 + node;
        if (state == 0) {
            error_mgr_clear(path);
        } else if (state <= 5) {
            error_mgr_set(path, ERROR_MGR_ERR_TYPE_WARNING - 1 + state, 0); // "Warning" to "CANID(Rx) ..."
        } else {
            // Beyond the CAN types of the error table: an entry would name another error.
            SYSLOGX_GUARDED(LOG_ERR, "applComm_10ms: CAN node %d reports unknown state %u, ignored", node + 1,
                            static_cast<unsigned>(state));
        }
        prev = state;
    }
    if (auto sink = canStateSink.load(std::memory_order_acquire)) sink(node, state);
}

void flags() {
    flag(APPLCOMM_OFS_USB_MEDIA_ERR, ERROR_MGR_PATH_USB, ERROR_MGR_ERR_TYPE_MEDIA_HANDLING);
    flag(APPLCOMM_OFS_USB_HW_INCOMPATIBLE, ERROR_MGR_PATH_USB, ERROR_MGR_ERR_TYPE_HW_NOT_COMPATIBLE);
    flag(APPLCOMM_OFS_SYS_MEDIA_ERR, ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_MEDIA_HANDLING);
    flag(APPLCOMM_OFS_FTP_ERR, ERROR_MGR_PATH_FTP, ERROR_MGR_ERR_TYPE_MAX);
    if (st.canDelay > 0) st.canDelay--;
    if (st.canDelay > 0) return;
    canNode(0);
    canNode(1);
}

} // namespace

uint8_t applComm_ini() {
    uint8_t ok = 1;
    // The semaphore failures of the start go to the second band, not with the usual errors.
    st.shmSem = semOpen(APPLCOMM_SEM_NAME, SEM_TYPE_BINARY, 0, 0, 0);
    if (!st.shmSem) {
        syslogx(LOG2_ERR, "applComm_ini(): semOpen failed : %s", std::strerror(errno));
        ok = 0;
    }
    if (!st.accessSem) st.accessSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!st.accessSem) {
        syslogx(LOG2_ERR, "applComm_ini(): semMCreate failed : %s", std::strerror(errno));
        ok = 0;
    }
    // The object must exist already: only the system process creates it.
    if (!shmMap(APPLCOMM_SHM_NAME, 0, false)) {
        syslogx(LOG_ERR, "applComm: could not open shared memory (%s)", std::strerror(errno));
        return 0;
    }
    st.shm = static_cast<uint8_t*>(shmMap(APPLCOMM_SHM_NAME, APPLCOMM_SHM_SIZE, false));
    if (!st.shm) {
        syslogx(LOG_ERR, "applComm: could not map shared memory (%s)", std::strerror(errno));
        return 0;
    }
    if (ok) exchange();
    return ok;
}

void applComm_10ms() {
    exchange();
    publish();
    flags();
}

void applComm_setBlink(uint8_t appId, uint32_t pattern) {
    if (appId != 0) {
        SYSLOGX_GUARDED(LOG_ERR, "applComm_setBlink() wrong appID %d", appId);
        return;
    }
    // Before applComm_ini there is no mutex and no raster that could copy the word.
    const bool locked = st.accessSem && semTake(st.accessSem, WAIT_FOREVER) == OK;
    if (st.blink != APPLCOMM_BLINK_SHUTDOWN) st.blink = pattern;
    if (locked) semGive(st.accessSem);
}

uint8_t applComm_getLaptrigPID() {
    return st.copy[APPLCOMM_OFS_LTM_PID];
}
uint8_t applComm_getFuelconsPID() {
    return st.copy[APPLCOMM_OFS_FCM_PID];
}
uint32_t applComm_getCardSize() {
    return field<uint32_t>(APPLCOMM_OFS_CARD_SIZE);
}
uint32_t applComm_getUsb_mediastate() {
    return field<uint32_t>(APPLCOMM_OFS_USB_MEDIASTATE);
}
uint16_t applComm_getUsb_errcnt() {
    return field<uint16_t>(APPLCOMM_OFS_USB_ERRCNT);
}

void applComm_setCanStateSink(void (*sink)(int node, uint8_t state)) {
    canStateSink.store(sink, std::memory_order_release);
}

void applComm_reset() {
    SEM_ID access = st.accessSem;
    st = State{};
    st.accessSem = access; // a mutex the tests may still hold stays valid
    canStateSink = nullptr;
}
