// Pages, guarded access and checksums of the calibration memory; the dataset file (written, read
// back by an independent reader, refused when any part of it is wrong) and the stored dataset the
// unit starts with (good, corrupted, foreign, none; a failed store).
#define FAKES_DEFINE
#include "calibration/memory/seram.h"
#include "platform/dataset/dataset.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "services/checksum/crc.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "calibration/fakes.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Seram : testsupport::SteppedWith<seram_reset, seramInitializeOffsets, fakes::reset> {
    static bytes at(uint32_t a, uint32_t n) { return bytes(seram_memory + a, seram_memory + a + n); }
};

TEST_F(Seram, ImageAreasPageSwitchAndGuardedAccess) {
    EXPECT_EQ(std::memcmp(seram_memory, "SERAM_START_AREA_DUMMY\0\0\0\0\0\0\0\0\0\0", 32), 0);
    // Each area's last address and the one behind it; the adaptive page is empty.
    bool (*const in[])(uint32_t) = {seramVirtualAddrIsRefpage, seramVirtualAddrIsWorkpage,
                                    seramVirtualAddrIsSignalpage, seramVirtualAddrIsAdaptVolatilepage};
    const uint32_t last[] = {0x1FFFF, 0x3FFFF, 0x427FF, 0x51C17};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(in[i](last[i]) && !in[i](last[i] + 1)) << std::hex << last[i];

    const uint32_t ref = 0x1234, work = 0xBEEF;
    std::memcpy(seram_memory + VTADDR_ECU_TYPE, &ref, 4);
    std::memcpy(seram_memory + 0x20000 + VTADDR_ECU_TYPE, &work, 4);
    seramSetWorkpageActive();
    EXPECT_EQ(std::tuple(seramGetRefPageActive(), seramGetActivePage(), ECU_TYPE),
              std::tuple(0, seram_memory + 0x20000, work));
    seramSetRefpageActive();
    EXPECT_EQ(ECU_TYPE, ref);

    // Downloads, reads and checks are guarded and stop the channel functions only at the active page.
    const bytes data(16, 0xA5);
    const bytes refBefore = at(0, 0x20000);
    // Into the reference page, reaching into the working page from it, ending at the block's end.
    EXPECT_FALSE(seramDownload(0x00000, data.data(), 8) || seramDownload(0x1FFFF, data.data(), 1) ||
                 seramDownload(0x1FFFC, data.data(), 8) || seramDownload(0x5FFF0, data.data(), 16));
    EXPECT_EQ(at(0, 0x20000), refBefore);
    // To the block's end; into the inactive working page: nothing stopped.
    EXPECT_TRUE(seramDownload(0x5FFF0, data.data(), 15) && seramDownload(0x20000, data.data(), 8));
    EXPECT_EQ(std::pair(at(0x20000, 8), fakes::awmStops), std::pair(bytes(8, 0xA5), 0));

    seramSetWorkpageActive();
    // Ending at the block's end, or wrapping: refused before anything is stopped.
    EXPECT_FALSE(seramDownload(0x20000, data.data(), 0x40000) ||
                 seramDownload(0x20000, data.data(), 0xFFFFFFF0u));
    EXPECT_EQ(fakes::awmStops, 0);
    EXPECT_TRUE(seramDownload(0x20000, data.data(), 4) && seramDownload(0x20010, data.data(), 4));
    EXPECT_EQ(fakes::awmStops, 1) << "once, also for a download not at the page start";

    // Volatile adaptive values are forwarded to the channel functions, signals are not.
    EXPECT_TRUE(seramDownload(0x50010, data.data(), 6) && seramDownload(0x40100, data.data(), 6));
    ASSERT_EQ(fakes::adjDownloads.size(), 1u);
    EXPECT_EQ(fakes::adjDownloads[0],
              std::pair(bytes(6, 0xA5), static_cast<const void*>(seram_memory + 0x50010)));

    uint8_t out[16];
    // A read may end at the block's end, not beyond it.
    EXPECT_TRUE(seramReadMemory(out, 0x5FFF0, 16) && !seramReadMemory(out, 0x5FFF1, 16) &&
                seramVirtualAddrRangeIsReadAccessAllowed(0x5FFF0, 16) &&
                !seramVirtualAddrRangeIsReadAccessAllowed(0x5FFF0, 17));
    // Lengths whose end would wrap below the block's end.
    const uint32_t huge = 0xFFFFFFF8u;
    EXPECT_FALSE(seramReadMemory(out, 0x10, huge) || seramVirtualAddrRangeIsReadAccessAllowed(0x10, huge) ||
                 seramBuildChksum(0x10, huge) || seramCopyPage(0x20000, 0x10, huge) ||
                 seramCopyPage(0x10, 0x20000, huge));
}

