// Loading, refusals and failures of the store. The slot layout, mirror order, counters and short
// writes are checked against an independent reader in layout_test.cpp.
#include "services/nvram/nvram_private.h"
#include "store_fixture.h"

namespace nvtest {
namespace {

TEST_F(Store, ErasedStoreReadsNothingUntilWritten) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    EXPECT_FALSE(imageExists()); // loading an erased store writes nothing
    uint32_t v = 0x12345678;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_read(nvram_lapfunc.id, 0, &v, 4), -1);
    EXPECT_EQ(v, 0x12345678u); // untouched
    EXPECT_EQ(logCount("could not be determined, CRC failed"), 1);

    // A short write changes only the bytes it names: the first ever leaves zeros behind them, a
    // later one the newer mirror's tail (not that of the mirror it overwrites).
    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 1, "xy", 2), 2);
    for (const char* w : {"ABCDEF", "uvwxyz", "12"})
        ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, w, std::strlen(w)), int(std::strlen(w)));
    restart();
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 0), (bytes{'1', '2', 'w', 'x', 'y', 'z'}));
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 1), (bytes{'x', 'y', 0, 0, 0, 0}));

    // With both mirrors' CRC fields corrupted nothing is read.
    bytes img = image();
    img[0x10000] ^= 0x80;
    img[0x1000C + 1] ^= 0x01;
    setImage(img);
    restart();
    int n;
    read(nvram_LapOutFra_Elem, 0, &n);
    EXPECT_EQ(n, -1);
}

TEST_F(Store, LengthsAboveTheRecordAreCutAndLoggedOnce) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    const bytes ten = pattern(10, 9);
    bytes out(10, 0xEE);
    for (uint32_t r : {0u, 1u}) {
        EXPECT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, r, ten.data(), 10), 6);
        EXPECT_EQ(nvram_dbs_read(nvram_LapOutFra_Elem.id, r, out.data(), 10), 6);
    }
    EXPECT_EQ(logCount("nvram_dbs_write: VYN try to write more bytes than allowed"), 1);
    EXPECT_EQ(logCount("nvram_dbs_read: VYN requested more bytes than allowed"), 1);
    EXPECT_EQ(out, (bytes{ten[0], ten[1], ten[2], ten[3], ten[4], ten[5], 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(Store, BadRequestsFailWithoutTouchingTheStore) {
    uint32_t v = 7;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 0);
    EXPECT_EQ(logCount("nvram_dbs_read: request rejected init not done, id 258 idx 0"), 1);
    EXPECT_EQ(logCount("nvram_dbs_write: request rejected init not done, id 258 idx 0"), 1);

    ASSERT_EQ(nvram_dbs_init(), 1);
    // Element 20 has no records; unknown ids.
    const std::pair<uint32_t, uint32_t> bad[] = {
        {nvram_pin_cfg.id, 0}, {nvram_lapStack.id, 256}, {23, 0}, {255, 0}, {263, 0}, {0xFFFFFFFF, 0}};
    for (auto [id, r] : bad) {
        EXPECT_EQ(nvram_dbs_write(id, r, &v, 4), -1) << id;
        EXPECT_EQ(nvram_dbs_read(id, r, &v, 4), -1) << id;
    }
    EXPECT_EQ(logCount("nvram_get_mirror_ptr_write: VYN index too high"), 1);
    EXPECT_EQ(logCount("nvram_get_mirror_ptr_read: VYN index too high"), 1);
    EXPECT_FALSE(imageExists());

    // Null buffers: 0, and no write happens.
    ASSERT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 4);
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, nullptr, 4), 0);
    const uint64_t persists = kmgr::callCount(KCALL_NVRAM_PERSIST);
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, nullptr, 4), 0);
    EXPECT_EQ(kmgr::callCount(KCALL_NVRAM_PERSIST), persists);
}

