// Measurement gateway: the client side through which modules obtain channels of this or other units.
//
// Every client callback runs under the gateway's handle mutex (a recursive one: a callback may
// call the gateway again from its own task). So a client never calls the gateway while it holds
// a lock that its callbacks take: the raster task delivering would wait for the client, and the
// client for the gateway.
#pragma once

#include "comm/comint/comint.h"
#include "comm/measman/meas_man.h"

#include <cstddef>
#include <cstdint>

// status, data (an entry, a latency, a PID or none), the client's user value. A read callback
// returns nonzero when it consumed the entry.
using gw_callback_fn = int (*)(uint32_t status, const void* data, uintptr_t user);
struct gw_callback_t {
    gw_callback_fn fn;
    uint32_t param; // the client's own; never read
};
// Entries 1 read, 2 stop, 3 start, 5 time-out; 0 and 4 are never called.
struct gw_callbacks_t {
    gw_callback_t entry[6];
};
constexpr int GW_CB_READ = 1, GW_CB_STOP = 2, GW_CB_START = 3, GW_CB_TIMEOUT = 5;
// Callback statuses.
constexpr uint32_t GW_OK = 0, GW_TIMEOUT = 3, GW_NODATA = 6, GW_REFUSED = 7, GW_OFFLINE = 8,
                   GW_PID_OFFLINE = 11, GW_TOO_LONG = 12;
constexpr uint16_t GW_LIST_MAX = 480;

struct gw_client_t;

void gw_meas_ini();
gw_client_t* gw_connect(const gw_callbacks_t* callbacks);
// The handle's magic number, 0 on failure. list: words in host order (groups of -n, addresses
// without their PID byte, 0; a final 0). type bit 0 offline data (every entry kept), bit 1
// check time stamps; speed: raster divisor (0 paused); slots 0: by raster; timeout in calls of
// gw_raster for that raster (0 none); share nonzero: never shared, speed may change.
uint32_t gw_setup_list(gw_client_t* client, const int32_t* list, uintptr_t user, uint16_t length,
                       uint16_t raster, uint16_t pid, uint16_t share, uint16_t type, uint16_t speed,
                       uint16_t slots, uint16_t block, uint32_t timeout);
// The same for NUL-separated variable names on the unit `device` names.
uint32_t gw_setup_list_measByName(gw_client_t* client, const char* device, const char* names, uintptr_t user,
                                  uint16_t namesLength, uint16_t nameCount, uint16_t raster, uint16_t share,
                                  uint16_t type, uint16_t speed, uint16_t slots, uint32_t timeout);
void gw_start_list(uint32_t magic);
void gw_start_all(gw_client_t* client);
void gw_kill_list(uint32_t magic);
void gw_kill_all_lists(gw_client_t* client);
int gw_disconnect(gw_client_t* client);
int gw_list_speed(gw_client_t* client, uint32_t magic, uint16_t speed);
uint16_t pidByDevicename(const char* device);
uint16_t gw_getslotnum(int raster);

// Hands the entries of raster index `raster` to the clients.
void gw_raster(int raster);
void gw_meas_monitoring();
void gw_request_timeout();
void gw_meas_1s();
void gw_stop();

// PID states: 0 no measurement, 1 measuring, 2 offline, 3 start-up, 4 kill sent.
void gw_meas_state_reply(uint16_t pid, uint32_t state);
int gw_pid_offline(uint16_t pid);
int gw_kill_pid(uint16_t pid);
// Writes the online PIDs to `out` (the shell's "meas pidstate").
void gw_print_pidstate(void (*out)(const char* line));
// 19 counters of the PID: state, requests, running, lists, online and offline entries,
// time-outs, then the lists per state 0 to 11. 0 without a buffer.
int gw_debugoutPID(uint16_t pid, uint16_t* out);

// What the measurement server answers the gateway's by-name requests and state queries with.
extern const MeasManGatewaySink gw_measGatewaySink;

// Handlers of the replies of the command group 0x05 (0x0501, 0x0506, 0x0518).
void gw_meascreate_reply(const uint8_t* message, size_t len);
void gw_meas_timestamp_err(const uint8_t* message, size_t len);
void gw_meas2_timestamp_err(const uint8_t* message, size_t len);

// The measurement service's command group 0x05 handed to the command interface: the server's
// handlers and the gateway's (0x0501, 0x0506, 0x0518). Inline, so that stand-ins of the
// handlers are wired by the same table.
inline void gw_meas_setHandlers() {
    static const struct {
        uint16_t code;
        ComintHandler serve;
    } wires[] = {{0x0500, meas_man_create},
                 {0x0501, gw_meascreate_reply},
                 {0x0502, meas_man_break},
                 {0x0503, meas_man_speed},
                 {0x0504, meas_man_kill_my_measurements},
                 {0x0505, meas_man_get_measurement_state},
                 {0x0506, gw_meas_timestamp_err},
                 {0x0510, meas_man_create2_cmd},
                 {0x0511, meas_man_meas2_create_reply},
                 {0x0512, meas_man_break2},
                 {0x0513, meas_man_break2_reply},
                 {0x0514, meas_man_speed2},
                 {0x0515, meas_man_speed2_reply},
                 {0x0516, meas_man_get_measurement_state2},
                 {0x0517, meas_man_get_measurement_state2_reply},
                 {0x0518, gw_meas2_timestamp_err}};
    for (const auto& w : wires)
        comint_setHandler(w.code, w.serve);
}

// Tests: frees every list, handle, request and client record; PIDs back to offline.
void gw_reset();
