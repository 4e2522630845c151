// The display's six application fonts: one typeface in rising sizes, unpacked at display start.
#pragma once

#include "display/config/display_cfg.h"
#include "gui/core/types.h"

#include <cstdint>

// Heights 27, 49, 64, 86, 167 and 200; codes 0-255 (Latin-1, 0x81 a blank); flags 9.
extern GuiFont TarvoTiny;
extern GuiFont TarvoSmall;
extern GuiFont TarvoNormal;
extern GuiFont TarvoLarge;
extern GuiFont TarvoXLarge;
extern GuiFont TarvoXXLarge;

// Packed glyph strips: a 32-bit little-endian length, then that many bytes of zlib stream.
extern const uint8_t TarvoTiny_data_table[];
extern const uint8_t TarvoSmall_data_table[];
extern const uint8_t TarvoNormal_data_table[];
extern const uint8_t TarvoLarge_data_table[];
extern const uint8_t TarvoXLarge_data_table[];
extern const uint8_t TarvoXXLarge_data_table[];

// Unpacks the fonts that are still packed, smallest first. The first failure is logged and
// ends the unpacking; the failed font and all larger ones then take over the largest font
// unpacked so far (SysFont when none was), so no record is left pointing at packed bytes.
// 0, or the failure's code (-1 when out of memory); callers need not look at it.
int TarvoFonts_ini();

// 1 TarvoSmall, 2 TarvoNormal, 3 TarvoLarge, 4 TarvoXLarge, 5 and 6 TarvoXXLarge, else TarvoTiny.
GuiFont* Tarvo_getFont(FontSizeType_t size);

// 1 for FONT_XXXLARGE, which is TarvoXXLarge drawn at double width and height; else 0.
int TarvoFonts_isDouble(FontSizeType_t size);

// Tests: the inflate used by TarvoFonts_ini (null restores GuiUnzip), and the fonts put back
// into their packed state with their buffers freed.
using TarvoUnzipFn = int (*)(unsigned char* dest, unsigned long* destLen, const unsigned char* src,
                             unsigned long srcLen);
void TarvoFonts_setUnzip(TarvoUnzipFn fn);
void TarvoFonts_reset();
