#include "platform/devdata/devdata.h"
#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <sys/stat.h>

namespace {

using text16 = std::array<char, 16>;
using bytes8 = std::array<uint8_t, 8>;
using mac6 = std::array<uint8_t, 6>;

text16 text(const char* s) {
    text16 t{};
    std::memcpy(t.data(), s, std::min<size_t>(16, std::strlen(s)));
    return t;
}

struct DevData : ::testing::Test {
    UnitDir dir;
    const std::string path = dir.path + "/devdata.ini";
    void SetUp() override { kmgr::clearFaults(); }
    void TearDown() override { devdata::uninstall(); }
    static intptr_t item(unsigned call, int n, const void* buf, intptr_t code = KCALL_DEVDATA_IF) {
        const void* list[1] = {buf};
        return kmgr_syscall(call, 0, code, n, 0, 1, reinterpret_cast<intptr_t>(list));
    }
    // Item n over a buffer filled with 0x5A, or nothing when the call fails.
    template <typename T> static std::optional<T> get(int n) {
        T v;
        std::memset(&v, 0x5A, sizeof v);
        return item(KCALL_DEVDATA_GET, n, &v) == 0 ? std::optional<T>(v) : std::nullopt;
    }
    template <typename T> static intptr_t set(int n, const T& v) { return item(KCALL_DEVDATA_SET, n, &v); }
    static std::optional<bytes8> romId() {
        bytes8 rom{};
        return kmgr_syscall(KCALL_ROMID, reinterpret_cast<intptr_t>(rom.data())) == 0
                   ? std::optional(rom)
                   : std::nullopt;
    }
    static int state() {
        uint8_t ok = 0xAA;
        return kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 0, reinterpret_cast<intptr_t>(&ok))
                   ? -1
                   : ok;
    }
};

const char kFull[] = "# a programmed board\n"
                     "mac = 00:0a:35:00:00:25\n"
                     "life_time = 3600\n"
                     "max_tecu = 61.5\n"
                     "part_number = \"4000-115-021\"\n"
                     "  serial_number=\"#0815\"  \n"
                     "; revision\n"
                     "revision_id = 3\n"
                     "rev_dates = 2023011520240301\n"
                     "crash_counter = 4294967295\n"
                     "brick_counter = 255\n"
                     "max_tdisp = -12.25\n"
                     "rom_id = 28FF4C1D6A1603A1\n";

TEST_F(DevData, ProgrammedItemsAreRead) {
    dir.write("devdata.ini", kFull);
    std::string err;
    ASSERT_TRUE(devdata::install(dir.path, &err)) << err;
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_INIT, 0, KCALL_DEVDATA_IF, 0), 0);
    EXPECT_EQ(state(), 1);
    EXPECT_EQ(get<mac6>(0), (mac6{0x00, 0x0a, 0x35, 0x00, 0x00, 0x25}));
    EXPECT_EQ(get<uint32_t>(1), 3600u);
    EXPECT_EQ(get<uint32_t>(8), 0xFFFFFFFFu);
    EXPECT_EQ(get<float>(2), 61.5f);
    EXPECT_EQ(get<float>(10), -12.25f);
    EXPECT_EQ(get<text16>(3), text("4000-115-021")); // padded with NULs
    EXPECT_EQ(get<text16>(4), text("#0815"));
    EXPECT_EQ(get<bytes8>(6), (bytes8{0x20, 0x23, 0x01, 0x15, 0x20, 0x24, 0x03, 0x01}));
    EXPECT_EQ(get<uint8_t>(9), 255);
    EXPECT_EQ(romId(), (bytes8{0x28, 0xFF, 0x4C, 0x1D, 0x6A, 0x16, 0x03, 0xA1}));
    // Item 7 and numbers past 10 do not exist; nor does the ROM id as an item.
    for (int n : {7, 11, -1})
        EXPECT_EQ(get<text16>(n), std::nullopt) << n;
    EXPECT_EQ(devdata::itemSize(7), 0u);
    EXPECT_EQ(devdata::itemSize(4), 16u);
}

