// LED control: the LED array's driver (RGB modules around the display) and the unit's status LEDs.
#pragma once

#include <cstdint>

// 1 when the LED array core answers with its identity; switches the LEDs on (all dark) and
// starts the task that writes them.
uint8_t ledArray_init();
// LED 0 to 9 of module position 1 (top), 2 (left) or 3 (right): components 0 to 255, rounded
// and limited. The task writes it to the core; other positions or LEDs are refused (logged).
void ledArray_set_single(uint8_t position, uint8_t led, float red, float green, float blue);
void led_init();
// The 100 ms update of the status LEDs: logging's status mask (meas_led_status) becomes the
// application's blink word.
void led_display();

// Tests: the task ended, the array forgotten.
void ledArray_reset();
