// Double store: the image against independent Python code (crcmod) that knows the layout only
// from its own table; torn writes; refusals and failures of the manager.
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "services/nvram/nvram_private.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <span>

namespace {

using bytes = std::vector<uint8_t>;

struct Store : ::testing::Test {
    testsupport::ScratchDir dir;

    void SetUp() override {
        testsupport::logStart();
        kmgr::clearFaults();
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(dir.path));
    }
    void TearDown() override {
        nvram_dbs_reset();
        nvmem::uninstall();
        kmgr::clearFaults();
    }
    // What a restart sees: the image reopened and loaded afresh.
    void restart() {
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(dir.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
    }
    bytes image() const {
        const std::string s = dir.read(nvmem::IMAGE_FILE);
        return bytes(s.begin(), s.end());
    }
    void setImage(const bytes& b) const { dir.write(nvmem::IMAGE_FILE, std::string(b.begin(), b.end())); }
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

// With `write` set it writes mirrors the store must read; otherwise it prints the newer mirror
// of every record written ("id rec A|B counterA counterB data") and any fault of the image.
const char kPython[] = R"PY(
import struct, sys, crcmod
crc = crcmod.predefined.mkCrcFun('crc-ccitt-false')   # CRC-16-CCITT, MSB first, start 0xFFFF
SIZE = 0x80000
TABLE = [(0,6,2,0x10000),(1,4,1,0x10030),(2,6,256,0x10040),(3,20,1,0x11840),(4,4,1,0x11870),  # id, size,
  (5,8,100,0x11880),(6,8,1,0x121E0),(7,32,256,0x121F8),(8,1,1,0x169F8),(9,1,1,0x16A08),       # records,
  (10,256,1,0x16A18),(11,32,1,0x16C20),(12,1,1,0x16C68),(13,1,1,0x16C78),(14,1,4,0x16C88),     # offset
  (15,4,1,0x16CC8),(16,4,1,0x16CD8),(17,1,16,0x16CE8),(18,4,1,0x16DE8),(19,8,10,0x16DF8),
  (20,0,0,0x16EE8),(21,40,32,0x16EE8),(22,4,1,0x179E8),
  (256,20,20,0x7EC00),(257,64,1,0x7EFC0),(258,4,1,0x7F048),(259,1,2,0x7F058),(260,4,1,0x7F078),
  (261,2,1,0x7F088),(262,20,10,0x7F098)]
slot_size = lambda size: (size + 3) // 4 * 4 + 4
if sys.argv[2] == 'write':
    img = bytearray(b'\xff' * SIZE)
    def put(id, rec, mirror, counter, data, good=True):
        size, off = [(s, o) for i, s, n, o in TABLE if i == id][0]
        base = off + (2 * rec + mirror) * slot_size(size)
        img[base:base + slot_size(size)] = struct.pack('<HH', crc(data) ^ (0 if good else 0x100), counter) + \
            data + bytes(slot_size(size) - 4 - size)
    put(258, 0, 0, 65535, struct.pack('<I', 7)); put(258, 0, 1, 0, struct.pack('<I', 8))  # wrapped: B
    put(3, 0, 0, 5, bytes(range(20))); put(3, 0, 1, 6, bytes(range(100, 120)), good=False)  # B bad: A
    put(261, 0, 0, 3, b'\x01\x02'); put(261, 0, 1, 3, b'\x03\x04')                     # equal: A
    put(2, 255, 1, 9, b'lap255')                                                        # only B
    put(0, 1, 0, 0x8000, b'\0\1\2\3\4\5'); put(0, 1, 1, 0, b'\x10\x11\x12\x13\x14\x15')  # half apart: B
    open(sys.argv[1], 'wb').write(img)
    sys.exit()
img = open(sys.argv[1], 'rb').read()
covered = bytearray(SIZE)
for id, size, count, off in TABLE:
    slot = slot_size(size)
    for r in range(count):
        m = []
        for k in (0, 1):
            base = off + (2 * r + k) * slot
            c, n = struct.unpack_from('<HH', img, base)
            data, valid = img[base + 4:base + 4 + size], c == crc(img[base + 4:base + 4 + size])
            if valid and any(img[base + 4 + size:base + slot]): print('ERROR padding', id, r, k)
            if not valid and any(b != 0xFF for b in img[base:base + slot]): print('ERROR torn', id, r, k)
            covered[base:base + slot] = b'\1' * slot
            m.append((valid, n, data))
        if not m[0][0] and not m[1][0]: continue
        a = m[0][0] and (not m[1][0] or ((m[0][1] - m[1][1]) & 0xFFFF) < 0x8000)
        cnt = lambda x: str(x[1]) if x[0] else '-'
        print(id, r, 'A' if a else 'B', cnt(m[0]), cnt(m[1]), (m[0] if a else m[1])[2].hex())
print(*[('ERROR outside the elements at', hex(i)) for i in range(SIZE) if not covered[i] and img[i] != 0xFF][:1])
)PY";

std::string python(const std::string& image, const char* mode) {
    pyref::TempFile script(kPython);
    const bytes out = pyref::run("/usr/bin/python3 " + script.path() + " " + image + " " + mode);
    return std::string(out.begin(), out.end());
}

TEST_F(Store, ImageAsAnIndependentReaderSeesIt) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    std::map<std::pair<uint32_t, uint32_t>, std::pair<bytes, int>> expected; // data, writes
    std::mt19937 rng(2024);
    using Table = std::span<const nvram_elem_t>;
    for (Table table : {Table(nvramElemsClone), Table(nvramElemsNoClone)})
        for (const nvram_elem_t& e : table)
            for (uint32_t r : {0u, e.count - 1, static_cast<uint32_t>(rng() % (e.count + 1))}) {
                if (r >= e.count) continue;
                auto& [data, writes] = expected[{e.id, r}];
                data.resize(e.size, 0);
                for (int t = 1 + static_cast<int>(rng() % 3); t > 0; --t, ++writes) { // full and short writes
                    const bytes src = pyref::random_bytes(rng, rng() % 3 ? e.size : 1 + rng() % e.size);
                    const int n = e.id >= 256 ? nvram_dbs_write_lowprio(e.id, r, src.data(), src.size())
                                              : write(e, r, src);
                    ASSERT_EQ(n, static_cast<int>(src.size()));
                    std::copy(src.begin(), src.end(), data.begin());
                }
            }
    // Write k (from 0) went to mirror k % 2 with counter k.
    std::string want;
    for (const auto& [key, x] : expected) {
        const int last = x.second - 1, a = last - last % 2, b = last % 2 ? last : last - 1;
        want += std::to_string(key.first) + " " + std::to_string(key.second) + (last % 2 ? " B " : " A ") +
                std::to_string(a) + " " + (b < 0 ? "-" : std::to_string(b)) + " " + pyref::hex(x.first) +
                "\n";
    }
    EXPECT_EQ(python(dir / nvmem::IMAGE_FILE, "read"), want + "\n");
}

