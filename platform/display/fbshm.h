// Layout of the shared "shown" frame ("/vyn_fb_<index>"), which viewers outside the process map.
#pragma once

#include <cstdint>

constexpr uint32_t FBSHM_MAGIC = 0x56594E46; // "VYNF"

struct FbShmHeader {
    uint32_t magic;
    uint32_t width;
    uint32_t height;
    uint32_t stride; // bytes per row
    // Incremented before (odd) and after (even) each update of the pixels.
    volatile uint32_t sequence;
    volatile uint32_t flushes; // incremented with every new shown frame (a flush, or layer 1 switched)
    uint32_t owner;            // process id of the writer: a frame whose writer is gone may be removed
    uint32_t reserved[9];
};
static_assert(sizeof(FbShmHeader) == 64);
// The pixels (0x00RRGGBB words, top byte ignored) follow the header.
