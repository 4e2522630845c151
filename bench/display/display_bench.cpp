// Decoding a full-screen RGBA picture, next to libpng decoding the same file into the same 8-bit
// RGBA; each allocates its output per picture, both on the same heap.
#include "bench/paired.h"
#include "gui/png/png_decode.h"

#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A 640 x 480 RGBA picture written by ImageMagick, made once.
const std::vector<uint8_t>& screen_png() {
    static std::vector<uint8_t> file = [] {
        std::vector<uint8_t> b;
        const char* cmd = "/usr/bin/convert -size 640x480 -seed 1 plasma:fractal -alpha set -channel A "
                          "-fx '(i+j)/(w+h)' +channel -depth 8 -define png:color-type=6 png:- 2>/dev/null";
        FILE* p = popen(cmd, "r");
        if (!p) return b;
        uint8_t buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            b.insert(b.end(), buf, buf + n);
        pclose(p);
        return b;
    }();
    return file;
}

struct Reader {
    const std::vector<uint8_t>* data;
    size_t at;
};

bool libpng_decode(const std::vector<uint8_t>& file) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Reader r{&file, 0};
    uint8_t* volatile rgba = nullptr;
    png_bytep rows[480];
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::free(rgba);
        return false;
    }
    png_set_read_fn(png, &r, [](png_structp p, png_bytep out, png_size_t n) {
        auto* rd = static_cast<Reader*>(png_get_io_ptr(p));
        if (rd->at + n > rd->data->size()) png_error(p, "short");
        std::memcpy(out, rd->data->data() + rd->at, n);
        rd->at += n;
    });
    png_read_info(png, info);
    if (png_get_image_width(png, info) != 640 || png_get_image_height(png, info) != 480)
        png_error(png, "size");
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    rgba = static_cast<uint8_t*>(std::malloc(640 * 480 * 4));
    for (int y = 0; y < 480; ++y)
        rows[y] = rgba + y * 640 * 4;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(rgba[0]);
    std::free(rgba);
    return true;
}

void BM_PngDecode(benchmark::State& state) {
    const auto& file = screen_png();
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
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 640 * 480 * 4);
}
BENCHMARK(BM_PngDecode)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
