// Power lost while a slot is written: a reload gives the record before or after the write,
// never a mix.
#include "store_fixture.h"

namespace nvtest {
namespace {

// Cuts a write after every byte count of its slot and checks what a reload sees. After
// `writesBefore` writes the target is mirror A when that count is even, else mirror B.
void tearEverywhere(Store& t, const nvram_elem_t& e, uint32_t rec, int writesBefore) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    bytes older, newest;
    for (int i = 0; i < writesBefore; ++i) {
        older = newest;
        newest = Store::pattern(e.size, static_cast<uint8_t>(10 + i));
        ASSERT_EQ(Store::write(e, rec, newest), static_cast<int>(e.size));
    }
    const bytes next = Store::pattern(e.size, 99);
    const bytes prepared = t.image();
    const size_t slot = nvram_slot_size(e);
    for (size_t cut = 0; cut <= slot; ++cut) {
        t.setImage(prepared);
        t.restart();
        nvmem::tearNextWrite(cut);
        EXPECT_EQ(Store::write(e, rec, next), 0) << "cut " << cut;
        t.restart();
        int n;
        const bytes got = Store::read(e, rec, &n);
        ASSERT_EQ(n, static_cast<int>(e.size)) << "cut " << cut;
        if (cut == slot)
            EXPECT_EQ(got, next);
        else if (cut < 4)
            EXPECT_EQ(got, newest) << "cut " << cut; // the header alone cannot make the slot valid
        else
            EXPECT_TRUE(got == newest || got == next) << "cut " << cut;
        EXPECT_NE(got, older) << "cut " << cut;
    }
}

// Mirror B, mirror A, long and odd records, the last record of the no-clone region, one byte and
// three of padding.
TEST_F(Store, TornWritesReloadOldOrNew) {
    const std::tuple<nvram_elem_t, uint32_t, int> cases[] = {{nvram_lapfunc, 0, 1},
                                                             {nvram_lapfunc, 0, 2},
                                                             {nvram_Annotation_Elem, 0, 3},
                                                             {nvram_AwmTime_Elem, 9, 4},
                                                             {nvram_DispPage_Elem, 0, 1}};
    for (auto [e, rec, writesBefore] : cases) {
        nvram_dbs_reset();
        setImage(bytes(nvmem::NVMEM_SIZE, 0xFF));
        ASSERT_TRUE(nvmem::install(dir));
        tearEverywhere(*this, e, rec, writesBefore);
    }
    // The records beside a torn one keep their values.
    for (uint32_t r = 0; r < 3; ++r)
        ASSERT_EQ(write(nvram_lapsegments, r, pattern(8, static_cast<uint8_t>(r))), 8);
    nvmem::tearNextWrite(7);
    EXPECT_EQ(write(nvram_lapsegments, 1, pattern(8, 50)), 0);
    restart();
    for (uint32_t r = 0; r < 3; ++r)
        EXPECT_EQ(read(nvram_lapsegments, r), pattern(8, static_cast<uint8_t>(r))) << r;
}

} // namespace
} // namespace nvtest
