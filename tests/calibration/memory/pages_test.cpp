// Pages, guarded access and checksums of the calibration memory.
#include "calibration/memory/seram.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>

#include "calibration/fakes.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Seram : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset();
        seramInitializeOffsets();
        fakes::reset();
    }
    static void fillRandom(uint32_t from, uint32_t to, unsigned seed) {
        std::mt19937 rng(seed);
        for (uint32_t a = from; a < to; ++a)
            seram_memory[a] = static_cast<uint8_t>(rng());
    }
    static bytes at(uint32_t vaddr, uint32_t len) {
        return bytes(seram_memory + vaddr, seram_memory + vaddr + len);
    }
};

TEST_F(Seram, ImageAreasAndPageSwitch) {
    EXPECT_EQ(std::memcmp(seram_memory, "SERAM_START_AREA_DUMMY\0\0\0\0\0\0\0\0\0\0", 32), 0);
    EXPECT_STREQ(seramGetEPKPtr(), VYN_EPK_TEXT);
    EXPECT_EQ(std::pair(CL_DISP_BRIGHT_BG[5], CL_DISP_BRIGHT_COLSAT_row_[7]), std::pair(100.0f, 100.0f));
    EXPECT_EQ(at(SERAM_BLOCK_SIZE, SERAM_GUARD_SIZE), bytes(SERAM_GUARD_SIZE, 0));
    // Each area's last address and the one behind it; the adaptive page is empty.
    const std::pair<bool (*)(uint32_t), uint32_t> areas[] = {{seramVirtualAddrIsRefpage, 0x1FFFF},
                                                             {seramVirtualAddrIsWorkpage, 0x3FFFF},
                                                             {seramVirtualAddrIsSignalpage, 0x4181B},
                                                             {seramVirtualAddrIsAdaptVolatilepage, 0x51C17}};
    for (auto [in, last] : areas)
        EXPECT_TRUE(in(last) && !in(last + 1)) << std::hex << last;
    EXPECT_FALSE(seramVirtualAddrIsAdaptpage(0x50000));

    EXPECT_EQ(seramGetRefPageActive(), 1);
    const uint32_t ref = 0x1234, work = 0xBEEF;
    std::memcpy(seram_memory + VTADDR_ECU_TYPE, &ref, 4);
    std::memcpy(seram_memory + 0x20000 + VTADDR_ECU_TYPE, &work, 4);
    std::memcpy(seram_memory + 0x20000 + VTADDR_CARID, "WORKCAR_________", 16);
    seramSetWorkpageActive();
    EXPECT_EQ(std::tuple(seramGetRefPageActive(), seramGetActivePage(), ECU_TYPE),
              std::tuple(0, seram_memory + 0x20000, work));
    char car[16];
    seramGetCARID(car);
    EXPECT_EQ(std::memcmp(car, "WORKCAR_________", 16), 0);
    seramSetRefpageActive();
    EXPECT_EQ(ECU_TYPE, ref);
}

