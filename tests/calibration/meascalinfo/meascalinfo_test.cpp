// The named variables table: every row of the variable table resolves, checked against an
// independent reading of calibration/variables.tsv; run-time additions; lookups and prints.
#include "calibration/meascalinfo/meascalinfo.h"
#include "support/logcapture.h"
#include "support/pyref.h"
#include "vyn/vartable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

using testsupport::logContains;
using testsupport::LogLine;

namespace {

// name, meas_address, type code, count, mask, factor, offset of every row, read from the table
// file with nothing but the Python standard library.
const char kTableReader[] = R"(import sys
codes = {'u8': 0, 's8': 1, 'u16': 2, 's16': 3, 'u32': 4, 's32': 5, 'f32': 6, 'text': 0}
for line in open(sys.argv[1]):
    if not line.strip() or line.startswith('#'):
        continue
    f = line.rstrip('\n').split('\t')
    count = len(sys.argv[2]) if f[4] == 'epk' else int(f[4], 0)
    print(f[0], 0x25000000 | int(f[2], 0), codes[f[3]], count, int(f[5], 0), float(f[6]), float(f[7]))
)";

struct Names : ::testing::Test {
    std::vector<LogLine> seen;
    void SetUp() override {
        testsupport::logStart();
        meascalinfo_reset();
        ASSERT_EQ(meascalinfo_init(), 1);
    }
    bool logged(const std::string& text) { return logContains(seen, text); }
};

TEST_F(Names, EveryTableRowResolves) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    ASSERT_NE(src, nullptr) << "run through ctest";
    pyref::TempFile script(kTableReader);
    const auto out = pyref::run("/usr/bin/python3 " + script.path() + " " + src +
                                "/calibration/variables.tsv " + VYN_EPK_TEXT);
    std::istringstream lines(std::string(out.begin(), out.end()));
    std::string name;
    uint32_t rows = 0;
    for (; lines >> name; ++rows) {
        uint32_t addr, type, count, mask;
        double factor, offset;
        lines >> addr >> type >> count >> mask >> factor >> offset;
        const meascalinfo_t* i = meascalinfo_getInfo(name.c_str());
        ASSERT_NE(i, nullptr) << name;
        EXPECT_EQ(i->meas_address, addr) << name;
        EXPECT_EQ(i->type, type) << name;
        EXPECT_EQ(i->count, count) << name;
        EXPECT_EQ(i->mask, mask) << name;
        EXPECT_EQ(i->factor, static_cast<float>(factor)) << name;
        EXPECT_EQ(i->offset, static_cast<float>(offset)) << name;
    }
    EXPECT_EQ(rows, meascalinfo_rowCount);
    char text[80];
    std::snprintf(text, sizeof text, "meascalinfo_init: Initialisation of %u values done in ", rows);
    EXPECT_TRUE(logged(text));
    EXPECT_EQ(meascalinfo_getInfo("epkid"), nullptr); // case counts
    EXPECT_EQ(meascalinfo_getInfo("Ana01"), nullptr);
    EXPECT_EQ(meascalinfo_getInfo(nullptr), nullptr);
}

TEST_F(Names, RunTimeAdditions) {
    const meascalinfo_t v{0x07040500, MCI_F32, 1, 0, 2.0f, -1.0f};
    meascalinfo_t* added = meascalinfo_addInfo("runtime_var", &v);
    ASSERT_NE(added, nullptr);
    EXPECT_NE(added, &v); // a copy
    EXPECT_EQ(meascalinfo_getInfo("runtime_var"), added);
    EXPECT_EQ(std::memcmp(added, &v, sizeof v), 0);

    // A second record under a known name goes behind the first and is never found.
    const meascalinfo_t other{0x07040600, MCI_U8, 1, 0, 1.0f, 0.0f};
    ASSERT_NE(meascalinfo_addInfo("runtime_var", &other), nullptr);
    EXPECT_EQ(meascalinfo_getInfo("runtime_var"), added);
    EXPECT_EQ(meascalinfo_getInfo("ana01")->meas_address, 0x25040400u);

    static msdhash_element entry;
    static meascalinfo_t rec{0x07040700, MCI_S16, 4, 0, 1.0f, 0.0f};
    static const char name[] = "virtual_channel";
    EXPECT_EQ(meascalinfo_addInfoPreAlloc(&entry, name, &rec), &rec);
    EXPECT_EQ(meascalinfo_getInfo("virtual_channel"), &rec);

    EXPECT_EQ(meascalinfo_addInfo(nullptr, &v), nullptr);
    EXPECT_EQ(meascalinfo_addInfoPreAlloc(nullptr, name, &rec), nullptr);
    EXPECT_TRUE(logged("meascalinfo_addInfo: Failed to add Element"));
}

TEST_F(Names, SizesAndPrints) {
    std::vector<uint32_t> sizes;
    for (uint32_t t : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 0xFFFFFFFFu})
        sizes.push_back(getSizeofType(t));
    EXPECT_EQ(sizes, (std::vector<uint32_t>{1, 1, 2, 2, 4, 4, 4, 0, 0}));
    testing::internal::CaptureStdout();
    meascalinfo_printInfo("tele_modem_rsrp");
    meascalinfo_printInfo("nothing_here");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "pAdr=0x2504165f\ndType=0x1\ndLength=0x1\nbitmask=0x0\n"
              "sens=1.000000\noffset=100.000000\nError: Element not found\n");
}

TEST(VariableTable, GeneratorRefusesWhatWouldMisplaceAVariable) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    ASSERT_NE(src, nullptr) << "run through ctest";
    char dir[] = "/tmp/vyn_gen_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    auto generate = [&](const std::string& rows) {
        pyref::TempFile table(rows);
        const auto out = pyref::run(std::string("/usr/bin/python3 ") + src + "/tools/gen_vartable.py " +
                                    table.path() + " " + dir + " 1.2.3 2>&1; echo rc=$?");
        return std::string(out.begin(), out.end());
    };
    EXPECT_EQ(generate("a\tsig\t0x40000\tu32\t2\t0\t1\t0\nb\tsig\t0x40008\tu8\t1\t0\t1\t0\n"), "rc=0\n");
    const std::pair<const char*, const char*> refused[] = {
        {"a\tsig\t0x40000\tu32\t2\t0\t1\t0\nb\tsig\t0x40007\tu8\t1\t0\t1\t0\n", "b at 0x40007 overlaps a"},
        {"c\tcal\t0x10000\tf32\t2\t0\t1\t0\t1.5\n", "1 default values for 2 elements"},
        {"c\tcal\t0x10000\tu8\t1\t0\t1\t0\t256\n", "does not fit u8"},
        {"d\tsig\t0x40000\tu8\t1\t0\t1\t0\t1\n", "image defaults are for"},
        {"e\tvadapt\t0x51C14\tf32\t2\t0\t1\t0\n", "outside its page"},
    };
    for (auto [rows, error] : refused) {
        const std::string out = generate(rows);
        EXPECT_NE(out.find(error), std::string::npos) << out;
        EXPECT_EQ(out.find("rc=0"), std::string::npos) << out;
    }
    std::filesystem::remove_all(dir);
}

} // namespace