TEST_F(Store, FailedRegionLoadFailsInitAndWritesNothing) {
    uint32_t v = 41;
    ASSERT_EQ(nvram_dbs_init(), 1);
    ASSERT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 4);
    const bytes before = image();

    nvram_dbs_reset();
    kmgr::injectFault(KCALL_NVRAM_LOAD, -1, 1);
    EXPECT_EQ(nvram_dbs_init(), 0);
    EXPECT_EQ(logCount("nvram_dbs_init: VYN loading element 0 failed"), 1);
    // The store stays closed: a caller cannot put defaults over the stored records.
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 0);
    EXPECT_EQ(image(), before);
    // A manager that answers with another nonzero result fails it as well.
    kmgr::injectFault(KCALL_NVRAM_LOAD, 5, 1);
    EXPECT_EQ(nvram_dbs_init(), 0);

    // Once the manager answers again, the stored record is there.
    ASSERT_EQ(nvram_dbs_init(), 1);
    v = 0;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), 4);
    EXPECT_EQ(v, 41u);
    EXPECT_EQ(logCount("used space for VYN NV doublestore clone: 31224 (32768), no clone: 1656 (4096)"), 2);
}

TEST_F(Store, FailedPersistLeavesTheRecordAsARestartSeesIt) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    const bytes v1 = pattern(20, 1), v2 = pattern(20, 2), v3 = pattern(20, 3);
    ASSERT_EQ(write(nvram_error_mgr, 4, v1), 20);
    kmgr::injectFault(KCALL_NVRAM_PERSIST, -1, 1);
    EXPECT_EQ(write(nvram_error_mgr, 4, v2), 0);
    EXPECT_EQ(read(nvram_error_mgr, 4), v1);

    // The low-priority write goes through its own call.
    kmgr::injectFault(KCALL_NVRAM_PERSIST_LOWPRIO, -1, 1);
    EXPECT_EQ(nvram_dbs_write_lowprio(nvram_error_mgr.id, 4, v2.data(), 20), 0);
    EXPECT_EQ(read(nvram_error_mgr, 4), v1);
    const uint64_t normal = kmgr::callCount(KCALL_NVRAM_PERSIST);
    EXPECT_EQ(nvram_dbs_write_lowprio(nvram_error_mgr.id, 4, v3.data(), 20), 20);
    EXPECT_EQ(kmgr::callCount(KCALL_NVRAM_PERSIST), normal);
    restart();
    EXPECT_EQ(read(nvram_error_mgr, 4), v3);
}

TEST_F(Store, DescriptorTablesAreChecked) {
    nvram_elem_t clone[std::size(nvramElemsClone)], noClone[std::size(nvramElemsNoClone)];
    auto init = [&](size_t which, size_t index, auto change) {
        std::copy(std::begin(nvramElemsClone), std::end(nvramElemsClone), clone);
        std::copy(std::begin(nvramElemsNoClone), std::end(nvramElemsNoClone), noClone);
        change(which == 0 ? clone[index] : noClone[index]);
        return nvram_dbs_init_tables(clone, std::size(clone), noClone, std::size(noClone));
    };
    // Element 7 grown to 1000 records no longer fits the clone region, element 258 with 300 the other.
    EXPECT_EQ(init(0, 7, [](nvram_elem_t& e) { e.count = 1000; }), 0);
    EXPECT_EQ(logCount("nvram_dbs_init VYN with element 7 the assigned nvram size is exceeded!"), 1);
    uint32_t v;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(init(1, 2, [](nvram_elem_t& e) { e.count = 300; }), 0);
    EXPECT_EQ(logCount("nvram_dbs_init with element 258 the assigned nvram size is exceeded!"), 1);
    // A wrong id is logged and the table still loads.
    EXPECT_EQ(init(1, 4, [](nvram_elem_t& e) { e.id = 300; }), 1);
    EXPECT_EQ(logCount("nvram_dbs_init: VYN wrong id 300, expected 260"), 1);
}

} // namespace
} // namespace nvtest