TEST_F(Seram, DownloadsReadsAndChecksAreGuardedAndStopTheChannelFunctionsOnlyAtTheActivePage) {
    const bytes data(16, 0xA5);
    const bytes refBefore = at(0, 0x20000);
    // Into the reference page, reaching into the working page from it, ending at the block's end.
    EXPECT_FALSE(seramDownload(0x00000, data.data(), 8) || seramDownload(0x1FFFF, data.data(), 1) ||
                 seramDownload(0x1FFFC, data.data(), 8) || seramDownload(0x5FFF0, data.data(), 16));
    EXPECT_EQ(at(0, 0x20000), refBefore);
    EXPECT_TRUE(seramDownload(0x5FFF0, data.data(), 15));
    EXPECT_TRUE(seramDownload(0x20000, data.data(), 8)); // inactive working page: nothing stopped
    EXPECT_EQ(at(0x20000, 8), bytes(8, 0xA5));
    EXPECT_EQ(fakes::awmStops, 0);

    seramSetWorkpageActive();
    // Ending at the block's end, or wrapping: refused before anything is stopped.
    EXPECT_FALSE(seramDownload(0x20000, data.data(), 0x40000) ||
                 seramDownload(0x20000, data.data(), 0xFFFFFFF0u));
    EXPECT_EQ(fakes::awmStops, 0);
    EXPECT_TRUE(seramDownload(0x20000, data.data(), 4));
    EXPECT_TRUE(seramDownload(0x20010, data.data(), 4)); // not at the page start
    EXPECT_EQ(fakes::awmStops, 1);
    EXPECT_TRUE(logged("seramDownload(): stopped AWM scheduler due to CalPage download"));

    // Volatile adaptive values are forwarded to the channel functions, signals are not.
    EXPECT_TRUE(seramDownload(0x50010, data.data(), 6));
    EXPECT_TRUE(seramDownload(0x40100, data.data(), 6));
    ASSERT_EQ(fakes::adjDownloads.size(), 1u);
    EXPECT_EQ(std::pair(fakes::adjDownloads[0].data, fakes::adjDownloads[0].phys),
              std::pair(bytes(6, 0xA5), static_cast<const void*>(seram_memory + 0x50010)));
    EXPECT_EQ(at(0x50010, 6), bytes(6, 0xA5));

    uint8_t out[16];
    EXPECT_TRUE(seramReadMemory(out, 0x5FFF0, 16)); // a read may end at the block's end
    EXPECT_FALSE(seramReadMemory(out, 0x5FFF1, 16));
    EXPECT_TRUE(seramVirtualAddrRangeIsReadAccessAllowed(0x5FFF0, 16) &&
                !seramVirtualAddrRangeIsReadAccessAllowed(0x5FFF0, 17));
    // Lengths whose end would wrap below the block's end.
    const uint32_t huge = 0xFFFFFFF8u;
    EXPECT_FALSE(seramReadMemory(out, 0x10, huge) || seramVirtualAddrRangeIsReadAccessAllowed(0x10, huge) ||
                 seramBuildChksum(0x10, huge) || seramChksumM16byAdd8(0x10, huge) ||
                 seramCopyPage(0x20000, 0x10, huge) || seramCopyPage(0x10, 0x20000, huge));
}

TEST_F(Seram, ChecksumsMatchTheCatalogueAndPageCopiesMayWriteTheReferencePage) {
    fillRandom(0, SERAM_BLOCK_SIZE, 7);
    const std::pair<uint32_t, uint32_t> ranges[] = {
        {0, SERAM_DATASET_SIZE}, {0x40001, 0x181B}, {0x5FF00, 0x100}, {0x12345, 1}, {0x60000, 0}};
    std::vector<std::vector<bytes>> cases;
    for (auto [a, n] : ranges)
        cases.push_back({at(a, n)});
    const auto ref = pyref::map("ccitt = crcmod.mkCrcFun(0x11021, initCrc=0xFFFF, rev=False, xorOut=0)\n"
                                "def f(b): return '%d %d' % (ccitt(b), sum(b) & 0xFFFF)\n",
                                cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        auto [a, n] = ranges[i];
        EXPECT_EQ(std::to_string(seramBuildChksum(a, n)) + " " + std::to_string(seramChksumM16byAdd8(a, n)),
                  ref[i]);
    }
    EXPECT_EQ(seramBuildChksum(0x5FF00, 0x101) + seramChksumM16byAdd8(0x5FF00, 0x101), 0); // beyond the block

    fillRandom(0x20000, 0x40000, 4);
    const bytes work = at(0x20000, 0x20000);
    EXPECT_TRUE(seramCopyPage(0x00000, 0x20000, 0x20000));
    EXPECT_EQ(at(0, 0x20000), work);
    // A destination ending at the block's end, a source beyond it.
    EXPECT_FALSE(seramCopyPage(0x40000, 0x20000, 0x20000) || seramCopyPage(0x00000, 0x60010, 4));
    const bytes src = at(0x20000, 64);
    EXPECT_TRUE(seramCopyPage(0x20010, 0x20000, 64)); // overlapping
    EXPECT_EQ(at(0x20010, 64), src);
}

} // namespace
