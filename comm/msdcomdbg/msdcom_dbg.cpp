// Communication diagnostics: the transport's and the gateway's counters as signals, and the
// command round-trip time to one peer by echo requests.
#include "comm/msdcomdbg/msdcom_dbg.h"

#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "services/rtpman/rtpman.h"
#include "services/timemod/timemod.h"
#include "vyn/vartable.h"
#include "services/bytes/bytes.h"

#include <atomic>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;
constexpr int SLOTS = 100;
constexpr uint32_t FREE = 0, PENDING = 1, ANSWERED = 2;
constexpr uint16_t CMD_ECHO = 0x0105;

// Each slot is written by one side per state: the raster task makes it pending, the command
// task answers it, the raster task frees it again.
struct Ping {
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> sent;
    std::atomic<uint16_t> loop;
    std::atomic<uint16_t> rtt;
};
Ping pings[SLOTS];
int current = 0;
uint16_t loop = 0;
uint32_t calls = 0;
bool started = false;
std::atomic<uint32_t> routine{0};

// The signals of one watched peer; N is the digit that ends their names.
#define MSDCOM_PEER(N)                                                                                       \
    void peer##N(uint32_t pid) {                                                                             \
        Bc2DebugPid t{};                                                                                     \
        uint16_t g[19] = {};                                                                                 \
        if (pid) {                                                                                           \
            BC2_debugoutPID(pid, &t);                                                                        \
            gw_debugoutPID(static_cast<uint16_t>(pid), g);                                                   \
        }                                                                                                    \
        msdcom_dbg_bcRemSeqCnt_##N = t.remSeqCnt;                                                            \
        msdcom_dbg_cmdState_##N = t.cmdState;                                                                \
        msdcom_dbg_dataState_##N = t.dataState;                                                              \
        msdcom_cmdTxCnt_##N = t.cmdTxCnt;                                                                    \
        msdcom_cmdTxErr_##N = t.cmdTxErr;                                                                    \
        msdcom_cmdRxCnt_##N = t.cmdRxCnt;                                                                    \
        msdcom_cmdRxErr_##N = t.cmdRxErr;                                                                    \
        msdcom_dataTxCntOnline_##N = t.dataTxCntOnline;                                                      \
        msdcom_dataTxCntOffline_##N = t.dataTxCntOffline;                                                    \
        msdcom_dataTxerr_##N = t.dataTxErr;                                                                  \
        msdcom_dataRxCntOnline_##N = t.dataRxCntOnline;                                                      \
        msdcom_dataRxCntOffline_##N = t.dataRxCntOffline;                                                    \
        msdcom_dataRxErr_##N = t.dataRxErr;                                                                  \
        msdcom_remote_ver_##N = t.remoteVer;                                                                 \
        msdcom_gw_pid_state_##N = g[0];                                                                      \
        msdcom_gw_pid_state_req_##N = g[1];                                                                  \
        msdcom_gw_pid_state_run_##N = g[2];                                                                  \
        msdcom_gw_mlistCnt_##N = g[3];                                                                       \
        msdcom_gw_dataCntOnline_##N = g[4];                                                                  \
        msdcom_gw_dataCntOffline_##N = g[5];                                                                 \
        msdcom_gw_noDataCnt_##N = g[6];                                                                      \
        msdcom_gw_mlistCnt_cfg_##N = g[7];                                                                   \
        msdcom_gw_mlistCnt_init_##N = g[8];                                                                  \
        msdcom_gw_mlistCnt_entry_##N = g[9];                                                                 \
        msdcom_gw_mlistCnt_cbstart_err_##N = g[10];                                                          \
        msdcom_gw_mlistCnt_setup_##N = g[11];                                                                \
        msdcom_gw_mlistCnt_meas_##N = g[12];                                                                 \
        msdcom_gw_mlistCnt_meas_PID_NOMEAS_##N = g[13];                                                      \
        msdcom_gw_mlistCnt_destroy_##N = g[14];                                                              \
        msdcom_gw_mlistCnt_instant_destroy_##N = g[15];                                                      \
        msdcom_gw_mlistCnt_offline_entry_##N = g[16];                                                        \
        msdcom_gw_mlistCnt_offline_cbdata_err_##N = g[17];                                                   \
        msdcom_gw_mlistCnt_mlist_err_##N = g[18];                                                            \
    }
