// The lap trigger between units over the recording transport, on stepped time: the master's last
// update for a unit whose channel comes up, also when it comes back after a restart, and another
// unit's state request to the master, asked each second until the master answers.
#include "acquisition/lap/laptrigger.h"
#include "comm/unit_fixture.h"
#include "services/sysrole/sysrole.h"

namespace {

using namespace unit;
using fake::Bytes;

std::vector<std::pair<int, int>> answers; // lap, outing
const LaptriggerHooks hooks{nullptr, nullptr,
                            [](uint16_t lap, uint16_t out) { answers.emplace_back(lap, out); }};

uint64_t bit(uint16_t pid) {
    return uint64_t{1} << pid;
}
// The master's update of lap 2 of outing 1, lap time 65.43 s, no fuel function.
Bytes update(uint16_t to) {
    return message(0x1200, OWN, to, 0, 0,
                   fields({{OWN, 2}, {to, 2}, {0xFFFFFFFD, 4}, {0, 4}, {6543, 4}, {2, 2}, {1, 2}}));
}

struct Laptrigger : Unit {
    cfg_system_t saved = cfg_system;
    std::vector<uint64_t> at; // the tick of each message `run` returned

    void SetUp() override {
        Unit::SetUp();
        laptrigger_reset();
        laptrigger_setHooks(&hooks);
        answers.clear();
    }
    void TearDown() override {
        fake::up = 0;
        cfg_system = saved;
        laptrigger_reset();
        Unit::TearDown();
    }
    // `ms` of the 10 ms call: what it sent.
    std::vector<Bytes> run(int ms) {
        std::vector<Bytes> out;
        at.clear();
        for (int t = 0; t < ms; t += 10) {
            const uint64_t now = tick64Get();
            laptrigger_10ms();
            for (Bytes& m : sent())
                out.push_back(std::move(m)), at.push_back(now);
            sim::step(9);
        }
        return out;
    }
};

// A unit that restarts drops its channel for a while; when the channel is back the master's last
// update reaches it again, once, and nothing more goes to the units that stayed.
TEST_F(Laptrigger, TheMastersLastUpdateReachesAUnitWhoseChannelComesUpOrBack) {
    cfg_system.ltm_pid = OWN, cfg_system.ltm_remote = 0;
    fake::up = bit(PEER);
    laptrigger_update(2, 1, 65.43f);
    EXPECT_EQ(sent(), std::vector<Bytes>{update(PEER)});
    fake::up = bit(PEER) | bit(FAR);
    EXPECT_EQ(run(1000), std::vector<Bytes>{update(FAR)}) << "new in the network";
    fake::up = bit(FAR);
    EXPECT_EQ(run(2000), std::vector<Bytes>{});
    fake::up = bit(PEER) | bit(FAR);
    EXPECT_EQ(run(2000), std::vector<Bytes>{update(PEER)}) << "back after a restart";
}

// Another unit asks from the moment the master's channel is up, then each second, until the
// master answers; an answer of a unit that is not the master is no answer.
TEST_F(Laptrigger, AnotherUnitAsksTheMasterEachSecondUntilTheMasterAnswers) {
    cfg_system.ltm_pid = PEER, cfg_system.ltm_remote = 1;
    fake::up = bit(FAR);
    EXPECT_EQ(run(1500), std::vector<Bytes>{}) << "the master's channel is down";
    fake::up = bit(FAR) | bit(PEER);
    const uint64_t up = tick64Get();
    const Bytes ask = message(0x1201, OWN, PEER, 0, 0, fields({{0, 4}}));
    EXPECT_EQ(run(3500), std::vector(4, ask));
    EXPECT_EQ(at, (std::vector<uint64_t>{up, up + 1000, up + 2000, up + 3000}));
    auto reply = [](uint16_t from) {
        return message(0x1202, from, OWN, 0, 0, fields({{0, 4}, {6543, 4}, {0, 4}, {9, 2}, {4, 2}}));
    };
    const Bytes foreign = reply(FAR), master = reply(PEER);
    laptrigger_get_info_reply_cmd(foreign.data(), foreign.size());
    EXPECT_EQ(run(1000), std::vector<Bytes>{ask});
    laptrigger_get_info_reply_cmd(master.data(), master.size());
    EXPECT_EQ(answers, (std::vector<std::pair<int, int>>{{9, 4}}));
    EXPECT_EQ(run(3000), std::vector<Bytes>{});
}

} // namespace
