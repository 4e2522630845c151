#include "services/msdhash/msdhash.h"

#include "support/pyref.h"
#include "services/syslog/syslog.h"
#include "services/syslog/syslog_private.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Tables are never destroyed; keeping them reachable (in an array without a destructor) tells the
// leak checker they are meant to live.
msdhash_table* gTables[64];
size_t gTableCount;

msdhash_table* make_table(uint32_t n) {
    msdhash_table* t = msdhash_createTable(n);
    if (t && gTableCount < std::size(gTables)) gTables[gTableCount++] = t;
    return t;
}
void* tag(intptr_t v) {
    return reinterpret_cast<void*>(v);
}
std::string numbered(const char* prefix, intptr_t i) {
    return prefix + std::to_string(i);
}

struct MsdHash : ::testing::Test {
    void SetUp() override {
        syslog_queue_init();
        syslog_init();
        syslog_reset();
        logLines();
    }
    // Texts logged since the last call.
    static std::vector<std::string> logLines() {
        std::vector<std::string> lines;
        syslog_msg_t rec;
        while (msgQReceive(syslog_getQueue(), &rec, sizeof rec, NO_WAIT) > 0)
            lines.emplace_back(rec.text);
        return lines;
    }
};

// Published FNV-1a vectors, and names with bytes above 0x7F (a signed-char slip changes the hash)
// against a Python reference of the hash and its folding into 2^n buckets.
TEST_F(MsdHash, HashMatchesReference) {
    EXPECT_EQ(fnv1b_hash(""), 0x811C9DC5u);
    EXPECT_EQ(fnv1b_hash("a"), 0xE40C292Cu);
    EXPECT_EQ(fnv1b_hash("foobar"), 0xBF9CF968u);
    std::mt19937 rng(3);
    std::vector<std::vector<pyref::bytes>> cases;
    for (int i = 0; i < 50; ++i) {
        pyref::bytes name(rng() % 40);
        for (auto& b : name)
            b = static_cast<uint8_t>(1 + rng() % 255);
        cases.push_back({name});
    }
    const auto ref = pyref::map(R"(
def f(name):
    h = 0x811C9DC5
    for b in name:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return ' '.join('%08x' % v for v in [h] + [(h ^ (h >> n)) & ((1 << n) - 1) for n in (0, 5, 12, 31)])
)",
                                cases);
    // generate_hash reads only n, so the 2^31-bucket case needs no bucket array
    msdhash_table t0{0, nullptr}, t5{5, nullptr}, t12{12, nullptr}, t31{31, nullptr};
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name(cases[i][0].begin(), cases[i][0].end());
        const char* s = name.c_str();
        char mine[64];
        std::snprintf(mine, sizeof mine, "%08x %08x %08x %08x %08x", fnv1b_hash(s), generate_hash(&t0, s),
                      generate_hash(&t5, s), generate_hash(&t12, s), generate_hash(&t31, s));
        EXPECT_EQ(mine, ref[i]);
    }
}

TEST_F(MsdHash, EveryInsertedNameIsFound) {
    for (uint32_t n : {0u, 4u, 12u}) {
        msdhash_table* t = make_table(n);
        ASSERT_NE(t, nullptr);
        const int count = n == 0 ? 300 : 5000;
        for (intptr_t i = 0; i < count; ++i)
            ASSERT_EQ(msdhash_addElement(t, numbered("var", i).c_str(), tag(i + 1)), 1);
        for (intptr_t i = 0; i < count; ++i)
            ASSERT_EQ(msdhash_getElement(t, numbered("var", i).c_str()), tag(i + 1)) << "n " << n;
        for (const char* absent : {"var", "var5000", ""})
            EXPECT_EQ(msdhash_getElement(t, absent), nullptr);
    }
    EXPECT_TRUE(logLines().empty()) << "an absent name must not log";
}

