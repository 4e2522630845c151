// Lap trigger: lap and outing events of this unit and of the others.
#pragma once

#include <cstddef>
#include <cstdint>

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
