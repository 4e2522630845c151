// A corpus written by ImageMagick (every colour type and bit depth, interlaced or not, every
// filter, tRNS on the types that take it, odd sizes) decoded by the decoder and by libpng.
#include "gui/png/png_decode.h"

#include "png_tools.h"

#include <memory>

namespace {

using pt::bytes;

struct Entry {
    std::string name;
    int colour, depth, interlace;
    bool trns;
    bytes file;
};

const char kGrey[] = "gradient:black-white -colorspace Gray";
const char kColour[] = "xc: -channel R -fx 'i/w' -channel G -fx 'j/h' -channel B -fx '(i*j%7)/7' +channel";
const char kAlpha[] = "-alpha set -channel A -fx '(i+2*j)/(w+2*h)' +channel";
const char kHole[] = "-fill white -draw \"rectangle 2,2 5,4\" -transparent white";

class PngCorpus : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char dir[] = "/tmp/vyn_png_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        struct Variant {
            std::string name, source, extra;
            int colour, depth;
            bool trns;
        };
        std::vector<Variant> variants;
        auto ct = [](int colour, int depth) {
            return " -define png:color-type=" + std::to_string(colour) +
                   " -define png:bit-depth=" + std::to_string(depth);
        };
        for (int d : {1, 2, 4, 8, 16})
            variants.push_back(
                {"grey" + std::to_string(d), kGrey, "-depth " + std::to_string(d) + ct(0, d), 0, d, false});
        for (int d : {8, 16}) {
            std::string ds = std::to_string(d);
            variants.push_back(
                {"greyalpha" + ds, kGrey, "-depth " + ds + " " + kAlpha + ct(4, d), 4, d, false});
            variants.push_back({"rgb" + ds, kColour, "-depth " + ds + ct(2, d), 2, d, false});
            variants.push_back({"rgba" + ds, kColour, "-depth " + ds + " " + kAlpha + ct(6, d), 6, d, false});
            variants.push_back({"greytrns" + ds, kGrey, "-depth " + ds + " " + kHole + ct(0, d), 0, d, true});
            variants.push_back(
                {"rgbtrns" + ds, kColour, "-depth " + ds + " " + kHole + ct(2, d), 2, d, true});
        }
        // ImageMagick adds its background colour to the palette, unless told to leave out bKGD.
        variants.push_back(
            {"pal1", kColour, "+dither -colors 2 -define png:exclude-chunk=bKGD" + ct(3, 1), 3, 1, false});
        variants.push_back({"pal2", kColour, "+dither -colors 3" + ct(3, 2), 3, 2, false});
        variants.push_back({"pal4", kColour, "+dither -colors 9" + ct(3, 4), 3, 4, false});
        variants.push_back({"pal8", kColour, "-colors 100" + ct(3, 8), 3, 8, false});
        variants.push_back({"paltrns", kColour, std::string("-colors 60 ") + kHole, 3, 8, true});
        // ImageMagick filters adaptively; these pictures make it choose every filter type.
        variants.push_back({"plasma", "-seed 3 plasma:fractal", "-depth 8" + ct(2, 8), 2, 8, false});
        variants.push_back({"radial", "radial-gradient:white-black", "-depth 16" + ct(0, 16), 0, 16, false});
        variants.push_back({"radialrgba", "radial-gradient:red-blue",
                            std::string("-depth 8 ") + kAlpha + ct(6, 8), 6, 8, false});

        std::string script = "set -e\ncd " + dir_ + "\n";
        std::vector<std::pair<std::string, const Variant*>> files;
        for (const auto& v : variants) {
            for (const char* size : {"37x23", "1x1"}) {
                for (int il = 0; il <= 1; ++il) {
                    // One pixel cannot show a hole, nor fill a palette of four.
                    if (std::string(size) == "1x1" && (v.trns || v.colour == 3)) continue;
                    std::string name = v.name + "_" + size + (il ? "_i" : "") + ".png";
                    std::string out = v.colour == 3 && v.trns ? "PNG8:" + name : name;
                    script += "/usr/bin/convert -size " + std::string(size) + " " + v.source + " " + v.extra +
                              (il ? " -interlace PNG " : " -interlace none ") + out + " 2>/dev/null\n";
                    files.push_back({name, &v});
                }
            }
        }
        // A full-screen picture whose image data ImageMagick splits over several IDAT chunks.
        script += "/usr/bin/convert -size 640x480 " + std::string(kColour) + " " + kAlpha +
                  " -depth 8 -define png:color-type=6 -define png:compression-level=0 screen.png\n";
        pyref::TempFile sh(script);
        pyref::run("bash " + sh.path());

        for (const auto& [name, v] : files) {
            Entry e{name,     v->colour,
                    v->depth, name.find("_i.") != std::string::npos ? 1 : 0,
                    v->trns,  pt::read_file(dir_ + "/" + name)};
            corpus_.push_back(std::move(e));
        }
        corpus_.push_back({"screen.png", 6, 8, 0, false, pt::read_file(dir_ + "/screen.png")});
    }

    static void TearDownTestSuite() { pyref::run("rm -rf " + dir_); }

    static std::vector<Entry> corpus_;
    static std::string dir_;
};

std::vector<Entry> PngCorpus::corpus_;
std::string PngCorpus::dir_;

TEST_F(PngCorpus, DecodesLikeLibpng) {
    for (const Entry& e : corpus_)
        pt::expect_like_libpng(e.file, e.name, true, e.colour == 4 || e.colour == 6 || e.trns);
}

} // namespace
