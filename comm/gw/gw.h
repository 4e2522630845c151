// Measurement gateway: the client side through which modules obtain channels of this or
// other units.
#pragma once

void gw_meas_ini();
// Hands the entries of raster index `raster` to the clients.
void gw_raster(int raster);
void gw_meas_monitoring();
void gw_request_timeout();
void gw_meas_1s();
void gw_stop();
