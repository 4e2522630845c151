// Build-time generator of the toolkit's fonts and RLE bitmaps.
//
//   vyn_fontgen font --ttf FILE --name NAME --height H [--first N] [--last N] [--aa] [--pack]
//                    [--blank N]... [--ascent N] [--strip FILE] --out FILE
//       renders the glyphs of a TrueType font with FreeType into a GuiFont record (1 bit per pixel,
//       or 4-bit anti-aliased with --aa); codes 0-255 are Latin-1. --pack stores the glyph strip as
//       a zlib stream behind a 32-bit little-endian length (NAME_data_table), to be unpacked at run
//       time, and sets flag 8. --blank makes code N an empty glyph as wide as the space;
//       --ascent sets the second metric byte (default: the baseline row); --strip also writes
//       the unpacked glyph strip to FILE.
//   vyn_fontgen bitmaps --ttf FILE --out FILE
//       the 640 x 480 boot logo and the window icon as 8-bit RLE palette bitmaps.
//   vyn_fontgen bootdump --ttf FILE --name NAME --out FILE
//       the same boot logo as a serialised screen dump (NAME[], NAME_size), for the platform.
#include <ft2build.h>
#include FT_FREETYPE_H
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "vyn_fontgen: %s\n", what.c_str());
    std::exit(1);
}

struct Args {
    std::string mode, ttf, name, out, strip;
    int height = 16, first = 32, last = 255, ascent = -1;
    bool aa = false, pack = false;
    std::set<int> blanks;
};

Args parse(int argc, char** argv) {
    Args a;
    if (argc < 2) die("usage: vyn_fontgen font|bitmaps ...");
    a.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string k = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value for " + k);
            return argv[++i];
        };
        if (k == "--ttf")
            a.ttf = val();
        else if (k == "--name")
            a.name = val();
        else if (k == "--out")
            a.out = val();
        else if (k == "--height")
            a.height = std::atoi(val().c_str());
        else if (k == "--first")
            a.first = std::atoi(val().c_str());
        else if (k == "--last")
            a.last = std::atoi(val().c_str());
        else if (k == "--aa")
            a.aa = true;
        else if (k == "--pack")
            a.pack = true;
        else if (k == "--blank")
            a.blanks.insert(std::atoi(val().c_str()));
        else if (k == "--ascent")
            a.ascent = std::atoi(val().c_str());
        else if (k == "--strip")
            a.strip = val();
        else
            die("unknown option " + k);
    }
    if (a.ttf.empty() || a.out.empty()) die("--ttf and --out are required");
    if (a.height < 4 || a.height > 255) die("height must be 4..255");
    if (a.first < 0 || a.last > 255 || a.first > a.last) die("bad character range");
    for (int b : a.blanks)
        if (b < a.first || b > a.last) die("blank code outside the character range");
    if (a.ascent < -1 || a.ascent > 255) die("ascent must be 0..255");
    return a;
}

struct Face {
    FT_Library lib = nullptr;
    FT_Face face = nullptr;
    explicit Face(const std::string& path) {
        if (FT_Init_FreeType(&lib)) die("FreeType init failed");
        if (FT_New_Face(lib, path.c_str(), 0, &face)) die("cannot open " + path);
    }
    ~Face() {
        FT_Done_Face(face);
        FT_Done_FreeType(lib);
    }
    Face(const Face&) = delete;
    Face& operator=(const Face&) = delete;
};

// Coverage 0..255 of one rendered glyph, placed in a cell.
struct Glyph {
    int width = 0;
    std::vector<uint8_t> cov; // height x width
};

// Picks the largest pixel size whose line fits `height`; returns the baseline row.
int fitSize(FT_Face face, int height) {
    for (int px = height; px > 2; --px) {
        FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px));
        int asc = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
        int desc = static_cast<int>(face->size->metrics.descender >> 6); // negative, floored
        if (asc - desc <= height) return asc + (height - (asc - desc)) / 2;
    }
    die("no pixel size fits the height");
}

