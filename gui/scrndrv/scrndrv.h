// Glue between the GUI toolkit and the platform's display: frame buffer, flush and wait.
#pragma once

#include <cstdint>

constexpr int SCRNDRV_WIDTH = 1024;
constexpr int SCRNDRV_HEIGHT = 480;

// Manager calls of the display and their arguments.
constexpr unsigned KCALL_DISPLAY_FLUSH = 4225;
constexpr unsigned KCALL_DISPLAY_WAIT_FLUSH = 4226;
constexpr unsigned KCALL_BOOTLOGO_COPY = 4227;
constexpr unsigned KCALL_BOOTLOGO_SIZE = 4228;
constexpr intptr_t SCRNDRV_DISPLAY_ID = 0xBCA0002;

// The display controller's registers: five layer control registers and the colour saturation.
constexpr uintptr_t SCRNDRV_CTRL_BASE = 0x43C60000;
constexpr uintptr_t SCRNDRV_CTRL_SIZE = 0x1000;
constexpr uintptr_t SCRNDRV_LAYER_REG0 = 0x138; // layer n at 0x138 + 0x80 * n
constexpr uintptr_t SCRNDRV_LAYER_STEP = 0x80;
constexpr uintptr_t SCRNDRV_COLSAT_REG = 0x1B0;
constexpr int SCRNDRV_LAYERS = 5;

// The process index passed to the display calls; set by the display start before the GUI task.
void scrndrvSetRtpIndex(uint32_t index);
uint32_t scrndrvGetRtpIndex();
// Name of the frame buffer's shared memory for a process index ("/shm/FrameBuffer_<index>").
void scrndrvFrameBufferName(uint32_t index, char* buf, int size);
// The frame buffer (SCRNDRV_WIDTH x SCRNDRV_HEIGHT words) that the platform set up; null if none.
uint32_t* scrndrvFrameBuffer();

// Asks the manager to show the frame; 0 on success, else logged and -1.
int scrndrvFlush();
// Waits until that flush is done; 0 on success, else logged and -1.
int scrndrvWaitFlush();
