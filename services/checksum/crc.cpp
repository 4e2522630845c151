#include "services/checksum/crc.h"

#include "services/checksum/crc_private.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Slicing by sixteen: table k gives the CRC of a byte followed by k zero bytes, so sixteen
// independent lookups fold sixteen input bytes at once. Table 0 is the standard 256-entry table.
constexpr size_t SLICES = 16;
template <typename T> using Tables = std::array<std::array<T, 256>, SLICES>;

constexpr Tables<uint16_t> msb_tables16(uint16_t poly) {
    Tables<uint16_t> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ poly : c << 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < SLICES; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>(t[0][t[k - 1][i] >> 8] ^ (t[k - 1][i] << 8));
    return t;
}

template <typename T> constexpr Tables<T> lsb_tables(T poly) {
    Tables<T> t{};
    for (unsigned i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int b = 0; b < 8; ++b)
            c = static_cast<T>((c & 1) ? (c >> 1) ^ poly : c >> 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < SLICES; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<T>(t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8));
    return t;
}

constexpr auto crc16_tables_1021 = msb_tables16(0x1021);
constexpr auto crc16_tables_8408 = lsb_tables<uint16_t>(0x8408);
constexpr auto crc16_tables_a001 = lsb_tables<uint16_t>(0xA001);
constexpr auto crc32_tables_edb88320 = lsb_tables<uint32_t>(0xEDB88320u);

// Sixteen bytes: those the register does not meet are folded first, off the critical path of
// the register, then the ones it does meet.
template <typename T> T reflected(const Tables<T>& t, const void* buf, size_t len, T crc) {
    const auto* p = static_cast<const uint8_t*>(buf);
    constexpr size_t W = sizeof(T);
    for (; len >= SLICES; len -= SLICES, p += SLICES) {
        T rest = 0;
#pragma GCC unroll 16
        for (size_t i = W; i < SLICES; ++i)
            rest = static_cast<T>(rest ^ t[SLICES - 1 - i][p[i]]);
        T mixed = 0;
#pragma GCC unroll 4
        for (size_t i = 0; i < W; ++i)
            mixed = static_cast<T>(mixed ^ t[SLICES - 1 - i][p[i] ^ ((crc >> (8 * i)) & 0xFF)]);
        crc = static_cast<T>(rest ^ mixed);
    }
    for (; len > 0; --len, ++p)
        crc = static_cast<T>(t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8));
    return crc;
}

} // namespace

uint16_t crc16_ccitt_accu(const void* buf, size_t len, uint16_t crc) {
    const auto& t = crc16_tables_1021;
    const auto* p = static_cast<const uint8_t*>(buf);
    // Most significant bit first: the register meets the first two bytes of each group.
    for (; len >= SLICES; len -= SLICES, p += SLICES) {
        uint16_t rest = 0;
#pragma GCC unroll 16
        for (size_t i = 2; i < SLICES; ++i)
            rest = static_cast<uint16_t>(rest ^ t[SLICES - 1 - i][p[i]]);
        crc = static_cast<uint16_t>(rest ^ t[SLICES - 1][p[0] ^ (crc >> 8)] ^
                                    t[SLICES - 2][p[1] ^ (crc & 0xFF)]);
    }
    for (; len > 0; --len, ++p)
        crc = static_cast<uint16_t>(t[0][((crc >> 8) ^ *p) & 0xFF] ^ (crc << 8));
    return crc;
}

uint16_t crc16_ccitt(const void* buf, size_t len) {
    return crc16_ccitt_accu(buf, len, 0xFFFF);
}

uint16_t crc16_ccitt_lsb_accu(const void* buf, size_t len, uint16_t start) {
    return reflected(crc16_tables_8408, buf, len, start);
}

uint16_t crc16_ibm_accu(const void* buf, size_t len, uint16_t start) {
    return reflected(crc16_tables_a001, buf, len, start);
}

