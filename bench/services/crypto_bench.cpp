// Throughput of the checksums and ciphers (MB/s), next to zlib's crc32 on the same buffers, and the
// time of one archive key derivation (PBKDF2, 1000 iterations).
#include "services/checksum/crc.h"
#include "services/checksum/md5.h"
#include "services/cipher/aes.h"
#include "services/cipher/pbkdf2.h"
#include "services/cipher/sha1.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

std::vector<uint8_t> buffer(size_t n) {
    std::vector<uint8_t> b(n);
    std::mt19937 rng(1);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

template <typename Fn> void throughput(benchmark::State& state, Fn fn) {
    auto data = buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        fn(data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_crc16_ccitt(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc16_ccitt(p, n)); });
}
void BM_crc16_ccitt_lsb(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc16_ccitt_lsb_accu(p, n, 0xFFFF)); });
}
void BM_crc16_ibm(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc16_ibm_accu(p, n, 0)); });
}
void BM_crc32_bsd(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc32_bsd(p, n)); });
}
void BM_zlib_crc32(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc32(0, p, static_cast<uInt>(n))); });
}
void BM_md5(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) {
        md5_context ctx;
        uint8_t digest[16];
        md5_init(&ctx);
        md5_update(&ctx, p, n);
        md5_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    });
}
void BM_sha1(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) {
        uint8_t digest[SHA1_DIGEST_SIZE];
        SHA1(digest, p, n);
        benchmark::DoNotOptimize(digest);
    });
}

const uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void BM_aes_ecb_encrypt(benchmark::State& s) {
    AES_ctx ctx;
    AES_init_ctx(&ctx, kKey);
    throughput(s, [&](uint8_t* p, size_t n) {
        for (size_t off = 0; off + AES_BLOCKLEN <= n; off += AES_BLOCKLEN)
            AES_ECB_encrypt(&ctx, p + off);
    });
}
void BM_aes_ecb_decrypt(benchmark::State& s) {
    AES_ctx ctx;
    AES_init_ctx(&ctx, kKey);
    throughput(s, [&](uint8_t* p, size_t n) {
        for (size_t off = 0; off + AES_BLOCKLEN <= n; off += AES_BLOCKLEN)
            AES_ECB_decrypt(&ctx, p + off);
    });
}
void BM_aes_ctr(benchmark::State& s) {
    AES_ctx ctx;
    const uint8_t iv[16] = {};
    AES_init_ctx_iv(&ctx, kKey, iv);
    throughput(s, [&](uint8_t* p, size_t n) { AES_CTR_xcrypt_buffer(&ctx, p, n); });
}

// The archive's derivation: 16-character password, 8-byte salt, 34 bytes.
void BM_pbkdf2_1000(benchmark::State& state) {
    const uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[34];
    for (auto _ : state) {
        pbkdf2("ABCDEFGHIJKLMNOP", salt, sizeof salt, 1000, out, sizeof out);
        benchmark::DoNotOptimize(out);
    }
}

} // namespace

#define THROUGHPUT(fn) BENCHMARK(fn)->Arg(4096)->Arg(1 << 20)
THROUGHPUT(BM_crc16_ccitt);
THROUGHPUT(BM_crc16_ccitt_lsb);
THROUGHPUT(BM_crc16_ibm);
THROUGHPUT(BM_crc32_bsd);
THROUGHPUT(BM_zlib_crc32);
THROUGHPUT(BM_md5);
THROUGHPUT(BM_sha1);
THROUGHPUT(BM_aes_ecb_encrypt);
THROUGHPUT(BM_aes_ecb_decrypt);
THROUGHPUT(BM_aes_ctr);
BENCHMARK(BM_pbkdf2_1000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
