// Screen dumps: the file format (checked by an independent decoder in Python), round trips,
// wrapping runs, and dumps whose counts or indexes cannot be trusted.
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "gui/testkit.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"

#include <random>
#include <vector>

namespace {

using guitest::run;

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// The three counts of a dump's head.
Bytes counts(uint32_t npal, uint32_t nrun, uint32_t ndata) {
    Bytes b;
    for (uint32_t v : {npal, nrun, ndata})
        put32(b, v);
    return b;
}

// Takes a dump in memory from the first n bytes of b.
int initMem(scrn_dump_t* d, Bytes& b, size_t n = SIZE_MAX) {
    char* s = reinterpret_cast<char*>(b.data());
    return scrndrvInitDumpByMem(d, s, s + std::min(n, b.size()));
}

// A serialised dump from its parts; the indexes are packed here bit by bit.
Bytes serialise(const std::vector<uint32_t>& pal, const std::vector<uint16_t>& runs,
                const std::vector<uint32_t>& idx, int ndataAdjust = 0) {
    const unsigned b = scrndrvIndexBits(static_cast<uint32_t>(pal.size()));
    Bytes data((runs.size() * b + 7) / 8);
    for (size_t i = 0; i < idx.size(); ++i)
        for (unsigned k = 0; k < b; ++k)
            if (idx[i] >> k & 1) data[(i * b + k) / 8] |= static_cast<uint8_t>(1 << ((i * b + k) % 8));
    Bytes out = counts(static_cast<uint32_t>(pal.size()), static_cast<uint32_t>(runs.size()),
                       static_cast<uint32_t>(static_cast<int>(data.size()) + ndataAdjust));
    for (uint32_t c : pal)
        put32(out, c);
    for (uint16_t r : runs)
        put16(out, r);
    out.insert(out.end(), data.begin(), data.end());
    if (ndataAdjust > 0) out.insert(out.end(), static_cast<size_t>(ndataAdjust), 0);
    return out;
}

struct Dumps : guitest::GuiTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        GuiTest::SetUp();
        ASSERT_TRUE(osfs::addDevice("dmp:", dir.path));
    }
    void TearDown() override {
        osfs::removeDevice("dmp:");
        GuiTest::TearDown();
    }
    void writeFile(const std::string& name, const Bytes& b) const {
        dir.write(name, std::string(b.begin(), b.end()));
    }
    uint32_t* fb() const { return displaysim::frameBuffer(); }
    uint32_t& px(int x, int y) const { return fb()[y * SCRNDRV_WIDTH + x]; }
    // Runs of random lengths (some over 65535 pixels, across row ends) in random colours.
    void noise(unsigned seed, int colours) {
        std::mt19937 rng(seed);
        int i = 0;
        while (i < 640 * 480) {
            const int len = rng() % 2000 == 0 ? 70000 : 1 + static_cast<int>(rng() % 20);
            const uint32_t c =
                (static_cast<uint32_t>(rng() % static_cast<unsigned>(colours)) * 0x9E3779u) & 0xFFFFFF;
            for (int k = 0; k < len && i < 640 * 480; ++k, ++i)
                px(i % 640, i / 640) = c;
        }
        for (int y = 0; y < 480; ++y)
            for (int x = 640; x < 1024; ++x)
                px(x, y) = 0x123456;
    }
};

TEST_F(Dumps, TheFileDecodesIndependentlyToTheScreensPicture) {
    noise(2, 300);
    flush();
    const std::string shot = dir / "screen.png", file = dir / "pic.dmp";
    ASSERT_TRUE(displaysim::writePng(shot));
    ASSERT_EQ(scrndrvDumpImg("dmp:/pic.dmp"), 0);
    // The format as written down: little-endian counts, palette, runs, then b-bit indexes
    // packed from the least significant bit of the first byte. Prints the pixels that differ.
    dir.write("decode_dump.py",
              "import struct, sys\n"
              "from PIL import Image\n"
              "b = open(sys.argv[1], 'rb').read()\n"
              "npal, nrun, ndata = struct.unpack_from('<III', b, 0)\n"
              "pal = struct.unpack_from('<%dI' % npal, b, 12)\n"
              "runs = struct.unpack_from('<%dH' % nrun, b, 12 + 4 * npal)\n"
              "data = int.from_bytes(b[12 + 4 * npal + 2 * nrun:][:ndata], 'little')\n"
              "bits = (npal - 1).bit_length()\n"
              "assert len(b) == 12 + 4 * npal + 2 * nrun + ndata\n"
              "px = []\n"
              "for i, r in enumerate(runs):\n"
              "    c = pal[(data >> (i * bits)) & ((1 << bits) - 1)]\n"
              "    px += [((c >> 16) & 255, (c >> 8) & 255, c & 255)] * r\n"
              "shown = Image.open(sys.argv[2]).convert('RGB').crop((0, 0, 640, 480)).getdata()\n"
              "print(sum(a != b for a, b in zip(px[:640 * 480], shown)), len(px) >= 640 * 480)\n");
    std::string out;
    ASSERT_EQ(run("/usr/bin/python3 '" + dir / "decode_dump.py" + "' '" + file + "' '" + shot + "'", &out), 0)
        << out;
    EXPECT_EQ(out, "0 True\n") << "pixels that differ";
    // Read back and drawn, it gives the picture again, with the top byte set.
    const std::vector<uint32_t> before(fb(), fb() + 480 * SCRNDRV_WIDTH);
    scrn_dump_t d{};
    ASSERT_EQ(scrndrvReadDump("dmp:/pic.dmp", &d), 0);
    std::fill(fb(), fb() + 480 * SCRNDRV_WIDTH, 0);
    EXPECT_EQ(scrndrvDrawImg(&d), 0);
    scrndrvFreeDump(&d);
    for (int i = 0; i < 640 * 480; i += 7)
        ASSERT_EQ(px(i % 640, i / 640), before[i / 640 * SCRNDRV_WIDTH + i % 640] | 0xFF000000u) << i;
    EXPECT_EQ(px(640, 0), 0u) << "only the application's area is drawn";
}

