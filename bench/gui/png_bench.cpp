// PNG decoding of 640 x 480 pictures in every colour type and depth the display's pictures use,
// photographic and flat-coloured (written by ImageMagick, which picks each row's filter), and a
// flat RGBA picture written here with the Paeth filter on most rows, next to libpng decoding the
// same file into the same 8-bit RGBA; both allocate their output per picture on the same heap.
// A picture whose pixels differ from libpng's fails its row.
#include "bench/paired.h"
#include "gui/png/png_decode.h"

#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Kind {
    const char* name;
    int colour, depth;
    const char* options;
};
const char kAlpha[] = "-alpha set -channel A -fx '(i+j)/(w+h)' +channel ";
const Kind kKinds[] = {{"pal1", 3, 1, "-colors 2 "},
                       {"pal2", 3, 2, "-colors 4 "},
                       {"pal4", 3, 4, "-colors 16 "},
                       {"pal8", 3, 8, "-colors 256 "},
                       {"grey8", 0, 8, "-colorspace Gray "},
                       {"greyalpha8", 4, 8, "-colorspace Gray "},
                       {"rgb8", 2, 8, ""},
                       {"rgba8", 6, 8, ""}};
const char* const kSources[] = {
    "-seed 1 plasma:fractal", // photographic: palettes dithered
    "xc:'#203040' +dither -fill '#E08020' -draw 'rectangle 40,40 300,200' -fill white "
    "-draw 'circle 450,300 450,420' -fill '#10A010' -draw 'polygon 100,400 300,250 500,460'",
};

std::vector<uint8_t> picture(const Kind& k, const char* source) {
    const std::string cmd =
        "/usr/bin/convert -size 640x480 " + std::string(source) + " " + k.options +
        (k.colour & 4 ? kAlpha : "") +
        "-define png:exclude-chunk=bKGD -define png:color-type=" + std::to_string(k.colour) +
        " -define png:bit-depth=" + std::to_string(k.depth) + " png:- 2>/dev/null";
    std::vector<uint8_t> b;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        uint8_t buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            b.insert(b.end(), buf, buf + n);
        pclose(p);
    }
    if (b.size() < 26 || b[24] != k.depth || b[25] != k.colour) {
        std::fprintf(stderr, "ImageMagick did not write %s\n", k.name);
        std::exit(1);
    }
    return b;
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 24; i >= 0; i -= 8)
        b.push_back(static_cast<uint8_t>(v >> i));
}

void chunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
    put32(png, static_cast<uint32_t>(data.size()));
    const size_t at = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(png, static_cast<uint32_t>(crc32(0, png.data() + at, static_cast<uInt>(data.size() + 4))));
}

// Flat shapes (one colour and alpha each) over a background, every row filtered with Paeth but
// each sixteenth (Up), deflated by zlib.
std::vector<uint8_t> paethPicture() {
    constexpr int w = 640, h = 480;
    const auto pixel = [](int x, int y) -> uint32_t { // 0xRRGGBBAA
        if ((x - 450) * (x - 450) + (y - 300) * (y - 300) < 120 * 120) return 0xFFFFFFC0;
        if (x >= 40 && x < 300 && y >= 40 && y < 200) return 0xE08020FF;
        if (x + 2 * y >= 700 && x + 2 * y < 800) return 0x10A01080;
        return y < 240 ? 0x203040FF : 0x304050FF;
    };
    const auto paeth = [](int a, int b, int c) {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    };
    std::vector<uint8_t> raw, prior(w * 4, 0), row(w * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 4; ++k)
                row[x * 4 + k] = static_cast<uint8_t>(pixel(x, y) >> (24 - 8 * k));
        const bool up = y % 16 == 0;
        raw.push_back(up ? 2 : 4);
        for (int i = 0; i < w * 4; ++i) {
            const int a = i >= 4 ? row[i - 4] : 0, c = i >= 4 ? prior[i - 4] : 0;
            raw.push_back(static_cast<uint8_t>(row[i] - (up ? prior[i] : paeth(a, prior[i], c))));
        }
        prior = row;
    }
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> z(n), png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, ihdr;
    if (compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) std::abort();
    put32(ihdr, w);
    put32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    for (uLongf at = 0; at < n; at += 8192) // in pieces, as encoders write it
        chunk(png, "IDAT", std::vector<uint8_t>(z.begin() + at, z.begin() + std::min<uLongf>(n, at + 8192)));
    chunk(png, "IEND", {});
    return png;
}

// The file decoded by libpng into out (8-bit RGBA per pixel); false when libpng refuses it.
bool libpng_decode(const std::vector<uint8_t>& file, std::vector<uint8_t>& out) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    FILE* in = fmemopen(const_cast<uint8_t*>(file.data()), file.size(), "rb"); // read as from a file
    png_bytep rows[480];
    if (!in || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (in) std::fclose(in);
        return false;
    }
    png_init_io(png, in);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_read_update_info(png, info);
    out.resize(640 * 480 * 4);
    for (int y = 0; y < 480; ++y)
        rows[y] = out.data() + y * 640 * 4;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(in);
    return true;
}

// Our pixels against libpng's, before any timing.
bool sameAsLibpng(const std::vector<uint8_t>& file) {
    std::vector<uint8_t> ref;
    PngImage img;
    bool same = libpng_decode(file, ref) && png_decode(file.data(), file.size(), &img) == PNG_OK &&
                size_t{img.width} * img.height * 4 == ref.size();
    for (size_t i = 0; same && i < ref.size() / 4; ++i) {
        const uint8_t* r = &ref[i * 4];
        same =
            img.pixels[i] == ((uint32_t{r[3]} << 24) | (uint32_t{r[0]} << 16) | (uint32_t{r[1]} << 8) | r[2]);
    }
    png_image_free(&img);
    return same;
}

void decodePair(benchmark::State& state, const std::vector<uint8_t>& file) {
    if (!sameAsLibpng(file)) {
        state.SkipWithError("pixels differ from libpng's");
        return;
    }
    bool ok = true;
    bench::paired(
        state, "libpng", "time",
        [&] {
            PngImage img;
            ok = ok && png_decode(file.data(), file.size(), &img) == PNG_OK;
            benchmark::DoNotOptimize(img.pixels);
            png_image_free(&img);
        },
        [&] {
            std::vector<uint8_t> out;
            ok = ok && libpng_decode(file, out);
        });
    if (!ok) state.SkipWithError("decode failed");
}

// BM_Png/<kind>/<photo|flat>, and BM_Png/rgba8/flat-paeth; each picture is made when its
// benchmark first runs.
const bool kRegistered = [] {
    static std::vector<uint8_t> files[std::size(kKinds)][2];
    for (size_t k = 0; k < std::size(kKinds); ++k)
        for (int flat = 0; flat < 2; ++flat)
            benchmark::RegisterBenchmark(
                (std::string("BM_Png/") + kKinds[k].name + (flat ? "/flat" : "/photo")).c_str(),
                [k, flat](benchmark::State& s) {
                    if (files[k][flat].empty()) files[k][flat] = picture(kKinds[k], kSources[flat]);
                    decodePair(s, files[k][flat]);
                })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Png/rgba8/flat-paeth",
                                 [](benchmark::State& s) {
                                     static const std::vector<uint8_t> file = paethPicture();
                                     decodePair(s, file);
                                 })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace
