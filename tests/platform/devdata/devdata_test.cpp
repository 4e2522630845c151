#include "platform/devdata/devdata.h"
#include "platform/kmgr/kmgr.h"
#include "support/stepped.h"

#include <array>
#include <optional>
#include <sys/stat.h>

namespace {

using text16 = std::array<char, 16>;
using bytes8 = std::array<uint8_t, 8>;

struct DevData : ::testing::Test {
    testsupport::ScratchDir dir;
    const std::string path = dir / "devdata.ini";
    static text16 text(std::string_view s) {
        text16 t{};
        return s.copy(t.data(), 16), t;
    }
    void TearDown() override { devdata::uninstall(); }
    static intptr_t item(unsigned call, int n, const void* buf, intptr_t code = KCALL_DEVDATA_IF) {
        const void* list[1] = {buf};
        return kmgr_syscall(call, 0, code, n, 0, 1, reinterpret_cast<intptr_t>(list));
    }
    // Item n, or nothing when the call fails.
    template <typename T> static std::optional<T> get(int n) {
        T v{};
        return item(KCALL_DEVDATA_GET, n, &v) == 0 ? std::optional<T>(v) : std::nullopt;
    }
    template <typename T> static intptr_t set(int n, const T& v) { return item(KCALL_DEVDATA_SET, n, &v); }
    static std::optional<bytes8> romId() {
        bytes8 r{};
        return kmgr_syscall(KCALL_ROMID, intptr_t(r.data())) ? std::nullopt : std::optional(r);
    }
    static int state() {
        uint8_t ok = 0xAA;
        return kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 0, intptr_t(&ok)) ? -1 : ok;
    }
};

const char kFull[] =
    "# a programmed board\nmac = 00:0a:35:00:00:25\nlife_time = 3600\nmax_tecu = 61.5\n"
    "part_number = \"4000-115-021\"\n  serial_number=\"#0815\"  \n; revision\nrevision_id = 3\n"
    "rev_dates = 2023011520240301\ncrash_counter = 4294967295\nbrick_counter = 255\n"
    "max_tdisp = -12.25\nrom_id = 28FF4C1D6A1603A1\n";

TEST_F(DevData, ProgrammedItemsAreReadAndRefusedRequestsChangeNothing) {
    dir.write("devdata.ini", kFull);
    ASSERT_TRUE(devdata::install(dir.path));
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_INIT, 0, KCALL_DEVDATA_IF, 0), 0);
    EXPECT_EQ((get<std::array<uint8_t, 6>>(0)), (std::array<uint8_t, 6>{0x00, 0x0a, 0x35, 0x00, 0x00, 0x25}));
    EXPECT_EQ(
        std::tuple(*get<uint32_t>(1), *get<uint32_t>(8), *get<float>(2), *get<float>(10), *get<uint8_t>(9)),
        std::tuple(3600u, 0xFFFFFFFFu, 61.5f, -12.25f, uint8_t{255}));
    EXPECT_EQ(std::tuple(get<text16>(3), get<text16>(4), get<bytes8>(6), romId()), // texts padded with NULs
              std::tuple(text("4000-115-021"), text("#0815"),
                         bytes8{0x20, 0x23, 0x01, 0x15, 0x20, 0x24, 0x03, 0x01},
                         bytes8{0x28, 0xFF, 0x4C, 0x1D, 0x6A, 0x16, 0x03, 0xA1}));

    // Item 7 and numbers past 10 do not exist; wrong interface codes and request shapes are refused.
    uint32_t u = 0;
    void* list[1] = {&u};
    for (intptr_t r : {item(KCALL_DEVDATA_GET, 7, &u), item(KCALL_DEVDATA_GET, 11, &u),
                       item(KCALL_DEVDATA_GET, -1, &u), kmgr_syscall(KCALL_DEVDATA_INIT, 0, 0x3A6D1E48, 0),
                       item(KCALL_DEVDATA_GET, 1, &u, 0x12345678), item(KCALL_DEVDATA_SET, 1, &u, 0),
                       kmgr_syscall(KCALL_DEVDATA_GET, 0, KCALL_DEVDATA_IF, 1, 0, 2, intptr_t(list)),
                       kmgr_syscall(KCALL_DEVDATA_GET, 0, KCALL_DEVDATA_IF, 1, 0, 1, 0)})
        EXPECT_EQ(r, -1);
    EXPECT_EQ(u, 0u);
}

TEST_F(DevData, MissingFileIsAnUnprogrammedStoreThatASetterMakesAndMalformedOnesAreKept) {
    ASSERT_TRUE(devdata::install(dir.path));
    EXPECT_EQ(std::tuple(state(), get<uint32_t>(1), romId()), std::tuple(1, std::nullopt, std::nullopt));
    ASSERT_EQ(kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 2), 0); // writes disabled
    EXPECT_EQ(set(8, uint32_t{5}), -1);
    ASSERT_EQ(kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 1), 0);
    ASSERT_EQ(set(1, uint32_t{12}), 0);
    EXPECT_EQ(dir.read("devdata.ini"),
              "# Device data of the board, kept by the kernel-side manager.\nlife_time = 12\n");

    // Setters rewrite the file so that it reads back.
    dir.write("devdata.ini", kFull);
    ASSERT_TRUE(devdata::install(dir.path));
    ASSERT_EQ(set(2, 70.123456f), 0);
    ASSERT_EQ(set(4, text16{'0', '1', '2', '3', ' ', '4', '5', 0, 'j', 'u', 'n', 'k'}), 0);
    ASSERT_EQ(set(3, text("ABCDEFGHIJKLMNOP")), 0); // all 16 characters
    EXPECT_EQ(set(4, text16{'a', '\n', 'b'}), -1);  // more than a line of the file holds
    ASSERT_TRUE(devdata::install(dir.path));
    // Nothing after the NUL; untouched items stay.
    EXPECT_EQ(std::tuple(get<float>(2), get<text16>(4), get<text16>(3), get<uint32_t>(1)),
              std::tuple(70.123456f, text("0123 45"), text("ABCDEFGHIJKLMNOP"), 3600u));

    // A malformed file makes a faulty store and is kept.
    // Each follows three good lines; the error names the file and the case's last line.
    std::string err;
    const std::string head = "part_number = \"P1\"\nrom_id = 0102030405060708\n# --\n";
    for (const std::string bad :
         {"life_time = 12\nlife_time = 13\n", "brick_counter = 256\n", "life_time = -1\n",
          "mac = 00:0a:35:00:00\n", "\n\nserial_number = \"0123456789abcdefg\"\n", "serial_number = #0815\n",
          "rev_dates = 28ff\n", "max_tecu = warm\n", "colour = red\n", "just words\n"}) {
        dir.write("devdata.ini", head + bad);
        EXPECT_FALSE(devdata::install(dir.path, &err)) << bad;
        const auto line = 3 + std::count(bad.begin(), bad.end(), '\n');
        EXPECT_EQ(err.find(path + " line " + std::to_string(line)), 0u) << err;
        EXPECT_EQ(std::tuple(state(), get<text16>(3), romId(), set(1, uint32_t{1})),
                  std::tuple(0, std::nullopt, std::nullopt, -1));
        EXPECT_EQ(dir.read("devdata.ini"), head + bad);
    }
    // Opening a FIFO would wait for a writer: anything but a file is refused at once.
    ASSERT_TRUE(std::filesystem::remove(path) && mkfifo(path.c_str(), 0644) == 0);
    EXPECT_FALSE(devdata::install(dir.path, &err));
    EXPECT_EQ(err, path + ": not a regular file");
}

} // namespace
