#include "services/nvram/nvram_internal.h"
#include "store_fixture.h"

#include "services/checksum/crc.h"

namespace nvtest {
namespace {

constexpr size_t BOOTCNT_OFFSET = 0x7F048; // element 258: slots of 8 bytes

TEST_F(Store, ErasedStoreReadsNothingAndFillsMirrorsInTurn) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    EXPECT_FALSE(imageExists()); // loading an erased store writes nothing

    uint32_t v = 0x12345678;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_read(nvram_lapfunc.id, 0, &v, 4), -1);
    EXPECT_EQ(v, 0x12345678u); // untouched
    EXPECT_EQ(logCount("could not be determined, CRC failed"), 1);

    // A0, B1, A2: each write goes to the mirror that is not the newer one.
    for (uint32_t n = 0; n < 3; ++n) {
        uint32_t w = 100 + n;
        ASSERT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &w, 4), 4);
        const bytes img = image();
        const size_t slot = BOOTCNT_OFFSET + (n % 2) * 8;
        EXPECT_EQ(u16At(img, slot + 2), n) << "write " << n;
        EXPECT_EQ(u16At(img, slot), crc16_ccitt(&w, 4));
        uint32_t r = 0;
        EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &r, 4), 4);
        EXPECT_EQ(r, w);
    }
    restart();
    uint32_t r = 0;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &r, 4), 4);
    EXPECT_EQ(r, 102u);
}

TEST_F(Store, CorruptedMirrorIsDetectedAndRewritten) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    const bytes v1 = pattern(20, 1), v2 = pattern(20, 2), v3 = pattern(20, 3);
    ASSERT_EQ(write(nvram_lapfunc, 0, v1), 20); // A
    ASSERT_EQ(write(nvram_lapfunc, 0, v2), 20); // B, newer
    const size_t a = 0x11840, b = a + 24;

    bytes img = image();
    img[b + 4 + 19] ^= 0x01; // last byte of B's data
    setImage(img);
    restart();
    EXPECT_EQ(read(nvram_lapfunc, 0), v1);

    // The next write goes over the corrupted mirror, with the counter after A's.
    ASSERT_EQ(write(nvram_lapfunc, 0, v3), 20);
    img = image();
    EXPECT_EQ(u16At(img, b + 2), 1);
    EXPECT_EQ(u16At(img, b), crc16_ccitt(v3.data(), 20));
    restart();
    EXPECT_EQ(read(nvram_lapfunc, 0), v3);

    // Corrupted CRC fields count as well; with both mirrors bad nothing is read.
    img = image();
    img[a] ^= 0x80;
    img[b + 1] ^= 0x01;
    setImage(img);
    restart();
    int n;
    read(nvram_lapfunc, 0, &n);
    EXPECT_EQ(n, -1);
}

TEST_F(Store, ShortWriteChangesOnlyTheBytesItNames) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    // First write ever: the rest of the record is zeros.
    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 1, "xy", 2), 2);
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 1), (bytes{'x', 'y', 0, 0, 0, 0}));

    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, "ABCDEF", 6), 6); // A
    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, "uvwxyz", 6), 6); // B
    // The target (A) holds "ABCDEF"; the record is "uvwxyz": the tail comes from the record.
    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, "12", 2), 2);
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 0), (bytes{'1', '2', 'w', 'x', 'y', 'z'}));
    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, "345", 3), 3);
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 0), (bytes{'3', '4', '5', 'x', 'y', 'z'}));

    // What was persisted carries a matching CRC: a restart reads the same.
    restart();
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 0), (bytes{'3', '4', '5', 'x', 'y', 'z'}));
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 1), (bytes{'x', 'y', 0, 0, 0, 0}));
    const bytes img = image();
    for (size_t slot : {size_t(0x10000), size_t(0x1000C)}) {
        EXPECT_EQ(u16At(img, slot), crc16_ccitt(img.data() + slot + 4, 6));
        EXPECT_EQ(img[slot + 10], 0); // padding
        EXPECT_EQ(img[slot + 11], 0);
    }
}

TEST_F(Store, LengthsAboveTheRecordAreCutAndLoggedOnce) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    const bytes ten = pattern(10, 9);
    EXPECT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, ten.data(), 10), 6);
    EXPECT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 1, ten.data(), 10), 6);
    EXPECT_EQ(logCount("nvram_dbs_write: VYN try to write more bytes than allowed"), 1);

    bytes out(10, 0xEE);
    EXPECT_EQ(nvram_dbs_read(nvram_LapOutFra_Elem.id, 0, out.data(), 10), 6);
    EXPECT_EQ(nvram_dbs_read(nvram_LapOutFra_Elem.id, 1, out.data(), 10), 6);
    EXPECT_EQ(logCount("nvram_dbs_read: VYN requested more bytes than allowed"), 1);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 6), bytes(ten.begin(), ten.begin() + 6));
    EXPECT_EQ(out[6], 0xEE);
}

