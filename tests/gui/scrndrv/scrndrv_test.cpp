// The screen driver: the boot logo (fetched once from the manager, drawn, layer 1 on) and the layer
// registers, the dumps in memory it comes as and as files, and the capture as a Windows bitmap. The logo is
// fetched once per process: its test comes first.
#include "gui/core/screen.h"
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs_sim.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

namespace {

uint32_t layer1() {
    return hw_read32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP);
}

struct BootLogo : guitest::GuiTest {
    void TearDown() override {
        kmgr::clearFaults();
        GuiTest::TearDown();
    }
};

TEST_F(BootLogo, IsFetchedOnceDrawnAndThenLayerOneComesOn) {
    char* address = reinterpret_cast<char*>(1);
    uint32_t size = 1;
    scrndrvGetBootLogo(&address, &size);
    if (address) GTEST_SKIP() << "the logo was fetched by a test that ran before";
    EXPECT_EQ(size, 0u);
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 0);

    // Failed fetches leave nothing behind and are tried again.
    kmgr::injectFault(KCALL_BOOTLOGO_SIZE, -1);
    scrndrvInit();
    displaysim::setBootLogo({});
    scrndrvInit();
    displaysim::setBootLogo(displaysim::defaultBootLogo());
    kmgr::injectFault(KCALL_BOOTLOGO_COPY, -1);
    scrndrvInit();
    for (const char* text : {"scrndrvInit(): syscall getBootLogoSize returns error",
                             "scrndrvInit(): error getting boot logo size",
                             "scrndrvInit(): couldnt get boot logo, syscall returns error"})
        EXPECT_TRUE(logged(text)) << text;
    scrndrvGetBootLogo(&address, &size);
    EXPECT_EQ(std::tuple(address, layer1()), std::tuple(nullptr, 0u));

    const uint64_t sizeCalls = kmgr::callCount(KCALL_BOOTLOGO_SIZE);
    scrndrvInit();
    scrndrvGetBootLogo(&address, &size);
    const std::vector<uint8_t> logo = displaysim::defaultBootLogo();
    ASSERT_NE(address, nullptr);
    ASSERT_EQ(size, logo.size());
    EXPECT_EQ(std::vector<uint8_t>(address, address + size), logo);
    EXPECT_EQ(layer1(), 3u) << "layer 1 on after the logo was drawn";
    EXPECT_TRUE(logged("Loading screen dump: "));
    EXPECT_EQ(shownAt(700, 10), 0u) << "the logo covers the application's area only";
    scrndrvInit(); // fetched once
    EXPECT_EQ(kmgr::callCount(KCALL_BOOTLOGO_SIZE), sizeCalls + 1);
}

// Layer n's register is at 0x40010138 + 0x80 n: 3 switches it on, 0 off. Other numbers write nothing
// and are logged, 13 times, then once a flood warning. The one-colour fill covers the 640 x 480 area.
TEST_F(BootLogo, LayersZeroToFourSwitchAndTheColourFillsTheApplicationsArea) {
    auto reg = [](int n) { return hw_read32(0x40010138u + 0x80u * static_cast<uint32_t>(n)); };
    for (int n = 0; n < 5; ++n) {
        scrndrvLayerDisable(n);
        EXPECT_EQ(reg(n), 0u) << n;
        scrndrvLayerEnable(n);
        EXPECT_EQ(reg(n), 3u) << n;
    }
    scrndrvLayerDisable(2);
    for (int i = 0; i < 20; ++i) {
        scrndrvLayerEnable(5);
        scrndrvLayerDisable(-1);
        logged(""); // the log queue drained as it fills
    }
    EXPECT_EQ(std::tuple(reg(0), reg(1), reg(2), reg(3), reg(4)), std::tuple(3u, 3u, 0u, 3u, 3u));
    EXPECT_EQ(std::tuple(countLogged("scrndrvLayerEnable(): unexpected layer 5"),
                         countLogged("scrndrvLayerDisable(): unexpected layer -1"),
                         countLogged("Flooding suspicion")),
              std::tuple(13, 13, 2));
    EXPECT_EQ(scrndrvSetColor(0x123456), 0);
    expectShown({{0, 0, 0x123456}, {639, 479, 0x123456}, {640, 0, 0}});
}

// ---- dumps in memory ----------------------------------------------------------------------------

// Dumps in memory, as the boot logo comes from the manager: the format as written down
// (little-endian counts, palette, runs, then b-bit indexes packed from the least significant bit of
// the first byte), packed here bit by bit; runs across rows; counts and indexes that cannot be trusted.

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
    const unsigned b = static_cast<unsigned>(std::bit_width(pal.empty() ? 0 : pal.size() - 1));
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
    uint32_t& px(int x, int y) const { return displaysim::frameBuffer()[y * SCRNDRV_WIDTH + x]; }
    void writeFile(const std::string& name, const Bytes& b) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
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

