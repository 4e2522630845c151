// The application rasters: what each raster task of the process calls.
#pragma once

#include <cstdint>

// Hooks the application rasters in their fixed order; 0 at the first failure.
uint8_t framework_initialize();

void r1ms(int slot);
void r2ms(int slot);
void r5ms(int slot);
void r10ms(int slot);
void r20ms(int slot);
void r50ms(int slot);
void r100ms(int slot);
void r200ms(int slot);
void r500ms(int slot);
void r1000ms(int slot);
void rMeasure(int slot);
void rEthSend_online(int slot);
void rEthSend_offline(int slot);
void rLap(int slot);
void rLap_sb_per(int slot);

// The display's 10 ms hook: nothing to do in this application.
void display_10ms();

// Whether the measurement raster saves the blocks of raster index r on its run c, and
// whether the Ethernet senders send raster index r on their run c.
bool rMeasure_due(uint32_t c, int r);
bool rEthSend_due(uint32_t c, int r);
// Tests: the phase counters of the bodies back to 0.
void raster_bodies_reset();
