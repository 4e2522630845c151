// Requests as the platform's shell sends them, and requests that must be refused.
#include "platform/kmgr/appman.h"
#include "services/shell/shell.h"
#include "support/stepped.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::string> got;

int record(int argc, char** argv) {
    got.assign(argv, argv + argc);
    return 42;
}

// The processor's words are little-endian, whatever the host's order.
void word(std::vector<uint8_t>& m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        m[at + i] = static_cast<uint8_t>(v >> 8 * i);
}

// id, argc, argv as addresses from `base`, then the strings.
std::vector<uint8_t> request(uint32_t id, const std::vector<std::string>& args, uint32_t base) {
    std::vector<uint8_t> m(8 + 4 * args.size());
    word(m, 0, id);
    word(m, 4, static_cast<uint32_t>(args.size()));
    for (size_t i = 0; i < args.size(); ++i) {
        word(m, 8 + 4 * i, base + static_cast<uint32_t>(m.size() - (8 + 4 * args.size())));
        m.insert(m.end(), args[i].begin(), args[i].end());
        m.push_back(0);
    }
    return m;
}

// Commands that tell which of them ran.
std::vector<int> ran;
template <int N> int tagged(int, char**) {
    ran.push_back(N);
    return N;
}
template <int... N>
constexpr std::array<MsdShellCallback, sizeof...(N)> taggedAll(std::integer_sequence<int, N...>) {
    return {tagged<N>...};
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
        word(bad.back(), 4, static_cast<uint32_t>(argc));
    }
    for (uint32_t argv1 : {99u, 200u, 0xFFFFFFFFu}) { // before the strings, past the end
        bad.push_back(good);
        word(bad.back(), 12, argv1);
    }
    bad.push_back(std::vector<uint8_t>(good.begin(), good.end() - 1)); // last string unterminated
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(run(bad[i]), -1) << "request " << i;
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(run(good), 42);
}

// A full table: every id the platform handed out runs its own command; an id past the table,
// 0, or one whose bytes came in the host's order on a big-endian sender runs nothing.
TEST_F(Shell, EveryIdOfAFullTableRunsItsOwnCommandAndNoIdBeyondItRunsAny) {
    constexpr int N = 63; // beside "rec"
    const auto cmds = taggedAll(std::make_integer_sequence<int, N>{});
    std::vector<uint32_t> ids;
    for (int i = 0; i < N; ++i) {
        const std::string name = "t" + std::to_string(i);
        ASSERT_EQ(msd_shellAddCommand(name.c_str(), cmds[static_cast<size_t>(i)]), 1) << name;
        ids.emplace_back();
        ASSERT_TRUE(kmgr::shellCommandId(0, name, &ids.back()));
    }
    EXPECT_EQ(msd_shellAddCommand("one_too_many", record), 0);
    std::vector<uint32_t> sorted = ids;
    sorted.push_back(id);
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted.front(), 1u);
    ASSERT_EQ(sorted.back(), 64u) << "ids 1 to 64";
    ran.clear();
    for (int i = 0; i < N; ++i)
        EXPECT_EQ(run(request(ids[static_cast<size_t>(i)], {"t"}, 0)), i);
    std::vector<int> each(N);
    std::iota(each.begin(), each.end(), 0);
    EXPECT_EQ(ran, each);

    ran.clear();
    got.clear();
    for (uint32_t beyond : {0u, 65u, 66u, 128u, 0x01000000u, 0x40000000u, 0xFFFFFFFFu})
        EXPECT_EQ(run(request(beyond, {"t"}, 0)), -1) << beyond;
    EXPECT_TRUE(ran.empty());
    EXPECT_TRUE(got.empty());
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