// Folding by carry-less multiplication. A 16-byte lane loaded little-endian holds 128 message
// bits with bit m the coefficient of x^(127-m): the first eight bytes (low half) are the higher
// powers. The reflected register is a 32-bit value whose bit m is the coefficient of x^(31-m).
// Multiplying two such 64-bit halves gives their product times x in the 128-bit lane's order.
namespace {

constexpr size_t FOLD_MIN = 64; // below this the tables are faster

#if defined(__x86_64__)

constexpr uint32_t CRC32_POLY = 0xEDB88320u; // reflected x^32 + x^26 + ... + x + 1

// x^e mod P in the register's order: the register starts at x^0 (the top bit) and each step is
// one multiplication by x.
constexpr uint64_t xpow_mod(unsigned e) {
    uint32_t r = 0x80000000u;
    for (unsigned i = 0; i < e; ++i)
        r = (r >> 1) ^ ((r & 1) ? CRC32_POLY : 0);
    return r;
}

constexpr uint64_t reverse_bits(uint64_t v, unsigned width) {
    uint64_t r = 0;
    for (unsigned i = 0; i < width; ++i)
        r |= ((v >> i) & 1) << (width - 1 - i);
    return r;
}

// P with its x^32 term, in plain order (bit d the coefficient of x^d).
constexpr uint64_t POLY_PLAIN = (uint64_t{1} << 32) | reverse_bits(CRC32_POLY, 32);

// floor(x^64 / P) in plain order (33 bits), by long division.
constexpr uint64_t barrett_quotient() {
    uint64_t window = uint64_t{1} << 32, q = 0; // the dividend's top 33 coefficients
    for (int i = 0; i <= 32; ++i) {
        const bool bit = (window >> 32) & 1;
        q = (q << 1) | bit;
        if (bit) window ^= POLY_PLAIN;
        window <<= 1; // the dividend's lower coefficients are all zero
    }
    return q;
}

// A lane H·x^64 + L moved on by D bits is H·x^(64+D) + L·x^D. With a 32-bit register-order
// constant K = x^e mod P the product H·K lands as H·x^(e+33), so the high half takes x^(D+31)
// and the low half x^(D-33).
constexpr uint64_t FOLD512_HI = xpow_mod(512 + 31), FOLD512_LO = xpow_mod(512 - 33);
constexpr uint64_t FOLD128_HI = xpow_mod(128 + 31), FOLD128_LO = xpow_mod(128 - 33);
// 128 to 96 bits: the high half times x^95 lands as H·x^128, the low half moved down a half as
// L·x^64; the sum is X·x^64, which is the wanted X·x^32 in the top 96 bits.
constexpr uint64_t REDUCE96 = xpow_mod(95);
// 96 to 64 bits: the top 32 bits Z times x^63 land as Z·x^128 beside the low 64 moved down.
constexpr uint64_t REDUCE64 = xpow_mod(63);
// Barrett: floor(x^64 / P) and P, both 33 bits, reversed so their products land in the low half.
constexpr uint64_t BARRETT_MU = reverse_bits(barrett_quotient(), 33);
constexpr uint64_t BARRETT_POLY = reverse_bits(POLY_PLAIN, 33);
static_assert(BARRETT_POLY == ((uint64_t{CRC32_POLY} << 1) | 1));

#define CRC_CLMUL __attribute__((target("pclmul,sse4.1")))

CRC_CLMUL inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

CRC_CLMUL inline uint64_t clmul_low(uint64_t a, uint64_t b) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
        _mm_cvtsi64_si128(static_cast<long long>(a)), _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00)));
}

// Whole 64-byte blocks; len is at least 64.
CRC_CLMUL uint32_t fold_blocks(const uint8_t* p, size_t len, uint32_t crc) {
    auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
    // The register meets the first four bytes.
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    const __m128i k512 = _mm_set_epi64x(FOLD512_LO, FOLD512_HI);
    for (p += 64, len -= 64; len >= 64; p += 64, len -= 64) {
        x0 = _mm_xor_si128(fold(x0, k512), load(p));
        x1 = _mm_xor_si128(fold(x1, k512), load(p + 16));
        x2 = _mm_xor_si128(fold(x2, k512), load(p + 32));
        x3 = _mm_xor_si128(fold(x3, k512), load(p + 48));
    }
    const __m128i k128 = _mm_set_epi64x(FOLD128_LO, FOLD128_HI);
    x1 = _mm_xor_si128(fold(x0, k128), x1);
    x2 = _mm_xor_si128(fold(x1, k128), x2);
    x3 = _mm_xor_si128(fold(x2, k128), x3);

    // The lane's low word holds the higher powers.
    const uint64_t high_powers = static_cast<uint64_t>(_mm_cvtsi128_si64(x3));
    const uint64_t low_powers = static_cast<uint64_t>(_mm_extract_epi64(x3, 1));
    // 128 to 96 bits, held in a and the low 32 bits of b.
    const __m128i t = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(high_powers)),
                                           _mm_cvtsi64_si128(static_cast<long long>(REDUCE96)), 0x00);
    const uint64_t a = static_cast<uint64_t>(_mm_cvtsi128_si64(t)) ^ low_powers;
    const uint64_t b = static_cast<uint64_t>(_mm_extract_epi64(t, 1));
    // 96 to 64 bits.
    const uint64_t q = clmul_low(a & 0xFFFFFFFFu, REDUCE64) ^ (a >> 32) ^ (b << 32);
    // Barrett: the quotient is the top 32 bits of (top half of q)·mu, the remainder q + quotient·P.
    const uint64_t quotient = clmul_low(q & 0xFFFFFFFFu, BARRETT_MU) & 0xFFFFFFFFu;
    return static_cast<uint32_t>((q >> 32) ^ (clmul_low(quotient, BARRETT_POLY) >> 32));
}

#undef CRC_CLMUL

const bool have_clmul = [] {
    __builtin_cpu_init(); // run before other constructors may ask
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}();

#else

uint32_t fold_blocks(const uint8_t* p, size_t len, uint32_t crc) {
    return crc32_table(p, len, crc);
}

const bool have_clmul = false;

#endif

} // namespace

uint32_t crc32_table(const void* buf, size_t len, uint32_t crc) {
    return reflected(crc32_tables_edb88320, buf, len, crc);
}

bool crc32_folded_available() {
    return have_clmul;
}

uint32_t crc32_folded(const void* buf, size_t len, uint32_t crc) {
    if (len < FOLD_MIN) return crc32_table(buf, len, crc);
    const auto* p = static_cast<const uint8_t*>(buf);
    const size_t whole = len & ~size_t{63};
    return crc32_table(p + whole, len - whole, fold_blocks(p, whole, crc));
}

void crc32_start(uint32_t* crc) {
    *crc = 0;
}

void crc32_update(const void* buf, size_t len, uint32_t* crc) {
    *crc = have_clmul ? crc32_folded(buf, len, *crc) : crc32_table(buf, len, *crc);
}

uint32_t crc32_bsd(const void* buf, size_t len) {
    uint32_t crc;
    crc32_start(&crc);
    crc32_update(buf, len, &crc);
    return crc;
}
