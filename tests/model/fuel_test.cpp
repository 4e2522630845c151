// Fuel consumption with the model's fuel step on stepped time: laps, refuelling, the store
// across a restart, and the outputs' rounding and saturation.
#include "acquisition/awm/fuelcons.h"
#include "acquisition/lap/laptrigger.h"
#include "comm/comint/comint.h"
#include "model/partition.h"
#include "services/sysrole/sysrole.h"
#include "support/channels.h"

namespace {

struct Fuel : testsupport::Channels {
    // Flow per hour on a signal, reset by a signal above 0.5 (active high), 60 l tank.
    testsupport::DS ds = testsupport::DS(0x0A, 148)
                             .ref(40, 0x40000)
                             .ref(76, 0x40000)
                             .floats(112, {1.0f, 1.0f, 60.0f, 2.5f, 0.5f})
                             .put<uint16_t>(132, 1)
                             .put<uint16_t>(136, 2);
    awm_fuelcons_inst* start() {
        load({ds});
        codegen_hookPartition_P2.init();
        return &instance<awm_fuelcons_inst>(0);
    }
    // 100 ms: ten cycles of the type, the model's step.
    void steps(int n) {
        for (int i = 0; i < n; ++i)
            cycle(10), codegen_hookPartition_P2.step[6](0);
        cycle();
    }
    static void set(awm_input_val& in, float v) { in.buf.value = v, in.buf.valid = 1; }
};

TEST_F(Fuel, LapsAndRefuellingAreCountedAndTheStoreSurvivesARestart) {
    awm_fuelcons_inst* in = start();
    ASSERT_NE(in, nullptr);
    set(in->fuel, 3600.0f), set(in->reset, 0.0f); // 0.1 l a step
    steps(10);
    awm_0x0A_fuelcons_setLaptrigger();
    steps(1); // closes lap 1 with 1.1 l
    steps(9);
    // Outputs 1 to 6 in 0.01 (total 0.1): consumption, lap, last lap, remaining fuel and laps.
    const auto out = [&] {
        return std::vector<int>{in->cons, in->lap, in->lapOld, in->rem, in->total, in->lapRem};
    };
    EXPECT_EQ(out(), (std::vector<int>{200, 90, 110, 5800, 20, 5273})) << "58 l at 1.1 l a lap";
    EXPECT_EQ(sb_fuelrem_vyn, 5800);
    set(in->reset, 0.5f); // at the threshold: not above it
    steps(1);
    set(in->reset, 1.0f); // refuelled: the consumption starts again
    steps(1), set(in->reset, 0.0f), steps(5);
    EXPECT_EQ(out(), (std::vector<int>{50, 160, 110, 5950, 27, 5409})) << "the lap goes on";
    float v = 0;
    ASSERT_EQ(fuelconsGet_FuelTotal(&v), 1);
    EXPECT_FLOAT_EQ(v, 2.7f);

    awm_man_reset(); // restart: both values come back from the store
    in = start();
    steps(0);
    EXPECT_EQ(std::vector<int>({in->cons, in->total}), std::vector<int>({50, 27}));
    float stored[2];
    ASSERT_EQ(nvram_dbs_read(nvram_fuelcons.id, 0, stored, sizeof stored), 8);
    EXPECT_NEAR(stored[0], 2.7f, 1e-5);
    EXPECT_NEAR(stored[1], 0.5f, 1e-5);
}

TEST_F(Fuel, ResetAtStartRoundingSaturationAndRequests) {
    const float stored[2] = {80.0f, 12.5f};
    ASSERT_EQ(nvram_dbs_write(nvram_fuelcons.id, 0, stored, sizeof stored), 8);
    ds.put<uint16_t>(136, 1); // the consumption starts at 0 at every start
    awm_fuelcons_inst* in = start();
    steps(0);
    EXPECT_EQ(std::pair(int{in->cons}, int{in->total}), std::pair(0, 800));
    for (auto [rem, total, outRem, outTotal] :
         {std::tuple{-3.456f, 7000.0f, -346, 65535}, {-400.0f, -1.0f, -32768, 0}}) {
        fuelrem = rem;
        *fueltotal_def = total;
        steps(0);
        EXPECT_EQ(std::pair(int{in->rem}, int{in->total}), std::pair(outRem, outTotal));
    }
    // A lap-trigger update of the laptrigger master before the model's step is taken once.
    cfg_system.ltm_pid = 0x30;
    uint8_t update[CI_HEADER + LAPTRIGGER_MSG_SIZE] = {};
    ci_set_header(update, {LAPTRIGGER_MSG_SIZE, 0x30, 0x25, 0, 0, 0x1200});
    std::memset(update + CI_HEADER + 4, 0xFF, 3), update[CI_HEADER + 7] = 0xFD;
    laptrigger_signal_cmd(update, sizeof update);
    EXPECT_EQ(awm_0x0A_fuelcons_getLaptrigger(), 1);
    EXPECT_EQ(awm_0x0A_fuelcons_getLaptrigger(), 0);
    void* addr = nullptr;
    for (uint8_t sub : {0, 7}) {
        void* m = awm_man_AWM_setupMeasure(awm_vc_id(0, sub), 3, &addr);
        EXPECT_EQ(addr, &error_toggle) << "refused: " << int(sub);
        awm_man_AWM_shutdownMeasure(m);
    }
    EXPECT_TRUE(logged("awm_0x0A_fuelcons_setupmeas: invalid subchannel measurement request"));
}

// The laptrigger master's messages read the lap's fuel in the command task while the 10 ms
// cycle writes it (a race under TSan without the cycle's lock).
TEST_F(Fuel, TheCommandTaskReadsTheLapFuelWhileTheCycleRuns) {
    ASSERT_NE(start(), nullptr);
    const TASK_ID reader = taskSpawnFn("r_cmd", 100, 0, 0, [] {
        float f;
        for (int k = 0; k < 500; ++k)
            fuelconsGet_FuelLap(&f);
    });
    for (int k = 0; k < 500; ++k)
        awm_sched_call(3, ts += 100);
    ASSERT_EQ(taskWaitExit(reader, WAIT_FOREVER), OK);
}

} // namespace
