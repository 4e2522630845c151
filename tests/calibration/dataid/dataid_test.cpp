// The include list: the complement of the exclusions within the dataset payload; the Data ID
// and the keyed digests against Python's hashlib.
#include "calibration/block/block.h"
#include "calibration/dataid/dataid.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <vector>

namespace {

using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;

struct DataId : testsupport::SteppedTest {
    Ranges includes(const Ranges& excludes) {
        seramTamperProofReset();
        for (auto [offset, length] : excludes)
            seramTamperProofAddEntry(length, SERAM_REFPAGE + offset);
        seramTamperProofGenerateIncludeList();
        const DataIdRange* list;
        Ranges out;
        for (size_t i = 0, n = seramTamperProofIncludes(&list); i < n; ++i)
            out.emplace_back(list[i].offset, list[i].length);
        return out;
    }
    void TearDown() override { seramTamperProofReset(); }
};

TEST_F(DataId, IncludesAreTheComplementOfTheExclusions) {
    const uint32_t end = 0x1E288; // the dataset payload
    EXPECT_EQ(includes({{0x100, 0x10}, {0x80, 0x20}}),
              (Ranges{{0, 0x80}, {0xA0, 0x60}, {0x110, end - 0x110}}));
    // an exclusion inside the one before must not bring excluded bytes back
    EXPECT_EQ(includes({{0x100, 0x100}, {0x120, 0x10}}), (Ranges{{0, 0x100}, {0x200, end - 0x200}}));
    EXPECT_EQ(includes({}), (Ranges{{0, end}}));
    EXPECT_FALSE(seramTamperProofListError());
    for (Ranges refused : {Ranges{{0x40, 0}}, Ranges{{SERAM_REFPAGE_SIZE - 4, 8}}}) {
        EXPECT_EQ(includes(refused), (Ranges{{0, end}}));
        EXPECT_TRUE(seramTamperProofListError());
    }
}

TEST_F(DataId, SecretDigestsTheIncludedBytesAndTheKeyedTaskDigestsItsHexadecimal) {
    uint8_t* page = seram_memory + SERAM_REFPAGE + seramActiveOffset;
    for (uint32_t i = 0; i < SERAM_DATASET_SIZE; ++i)
        page[i] = static_cast<uint8_t>(i ^ ((i >> 8) * 31));
    includes({{0x100, 0x10}, {0x80, 0x20}});
    uint32_t id[5] = {1, 1, 1, 1, 1};
    const auto shown = [&id] {
        char text[48];
        std::snprintf(text, sizeof text, "%08X-%08X-%08X-%08X-%08X", id[0], id[1], id[2], id[3], id[4]);
        return std::string(text);
    };
    ASSERT_EQ(seramTamperProofGetDataID(id), 0);
    EXPECT_EQ(shown(), "00000000-00000000-00000000-00000000-00000000") << "no secret yet";
    seramTamperProofSetSecret(6, reinterpret_cast<const uint8_t*>("s3cret"));
    seramTamperProofSetSecret(3, reinterpret_cast<const uint8_t*>("abc"));
    EXPECT_TRUE(logged("Call to seramTamperProofSetSecret can only be made once!"));
    ASSERT_EQ(seramTamperProofGetDataID(id), 0);
    ASSERT_EQ(seramTamperProofRunCalculation(0x01020304, 0) + seramTamperProofRunCalculation(0, 0), 0);
    sim::waitIdle();
    uint8_t keyed[2][20];
    EXPECT_EQ(seramTamperProofKeyed(keyed), 1u);
    sim::step(1000);
    EXPECT_EQ(seramTamperProofKeyed(keyed), 2u) << "a pass a second, one task";
    // Left out: the two exclusions and the 16 bytes of ENGID (at 0x10010 of the page).
    const auto ref = pyref::map(R"(
import hashlib
def f(_):
    page = bytes((i ^ ((i >> 8) * 31)) & 0xFF for i in range(0x1E288))
    cut = [(0x80, 0xA0), (0x100, 0x110), (0x10010, 0x10020)]
    kept = b''.join(page[a:b] for a, b in zip([0] + [e for _, e in cut], [s for s, _ in cut] + [len(page)]))
    d = hashlib.sha1(kept).digest()
    words = [d[i:i + 4][::-1].hex().upper() for i in range(0, 20, 4)]
    key = b's3cret' + bytes([1, 2, 3, 4])
    text = ''.join(words).encode()
    return ' '.join(['-'.join(words), hashlib.sha1(text + key).hexdigest(), hashlib.sha1(text[:16] + key).hexdigest()])
)",
                                {{{0}}});
    EXPECT_EQ(shown() + " " + pyref::hex(keyed[0], 20) + " " + pyref::hex(keyed[1], 20), ref.at(0));
}

} // namespace
