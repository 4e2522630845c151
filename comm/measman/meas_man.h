// Measurement server: serves this unit's channels to any client by address or name.
#pragma once

#include <cstddef>
#include <cstdint>

void meas_man_ini();
void meas_man_10ms();
// Copies the lists requested at raster index `raster` with the time stamp `stamp` (100 us).
void meas_man_copy(int raster, uint32_t stamp);

// Handlers of the command group 0x05 that the server owns (0x0500 create ... 0x0517).
void meas_man_create(const uint8_t* message, size_t len);
void meas_man_break(const uint8_t* message, size_t len);
void meas_man_speed(const uint8_t* message, size_t len);
void meas_man_kill_my_measurements(const uint8_t* message, size_t len);
void meas_man_get_measurement_state(const uint8_t* message, size_t len);
void meas_man_create2_cmd(const uint8_t* message, size_t len);
void meas_man_meas2_create_reply(const uint8_t* message, size_t len);
void meas_man_break2(const uint8_t* message, size_t len);
void meas_man_break2_reply(const uint8_t* message, size_t len);
void meas_man_speed2(const uint8_t* message, size_t len);
void meas_man_speed2_reply(const uint8_t* message, size_t len);
void meas_man_get_measurement_state2(const uint8_t* message, size_t len);
void meas_man_get_measurement_state2_reply(const uint8_t* message, size_t len);
