// First boot: the records an erased store gets during the start-up are stored in one go.
#include "store_fixture.h"

#include <span>

namespace nvtest {
namespace {

TEST_F(Store, RepairOfAnErasedStoreTakesOnePersistAndAtMostTwoSyncs) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    ASSERT_EQ(nvram_dbs_repair_begin(), 1);
    std::vector<std::pair<nvram_elem_t, uint32_t>> written;
    for (auto [table, n] : {std::pair{nvramElemsClone, std::size(nvramElemsClone)},
                            std::pair{nvramElemsNoClone, std::size(nvramElemsNoClone)}})
        for (const nvram_elem_t& e : std::span(table, n))
            for (uint32_t r = 0; r < e.count; ++r) {
                ASSERT_EQ(write(e, r, pattern(e.size, static_cast<uint8_t>(written.size()))), int(e.size));
                written.emplace_back(e, r);
            }
    EXPECT_EQ(nvmem::counts().persists, 0u);
    EXPECT_FALSE(imageExists());
    ASSERT_EQ(nvram_dbs_repair_end(), 1);
    EXPECT_EQ(nvmem::counts().persists, 1u);
    EXPECT_LE(nvmem::counts().syncs, 2u) << "the image file and its directory";
    restart();
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(read(written[i].first, written[i].second), pattern(written[i].first.size, uint8_t(i))) << i;

    // No longer erased: each write is stored by itself, and the bytes between the regions stay.
    bytes img = image();
    img[0x20000] = 0x5A;
    setImage(img);
    restart();
    EXPECT_EQ(nvram_dbs_repair_begin(), 0);
    ASSERT_EQ(write(nvram_BootCnt_Elem, 0, pattern(4, 1)), 4);
    EXPECT_EQ(nvmem::counts().persists, 1u);
    EXPECT_EQ(image()[0x20000], 0x5A);
}

} // namespace
} // namespace nvtest