Glyph render(FT_Face face, int code, int height, int baseline, bool aa) {
    Glyph g;
    bool printable = (code >= 32 && code < 127) || code >= 160;
    FT_UInt idx = printable ? FT_Get_Char_Index(face, static_cast<FT_ULong>(code)) : 0;
    if (!idx) return g; // no glyph: zero width, drawn as nothing
    FT_Int32 load =
        FT_LOAD_RENDER | (aa ? FT_LOAD_TARGET_NORMAL : (FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME));
    if (FT_Load_Glyph(face, idx, load)) die("cannot render code " + std::to_string(code));
    FT_GlyphSlot s = face->glyph;
    int adv = static_cast<int>((s->advance.x + 32) >> 6);
    int left = s->bitmap_left > 0 ? s->bitmap_left : 0;
    int bw = static_cast<int>(s->bitmap.width), bh = static_cast<int>(s->bitmap.rows);
    g.width = adv > left + bw ? adv : left + bw;
    g.cov.assign(static_cast<size_t>(g.width * height), 0);
    for (int y = 0; y < bh; ++y) {
        int row = baseline - s->bitmap_top + y;
        if (row < 0 || row >= height) continue;
        const uint8_t* src = s->bitmap.buffer + y * s->bitmap.pitch;
        for (int x = 0; x < bw; ++x) {
            uint8_t v;
            if (s->bitmap.pixel_mode == FT_PIXEL_MODE_MONO)
                v = (src[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            else
                v = src[x];
            int col = left + x;
            if (col < g.width) g.cov[static_cast<size_t>(row * g.width + col)] = v;
        }
    }
    return g;
}

void emitBytes(FILE* f, const char* decl, const std::vector<uint8_t>& bytes) {
    std::fprintf(f, "%s[] = {", decl);
    for (size_t i = 0; i < bytes.size(); ++i)
        std::fprintf(f, "%s%u,", i % 24 ? "" : "\n    ", bytes[i]);
    std::fprintf(f, "\n};\n");
}

void makeFont(const Args& a) {
    if (a.name.empty()) die("--name is required");
    Face ft(a.ttf);
    int baseline = fitSize(ft.face, a.height);
    std::vector<Glyph> glyphs;
    std::vector<uint16_t> offsets;
    int total = 0;
    for (int c = a.first; c <= a.last; ++c) {
        if (a.blanks.count(c)) {
            Glyph blank = render(ft.face, ' ', a.height, baseline, a.aa);
            std::fill(blank.cov.begin(), blank.cov.end(), 0);
            glyphs.push_back(blank);
        } else {
            glyphs.push_back(render(ft.face, c, a.height, baseline, a.aa));
        }
        offsets.push_back(static_cast<uint16_t>(total));
        total += glyphs.back().width;
        if (total > 65535) die("glyph strip wider than 65535 columns");
    }
    offsets.push_back(static_cast<uint16_t>(total));
    int bpr = a.aa ? (total + 1) / 2 : (total + 7) / 8;
    std::vector<uint8_t> strip(static_cast<size_t>(bpr * a.height), 0);
    for (size_t i = 0; i < glyphs.size(); ++i) {
        const Glyph& g = glyphs[i];
        for (int y = 0; y < a.height; ++y)
            for (int x = 0; x < g.width; ++x) {
                uint8_t v = g.cov[static_cast<size_t>(y * g.width + x)];
                int col = offsets[i] + x;
                uint8_t& byte = strip[static_cast<size_t>(y * bpr + (a.aa ? col / 2 : col / 8))];
                if (a.aa) {
                    uint8_t nib = static_cast<uint8_t>((v + 8) / 17);
                    byte |= (col & 1) ? nib : static_cast<uint8_t>(nib << 4);
                } else if (v >= 128) {
                    byte |= static_cast<uint8_t>(0x80 >> (col & 7));
                }
            }
    }

    if (!a.strip.empty()) {
        FILE* s = std::fopen(a.strip.c_str(), "wb");
        if (!s || std::fwrite(strip.data(), 1, strip.size(), s) != strip.size() || std::fclose(s) != 0)
            die("cannot write " + a.strip);
    }

    FILE* f = std::fopen(a.out.c_str(), "w");
    if (!f) die("cannot write " + a.out);
    std::fprintf(f, "// Generated by vyn_fontgen from %s; do not edit.\n#include \"gui/core/types.h\"\n\n",
                 a.ttf.substr(a.ttf.find_last_of('/') + 1).c_str());
    std::fprintf(f, "static const uint16_t %s_offsets[] = {", a.name.c_str());
    for (size_t i = 0; i < offsets.size(); ++i)
        std::fprintf(f, "%s%u,", i % 16 ? "" : "\n    ", offsets[i]);
    std::fprintf(f, "\n};\n");
    unsigned flags = 0x01u | (a.aa ? 0x04u : 0u);
    std::string dataRef;
    if (a.pack) {
        flags |= 0x08u;
        uLongf clen = compressBound(static_cast<uLong>(strip.size()));
        std::vector<uint8_t> z(clen);
        if (compress2(z.data(), &clen, strip.data(), static_cast<uLong>(strip.size()), 9) != Z_OK)
            die("compression failed");
        std::vector<uint8_t> table = {static_cast<uint8_t>(clen), static_cast<uint8_t>(clen >> 8),
                                      static_cast<uint8_t>(clen >> 16), static_cast<uint8_t>(clen >> 24)};
        table.insert(table.end(), z.begin(), z.begin() + static_cast<long>(clen));
        emitBytes(
            f,
            ("extern const uint8_t " + a.name + "_data_table[];\nconst uint8_t " + a.name + "_data_table")
                .c_str(),
            table);
        std::fprintf(f, "extern const unsigned %s_unpacked_size;\nconst unsigned %s_unpacked_size = %zu;\n",
                     a.name.c_str(), a.name.c_str(), strip.size());
        dataRef = a.name + "_data_table";
    } else {
        emitBytes(f, ("static const uint8_t " + a.name + "_glyphs").c_str(), strip);
        dataRef = a.name + "_glyphs";
    }
    std::fprintf(f, "\nGuiFont %s = {0x%02x, %d, %d, %d, %d, %d, %d, %s_offsets, 0, nullptr, %s};\n",
                 a.name.c_str(), flags, a.height, a.ascent >= 0 ? a.ascent : baseline, a.height, bpr, a.first,
                 a.last, a.name.c_str(), dataRef.c_str());
    std::fclose(f);
}

// ---- RLE bitmaps -----------------------------------------------------------------------

std::vector<uint8_t> rleRow(const uint8_t* px, int n) {
    std::vector<uint8_t> out;
    int i = 0;
    while (i < n) {
        int rep = 1;
        while (i + rep < n && rep < 128 && px[i + rep] == px[i])
            ++rep;
        if (rep >= 2) {
            out.push_back(static_cast<uint8_t>(rep - 1));
            out.push_back(px[i]);
            i += rep;
            continue;
        }
        int lit = 1; // up to the next run of three equal pixels
        while (i + lit < n && lit < 128 &&
               !(i + lit + 2 < n && px[i + lit] == px[i + lit + 1] && px[i + lit] == px[i + lit + 2]))
            ++lit;
        out.push_back(static_cast<uint8_t>(0x80 | (lit - 1)));
        out.insert(out.end(), px + i, px + i + lit);
        i += lit;
    }
    return out;
}

void emitRle(FILE* f, const char* name, const std::vector<uint8_t>& px, int w, int h) {
    std::vector<uint8_t> data;
    for (int y = 0; y < h; ++y) {
        auto row = rleRow(px.data() + y * w, w);
        data.insert(data.end(), row.begin(), row.end());
    }
    emitBytes(f, (std::string("static uint8_t ") + name + "_data").c_str(), data);
    std::fprintf(f, "GuiBitmap %s = {0x01, 8, %d, %d, 0, %s_data};\n\n", name, w, h, name);
}

// Palette indexes of the toolkit's default palette.
constexpr uint8_t PAL_BLACK = 0, PAL_DARK_BLUE = 4, PAL_GREY = 8, PAL_RED = 9, PAL_WHITE = 15;
uint8_t greyIndex(int level) {
    return static_cast<uint8_t>(232 + (level + 8) / 17);
} // 16 greys, 0..255

void drawText(FT_Face face, const char* text, int px, int cx, int baselineY, int bgLevel,
              std::vector<uint8_t>& img, int w, int h, int fgLevel) {
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px));
    int width = 0;
    for (const char* p = text; *p; ++p) {
        FT_Load_Char(face, static_cast<unsigned char>(*p), FT_LOAD_DEFAULT);
        width += static_cast<int>(face->glyph->advance.x >> 6);
    }
    int x = cx - width / 2;
    for (const char* p = text; *p; ++p) {
        FT_Load_Char(face, static_cast<unsigned char>(*p), FT_LOAD_RENDER);
        FT_GlyphSlot s = face->glyph;
        for (unsigned r = 0; r < s->bitmap.rows; ++r)
            for (unsigned c = 0; c < s->bitmap.width; ++c) {
                int X = x + s->bitmap_left + static_cast<int>(c),
                    Y = baselineY - s->bitmap_top + static_cast<int>(r);
                if (X < 0 || Y < 0 || X >= w || Y >= h) continue;
                int cov = s->bitmap.buffer[r * static_cast<unsigned>(s->bitmap.pitch) + c];
                if (cov < 8) continue;
                int level = bgLevel + (fgLevel - bgLevel) * cov / 255;
                img[static_cast<size_t>(Y * w + X)] = greyIndex(level);
            }
        x += static_cast<int>(s->advance.x >> 6);
    }
}