TEST_F(Store, MirrorsWrittenByAnIndependentWriterAreRead) {
    python(dir / nvmem::IMAGE_FILE, "write");
    restart();
    bytes want(20);
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(read(nvram_BootCnt_Elem, 0), (bytes{8, 0, 0, 0}));
    EXPECT_EQ(read(nvram_lapfunc, 0), want);
    EXPECT_EQ(read(nvram_LapOutFra_AbsLapCnt, 0), (bytes{1, 2}));
    EXPECT_EQ(read(nvram_lapStack, 255), (bytes{'l', 'a', 'p', '2', '5', '5'}));
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 1), (bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0x15}));
    int n;
    read(nvram_lapStack, 254, &n);
    EXPECT_EQ(n, -1);
    // Writing over the bad mirror gives it the counter after the good one's.
    const bytes v = bytes(20, 5);
    ASSERT_EQ(write(nvram_lapfunc, 0, v), 20);
    const std::string out = python(dir / nvmem::IMAGE_FILE, "read");
    EXPECT_NE(out.find("3 0 B 5 6 " + pyref::hex(v) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("258 0 B 65535 0 08000000\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

// Power lost after every byte count of a slot's write: a reload gives the record before or after
// the write, never a mix, and the records beside it keep their values. Mirror B, mirror A, long
// and odd records, the last record of the no-clone region, one byte and three of padding.
TEST_F(Store, TornWritesReloadOldOrNew) {
    for (auto [e, rec, writesBefore] : {std::tuple{nvram_lapfunc, 0u, 1},
                                        {nvram_lapfunc, 0u, 2},
                                        {nvram_Annotation_Elem, 0u, 3},
                                        {nvram_AwmTime_Elem, 9u, 4},
                                        {nvram_DispPage_Elem, 0u, 1}}) {
        setImage(bytes(nvmem::NVMEM_SIZE, 0xFF));
        restart();
        bytes older, newest, next = bytes(e.size, 99);
        for (int i = 0; i < writesBefore; ++i) {
            older = newest;
            newest = bytes(e.size, static_cast<uint8_t>(10 + i));
            ASSERT_EQ(write(e, rec, newest), static_cast<int>(e.size));
        }
        const bytes prepared = image();
        for (size_t cut = 0; cut <= nvram_slot_size(e); ++cut) {
            setImage(prepared);
            restart();
            nvmem::tearNextWrite(cut);
            EXPECT_EQ(write(e, rec, next), 0) << "cut " << cut;
            restart();
            int n;
            const bytes got = read(e, rec, &n);
            ASSERT_EQ(n, static_cast<int>(e.size)) << "cut " << cut;
            // The header alone cannot make the slot valid; the whole slot is the new record.
            EXPECT_TRUE(cut == nvram_slot_size(e) ? got == next : got == newest || (cut >= 4 && got == next))
                << "cut " << cut;
            EXPECT_NE(got, older) << "cut " << cut;
        }
    }
    for (uint32_t r = 0; r < 3; ++r)
        ASSERT_EQ(write(nvram_lapsegments, r, bytes(8, static_cast<uint8_t>(r))), 8);
    nvmem::tearNextWrite(7);
    EXPECT_EQ(write(nvram_lapsegments, 1, bytes(8, 50)), 0);
    restart();
    for (uint32_t r = 0; r < 3; ++r)
        EXPECT_EQ(read(nvram_lapsegments, r), bytes(8, static_cast<uint8_t>(r))) << r;
}

TEST_F(Store, ErasedStoreShortWritesAndRefusals) {
    uint32_t v = 0x12345678;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1); // not loaded yet
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 0);
    ASSERT_EQ(nvram_dbs_init(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / nvmem::IMAGE_FILE)); // loading an erased store writes nothing
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &v, 4), -1);
    EXPECT_EQ(v, 0x12345678u);
    // Element 20 has no records; unknown ids; null buffers.
    for (auto [id, r] : {std::pair{nvram_pin_cfg.id, 0u}, {nvram_lapStack.id, 256u}, {23u, 0u}, {263u, 0u}}) {
        EXPECT_EQ(nvram_dbs_write(id, r, &v, 4), -1) << id;
        EXPECT_EQ(nvram_dbs_read(id, r, &v, 4), -1) << id;
    }
    EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, nullptr, 4), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / nvmem::IMAGE_FILE));
    // A short write changes only the bytes it names: the first ever leaves zeros behind them, a
    // later one the newer mirror's tail. Longer ones are cut to the record.
    ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 1, "xy", 2), 2);
    for (const char* w : {"ABCDEF", "uvwxyz", "12"})
        ASSERT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 0, w, std::strlen(w)), int(std::strlen(w)));
    EXPECT_EQ(nvram_dbs_write(nvram_LapOutFra_Elem.id, 1, "0123456789", 10), 6);
    restart();
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 0), (bytes{'1', '2', 'w', 'x', 'y', 'z'}));
    bytes out(10, 0xEE);
    EXPECT_EQ(nvram_dbs_read(nvram_LapOutFra_Elem.id, 1, out.data(), 10), 6);
    EXPECT_EQ(out, (bytes{'0', '1', '2', '3', '4', '5', 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(nvram_dbs_read(nvram_LapOutFra_Elem.id, 0, nullptr, 4), 0);
}

TEST_F(Store, ManagerFailures) {
    uint32_t v = 41;
    ASSERT_EQ(nvram_dbs_init(), 1);
    ASSERT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 4);
    const bytes before = image();
    // A failed load keeps the store closed: a caller cannot put defaults over the stored records.
    for (int result : {-1, 5}) {
        nvram_dbs_reset();
        kmgr::injectFault(KCALL_NVRAM_LOAD, result, 1);
        EXPECT_EQ(nvram_dbs_init(), 0);
        EXPECT_EQ(nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &v, 4), 0);
        EXPECT_EQ(image(), before);
    }
    ASSERT_EQ(nvram_dbs_init(), 1);
    EXPECT_EQ(read(nvram_BootCnt_Elem, 0), (bytes{41, 0, 0, 0}));
    // A failed persist leaves the record as a restart sees it; the low-priority write has its own call.
    const bytes v1 = bytes(20, 1), v2 = bytes(20, 2);
    ASSERT_EQ(write(nvram_error_mgr, 4, v1), 20);
    kmgr::injectFault(KCALL_NVRAM_PERSIST, -1, 1);
    EXPECT_EQ(write(nvram_error_mgr, 4, v2), 0);
    kmgr::injectFault(KCALL_NVRAM_PERSIST_LOWPRIO, -1, 1);
    EXPECT_EQ(nvram_dbs_write_lowprio(nvram_error_mgr.id, 4, v2.data(), 20), 0);
    EXPECT_EQ(read(nvram_error_mgr, 4), v1);
    EXPECT_EQ(nvram_dbs_write_lowprio(nvram_error_mgr.id, 4, v2.data(), 20), 20);
    restart();
    EXPECT_EQ(read(nvram_error_mgr, 4), v2);
}

