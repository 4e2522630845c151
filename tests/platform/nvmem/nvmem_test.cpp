#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct NvMem : ::testing::Test {
    std::string dir;
    void SetUp() override {
        kmgr::clearFaults();
        char tmpl[] = "/tmp/vyn_nvmem_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::string err;
        ASSERT_TRUE(nvmem::install(dir, &err)) << err;
    }
    void TearDown() override {
        nvmem::uninstall();
        std::filesystem::remove_all(dir);
    }
    std::string path() const { return dir + "/nvram.img"; }
    bytes file() const {
        std::ifstream in(path(), std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), {});
    }
    static intptr_t persist(const bytes& b, intptr_t off, unsigned call = nvmem::CALL_PERSIST) {
        return kmgr_syscall(call, reinterpret_cast<intptr_t>(b.data()), static_cast<intptr_t>(b.size()), off);
    }
    static intptr_t load(bytes* b, intptr_t off) {
        return kmgr_syscall(nvmem::CALL_LOAD, reinterpret_cast<intptr_t>(b->data()),
                            static_cast<intptr_t>(b->size()), off);
    }
};

TEST_F(NvMem, MissingImageIsAnErasedStore) {
    bytes b(64, 0);
    EXPECT_EQ(load(&b, 0x10000), 0);
    EXPECT_EQ(b, bytes(64, 0xFF));
    EXPECT_FALSE(std::filesystem::exists(path()));

    // The first write makes the whole image, erased around what was written.
    EXPECT_EQ(persist({1, 2, 3}, 0x7FFFD), 0);
    const bytes img = file();
    ASSERT_EQ(img.size(), nvmem::NVMEM_SIZE);
    EXPECT_EQ(bytes(img.end() - 4, img.end()), (bytes{0xFF, 1, 2, 3}));
    EXPECT_EQ(std::count(img.begin(), img.end(), 0xFF), static_cast<long>(nvmem::NVMEM_SIZE - 3));
    EXPECT_FALSE(std::filesystem::exists(path() + ".new"));
}

TEST_F(NvMem, WritesSurviveAReopen) {
    const bytes a = {0xDE, 0xAD, 0xBE, 0xEF}, c = {9, 8, 7, 6, 5};
    EXPECT_EQ(persist(a, 0x10000), 0);
    EXPECT_EQ(persist(c, 0x7EC00, nvmem::CALL_PERSIST_LOWPRIO), 0);
    ASSERT_TRUE(nvmem::install(dir));
    bytes b(6, 0);
    EXPECT_EQ(load(&b, 0xFFFF), 0);
    EXPECT_EQ(b, (bytes{0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0xFF}));
    bytes d(5, 0);
    EXPECT_EQ(load(&d, 0x7EC00), 0);
    EXPECT_EQ(d, c);
}

TEST_F(NvMem, ShortImageIsCompletedWithErasedBytes) {
    { std::ofstream(path(), std::ios::binary) << "abcd"; }
    ASSERT_TRUE(nvmem::install(dir));
    bytes b(8, 0);
    EXPECT_EQ(load(&b, 2), 0);
    EXPECT_EQ(b, (bytes{'c', 'd', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(persist({'x'}, 100), 0);
    const bytes img = file();
    ASSERT_EQ(img.size(), nvmem::NVMEM_SIZE);
    EXPECT_EQ(bytes(img.begin(), img.begin() + 6), (bytes{'a', 'b', 'c', 'd', 0xFF, 0xFF}));
    EXPECT_EQ(img[100], 'x');
}

TEST_F(NvMem, RequestsOutsideTheMemoryFail) {
    bytes b(16, 0);
    EXPECT_EQ(load(&b, static_cast<intptr_t>(nvmem::NVMEM_SIZE) - 8), -1);
    EXPECT_EQ(load(&b, -1), -1);
    EXPECT_EQ(persist(b, static_cast<intptr_t>(nvmem::NVMEM_SIZE) - 15), -1);
    EXPECT_EQ(kmgr_syscall(nvmem::CALL_PERSIST, 0, 4, 0), -1); // no source
    EXPECT_EQ(kmgr_syscall(nvmem::CALL_LOAD, reinterpret_cast<intptr_t>(b.data()), -4, 0), -1);
    EXPECT_FALSE(std::filesystem::exists(path()));
    EXPECT_EQ(persist(b, static_cast<intptr_t>(nvmem::NVMEM_SIZE) - 16), 0);
}

TEST_F(NvMem, TornWriteStoresOnlyItsFirstBytes) {
    const bytes old(10, 0x11), next(10, 0x22);
    ASSERT_EQ(persist(old, 500), 0);
    nvmem::tearNextWrite(4);
    EXPECT_EQ(persist(next, 500), -1);
    bytes b(10, 0);
    ASSERT_TRUE(nvmem::install(dir));
    EXPECT_EQ(load(&b, 500), 0);
    EXPECT_EQ(b, (bytes{0x22, 0x22, 0x22, 0x22, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
    // Only the next write is cut.
    EXPECT_EQ(persist(next, 500), 0);
    EXPECT_EQ(load(&b, 500), 0);
    EXPECT_EQ(b, next);
}

TEST_F(NvMem, UnusableImageFailsTheInstall) {
    std::filesystem::create_directory(path());
    std::string err;
    EXPECT_FALSE(nvmem::install(dir, &err));
    EXPECT_NE(err.find("nvram.img: not a regular file"), std::string::npos) << err;
    bytes b(4, 0);
    EXPECT_EQ(load(&b, 0), -1); // no handler: the calls fail
}

} // namespace