// A dump is taken only whole; its runs go on across rows; an index beyond the palette draws black.
TEST_F(Dumps, AWholeDumpIsDrawnAndABadIndexDrawsBlack) {
    Bytes b = serialise({1, 2, 3}, {10, 20, 30}, {0, 1, 2});
    char* s = reinterpret_cast<char*>(b.data());
    scrn_dump_t d{};
    EXPECT_EQ(std::tuple(initMem(&d, b, 11), initMem(&d, b, b.size() - 1), scrndrvInitDumpByMem(&d, s + 1, s),
                         scrndrvInitDumpByMem(nullptr, s, s + b.size())),
              std::tuple(0, 0, 0, 0));
    ASSERT_EQ(initMem(&d, b), 1);
    EXPECT_EQ(std::tuple(d.npal, reinterpret_cast<char*>(d.runs), reinterpret_cast<char*>(d.data)),
              std::tuple(3u, s + 24, s + 30));

    // Three colours, two bits: index 3 names no colour. The runs fill the 640 x 480 area.
    b = serialise({0xAA0000, 0x00AA00, 0x0000AA}, {100, 100, 65535, 65535, 65535, 65535, 45060 - 200},
                  {0, 3, 1, 2, 1, 2, 1});
    ASSERT_EQ(initMem(&d, b), 1);
    std::fill(displaysim::frameBuffer(), displaysim::frameBuffer() + 480 * SCRNDRV_WIDTH, 0x777777);
    EXPECT_EQ(scrndrvDrawImg(&d), 0);
    const int end = 200 + 65535; // the third run ends in row 102
    EXPECT_EQ((std::vector{px(99, 0), px(100, 0), px(199, 0), px(200, 0), px(end % 640 - 1, end / 640),
                           px(end % 640, end / 640), px(639, 479), px(640, 0)}),
              (std::vector{0xFFAA0000u, 0xFF000000u, 0xFF000000u, 0xFF00AA00u, 0xFF00AA00u, 0xFF0000AAu,
                           0xFF00AA00u, 0x777777u}));
    // The same bytes as a file are refused.
    writeFile("badindex.dmp", b);
    scrn_dump_t r{};
    EXPECT_EQ(scrndrvReadDump("dmp:/badindex.dmp", &r), -1);
    EXPECT_TRUE(logged("run 1 has index 3 of 3 colours"));
    scrndrvFreeDump(&r);
}

// Counts that cannot be trusted are refused (the sizes are added in 64 bits).
TEST_F(Dumps, UntrustworthyCountsAreRefused) {
    Bytes noPalette = counts(0, 1, 0),
          wraps = counts(1, 0x80000000, 0); // 2^31 runs of one colour: 16 bytes in 32 bits
    put16(noPalette, 7);
    put32(wraps, 5);
    for (Bytes b : {counts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), counts(0x40000000, 0, 0), noPalette, wraps,
                    counts((1u << 24) + 1, 1, 4),
                    serialise({1, 2}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 0, 1, 0, 1, 0, 1, 0}, -1)}) {
        scrn_dump_t d{};
        EXPECT_EQ(initMem(&d, b), 0) << b.size();
    }
    EXPECT_EQ(scrndrvSerialisedSize(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 12 + 7 * 0xFFFFFFFFull);
}

// ---- dump files ---------------------------------------------------------------------------------

TEST_F(Dumps, TheFileDecodesIndependentlyToTheScreensPicture) {
    noise(2, 300);
    flush();
    const std::string shot = dir / "screen.png", decoded = dir / "decoded.png", file = dir / "pic.dmp";
    ASSERT_TRUE(guitest::writeShownPng(shot, GuiRect(0, 0, 639, 479)));
    ASSERT_EQ(scrndrvDumpImg("dmp:/pic.dmp"), 0);
    const std::string py = "import struct, sys\n"
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
                           "im = Image.new('RGB', (640, 480))\n"
                           "im.putdata(px[:640 * 480])\n"
                           "im.save(sys.argv[2])\n";
    const std::string script = dir / "decode_dump.py";
    std::ofstream(script) << py;
    std::string out;
    ASSERT_EQ(guitest::run("/usr/bin/python3 '" + script + "' '" + file + "' '" + decoded + "'", &out), 0)
        << out;
    EXPECT_EQ(guitest::run("compare -metric AE '" + shot + "' '" + decoded + "' null:", &out), 0)
        << out << " pixels differ";
    // Read back and drawn, it gives the picture again, with the top byte set.
    const uint32_t* fb = displaysim::frameBuffer();
    const std::vector<uint32_t> before(fb, fb + 480 * SCRNDRV_WIDTH);
    scrn_dump_t d{};
    ASSERT_EQ(scrndrvReadDump("dmp:/pic.dmp", &d), 0);
    fillFrame(0);
    EXPECT_EQ(scrndrvDrawImg(&d), 0);
    scrndrvFreeDump(&d);
    for (int i = 0; i < 640 * 480; i += 7)
        ASSERT_EQ(px(i % 640, i / 640),
                  before[static_cast<size_t>(i / 640 * SCRNDRV_WIDTH + i % 640)] | 0xFF000000u)
            << i;
    EXPECT_EQ(px(640, 0), 0u) << "only the application's area is drawn";
}

