#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;

struct NvMem : ::testing::Test {
    UnitDir dir;
    const std::string path = dir.path + "/nvram.img";
    void SetUp() override {
        kmgr::clearFaults();
        std::string err;
        ASSERT_TRUE(nvmem::install(dir.path, &err)) << err;
    }
    void TearDown() override { nvmem::uninstall(); }
    bytes file() const {
        const std::string s = dir.read("nvram.img");
        return bytes(s.begin(), s.end());
    }
    static intptr_t persist(const bytes& b, intptr_t off, unsigned call = KCALL_NVRAM_PERSIST) {
        return kmgr_syscall(call, reinterpret_cast<intptr_t>(b.data()), static_cast<intptr_t>(b.size()), off);
    }
    // `n` bytes at `off`, or {} when the load fails.
    static bytes load(size_t n, intptr_t off) {
        bytes b(n, 0);
        const intptr_t r = kmgr_syscall(KCALL_NVRAM_LOAD, reinterpret_cast<intptr_t>(b.data()), n, off);
        return r == 0 ? b : bytes{};
    }
};

TEST_F(NvMem, MissingImageIsAnErasedStoreWrittenWhole) {
    EXPECT_EQ(load(64, 0x10000), bytes(64, 0xFF));
    EXPECT_FALSE(std::filesystem::exists(path));
    // The first write makes the whole image, erased around what was written.
    EXPECT_EQ(persist({1, 2, 3}, 0x7FFFD), 0);
    const bytes img = file();
    ASSERT_EQ(img.size(), nvmem::NVMEM_SIZE);
    EXPECT_EQ(bytes(img.end() - 4, img.end()), (bytes{0xFF, 1, 2, 3}));
    EXPECT_EQ(std::count(img.begin(), img.end(), 0xFF), static_cast<long>(nvmem::NVMEM_SIZE - 3));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    // Both kinds of write survive a reopen.
    EXPECT_EQ(persist({0xDE, 0xAD, 0xBE, 0xEF}, 0x10000), 0);
    EXPECT_EQ(persist({9, 8, 7, 6, 5}, 0x7EC00, KCALL_NVRAM_PERSIST_LOWPRIO), 0);
    ASSERT_TRUE(nvmem::install(dir.path));
    EXPECT_EQ(load(6, 0xFFFF), (bytes{0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0xFF}));
    EXPECT_EQ(load(5, 0x7EC00), (bytes{9, 8, 7, 6, 5}));
}

TEST_F(NvMem, ShortImageIsCompletedWithErasedBytes) {
    dir.write("nvram.img", "abcd");
    ASSERT_TRUE(nvmem::install(dir.path));
    EXPECT_EQ(load(8, 2), (bytes{'c', 'd', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(persist({'x'}, 100), 0);
    const bytes img = file();
    ASSERT_EQ(img.size(), nvmem::NVMEM_SIZE);
    EXPECT_EQ(bytes(img.begin(), img.begin() + 6), (bytes{'a', 'b', 'c', 'd', 0xFF, 0xFF}));
    EXPECT_EQ(img[100], 'x');
}

TEST_F(NvMem, RequestsOutsideTheMemoryFail) {
    const bytes b(16, 0);
    EXPECT_EQ(load(16, static_cast<intptr_t>(nvmem::NVMEM_SIZE) - 8), bytes{});
    EXPECT_EQ(load(16, -1), bytes{});
    EXPECT_EQ(persist(b, static_cast<intptr_t>(nvmem::NVMEM_SIZE) - 15), -1);
    EXPECT_EQ(kmgr_syscall(KCALL_NVRAM_PERSIST, 0, 4, 0), -1); // no source
    EXPECT_EQ(kmgr_syscall(KCALL_NVRAM_LOAD, reinterpret_cast<intptr_t>(b.data()), -4, 0), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(persist(b, static_cast<intptr_t>(nvmem::NVMEM_SIZE) - 16), 0);
}

TEST_F(NvMem, TornWriteStoresOnlyItsFirstBytes) {
    const bytes next(10, 0x22);
    ASSERT_EQ(persist(bytes(10, 0x11), 500), 0);
    nvmem::tearNextWrite(4);
    EXPECT_EQ(persist(next, 500), -1);
    ASSERT_TRUE(nvmem::install(dir.path));
    EXPECT_EQ(load(10, 500), (bytes{0x22, 0x22, 0x22, 0x22, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
    // Only the next write is cut.
    EXPECT_EQ(persist(next, 500), 0);
    EXPECT_EQ(load(10, 500), next);
}

TEST_F(NvMem, UnusableImageFailsTheInstall) {
    std::filesystem::create_directory(path);
    std::string err;
    EXPECT_FALSE(nvmem::install(dir.path, &err));
    EXPECT_NE(err.find("nvram.img: not a regular file"), std::string::npos) << err;
    EXPECT_EQ(load(4, 0), bytes{}); // no handler: the calls fail
}

} // namespace