// Boot logo: the product name on a dark background with a red accent line.
constexpr int LOGO_W = 640, LOGO_H = 480;
std::vector<uint8_t> drawLogo(FT_Face face) {
    const int bg = 17;
    std::vector<uint8_t> logo(static_cast<size_t>(LOGO_W * LOGO_H), greyIndex(bg));
    drawText(face, "KVX2", 150, LOGO_W / 2, 270, bg, logo, LOGO_W, LOGO_H, 255);
    for (int y = 300; y < 306; ++y)
        for (int x = 170; x < 470; ++x)
            logo[static_cast<size_t>(y * LOGO_W + x)] = PAL_RED;
    drawText(face, "vyn", 28, LOGO_W / 2, 350, bg, logo, LOGO_W, LOGO_H, 170);
    return logo;
}

// The logo as the platform's manager hands it out: a serialised screen dump (palette of
// 0x00RRGGBB words in order of first use, run lengths of at most 65535, then the run colours'
// palette indexes packed least significant bit first), all little-endian.
void makeBootDump(const Args& a) {
    if (a.name.empty()) die("--name is required");
    Face ft(a.ttf);
    const std::vector<uint8_t> logo = drawLogo(ft.face);
    auto rgb = [](uint8_t i) -> uint32_t {
        if (i >= 232) return (i - 232u) * 17u * 0x010101u; // the grey ramp
        if (i == PAL_RED) return 0xFF0000;
        die("boot logo colour without RGB");
    };
    std::vector<uint32_t> palette;
    std::vector<uint32_t> index;
    std::vector<uint16_t> runs;
    for (size_t p = 0; p < logo.size(); ++p) {
        uint32_t c = rgb(logo[p]);
        auto at = std::find(palette.begin(), palette.end(), c);
        uint32_t k = static_cast<uint32_t>(at - palette.begin());
        if (at == palette.end()) palette.push_back(c);
        if (!runs.empty() && index.back() == k && runs.back() < 65535) {
            ++runs.back();
        } else {
            index.push_back(k);
            runs.push_back(1);
        }
    }
    unsigned bits = 0;
    while ((1u << bits) < palette.size())
        ++bits;
    std::vector<uint8_t> packed((runs.size() * bits + 7) / 8);
    for (size_t i = 0; i < runs.size(); ++i)
        for (unsigned k = 0; k < bits; ++k)
            if (index[i] >> k & 1)
                packed[(i * bits + k) / 8] |= static_cast<uint8_t>(1u << ((i * bits + k) % 8));
    std::vector<uint8_t> d;
    auto put = [&d](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint32_t>(palette.size()), 4);
    put(static_cast<uint32_t>(runs.size()), 4);
    put(static_cast<uint32_t>(packed.size()), 4);
    for (uint32_t c : palette)
        put(c, 4);
    for (uint16_t r : runs)
        put(r, 2);
    d.insert(d.end(), packed.begin(), packed.end());

    FILE* f = std::fopen(a.out.c_str(), "w");
    if (!f) die("cannot write " + a.out);
    std::fprintf(f, "// Generated by vyn_fontgen; do not edit.\n#include <cstddef>\n#include <cstdint>\n\n");
    emitBytes(f, ("extern const uint8_t " + a.name + "[];\nconst uint8_t " + a.name).c_str(), d);
    std::fprintf(f, "extern const size_t %s_size;\nconst size_t %s_size = %zu;\n", a.name.c_str(),
                 a.name.c_str(), d.size());
    std::fclose(f);
}

