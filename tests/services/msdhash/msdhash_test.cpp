// String hash table: the hash against published FNV-1a vectors and Python, lookups, collisions,
// refusals and the statistics printout.
#include "services/msdhash/msdhash.h"
#include "support/pyref.h"
#include "support/stepped.h"

namespace {

// Tables are never destroyed; keeping them reachable (in an array without a destructor) tells the
// leak checker they are meant to live.
msdhash_table* tables[8];
size_t tableCount;
msdhash_table* makeTable(uint32_t n) {
    return tables[tableCount++ % 8] = msdhash_createTable(n);
}
void* tag(intptr_t v) {
    return reinterpret_cast<void*>(v);
}

using MsdHash = testsupport::SteppedTest;

// Names with bytes above 0x7F (a signed-char slip changes the hash), folded into 2^n buckets.
TEST_F(MsdHash, HashMatchesFnvVectorsAndPython) {
    EXPECT_EQ((std::vector{fnv1b_hash(""), fnv1b_hash("a"), fnv1b_hash("foobar")}),
              (std::vector{0x811C9DC5u, 0xE40C292Cu, 0xBF9CF968u}));
    std::mt19937 rng(3);
    std::vector<std::vector<pyref::bytes>> cases;
    for (int i = 0; i < 50; ++i) {
        pyref::bytes name = pyref::random_bytes(rng, rng() % 40);
        std::replace(name.begin(), name.end(), uint8_t(0), uint8_t(1));
        cases.push_back({name});
    }
    const auto want =
        pyref::map("def f(name):\n"
                   "    h = 0x811C9DC5\n"
                   "    for b in name: h = ((h ^ b) * 16777619) & 0xFFFFFFFF\n"
                   "    return ' '.join('%08x' % ((h ^ (h >> n)) & ((1 << n) - 1)) for n in (0, 5, 31))\n",
                   cases);
    msdhash_table t0{0, nullptr}, t5{5, nullptr}, t31{31, nullptr}; // the hash reads only n
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name(cases[i][0].begin(), cases[i][0].end());
        char got[32];
        std::snprintf(got, sizeof got, "%08x %08x %08x", generate_hash(&t0, name.c_str()),
                      generate_hash(&t5, name.c_str()), generate_hash(&t31, name.c_str()));
        EXPECT_EQ(got, want[i]);
    }
}

// Elements in the caller's storage under the caller's names, as the unit adds them.
TEST_F(MsdHash, LookupsCollisionsDuplicatesAndRefusals) {
    static std::string names[3000];
    static msdhash_element elements[3003];
    for (uint32_t n : {0u, 12u}) {
        msdhash_table* t = makeTable(n);
        for (intptr_t i = 0; i < 3000; ++i)
            ASSERT_EQ(msdhash_addPreAllocElement(t, &elements[i],
                                                 (names[i] = "var" + std::to_string(i)).c_str(), tag(i + 1)),
                      1);
        for (intptr_t i = 0; i < 3000; ++i)
            ASSERT_EQ(msdhash_getElement(t, ("var" + std::to_string(i)).c_str()), tag(i + 1)) << "n " << n;
        EXPECT_EQ(msdhash_getElement(t, "var3000"), nullptr);
    }
    // var27 and var113 share a bucket; a duplicate is accepted but the first keeps answering.
    msdhash_table* t = makeTable(12);
    ASSERT_EQ(generate_hash(t, "var27"), generate_hash(t, "var113"));
    int k = 0;
    for (auto [n, v] : {std::pair{"var113", 113}, {"var27", 27}, {"var27", 270}})
        ASSERT_EQ(msdhash_addPreAllocElement(t, &elements[3000 + k++], n, tag(v)), 1);
    std::vector<void*> got;
    for (const char* n : {"var27", "var113", "Var27"})
        got.push_back(msdhash_getElement(t, n));
    EXPECT_EQ(got, (std::vector<void*>{tag(27), tag(113), nullptr}));
    msdhash_element e;
    EXPECT_EQ(
        (std::vector<bool>{msdhash_createTable(32) == nullptr, msdhash_getElement(t, nullptr) == nullptr,
                           msdhash_getElement(nullptr, "x") == nullptr,
                           msdhash_addPreAllocElement(t, nullptr, "x", nullptr) == 0,
                           msdhash_addPreAllocElement(t, &e, nullptr, nullptr) == 0}),
        std::vector<bool>(5, true));
}

TEST_F(MsdHash, PrintStatShowsTheChainHistogram) {
    // buckets with n = 3: zeta 0; gamma, eta 3; delta 5; alpha, epsilon 6; beta 7
    msdhash_table* t = makeTable(3);
    for (const char* name : {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"})
        ASSERT_EQ(msdhash_addElement(t, name, tag(1)), 1);
    testing::internal::CaptureStdout();
    msdhash_printStat(t);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n\nHash Table Size:\n2^3 (0x8)\n\nElement distribution:\n"), std::string::npos)
        << out;
    EXPECT_NE(
        out.find(
            "\t3         0         0          -> empty hash table entry!\n\t3         1         3         \n"
            "\t2         2         4         \n\t0         3         0         \n"),
        std::string::npos)
        << out;
}

} // namespace
