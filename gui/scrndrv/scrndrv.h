// Screen driver: the GUI toolkit's glue to the platform's display.
//
// Glue between the GUI toolkit and the platform's display: frame buffer, flush and wait,
// display layers, one-colour fill, run-length screen dumps and the boot logo.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstdint>

#include "platform/hw/zynq_map.h"

constexpr int SCRNDRV_WIDTH = 1024;
constexpr int SCRNDRV_HEIGHT = 480;
// The application's area at the start of the frame buffer, which dumps cover.
constexpr int SCRNDRV_APP_WIDTH = 640;
constexpr int SCRNDRV_APP_HEIGHT = 480;

// Manager calls of the display and their arguments.

// The display controller's registers: five layer control registers and the colour saturation.
constexpr uintptr_t SCRNDRV_CTRL_BASE = zynq::DISPLAY_LAYERS_BASE;
constexpr uintptr_t SCRNDRV_CTRL_SIZE = zynq::CORE_SIZE;
constexpr uintptr_t SCRNDRV_LAYER_REG0 = zynq::DISPLAY_LAYER_REG0;
constexpr uintptr_t SCRNDRV_LAYER_STEP = zynq::DISPLAY_LAYER_STEP;
constexpr uintptr_t SCRNDRV_COLSAT_REG = zynq::DISPLAY_COLSAT_REG;
constexpr int SCRNDRV_LAYERS = zynq::DISPLAY_LAYERS;

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

// Layers 0 to 4 on (register value 3) and off (0); another number is logged and ignored.
void scrndrvLayerEnable(int layer);
void scrndrvLayerDisable(int layer);
// Fills the application area with the colour word, then flushes; the flush's result.
int scrndrvSetColor(unsigned long colour);

// A run-length, palette-indexed image of the application area, row by row from the top.
// As a file (and as the boot logo in memory) it is serialised little-endian without gaps:
// npal, nrun, ndata (4 bytes each), the palette (4 bytes each), the runs (2 bytes each), the
// data. Run i has palette index i, stored in b bits at bit i x b of the data (least
// significant bit of byte 0 first), b = the bits needed for npal - 1 (0 for one colour).
struct scrn_dump_t {
    uint32_t npal;
    uint32_t nrun;
    uint32_t ndata;
    uint32_t* palette; // colour words in order of first appearance
    uint16_t* runs;    // 1 to 65535 pixels each; runs go on across row ends
    uint8_t* data;
};

// Compresses the application area into the file: 0, or -1 (logged).
int scrndrvDumpImg(const char* file);
// Writes the record as a dump file: 0, or -1 (logged).
int scrndrvWriteDump(const char* file, scrn_dump_t* dump);
// Reads a dump file into the record, which gets three new arrays (malloc; an earlier set is
// freed first). A file whose counts do not fit its size, or that holds an index beyond the
// palette, is refused. 0, or -1 (logged; arrays already allocated stay with the record).
int scrndrvReadDump(const char* file, scrn_dump_t* dump);
// Points the record into a serialised dump in [start, end) (no copy): 1 when it is whole and
// consistent, else 0.
int scrndrvInitDumpByMem(scrn_dump_t* dump, char* start, char* end);
// `bits` bits (at most 32) from bit position `bitpos` of the data, least significant first.
unsigned long scrndrvGetColorIdx(unsigned long bitpos, unsigned long bits, unsigned char* data);
// Draws the dump into the application area (the boot logo first, on the first call of a
// run) and flushes: the flush's result, or -1 for a dump whose counts are inconsistent.
// An index beyond the palette draws black.
int scrndrvDrawImg(scrn_dump_t* dump);
// Reads a dump file and draws it.
void scrndrvLoadImg(const char* file);

// Fetches the boot logo from the manager once and shows it (a failed fetch is tried again).
void scrndrvInit();
// The boot logo's buffer and size, 0 and 0 before it was fetched; either output may be null.
void scrndrvGetBootLogo(char** address, uint32_t* size);
int scrndrvInitDumpWithBootLogo(scrn_dump_t* dump);
// Shows the boot logo and switches layer 1 on.
void scrndrvLoadObj();
