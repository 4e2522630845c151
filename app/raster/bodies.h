// The application rasters: what each raster task of the process calls.
#pragma once

#include <cstdint>

#include "services/raster/raster.h"

#include <cstddef>

// The application rasters, hooked by framework_initialize in this order (0 at the first
// failure), each on any processor.
struct AppRaster {
    const char* name;
    int priority;
    int32_t periodOrEvent;
    RasterBody body;
    size_t stack;
    int32_t watchdogLimit;
};
constexpr size_t APP_RASTER_COUNT = 15;
extern const AppRaster APP_RASTERS[APP_RASTER_COUNT];
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
