// PNG decoding: chunk walk with CRC checks; the IDAT chunks inflate into a buffer of many rows
// (so that zlib decodes nearly all of it on its fast path), and each row is unfiltered in place
// against the one before and expanded straight into the 32-bit output.
#include "gui/png/png_decode.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "gui/png/png_filter_private.h"
#include "gui/zip/pzip.h"
#include "services/bytes/bytes.h"

namespace {

using bytes::get_be16;
using bytes::get_be32;
constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct Pass {
    uint32_t x0, y0, dx, dy;
};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
constexpr Pass kSingle = {0, 0, 1, 1};

bool chunk_is(const uint8_t* type, const char* name) {
    return std::memcmp(type, name, 4) == 0;
}

bool is_letter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

uint32_t pass_extent(uint32_t size, uint32_t start, uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

struct Decoder {
    // header
    uint32_t width = 0, height = 0;
    uint8_t depth = 0, colour = 0, interlace = 0;
    uint32_t channels = 0;
    // palette and transparency
    uint8_t palette[256][3] = {};
    uint32_t palette_size = 0;
    uint8_t palette_alpha[256] = {};
    uint32_t alpha_count = 0;
    bool have_key = false;
    uint16_t key[3] = {}; // grey, or red, green, blue
    // Palette and grey images of up to 8 bits: the output word of each sample value.
    uint32_t lut[256] = {};
    // image data
    uint32_t* out = nullptr;
    uint8_t* buf = nullptr;         // inflated rows, each its filter byte and its bytes
    size_t cap = 0;                 // of buf
    size_t filled = 0;              // bytes in buf
    size_t at = 0;                  // where the next row starts
    size_t row_max = 0;             // the longest row with its filter byte
    uint64_t remaining = 0;         // filtered bytes of the image not inflated yet
    uint8_t* zero = nullptr;        // the row above a pass's first row
    const uint8_t* prior = nullptr; // the row above the next one, unfiltered
    const Pass* passes = &kSingle;
    int pass_count = 1;
    int pass = 0;
    uint32_t pass_width = 0, pass_height = 0, y = 0;
    size_t rb = 0; // row bytes of the current pass
    size_t bpp = 1;
    PzipStream z{};
    bool inflating = false;
    bool stream_end = false;
    bool done = false;       // every row is in
    bool bad_filter = false; // reported once the data is complete, as a filter error

    ~Decoder() {
        if (inflating) PzipInflateEnd(&z);
        std::free(buf);
        std::free(zero);
        std::free(out);
    }

    uint64_t row_bytes(uint32_t w) const { return (uint64_t{w} * channels * depth + 7) / 8; }

    int header(const uint8_t* d, uint32_t len);
    int plte(const uint8_t* d, uint32_t len);
    void trns(const uint8_t* d, uint32_t len);
    int start_data();
    int idat(const uint8_t* d, uint32_t len);
    void start_pass();
    void rows();
    void build_lut();
    void expand(const uint8_t* row, uint32_t n, uint32_t* dst, uint32_t step) const;
};

int Decoder::header(const uint8_t* d, uint32_t len) {
    if (len != 13) return PNG_ERR_HEADER;
    width = get_be32(d);
    height = get_be32(d + 4);
    depth = d[8];
    colour = d[9];
    interlace = d[12];
    if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return PNG_ERR_HEADER;
    if (d[10] != 0 || d[11] != 0 || interlace > 1) return PNG_ERR_HEADER;
    bool ok;
    switch (colour) {
    case 0:
        ok = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        channels = 1;
        break;
    case 3:
        ok = depth == 1 || depth == 2 || depth == 4 || depth == 8;
        channels = 1;
        break;
    case 2:
    case 4:
    case 6:
        ok = depth == 8 || depth == 16;
        channels = colour == 2 ? 3 : colour == 4 ? 2 : 4;
        break;
    default:
        ok = false;
    }
    if (!ok) return PNG_ERR_HEADER;
    if (width > PNG_MAX_DIMENSION || height > PNG_MAX_DIMENSION || uint64_t{width} * height > PNG_MAX_PIXELS)
        return PNG_ERR_TOO_LARGE;
    return PNG_OK;
}

int Decoder::plte(const uint8_t* d, uint32_t len) {
    if (colour == 0 || colour == 4) return PNG_ERR_CHUNK;
    if (len == 0 || len % 3 != 0 || len / 3 > 256) return PNG_ERR_PALETTE;
    palette_size = len / 3;
    // Entries the bit depth cannot index are dropped, as common decoders do.
    if (colour == 3 && palette_size > (1u << depth)) palette_size = 1u << depth;
    std::memcpy(palette, d, size_t{palette_size} * 3);
    return PNG_OK;
}

void Decoder::trns(const uint8_t* d, uint32_t len) {
    switch (colour) {
    case 0:
        if (len != 2) return;
        key[0] = get_be16(d);
        have_key = true;
        break;
    case 2:
        if (len != 6) return;
        for (int i = 0; i < 3; ++i)
            key[i] = get_be16(d + 2 * i);
        have_key = true;
        break;
    case 3:
        if (palette_size == 0 || len == 0 || len > palette_size) return;
        std::memcpy(palette_alpha, d, len);
        alpha_count = len;
        break;
    default:
        break; // types with an alpha channel carry no tRNS
    }
}

int Decoder::start_data() {
    if (interlace) {
        passes = kAdam7;
        pass_count = 7;
    }
    bpp = channels * depth >= 8 ? channels * depth / 8 : 1;
    row_max = static_cast<size_t>(row_bytes(width)) + 1;
    for (int p = 0; p < pass_count; ++p) {
        const uint32_t w = pass_extent(width, passes[p].x0, passes[p].dx);
        if (w) remaining += uint64_t{pass_extent(height, passes[p].y0, passes[p].dy)} * (row_bytes(w) + 1);
    }
    cap = row_max * 3 > 65536 ? row_max * 3 : 65536;
    out = static_cast<uint32_t*>(std::malloc(size_t{width} * height * sizeof(uint32_t)));
    buf = static_cast<uint8_t*>(std::malloc(cap));
    zero = static_cast<uint8_t*>(std::calloc(row_max, 1));
    if (!out || !buf || !zero) return PNG_ERR_NO_MEMORY;
    int r = PzipInflateInit(&z, 15, PZIP_VERSION, sizeof z);
    if (r == PZIP_MEM_ERROR) return PNG_ERR_NO_MEMORY;
    if (r != PZIP_OK) return PNG_ERR_DATA;
    inflating = true;
    build_lut();
    pass = -1;
    start_pass();
    return PNG_OK;
}

// Moves to the next pass that has pixels, or finishes.
void Decoder::start_pass() {
    for (++pass; pass < pass_count; ++pass) {
        pass_width = pass_extent(width, passes[pass].x0, passes[pass].dx);
        pass_height = pass_extent(height, passes[pass].y0, passes[pass].dy);
        if (pass_width && pass_height) break;
    }
    if (pass == pass_count) {
        done = true;
        return;
    }
    y = 0;
    rb = static_cast<size_t>(row_bytes(pass_width));
    prior = zero;
}

// Image data past the last row, compressed or not, is ignored as other decoders do.
int Decoder::idat(const uint8_t* d, uint32_t len) {
    if (stream_end || done) return PNG_OK;
    z.next_in = d;
    z.avail_in = len;
    while (z.avail_in > 0 && !done) {
        if (cap - filled < row_max) { // the row above the next one and the rest move to the front
            const size_t from = prior == zero ? at : static_cast<size_t>(prior - buf);
            std::memmove(buf, buf + from, filled - from);
            filled -= from;
            at -= from;
            if (prior != zero) prior = buf;
        }
        // Never past the image's data: what follows it is ignored, as before its end.
        const size_t room = remaining < cap - filled ? static_cast<size_t>(remaining) : cap - filled;
        z.next_out = buf + filled;
        z.avail_out = static_cast<unsigned long>(room);
        int r = PzipInflate(&z, PZIP_NO_FLUSH);
        filled += room - z.avail_out;
        remaining -= room - z.avail_out;
        rows();
        if (r == PZIP_STREAM_END) {
            stream_end = true;
            return done ? PNG_OK : PNG_ERR_DATA;
        }
        if (r == PZIP_MEM_ERROR) return PNG_ERR_NO_MEMORY;
        if (r != PZIP_OK) return PNG_ERR_DATA;
    }
    return PNG_OK;
}

void Decoder::build_lut() {
    if (colour == 3) { // an index past the palette reads the zeroed rest: black
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t a = i < alpha_count ? palette_alpha[i] : 255;
            lut[i] =
                (a << 24) | (uint32_t{palette[i][0]} << 16) | (uint32_t{palette[i][1]} << 8) | palette[i][2];
        }
    } else if (colour == 0 && depth <= 8) { // samples below 8 bits scaled by bit replication
        const uint32_t max = (1u << depth) - 1;
        for (uint32_t v = 0; v <= max; ++v)
            lut[v] = (have_key && v == key[0] ? 0u : 0xFF000000u) | (v * (255 / max) * 0x010101u);
    }
}

namespace {

inline uint32_t argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    return (a << 24) | (r << 16) | (g << 8) | b;
}

// One output word per pixel of B bytes.
template <size_t B, typename F>
inline void each_pixel(const uint8_t* row, uint32_t n, uint32_t* dst, uint32_t step, F f) {
    for (uint32_t x = 0; x < n; ++x, row += B, dst += step)
        *dst = f(row);
}

// Samples of D bits (1, 2, 4 or 8), high bits first, through the table.
template <int D>
void through_lut(const uint8_t* row, uint32_t n, uint32_t* dst, uint32_t step, const uint32_t* lut) {
    constexpr uint32_t per = 8 / D, mask = (1u << D) - 1;
    uint32_t x = 0;
    for (; x + per <= n; x += per) {
        const uint32_t b = *row++;
        for (uint32_t j = 1; j <= per; ++j, dst += step)
            *dst = lut[(b >> (8 - D * j)) & mask];
    }
    for (uint32_t j = 1; x < n; ++j, ++x, dst += step)
        *dst = lut[(*row >> (8 - D * j)) & mask];
}

} // namespace

