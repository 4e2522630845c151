// Inside the screen dumps: the checks, the decoder and the stream reader, shared with the tests
// and the fuzz target.
#pragma once

#include <cstdint>
#include <cstdio>

#include "gui/scrndrv/scrndrv.h"

// Bits per index for a palette of npal colours (0 for one colour or none).
unsigned scrndrvIndexBits(uint32_t npal);
// Null when the counts make a sound dump, else what is wrong: runs without a palette, more
// than 2^24 colours, or too little index data for the runs.
const char* scrndrvCountsProblem(uint32_t npal, uint32_t nrun, uint32_t ndata);
// Bytes of the serialised dump with these counts (64-bit: the sum of 32-bit counts can wrap).
uint64_t scrndrvSerialisedSize(uint32_t npal, uint32_t nrun, uint32_t ndata);
// Draws the runs into `pixels` (the application area, rows `stride` words apart), the top byte
// of every pixel set. -1 (nothing drawn) when the record's counts or arrays are unsound.
int scrndrvDecode(const scrn_dump_t* dump, uint32_t* pixels, int stride);
// scrndrvReadDump after the file is open: `name` is used in the log lines.
int scrndrvReadDumpStream(FILE* f, const char* name, scrn_dump_t* dump);
// Frees the three arrays of a record filled by scrndrvReadDump and zeroes it.
void scrndrvFreeDump(scrn_dump_t* dump);
