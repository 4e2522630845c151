// PNG pictures for the toolkit: the decoder here, the converter to bitmaps in gui_png_convert.h.
//
// PNG decoder (ISO/IEC 15948) producing one 32-bit image from a file held in memory.
//
// Accepted: colour types 0, 2, 3, 4 and 6 at every bit depth the format allows (1 to 16),
// non-interlaced and Adam7, all five filter types, image data split over any number of IDAT
// chunks (empty ones included), PLTE and tRNS.
//
// Decisions:
// - 16-bit samples keep their high byte (as libpng's strip_16); a tRNS colour is compared with
//   the full 16-bit sample before that.
// - Samples below 8 bits are scaled by bit replication (1-bit 1 -> 255, 2-bit 3 -> 255, ...).
// - Every chunk's CRC is checked. Ancillary chunks other than tRNS are ignored; a tRNS chunk
//   that is malformed, repeated, after the image data or on a type with alpha is ignored too.
//   An unknown critical chunk is refused, and so is a PLTE on a grey type.
// - The image data must inflate (zlib) to at least the filtered image: less data, a missing IEND
//   or a cut file are errors. As in other decoders, data past the last row is ignored, and so
//   are palette entries the bit depth cannot index; an index past the palette reads as black.
// - Sizes from the file are never trusted: width and height are limited to PNG_MAX_DIMENSION and
//   their product to PNG_MAX_PIXELS before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t PNG_MAX_DIMENSION = 8192;
constexpr uint64_t PNG_MAX_PIXELS = 8u * 1024 * 1024;

enum PngResult : int {
    PNG_OK = 0,
    PNG_ERR_ARGUMENT,
    PNG_ERR_SIGNATURE,
    PNG_ERR_TRUNCATED,
    PNG_ERR_CRC,
    PNG_ERR_CHUNK,     // malformed, misplaced or unknown critical chunk
    PNG_ERR_HEADER,    // IHDR values
    PNG_ERR_PALETTE,   // PLTE missing or malformed
    PNG_ERR_DATA,      // image data does not inflate to the image
    PNG_ERR_FILTER,    // unknown filter type
    PNG_ERR_TOO_LARGE, // beyond the size limits
    PNG_ERR_NO_MEMORY,
};

// The decoded image: width x height words 0xAARRGGBB, rows top to bottom without a gap.
struct PngImage {
    uint32_t width;
    uint32_t height;
    bool has_alpha; // colour types 4 and 6, or a tRNS chunk in use
    uint32_t* pixels;
};

// Decodes data[0 .. len-1]. PNG_OK with *out filled (release with png_image_free); on failure
// *out is left empty.
int png_decode(const uint8_t* data, size_t len, PngImage* out);
void png_image_free(PngImage* image);
const char* png_result_text(int result);
