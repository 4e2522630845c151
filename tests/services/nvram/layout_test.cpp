// The image against independent Python code (Debian's python3 with crcmod) that knows the
// layout only from its own table: it reads what the store wrote, and writes mirrors that
// the store must read.
#include "store_fixture.h"

#include "support/pyref.h"

#include <map>
#include <random>
#include <sstream>

namespace nvtest {
namespace {

const char kLayout[] = R"PY(
import struct, sys, crcmod
crc = crcmod.predefined.mkCrcFun('crc-ccitt-false')   # CRC-16-CCITT, MSB first, start 0xFFFF
SIZE = 0x80000
# id, record size, records, offset in non-volatile memory
TABLE = [(0,6,2,0x10000),(1,4,1,0x10030),(2,6,256,0x10040),(3,20,1,0x11840),(4,4,1,0x11870),
  (5,8,100,0x11880),(6,8,1,0x121E0),(7,32,256,0x121F8),(8,1,1,0x169F8),(9,1,1,0x16A08),
  (10,256,1,0x16A18),(11,32,1,0x16C20),(12,1,1,0x16C68),(13,1,1,0x16C78),(14,1,4,0x16C88),
  (15,4,1,0x16CC8),(16,4,1,0x16CD8),(17,1,16,0x16CE8),(18,4,1,0x16DE8),(19,8,10,0x16DF8),
  (20,0,0,0x16EE8),(21,40,32,0x16EE8),(22,4,1,0x179E8),
  (256,20,20,0x7EC00),(257,64,1,0x7EFC0),(258,4,1,0x7F048),(259,1,2,0x7F058),(260,4,1,0x7F078),
  (261,2,1,0x7F088),(262,20,10,0x7F098)]
def slot_size(size): return (size + 3) // 4 * 4 + 4
def slot_at(id, rec, mirror):
    for i, s, n, off in TABLE:
        if i == id: return off + (2 * rec + mirror) * slot_size(s), s
# The table adds up: no gaps, and the regions hold what they must.
for region, base, used in ((range(0, 23), 0x10000, 31224), (range(256, 263), 0x7EC00, 1656)):
    at = base
    for i, s, n, off in TABLE:
        if i in region:
            assert off == at, (i, hex(off), hex(at))
            at += slot_size(s) * n * 2
    assert at - base == used, (hex(base), at - base)
)PY";

const char kReader[] = R"PY(
img = open(sys.argv[1], 'rb').read()
assert len(img) == SIZE, len(img)
covered = bytearray(SIZE)
for id, size, count, off in TABLE:
    slot = slot_size(size)
    for r in range(count):
        m = []
        for k in (0, 1):
            base = off + (2 * r + k) * slot
            c, n = struct.unpack_from('<HH', img, base)
            data, pad = img[base + 4:base + 4 + size], img[base + 4 + size:base + slot]
            valid = c == crc(data)
            if valid and any(pad): print('ERROR padding', id, r, k)
            if not valid and any(b != 0xFF for b in img[base:base + slot]): print('ERROR torn', id, r, k)
            for i in range(base, base + slot): covered[i] = 1
            m.append((valid, n, data))
        if not m[0][0] and not m[1][0]: continue
        a_newer = m[0][0] and (not m[1][0] or ((m[0][1] - m[1][1]) & 0xFFFF) < 0x8000)
        newer = m[0] if a_newer else m[1]
        cnt = lambda x: str(x[1]) if x[0] else '-'
        print(id, r, 'A' if a_newer else 'B', cnt(m[0]), cnt(m[1]), newer[2].hex())
for i in range(SIZE):
    if not covered[i] and img[i] != 0xFF:
        print('ERROR outside the elements at', hex(i)); break
)PY";

const char kWriter[] = R"PY(
img = bytearray(b'\xff' * SIZE)
def put(id, rec, mirror, counter, data, good=True):
    base, size = slot_at(id, rec, mirror)
    assert len(data) == size
    c = crc(data) if good else crc(data) ^ 0x0100
    img[base:base + slot_size(size)] = struct.pack('<HH', c, counter) + data + bytes(slot_size(size) - 4 - size)
