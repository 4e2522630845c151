// Image converters of the toolkit: turn an image file held in memory into toolkit bitmaps that
// the converter owns (deleting the converter frees them).
//
// GuiPngConvert makes one raw 32-bit bitmap per PNG (flags BMF_RAW, 32 bits per pixel): opaque
// images as colour words 0x00RRGGBB; images with an alpha channel or tRNS as 0xRRGGBBAA with
// BMF_HAS_ALPHA, which the screen draws where alpha is 128 or more.
#pragma once

#include <cstdint>

#include "gui/core/types.h"

class GuiImageConvert {
  public:
    explicit GuiImageConvert(unsigned int id);
    virtual ~GuiImageConvert();
    GuiImageConvert(const GuiImageConvert&) = delete;
    GuiImageConvert& operator=(const GuiImageConvert&) = delete;

    // Palette for palette output; 32-bit output does not use it.
    void SetSystemPalette(unsigned char* palette, unsigned int count, int);
    // The image file; the caller keeps it alive until ReadImage returned.
    void SetInputBuffer(unsigned char* data, unsigned long length);
    // Converts up to count images into bitmap slots; returns how many were converted.
    virtual int ReadImage(int count) = 0;
    // The bitmap of a converted image, or null.
    GuiBitmap* GetBitmapPointer(unsigned int index);

    unsigned int mId;
    unsigned int mImageCount = 1; // bitmap slots
    unsigned int mMode = 0;       // output format: 0, 32-bit true colour, is the only one

  protected:
    void FreeBitmaps();
    // Takes a malloc'ed pixel buffer into the next free slot; false (buffer freed) when none.
    bool AddBitmap(uint8_t flags, uint16_t width, uint16_t height, uint32_t* pixels);

    unsigned char* mInput = nullptr;
    unsigned long mInputLength = 0;
    unsigned char* mPalette = nullptr;
    unsigned int mPaletteCount = 0;
    GuiBitmap* mBitmaps = nullptr; // mConverted records, pixel data malloc'ed
    unsigned int mConverted = 0;
};

class GuiPngConvert : public GuiImageConvert {
  public:
    explicit GuiPngConvert(unsigned int id) : GuiImageConvert(id) {}
    // A PNG holds one image: converts it into slot 0 (count and slots permitting). A rejected
    // file is logged with the decoder's reason and leaves no bitmap.
    int ReadImage(int count) override;
};
