// The stored dataset: start with a good, a corrupted, a foreign and no dataset; store task.
#include "calibration/memory/seram.h"
#include "platform/dataset/dataset.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/sim.h"
#include "platform/unit_dir.h"
#include "services/checksum/crc.h"
#include "support/logcapture.h"
#include "support/pyref.h"
#include "vyn/vartable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "calibration/fakes.h"

using testsupport::logContains;
using testsupport::LogLine;

namespace {

using bytes = std::vector<uint8_t>;

struct Load : ::testing::Test {
    UnitDir dir;
    bytes image = bytes(SERAM_IMAGE_SIZE);
    std::vector<LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        testsupport::logStart();
        seram_reset();
        fakes::reset();
        kmgr::clearFaults();
        ASSERT_TRUE(dataset::install(dir.path));
        ASSERT_EQ(seramBuildDefaultImage(image.data(), SERAM_IMAGE_SIZE), 0);
        RtpIndex = 3;
    }
    void TearDown() override {
        dataset::uninstall();
        kmgr::clearFaults();
    }
    bool logged(const std::string& text) { return logContains(seen, text); }
    static void sealed(bytes& img) {
        const uint16_t crc = crc16_ibm_accu(img.data(), SERAM_DATASET_SIZE, 0);
        img[SERAM_DATASET_SIZE] = static_cast<uint8_t>(crc);
        img[SERAM_DATASET_SIZE + 1] = static_cast<uint8_t>(crc >> 8);
    }
    static void setU32(bytes& img, uint32_t addr, uint32_t v) {
        std::memcpy(&img[addr], &v, 4);
        sealed(img);
    }
    void store(const bytes& img) { ASSERT_TRUE(dataset::writeImage(dir.path, img.data(), img.size())); }
    bytes stored() const {
        std::ifstream f(dir.path + "/dataset.img", std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(f), {});
    }
    static bytes page(uint32_t vaddr, uint32_t len) {
        return bytes(seram_memory + vaddr, seram_memory + vaddr + len);
    }
    void expectRefused() {
        EXPECT_EQ(seramInitialize(), 0);
        EXPECT_TRUE(logged("SERAM: Please reprogram the dataset in order to start the ECU"));
        // Both pages hold the image's defaults.
        bytes defaults(SERAM_IMAGE_SIZE);
        seramBuildDefaultImage(defaults.data(), SERAM_IMAGE_SIZE);
        defaults.resize(SERAM_DATASET_SIZE);
        EXPECT_EQ(page(0, SERAM_DATASET_SIZE), defaults);
        EXPECT_EQ(page(0x20000, SERAM_DATASET_SIZE), defaults);
        EXPECT_TRUE(fakes::shellCommands.empty());
    }
};

TEST_F(Load, GoodDatasetBecomesBothPages) {
    setU32(image, VTADDR_ECU_TYPE, 0x1234);
    store(image);
    seramSetWorkpageActive();
    EXPECT_EQ(seramInitialize(), 1);
    EXPECT_EQ(page(0, SERAM_IMAGE_SIZE), image);
    EXPECT_EQ(page(0x20000, SERAM_IMAGE_SIZE), image);
    EXPECT_EQ(seramGetRefPageActive(), 1);
    EXPECT_EQ(ECU_TYPE, 0x1234u);
    EXPECT_EQ(seramGetRefPageActCrc(), seramGetRefPageInitialCrc());
    EXPECT_EQ(fakes::shellCommands, std::vector<std::string>{"scrutInfo_RTP3"});
    EXPECT_FALSE(logged("Please reprogram"));
    // The stored CRC word is CRC-16/ARC of the payload, little-endian.
    const auto ref = pyref::map("arc = crcmod.mkCrcFun(0x18005, initCrc=0, rev=True, xorOut=0)\n"
                                "def f(b): return '%d' % arc(b)\n",
                                {{bytes(image.begin(), image.begin() + SERAM_DATASET_SIZE)}});
    EXPECT_EQ(std::to_string(seramGetRefPageInitialCrc()), ref[0]);
}

