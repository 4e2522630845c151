// PNG decoding of 640 x 480 pictures in every colour type and depth the display's pictures use,
// photographic and flat-coloured (all written by ImageMagick), next to libpng decoding the same
// file into the same 8-bit RGBA; both allocate their output per picture on the same heap.
#include "bench/paired.h"
#include "gui/png/png_decode.h"

#include <benchmark/benchmark.h>
#include <png.h>

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

bool libpng_decode(const std::vector<uint8_t>& file) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    FILE* in = fmemopen(const_cast<uint8_t*>(file.data()), file.size(), "rb"); // read as from a file
    std::vector<uint8_t> out;
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

void decodePair(benchmark::State& state, const std::vector<uint8_t>& file) {
    bool ok = true;
    bench::paired(
        state, "libpng", "time",
        [&] {
            PngImage img;
            ok = ok && png_decode(file.data(), file.size(), &img) == PNG_OK;
            benchmark::DoNotOptimize(img.pixels);
            png_image_free(&img);
        },
        [&] { ok = ok && libpng_decode(file); });
    if (!ok) state.SkipWithError("decode failed");
}

// BM_Png/<kind>/<photo|flat>; each picture is made when its benchmark first runs.
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
    return true;
}();

} // namespace
