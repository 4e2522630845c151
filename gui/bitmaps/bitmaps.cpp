#include "gui/bitmaps/bitmaps.h"

#include <array>
#include <cstddef>

using std::size_t;

namespace {

// A bitmap from a picture: '.' transparent, k black, w white, g grey, l light grey, b dark blue.
template <int W, int H, size_t N> constexpr std::array<uint8_t, W * H> art(const char (&s)[N]) {
    static_assert(N == W * H + 1, "picture size does not match");
    std::array<uint8_t, W * H> px{};
    for (int i = 0; i < W * H; ++i) {
        switch (s[i]) {
        case 'k':
            px[static_cast<size_t>(i)] = PAL_BLACK;
            break;
        case 'w':
            px[static_cast<size_t>(i)] = PAL_WHITE;
            break;
        case 'g':
            px[static_cast<size_t>(i)] = PAL_GREY;
            break;
        case 'l':
            px[static_cast<size_t>(i)] = PAL_LIGHT_GREY;
            break;
        case 'b':
            px[static_cast<size_t>(i)] = PAL_DARK_BLUE;
            break;
        default:
            px[static_cast<size_t>(i)] = PAL_TRANSPARENT;
            break;
        }
    }
    return px;
}

// clang-format off
auto kClose = art<8, 7>(
    "kk....kk"
    ".kk..kk."
    "..kkkk.."
    "...kk..."
    "..kkkk.."
    ".kk..kk."
    "kk....kk");
auto kMin = art<8, 7>(
    "........"
    "........"
    "........"
    "........"
    "........"
    "kkkkkk.."
    "kkkkkk..");
auto kMax = art<9, 9>(
    "kkkkkkkkk"
    "kkkkkkkkk"
    "k.......k"
    "k.......k"
    "k.......k"
    "k.......k"
    "k.......k"
    "k.......k"
    "kkkkkkkkk");
auto kRestore = art<8, 8>(
    "..kkkkkk"
    "..kkkkkk"
    "..k....k"
    "kkkkkk.k"
    "kkkkkk.k"
    "k....kkk"
    "k....k.."
    "kkkkkk..");
auto kSys = art<12, 12>(
    "kkkkkkkkkkkk"
    "kbbbbbbbbbbk"
    "kbbbbbbbwwbk"
    "kkkkkkkkkkkk"
    "kwwwwwwwwwwk"
    "kwggggggggwk"
    "kwwwwwwwwwwk"
    "kwggggggwwwk"
    "kwwwwwwwwwwk"
    "kwggggggggwk"
    "kwwwwwwwwwwk"
    "kkkkkkkkkkkk");
auto kDrag = art<12, 12>(
    "..........w."
    ".........wg."
    "........wgg."
    ".......wgg.."
    "......w....w"
    ".....wg...wg"
    "....wgg..wgg"
    "...wgg..wgg."
    "..w....w...."
    ".wg...wg...."
    "wgg..wgg...."
    "gg..gg......");
auto kUp = art<7, 4>(
    "...k..."
    "..kkk.."
    ".kkkkk."
    "kkkkkkk");
auto kDown = art<7, 4>(
    "kkkkkkk"
    ".kkkkk."
    "..kkk.."
    "...k...");
auto kLeft = art<4, 7>(
    "...k"
    "..kk"
    ".kkk"
    "kkkk"
    ".kkk"
    "..kk"
    "...k");
auto kMore = art<4, 7>(
    "k..."
    "kk.."
    "kkk."
    "kkkk"
    "kkk."
    "kk.."
    "k...");
auto kCheck = art<7, 7>(
    "......k"
    ".....kk"
    "k...kkk"
    "kk.kkk."
    "kkkkk.."
    ".kkk..."
    "..k....");
auto kDot = art<6, 6>(
    ".kkkk."
    "kkkkkk"
    "kkkkkk"
    "kkkkkk"
    "kkkkkk"
    ".kkkk.");
auto kMix = art<8, 8>(
    "wlwlwlwl"
    "lwlwlwlw"
    "wlwlwlwl"
    "lwlwlwlw"
    "wlwlwlwl"
    "lwlwlwlw"
    "wlwlwlwl"
    "lwlwlwlw");
// clang-format on

constexpr uint8_t kArt = BMF_RAW | BMF_HAS_TRANS;

} // namespace

GuiBitmap gbCloseButtonBitmap = {kArt, 8, 8, 7, PAL_TRANSPARENT, kClose.data()};
GuiBitmap gbMinButtonBitmap = {kArt, 8, 8, 7, PAL_TRANSPARENT, kMin.data()};
GuiBitmap gbMaxButtonBitmap = {kArt, 8, 9, 9, PAL_TRANSPARENT, kMax.data()};
GuiBitmap gbRestoreButtonBitmap = {kArt, 8, 8, 8, PAL_TRANSPARENT, kRestore.data()};
GuiBitmap gbSysButtonBitmap = {kArt, 8, 12, 12, PAL_TRANSPARENT, kSys.data()};
GuiBitmap gbDragBitmap = {kArt, 8, 12, 12, PAL_TRANSPARENT, kDrag.data()};
GuiBitmap gbUpArrowBitmap = {kArt, 8, 7, 4, PAL_TRANSPARENT, kUp.data()};
GuiBitmap gbDownArrowBitmap = {kArt, 8, 7, 4, PAL_TRANSPARENT, kDown.data()};
GuiBitmap gbLeftArrowBitmap = {kArt, 8, 4, 7, PAL_TRANSPARENT, kLeft.data()};
GuiBitmap gbMoreBitmap = {kArt, 8, 4, 7, PAL_TRANSPARENT, kMore.data()};
GuiBitmap gbCheckBitmap = {kArt, 8, 7, 7, PAL_TRANSPARENT, kCheck.data()};
GuiBitmap gbDotBitmap = {kArt, 8, 6, 6, PAL_TRANSPARENT, kDot.data()};
GuiBitmap gbMixPatternBitmap = {BMF_RAW, 8, 8, 8, 0, kMix.data()};