TEST_F(DevData, MissingFileIsAnUnprogrammedStoreThatASetterMakes) {
    ASSERT_TRUE(devdata::install(dir.path));
    EXPECT_EQ(state(), 1);
    EXPECT_EQ(get<uint32_t>(1), std::nullopt);
    EXPECT_EQ(romId(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_EQ(set(1, uint32_t{12}), 0);
    EXPECT_EQ(dir.read("devdata.ini"),
              "# Device data of the board, kept by the kernel-side manager.\nlife_time = 12\n");
}

TEST_F(DevData, SettersRewriteTheFileSoThatItReadsBack) {
    dir.write("devdata.ini", kFull);
    ASSERT_TRUE(devdata::install(dir.path));
    ASSERT_EQ(set(2, 70.123456f), 0);
    ASSERT_EQ(set(4, text16{'0', '1', '2', '3', ' ', '4', '5', 0, 'j', 'u', 'n', 'k'}), 0);
    ASSERT_EQ(set(3, text("ABCDEFGHIJKLMNOP")), 0); // all 16 characters
    ASSERT_EQ(set(9, uint8_t{7}), 0);
    std::string err;
    ASSERT_TRUE(devdata::install(dir.path, &err)) << err;
    EXPECT_EQ(get<float>(2), 70.123456f);
    EXPECT_EQ(get<text16>(4), text("0123 45")); // nothing after the NUL
    EXPECT_EQ(get<text16>(3), text("ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(get<uint8_t>(9), 7);
    EXPECT_EQ(get<uint32_t>(1), 3600u); // untouched items stay
    EXPECT_NE(dir.read("devdata.ini").find("serial_number = \"0123 45\"\n"), std::string::npos);
    // Texts a line of the file cannot hold are refused.
    EXPECT_EQ(set(4, text16{'a', '\n', 'b'}), -1);
    EXPECT_EQ(get<text16>(4), text("0123 45"));
}

TEST_F(DevData, WritesCanBeDisabled) {
    ASSERT_TRUE(devdata::install(dir.path));
    ASSERT_EQ(kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 2), 0);
    EXPECT_EQ(set(8, uint32_t{5}), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_EQ(kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 1), 0);
    EXPECT_EQ(set(8, uint32_t{5}), 0);
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_CONTROL, 0, KCALL_DEVDATA_IF, 3), -1);
}

TEST_F(DevData, WrongInterfaceCodeOrRequestShapeIsRefused) {
    dir.write("devdata.ini", kFull);
    ASSERT_TRUE(devdata::install(dir.path));
    uint32_t u = 0;
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_INIT, 0, 0x3A6D1E48, 0), -1);
    EXPECT_EQ(item(KCALL_DEVDATA_GET, 1, &u, 0x12345678), -1);
    EXPECT_EQ(item(KCALL_DEVDATA_SET, 1, &u, 0), -1);
    void* list[1] = {&u};
    const intptr_t listArg = reinterpret_cast<intptr_t>(list);
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_GET, 0, KCALL_DEVDATA_IF, 1, 0, 2, listArg), -1);
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_GET, 0, KCALL_DEVDATA_IF, 1, 0, 1, 0), -1);
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(kmgr_syscall(KCALL_DEVDATA_GET, 0, KCALL_DEVDATA_IF, 1, 0, 1, listArg), 0);
    EXPECT_EQ(u, 3600u);
}

TEST_F(DevData, MalformedFileMakesAFaultyStoreAndIsKept) {
    // Every case follows these three lines.
    const std::string head = "part_number = \"P1\"\nrom_id = 0102030405060708\n# --\n";
    const std::pair<const char*, const char*> cases[] = {
        {"life_time = 12\nlife_time = 13\n", "line 5: 'life_time' given twice"},
        {"brick_counter = 256\n", "line 4: brick_counter: expected a decimal number from 0 to 255"},
        {"life_time = -1\n", "line 4: life_time: expected a decimal number"},
        {"mac = 00:0a:35:00:00\n", "line 4: mac: expected six hexadecimal pairs"},
        {"\n\nserial_number = \"0123456789abcdefg\"\n",
         "line 6: serial_number: expected at most 16 printable"},
        {"serial_number = #0815\n", "line 4: serial_number: expected a text in double quotes"},
        {"rev_dates = 28ff\n", "line 4: rev_dates: expected 16 hexadecimal digits"},
        {"max_tecu = warm\n", "line 4: max_tecu: expected a number"},
        {"colour = red\n", "line 4: unknown key 'colour'"},
        {"just words\n", "line 4: expected 'key = value'"},
    };
    for (const auto& [text, error] : cases) {
        dir.write("devdata.ini", head + text);
        std::string err;
        EXPECT_FALSE(devdata::install(dir.path, &err)) << text;
        EXPECT_NE(err.find(path + " " + error), std::string::npos) << err;
        EXPECT_EQ(state(), 0);
        EXPECT_EQ(get<text16>(3), std::nullopt);
        EXPECT_EQ(romId(), std::nullopt);
        EXPECT_EQ(set(1, uint32_t{1}), -1);
        EXPECT_EQ(dir.read("devdata.ini"), head + text);
    }
    // Opening a FIFO would wait for a writer: anything but a file is refused at once.
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    std::string err;
    EXPECT_FALSE(devdata::install(dir.path, &err));
    EXPECT_EQ(err, path + ": not a regular file");
    EXPECT_EQ(state(), 0);
}

} // namespace
