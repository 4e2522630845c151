// Requests as the platform's shell sends them, and requests that must be refused.
#include "platform/kmgr/appman.h"
#include "services/shell/shell.h"
#include "support/stepped.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> got;

int record(int argc, char** argv) {
    got.assign(argv, argv + argc);
    return 42;
}

// id, argc, argv as addresses from `base`, then the strings.
std::vector<uint8_t> request(uint32_t id, const std::vector<std::string>& args, uint32_t base) {
    std::vector<uint8_t> m(8 + 4 * args.size());
    const int32_t argc = static_cast<int32_t>(args.size());
    std::memcpy(m.data(), &id, 4);
    std::memcpy(m.data() + 4, &argc, 4);
    for (size_t i = 0; i < args.size(); ++i) {
        const uint32_t at = base + static_cast<uint32_t>(m.size() - (8 + 4 * args.size()));
        std::memcpy(m.data() + 8 + 4 * i, &at, 4);
        m.insert(m.end(), args[i].begin(), args[i].end());
        m.push_back(0);
    }
    return m;
}

struct Shell : testsupport::SteppedTest {
    uint32_t id = 0;
    void SetUp() override {
        SteppedTest::SetUp();
        kmgr::installShellAndRtc();
        msd_shell_reset();
        got.clear();
        ASSERT_EQ(msd_shellAddCommand("rec", record), 1);
        ASSERT_TRUE(kmgr::shellCommandId(0, "rec", &id));
    }
    int run(std::vector<uint8_t> m) { return msdParse_rtp(m.data(), m.size()); }
};

TEST_F(Shell, ArgumentsAreRelocatedFromAnySenderBaseAndMalformedRequestsRunNothing) {
    for (uint32_t base : {0u, 0x7FFFFFF0u, 0xFFFFFFF8u}) {
        EXPECT_EQ(run(request(id, {"rec", "a b", ""}, base)), 42) << base;
        EXPECT_EQ(got, (std::vector<std::string>{"rec", "a b", ""}));
    }
    got.clear();
    const std::vector<uint8_t> good = request(id, {"rec", "xy"}, 100);
    std::vector<std::vector<uint8_t>> bad;
    bad.push_back(request(id + 1, {"rec"}, 0));     // no such command
    bad.push_back(request(0x7F000000, {"rec"}, 0)); // an address, not an id
    bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 7));
    for (int32_t argc : {0, -1, 3, 0x40000000}) { // argc beyond what was received
        bad.push_back(good);
        std::memcpy(bad.back().data() + 4, &argc, 4);
    }
    for (uint32_t argv1 : {99u, 200u, 0xFFFFFFFFu}) { // before the strings, past the end
        bad.push_back(good);
        std::memcpy(bad.back().data() + 12, &argv1, 4);
    }
    bad.push_back(std::vector<uint8_t>(good.begin(), good.end() - 1)); // last string unterminated
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(run(bad[i]), -1) << "request " << i;
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(run(good), 42);
}

TEST_F(Shell, ARemovedCommandRunsNoMore) {
    EXPECT_EQ(run(request(id, {"rec"}, 0)), 42);
    EXPECT_EQ(msd_shellRemoveCommand("rec"), 1);
    EXPECT_EQ(run(request(id, {"rec"}, 0)), -1);
}

TEST_F(Shell, RegistrationRefusesNullsAndCommonCommandsStopAtTheFirstFailure) {
    EXPECT_EQ(msd_shellAddCommand(nullptr, record), 0);
    EXPECT_EQ(msd_shellAddCommand("x", nullptr), 0);
    static int calls = 0;
    const MsdShellCommon list[] = {
        {"a", record, nullptr}, {nullptr, nullptr, [] { return ++calls, -1; }}, {"b", record, nullptr}};
    msd_shell_setCommonCmds(list, 3);
    EXPECT_EQ(MsdShell_AddCommonCmd(), 0);
    uint32_t unused;
    EXPECT_TRUE(kmgr::shellCommandId(0, "a", &unused));
    EXPECT_FALSE(kmgr::shellCommandId(0, "b", &unused));
    EXPECT_EQ(calls, 1);
}

} // namespace
