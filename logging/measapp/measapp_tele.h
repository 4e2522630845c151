// The telemetry measurement of the least build (see measapp_tele.cpp for its configuration).
#pragma once

// Reads "cfg:/telemetry.ini" and sets up its block lists (none without the file).
void meas_app_tele_ini();
// Measurement start and stop: telemetry starts (tele_app_start) and stops with them.
void meas_app_tele_start();
void meas_app_tele_stop();
int meas_app_tele_running();
// Tests: forgets the configuration and the gateway client.
void meas_app_tele_reset();