TEST_F(Seram, ChecksumsMatchTheCatalogueAndPageCopiesMayWriteTheReferencePage) {
    std::generate(seram_memory, seram_memory + SERAM_BLOCK_SIZE, std::mt19937(7));
    const std::pair<uint32_t, uint32_t> ranges[] = {
        {0, SERAM_DATASET_SIZE}, {0x40001, 0x181B}, {0x5FF00, 0x100}, {0x12345, 1}, {0x60000, 0}};
    std::vector<std::vector<bytes>> cases;
    for (auto [a, n] : ranges)
        cases.push_back({at(a, n)});
    const auto ref = pyref::map(
        "def f(b): return '%d' % crcmod.mkCrcFun(0x11021, initCrc=0xFFFF, rev=False, xorOut=0)(b)\n", cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        auto [a, n] = ranges[i];
        EXPECT_EQ(std::to_string(seramBuildChksum(a, n)), ref[i]);
    }
    EXPECT_EQ(seramBuildChksum(0x5FF00, 0x101), 0); // beyond the block

    const bytes work = at(0x20000, 0x20000);
    EXPECT_TRUE(seramCopyPage(0x00000, 0x20000, 0x20000));
    EXPECT_EQ(at(0, 0x20000), work);
    // A destination ending at the block's end, a source beyond it.
    EXPECT_FALSE(seramCopyPage(0x40000, 0x20000, 0x20000) || seramCopyPage(0x00000, 0x60010, 4));
    const bytes src = at(0x20000, 64);
    EXPECT_TRUE(seramCopyPage(0x20010, 0x20000, 64)); // overlapping
    EXPECT_EQ(at(0x20010, 64), src);
}

