// The error memory in the non-volatile store: written once a second from the fourth second
// on, reloaded after a restart, emptied by another EPK, repaired when records are bad.
#include "fixture.h"

#include <fstream>
#include <thread>

namespace errtest {
namespace {

using Store = ErrMgr;

// Record r of element 256 as the store holds it; path 0xFFFF when unused or unreadable.
uint16_t storedPath(uint32_t r, uint8_t* flags = nullptr) {
    uint8_t raw[ERROR_MGR_ENTRY_SIZE];
    if (nvram_dbs_read(ERROR_MGR_NV_ENTRIES, r, raw, sizeof raw) != static_cast<int>(sizeof raw))
        return 0xFFFF;
    if (flags) *flags = raw[17];
    return static_cast<uint16_t>(raw[0] | raw[1] << 8);
}

void writeRaw(uint32_t r, uint16_t path, uint16_t type, uint8_t count) {
    uint8_t raw[ERROR_MGR_ENTRY_SIZE];
    std::memset(raw, 0xFF, sizeof raw);
    raw[0] = static_cast<uint8_t>(path);
    raw[1] = static_cast<uint8_t>(path >> 8);
    raw[2] = static_cast<uint8_t>(type);
    raw[3] = static_cast<uint8_t>(type >> 8);
    raw[14] = raw[15] = 0;
    raw[16] = count;
    raw[17] = ERROR_MGR_FLAG_ACTIVE;
    ASSERT_EQ(nvram_dbs_write(ERROR_MGR_NV_ENTRIES, r, raw, sizeof raw), static_cast<int>(sizeof raw));
}

TEST_F(Store, WrittenFromTheFourthSecondAndReloadedInactive) {
    start();
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    error_mgr_set(ERROR_MGR_PATH_CAN01, ERROR_MGR_ERR_TYPE_BUSOFF, 0);
    error_mgr_clear(ERROR_MGR_PATH_CAN01);
    sim::step(3000);
    EXPECT_EQ(storedPath(0), 0xFFFF);
    sim::step(1000);
    uint8_t flags = 0;
    EXPECT_EQ(storedPath(0, &flags), 1);
    EXPECT_EQ(flags & ERROR_MGR_FLAG_ACTIVE, 1);
    EXPECT_EQ(storedPath(1), 1024);

    restart();
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 1, 0}, {1024, 0x112, 1, 0}}));
    EXPECT_GE(entries()[0].duration, 39);
    // Set again after the restart: the count goes on.
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    EXPECT_EQ(entries()[0].count, 2);
}

TEST_F(Store, AnotherEpkEmptiesTheMemoryAndIsReadToItsEndOnly) {
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_TRUE(logged("error_mgr_init: nv error memory id is invalid, reset entries and set id."));
    error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
    ASSERT_EQ(error_mgr_WriteIntoMedia(), 1);

    restart();
    const char other[] = "KVX2_VYN_OTHER_DATASET";
    std::memcpy(seram_memory + SERAM_EPK_OFFSET, other, sizeof other);
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_TRUE(entries().empty());
    EXPECT_TRUE(logged("nv error memory id is different. pst: [KVX2_VYN_OTHER_DATASET], nv: [KVX2_VYN_"));
    EXPECT_EQ(storedPath(0), 0xFFFF);
    char id[ERROR_MGR_ID_SIZE];
    ASSERT_EQ(nvram_dbs_read(ERROR_MGR_NV_ID, 0, id, sizeof id), static_cast<int>(ERROR_MGR_ID_SIZE));
    EXPECT_STREQ(id, other);

    restart();
    std::memset(seram_memory + SERAM_EPK_OFFSET, 'E', SERAM_EPK_SIZE); // 32 characters, no terminator
    ASSERT_EQ(error_mgr_init(), 1);
    ASSERT_EQ(nvram_dbs_read(ERROR_MGR_NV_ID, 0, id, sizeof id), static_cast<int>(ERROR_MGR_ID_SIZE));
    EXPECT_EQ(std::string(id), std::string(SERAM_EPK_SIZE, 'E'));
}