void makeBitmaps(const Args& a) {
    Face ft(a.ttf);
    FILE* f = std::fopen(a.out.c_str(), "w");
    if (!f) die("cannot write " + a.out);
    std::fprintf(f, "// Generated by vyn_fontgen; do not edit.\n#include \"gui/bitmaps/bitmaps.h\"\n\n");
    emitRle(f, "gbBootLogoBitmap", drawLogo(ft.face), LOGO_W, LOGO_H);

    // Window icon: a small window with a blue title bar.
    static const char* icon[] = {
        "kkkkkkkkkkkkkkkk", "kbbbbbbbbbbbbbbk", "kbbbbbbbbbbbwwbk", "kkkkkkkkkkkkkkkk",
        "kwwwwwwwwwwwwwwk", "kwggggggggggggwk", "kwwwwwwwwwwwwwwk", "kwggggggggwwwwwk",
        "kwwwwwwwwwwwwwwk", "kwggggggggggggwk", "kwwwwwwwwwwwwwwk", "kwgggggggwwwwwwk",
        "kwwwwwwwwwwwwwwk", "kwwwwwwwwwwwwwwk", "kwwwwwwwwwwwwwwk", "kkkkkkkkkkkkkkkk",
    };
    std::vector<uint8_t> ic;
    for (const char* row : icon)
        for (const char* p = row; *p; ++p)
            ic.push_back(*p == 'k'   ? PAL_BLACK
                         : *p == 'b' ? PAL_DARK_BLUE
                         : *p == 'g' ? PAL_GREY
                                     : PAL_WHITE);
    emitRle(f, "gbWinIconBitmap", ic, 16, 16);
    std::fclose(f);
}

} // namespace

int main(int argc, char** argv) {
    Args a = parse(argc, argv);
    if (a.mode == "font")
        makeFont(a);
    else if (a.mode == "bitmaps")
        makeBitmaps(a);
    else if (a.mode == "bootdump")
        makeBootDump(a);
    else
        die("unknown mode " + a.mode);
    return 0;
}
