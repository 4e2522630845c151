// NV-backed variables over the real non-volatile store and its image file: values that survive
// restarts, repairs, the full table, the ageing of unregistered variables and the shell's commands.
// (Nothing in the unit registers variables yet; the tests register theirs to have some.)
#define FAKES_DEFINE
#include "services/rtpman/rtpman.h"
#include "calibration/fakes.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "calibration/variables/variables.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>
#include <cstring>

namespace {

struct Variables : testsupport::SteppedTest {
    testsupport::ScratchDir dir;

    void SetUp() override {
        SteppedTest::SetUp();
        ASSERT_TRUE(nvmem::install(dir.path));
        app_pid = 9;
        restart();
    }
    void TearDown() override { nvmem::uninstall(), kmgr::clearFaults(); }
    // A power cycle: everything in RAM is gone, the store's image file stays.
    void restart() {
        variables_reset(), meascalinfo_reset(), nvram_dbs_reset(), seram_reset();
        ASSERT_EQ(nvram_dbs_init(), 1);
        ASSERT_EQ(meascalinfo_init(), 1);
        variables_ini();
    }
    // The value read by name and as a tool measures it by the name (NaN: unknown).
    static std::vector<float> values(const char* name) {
        float v = NAN, m = NAN;
        variables_getValue(name, &v);
        if (const meascalinfo_t* info = meascalinfo_getInfo(name)) {
            seramMeasHandle h;
            seramMeasSetupMeas(info->meas_address, 0, &h);
            seramMeasCopy(&m, 4, &h);
        }
        return {v, m};
    }
    static variables_nvRecord record(uint32_t slot) {
        variables_nvRecord r{};
        EXPECT_EQ(nvram_dbs_read(21, slot, &r, sizeof r), 40);
        return r;
    }
};

using floats = std::vector<float>;

TEST_F(Variables, StoredValuesSurviveRestartsAndUnreadableRecordsAreRepaired) {
    EXPECT_TRUE(logged("variables_ini: repaired nv 32 entries"));
    for (float unknown : values("anything")) // by name, measured
        EXPECT_TRUE(std::isnan(unknown));
    ASSERT_TRUE(variables_register("oil_temp"));
    EXPECT_EQ(values("oil_temp"), (floats{0, 0}));
    // A known name takes no second slot.
    ASSERT_TRUE(variables_register("oil_temp") && variables_register("fuel_trim"));
    ASSERT_TRUE(variables_write("oil_temp", 88.5f) && variables_write("fuel_trim", -2.25f));
    EXPECT_EQ(values("oil_temp"), (floats{88.5f, 88.5f}));

    const std::string before = dir.read("nvram.img"); // unknown names change nothing
    EXPECT_FALSE(variables_write("unknown", 1.0f) || variables_getValue("oil_temp", nullptr));
    EXPECT_EQ(dir.read("nvram.img"), before);
    kmgr::injectFault(KCALL_NVRAM_PERSIST, -1); // nor does a write the store refuses
    EXPECT_FALSE(variables_write("oil_temp", 3.0f));

    seen.clear(), testsupport::logDrain();
    restart(); // the repaired records now read fine
    EXPECT_FALSE(logged("repaired"));
    EXPECT_EQ(values("oil_temp"), (floats{88.5f, 88.5f}));
    EXPECT_EQ(values("fuel_trim"), (floats{-2.25f, -2.25f}));

    variables_nvRecord r{}; // a record without a NUL is repaired
    std::memset(r.name, 'x', sizeof r.name);
    ASSERT_EQ(nvram_dbs_write(21, 4, &r, sizeof r), 40);
    restart();
    EXPECT_EQ(std::pair(record(4).age, record(4).name[0]), std::pair(-1, '\0'));
}

TEST_F(Variables, NamesUpTo31CharactersAnd32Slots) {
    const std::string longest(31, 'n');
    EXPECT_TRUE(variables_register(longest.c_str()));
    EXPECT_FALSE(variables_register(std::string(32, 'm').c_str()) || variables_register("") ||
                 variables_register(nullptr));
    for (int i = 1; i < 32; ++i)
        ASSERT_TRUE(variables_register(std::to_string(i).insert(0, 1, 'v').c_str())) << i;
    EXPECT_TRUE(!variables_register("one_too_many") && variables_register("v31"))
        << "known names still register";
    restart();
    EXPECT_EQ(std::pair(values(longest.c_str())[0], values("v31")[0]), std::pair(0.0f, 0.0f));
    // Read by pointer as by name: each name its own slot.
    ASSERT_TRUE(variables_write("v31", 31.5f) && variables_write(longest.c_str(), -1.25f));
    EXPECT_EQ(std::pair(*variables_getPointer("v31"), *variables_getPointer(longest.c_str())),
              std::pair(31.5f, -1.25f));
}

TEST_F(Variables, UnregisteredVariablesAgeOut) {
    ASSERT_TRUE(variables_register("kept") && variables_register("dropped") &&
                variables_write("dropped", 5.0f));
    variables_registration_complete();
    for (int run = 1; run <= 6; ++run) {
        restart();
        ASSERT_TRUE(variables_register("kept"));
        variables_registration_complete();
        // Freed at once in the sixth run without a registration; gone from then on.
        EXPECT_EQ(variables_getPointer("dropped") != nullptr, run < 6) << run;
    }
    EXPECT_EQ(record(1).age, -1);
    // The freed slot waits for the next start before it is used again.
    ASSERT_TRUE(variables_register("newcomer"));
    EXPECT_STREQ(record(2).name, "newcomer");
    restart();
    EXPECT_EQ(std::tuple(values("kept")[0], variables_getPointer("dropped"), values("newcomer")[0]),
              std::tuple(0.0f, nullptr, 0.0f));
    ASSERT_TRUE(variables_register("reuser"));
    EXPECT_STREQ(record(1).name, "reuser");
}

} // namespace

TEST_F(Variables, ShellSetsOnlyWhollyDecimalValues) {
    ASSERT_TRUE(variables_register("v"));
    const std::tuple<std::vector<const char*>, const char*, float> cases[] = {
        {{"setvar", "v", "1.5"}, "ok\n", 1.5f},
        {{"setvar", "v", "abc"}, "error\n", 1.5f},
        {{"setvar", "v", "2x"}, "error\n", 1.5f},
        {{"setvar", "v", "0x10"}, "error\n", 1.5f},
        {{"setvar", "v", "1e40"}, "error\n", 1.5f},
        {{"setvar", "v", ""}, "error\n", 1.5f},
        {{"setvar", "v", "-2.25e1"}, "ok\n", -22.5f},
        {{"setvar", "nope", "1"}, "variable nope not found\n", -22.5f},
        {{"setvar", "v"}, "usage: setvar <variable> <value>\n", -22.5f},
        {{"getvar", "v"}, "value:   -22.500000\n", -22.5f},
        {{"getvar", "nope"}, "variable nope not found\n", -22.5f},
    };
    for (const auto& [args, printed, value] : cases) {
        std::vector<char*> argv;
        for (const char* a : args)
            argv.push_back(const_cast<char*>(a));
        testing::internal::CaptureStdout();
        (argv[0][0] == 's' ? writeVariableFunc : readVariableFunc)(static_cast<int>(argv.size()),
                                                                   argv.data());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed) << args.back();
        EXPECT_EQ(values("v")[0], value) << args.back();
    }
}
