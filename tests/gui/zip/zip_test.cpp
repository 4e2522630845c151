// The Pzip codec's inflation and its CRC against Python's zlib as the independent reference.
#include "gui/zip/pzip.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <random>

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

} // namespace