TEST_F(Store, CorruptRecordsAreDroppedAndTheListPacked) {
    ASSERT_EQ(error_mgr_init(), 1);
    for (int p = 1; p <= 3; ++p)
        error_mgr_set(p, ERROR_MGR_ERR_TYPE_MIN, 0);
    ASSERT_EQ(error_mgr_WriteIntoMedia(), 1);
    endProcess();

    // Damage both mirrors of record 1 (a data byte, so their CRCs no longer match).
    std::fstream img(dir + "/" + nvmem::IMAGE_FILE, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(img);
    const uint32_t slot = nvram_slot_size(nvram_error_mgr);
    for (uint32_t mirror = 2; mirror <= 3; ++mirror) {
        img.seekp(NVRAM_NOCLONE_BASE + mirror * slot + 4 + 5);
        img.put(static_cast<char>(0x5A));
    }
    img.close();

    freshProcess();
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_TRUE(logged("error_mgr_init: error memory 1 was corrupt, skipping entry."));
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 1, 0}, {3, 2, 1, 0}})); // reloaded: inactive
    EXPECT_EQ(storedPath(1), 3);
    EXPECT_EQ(storedPath(2), 0xFFFF);
}

TEST_F(Store, DoubletsAndGapsAreRemoved) {
    ASSERT_EQ(error_mgr_init(), 1); // sets the identity
    writeRaw(0, 1, 2, 4);
    // record 1 stays unused: the entries behind it are kept all the same
    writeRaw(2, 1024, 0x112, 1);
    writeRaw(3, 1, 3, 9);
    writeRaw(4, 8448, 0x50, 2);
    restart();
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_TRUE(logged("error_mgr_init: error memory 3 was doublet, skipping entry."));
    EXPECT_EQ(pcta(), (Pcta{{1, 2, 4, 0}, {1024, 0x112, 1, 0}, {8448, 0x50, 2, 0}}));
    for (auto [r, path] : {std::pair{1, 1024}, {2, 8448}, {3, 0xFFFF}, {4, 0xFFFF}})
        EXPECT_EQ(storedPath(r), path) << r;
}

TEST_F(Store, FailedWriteIsRetriedAndUnchangedMemoryNotRewritten) {
    ASSERT_EQ(error_mgr_init(), 1);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
    const uint64_t calls = kmgr::callCount(KCALL_NVRAM_PERSIST_LOWPRIO);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
    EXPECT_EQ(kmgr::callCount(KCALL_NVRAM_PERSIST_LOWPRIO), calls); // nothing changed

    error_mgr_set(ERROR_MGR_PATH_GPS, ERROR_MGR_ERR_TYPE_TIMEOUT, 0);
    kmgr::injectFault(KCALL_NVRAM_PERSIST_LOWPRIO, -1, 1);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 0);
    EXPECT_TRUE(logged("error_mgr_WriteIntoMedia(): nvwrite all error 0"));
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
    EXPECT_EQ(storedPath(0), 1072);
    EXPECT_EQ(error_mgr_WriteIntoMedia(), 1);
}

TEST_F(Store, ShutdownAndStorageRasterNeverWriteAtOnce) {
    ASSERT_EQ(error_mgr_init(), 1);
    static std::atomic<int> inFlight{0}, maxInFlight{0};
    inFlight = 0;
    maxInFlight = 0;
    // Persisting takes a while on the unit; the handler keeps each call open long enough for
    // a second writer to run into it.
    kmgr::setHandler(KCALL_NVRAM_PERSIST_LOWPRIO, [](const intptr_t*) -> intptr_t {
        const int now = ++inFlight;
        int seen = maxInFlight.load();
        while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
        }
        for (int i = 0; i < 200; ++i)
            std::this_thread::yield();
        --inFlight;
        return 0;
    });
    std::atomic<int> done{0};
    for (int t = 0; t < 2; ++t)
        taskSpawnFn(t == 0 ? "t_storage" : "t_shutdown", 100, 0, 0, [&done, t] {
            for (int i = 0; i < 30; ++i) {
                error_mgr_set(ERROR_MGR_PATH_ANA01 + t, ERROR_MGR_ERR_TYPE_MIN + i % 2, 0);
                if (t == 0)
                    error_mgr_WriteIntoMedia();
                else
                    error_mgr_shutdown();
            }
            ++done;
        });
    sim::waitIdle();
    EXPECT_EQ(done.load(), 2);
    EXPECT_EQ(maxInFlight.load(), 1);
    nvmem::install(dir); // the real handlers again
}

} // namespace
} // namespace errtest