TEST_F(Store, BadRequestsFailWithoutTouchingTheStore) {
    uint32_t v = 7;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 0);
    EXPECT_EQ(logCount("nvram_dbs_read: request rejected init not done, id 258 idx 0"), 1);
    EXPECT_EQ(logCount("nvram_dbs_write: request rejected init not done, id 258 idx 0"), 1);

    ASSERT_EQ(nvram_dbs_init(), 1);
    // Element 20 has no records.
    EXPECT_EQ(nvram_dbs_write(nvram_pin_cfg.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_read(nvram_pin_cfg.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_write(nvram_lapStack.id, 256, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_read(nvram_lapStack.id, 256, &v, 4), -1);
    EXPECT_EQ(logCount("nvram_get_mirror_ptr_write: VYN index too high"), 1);
    EXPECT_EQ(logCount("nvram_get_mirror_ptr_read: VYN index too high"), 1);
    EXPECT_FALSE(imageExists());

    for (uint32_t id : {23u, 255u, 263u, 0xFFFFFFFFu}) {
        EXPECT_EQ(nvram_dbs_write(id, 0, &v, 4), -1) << id;
        EXPECT_EQ(nvram_dbs_read(id, 0, &v, 4), -1) << id;
    }

    // Null buffers: 0, and no write happens.
    ASSERT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 4);
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, nullptr, 4), 0);
    const uint64_t persists = kmgr::callCount(NVRAM_CALL_PERSIST);
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, nullptr, 4), 0);
    EXPECT_EQ(kmgr::callCount(NVRAM_CALL_PERSIST), persists);
}

TEST_F(Store, FailedRegionLoadFailsInitAndWritesNothing) {
    uint32_t stored = 41;
    ASSERT_EQ(nvram_dbs_init(), 1);
    ASSERT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &stored, 4), 4);
    const bytes before = image();

    nvram_dbs_reset();
    kmgr::injectFault(NVRAM_CALL_LOAD, -1, 1);
    EXPECT_EQ(nvram_dbs_init(), 0);
    EXPECT_EQ(logCount("nvram_dbs_init: VYN loading element 0 failed"), 1);
    // The store stays closed: a caller cannot put defaults over the stored records.
    uint32_t v = 0;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 0);
    EXPECT_EQ(image(), before);

    // A manager that answers with another nonzero result fails it as well.
    kmgr::injectFault(NVRAM_CALL_LOAD, 5, 1);
    EXPECT_EQ(nvram_dbs_init(), 0);

    // Once the manager answers again, the stored record is there.
    ASSERT_EQ(nvram_dbs_init(), 1);
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), 4);
    EXPECT_EQ(v, 41u);
    EXPECT_EQ(logCount("used space for VYN NV doublestore clone: 31224 (32768), no clone: 1656 (4096)"), 2);
}

TEST_F(Store, FailedPersistLeavesTheRecordAsARestartSeesIt) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    const bytes v1 = pattern(20, 1), v2 = pattern(20, 2), v3 = pattern(20, 3);
    ASSERT_EQ(write(nvram_error_mgr, 4, v1), 20);
    kmgr::injectFault(NVRAM_CALL_PERSIST, -1, 1);
    EXPECT_EQ(write(nvram_error_mgr, 4, v2), 0);
    EXPECT_EQ(read(nvram_error_mgr, 4), v1);

    // The low-priority write goes through its own call.
    kmgr::injectFault(NVRAM_CALL_PERSIST_LOWPRIO, -1, 1);
    EXPECT_EQ(nvram_dbs_write_lowprio(nvram_error_mgr.id, 4, v2.data(), 20), 0);
    EXPECT_EQ(read(nvram_error_mgr, 4), v1);
    const uint64_t normal = kmgr::callCount(NVRAM_CALL_PERSIST);
    EXPECT_EQ(nvram_dbs_write_lowprio(nvram_error_mgr.id, 4, v3.data(), 20), 20);
    EXPECT_EQ(kmgr::callCount(NVRAM_CALL_PERSIST), normal);
    EXPECT_EQ(read(nvram_error_mgr, 4), v3);
    restart();
    EXPECT_EQ(read(nvram_error_mgr, 4), v3);
}

TEST_F(Store, DescriptorTablesAreChecked) {
    // Element 7 grown to 1000 records no longer fits the clone region.
    nvram_elem_t clone[std::size(nvramElemsClone)];
    std::copy(std::begin(nvramElemsClone), std::end(nvramElemsClone), clone);
    clone[7].count = 1000;
    EXPECT_EQ(nvram_dbs_init_tables(clone, std::size(clone), nvramElemsNoClone, std::size(nvramElemsNoClone)),
              0);
    EXPECT_EQ(logCount("nvram_dbs_init VYN with element 7 the assigned nvram size is exceeded!"), 1);
    uint32_t v;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);

    nvram_elem_t noClone[std::size(nvramElemsNoClone)];
    std::copy(std::begin(nvramElemsNoClone), std::end(nvramElemsNoClone), noClone);
    noClone[2].count = 300;
    EXPECT_EQ(nvram_dbs_init_tables(nvramElemsClone, std::size(nvramElemsClone), noClone, std::size(noClone)),
              0);
    EXPECT_EQ(logCount("nvram_dbs_init with element 258 the assigned nvram size is exceeded!"), 1);

    // A wrong id is logged and the table still loads.
    std::copy(std::begin(nvramElemsNoClone), std::end(nvramElemsNoClone), noClone);
    noClone[4].id = 300;
    EXPECT_EQ(nvram_dbs_init_tables(nvramElemsClone, std::size(nvramElemsClone), noClone, std::size(noClone)),
              1);
    EXPECT_EQ(logCount("nvram_dbs_init: VYN wrong id 300, expected 260"), 1);
}

} // namespace
} // namespace nvtest
