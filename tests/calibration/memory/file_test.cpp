// The dataset file: written, read back, checked by an independent reader, and refused when
// any part of it is wrong.
#include "calibration/memory/seram.h"
#include "platform/os/osfs.h"
#include "platform/unit_dir.h"
#include "services/checksum/crc.h"
#include "support/logcapture.h"
#include "support/pyref.h"
#include "vyn/vartable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

using testsupport::logContains;
using testsupport::LogLine;

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

struct DatasetFile : ::testing::Test {
    UnitDir dir;
    bytes data = bytes(SERAM_IMAGE_SIZE);
    bytes buffer = bytes(SERAM_IMAGE_SIZE, 0xEE);
    std::vector<LogLine> seen;
    uint8_t raw = 0;

    void SetUp() override {
        testsupport::logStart();
        seram_reset();
        ASSERT_TRUE(osfs::addDevice("c:", dir.path));
        std::mt19937 rng(5);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
    }
    void TearDown() override { osfs::removeDevice("c:"); }
    bool logged(const std::string& text) { return logContains(seen, text); }
    bytes file(const std::string& name) const {
        std::ifstream f(dir.path + "/" + name, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(f), {});
    }
    void put(const std::string& name, const bytes& b) const {
        std::ofstream(dir.path + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), b.size());
    }
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
    void expectRefused(const bytes& f, const std::string& text) {
        put("bad.dat", f);
        EXPECT_EQ(seram_LoadFromFile("c:/bad.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), -1) << text;
        EXPECT_TRUE(logged(text)) << text;
        EXPECT_EQ(buffer, bytes(SERAM_IMAGE_SIZE, 0xEE)) << text;
        EXPECT_EQ(raw, 0);
    }
};

TEST_F(DatasetFile, RoundTripReadByAnIndependentReader) {
    ASSERT_EQ(seram_StoreToFile("c:/ds.dat", data.data(), SERAM_IMAGE_SIZE), 0);
    const bytes f = file("ds.dat");
    ASSERT_EQ(f.size(), 256u + SERAM_IMAGE_SIZE);
    EXPECT_EQ(std::string(f.begin() + 4, f.begin() + 8), "ARES");
    EXPECT_EQ(std::string(f.begin() + 24, f.begin() + 28), "MASD");

    pyref::TempFile script(kReader);
    const bytes out = pyref::run("/usr/bin/python3 " + script.path() + " " + dir.path + "/ds.dat");
    EXPECT_EQ(std::string(out.begin(), out.end()), "True ARES 0x1000000 1 256 123532 MASD True True " +
                                                       std::string(VYN_EPK_TEXT) + " True 0 True\n");

    ASSERT_EQ(seram_LoadFromFile("c:/ds.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), 0);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(raw, 0);
}

TEST_F(DatasetFile, RawImageIsReadWithoutHead) {
    bytes img(SERAM_IMAGE_SIZE);
    seramBuildDefaultImage(img.data(), SERAM_IMAGE_SIZE);
    put("raw.bin", img);
    ASSERT_EQ(seram_LoadFromFile("c:/raw.bin", buffer.data(), SERAM_IMAGE_SIZE, &raw), 0);
    EXPECT_EQ(buffer, img);
    EXPECT_EQ(raw, 1);
    EXPECT_TRUE(logged("seram_LoadFromFile: dummy marker found; ignore header checks and refresh RP"));

    img.resize(1000);
    raw = 0;
    buffer.assign(SERAM_IMAGE_SIZE, 0xEE);
    expectRefused(img, "seram_LoadFromFile: fread() Data size mismatch! read=0x3e8 expected=0x1e28c");
}

TEST_F(DatasetFile, EveryBrokenPartIsRefused) {
    ASSERT_EQ(seram_StoreToFile("c:/ds.dat", data.data(), SERAM_IMAGE_SIZE), 0);
    bytes f = file("ds.dat");
    f[100] ^= 1;
    expectRefused(f, "seram_LoadFromFile: fread() Head CRC32 invalid! computed=0x");
    expectRefused(
        withField(4, 0x12345678),
        "fread() Head MAGIC invalid! read=0x12345678 expected=0x53455241 - This is not a SERAM file");
    expectRefused(withField(8, 2),
                  "seram_LoadFromFile: fread() Head VERSION invalid! read=0x2 expected=0x1000000");
    expectRefused(withField(12, 2), "seram_LoadFromFile: Only on entry allowed yet, decriptor says 2");
    expectRefused(withField(24, 0x41414141),
                  "fread() Block TYPE invalid! read=0x41414141 expected=0x4453414d - This is not a DATASET");
    expectRefused(withField(20, 16), "Descriptor: Data size mismatch! Descriptor=0x10 expected=0x1e28c");
    expectRefused(withField(16, 512),
                  "seram_LoadFromFile: fread() Data size mismatch! read=0x1e18c expected=0x1e28c");
    expectRefused(withField(16, 0x80000000u),
                  "seram_LoadFromFile: fseek() fails to reach position 0x80000000");
    f = file("ds.dat");
    f[300] ^= 0x80;
    expectRefused(f, "seram_LoadFromFile: Descriptor CRC mismatch: Descriptor=0x");
    f.resize(200);
    expectRefused(f, "seram_LoadFromFile: fread() Head size mismatch! read=0xc8 expected=0x100");

    EXPECT_EQ(seram_LoadFromFile("c:/none.dat", buffer.data(), SERAM_IMAGE_SIZE, &raw), -1);
    EXPECT_TRUE(logged("seram_LoadFromFile: fopen() failed on c:/none.dat"));
    EXPECT_EQ(seram_LoadFromFile(nullptr, buffer.data(), SERAM_IMAGE_SIZE, &raw), -1);
    EXPECT_TRUE(logged("seram_LoadFromFile: NULL file path pointer"));
    EXPECT_EQ(seram_LoadFromFile("c:/ds.dat", buffer.data(), 0x20001, &raw), -1);
    EXPECT_TRUE(logged("seram_LoadFromFile: Buffer (131073 bytes) bigger than the DataPage (131072 bytes)!"));
}

TEST_F(DatasetFile, ValidityCheck) {
    bytes img(SERAM_IMAGE_SIZE);
    seramBuildDefaultImage(img.data(), SERAM_IMAGE_SIZE);
    EXPECT_EQ(seram_CheckDataValidity(img.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE), 0);
    EXPECT_EQ(seram_CheckDataValidity(nullptr, SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE), -1);
    EXPECT_TRUE(logged("seram_CheckDataValidity: pBuffer is NULL"));
    EXPECT_EQ(seram_CheckDataValidity(img.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE - 1), -2);
    EXPECT_TRUE(logged("seram_CheckDataValidity: BufferSize and DataSize inconsistent"));
    EXPECT_EQ(seram_CheckDataValidity(img.data(), SERAM_IMAGE_SIZE - 4, SERAM_DATASET_SIZE - 4), -2);
    EXPECT_TRUE(logged("seram_CheckDataValidity: Datasize shall be 123528, not 123524"));

    bytes other = img;
    other[40] ^= 1;
    EXPECT_EQ(seram_CheckDataValidity(other.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE), -3);
    EXPECT_TRUE(logged("seram_CheckDataValidity: EPK does not match, expected: '"));
    other = img;
    other[0x1000] ^= 1;
    char text[96];
    std::snprintf(text, sizeof text, "Data corrupted (Wrong CRC) read 0x%04x, expect 0x%04x",
                  img[SERAM_DATASET_SIZE] | img[SERAM_DATASET_SIZE + 1] << 8,
                  crc16_ibm_accu(other.data(), SERAM_DATASET_SIZE, 0));
    EXPECT_EQ(seram_CheckDataValidity(other.data(), SERAM_IMAGE_SIZE, SERAM_DATASET_SIZE), -4);
    EXPECT_TRUE(logged(text));
}

} // namespace
