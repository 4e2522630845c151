#include "platform/devdata/devdata.h"
#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using devdata::INTERFACE_CODE;

struct DevData : ::testing::Test {
    std::string dir;
    void SetUp() override {
        kmgr::clearFaults();
        char tmpl[] = "/tmp/vyn_devdata_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        devdata::uninstall();
        std::filesystem::remove_all(dir);
    }
    std::string path() const { return dir + "/devdata.ini"; }
    void putFile(const std::string& text) const { std::ofstream(path()) << text; }
    std::string fileText() const {
        std::ifstream in(path());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static intptr_t item(unsigned call, int n, void* buf, intptr_t code = INTERFACE_CODE) {
        void* list[1] = {buf};
        return kmgr_syscall(call, 0, code, n, 0, 1, reinterpret_cast<intptr_t>(list));
    }
    static intptr_t get(int n, void* buf) { return item(devdata::CALL_GET, n, buf); }
    static intptr_t set(int n, const void* buf) { return item(devdata::CALL_SET, n, const_cast<void*>(buf)); }
    static int state() {
        uint8_t ok = 0xAA;
        if (kmgr_syscall(devdata::CALL_CONTROL, 0, INTERFACE_CODE, 0, reinterpret_cast<intptr_t>(&ok)) != 0)
            return -1;
        return ok;
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
    putFile(kFull);
    std::string err;
    ASSERT_TRUE(devdata::install(dir, &err)) << err;
    EXPECT_EQ(kmgr_syscall(devdata::CALL_INIT, 0, INTERFACE_CODE, 0), 0);
    EXPECT_EQ(state(), 1);

    uint8_t mac[6];
    ASSERT_EQ(get(0, mac), 0);
    EXPECT_EQ(0, std::memcmp(mac, "\x00\x0a\x35\x00\x00\x25", 6));
    uint32_t u = 0;
    ASSERT_EQ(get(1, &u), 0);
    EXPECT_EQ(u, 3600u);
    ASSERT_EQ(get(8, &u), 0);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    float f = 0;
    ASSERT_EQ(get(2, &f), 0);
    EXPECT_EQ(f, 61.5f);
    ASSERT_EQ(get(10, &f), 0);
    EXPECT_EQ(f, -12.25f);
    char text[17] = {};
    std::memset(text, 'Z', 16);
    ASSERT_EQ(get(3, text), 0);
    EXPECT_EQ(0, std::memcmp(text, "4000-115-021\0\0\0\0", 16)); // padded with NULs
    ASSERT_EQ(get(4, text), 0);
    EXPECT_STREQ(text, "#0815");
    uint8_t dates[8];
    ASSERT_EQ(get(6, dates), 0);
    EXPECT_EQ(0, std::memcmp(dates, "\x20\x23\x01\x15\x20\x24\x03\x01", 8));
    uint8_t brick = 0;
    ASSERT_EQ(get(9, &brick), 0);
    EXPECT_EQ(brick, 255);
    uint8_t rom[8];
    ASSERT_EQ(kmgr_syscall(devdata::CALL_ROMID, reinterpret_cast<intptr_t>(rom)), 0);
    EXPECT_EQ(0, std::memcmp(rom, "\x28\xFF\x4C\x1D\x6A\x16\x03\xA1", 8));

    // Item 7 and numbers past 10 do not exist; nor does the ROM id as an item.
    EXPECT_EQ(get(7, text), -1);
    EXPECT_EQ(get(11, text), -1);
    EXPECT_EQ(get(-1, text), -1);
    EXPECT_EQ(devdata::itemSize(7), 0u);
    EXPECT_EQ(devdata::itemSize(4), 16u);
}

TEST_F(DevData, MissingFileIsAnUnprogrammedStore) {
    ASSERT_TRUE(devdata::install(dir));
    EXPECT_EQ(state(), 1);
    uint32_t u = 77;
    EXPECT_EQ(get(1, &u), -1);
    EXPECT_EQ(u, 77u);
    uint8_t rom[8] = {1};
    EXPECT_EQ(kmgr_syscall(devdata::CALL_ROMID, reinterpret_cast<intptr_t>(rom)), -1);
    EXPECT_FALSE(std::filesystem::exists(path()));

    // A setter programs the item and makes the file.
    u = 12;
    ASSERT_EQ(set(1, &u), 0);
    EXPECT_EQ(fileText(), "# Device data of the board, kept by the kernel-side manager.\nlife_time = 12\n");
}

TEST_F(DevData, SettersRewriteTheFileSoThatItReadsBack) {
    putFile(kFull);
    ASSERT_TRUE(devdata::install(dir));
    const float t = 70.123456f;
    ASSERT_EQ(set(2, &t), 0);
    const char serial[16] = {'0', '1', '2', '3', ' ', '4', '5', 0, 'j', 'u', 'n', 'k'};
    ASSERT_EQ(set(4, serial), 0);
    const char part[] = "ABCDEFGHIJKLMNOP"; // all 16 characters
    ASSERT_EQ(set(3, part), 0);
    const uint8_t brick = 7;
    ASSERT_EQ(set(9, &brick), 0);

    std::string err;
    ASSERT_TRUE(devdata::install(dir, &err)) << err;
    float f;
    ASSERT_EQ(get(2, &f), 0);
    EXPECT_EQ(f, t);
    char text[17] = {};
    ASSERT_EQ(get(4, text), 0);
    EXPECT_EQ(0, std::memcmp(text, "0123 45\0\0\0\0\0\0\0\0\0", 16)); // nothing after the NUL
    ASSERT_EQ(get(3, text), 0);
    EXPECT_STREQ(text, part);
    uint8_t b;
    ASSERT_EQ(get(9, &b), 0);
    EXPECT_EQ(b, 7);
    uint32_t u;
    ASSERT_EQ(get(1, &u), 0);
    EXPECT_EQ(u, 3600u); // untouched items stay
    EXPECT_NE(fileText().find("serial_number = \"0123 45\"\n"), std::string::npos);

    // Texts a line of the file cannot hold are refused.
    const char bad[16] = {'a', '\n', 'b'};
    EXPECT_EQ(set(4, bad), -1);
    ASSERT_EQ(get(4, text), 0);
    EXPECT_STREQ(text, "0123 45");
}

TEST_F(DevData, WritesCanBeDisabled) {
    ASSERT_TRUE(devdata::install(dir));
    const uint32_t u = 5;
    ASSERT_EQ(kmgr_syscall(devdata::CALL_CONTROL, 0, INTERFACE_CODE, 2), 0);
    EXPECT_EQ(set(8, &u), -1);
    EXPECT_FALSE(std::filesystem::exists(path()));
    ASSERT_EQ(kmgr_syscall(devdata::CALL_CONTROL, 0, INTERFACE_CODE, 1), 0);
    EXPECT_EQ(set(8, &u), 0);
    EXPECT_EQ(kmgr_syscall(devdata::CALL_CONTROL, 0, INTERFACE_CODE, 3), -1);
}

TEST_F(DevData, WrongInterfaceCodeOrRequestShapeIsRefused) {
    putFile(kFull);
    ASSERT_TRUE(devdata::install(dir));
    uint32_t u = 0;
    EXPECT_EQ(kmgr_syscall(devdata::CALL_INIT, 0, 0x3A6D1E48, 0), -1);
    EXPECT_EQ(item(devdata::CALL_GET, 1, &u, 0x12345678), -1);
    EXPECT_EQ(item(devdata::CALL_SET, 1, &u, 0), -1);
    void* list[1] = {&u};
    EXPECT_EQ(kmgr_syscall(devdata::CALL_GET, 0, INTERFACE_CODE, 1, 0, 2, reinterpret_cast<intptr_t>(list)),
              -1);
    EXPECT_EQ(kmgr_syscall(devdata::CALL_GET, 0, INTERFACE_CODE, 1, 0, 1, 0), -1);
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(kmgr_syscall(devdata::CALL_GET, 0, INTERFACE_CODE, 1, 0, 1, reinterpret_cast<intptr_t>(list)),
              0);
    EXPECT_EQ(u, 3600u);
}

TEST_F(DevData, MalformedFileMakesAFaultyStoreAndIsKept) {
    // Every case follows these three lines.
    const std::string head = "part_number = \"P1\"\nrom_id = 0102030405060708\n# --\n";
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
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
    for (const auto& c : cases) {
        putFile(head + c.text);
        std::string err;
        EXPECT_FALSE(devdata::install(dir, &err)) << c.text;
        EXPECT_NE(err.find(path() + " " + c.error), std::string::npos) << err;
        EXPECT_EQ(state(), 0);
        char text[16];
        EXPECT_EQ(get(3, text), -1);
        uint8_t rom[8];
        EXPECT_EQ(kmgr_syscall(devdata::CALL_ROMID, reinterpret_cast<intptr_t>(rom)), -1);
        const uint32_t u = 1;
        EXPECT_EQ(set(1, &u), -1);
        EXPECT_EQ(fileText(), head + c.text);
    }
}

} // namespace