// A PC tool rewrites parameters of the working page, switches pages and copies the reference
// page over the working page, while a task reads the parameters through their accessors: every
// read is the reference page's value or one the tool wrote, never bytes of two.
TEST_F(Seram, ParametersReadWhileAToolWritesAndSwitchesPagesAreOldOrNewNeverMixed) {
    // Each range starts off the alignment of its first parameter: u32 ECU_TYPE and DEVICE_CONFIG,
    // u8 OUTINGCTR_MODE; two each of u32, f32, u8, f32 and u16 (CAN_BAUDRATES to
    // CanOut_startdelay).
    const std::pair<uint32_t, uint32_t> ranges[] = {{0x0FFFF, 10}, {0x10803, 0x21}};
    for (auto [a, n] : ranges)
        std::memset(seram_memory + a, 0x33, n);
    seramCopyRefToWorkpage();
    std::atomic<bool> done{false}; // relaxed: orders no read after a write
    std::thread tool([&] {
        for (int r = 0; r < 3000; ++r) {
            const bytes data(0x21, r % 2 ? 0x11 : 0x22);
            for (auto [a, n] : ranges)
                EXPECT_TRUE(seramDownload(0x20000 + a, data.data(), n));
            if (r % 7 == 0) (r % 14 ? seramSetRefpageActive : seramSetWorkpageActive)();
            if (r % 500 == 250) {
                EXPECT_TRUE(seramCopyPage(0x20000, 0x00000, 0x20000));
            }
        }
        done.store(true, std::memory_order_relaxed);
    });
    std::set<std::string> bad;
    auto check = [&](auto v, const char* what) {
        uint8_t b[sizeof v];
        std::memcpy(b, &v, sizeof v);
        if (std::count(b, b + sizeof b, b[0]) != static_cast<long>(sizeof b) ||
            (b[0] != 0x11 && b[0] != 0x22 && b[0] != 0x33))
            bad.insert(what);
    };
    for (int n = 0; !done.load(std::memory_order_relaxed) || n < 100; ++n) {
        check(uint32_t{ECU_TYPE}, "ECU_TYPE"), check(uint32_t{DEVICE_CONFIG}, "DEVICE_CONFIG");
        check(uint8_t{OUTINGCTR_MODE}, "OUTINGCTR_MODE");
        check(CAN_BAUDRATES[1], "baud"), check(CAN_SAMPLEPOINT[0], "sample point"), check(CAN_SJW[1], "SJW");
        check(CanOut_rate_limit[1], "rate limit"), check(CanOut_startdelay[0], "start delay");
    }
    tool.join();
    EXPECT_EQ(bad, std::set<std::string>{});
    EXPECT_EQ(fakes::awmStops, 0) << "no range starts at the active page";
    // The last round wrote 0x11 with the working page active.
    EXPECT_EQ(std::pair(uint32_t{ECU_TYPE}, CanOut_startdelay[1]), std::pair(0x11111111u, uint16_t{0x1111}));
    seramSetRefpageActive();
    EXPECT_EQ(std::pair(uint32_t{ECU_TYPE}, CanOut_startdelay[1]), std::pair(0x33333333u, uint16_t{0x3333}));
}

// The additive checksum is the 16-bit sum of the bytes, only for ranges within the block.
TEST_F(Seram, AdditiveChecksumIsTheByteSumWithinTheBlock) {
    std::generate(seram_memory, seram_memory + SERAM_BLOCK_SIZE, std::mt19937(7));
    const std::pair<uint32_t, uint32_t> ranges[] = {
        {0, SERAM_DATASET_SIZE}, {0x40001, 0x181B}, {0x5FF00, 0x100}, {0x12345, 1}, {0x60000, 0}};
    std::vector<std::vector<bytes>> cases;
    for (auto [a, n] : ranges)
        cases.push_back({at(a, n)});
    const auto ref = pyref::map("def f(b): return '%d' % (sum(b) & 0xFFFF)\n", cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        auto [a, n] = ranges[i];
        EXPECT_EQ(std::to_string(seramChksumM16byAdd8(a, n)), ref[i]) << i;
    }
    EXPECT_EQ(seramChksumM16byAdd8(0x5FF00, 0x101) + seramChksumM16byAdd8(0x10, 0xFFFFFFF8u), 0);
}

// Reads the file with nothing but struct and zlib and prints what it found.
const char kReader[] = R"(import struct, sys, zlib
d = open(sys.argv[1], 'rb').read()
head = d[:256]
crc, magic, ver, n, off, size, btype, dcrc = struct.unpack_from('<I4sIIII4sI', head)
reg = lambda b: zlib.crc32(b) ^ 0xFFFFFFFF
epk = head[128:].split(b'\0')[0].decode()
after = head[128 + len(epk) + 1:255]
print(crc == reg(head[4:]), magic.decode(), hex(ver), n, off, size, btype.decode(), dcrc == reg(d[off:off + size]),
      head[32:128] == b'@' * 96, epk, after == b'@' * len(after), head[255], len(d) == off + size)
)";

struct Storage : Seram {
    testsupport::ScratchDir dir;
    bytes image = bytes(SERAM_IMAGE_SIZE); // the default image
    bytes data = bytes(SERAM_IMAGE_SIZE);  // random
    bytes buffer = bytes(SERAM_IMAGE_SIZE, 0xEE);
    uint8_t raw = 0;

