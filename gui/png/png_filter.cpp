// PNG row filters reversed. Paeth's predictor takes the pixel just made on the left, so a row goes
// one pixel after the other: in vector registers the bytes of a pixel go together, and where the
// row above is flat (each pixel equal to the one left of it) the predictor is the left pixel, so
// four pixels of four bytes go at once as a running sum, as the Sub filter's do.
#include "gui/png/png_filter_private.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#define PNG_FILTER_SSE2 1
#endif

namespace {

inline uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    const int bc = pb <= pc ? b : c;
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : bc);
}

// Bytewise sum and floor average of the bytes of two words, without carries between the bytes.
template <typename W> inline W add_bytes(W x, W y) {
    constexpr W low7 = static_cast<W>(~W{0} / 0xFF * 0x7F), high = static_cast<W>(~W{0} / 0xFF * 0x80);
    return ((x & low7) + (y & low7)) ^ ((x ^ y) & high);
}
inline uint32_t avg_bytes(uint32_t x, uint32_t y) {
    return (x & y) + (((x ^ y) & 0xFEFEFEFEu) >> 1);
}

// f(0) .. f(B - 1), written out (so a[j] below stays in a register).
template <size_t B, typename F> inline void each_byte(F f) {
    [&]<size_t... J>(std::index_sequence<J...>) {
        (f(J), ...);
    }
    (std::make_index_sequence<B>{});
}

// Reverses the filter of one row in place; prior is the row above (all zero for a pass's first
// row). B is the filter's byte distance: the left neighbours (and those above them) are carried
// in registers, zero before the first pixel, which gives the first B bytes their rule.
template <size_t B> bool unfilter_by(uint8_t type, uint8_t* row, const uint8_t* prior, size_t n) {
    uint8_t a[B] = {}, c[B] = {};
    switch (type) {
    case 0:
        return true;
    case 1:
        for (size_t i = 0; i + B <= n; i += B)
            each_byte<B>([&](size_t j) { a[j] = row[i + j] = static_cast<uint8_t>(row[i + j] + a[j]); });
        return true;
    case 2: {
        size_t i = 0;
        for (uint64_t x, y; i + 8 <= n; i += 8) {
            std::memcpy(&x, row + i, 8);
            std::memcpy(&y, prior + i, 8);
            x = add_bytes(x, y);
            std::memcpy(row + i, &x, 8);
        }
        for (; i < n; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prior[i]);
        return true;
    }
    case 3:
        if constexpr (B == 4) { // one pixel per word
            uint32_t left = 0, x, up;
            for (size_t i = 0; i + 4 <= n; i += 4) {
                std::memcpy(&x, row + i, 4);
                std::memcpy(&up, prior + i, 4);
                left = add_bytes(x, avg_bytes(left, up));
                std::memcpy(row + i, &left, 4);
            }
            return true;
        }
        for (size_t i = 0; i + B <= n; i += B)
            each_byte<B>([&](size_t j) {
                a[j] = row[i + j] = static_cast<uint8_t>(row[i + j] + ((a[j] + prior[i + j]) >> 1));
            });
        return true;
    case 4:
        for (size_t i = 0; i + B <= n; i += B)
            each_byte<B>([&](size_t j) {
                const uint8_t b = prior[i + j];
                a[j] = row[i + j] = static_cast<uint8_t>(row[i + j] + paeth(a[j], b, c[j]));
                c[j] = b;
            });
        return true;
    default:
        return false;
    }
}

#ifdef PNG_FILTER_SSE2

// N bytes (at most 8) as 16-bit lanes, and back.
template <size_t N> inline __m128i load_lanes(const uint8_t* p) {
    uint64_t v = 0;
    std::memcpy(&v, p, N);
    return _mm_unpacklo_epi8(_mm_cvtsi64_si128(static_cast<long long>(v)), _mm_setzero_si128());
}

template <size_t N> inline void store_lanes(uint8_t* p, __m128i v) {
    const auto w = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(v, v)));
    std::memcpy(p, &w, N);
}