// One loop for each colour type and depth.
void Decoder::expand(const uint8_t* row, uint32_t n, uint32_t* dst, uint32_t step) const {
    if (colour == 0 || colour == 3) {
        switch (depth) {
        case 1:
            return through_lut<1>(row, n, dst, step, lut);
        case 2:
            return through_lut<2>(row, n, dst, step, lut);
        case 4:
            return through_lut<4>(row, n, dst, step, lut);
        case 8:
            return through_lut<8>(row, n, dst, step, lut);
        default: // grey at 16 bits: the key is compared with the whole sample
            return each_pixel<2>(row, n, dst, step, [this](const uint8_t* p) {
                return (have_key && get_be16(p) == key[0] ? 0u : 0xFF000000u) | p[0] * 0x010101u;
            });
        }
    }
    if (depth == 8) {
        switch (colour) {
        case 2:
            if (!have_key)
                return each_pixel<3>(row, n, dst, step,
                                     [](const uint8_t* p) { return argb(255, p[0], p[1], p[2]); });
            return each_pixel<3>(row, n, dst, step, [this](const uint8_t* p) {
                const bool clear = p[0] == key[0] && p[1] == key[1] && p[2] == key[2];
                return argb(clear ? 0 : 255, p[0], p[1], p[2]);
            });
        case 4:
            return each_pixel<2>(row, n, dst, step,
                                 [](const uint8_t* p) { return (uint32_t{p[1]} << 24) | p[0] * 0x010101u; });
        default:
            return each_pixel<4>(row, n, dst, step, [](const uint8_t* p) {
                uint32_t v;
                std::memcpy(&v, p, 4);
                if constexpr (std::endian::native ==
                              std::endian::little) // v is 0xAABBGGRR: swap red and blue
                    return (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
                else
                    return argb(p[3], p[0], p[1], p[2]);
            });
        }
    }
    switch (colour) { // 16 bits: the high bytes
    case 2:
        return each_pixel<6>(row, n, dst, step, [this](const uint8_t* p) {
            const bool clear =
                have_key && get_be16(p) == key[0] && get_be16(p + 2) == key[1] && get_be16(p + 4) == key[2];
            return argb(clear ? 0 : 255, p[0], p[2], p[4]);
        });
    case 4:
        return each_pixel<4>(row, n, dst, step,
                             [](const uint8_t* p) { return (uint32_t{p[2]} << 24) | p[0] * 0x010101u; });
    default:
        return each_pixel<8>(row, n, dst, step,
                             [](const uint8_t* p) { return argb(p[6], p[0], p[2], p[4]); });
    }
}

// Every complete row in buf: unfiltered against the row above, expanded into the output.
void Decoder::rows() {
    while (!done && filled - at >= rb + 1) {
        uint8_t* row = buf + at;
        if (!bad_filter && !png_unfilter(row[0], row + 1, prior + 1, rb, bpp)) bad_filter = true;
        if (!bad_filter) {
            const Pass& ps = passes[pass];
            expand(row + 1, pass_width, out + size_t{ps.y0 + y * ps.dy} * width + ps.x0, ps.dx);
        }
        prior = row;
        at += rb + 1;
        if (++y == pass_height) start_pass();
    }
}

int decode(const uint8_t* data, size_t len, PngImage* out) {
    if (len < sizeof kSignature || !data || std::memcmp(data, kSignature, sizeof kSignature) != 0)
        return PNG_ERR_SIGNATURE;
    Decoder dec;
    bool seen_header = false, seen_palette = false, seen_trns = false, seen_end = false;
    enum { NO_DATA, IN_DATA, AFTER_DATA } data_state = NO_DATA;
    size_t pos = sizeof kSignature;
    while (!seen_end) {
        if (len - pos < 12) return PNG_ERR_TRUNCATED;
        uint32_t clen = get_be32(data + pos);
        const uint8_t* type = data + pos + 4;
        const uint8_t* body = data + pos + 8;
        if (clen > 0x7FFFFFFFu) return PNG_ERR_CHUNK;
        if (len - pos - 12 < clen) return PNG_ERR_TRUNCATED;
        uint32_t crc = static_cast<uint32_t>(PzipCrc32(PzipCrc32(0, nullptr, 0), type, clen + 4));
        if (crc != get_be32(body + clen)) return PNG_ERR_CRC;
        pos += 12 + size_t{clen};
        for (int i = 0; i < 4; ++i)
            if (!is_letter(type[i])) return PNG_ERR_CHUNK;
        if (!seen_header && !chunk_is(type, "IHDR")) return PNG_ERR_CHUNK;

        bool is_idat = chunk_is(type, "IDAT");
        if (!is_idat && data_state == IN_DATA) data_state = AFTER_DATA;
        int r = PNG_OK;
        if (chunk_is(type, "IHDR")) {
            if (seen_header) return PNG_ERR_CHUNK;
            r = dec.header(body, clen);
            seen_header = true;
        } else if (chunk_is(type, "PLTE")) {
            if (seen_palette || data_state != NO_DATA) return PNG_ERR_CHUNK;
            r = dec.plte(body, clen);
            seen_palette = true;
        } else if (is_idat) {
            if (data_state == AFTER_DATA) return PNG_ERR_CHUNK;
            if (data_state == NO_DATA) {
                if (dec.colour == 3 && !seen_palette) return PNG_ERR_PALETTE;
                r = dec.start_data();
                data_state = IN_DATA;
            }
            if (r == PNG_OK) r = dec.idat(body, clen);
        } else if (chunk_is(type, "IEND")) {
            if (clen != 0 || data_state == NO_DATA) return PNG_ERR_CHUNK;
            seen_end = true;
        } else if (chunk_is(type, "tRNS")) {
            if (!seen_trns && data_state == NO_DATA && (dec.colour != 3 || seen_palette))
                dec.trns(body, clen);
            seen_trns = true;
        } else if (!(type[0] & 0x20)) {
            return PNG_ERR_CHUNK; // critical and unknown
        }
        if (r != PNG_OK) return r;
    }
    if (!dec.done) return PNG_ERR_DATA;
    if (dec.bad_filter) return PNG_ERR_FILTER;
    out->width = dec.width;
    out->height = dec.height;
    out->has_alpha = dec.colour == 4 || dec.colour == 6 || dec.have_key || dec.alpha_count > 0;
    out->pixels = dec.out;
    dec.out = nullptr;
    return PNG_OK;
}

} // namespace

