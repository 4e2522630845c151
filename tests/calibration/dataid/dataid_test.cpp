// The include list: the complement of the exclusions within the dataset payload.
#include "calibration/block/block.h"
#include "calibration/dataid/dataid.h"
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

} // namespace
