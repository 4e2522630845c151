// The display's start-up costs: reading a large page description (12 pages of 60 elements),
// one verbal-table lookup in a table of 1000 entries, and decoding a full-screen RGBA picture,
// next to libpng decoding the same file into the same 8-bit RGBA.
#include "display/config/xml_scan.h"
#include "display/fonts/tarvo_fonts.h"
#include "gui/png/png_decode.h"

#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string colour(const char* tag) {
    return std::string("<") + tag + " red=\"10\" green=\"20\" blue=\"30\"/>";
}

std::string input(const char* tag) {
    return std::string("<") + tag +
           " adr=\"00010200\" type=\"FLOAT\" mask=\"FFFFFFFF\" quant_a=\"0\" quant_b=\"1\" quant_c=\"0\" "
           "quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>";
}

std::string alpha_deco() {
    return "<AlphaNumDeco style=\"single_line\">" + colour("BGCol") + colour("TitleBGCol") +
           colour("TitleFGCol") + colour("BorderBGCol") + colour("BorderFGCol") + colour("TextBGCol") +
           colour("TextFGCol") + "</AlphaNumDeco>";
}

std::string bar_deco() {
    return "<BarGraphDeco style=\"single_line\">" + colour("BGCol") + colour("TitleBGCol") +
           colour("TitleFGCol") + colour("BorderBGCol") + colour("BorderFGCol") + colour("BarBGCol") +
           colour("BarFGCol") + colour("TicksCol") + "</BarGraphDeco>";
}

std::string large_description() {
    std::string d =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Display version=\"1.0\" x_res=\"640\" y_res=\"480\">\n"
        "<Brightness><perc value=\"20\"/><perc value=\"60\"/><perc value=\"100\"/></Brightness>\n" +
        input("PageInput") + "\n<VerbTabs><VerbTab name=\"gear\" default=\"?\">";
    for (int i = 0; i < 8; ++i)
        d += "<Tab str=\"G" + std::to_string(i) + "\" num=\"" + std::to_string(i) + "\"/>";
    d += "</VerbTab></VerbTabs>\n<Pages>\n";
    for (int p = 0; p < 12; ++p) {
        d += "<Page>" + colour("BGCol") + "\n<DisplayElements>\n";
        for (int e = 0; e < 60; ++e) {
            std::string common = "version=\"1.0\" title=\"Element " + std::to_string(e) +
                                 "\" vis_mode=\"always\" always_on_top=\"false\" prio=\"" +
                                 std::to_string(e + 1) + "\" pos_x=\"" + std::to_string(e % 8 * 80) +
                                 "\" pos_y=\"" + std::to_string(e / 8 * 60) +
                                 "\" size_x=\"80\" size_y=\"60\"";
            if (e % 2 == 0) {
                d +=
                    "<AlphaNumeric " + common +
                    " font_size=\"large\" align=\"MM\" dispmode=\"verbal\" vtab=\"gear\" format_str=\"%s\">" +
                    input("ChInput") + "<DecoMiddle>" + alpha_deco() +
                    "</DecoMiddle><DecoUpper Limit=\"9\" hyst=\"1\">" + alpha_deco() +
                    "</DecoUpper></AlphaNumeric>\n";
            } else {
                d +=
                    "<BarGraph " + common +
                    " style=\"solid\" orientation=\"hori_lr\" ticks=\"true\" min=\"0\" max=\"100\">" +
                    input("ChInput") +
                    "<TickList><Tab name=\"0\" value=\"0\"/><Tab name=\"50\" value=\"50\"/><Tab name=\"100\" "
                    "value=\"100\"/></TickList><DecoMiddle>" +
                    bar_deco() + "</DecoMiddle></BarGraph>\n";
            }
        }
        d += "</DisplayElements>\n</Page>\n";
    }
    return d + "</Pages>\n</Display>\n";
}

void BM_DescriptionParse(benchmark::State& state) {
    const std::string text = large_description();
    for (auto _ : state) {
        xml_scan_s s;
        xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
        display_s* d = nullptr;
        if (XmlParseDisplay(&s, &d) != 0) state.SkipWithError(xml_error_text());
        XmlFreeDisplay(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DescriptionParse)->Unit(benchmark::kMillisecond);

// The six display fonts unpacked as at display start.
void BM_FontUnpack(benchmark::State& state) {
    for (auto _ : state) {
        TarvoFonts_reset();
        TarvoFonts_ini();
    }
}
BENCHMARK(BM_FontUnpack)->Unit(benchmark::kMillisecond);

void BM_DescriptionLoad(benchmark::State& state) {
    const std::string text = large_description();
    char path[] = "/tmp/vyn_bench_display_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        state.SkipWithError("temporary file");
        return;
    }
    close(fd);
    for (auto _ : state) {
        display_s* d = nullptr;
        if (XmlLoad(path, &d) != 0) state.SkipWithError(xml_error_text());
        XmlFreeDisplay(d);
    }
    unlink(path);
}
BENCHMARK(BM_DescriptionLoad)->Unit(benchmark::kMillisecond);

void BM_VerbalLookup(benchmark::State& state) {
    std::vector<vtab_entry_s> entries(1000);
    vtab_s table{};
    std::snprintf(table.default_text, sizeof table.default_text, "?");
    for (int i = 0; i < 1000; ++i) {
        entries[i].num = i * 2;
        std::snprintf(entries[i].text, sizeof entries[i].text, "entry %d", i);
        XmlAVLinsert(&table.root, &entries[i]);
    }
    char out[255];
    uint32_t v = 0;
    for (auto _ : state) {
        XmlVTabOutput(&table, v, out); // hits and misses alternate
        benchmark::DoNotOptimize(out);
        v = (v + 7) % 2001;
    }
}
BENCHMARK(BM_VerbalLookup)->Unit(benchmark::kNanosecond);

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

void BM_PngDecode(benchmark::State& state) {
    const auto& file = screen_png();
    for (auto _ : state) {
        PngImage img;
        if (png_decode(file.data(), file.size(), &img) != PNG_OK) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(img.pixels);
        png_image_free(&img);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 640 * 480 * 4);
}
BENCHMARK(BM_PngDecode)->Unit(benchmark::kMillisecond);

void BM_PngDecodeLibpng(benchmark::State& state) {
    const auto& file = screen_png();
    struct Reader {
        const std::vector<uint8_t>* data;
        size_t at;
    };
    std::vector<uint8_t> rgba(640 * 480 * 4);
    std::vector<png_bytep> rows(480);
    for (int y = 0; y < 480; ++y)
        rows[y] = rgba.data() + y * 640 * 4;
    for (auto _ : state) {
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        Reader r{&file, 0};
        if (setjmp(png_jmpbuf(png))) {
            state.SkipWithError("libpng failed");
            png_destroy_read_struct(&png, &info, nullptr);
            break;
        }
        png_set_read_fn(png, &r, [](png_structp p, png_bytep out, png_size_t n) {
            auto* rd = static_cast<Reader*>(png_get_io_ptr(p));
            if (rd->at + n > rd->data->size()) png_error(p, "short");
            std::memcpy(out, rd->data->data() + rd->at, n);
            rd->at += n;
        });
        png_read_info(png, info);
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        png_destroy_read_struct(&png, &info, nullptr);
        benchmark::DoNotOptimize(rgba.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 640 * 480 * 4);
}
BENCHMARK(BM_PngDecodeLibpng)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
