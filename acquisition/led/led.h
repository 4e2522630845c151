// LED control: the LED modules' patterns and shift lights, and the unit's status LEDs.
#pragma once

#include <cstdint>

// 1 when the LED array core answers.
uint8_t ledArray_init();
void led_init();
// The 100 ms update of the status LEDs.
void led_display();
