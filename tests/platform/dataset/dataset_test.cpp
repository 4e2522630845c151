// The manager's dataset calls over the unit's non-volatile directory.
#include "platform/dataset/dataset.h"
#include "platform/kmgr/kmgr.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using bytes = std::vector<uint8_t>;

intptr_t call(unsigned number, void* buf, size_t len) {
    return kmgr_syscall(number, 1, reinterpret_cast<intptr_t>(buf), static_cast<intptr_t>(len));
}

struct Dataset : ::testing::Test {
    UnitDir dir;
    void SetUp() override { ASSERT_TRUE(dataset::install(dir.path)); }
    void TearDown() override { dataset::uninstall(); }
};

TEST_F(Dataset, StoreThenLoadAnImageOfExactlyTheAskedSize) {
    bytes buf(64, 0xAB), image(63);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), buf.size()), -1); // none stored
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(call(KCALL_DATASET_STORE, image.data(), image.size()), 0);
    EXPECT_EQ(dataset::imagePath(), dir.path + "/dataset.img");
    EXPECT_EQ(dir.read("dataset.img"), std::string(image.begin(), image.end()));
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), buf.size()), -1);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, nullptr, 63), -1);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), 0), -1);
    EXPECT_EQ(buf, bytes(64, 0xAB)); // untouched
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), 63), 0);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 63), image);
}

TEST_F(Dataset, FailedStoreKeepsTheOldImage) {
    bytes old(32, 5), fresh(32, 6);
    ASSERT_TRUE(dataset::writeImage(dir.path, old.data(), old.size()));
    std::filesystem::create_directory(dir.path + "/dataset.img.new"); // the new image cannot be written
    EXPECT_EQ(call(KCALL_DATASET_STORE, fresh.data(), fresh.size()), -1);
    EXPECT_EQ(dir.read("dataset.img"), std::string(old.begin(), old.end()));
    EXPECT_EQ(call(KCALL_DATASET_STORE, nullptr, 32), -1);
}

TEST_F(Dataset, InstallNeedsADirectoryAndNoOtherThanAFileAsTheImage) {
    std::string error;
    // Opening a FIFO would wait for a writer: a load fails at once, and so does the next start.
    ASSERT_EQ(mkfifo((dir.path + "/dataset.img").c_str(), 0644), 0);
    bytes buf(4);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), buf.size()), -1);
    EXPECT_FALSE(dataset::install(dir.path, &error));
    EXPECT_EQ(error, dir.path + "/dataset.img: not a regular file");
    std::filesystem::remove(dir.path + "/dataset.img");
    EXPECT_FALSE(dataset::install(dir.path + "/missing", &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos);
    EXPECT_EQ(call(KCALL_DATASET_LOAD, buf.data(), buf.size()), -1); // no handler any more
    EXPECT_FALSE(dataset::writeImage(dir.path + "/missing", buf.data(), buf.size()));
    ASSERT_TRUE(dataset::install(dir.path));
    dataset::uninstall();
    EXPECT_EQ(call(KCALL_DATASET_STORE, buf.data(), buf.size()), -1);
}

} // namespace