    void SetUp() override {
        SteppedWith::SetUp();
        ASSERT_TRUE(osfs::addDevice("c:", dir.path));
        ASSERT_TRUE(dataset::install(dir.path));
        ASSERT_EQ(seramBuildDefaultImage(image.data(), SERAM_IMAGE_SIZE), 0);
        std::generate(data.begin(), data.end(), std::mt19937(5));
        RtpIndex = 3;
    }
    void TearDown() override { osfs::removeDevice("c:"), dataset::uninstall(), kmgr::clearFaults(); }
    static bytes of(const std::string& s) { return bytes(s.begin(), s.end()); }
    void put(const std::string& name, const bytes& b) const { dir.write(name, {b.begin(), b.end()}); }
    bytes file(const std::string& name) const {
        const std::string s = dir.read(name);
        return bytes(s.begin(), s.end());
    }
    static void sealed(bytes& img) {
        const uint16_t crc = crc16_ibm_accu(img.data(), SERAM_DATASET_SIZE, 0);
        std::memcpy(&img[SERAM_DATASET_SIZE], &crc, 2);
    }
    void store(const bytes& img) { ASSERT_TRUE(dataset::writeImage(dir.path, img.data(), img.size())); }

    // A written file with one head field changed and the head CRC made right again.
    bytes withField(size_t offset, uint32_t value) {
        EXPECT_EQ(seram_StoreToFile("c:/ds.dat", data.data(), SERAM_IMAGE_SIZE), 0);
        bytes f = file("ds.dat");
        std::memcpy(&f[offset], &value, 4);
        const uint32_t crc = ~::crc32(0, &f[4], 252); // the head's CRC as zlib's, inverted
        std::memcpy(&f[0], &crc, 4);
        return f;
    }
    void expectRefused(const bytes& f) {
        put("bad.dat", f);
        buffer.assign(SERAM_IMAGE_SIZE, 0xEE), raw = 0;
        EXPECT_EQ(seram_LoadFromFile("c:/bad.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), -1) << f.size();
        EXPECT_EQ(std::pair(buffer, raw), std::pair(bytes(SERAM_IMAGE_SIZE, 0xEE), uint8_t{0}));
    }
};

TEST_F(Storage, FileRoundTripReadByAnIndependentReaderAndEveryBrokenPartRefused) {
    ASSERT_EQ(seram_StoreToFile("c:/ds.dat", data.data(), SERAM_IMAGE_SIZE), 0);
    pyref::TempFile script(kReader);
    EXPECT_EQ(pyref::run("/usr/bin/python3 " + script.path() + " " + dir.path + "/ds.dat"),
              of("True ARES 0x1000000 1 256 123532 MASD True True " + std::string(VYN_EPK_TEXT) +
                 " True 0 True\n"));
    ASSERT_EQ(seram_LoadFromFile("c:/ds.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), 0);
    EXPECT_EQ(std::pair(buffer, raw), std::pair(data, uint8_t{0}));
    put("raw.bin", image); // a raw image without a head is read as it is
    ASSERT_EQ(seram_LoadFromFile("c:/raw.bin", buffer.data(), SERAM_IMAGE_SIZE, &raw), 0);
    EXPECT_EQ(std::pair(buffer, raw), std::pair(image, uint8_t{1}));
    expectRefused(bytes(image.begin(), image.begin() + 1000));

    // Every broken part of the file is refused: the head's or the data's CRC; magic, version, entry
    // count, block type, size in the descriptor, data offset (also far beyond the file); a short head.
    for (size_t at : {100, 300}) {
        bytes f = file("ds.dat");
        expectRefused((f[at] ^= 0x80, f));
    }
    for (auto [offset, value] : {std::pair{4, 0x12345678u},
                                 {8, 2u},
                                 {12, 2u},
                                 {24, 0x41414141u},
                                 {20, 16u},
                                 {16, 512u},
                                 {16, 0x80000000u}})
        expectRefused(withField(offset, value));
    EXPECT_TRUE(logged("- This is not a SERAM file"));
    expectRefused(of(dir.read("ds.dat").substr(0, 200)));
    // No such file, no path, more than a page.
    EXPECT_EQ(seram_LoadFromFile("c:/none.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw) +
                  seram_LoadFromFile(nullptr, buffer.data(), SERAM_IMAGE_SIZE, &raw) +
                  seram_LoadFromFile("c:/ds.dat", buffer.data(), 0x20001, &raw),
              -3);
}

TEST_F(Storage, GoodDatasetBecomesBothPagesAndAFailedStoreKeepsIt) {
    const uint32_t type = 0x1234;
    std::memcpy(&image[VTADDR_ECU_TYPE], &type, 4);
    sealed(image);
    store(image);
    seramSetWorkpageActive();
    EXPECT_EQ(seramInitialize(), 1);
    EXPECT_EQ(std::pair(at(0, SERAM_IMAGE_SIZE), at(0x20000, SERAM_IMAGE_SIZE)), std::pair(image, image));
    EXPECT_EQ(std::tuple(seramGetRefPageActive(), ECU_TYPE), std::tuple(1, 0x1234u));
    EXPECT_EQ(fakes::shellCommands, std::vector<std::string>{"scrutInfo_RTP3"});

    // A failed store keeps the stored dataset (a store that succeeds is the XCP end-to-end test's).
    seram_memory[VTADDR_OUTINGCTR_MODE] = 1;
    kmgr::injectFault(KCALL_DATASET_STORE, -1);
    EXPECT_EQ(seramTask(nullptr, 0), -1);
    EXPECT_TRUE(logged("seramWriteRefPageToMedia() failed to store RefPage"));
    EXPECT_EQ(file("dataset.img"), image);
}

// The CRC word stored behind the payload is CRC-16/ARC of it, little-endian, and the reference page
// holds it as loaded.
TEST_F(Storage, StoredCrcWordIsCrc16ArcOfThePayload) {
    sealed(image);
    store(image);
    ASSERT_EQ(seramInitialize(), 1);
    EXPECT_EQ(seramGetRefPageActCrc(), seramGetRefPageInitialCrc());
    const auto ref =
        pyref::map("def f(b): return '%d' % crcmod.mkCrcFun(0x18005, initCrc=0, rev=True, xorOut=0)(b)",
                   {{bytes(image.begin(), image.begin() + SERAM_DATASET_SIZE)}});
    EXPECT_EQ(std::to_string(seramGetRefPageInitialCrc()), ref[0]);
}

TEST_F(Storage, BrokenForeignOrMissingDatasetIsRefused) {
    bytes flipped = image, foreign = image, longer = image;
    flipped[0x12345] ^= 0x10;
    std::memcpy(&foreign[32], "KVX2_VYN_9.9.9_00000000", 24);
    // The image's EPK with more text behind it, no NUL in the field: another EPK too.
    std::memset(&longer[32], 'X', 33);
    std::memcpy(&longer[32], VYN_EPK_TEXT, sizeof VYN_EPK_TEXT - 1);
    sealed(foreign);
    sealed(longer);
    const bytes defaults(image.begin(), image.begin() + SERAM_DATASET_SIZE);
    for (const bytes& img : {bytes{}, flipped, foreign, longer}) { // none, corrupted, foreign, longer EPK
        seram_reset();
        seen.clear();
        if (!img.empty()) store(img);
        EXPECT_EQ(seramInitialize(), 0) << img.size();
        EXPECT_TRUE(logged("SERAM: Please reprogram the dataset in order to start the ECU"));
        EXPECT_EQ(std::pair(at(0, SERAM_DATASET_SIZE), at(0x20000, SERAM_DATASET_SIZE)),
                  std::pair(defaults, defaults));
    }
}

} // namespace
