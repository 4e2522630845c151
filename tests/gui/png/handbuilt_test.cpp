// Hand-built files: features ImageMagick does not write on request (image data over many IDAT
// chunks, empty IDAT chunks, 1-bit palettes, partial tRNS) and every kind of malformed file.
#include "gui/png/png_decode.h"

#include "png_tools.h"

namespace {

using pt::bytes;
using pt::expect_like_libpng;
using pt::Recipe;

int decode(const bytes& file, PngImage* img = nullptr) {
    PngImage local;
    PngImage* out = img ? img : &local;
    int r = png_decode(file.data(), file.size(), out);
    if (!img) png_image_free(&local);
    return r;
}

bytes palette(int n) {
    bytes p;
    for (int i = 0; i < n; ++i) {
        p.push_back(static_cast<uint8_t>(i * 40));
        p.push_back(static_cast<uint8_t>(255 - i * 7));
        p.push_back(static_cast<uint8_t>(i * i));
    }
    return p;
}

TEST(PngHandBuilt, SplitDataTransparencyAndAncillaryChunks) {
    Recipe s;
    s.width = 31;
    s.height = 17;
    s.colour = 6;
    bytes z = pt::zcompress(pt::filtered_image(s));
    // A zero-length chunk first, one byte per chunk for a while, empty ones in between, the rest.
    s.idat_sizes = {0, 1, 1, 1, 0, 2, 0, 5, 1};
    expect_like_libpng(pt::build(s, z), "split IDAT");
    s.idat_sizes.assign(z.size(), 1);
    expect_like_libpng(pt::build(s, z), "one byte per IDAT");
    s.idat_sizes = {z.size(), 0, 0};
    s.before_idat = {pt::chunk("gAMA", {0, 0, 0xB1, 0x8F}), pt::chunk("tEXt", {'a', 0, 'b'})};
    s.after_idat = {pt::chunk("zzZz", {})};
    expect_like_libpng(pt::build(s, z), "empty IDAT and ancillary chunks");

    // Transparency: fewer palette alphas than colours; grey and RGB keys compared at 16 bits
    // before the high byte is taken; a 2-bit grey key.
    Recipe pal, full, grey, rgb, low;
    pal.colour = 3;
    pal.depth = 4;
    pal.plte = palette(16);
    pal.trns = {0, 128, 255, 7};
    pal.sample = [](uint32_t x, uint32_t y, int) { return (x + y) % 16; };
    full = pal; // an alpha for every colour
    full.trns.resize(16, 64);
    grey.colour = 0;
    grey.depth = 16;
    grey.sample = [](uint32_t x, uint32_t, int) { return x % 2 ? 0x1234u : 0x1235u; };
    grey.trns = {0x12, 0x34};
    rgb.depth = 16;
    rgb.trns = {0, 1, 0, 2, 0, 3};
    rgb.sample = [](uint32_t x, uint32_t, int c) { return x == 0 ? static_cast<uint32_t>(c + 1) : 0x1000u; };
    low.colour = 0;
    low.depth = 2;
    low.trns = {0, 2};
    for (const Recipe* r : {&pal, &full, &grey, &rgb, &low})
        expect_like_libpng(pt::build(*r), "tRNS on type " + std::to_string(r->colour), true, true);
    // A tRNS that does not fit its image is ignored.
    Recipe odd = rgb, oddGrey = grey;
    odd.trns = {0, 1};
    oddGrey.trns = {0x12, 0x34, 0, 0}; // its first two bytes would be a key
    expect_like_libpng(pt::build(odd), "odd tRNS", true, false, false);
    expect_like_libpng(pt::build(oddGrey), "an RGB key on grey", true, false, false);
}

TEST(PngHandBuilt, MalformedFilesAreRejected) {
    Recipe base;
    base.width = 5;
    base.height = 4;
    const bytes good = pt::build(base);
    const bytes z = pt::zcompress(pt::filtered_image(base));
    const bytes head = pt::cat({pt::kSignature, pt::ihdr(5, 4, 8, 2)});
    const bytes iend = pt::chunk("IEND", {});
    const bytes idat = pt::chunk("IDAT", z);
    ASSERT_EQ(decode(good), PNG_OK);

    auto data_of = [&](bytes raw) { return pt::cat({head, pt::chunk("IDAT", pt::zcompress(raw)), iend}); };
    auto header = [&](const bytes& ihdr) { return pt::cat({pt::kSignature, ihdr, idat, iend}); };
    bytes raw = pt::filtered_image(base), bad_filter = raw, bad_adler = z;
    bad_filter[raw.size() / 2 / 16 * 16] = 5; // some row's filter byte (rows are 16 bytes)
    bad_adler.back() ^= 1;
    bytes length_too_big = pt::cat({head, idat, iend});
    length_too_big[33] = 0x80; // IDAT length field's top byte

    struct Case {
        const char* what;
        bytes file;
        int result;
    } const cases[] = {
        {"empty", {}, PNG_ERR_SIGNATURE},
        {"signature",
         pt::cat({bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0B}, bytes(good.begin() + 8, good.end())}),
         PNG_ERR_SIGNATURE},
        {"first chunk not IHDR",
         pt::cat({pt::kSignature, pt::chunk("tEXt", {}), bytes(good.begin() + 8, good.end())}),
         PNG_ERR_CHUNK},
        {"width 2^31", header(pt::ihdr(0x80000000u, 1, 8, 2)), PNG_ERR_HEADER},
        {"RGB at 4 bits", header(pt::ihdr(5, 4, 4, 2)), PNG_ERR_HEADER},
        {"interlace 2", header(pt::ihdr(5, 4, 8, 2, 2)), PNG_ERR_HEADER},
        {"PLTE not of triples", pt::cat({head, pt::chunk("PLTE", bytes(4, 0)), idat, iend}), PNG_ERR_PALETTE},
        {"PLTE of 257 colours", pt::cat({head, pt::chunk("PLTE", palette(257)), idat, iend}),
         PNG_ERR_PALETTE},
        {"PLTE after IDAT", pt::cat({head, idat, pt::chunk("PLTE", palette(2)), iend}), PNG_ERR_CHUNK},
        {"palette image without PLTE", header(pt::ihdr(5, 4, 8, 3)), PNG_ERR_PALETTE},
        {"unknown critical chunk", pt::cat({head, pt::chunk("CRIT", {}), idat, iend}), PNG_ERR_CHUNK},
        {"chunk length beyond 2^31", length_too_big, PNG_ERR_CHUNK},
        {"no IDAT", pt::cat({head, iend}), PNG_ERR_CHUNK},
        {"no IEND", pt::cat({head, idat}), PNG_ERR_TRUNCATED},
        {"unknown filter type", data_of(bad_filter), PNG_ERR_FILTER},
        {"too little image data", data_of(bytes(raw.begin(), raw.end() - 1)), PNG_ERR_DATA},
        {"Adler-32 wrong", pt::cat({head, pt::chunk("IDAT", bad_adler), iend}), PNG_ERR_DATA},
    };
    for (const auto& c : cases) {
        PngImage img;
        EXPECT_EQ(png_decode(c.file.data(), c.file.size(), &img), c.result) << c.what;
        EXPECT_EQ(std::tuple(img.pixels, img.width), std::tuple(nullptr, 0u)) << c.what;
    }

