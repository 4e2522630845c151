// The Pzip codec and its one-shot wrappers against Python's zlib as the independent reference.
#include "gui/zip/pzip.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "malloc_fault.h"

namespace {

using pyref::bytes;

bytes sample(size_t n, uint32_t seed) {
    // Text with random stretches: compressible, but not trivially so.
    std::mt19937 rng(seed);
    static const char words[] = "lap outing fragment rpm oil water fuel brake ";
    bytes b;
    while (b.size() < n) {
        if (rng() % 4 == 0) {
            for (int i = 0; i < 16 && b.size() < n; ++i)
                b.push_back(static_cast<uint8_t>(rng()));
        } else {
            size_t at = rng() % (sizeof words - 6);
            for (size_t i = 0; i < 6 && b.size() < n; ++i)
                b.push_back(static_cast<uint8_t>(words[at + i]));
        }
    }
    return b;
}

int unzip(const bytes& z, bytes* out, unsigned long capacity) {
    out->assign(capacity, 0xEE);
    unsigned long len = capacity;
    int r = GuiUnzip(out->data(), &len, z.data(), z.size());
    if (r == 0) out->resize(len);
    return r;
}

unsigned long size_only(const bytes& z, int* result, unsigned long start = 12345) {
    unsigned long len = start;
    *result = GuiUnzip(nullptr, &len, z.data(), z.size());
    return len;
}

// Into a buffer, and without one (only the inflated size).
TEST(GuiUnzip, InflatesPythonStreamsAtEveryLevel) {
    std::vector<std::vector<bytes>> cases;
    std::vector<bytes> inputs;
    for (size_t n : {size_t{0}, size_t{1}, size_t{70000}}) {
        for (int level = 0; level <= 9; ++level) {
            inputs.push_back(sample(n, static_cast<uint32_t>(n + level)));
            cases.push_back({inputs.back(), bytes{static_cast<uint8_t>(level)}});
        }
    }
    auto streams = pyref::map("def f(d, l): return zlib.compress(d, l[0]).hex()", cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        bytes z = pyref::unhex(streams[i]), got;
        ASSERT_EQ(unzip(z, &got, inputs[i].size()), 0);
        EXPECT_EQ(got, inputs[i]);
        int r;
        EXPECT_EQ(std::tuple(size_only(z, &r), r), std::tuple(inputs[i].size(), 0));
    }
}

TEST(GuiZip, OutputInflatesInPython) {
    std::vector<std::vector<bytes>> cases;
    std::mt19937 rng(3);
    // Random data does not shrink: the codec has to grow its buffer many times.
    for (const bytes& in : {bytes{}, bytes{0x00}, sample(70000, 5), pyref::random_bytes(rng, 300000)}) {
        unsigned char* z = nullptr;
        unsigned long zlen = 0;
        ASSERT_EQ(GuiZip(&z, &zlen, in.data(), in.size()), 0);
        ASSERT_NE(z, nullptr);
        cases.push_back({bytes(z, z + zlen), in});
        std::free(z);
    }
    auto ok = pyref::map("def f(z, d): return zlib.decompress(z) == d", cases);
    for (const auto& o : ok)
        EXPECT_EQ(o, "True");
}

TEST(GuiZip, FailedGrowthFreesTheBufferAndLeavesTheResultUntouched) {
    std::mt19937 rng(4);
    bytes in = pyref::random_bytes(rng, 200000);
    for (int allowed : {0, 1, 3}) {
        SCOPED_TRACE("allocations allowed " + std::to_string(allowed));
        unsigned char* z = reinterpret_cast<unsigned char*>(0x1);
        unsigned long zlen = 77;
        malloc_fault::Scope fault(allowed);
        EXPECT_EQ(GuiZip(&z, &zlen, in.data(), in.size()), -4);
        EXPECT_EQ(malloc_fault::live(), 0) << "buffer leaked";
        EXPECT_EQ(std::tuple(z, zlen), std::tuple(reinterpret_cast<unsigned char*>(0x1), 77ul));
    }
}

TEST(PzipCrc32, CheckValueAndChainingMatchPython) {
    EXPECT_EQ(PzipCrc32(0, reinterpret_cast<const unsigned char*>("123456789"), 9), 0xCBF43926u);

    std::mt19937 rng(8);
    std::vector<std::vector<bytes>> cases;
    for (size_t n : {1, 100, 5552, 5553, 100000})
        cases.push_back({pyref::random_bytes(rng, n)});
    auto ref = pyref::map("def f(d): return '%08x' % zlib.crc32(d[7:], zlib.crc32(d[:7]))", cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        size_t head = std::min<size_t>(7, d.size());
        unsigned long crc = PzipCrc32(PzipCrc32(0, d.data(), static_cast<unsigned>(head)), d.data() + head,
                                      static_cast<unsigned>(d.size() - head));
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08lx", crc);
        EXPECT_EQ(ref[i], buf);
    }
}

TEST(PzipAdler32, CheckValueAndChainingMatchPython) {
    EXPECT_EQ(PzipAdler32(1, reinterpret_cast<const unsigned char*>("123456789"), 9), 0x091E01DEu);
    EXPECT_EQ(PzipAdler32(1, nullptr, 0), 1u);

    std::mt19937 rng(8);
    std::vector<std::vector<bytes>> cases;
    for (size_t n : {1, 100, 5552, 5553, 100000})
        cases.push_back({pyref::random_bytes(rng, n)});
    auto ref = pyref::map("def f(d): return '%08x' % zlib.adler32(d[7:], zlib.adler32(d[:7]))", cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        size_t head = std::min<size_t>(7, d.size());
        unsigned long adler = PzipAdler32(PzipAdler32(1, d.data(), head), d.data() + head, d.size() - head);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08lx", adler);
        EXPECT_EQ(ref[i], buf);
    }
}

} // namespace
