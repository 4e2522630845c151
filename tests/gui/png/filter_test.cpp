// The row filters: rows filtered as an encoder filters them (the predictors as the format
// defines them) come back as they were, by the vector path and by the portable one; and whole
// files of Paeth rows decode as libpng decodes them.
#include "gui/png/png_filter_private.h"

#include "png_tools.h"

#include <cstdlib>
#include <random>

namespace {

using pt::bytes;

int predict(int type, int a, int b, int c) {
    switch (type) {
    case 1:
        return a;
    case 2:
        return b;
    case 3:
        return (a + b) / 2;
    case 4: {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
    default:
        return 0;
    }
}

// The filtered bytes of row under prior (the row above, unfiltered).
bytes filter(int type, const bytes& row, const bytes& prior, size_t bpp) {
    bytes out(row.size());
    for (size_t i = 0; i < row.size(); ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0, c = i >= bpp ? prior[i - bpp] : 0;
        out[i] = static_cast<uint8_t>(row[i] - predict(type, a, prior[i], c));
    }
    return out;
}

// Pixels of small values and a few at the top (so that the predictor's distances tie often, in
// every pair), in runs of equal pixels of every length.
bytes pixels(std::mt19937& rng, size_t n, size_t bpp) {
    static const uint8_t values[] = {0, 1, 2, 3, 4, 5, 6, 7, 128, 253, 254, 255};
    bytes out(n);
    bool same = false;
    for (size_t i = 0; i < n; ++i) {
        if (i % bpp == 0) same = i > 0 && rng() % 4 != 0;
        out[i] = same ? out[i - bpp] : values[rng() % 12];
    }
    return out;
}

} // namespace

// Every filter, every pixel size, rows of 1 to 160 pixels (the first row under zeros), both paths.
TEST(PngFilter, RowsComeBackAsTheyWere) {
    std::mt19937 rng(7);
    for (size_t bpp : {1u, 2u, 3u, 4u, 6u, 8u})
        for (size_t width : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 16u, 17u, 31u, 160u})
            for (int type = 0; type <= 4; ++type)
                for (int run = 0; run < 20; ++run) {
                    const size_t n = width * bpp;
                    const bytes prior = run == 0 ? bytes(n, 0) : pixels(rng, n, bpp),
                                row = pixels(rng, n, bpp);
                    const bytes filtered = filter(type, row, prior, bpp);
                    bytes vec = filtered, portable = filtered;
                    ASSERT_TRUE(png_unfilter(static_cast<uint8_t>(type), vec.data(), prior.data(), n, bpp));
                    ASSERT_TRUE(png_unfilter_portable(static_cast<uint8_t>(type), portable.data(),
                                                      prior.data(), n, bpp));
                    ASSERT_EQ(row, vec)
                        << "type " << type << ", " << bpp << " bytes a pixel, width " << width;
                    ASSERT_EQ(row, portable)
                        << "type " << type << ", " << bpp << " bytes a pixel, width " << width;
                }
    bytes row(8);
    EXPECT_FALSE(png_unfilter(5, row.data(), row.data(), 8, 4));
}

// Files of Paeth rows only (RGBA, RGB, grey with alpha at 8 bits; RGB and RGBA at 16) against libpng.
TEST(PngFilter, PaethFilesDecodeAsLibpngDecodesThem) {
    for (const auto& type : {std::pair{6, 8}, {2, 8}, {4, 8}, {2, 16}, {6, 16}}) {
        const int colour = type.first, depth = type.second;
        pt::Recipe s;
        s.width = 67;
        s.height = 9;
        s.colour = colour;
        s.depth = depth;
        // flat stripes with a few ties across them
        s.sample = [depth](uint32_t x, uint32_t y, int c) {
            const uint32_t v = (x / 13 + y / 3 + static_cast<uint32_t>(c)) % 3 * 127;
            return depth == 16 ? v * 257 : v;
        };
        const size_t bpp = static_cast<size_t>(pt::channels(colour) * depth / 8), rb = s.width * bpp;
        const bytes raw = pt::filtered_image(s); // filter type 0 on every row
        bytes paeth, prior(rb, 0);
        for (uint32_t y = 0; y < s.height; ++y) {
            const bytes row(raw.begin() + static_cast<long>(y * (rb + 1) + 1),
                            raw.begin() + static_cast<long>((y + 1) * (rb + 1)));
            paeth.push_back(4);
            const bytes f = filter(4, row, prior, bpp);
            paeth.insert(paeth.end(), f.begin(), f.end());
            prior = row;
        }
        pt::expect_like_libpng(pt::build(s, pt::zcompress(paeth)),
                               "colour type " + std::to_string(colour) + " at " + std::to_string(depth));
    }
}