    // Compressed bytes after the end of the zlib stream do not matter.
    EXPECT_EQ(decode(pt::cat({head, idat, pt::chunk("IDAT", {1, 2, 3}), iend})), PNG_OK);
    EXPECT_EQ(png_decode(nullptr, 0, nullptr), PNG_ERR_ARGUMENT);
}

// Not quite valid, yet shown by libpng and ImageMagick: extra image data, a palette longer than
// the bit depth can index, an index past the palette (black, opaque).
TEST(PngHandBuilt, FilesOtherDecodersAccept) {
    Recipe extra;
    extra.width = 5;
    bytes raw = pt::filtered_image(extra);
    const bytes one_more = pt::zcompress(pt::cat({raw, bytes{0}}));
    Recipe split = extra;
    split.idat_sizes.assign(one_more.size(), 1);
    Recipe pal;
    pal.colour = 3;
    pal.depth = 1;
    pal.plte = palette(5);
    pal.sample = [](uint32_t x, uint32_t y, int) { return (x + y) & 1; };
    Recipe past = pal;
    past.depth = 4;
    past.plte = palette(3);
    past.trns = {0, 128};
    past.sample = [](uint32_t x, uint32_t y, int) { return (x + y) % 5; };
    const struct {
        const char* what;
        bytes file;
    } cases[] = {
        {"a row too many", pt::build(extra, pt::zcompress(pt::cat({raw, bytes(16, 9)})))},
        {"one byte too many, over one-byte IDAT chunks", pt::build(split, one_more)},
        {"PLTE of 5 at 1 bit", pt::build(pal)},
        {"indexes 3 and 4 of 3 colours", pt::build(past)},
    };
    for (const auto& c : cases)
        expect_like_libpng(c.file, c.what, false, false, false);
}

TEST(PngHandBuilt, SizeLimitsHoldBeforeAnyAllocation) {
    const bytes z = pt::zcompress(bytes(16, 0));
    auto file = [&](uint32_t w, uint32_t h) {
        return pt::cat({pt::kSignature, pt::ihdr(w, h, 8, 6), pt::chunk("IDAT", z), pt::chunk("IEND", {})});
    };
    for (auto [w, h] : {std::pair{PNG_MAX_DIMENSION + 1, 1u},
                        {1u, PNG_MAX_DIMENSION + 1},
                        {PNG_MAX_DIMENSION, PNG_MAX_DIMENSION},
                        {0x7FFFFFFFu, 0x7FFFFFFFu}})
        EXPECT_EQ(decode(file(w, h)), PNG_ERR_TOO_LARGE) << w << " x " << h;
    EXPECT_EQ(decode(file(PNG_MAX_DIMENSION, 1)), PNG_ERR_DATA) << "within the limits: too little data";

    // The largest allowed image decodes.
    Recipe s;
    s.width = PNG_MAX_DIMENSION;
    s.height = static_cast<uint32_t>(PNG_MAX_PIXELS / PNG_MAX_DIMENSION);
    s.colour = 0;
    s.depth = 1;
    s.sample = [](uint32_t x, uint32_t y, int) { return (x ^ y) & 1; };
    PngImage img;
    ASSERT_EQ(decode(pt::build(s), &img), PNG_OK);
    EXPECT_EQ(img.pixels[0], 0xFF000000u);
    EXPECT_EQ(img.pixels[1], 0xFFFFFFFFu);
    png_image_free(&img);
}

} // namespace
