#include "platform/kmgr/kmgr.h"
#include "platform/nvmem/nvmem.h"
#include "support/stepped.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr intptr_t SIZE = 512 * 1024; // the unit's non-volatile memory

struct NvMem : ::testing::Test {
    testsupport::ScratchDir dir;
    void SetUp() override { ASSERT_TRUE(nvmem::install(dir.path)); }
    void TearDown() override { nvmem::uninstall(); }
    static intptr_t persist(const bytes& b, intptr_t off, unsigned call = KCALL_NVRAM_PERSIST) {
        return kmgr_syscall(call, reinterpret_cast<intptr_t>(b.data()), static_cast<intptr_t>(b.size()), off);
    }
    // `n` bytes at `off`, or {} when the load fails.
    static bytes load(size_t n, intptr_t off) {
        bytes b(n, 0);
        return kmgr_syscall(KCALL_NVRAM_LOAD, reinterpret_cast<intptr_t>(b.data()), n, off) ? bytes{} : b;
    }
};

TEST_F(NvMem, ImagesAreErasedAndWrittenWholeAndRequestsOutsideOrTornOrOnANonFileFail) {
    EXPECT_EQ(load(64, 0x10000), bytes(64, 0xFF));
    EXPECT_EQ(persist({1, 2, 3}, SIZE - 3), 0); // the first write makes the whole image, erased around it
    EXPECT_EQ(dir.read("nvram.img"), std::string(SIZE - 3, '\xFF') + "\x01\x02\x03");
    EXPECT_EQ(persist({9, 8, 7, 6, 5}, 0x7EC00, KCALL_NVRAM_PERSIST_LOWPRIO), 0);
    ASSERT_TRUE(nvmem::install(dir.path)); // both kinds of write survive a reopen
    EXPECT_EQ(load(6, 0x7EBFF), (bytes{0xFF, 9, 8, 7, 6, 5}));

    dir.write("nvram.img", "abcd");
    ASSERT_TRUE(nvmem::install(dir.path));
    EXPECT_EQ(load(4, 2), (bytes{'c', 'd', 0xFF, 0xFF}));
    EXPECT_EQ(persist({'x'}, 5), 0);
    EXPECT_EQ(dir.read("nvram.img"), "abcd\xFFx" + std::string(SIZE - 6, '\xFF'));

    const bytes b(16, 0x22);
    for (intptr_t r : {intptr_t(load(16, SIZE - 8).empty()), intptr_t(load(16, -1).empty()),
                       persist(b, SIZE - 15), kmgr_syscall(KCALL_NVRAM_PERSIST, 0, 4, 0),
                       kmgr_syscall(KCALL_NVRAM_LOAD, intptr_t(b.data()), -4, 0)})
        EXPECT_NE(r, 0);
    EXPECT_EQ(persist(b, SIZE - 16), 0);

    ASSERT_EQ(persist(bytes(10, 0x11), 500), 0);
    nvmem::tearNextWrite(4);
    EXPECT_EQ(persist(b, 500), -1);
    ASSERT_TRUE(nvmem::install(dir.path));
    EXPECT_EQ(load(10, 500), (bytes{0x22, 0x22, 0x22, 0x22, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
    EXPECT_EQ(persist(b, 500), 0); // only the next write is cut

    // An image that is not a file fails the install; without the handlers the calls fail.
    std::filesystem::remove(dir / "nvram.img");
    std::filesystem::create_directory(dir / "nvram.img");
    std::string err;
    EXPECT_FALSE(nvmem::install(dir.path, &err));
    EXPECT_NE(err.find("nvram.img: not a regular file"), std::string::npos) << err;
    EXPECT_EQ(load(4, 0), bytes{});
}

} // namespace