// A dump in memory is taken only whole; an index beyond the palette draws black, but the same
// bytes as a file are refused.
TEST_F(Dumps, InMemoryDumpsAreTakenWholeAndABadIndexDrawsBlack) {
    Bytes b = serialise({1, 2, 3}, {10, 20, 30}, {0, 1, 2});
    char* s = reinterpret_cast<char*>(b.data());
    scrn_dump_t d{};
    EXPECT_EQ(std::tuple(initMem(&d, b, 11), initMem(&d, b, b.size() - 1), scrndrvInitDumpByMem(&d, s + 1, s),
                         scrndrvInitDumpByMem(nullptr, s, s + b.size())),
              std::tuple(0, 0, 0, 0));
    ASSERT_EQ(initMem(&d, b), 1);
    EXPECT_EQ(std::tuple(d.npal, reinterpret_cast<char*>(d.runs), reinterpret_cast<char*>(d.data)),
              std::tuple(3u, s + 24, s + 30));

    // Three colours, two bits: index 3 names no colour.
    b = serialise({0xAA0000, 0x00AA00, 0x0000AA}, {100, 100, 65535, 65535, 65535, 65535, 45060 - 200},
                  {0, 3, 1, 2, 1, 2, 1});
    ASSERT_EQ(initMem(&d, b), 1);
    std::fill(fb(), fb() + 480 * SCRNDRV_WIDTH, 0x777777);
    EXPECT_EQ(scrndrvDrawImg(&d), 0);
    EXPECT_EQ((std::vector{px(99, 0), px(100, 0), px(199, 0), px(200, 0)}),
              (std::vector{0xFFAA0000u, 0xFF000000u, 0xFF000000u, 0xFF00AA00u}));
    writeFile("badindex.dmp", b);
    scrn_dump_t r{};
    EXPECT_EQ(scrndrvReadDump("dmp:/badindex.dmp", &r), -1);
    EXPECT_TRUE(logged("run 1 has index 3 of 3 colours"));
    scrndrvFreeDump(&r);
}

// Counts that cannot be trusted: a file is refused before anything is allocated, a block in
// memory is not taken (its sizes are added in 64 bits).
TEST_F(Dumps, UntrustworthyCountsAreRefused) {
    Bytes noPalette = counts(0, 1, 0);
    put16(noPalette, 7);
    const Bytes whole = serialise({1, 2}, {3, 4}, {0, 1});
    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"huge.dmp", counts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
         "more than 2^24 colours"},                                       // 16 GiB of arrays
        {"wrap.dmp", counts(0x40000000, 0, 0), "more than 2^24 colours"}, // 4 GiB: 0 in 32 bits
        {"nopal.dmp", noPalette, "runs without a palette"},
        {"wide.dmp", counts((1u << 24) + 1, 1, 4), "more than 2^24 colours"},
        {"shortdata.dmp", serialise({1, 2}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 0, 1, 0, 1, 0, 1, 0}, -1),
         "index data shorter than the runs need"},
        {"truncated.dmp", Bytes(whole.begin(), whole.end() - 1), "counts larger than the file"},
        {"tiny.dmp", Bytes{1, 0, 0}, "too short for a dump"},
    };
    for (const auto& c : cases) {
        seen.clear();
        writeFile(c.name, c.bytes);
        uint32_t pal[1] = {0x55};
        scrn_dump_t d{};
        d.npal = 1;
        d.palette = pal;
        EXPECT_EQ(scrndrvReadDump((std::string("dmp:/") + c.name).c_str(), &d), -1) << c.name;
        EXPECT_EQ(d.palette, pal) << c.name << ": the record is left as it was";
        EXPECT_TRUE(logged(c.reason)) << c.name;
        Bytes copy = c.bytes;
        EXPECT_EQ(initMem(&d, copy), 0) << c.name;
    }
}

} // namespace