TEST_F(MsdHash, CollisionsDuplicatesAndOwnership) {
    msdhash_table* t = make_table(12);
    ASSERT_NE(t, nullptr);
    auto get = [t](std::vector<const char*> names) {
        std::vector<void*> v;
        for (const char* n : names)
            v.push_back(msdhash_getElement(t, n));
        return v;
    };
    // var27 and var113 share a bucket; chain order must not hide either. A duplicate is accepted
    // but the first one added keeps answering; the table keeps its own copy of a name.
    ASSERT_EQ(generate_hash(t, "var27"), generate_hash(t, "var113"));
    char name[] = "speed";
    for (auto [n, v] : {std::pair{"var113", 113}, {"var27", 27}, {"var27", 270}, {name, 1}})
        ASSERT_EQ(msdhash_addElement(t, n, tag(v)), 1);
    name[0] = 'S';
    EXPECT_EQ(get({"var27", "var113", "speed", "Speed"}),
              (std::vector<void*>{tag(27), tag(113), tag(1), nullptr}));

    // a preallocated element uses the caller's storage and name, appended behind existing ones
    static msdhash_element elements[2];
    static const char preName[] = "var113";
    ASSERT_EQ(msdhash_addPreAllocElement(t, &elements[0], preName, tag(7)), 1);
    ASSERT_EQ(msdhash_addPreAllocElement(t, &elements[1], "rpm", tag(8)), 1);
    EXPECT_EQ(std::tuple(elements[0].name, elements[0].value, elements[0].next),
              std::tuple(preName, tag(7), static_cast<msdhash_element*>(nullptr)));
    EXPECT_EQ(get({"var113", "rpm"}), (std::vector<void*>{tag(113), tag(8)}));
}

TEST_F(MsdHash, BadArgumentsAreRefusedAndLogged) {
    msdhash_table* t = make_table(2);
    ASSERT_NE(t, nullptr);
    msdhash_element e;
    const std::pair<bool, std::string> cases[] = {
        {msdhash_createTable(32) == nullptr, "msdhash_createTable: Size not supported"},
        {msdhash_createTable(0xFFFFFFFFu) == nullptr, "msdhash_createTable: Size not supported"},
        {msdhash_getElement(t, nullptr) == nullptr, "msdhash_getElement: Nullpointer Argument"},
        {msdhash_getElement(nullptr, "x") == nullptr, "msdhash_getElement: Nullpointer Argument"},
        {msdhash_addElement(nullptr, "x", nullptr) == 0, "msdhash_addElement: Nullpointer Argument"},
        {msdhash_addElement(t, nullptr, nullptr) == 0, "msdhash_addElement: Nullpointer Argument"},
        {msdhash_addPreAllocElement(t, nullptr, "x", nullptr) == 0,
         "msdhash_addPreAllocElement: Nullpointer Argument"},
        {msdhash_addPreAllocElement(t, &e, nullptr, nullptr) == 0,
         "msdhash_addPreAllocElement: Nullpointer Argument"},
    };
    for (const auto& [refused, line] : cases)
        EXPECT_TRUE(refused) << line;
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "msdhash_createTable: Size not supported", "Last message repeated 2 times.",
                              "msdhash_getElement: Nullpointer Argument", "Last message repeated 2 times.",
                              "msdhash_addElement: Nullpointer Argument", "Last message repeated 2 times.",
                              "msdhash_addPreAllocElement: Nullpointer Argument"}));
    for (size_t b = 0; b < 4; ++b)
        EXPECT_EQ(t->table[b], nullptr) << "nothing was added";
}

std::string stat_of(const msdhash_table* t) {
    testing::internal::CaptureStdout();
    msdhash_printStat(t);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST_F(MsdHash, PrintStatShowsTheChainHistogram) {
    EXPECT_EQ(stat_of(nullptr), "Nullpointer Argument\n");
    // buckets with n = 3: zeta 0; gamma, eta 3; delta 5; alpha, epsilon 6; beta 7
    msdhash_table* t = make_table(3);
    ASSERT_NE(t, nullptr);
    for (const char* name : {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"})
        ASSERT_EQ(msdhash_addElement(t, name, tag(1)), 1);
    const std::string out = stat_of(t);
    EXPECT_EQ(out.rfind("\n\nHash Table Size:\n2^3 (0x8)\n\nElement distribution:\n", 0), 0u);
    EXPECT_NE(out.find("\t3         0         0          -> empty hash table entry!\n"
                       "\t3         1         3         \n"
                       "\t2         2         4         \n"
                       "\t0         3         0         \n"),
              std::string::npos);
    // One bucket with a chain of 40 falls into the last class.
    msdhash_table* one = make_table(0);
    ASSERT_NE(one, nullptr);
    for (int i = 0; i < 40; ++i)
        msdhash_addElement(one, numbered("n", i).c_str(), nullptr);
    const std::string last = stat_of(one);
    EXPECT_EQ(last.substr(last.size() - 33), "\t1         31        31        ?\n");
}

} // namespace