inline __m128i abs16(__m128i v) {
    return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

// t where the mask is set, else f.
inline __m128i select(__m128i mask, __m128i t, __m128i f) {
    return _mm_or_si128(_mm_and_si128(mask, t), _mm_andnot_si128(mask, f));
}

inline __m128i load16(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One pixel of Paeth in the lanes of a, b, c and the filtered bytes x; returns the pixel. The lanes
// hold bytes, so adding their low bytes alone wraps the sum as the filter does.
template <bool Keep> inline __m128i paeth_pixel(__m128i a, __m128i b, __m128i c, __m128i x, __m128i keep) {
    // p = a + b - c, so pa = |b - c|, pb = |a - c|, pc = |(a - c) + (b - c)|
    const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(bc), pb = abs16(ac), pc = abs16(_mm_add_epi16(ac, bc));
    // a where pa <= pb and pa <= pc, else b where pb <= pc, else c
    const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i predictor = select(notA, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
    return _mm_add_epi8(x, Keep ? _mm_and_si128(predictor, keep) : predictor);
}

// Paeth for pixels of B bytes (4, 6 or 8), the channels of one pixel side by side in 16-bit lanes.
// Pixels of six bytes are loaded and stored as eight: the lanes past the pixel get no predictor,
// so the bytes after it are written back as they were (but for the row's last pixel). Such a
// store reaches into the next pixel, which is therefore loaded before it: a load behind the store
// would wait for it.
template <size_t B> void paeth_vector(uint8_t* row, const uint8_t* prior, size_t n) {
    constexpr size_t L = B == 6 ? 8 : B;
    const __m128i zero = _mm_setzero_si128();
    const __m128i keep = _mm_srli_si128(_mm_set1_epi32(-1), 16 - 2 * B);
    __m128i a = zero, c = zero; // left and upper left, zero before the first pixel
    __m128i next = L != B && L <= n ? load_lanes<L>(row) : zero;
    size_t i = 0;
    for (; i + L <= n; i += B) {
        if constexpr (B == 4) {
            if (i >= 4 && i + 16 <= n) {
                const __m128i above = load16(prior + i);
                if (_mm_movemask_epi8(_mm_cmpeq_epi8(above, load16(prior + i - 4))) == 0xFFFF) {
                    // b == c: pa is 0, the predictor a, so the pixels are a running sum
                    __m128i s = load16(row + i);
                    s = _mm_add_epi8(s, _mm_slli_si128(s, 4));
                    s = _mm_add_epi8(s, _mm_slli_si128(s, 8));
                    s = _mm_add_epi8(s, _mm_shuffle_epi32(_mm_packus_epi16(a, a), 0));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), s);
                    a = _mm_unpacklo_epi8(_mm_srli_si128(s, 12), zero);
                    c = _mm_unpacklo_epi8(_mm_srli_si128(above, 12), zero);
                    i += 12; // and the loop's 4
                    continue;
                }
            }
        }
        __m128i x = next;
        if constexpr (L == B)
            x = load_lanes<L>(row + i);
        else if (i + B + L <= n)
            next = load_lanes<L>(row + i + B);
        const __m128i b = _mm_and_si128(load_lanes<L>(prior + i), keep);
        a = paeth_pixel<L != B>(a, b, c, x, keep);
        store_lanes<L>(row + i, a);
        c = b;
    }
    if (i + B <= n) // the last pixel of six bytes
        store_lanes<B>(row + i,
                       paeth_pixel<false>(a, load_lanes<B>(prior + i), c, load_lanes<B>(row + i), keep));
}

#endif

} // namespace

bool png_unfilter_portable(uint8_t type, uint8_t* row, const uint8_t* prior, size_t n, size_t bpp) {
    switch (bpp) {
    case 1:
        return unfilter_by<1>(type, row, prior, n);
    case 2:
        return unfilter_by<2>(type, row, prior, n);
    case 3:
        return unfilter_by<3>(type, row, prior, n);
    case 4:
        return unfilter_by<4>(type, row, prior, n);
    case 6:
        return unfilter_by<6>(type, row, prior, n);
    default:
        return unfilter_by<8>(type, row, prior, n);
    }
}

bool png_unfilter(uint8_t type, uint8_t* row, const uint8_t* prior, size_t n, size_t bpp) {
#ifdef PNG_FILTER_SSE2
    if (type == 4 && bpp >= 4) { // up to three bytes a pixel, the portable loop is as quick
        if (bpp == 4)
            paeth_vector<4>(row, prior, n);
        else if (bpp == 6)
            paeth_vector<6>(row, prior, n);
        else
            paeth_vector<8>(row, prior, n);
        return true;
    }
#endif
    return png_unfilter_portable(type, row, prior, n, bpp);
}
