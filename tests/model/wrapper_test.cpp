// The model wrapper over partitions of the test's own: found by name, initialised, their tables
// of internal signals registered under their number, every rate's steps run once, then the step
// of the rate index a raster asks for.
#include "calibration/conv/conv.h"
#include "model/model.h"
#include "model/partition.h"
#include "platform/kmgr/appman.h"
#include "services/rtpman/rtpman.h"
#include "support/stepped.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> ran;
bool initFails[CODEGEN_PARTITIONS];

template <int P> uint8_t init() {
    ran.push_back("init " + std::to_string(P));
    return initFails[P - 1] ? 0 : 1;
}
template <int Rate> void step(int call) {
    ran.push_back(std::to_string(Rate) + "/" + std::to_string(call));
}

float signal;
const convRule_t rules[] = {{1.0f, 0.0f}};
convEntry_t entries[1];
const uint32_t entryCount = 1;
convTable_t table{entries, &entryCount, rules};
convTable_t* vmeas() {
    entries[0] = {&signal, 0, CONV_F32, CONV_F32};
    return &table;
}

// Partition 2 steps at 1 ms, 1000 ms and the lap rate, and has a table.
const codegen_hook_t parts[CODEGEN_PARTITIONS] = {
    {init<1>, nullptr, {}, nullptr},
    {init<2>,
     nullptr,
     {step<0>, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, step<9>, step<16>},
     vmeas},
    {init<3>, nullptr, {}, nullptr},
};

struct Wrapper : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
            kmgr::registerSymbol(name(p), reinterpret_cast<uintptr_t>(&parts[p - 1]));
        kmgr::installAppManager();
        RtpManUsr_setIndex(0);
        ASSERT_EQ(AppMan_init(), 1);
        model_reset(), conv_reset(), ran.clear();
    }
    void TearDown() override {
        for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
            kmgr::unregisterSymbol(name(p));
        model_reset();
        SteppedTest::TearDown();
    }
    static std::string name(int p) { return "codegen_hookPartition_P" + std::to_string(p); }
};

TEST_F(Wrapper, PartitionsAreInitialisedRegisteredAndSteppedByRateIndex) {
    ASSERT_EQ(simulink_initialize(), 1);
    EXPECT_EQ(ran, (std::vector<std::string>{"init 1", "init 2", "init 3", "0/0", "0/1", "9/0", "9/1", "16/0",
                                             "16/1"}));
    EXPECT_TRUE(convCheckAdr(CONV_ADDR_FLAG | 2u << 20));
    EXPECT_FALSE(convCheckAdr(CONV_ADDR_FLAG | 1u << 20));
    ran.clear();
    for (auto [rate, call] : {std::pair{9, 1}, {16, 0}, {10, 0}, {17, 0}, {-1, 0}, {0, 2}})
        callSimulinkFunc(rate, call);
    EXPECT_EQ(ran, (std::vector<std::string>{"9/1", "16/0"}));
}

TEST_F(Wrapper, APartitionMissingOrNotInitialisedFailsTheStart) {
    initFails[2] = true;
    EXPECT_EQ(simulink_initialize(), 0);
    EXPECT_TRUE(logged("codegen_wrapperInit(): Init failed for Partition 3"));
    initFails[2] = false;
    kmgr::unregisterSymbol(name(1));
    EXPECT_EQ(simulink_initialize(), 0);
    EXPECT_TRUE(logged("codegen_wrapperInit(): Init failed for Partition 1"));
    callSimulinkFunc(0, 0);
    EXPECT_EQ(ran, (std::vector<std::string>{"init 1", "init 2", "init 3"})) << "no step runs";
}

} // namespace