TEST_F(Dumps, FilesWithUntrustworthyCountsAreRefusedBeforeAnythingIsAllocated) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* reason;
    };
    Bytes noPalette = counts(0, 1, 0);
    put16(noPalette, 7);
    const Bytes whole = serialise({1, 2}, {3, 4}, {0, 1});
    const Case cases[] = {
        {"huge.dmp", counts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
         "more than 2^24 colours"}, // 4 + 8 + 4 GiB of arrays
        {"nopal.dmp", noPalette, "runs without a palette"},
        {"wide.dmp", counts((1u << 24) + 1, 1, 4), "more than 2^24 colours"},
        {"shortdata.dmp", serialise({1, 2}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 0, 1, 0, 1, 0, 1, 0}, -1),
         "index data shorter than the runs need"},
        {"truncated.dmp", Bytes(whole.begin(), whole.end() - 1), "counts larger than the file"},
        {"tiny.dmp", Bytes{1, 0, 0}, "too short for a dump"},
    };
    for (const Case& c : cases) {
        writeFile(c.name, c.bytes);
        uint32_t pal[1] = {0x55};
        scrn_dump_t d{};
        d.npal = 1;
        d.palette = pal;
        EXPECT_EQ(scrndrvReadDump((std::string("dmp:/") + c.name).c_str(), &d), -1) << c.name;
        EXPECT_EQ(d.palette, pal) << c.name << ": the record is left as it was";
        std::vector<testsupport::LogLine> log; // this case's lines only
        EXPECT_TRUE(testsupport::logContains(log, c.reason)) << c.name;
    }
}

// -----------------------------------------------------------------------------------------------

// Screen capture as a Windows BMP file, read back by Python's imaging library.
struct WindowsBitmap : guitest::GuiTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        GuiTest::SetUp();
        uint32_t* fb = displaysim::frameBuffer();
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 1024; ++x)
                fb[y * 1024 + x] = (static_cast<uint32_t>(x * 7 + y) & 0xFF) << 16 |
                                   (static_cast<uint32_t>(y * 3) & 0xFF) << 8 |
                                   (static_cast<uint32_t>(x ^ y) & 0xFF) | (x % 5 == 0 ? 0xFF000000u : 0);
        flush();
    }
    // The file's size, then what Python reads from it: its size and every pixel.
    std::string read(GuiRect r) {
        unsigned long size = 0;
        uint8_t* bmp = screen->DumpWindowsBitmap(&size, r);
        if (!bmp) return "none " + std::to_string(size);
        const std::string path = dir / "shot.bmp";
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bmp, 1, size, f);
        std::fclose(f);
        std::free(bmp);
        std::string out;
        guitest::run(
            "/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + path +
                "').convert('RGB'); print(im.size, ' '.join('%02x%02x%02x' % p for p in im.getdata()))\"",
            &out);
        return std::to_string(size) + " " + out;
    }
    // The same from the shown frame.
    std::string shown(int left, int top, int w, int h) const {
        std::string s =
            std::to_string(54 + w * h * 4) + " (" + std::to_string(w) + ", " + std::to_string(h) + ")";
        for (int y = top; y < top + h; ++y)
            for (int x = left; x < left + w; ++x) {
                char hex[8];
                std::snprintf(hex, sizeof hex, " %06x", shownAt(x, y));
                s += hex;
            }
        return s + "\n";
    }
};

TEST_F(WindowsBitmap, PythonReadsThePixelsTheScreenShows) {
    // 37 x 23 from (100, 200); one cut by the screen's right and bottom edges; one off the screen.
    EXPECT_EQ(read(GuiRect(100, 200, 136, 222)), shown(100, 200, 37, 23));
    EXPECT_EQ(read(GuiRect(1000, 470, 1100, 500)), shown(1000, 470, 24, 10));
    EXPECT_EQ(read(GuiRect(2000, 0, 2001, 1)), "none 0");

    // The header: "BM", pixel data at 54, a 40-byte info header, bottom-up rows, 32 bits, BI_RGB.
    unsigned long size = 0;
    uint8_t* bmp = screen->DumpWindowsBitmap(&size, GuiRect(0, 0, 1, 1));
    ASSERT_NE(bmp, nullptr);
    auto le32 = [&](int at) { return bmp[at] | bmp[at + 1] << 8 | bmp[at + 2] << 16 | bmp[at + 3] << 24; };
    EXPECT_EQ(std::tuple(bmp[0], bmp[1], le32(2), le32(10), le32(14), le32(22), bmp[28], le32(30)),
              std::tuple('B', 'M', 54 + 16, 54, 40, 2, 32, 0));
    std::free(bmp);
}

} // namespace
