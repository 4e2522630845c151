// The dataset file (written, read back by an independent reader, refused when any part of it is
// wrong) and the stored dataset the unit starts with (good, corrupted, foreign, none; the store task).
#include "calibration/memory/seram.h"
#include "platform/dataset/dataset.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "services/checksum/crc.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "calibration/fakes.h"

namespace {

using bytes = std::vector<uint8_t>;

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

struct Storage : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    bytes image = bytes(SERAM_IMAGE_SIZE); // the default image
    bytes data = bytes(SERAM_IMAGE_SIZE);  // random
    bytes buffer = bytes(SERAM_IMAGE_SIZE, 0xEE);
    uint8_t raw = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset();
        fakes::reset();
        kmgr::clearFaults();
        ASSERT_TRUE(osfs::addDevice("c:", dir.path));
        ASSERT_TRUE(dataset::install(dir.path));
        ASSERT_EQ(seramBuildDefaultImage(image.data(), SERAM_IMAGE_SIZE), 0);
        std::mt19937 rng(5);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        RtpIndex = 3;
    }
    void TearDown() override {
        osfs::removeDevice("c:");
        dataset::uninstall();
        kmgr::clearFaults();
    }
    bytes file(const std::string& name) const {
        const std::string s = dir.read(name);
        return bytes(s.begin(), s.end());
    }
    void put(const std::string& name, const bytes& b) const {
        dir.write(name, std::string(b.begin(), b.end()));
    }
    static bytes page(uint32_t vaddr, uint32_t len) {
        return bytes(seram_memory + vaddr, seram_memory + vaddr + len);
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
        uint32_t crc = 0xFFFFFFFF;
        crc32_update(&f[4], 252, &crc);
        std::memcpy(&f[0], &crc, 4);
        return f;
    }
    void expectRefused(const bytes& f, const std::string& text = "") {
        put("bad.dat", f);
        EXPECT_EQ(seram_LoadFromFile("c:/bad.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), -1) << f.size();
        EXPECT_TRUE(logged(text)) << text;
        EXPECT_EQ(std::pair(buffer, raw), std::pair(bytes(SERAM_IMAGE_SIZE, 0xEE), uint8_t{0}));
    }
};

TEST_F(Storage, FileRoundTripReadByAnIndependentReader) {
    ASSERT_EQ(seram_StoreToFile("c:/ds.dat", data.data(), SERAM_IMAGE_SIZE), 0);
    pyref::TempFile script(kReader);
    const bytes out = pyref::run("/usr/bin/python3 " + script.path() + " " + dir.path + "/ds.dat");
    EXPECT_EQ(std::string(out.begin(), out.end()), "True ARES 0x1000000 1 256 123532 MASD True True " +
                                                       std::string(VYN_EPK_TEXT) + " True 0 True\n");
    ASSERT_EQ(seram_LoadFromFile("c:/ds.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), 0);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(raw, 0);

    // A raw image without a head is read as it is.
    put("raw.bin", image);
    ASSERT_EQ(seram_LoadFromFile("c:/raw.bin", buffer.data(), SERAM_IMAGE_SIZE, &raw), 0);
    EXPECT_EQ(buffer, image);
    EXPECT_EQ(raw, 1);
    EXPECT_TRUE(logged("seram_LoadFromFile: dummy marker found; ignore header checks and refresh RP"));
    raw = 0;
    buffer.assign(SERAM_IMAGE_SIZE, 0xEE);
    expectRefused(bytes(image.begin(), image.begin() + 1000),
                  "seram_LoadFromFile: fread() Data size mismatch! read=0x3e8 expected=0x1e28c");
}

TEST_F(Storage, EveryBrokenPartOfTheFileIsRefusedAndSoIsABrokenImage) {
    ASSERT_EQ(seram_StoreToFile("c:/ds.dat", data.data(), SERAM_IMAGE_SIZE), 0);
    bytes f = file("ds.dat");
    f[100] ^= 1;
    expectRefused(f, "seram_LoadFromFile: fread() Head CRC32 invalid! computed=0x");
    expectRefused(withField(4, 0x12345678), "- This is not a SERAM file");
    // Version, entry count, block type, size in the descriptor, data offset (also far beyond the file).
    for (auto [offset, value] :
         {std::pair{8, 2u}, {12, 2u}, {24, 0x41414141u}, {20, 16u}, {16, 512u}, {16, 0x80000000u}})
        expectRefused(withField(offset, value));
    f = file("ds.dat");
    f[300] ^= 0x80;
    expectRefused(f, "seram_LoadFromFile: Descriptor CRC mismatch: Descriptor=0x");
    f.resize(200);
    expectRefused(f);
    for (const char* path : {"c:/none.dat", static_cast<const char*>(nullptr)})
        EXPECT_EQ(seram_LoadFromFile(path, buffer.data(), SERAM_IMAGE_SIZE, &raw), -1);
    EXPECT_EQ(seram_LoadFromFile("c:/ds.dat", buffer.data(), 0x20001, &raw), -1); // more than a page

    // The image: good; no buffer; sizes that disagree or are not the dataset's; another EPK; a wrong CRC.
    bytes epk = image, crc = image;
    epk[40] ^= 1;
    crc[0x1000] ^= 1;
    EXPECT_EQ(
        (std::vector{seram_CheckDataValidity(image.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE),
                     seram_CheckDataValidity(nullptr, SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE),
                     seram_CheckDataValidity(image.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE - 1),
                     seram_CheckDataValidity(image.data(), SERAM_IMAGE_SIZE - 4, SERAM_DATASET_SIZE - 4),
                     seram_CheckDataValidity(epk.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE),
                     seram_CheckDataValidity(crc.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE)}),
        (std::vector{0, -1, -2, -2, -3, -4}));
}

TEST_F(Storage, GoodDatasetBecomesBothPages) {
    const uint32_t type = 0x1234;
    std::memcpy(&image[VTADDR_ECU_TYPE], &type, 4);
    sealed(image);
    store(image);
    seramSetWorkpageActive();
    EXPECT_EQ(seramInitialize(), 1);
    EXPECT_EQ(std::pair(page(0, SERAM_IMAGE_SIZE), page(0x20000, SERAM_IMAGE_SIZE)), std::pair(image, image));
    EXPECT_EQ(std::tuple(seramGetRefPageActive(), ECU_TYPE, seramGetRefPageActCrc()),
              std::tuple(1, 0x1234u, seramGetRefPageInitialCrc()));
    EXPECT_EQ(fakes::shellCommands, std::vector<std::string>{"scrutInfo_RTP3"});
    // The stored CRC word is CRC-16/ARC of the payload, little-endian.
    const auto ref = pyref::map("arc = crcmod.mkCrcFun(0x18005, initCrc=0, rev=True, xorOut=0)\n"
                                "def f(b): return '%d' % arc(b)\n",
                                {{bytes(image.begin(), image.begin() + SERAM_DATASET_SIZE)}});
    EXPECT_EQ(std::to_string(seramGetRefPageInitialCrc()), ref[0]);
}

TEST_F(Storage, TheBuiltDefaultDatasetIsTheImage) {
    std::ifstream f(std::string(std::getenv("VYN_BUILD_DIR")) + "/dataset/dataset.img", std::ios::binary);
    if (!f) GTEST_SKIP() << "the default dataset is not built";
    EXPECT_EQ(bytes(std::istreambuf_iterator<char>(f), {}), image);
}

TEST_F(Storage, BrokenForeignOrMissingDatasetIsRefused) {
    const std::string epk =
        std::string("SERAM: EPK does not match, use default data '") + VYN_EPK_TEXT + "' vs '";
    bytes flipped = image, foreign = image, longer = image;
    flipped[0x12345] ^= 0x10;
    std::memcpy(&foreign[32], "KVX2_VYN_9.9.9_00000000", 24);
    // The image's EPK with more text behind it, no NUL in the field: another EPK too.
    std::memset(&longer[32], 'X', 33);
    std::memcpy(&longer[32], VYN_EPK_TEXT, sizeof VYN_EPK_TEXT - 1);
    sealed(foreign);
    sealed(longer);
    const std::pair<bytes, std::string> cases[] = {
        {{}, "seramReadRefpageBin() cannot load RefPage. Use default data"},
        {flipped, "SERAM: Refpage corrupted (Wrong CRC)"},
        {foreign, epk + "KVX2_VYN_9.9.9_00000000'"},
        {longer, epk + VYN_EPK_TEXT + "X"},
    };
    for (const auto& [img, line] : cases) {
        seram_reset();
        seen.clear();
        if (!img.empty()) store(img);
        EXPECT_EQ(seramInitialize(), 0);
        EXPECT_TRUE(logged(line)) << line;
        EXPECT_TRUE(logged("SERAM: Please reprogram the dataset in order to start the ECU"));
        EXPECT_EQ(page(0, SERAM_DATASET_SIZE), page(0x20000, SERAM_DATASET_SIZE))
            << "both pages the defaults";
        EXPECT_EQ(page(0, SERAM_DATASET_SIZE), bytes(image.begin(), image.begin() + SERAM_DATASET_SIZE));
        EXPECT_TRUE(fakes::shellCommands.empty());
    }
}

TEST_F(Storage, StoredCalibrationSurvivesARestartAndAFailedStoreKeepsIt) {
    store(image);
    ASSERT_EQ(seramInitialize(), 1);
    const uint32_t cfg = 0x00250A03;
    ASSERT_TRUE(seramDownload(0x20000 + VTADDR_DEVICE_CONFIG, &cfg, 4));
    ASSERT_TRUE(seramCopyPage(0, 0x20000, 0x20000)); // the store request's copy
    static int result = 99;
    static intptr_t arg = 0;
    ASSERT_TRUE(seramCopyRefToFlashpage([](int r, intptr_t a) { result = r, arg = a; }, 42));
    sim::waitIdle();
    EXPECT_EQ(std::pair(result, arg), std::pair(0, intptr_t{42}));
    const bytes now = file("dataset.img");
    EXPECT_EQ(now, page(0, SERAM_IMAGE_SIZE));
    EXPECT_EQ(seram_CheckDataValidity(now.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE), 0);

    seram_reset(); // power cycle
    EXPECT_EQ(DEVICE_CONFIG, 0u);
    ASSERT_EQ(seramInitialize(), 1);
    EXPECT_EQ(DEVICE_CONFIG, cfg);

    seram_memory[VTADDR_OUTINGCTR_MODE] = 1;
    kmgr::injectFault(KCALL_DATASET_STORE, -1);
    EXPECT_EQ(seramTask(nullptr, 0), -1);
    EXPECT_TRUE(logged("seramWriteRefPageToMedia() failed to store RefPage"));
    EXPECT_EQ(file("dataset.img"), now);
}

} // namespace
