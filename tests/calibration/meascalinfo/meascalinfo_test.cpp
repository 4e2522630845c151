// The named variables table: the documented rows and their order, run-time additions, lookups
// and prints, and what the generator refuses.
#include "calibration/meascalinfo/meascalinfo.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>

namespace {

using Names = testsupport::SteppedWith<meascalinfo_reset, meascalinfo_init>;

// The table's telling rows as the unit's documentation prints them: row (-1: not given), name and
// record; "EPKID" counts the characters of the image's EPK text.
const std::tuple<int, const char*, meascalinfo_t> kRows[] = {
    {0, "EPKID", {0x25000020, 0, sizeof VYN_EPK_TEXT - 1, 0, 1.0f, 0.0f}},
    {1, "epkid_vyn_info", {0x25000020, 0, 32, 0, 1.0f, 0.0f}},
    {3, "CfgMat_VC_config", {0x25000048, 0, 32767, 0, 1.0f, 0.0f}},
    {4, "CfgMat_Board_Channel", {0x25010044, 2, 256, 0, 1.0f, 0.0f}},
    {-1, "RtpIndex", {0x25040000, 5, 1, 0, 1.0f, 0.0f}},
    {-1, "ana01", {0x25040010, 6, 1, 0, 1.0f, 0.0f}},
    {-1, "sb_laptime_vyn", {0x250400E0, 4, 1, 0, 100.0f, 0.0f}},
    {-1, "B_Laptriggerpin", {0x250411F4, 0, 1, 1, 1.0f, 0.0f}},
    {-1, "tele_modem_rsrp", {0x2504165F, 1, 1, 0, 1.0f, 100.0f}},
    {-1, "adjust_data_nv_copy", {0x25050014, 6, 1792, 0, 1.0f, 0.0f}},
};

TEST_F(Names, DocumentedRowsInTheirOrderAndRunTimeAdditions) {
    int previous = -1;
    for (const auto& [number, name, info] : kRows) {
        const meascalinfo_t* got = meascalinfo_getInfo(name);
        ASSERT_NE(got, nullptr) << name;
        const int row = static_cast<int>(got - allmeascalinfo);
        EXPECT_TRUE(!std::memcmp(got, &info, sizeof info) && labelNames[row] == std::string(name) &&
                    (number < 0 || row == number) && row > previous)
            << name;
        previous = row;
    }
    EXPECT_EQ(previous, static_cast<int>(meascalinfo_rowCount) - 1); // adjust_data_nv_copy is last
    // Rows by area: below 0x10000, the rest of the reference page, the signal page, the adapt pages.
    // A mask is 0 for the whole element, never all of its bits.
    auto area = [](uint32_t a) { return (a >= 0x25010000) + (a >= 0x25040000) + (a >= 0x25050000); };
    for (uint32_t i = 0; i < meascalinfo_rowCount; ++i) {
        const meascalinfo_t& r = allmeascalinfo[i];
        EXPECT_LE(area(i ? allmeascalinfo[i - 1].meas_address : 0), area(r.meas_address)) << labelNames[i];
        EXPECT_NE(uint64_t{r.mask}, (uint64_t{1} << 8 * getSizeofType(r.type)) - 1) << labelNames[i];
    }
    EXPECT_EQ(meascalinfo_getInfo("epkid"), meascalinfo_getInfo(nullptr)) << "case counts: none found";

    // Run-time additions, as the channel list makes them: a second record under a known name goes
    // behind the first and is never found.
    static msdhash_element entries[2];
    static meascalinfo_t rec{0x07040700, MCI_S16, 4, 0, 1.0f, 0.0f};
    EXPECT_EQ(meascalinfo_addInfoPreAlloc(&entries[0], "virtual_channel", &rec), &rec);
    ASSERT_NE(meascalinfo_addInfoPreAlloc(&entries[1], "virtual_channel", &allmeascalinfo[0]), nullptr);
    EXPECT_EQ(meascalinfo_getInfo("virtual_channel"), &rec);
    EXPECT_EQ(meascalinfo_addInfoPreAlloc(nullptr, "x", &rec), nullptr);
}

TEST(VariableTable, GeneratorRefusesWhatWouldMisplaceAVariable) {
    const std::string src = std::getenv("VYN_SOURCE_DIR");
    testsupport::ScratchDir out;
    const auto map = pyref::run("grep '^@' " + src + "/calibration/variables.tsv"); // the memory map
    auto generate = [&](const std::string& rows) {
        pyref::TempFile table(std::string(map.begin(), map.end()) + rows);
        const auto text = pyref::run("/usr/bin/python3 " + src + "/tools/gen_vartable.py " + table.path() +
                                     " " + out.path + " 1.2.3 2>&1; echo rc=$?");
        return std::string(text.begin(), text.end());
    };
    EXPECT_EQ(generate("a\tsig\t0x40000\tu32\t2\t0\t1\t0\nb\tsig\t0x40008\tu8\t1\t0\t1\t0\n"), "rc=0\n");
    for (auto [rows, error] :
         {std::pair{"a\tsig\t0x40000\tu32\t2\t0\t1\t0\nb\tsig\t0x40007\tu8\t1\t0\t1\t0\n",
                    "b at 0x40007 overlaps a"},
          {"c\tcal\t0x10000\tf32\t2\t0\t1\t0\t1.5\n", "1 default values for 2 elements"},
          {"c\tcal\t0x10000\tu8\t1\t0\t1\t0\t256\n", "does not fit u8"},
          {"d\tsig\t0x40000\tu8\t1\t0\t1\t0\t1\n", "image defaults are for"},
          {"e\tvadapt\t0x51C14\tf32\t2\t0\t1\t0\n", "outside its page"},
          {"@\tSPARE\t0x5FFFF\t2\n", "area SPARE outside the block"}}) {
        const std::string text = generate(rows);
        EXPECT_TRUE(text.find(error) != std::string::npos && text.find("rc=0") == std::string::npos) << text;
    }
}

} // namespace
