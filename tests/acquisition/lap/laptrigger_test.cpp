// The lap trigger's commands: what the laptrigger master's messages change and what short or
// foreign ones cannot; and the model's steps waiting for the channel-function scheduler.
#include "acquisition/awm/awm_man.h"
#include "acquisition/lap/laptrigger.h"
#include "platform/kmgr/appman.h"
#include "services/rtpman/rtpman.h"
#include "model/model.h"
#include "model/partition.h"
#include "services/sysrole/sysrole.h"
#include "support/stepped.h"

#include <atomic>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t OWN = 0x25, MASTER = 0x30, OTHER = 0x32;

// A command message: the 20-byte header (length, source, destination, contexts 0, code), then
// the big-endian fields {value, width in bytes}.
Bytes message(uint16_t code, uint16_t src, std::initializer_list<std::pair<uint32_t, int>> fields) {
    Bytes p;
    for (auto [v, w] : fields)
        for (int i = w - 1; i >= 0; --i)
            p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    Bytes m{
        0, 0,  0, static_cast<uint8_t>(p.size()), static_cast<uint8_t>(src >> 8), static_cast<uint8_t>(src),
        0, OWN};
    m.resize(18);
    m.push_back(static_cast<uint8_t>(code >> 8));
    m.push_back(static_cast<uint8_t>(code));
    m.insert(m.end(), p.begin(), p.end());
    return m;
}

std::vector<std::string> calls;
const LaptriggerHooks recording{[](uint16_t lap, uint16_t out) {
                                    calls.push_back("lap " + std::to_string(lap) + "/" + std::to_string(out));
                                },
                                [](uint16_t lap, uint16_t out) {
                                    calls.push_back("set " + std::to_string(lap) + "/" + std::to_string(out));
                                },
                                [](uint16_t lap, uint16_t out) {
                                    calls.push_back("answer " + std::to_string(lap) + "/" +
                                                    std::to_string(out));
                                }};

struct Laptrigger : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        laptrigger_reset();
        laptrigger_setHooks(&recording);
        calls.clear();
        cfg_system.ltm_pid = MASTER;
    }
    void TearDown() override {
        laptrigger_reset();
        SteppedTest::TearDown();
    }
};

// A lap message as the master sends it: sender, target, kind, fuel, lap time, lap, outing.
Bytes lapMessage(uint16_t src, uint32_t kind, uint16_t lap, uint16_t out, int outWidth = 2) {
    return message(0x1200, src,
                   {{src, 2}, {OWN, 2}, {kind, 4}, {0, 4}, {6543, 4}, {lap, 2}, {out, outWidth}});
}
Bytes reply(int outWidth) {
    return message(0x1202, MASTER, {{0, 4}, {0, 4}, {0, 4}, {9, 2}, {4, outWidth}});
}

TEST_F(Laptrigger, MastersMessagesCountOnceAndShortOrForeignOnesChangeNothing) {
    const struct {
        Bytes message;
        size_t len; // 0: the whole message
        std::vector<std::string> expected;
    } cases[] = {
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2, 1), 0, {}}, // 19 payload bytes
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2), 39, {}},   // the header says 20, 19 came
        {lapMessage(OTHER, 0xFFFFFFFF, 5, 2), 0, {}},     // not the master
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2), 0, {"lap 5/2"}},
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2), 0, {}}, // the same lap again
        {lapMessage(MASTER, 0xFFFFFFFE, 5, 2), 0, {}}, // the periodic state, known
        {lapMessage(MASTER, 0xFFFFFFFE, 6, 2), 0, {"set 6/2"}},
        {lapMessage(MASTER, 0xFFFFFFFD, 0, 3), 0, {"set 0/3"}},
        {lapMessage(MASTER, 0xFFFFFFFF, 1, 3), 0, {"lap 1/3"}},
        {reply(1), 0, {}}, // 15 payload bytes
        {reply(2), 0, {"answer 9/4"}},
    };
    for (const auto& c : cases) {
        calls.clear();
        const Bytes& m = c.message;
        const size_t len = c.len ? c.len : m.size();
        if (m[19] == 0x00)
            laptrigger_signal_cmd(m.data(), len);
        else
            laptrigger_get_info_reply_cmd(m.data(), len);
        EXPECT_EQ(c.expected, calls) << testing::PrintToString(m);
    }
}

// The model's steps run in the raster tasks: they wait while the channel functions run.
std::atomic<int> steps;
const codegen_hook_t counting{[]() -> uint8_t { return 1; }, nullptr, {[](int) { ++steps; }}, nullptr};

TEST_F(Laptrigger, ModelStepsWaitForTheChannelFunctionScheduler) {
    for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
        kmgr::registerSymbol("codegen_hookPartition_P" + std::to_string(p),
                             reinterpret_cast<uintptr_t>(&counting));
    kmgr::installAppManager();
    RtpManUsr_setIndex(0);
    ASSERT_EQ(AppMan_init(), 1);
    awm_man_ini();
    ASSERT_EQ(simulink_initialize(), 1);
    steps = 0;
    awm_sched_lock();
    taskSpawnFn("r_r1ms", 29, 0, 0x4000, [] { callSimulinkFunc(0, 0); });
    sim::step(5);
    EXPECT_EQ(steps, 0);
    awm_sched_unlock();
    sim::waitIdle();
    EXPECT_EQ(steps, CODEGEN_PARTITIONS);
    model_reset();
    awm_man_reset();
    for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
        kmgr::unregisterSymbol("codegen_hookPartition_P" + std::to_string(p));
}

} // namespace