TEST_F(Load, OneFlippedByteIsRefused) {
    setU32(image, VTADDR_ECU_TYPE, 0x1234);
    image[0x12345] ^= 0x10;
    store(image);
    expectRefused();
    EXPECT_TRUE(logged("SERAM: Refpage corrupted (Wrong CRC)"));
}

TEST_F(Load, AnotherEpkIsRefused) {
    std::memcpy(&image[32], "KVX2_VYN_9.9.9_00000000", 24);
    sealed(image);
    store(image);
    expectRefused();
    EXPECT_TRUE(logged(std::string("SERAM: EPK does not match, use default data '") + VYN_EPK_TEXT +
                       "' vs 'KVX2_VYN_9.9.9_00000000'"));
    // The image's EPK with more text behind it, no NUL in the field: another EPK too.
    std::memset(&image[32], 'X', 33);
    std::memcpy(&image[32], VYN_EPK_TEXT, sizeof VYN_EPK_TEXT - 1);
    sealed(image);
    store(image);
    EXPECT_EQ(seramInitialize(), 0);
}

TEST_F(Load, NoDatasetIsRefused) {
    expectRefused();
    EXPECT_TRUE(logged("syscall() returned an error while initializing RefPage"));
    EXPECT_TRUE(logged("seramReadRefpageBin() cannot load RefPage. Use default data"));
}

TEST_F(Load, TheBuiltDefaultDatasetStartsTheUnit) {
    const char* build = std::getenv("VYN_BUILD_DIR");
    std::ifstream f(std::string(build ? build : ".") + "/dataset/dataset.img", std::ios::binary);
    if (!f) GTEST_SKIP() << "the default dataset is not built";
    const bytes built(std::istreambuf_iterator<char>(f), {});
    EXPECT_EQ(built, image);
    store(built);
    EXPECT_EQ(seramInitialize(), 1);
}

TEST_F(Load, StoredCalibrationSurvivesARestart) {
    store(image);
    ASSERT_EQ(seramInitialize(), 1);
    const uint32_t cfg = 0x00250A03;
    ASSERT_TRUE(seramDownload(0x20000 + VTADDR_DEVICE_CONFIG, &cfg, 4));
    ASSERT_TRUE(seramCopyPage(0, 0x20000, 0x20000)); // the store request's copy

    static int result = 99;
    static intptr_t arg = 0;
    result = 99;
    ASSERT_TRUE(seramCopyRefToFlashpage(
        [](int r, intptr_t a) {
            result = r;
            arg = a;
        },
        42));
    sim::waitIdle();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(arg, 42);
    EXPECT_TRUE(logged("seramTask started"));
    EXPECT_TRUE(logged("seramTask ends now"));
    const bytes now = stored();
    EXPECT_EQ(now, page(0, SERAM_IMAGE_SIZE));
    EXPECT_EQ(seram_CheckDataValidity(now.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE), 0);

    seram_reset(); // power cycle
    EXPECT_EQ(DEVICE_CONFIG, 0u);
    ASSERT_EQ(seramInitialize(), 1);
    EXPECT_EQ(DEVICE_CONFIG, cfg);
}

TEST_F(Load, FailedStoreKeepsTheStoredDataset) {
    store(image);
    ASSERT_EQ(seramInitialize(), 1);
    seram_memory[VTADDR_OUTINGCTR_MODE] = 1;
    kmgr::injectFault(SERAM_CALL_STORE, -1);
    EXPECT_EQ(seramTask(nullptr, 0), -1);
    EXPECT_TRUE(logged("syscall() returned an error while storing RefPage"));
    EXPECT_TRUE(logged("seramWriteRefPageToMedia() failed to store RefPage"));
    EXPECT_EQ(stored(), image);
}

} // namespace
