// Lap trigger: lap and outing events of this unit and of the others (command group 0x12).
//
// The laptrigger master (cfg_system.ltm_pid) counts the laps and tells the other units. Its lap
// message (command 0x1200, `laptrigger_msg`) carries a payload of 20 big-endian bytes:
//   0 u16 sender PID, 2 u16 target PID, 4 u32 kind, 8 f32 fuel consumption of the lap (IEEE
//   bits), 12 u32 lap time in 0.01 s, 16 u16 lap counter, 18 u16 outing counter.
// Kinds: LAPTRIGGER_EVENT a lap was counted, LAPTRIGGER_UPDATE the counters were set,
// LAPTRIGGER_PERIODIC the state repeated for units that missed it. The targets are the units
// with an open command channel (the device network's connection mask) other than this one.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t LAPTRIGGER_EVENT = 0xFFFFFFFF, LAPTRIGGER_PERIODIC = 0xFFFFFFFE,
                   LAPTRIGGER_UPDATE = 0xFFFFFFFD;
constexpr size_t LAPTRIGGER_MSG_SIZE = 20;
constexpr size_t LAPTRIGGER_INFO_SIZE = 16; // reply 0x1202
constexpr uint32_t LAPTRIGGER_PERIOD_S = 59;

// Logging's counters, handed in by the start-up (logging sits above this module): a lap counted
// (new lap and fragment), the counters set, and the master's answer to the state request.
struct LaptriggerHooks {
    void (*lap)(uint16_t lap, uint16_t outing);
    void (*set)(uint16_t lap, uint16_t outing);
    void (*answer)(uint16_t lap, uint16_t outing);
};
void laptrigger_setHooks(const LaptriggerHooks* hooks);

// The master's lap state: lap time rounded to 0.01 s, time stamp 0, valid; nothing is sent.
void laptrigger_init(uint16_t lap, uint16_t outing, float lapTime);
// The same with the current time stamp, sent as an update to the targets.
void laptrigger_update(uint16_t lap, uint16_t outing, float lapTime);
// A lap counted by this unit's model. Unless another unit triggers the laps: logging counts it,
// the Lap raster is released, and the laptrigger master sends it to the targets.
void laptrigger_event(uint16_t lap, uint16_t outing, float lapTime);
// Counters set on this unit (a command, a new outing). Unless another unit triggers the laps:
// logging takes them, and the laptrigger master sends an update to the targets.
void laptrigger_set(uint16_t lap, uint16_t outing, float lapTime);
// 10 ms: the laptrigger master sends its last update to the units whose channel came up (or
// dropped and came back) since; another unit asks the master for its state (0x1201) once a second
// while the master's channel is up, until the master answers.
void laptrigger_10ms();
// PIDs (bit = PID) the lap messages go to.
uint64_t laptrigger_targets();

// Measurement time stamp of the last lap event.
uint32_t laptrigger_getLapTimeStamp();

// Handlers of the command group 0x12 (0x1200 lap signal ... 0x120B reset segments).
void laptrigger_signal_cmd(const uint8_t* message, size_t len);
void laptrigger_get_info_cmd(const uint8_t* message, size_t len);
void laptrigger_get_info_reply_cmd(const uint8_t* message, size_t len);
void laptrigger_meas(const uint8_t* message, size_t len);
void laptrigger_check_outctr_cmd(const uint8_t* message, size_t len);
void laptrigger_reset_lap_cmd(const uint8_t* message, size_t len);
void laptrigger_reset_out_cmd(const uint8_t* message, size_t len);
void laptrigger_reset_lapdist_cmd(const uint8_t* message, size_t len);
void laptrigger_reset_best_laptime_cmd(const uint8_t* message, size_t len);
void laptrigger_incr_outing_cmd(const uint8_t* message, size_t len);
void laptrigger_incr_lap_cmd(const uint8_t* message, size_t len);
void laptrigger_reset_segments_cmd(const uint8_t* message, size_t len);

// Tests: the state forgotten, no hooks.
void laptrigger_reset();