put(258, 0, 0, 65535, struct.pack('<I', 7))        # counter wrapped: B is newer
put(258, 0, 1, 0, struct.pack('<I', 8))
put(3, 0, 0, 5, bytes(range(20)))                  # B's CRC is wrong: A
put(3, 0, 1, 6, bytes(range(100, 120)), good=False)
put(261, 0, 0, 3, b'\x01\x02')                      # equal counters: A
put(261, 0, 1, 3, b'\x03\x04')
put(2, 255, 1, 9, b'lap255')                        # only B was ever written
put(0, 1, 0, 0x8000, b'\x00\x01\x02\x03\x04\x05')  # half the counter range apart: B
put(0, 1, 1, 0, b'\x10\x11\x12\x13\x14\x15')
put(10, 0, 0, 1, b'annotation'.ljust(256, b'\x00'))
open(sys.argv[1], 'wb').write(img)
)PY";

std::string python(const std::string& body, const std::string& arg) {
    pyref::TempFile script(std::string(kLayout) + body);
    const bytes out = pyref::run("/usr/bin/python3 " + script.path() + " " + arg);
    return std::string(out.begin(), out.end());
}

std::string hexOf(const bytes& b) {
    return pyref::hex(b.data(), b.size());
}

TEST_F(Store, ImageIsReadByAnIndependentReader) {
    ASSERT_EQ(nvram_dbs_init(), 1);
    struct Expect {
        bytes data;
        int writes = 0;
    };
    std::map<std::pair<uint32_t, uint32_t>, Expect> expected;
    std::mt19937 rng(2024);
    auto writeSome = [&](const nvram_elem_t& e) {
        if (e.count == 0) return;
        for (uint32_t r : {0u, e.count - 1, static_cast<uint32_t>(rng() % e.count)}) {
            Expect& x = expected[{e.id, r}];
            if (x.data.empty()) x.data.assign(e.size, 0);
            const int times = 1 + static_cast<int>(rng() % 3);
            for (int t = 0; t < times; ++t) {
                // Full and short writes.
                const uint32_t len = (rng() % 3 == 0) ? 1 + static_cast<uint32_t>(rng() % e.size) : e.size;
                bytes src(len);
                for (auto& c : src)
                    c = static_cast<uint8_t>(rng());
                const int n = e.id >= 256 ? nvram_dbs_write_lowprio(e.id, r, src.data(), len)
                                          : nvram_dbs_write(e.id, r, src.data(), len);
                ASSERT_EQ(n, static_cast<int>(len));
                std::copy(src.begin(), src.end(), x.data.begin());
                x.writes++;
            }
        }
    };
    for (const auto& e : nvramElemsClone)
        writeSome(e);
    for (const auto& e : nvramElemsNoClone)
        writeSome(e);

    // Write k (from 0) went to mirror k % 2 with counter k.
    std::ostringstream want;
    for (const auto& [key, x] : expected) {
        const int last = x.writes - 1;
        const int a = last % 2 == 0 ? last : last - 1;
        const int b = last % 2 == 1 ? last : last - 1;
        want << key.first << ' ' << key.second << ' ' << (last % 2 == 0 ? 'A' : 'B') << ' ' << a << ' '
             << (b < 0 ? std::string("-") : std::to_string(b)) << ' ' << hexOf(x.data) << '\n';
    }
    EXPECT_EQ(python(kReader, imagePath()), want.str());
}

TEST_F(Store, MirrorsWrittenByAnIndependentWriterAreRead) {
    python(kWriter, imagePath());
    restart();
    uint32_t boot = 0;
    EXPECT_EQ(nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &boot, 4), 4);
    EXPECT_EQ(boot, 8u);
    bytes want(20);
    for (int i = 0; i < 20; ++i)
        want[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    EXPECT_EQ(read(nvram_lapfunc, 0), want);
    EXPECT_EQ(read(nvram_LapOutFra_AbsLapCnt, 0), (bytes{1, 2}));
    EXPECT_EQ(read(nvram_lapStack, 255), (bytes{'l', 'a', 'p', '2', '5', '5'}));
    EXPECT_EQ(read(nvram_LapOutFra_Elem, 1), (bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0x15}));
    char text[16] = {};
    EXPECT_EQ(nvram_dbs_read(nvram_Annotation_Elem.id, 0, text, 15), 15);
    EXPECT_STREQ(text, "annotation");
    int n;
    read(nvram_lapStack, 254, &n);
    EXPECT_EQ(n, -1);

    // Writing over the bad mirror gives it the counter after the good one's.
    const bytes v = pattern(20, 5);
    ASSERT_EQ(write(nvram_lapfunc, 0, v), 20);
    const std::string out = python(kReader, imagePath());
    EXPECT_NE(out.find("3 0 B 5 6 " + hexOf(v) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("258 0 B 65535 0 08000000\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

} // namespace
} // namespace nvtest
