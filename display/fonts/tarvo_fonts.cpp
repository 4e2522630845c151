#include "display/fonts/tarvo_fonts.h"

#include "gui/fonts/fonts.h"
#include "gui/zip/pzip.h"
#include "services/bytes/bytes.h"
#include "services/syslog/syslog.h"

#include <cstdlib>

extern const unsigned TarvoTiny_unpacked_size;
extern const unsigned TarvoSmall_unpacked_size;
extern const unsigned TarvoNormal_unpacked_size;
extern const unsigned TarvoLarge_unpacked_size;
extern const unsigned TarvoXLarge_unpacked_size;
extern const unsigned TarvoXXLarge_unpacked_size;

namespace {

struct TarvoEntry {
    GuiFont* font;
    const uint8_t* table;
    const unsigned* size; // unpacked bytes
    const char* noMemory;
    const char* noUnzip;
    GuiFont packed; // the record as built, kept for TarvoFonts_reset
    bool saved;
    uint8_t* buffer; // owned once unpacked
};

TarvoEntry g_fonts[] = {
    {&TarvoTiny,
     TarvoTiny_data_table,
     &TarvoTiny_unpacked_size,
     "TarvoFonts_ini: not enough memory for tiny font",
     "TarvoFonts_ini: tiny font cannot unzip",
     {},
     false,
     nullptr},
    {&TarvoSmall,
     TarvoSmall_data_table,
     &TarvoSmall_unpacked_size,
     "TarvoFonts_ini: not enough memory for small font",
     "TarvoFonts_ini: small font cannot unzip",
     {},
     false,
     nullptr},
    {&TarvoNormal,
     TarvoNormal_data_table,
     &TarvoNormal_unpacked_size,
     "TarvoFonts_ini: not enough memory for normal font",
     "TarvoFonts_ini: normal font cannot unzip",
     {},
     false,
     nullptr},
    {&TarvoLarge,
     TarvoLarge_data_table,
     &TarvoLarge_unpacked_size,
     "TarvoFonts_ini: not enough memory for large font",
     "TarvoFonts_ini: large font cannot unzip",
     {},
     false,
     nullptr},
    {&TarvoXLarge,
     TarvoXLarge_data_table,
     &TarvoXLarge_unpacked_size,
     "TarvoFonts_ini: not enough memory for extralarge font",
     "TarvoFonts_ini: extra large font cannot unzip",
     {},
     false,
     nullptr},
    {&TarvoXXLarge,
     TarvoXXLarge_data_table,
     &TarvoXXLarge_unpacked_size,
     "TarvoFonts_ini: not enough memory for XXLarge font",
     "TarvoFonts_ini: XXLarge font cannot unzip",
     {},
     false,
     nullptr},
};

TarvoUnzipFn g_unzip = GuiUnzip;

uint32_t packedLength(const uint8_t* table) {
    return bytes::get_le32(table);
}

void remember(TarvoEntry& e) {
    if (e.saved) return;
    e.packed = *e.font;
    e.saved = true;
}

} // namespace

int TarvoFonts_ini() {
    const GuiFont* fallback = &SysFont;
    int result = 0;
    bool stopped = false;
    for (TarvoEntry& e : g_fonts) {
        remember(e);
        if (e.font->data != e.table) { // already unpacked or replaced
            fallback = e.font;
            continue;
        }
        if (!stopped) {
            auto* buffer = static_cast<uint8_t*>(std::malloc(*e.size));
            if (!buffer) {
                syslogx(LOG_ERR, "%s", e.noMemory);
                result = -1;
                stopped = true;
            } else {
                unsigned long length = *e.size;
                int r = g_unzip(buffer, &length, e.table + 4, packedLength(e.table));
                // A short stream would leave part of the bitmap undefined.
                if (r == 0 && length != *e.size) r = PZIP_DATA_ERROR;
                if (r != 0) {
                    std::free(buffer);
                    syslogx(LOG_ERR, "%s", e.noUnzip);
                    result = r;
                    stopped = true;
                } else {
                    e.buffer = buffer;
                    e.font->data = buffer;
                    fallback = e.font;
                    continue;
                }
            }
        }
        // Drawing from the packed table would show garbage: borrow an unpacked font instead.
        *e.font = *fallback;
        e.font->next = nullptr;
    }
    return result;
}

GuiFont* Tarvo_getFont(FontSizeType_t size) {
    switch (size) {
    case FONT_SMALL:
        return &TarvoSmall;
    case FONT_NORMAL:
        return &TarvoNormal;
    case FONT_LARGE:
        return &TarvoLarge;
    case FONT_EXTRALARGE:
        return &TarvoXLarge;
    case FONT_XXLARGE:
    case FONT_XXXLARGE:
        return &TarvoXXLarge;
    default:
        return &TarvoTiny;
    }
}

int TarvoFonts_isDouble(FontSizeType_t size) {
    return size == FONT_XXXLARGE ? 1 : 0;
}

void TarvoFonts_setUnzip(TarvoUnzipFn fn) {
    g_unzip = fn ? fn : GuiUnzip;
}

void TarvoFonts_reset() {
    for (TarvoEntry& e : g_fonts) {
        remember(e);
        *e.font = e.packed;
        std::free(e.buffer);
        e.buffer = nullptr;
    }
}
