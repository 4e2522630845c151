// A double store over a fresh non-volatile image in a temporary directory.
#pragma once

#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/unit_dir.h"
#include "services/nvram/nvram.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace nvtest {

using bytes = std::vector<uint8_t>;

struct Store : ::testing::Test {
    UnitDir unit;
    const std::string dir = unit.path;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        testsupport::logStart();
        kmgr::clearFaults();
        nvram_dbs_reset();
        std::string err;
        ASSERT_TRUE(nvmem::install(dir, &err)) << err;
    }
    void TearDown() override {
        nvram_dbs_reset();
        nvmem::uninstall();
        kmgr::clearFaults();
    }
    // What a restart sees: the image reopened and loaded afresh.
    void restart() {
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(dir));
        ASSERT_EQ(nvram_dbs_init(), 1);
    }
    std::string imagePath() const { return dir + "/" + nvmem::IMAGE_FILE; }
    bool imageExists() const { return std::filesystem::exists(imagePath()); }
    bytes image() const {
        const std::string s = unit.read(nvmem::IMAGE_FILE);
        return bytes(s.begin(), s.end());
    }
    void setImage(const bytes& b) const { unit.write(nvmem::IMAGE_FILE, std::string(b.begin(), b.end())); }

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

} // namespace nvtest
