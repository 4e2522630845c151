// The manager's dataset calls over the unit's non-volatile directory.
#include "platform/dataset/dataset.h"
#include "platform/kmgr/kmgr.h"
#include "support/stepped.h"

#include <sys/stat.h>

namespace {

using bytes = std::vector<uint8_t>;

struct Dataset : ::testing::Test {
    testsupport::ScratchDir dir;
    void SetUp() override { ASSERT_TRUE(dataset::install(dir.path)); }
    void TearDown() override { dataset::uninstall(); }
    static auto call(unsigned n, void* b, size_t l) { return kmgr_syscall(n, 1, intptr_t(b), intptr_t(l)); }
};

TEST_F(Dataset, StoreThenLoadAnImageOfExactlyTheAskedSizeAndAFailedStoreKeepsIt) {
    bytes buf(64, 0xAB), image(63);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), buf.size()), -1); // none stored
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(call(KCALL_DATASET_STORE, image.data(), image.size()), 0);
    EXPECT_EQ(dir.read("dataset.img"), std::string(image.begin(), image.end()));
    for (auto [p, n] : {std::pair{buf.data(), size_t{64}}, {nullptr, 63}, {buf.data(), 0}})
        EXPECT_EQ(call(KCALL_DATASET_LOAD, p, n), -1);
    EXPECT_EQ(buf, bytes(64, 0xAB)); // untouched
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), 63), 0);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 63), image);

    std::filesystem::create_directory(dir / "dataset.img.new"); // the new image cannot be written
    EXPECT_EQ(call(KCALL_DATASET_STORE, buf.data(), 32), -1);
    EXPECT_EQ(call(KCALL_DATASET_STORE, nullptr, 32), -1);
    EXPECT_EQ(dir.read("dataset.img"), std::string(image.begin(), image.end()));
}

TEST_F(Dataset, InstallNeedsADirectoryAndNoOtherThanAFileAsTheImage) {
    std::string error;
    // Opening a FIFO would wait for a writer: a load fails at once, and so does the next start.
    ASSERT_EQ(mkfifo((dir / "dataset.img").c_str(), 0644), 0);
    bytes buf(4);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), buf.size()), -1);
    EXPECT_FALSE(dataset::install(dir.path, &error));
    EXPECT_EQ(error, dir / "dataset.img: not a regular file");
    EXPECT_FALSE(dataset::install(dir / "missing", &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos);
    EXPECT_EQ(call(KCALL_DATASET_STORE, buf.data(), buf.size()), -1); // no handler any more
}

} // namespace
