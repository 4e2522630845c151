// Adapts decoded PNG images to the toolkit's bitmap record.
#include "gui/png/gui_png_convert.h"

#include <cstdlib>
#include <new>

#include "gui/png/png_decode.h"
#include "services/syslog/syslog.h"

GuiImageConvert::GuiImageConvert(unsigned int id) : mId(id) {}

GuiImageConvert::~GuiImageConvert() {
    FreeBitmaps();
}

void GuiImageConvert::SetSystemPalette(unsigned char* palette, unsigned int count, int) {
    mPalette = palette;
    mPaletteCount = count;
}

void GuiImageConvert::SetInputBuffer(unsigned char* data, unsigned long length) {
    mInput = data;
    mInputLength = length;
}

GuiBitmap* GuiImageConvert::GetBitmapPointer(unsigned int index) {
    return index < mConverted ? &mBitmaps[index] : nullptr;
}

void GuiImageConvert::FreeBitmaps() {
    for (unsigned int i = 0; i < mConverted; ++i)
        std::free(mBitmaps[i].data);
    delete[] mBitmaps;
    mBitmaps = nullptr;
    mConverted = 0;
}

bool GuiImageConvert::AddBitmap(uint8_t flags, uint16_t width, uint16_t height, uint32_t* pixels) {
    if (!mBitmaps && mImageCount > 0) mBitmaps = new (std::nothrow) GuiBitmap[mImageCount];
    if (!mBitmaps || mConverted >= mImageCount) {
        std::free(pixels);
        return false;
    }
    GuiBitmap& b = mBitmaps[mConverted++];
    b.flags = flags;
    b.bitsPerPixel = 32;
    b.width = width;
    b.height = height;
    b.transparent = 0;
    b.data = reinterpret_cast<uint8_t*>(pixels);
    return true;
}

int GuiPngConvert::ReadImage(int count) {
    FreeBitmaps();
    if (count < 1 || mImageCount < 1) return 0;
    if (mMode != 0) {
        SYSLOGX_GUARDED(LOG_ERR, "GuiPngConvert %u: output mode %u not supported", mId, mMode);
        return 0;
    }
    PngImage img;
    int r = png_decode(mInput, mInputLength, &img);
    if (r != PNG_OK) {
        SYSLOGX_GUARDED(LOG_ERR, "GuiPngConvert %u: %s", mId, png_result_text(r));
        return 0;
    }
    // Decoder words are 0xAARRGGBB; the screen wants 0xRRGGBBAA with alpha, 0x00RRGGBB without.
    size_t n = size_t{img.width} * img.height;
    for (size_t i = 0; i < n; ++i) {
        uint32_t w = img.pixels[i];
        img.pixels[i] = img.has_alpha ? (w << 8) | (w >> 24) : w & 0x00FFFFFFu;
    }
    uint8_t flags = img.has_alpha ? (BMF_RAW | BMF_HAS_ALPHA) : BMF_RAW;
    bool ok =
        AddBitmap(flags, static_cast<uint16_t>(img.width), static_cast<uint16_t>(img.height), img.pixels);
    img.pixels = nullptr;
    return ok ? 1 : 0;
}
