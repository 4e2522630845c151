// A double store over a fresh non-volatile image in a temporary directory.
#pragma once

#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nvtest {

using bytes = std::vector<uint8_t>;

struct Store : ::testing::Test {
    std::string dir;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        testsupport::logStart();
        kmgr::clearFaults();
        char tmpl[] = "/tmp/vyn_nvram_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        nvram_dbs_reset();
        std::string err;
        ASSERT_TRUE(nvmem::install(dir, &err)) << err;
    }
    void TearDown() override {
        nvram_dbs_reset();
        nvmem::uninstall();
        kmgr::clearFaults();
        std::filesystem::remove_all(dir);
    }

    // What a restart sees: the image reopened and loaded afresh.
    void restart() {
        nvram_dbs_reset();
        std::string err;
        ASSERT_TRUE(nvmem::install(dir, &err)) << err;
        ASSERT_EQ(nvram_dbs_init(), 1);
    }

    std::string imagePath() const { return dir + "/" + nvmem::IMAGE_FILE; }
    bool imageExists() const { return std::filesystem::exists(imagePath()); }

    bytes image() const {
        std::ifstream in(imagePath(), std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), {});
    }
    void setImage(const bytes& b) const {
        std::ofstream out(imagePath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }

    // Lines logged and not yet counted that contain `needle`; they are counted once only.
    int logCount(const std::string& needle) {
        testsupport::logContains(seen, "");
        const auto hit = [&](const testsupport::LogLine& l) {
            return l.text.find(needle) != std::string::npos;
        };
        const int n = static_cast<int>(std::count_if(seen.begin(), seen.end(), hit));
        seen.erase(std::remove_if(seen.begin(), seen.end(), hit), seen.end());
        return n;
    }

    static bytes pattern(size_t n, uint8_t seed) {
        bytes b(n);
        for (size_t i = 0; i < n; ++i)
            b[i] = static_cast<uint8_t>(seed * 31u + i * 7u + 1u);
        return b;
    }
    static int write(const nvram_elem_t& e, uint32_t r, const bytes& b) {
        return nvram_dbs_write(e.id, r, b.data(), static_cast<uint32_t>(b.size()));
    }
    static bytes read(const nvram_elem_t& e, uint32_t r, int* result = nullptr) {
        bytes b(e.size, 0xEE);
        const int n = nvram_dbs_read(e.id, r, b.data(), e.size);
        if (result) *result = n;
        return b;
    }
};

// The slot header (CRC, counter) at `off` of an image.
inline uint16_t u16At(const bytes& img, size_t off) {
    uint16_t v;
    std::memcpy(&v, img.data() + off, 2);
    return v;
}

} // namespace nvtest