MSDCOM_PEER(1)
MSDCOM_PEER(2)
#undef MSDCOM_PEER

void sendPing(uint32_t pid, int slot) {
    uint32_t r = routine.load();
    if (!comint_resolve_routine(r)) {
        r = comint_handle_routine(pingCallBack);
        routine = r;
    }
    uint8_t m[CI_HEADER + 8];
    ci_set_header(m, {8, AppMan_getPID(), static_cast<uint16_t>(pid), r, 0, CMD_ECHO});
    put_be32(m + CI_HEADER, pings[slot].sent);
    put_be16(m + CI_HEADER + 4, static_cast<uint16_t>(slot));
    put_be16(m + CI_HEADER + 6, loop);
    pings[slot].loop = loop;
    pings[slot].state = PENDING;
    comint_put_cmd(m, 0);
}

} // namespace

void msdcom_dbg() {
    msdcom_dataloss_offline = meas_man_get_data_loss_cnt();
    Bc2DebugGlob g{};
    BC2_debugoutGlob(&g);
    msdcom_dbg_mcRxCnt = g.mcRxCnt;
    msdcom_dbg_mcRxErr = g.mcRxErr;
    msdcom_dbg_bcRxCnt = g.bcRxCnt;
    msdcom_dbg_bcSeqCnt = g.bcSeqCnt;
    peer1(MSDCOM_DBG_PID_1);
    peer2(MSDCOM_DBG_PID_2);
}

void msdcom_dbg_10ms() {
    const uint32_t pid = MSDCOM_DBG_PING_PID;
    if (!pid) return;
    if (!started) {
        for (Ping& p : pings)
            p.state = FREE;
        started = true;
    }
    const uint8_t freq = MSDCOM_DBG_PING_FREQ;
    if (freq == 1) {
        if (++calls % 10 != 0) return;
    } else if (freq != 2) {
        return;
    }
    const uint32_t now = time_getTimestamp();
    uint32_t worst = 0;
    for (Ping& p : pings) {
        uint32_t rtt = 0;
        if (p.state == PENDING) {
            rtt = now - p.sent.load();
        } else if (p.state == ANSWERED) {
            rtt = p.rtt.load();
            p.state = FREE;
        }
        if (rtt > worst) worst = rtt;
    }
    msdcom_dbg_ping_max = static_cast<uint16_t>(worst > 0xFFFF ? 0xFFFF : worst);
    Ping& slot = pings[current];
    if (slot.state != FREE) msdcom_dbg_ping_error = static_cast<uint16_t>(msdcom_dbg_ping_error + 1);
    slot.sent = now;
    if (BC2_connected(pid)) sendPing(pid, current);
    if (++current == SLOTS) {
        current = 0;
        ++loop;
    }
}

void pingCallBack(const uint8_t* payload, size_t len, uint16_t) {
    const uint16_t index = len >= 8 ? get_be16(payload + 4) : SLOTS;
    if (index >= SLOTS) {
        msdcom_dbg_ping_error = static_cast<uint16_t>(msdcom_dbg_ping_error + 1);
        return;
    }
    msdcom_dbg_ping_cnt = msdcom_dbg_ping_cnt + 1;
    Ping& p = pings[index];
    if (get_be16(payload + 6) != p.loop.load())
        msdcom_dbg_ping_over = static_cast<uint16_t>(msdcom_dbg_ping_over + 1);
    const uint32_t now = time_getTimestamp();
    const uint32_t sent = get_be32(payload);
    // Wrap-aware: a send time after now is impossible.
    if (static_cast<int32_t>(now - sent) < 0) {
        msdcom_dbg_ping_error = static_cast<uint16_t>(msdcom_dbg_ping_error + 1);
        p.state = FREE;
        return;
    }
    const uint32_t rtt = now - sent;
    p.rtt = static_cast<uint16_t>(rtt > 0xFFFF ? 0xFFFF : rtt);
    p.state = ANSWERED;
}

void msdcom_dbg_reset() {
    started = false;
    current = 0;
    loop = 0;
    calls = 0;
}
