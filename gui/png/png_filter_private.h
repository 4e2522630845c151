// Reversing the PNG row filters (the decoder's and its tests').
#pragma once

#include <cstddef>
#include <cstdint>

// Reverses the filter of one row of n bytes in place: prior is the row above, unfiltered (all
// zero above a pass's first row), bpp the filter's byte distance (the bytes of a pixel, 1 below 8
// bits). False for an unknown filter type. On x86-64 the Paeth filter runs in vector registers.
bool png_unfilter(uint8_t type, uint8_t* row, const uint8_t* prior, size_t n, size_t bpp);

// The same without vector instructions, as other targets run it.
bool png_unfilter_portable(uint8_t type, uint8_t* row, const uint8_t* prior, size_t n, size_t bpp);
