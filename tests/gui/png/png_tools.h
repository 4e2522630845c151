// Test tools for the PNG decoder: a small PNG writer for hand-built files (zlib's compress and
// crc32), a chunk walker, libpng as the reference decoder, and the ImageMagick, pngcheck
// command lines.
#pragma once

#include <png.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "gui/png/png_decode.h"
#include "support/pyref.h"

namespace pt {

using bytes = std::vector<uint8_t>;

inline void store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

inline bytes chunk(const char* type, const bytes& data) {
    bytes c(12 + data.size());
    store32(c.data(), static_cast<uint32_t>(data.size()));
    std::memcpy(c.data() + 4, type, 4);
    if (!data.empty()) std::memcpy(c.data() + 8, data.data(), data.size());
    uLong crc = crc32(0, c.data() + 4, static_cast<uInt>(data.size() + 4));
    store32(c.data() + 8 + data.size(), static_cast<uint32_t>(crc));
    return c;
}

const bytes kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

inline bytes ihdr(uint32_t w, uint32_t h, int depth, int colour, int interlace = 0, int compression = 0,
                  int filter = 0) {
    bytes d(8);
    store32(d.data(), w);
    store32(d.data() + 4, h);
    for (int v : {depth, colour, compression, filter, interlace})
        d.push_back(static_cast<uint8_t>(v));
    return chunk("IHDR", d);
}

inline bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline bytes zcompress(const bytes& raw, int level = 9) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    bytes z(n);
    EXPECT_EQ(compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), level), Z_OK);
    z.resize(n);
    return z;
}

// A hand-built image, not interlaced: samples come from sample(x, y, channel), every row with filter
// type 0 (ImageMagick's corpus has the filters and interlacing).
struct Recipe {
    uint32_t width = 8, height = 8;
    int depth = 8, colour = 2;
    std::function<uint32_t(uint32_t, uint32_t, int)> sample = [](uint32_t x, uint32_t y, int c) {
        return (x * 37 + y * 11 + static_cast<uint32_t>(c) * 101) & 0xFFFF;
    };
    bytes plte, trns;
    std::vector<size_t> idat_sizes; // split of the compressed data; the rest goes into one more chunk
    std::vector<bytes> before_idat, after_idat; // extra chunks
};

inline int channels(int colour) {
    static const int n[] = {1, 1, 3, 1, 2, 1, 4};
    return n[colour];
}

// The scanlines, as the IDAT data holds them before compression.
inline bytes filtered_image(const Recipe& s) {
    const int ch = channels(s.colour);
    const size_t rb = (size_t{s.width} * ch * s.depth + 7) / 8;
    bytes out;
    for (uint32_t y = 0; y < s.height; ++y) {
        bytes row(rb + 1, 0);
        for (uint32_t x = 0; x < s.width; ++x)
            for (int c = 0; c < ch; ++c) {
                const uint32_t v = s.sample(x, y, c) & ((1u << s.depth) - 1);
                const size_t k = size_t{x} * ch + c, bit = k * s.depth;
                if (s.depth == 16) {
                    row[1 + 2 * k] = static_cast<uint8_t>(v >> 8);
                    row[2 + 2 * k] = static_cast<uint8_t>(v);
                } else {
                    row[1 + bit / 8] |= static_cast<uint8_t>(v << (8 - s.depth - bit % 8));
                }
            }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

inline bytes build(const Recipe& s, const bytes& z) {
    bytes png = cat({kSignature, ihdr(s.width, s.height, s.depth, s.colour)});
    for (const auto& c : s.before_idat)
        png = cat({png, c});
    if (!s.plte.empty()) png = cat({png, chunk("PLTE", s.plte)});
    if (!s.trns.empty()) png = cat({png, chunk("tRNS", s.trns)});
    size_t at = 0;
    for (size_t n : s.idat_sizes) {
        n = std::min(n, z.size() - at);
        png = cat({png, chunk("IDAT", bytes(z.begin() + static_cast<long>(at),
                                            z.begin() + static_cast<long>(at + n)))});
        at += n;
    }
    if (at < z.size() || s.idat_sizes.empty())
        png = cat({png, chunk("IDAT", bytes(z.begin() + static_cast<long>(at), z.end()))});
    for (const auto& c : s.after_idat)
        png = cat({png, c});
    return cat({png, chunk("IEND", {})});
}

inline bytes build(const Recipe& s) {
    return build(s, zcompress(filtered_image(s)));
}

// libpng's decoding as 8-bit RGBA: palette, low-depth grey and tRNS expanded, 16-bit samples
// reduced to their high byte, grey copied to red, green and blue.
struct Reference {
    bool ok = false;
    uint32_t width = 0, height = 0;
    bytes rgba;
};

inline Reference libpng_decode(const bytes& file) {
    Reference ref;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    struct Reader {
        const bytes* data;
        size_t at;
    } reader{&file, 0};
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return Reference{};
    }
    png_set_read_fn(png, &reader, [](png_structp p, png_bytep out, png_size_t n) {
        auto* r = static_cast<Reader*>(png_get_io_ptr(p));
        if (r->at + n > r->data->size()) png_error(p, "read past the end");
        std::memcpy(out, r->data->data() + r->at, n);
        r->at += n;
    });
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    ref.width = png_get_image_width(png, info);
    ref.height = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != size_t{ref.width} * 4) png_error(png, "not RGBA");
    ref.rgba.assign(size_t{ref.width} * ref.height * 4, 0);
    for (uint32_t y = 0; y < ref.height; ++y)
        rows.push_back(ref.rgba.data() + size_t{y} * ref.width * 4);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    ref.ok = true;
    return ref;
}

inline bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

// pngcheck's verdict on the file: true when it says OK.
inline bool pngcheck_ok(const bytes& file, std::string* report = nullptr) {
    pyref::TempFile f(file);
    pyref::bytes out = pyref::run("pngcheck -q " + f.path() + " 2>&1; echo rc=$?");
    std::string s(out.begin(), out.end());
    if (report) *report = s;
    return s.size() >= 5 && s.substr(s.size() - 5) == "rc=0\n";
}

// Decodes with the decoder and with libpng and compares every pixel (the first difference is
// reported); pngcheck must accept the file too unless it is one only tolerated. Optionally
// checks the decoder's alpha flag.
inline void expect_like_libpng(const bytes& file, const std::string& what, bool has_alpha_known = false,
                               bool has_alpha = false, bool strict = true) {
    SCOPED_TRACE(what);
    std::string report;
    if (strict) {
        EXPECT_TRUE(pngcheck_ok(file, &report)) << report;
    }
    Reference ref = libpng_decode(file);
    ASSERT_TRUE(ref.ok);
    PngImage img;
    ASSERT_EQ(png_decode(file.data(), file.size(), &img), PNG_OK);
    ASSERT_EQ(img.width, ref.width);
    ASSERT_EQ(img.height, ref.height);
    if (has_alpha_known) {
        EXPECT_EQ(img.has_alpha, has_alpha);
    }
    for (size_t i = 0; i < size_t{img.width} * img.height; ++i) {
        const uint8_t* r = &ref.rgba[i * 4];
        uint32_t want = (uint32_t{r[3]} << 24) | (uint32_t{r[0]} << 16) | (uint32_t{r[1]} << 8) | r[2];
        if (img.pixels[i] != want) {
            ADD_FAILURE() << "pixel " << i << ": " << std::hex << img.pixels[i] << " != " << want;
            break;
        }
    }
    png_image_free(&img);
}

} // namespace pt
