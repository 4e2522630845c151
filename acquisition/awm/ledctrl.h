// LED control (channel-function type 0x0B): one LED module of up to ten RGB LEDs, painted from
// 32 prioritised conditions and a shift-light layer, an external overwrite on top, scaled to
// the display's brightness and written to the LED array.
#pragma once

#include <cstdint>

// The display's LED level curves: (component 0 to 255, brightness %) → level 0 to 255. The
// display sits above the channel functions; the start-up hands them in. Without them a
// component is scaled by the brightness linearly.
struct LedBrightnessCurves {
    float (*red)(float component, float percent);
    float (*green)(float component, float percent);
    float (*blue)(float component, float percent);
};
void awm_0x0B_led_setBrightnessCurves(const LedBrightnessCurves* curves);

// For each module position p = 1 to 3 with bit p - 1 set in `modules`: its LEDs of `mask` show
// `colour` (0xRRGGBB00; 0 switches them off) over whatever the conditions paint. While no LED
// channel function exists, the module is driven at once (the masked LEDs in the red component).
void awm_0x0B_led_overwrite(uint8_t modules, uint16_t mask, uint32_t colour);
