// Power lost while a slot is written: a reload gives the record before or after the write,
// never a mix.
#include "store_fixture.h"

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

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
}

TEST_F(Store, TornWriteLeavesNeighbouringRecordsAlone) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    for (uint32_t r = 0; r < 3; ++r)
        ASSERT_EQ(write(nvram_lapsegments, r, pattern(8, static_cast<uint8_t>(r))), 8);
    nvmem::tearNextWrite(7);
    EXPECT_EQ(write(nvram_lapsegments, 1, pattern(8, 50)), 0);
    restart();
    for (uint32_t r = 0; r < 3; ++r)
        EXPECT_EQ(read(nvram_lapsegments, r), pattern(8, static_cast<uint8_t>(r))) << r;
}

// The record written by the child: the value in every 4-byte word.
bytes recordOf(uint32_t v) {
    bytes b(20);
    for (size_t i = 0; i < 20; i += 4)
        std::memcpy(b.data() + i, &v, 4);
    return b;
}

TEST_F(Store, WriterKilledAtRandomLeavesOldOrNewRecord) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    std::mt19937 rng(static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed()) + 17);
    uint32_t stored = 0; // 0: nothing stored yet
    for (int round = 0; round < 8; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            for (uint32_t v = stored + 1;; ++v) {
                // Announce, then write: whatever is stored is the last value announced or the one before.
                if (::write(fds[1], &v, 4) != 4) _exit(3);
                const bytes rec = recordOf(v);
                if (nvram_dbs_write(nvram_lapfunc.id, 0, rec.data(), 20) != 20) _exit(2);
            }
        }
        close(fds[1]);
        usleep(200 + rng() % 30000);
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself, status " << status;
        uint32_t announced = stored, v;
        while (::read(fds[0], &v, 4) == 4)
            announced = v;
        close(fds[0]);

        restart();
        int n;
        const bytes got = read(nvram_lapfunc, 0, &n);
        if (n == -1) { // killed before its first write was through
            EXPECT_EQ(stored, 0u);
            EXPECT_LE(announced, 1u);
            continue;
        }
        ASSERT_EQ(n, 20);
        uint32_t value;
        std::memcpy(&value, got.data(), 4);
        EXPECT_EQ(got, recordOf(value)) << "mixed record in round " << round;
        EXPECT_TRUE(value == announced || value + 1 == announced)
            << "round " << round << ": read " << value << ", last announced " << announced;
        stored = value;
    }
}

} // namespace
} // namespace nvtest