int png_decode(const uint8_t* data, size_t len, PngImage* out) {
    if (!out) return PNG_ERR_ARGUMENT;
    *out = PngImage{};
    if (!data && len) return PNG_ERR_ARGUMENT;
    return decode(data, len, out);
}

void png_image_free(PngImage* image) {
    if (!image) return;
    std::free(image->pixels);
    *image = PngImage{};
}

const char* png_result_text(int result) {
    switch (result) {
    case PNG_OK:
        return "no error";
    case PNG_ERR_ARGUMENT:
        return "invalid argument";
    case PNG_ERR_SIGNATURE:
        return "not a PNG file";
    case PNG_ERR_TRUNCATED:
        return "file cut short";
    case PNG_ERR_CRC:
        return "chunk CRC mismatch";
    case PNG_ERR_CHUNK:
        return "malformed, misplaced or unknown critical chunk";
    case PNG_ERR_HEADER:
        return "invalid IHDR";
    case PNG_ERR_PALETTE:
        return "missing or invalid palette";
    case PNG_ERR_DATA:
        return "image data does not match the image";
    case PNG_ERR_FILTER:
        return "unknown filter type";
    case PNG_ERR_TOO_LARGE:
        return "image too large";
    case PNG_ERR_NO_MEMORY:
        return "out of memory";
    default:
        return "unknown error";
    }
}