// First boot: the records an erased store gets during the start-up are stored in one go.
TEST_F(Store, RepairOfAnErasedStoreTakesOnePersistAndAtMostTwoSyncs) {
    auto pattern = [](uint32_t n, uint8_t seed) {
        bytes b(n);
        std::iota(b.begin(), b.end(), seed);
        return b;
    };
    auto imageExists = [this] { return std::filesystem::exists(dir / nvmem::IMAGE_FILE); };
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

// Another task writes while the repair is being stored: its write comes after the repair, on the
// image and in RAM, whichever mirror the repair left newer.
TEST_F(Store, AWriteDuringTheRepairsPersistIsStoredAfterIt) {
    for (int heldWrites : {1, 2}) {
        setImage(bytes(nvmem::NVMEM_SIZE, 0xFF));
        restart();
        ASSERT_EQ(nvram_dbs_repair_begin(), 1);
        for (int i = 0; i < heldWrites; ++i)
            ASSERT_EQ(write(nvram_BootCnt_Elem, 0, bytes(4, static_cast<uint8_t>(i + 1))), 4);
        std::atomic<int> wrote{-2};
        nvmem::beforeNextWrite([&] {
            taskSpawnFn("t_writer", 50, 0, 0, [&] {
                wrote = write(nvram_BootCnt_Elem, 0, bytes{9, 9, 9, 9});
            });
            sim::waitIdle(); // it has written, or waits for the repair
        });
        ASSERT_EQ(nvram_dbs_repair_end(), 1);
        sim::waitIdle();
        EXPECT_EQ(wrote, 4);
        EXPECT_EQ(read(nvram_BootCnt_Elem, 0), (bytes{9, 9, 9, 9}));
        restart();
        EXPECT_EQ(read(nvram_BootCnt_Elem, 0), (bytes{9, 9, 9, 9})) << heldWrites << " held";
    }
}

} // namespace
