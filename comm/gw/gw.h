// Measurement gateway: the client side through which modules obtain channels of this or
// other units.
#pragma once

#include <cstddef>
#include <cstdint>

void gw_meas_ini();
// Hands the entries of raster index `raster` to the clients.
void gw_raster(int raster);
void gw_meas_monitoring();
void gw_request_timeout();
void gw_meas_1s();
void gw_stop();

// Handlers of the replies of the command group 0x05 (0x0501, 0x0506, 0x0518).
void gw_meascreate_reply(const uint8_t* message, size_t len);
void gw_meas_timestamp_err(const uint8_t* message, size_t len);
void gw_meas2_timestamp_err(const uint8_t* message, size_t len);
