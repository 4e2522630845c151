// Measurement handles of every kind: memory, conversion table, channel-function output and
// CCP/XCP-master slot; native and big-endian copies; the error pattern for what does not resolve.
#include "services/rtpman/rtpman.h"
#include "calibration/conv/conv.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/memory/seram.h"
#include "support/logcapture.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstring>

#include "calibration/fakes.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint32_t OWN = 0x25000000;
constexpr uint32_t RECORD_INVALID_REQUEST = 481 * 1000 + 34;

struct Handles : ::testing::Test {
    std::vector<testsupport::LogLine> seen;
    seramMeasHandle h{};
    void SetUp() override {
        testsupport::logStart();
        seram_reset();
        seramInitializeOffsets();
        conv_reset();
        seramMeas_reset();
        fakes::reset();
        app_pid = 7;
    }
    bool logged(const std::string& text) { return testsupport::logContains(seen, text); }
    bytes copy(uint32_t size, bool bigEndian = false) {
        bytes out(size, 0xCC);
        (bigEndian ? seramMeasCopy_bigEndian : seramMeasCopy)(out.data(), size, &h);
        return out;
    }
    void setup(uint32_t address, uint16_t raster = 0) { seramMeasSetupMeas(address, raster, &h); }
    void expectErrorPattern(uint32_t address) {
        EXPECT_EQ(
            std::tuple(h.kind, h.source, h.channel),
            std::tuple(uint32_t{SERAM_MEAS_MEMORY}, reinterpret_cast<uintptr_t>(seramErrorToggle), nullptr));
        char text[80];
        std::snprintf(text, sizeof text, "seramMeasSetupMeas(): Address: 0x%x outside seram range", address);
        EXPECT_TRUE(logged(text)) << text;
        EXPECT_EQ(fakes::errorsSet, std::vector<int>{RECORD_INVALID_REQUEST});
        fakes::errorsSet.clear();
    }
};

TEST_F(Handles, MemoryValuesInBothByteOrders) {
    const double d = -1234.5625;
    const float f = 3.25f;
    const uint16_t u16 = 0xBEEF;
    const uint32_t u32 = 0xDEADBEEF;
    std::memcpy(seram_memory + 0x40100, &d, 8);
    std::memcpy(seram_memory + 0x40108, &f, 4);
    std::memcpy(seram_memory + 0x4010C, &u16, 2);
    std::memcpy(seram_memory + 0x40110, &u32, 4);
    const auto be =
        pyref::map("import struct\n"
                   "def f(b): return struct.pack('>dfHI', -1234.5625, 3.25, 0xBEEF, 0xDEADBEEF).hex()\n",
                   {{bytes{}}});
    std::string got;
    for (auto [addr, size] : {std::pair{0x40100u, 8u}, {0x40108u, 4u}, {0x4010Cu, 2u}, {0x40110u, 4u}}) {
        setup(OWN | addr);
        ASSERT_EQ(h.kind, SERAM_MEAS_MEMORY);
        EXPECT_EQ(seramMeasGetAddr(&h), reinterpret_cast<uintptr_t>(seram_memory + addr));
        EXPECT_EQ(copy(size), bytes(seram_memory + addr, seram_memory + addr + size));
        got += pyref::hex(copy(size, true));
    }
    EXPECT_EQ(got, be[0]);

    // Sizes other than 2, 4 and 8 keep their order.
    setup(OWN | 0x40100);
    EXPECT_EQ(copy(3, true), bytes(seram_memory + 0x40100, seram_memory + 0x40103));
    EXPECT_TRUE(fakes::errorsSet.empty());
    EXPECT_EQ(seramMeasGetLatency(&h), 0);
}

TEST_F(Handles, BlockEndIsTheLastAcceptedAddress) {
    std::memset(seram_memory + 0x5FFFC, 0x5A, 4);
    setup(OWN | 0x5FFFC);
    EXPECT_EQ(copy(8), (bytes{0x5A, 0x5A, 0x5A, 0x5A, 0, 0, 0, 0})); // the zeroed tail behind the block
    setup(OWN | 0x60000);
    EXPECT_EQ(h.source, reinterpret_cast<uintptr_t>(seram_memory + 0x60000));
    EXPECT_EQ(copy(252), bytes(252, 0)); // a DAQ entry at the very end stays in memory
    EXPECT_TRUE(fakes::errorsSet.empty());
    setup(OWN | 0x60001);
    expectErrorPattern(OWN | 0x60001);
}

TEST_F(Handles, ErrorPatternFlipsOnceASecond) {
    setup(OWN | 0x7C0200, 3); // a channel function that does not exist
    expectErrorPattern(OWN | 0x7C0200);
    EXPECT_EQ(copy(4), bytes(4, 0));
    seram_1s();
    EXPECT_EQ(copy(252), bytes(252, 0x7F));
    EXPECT_EQ(copy(4, true), bytes(4, 0x7F));
    seram_1s();
    EXPECT_EQ(copy(8), bytes(8, 0));
}

TEST_F(Handles, ChannelFunctionOutputs) {
    const float v = 12.5f;
    std::memcpy(fakes::channelValue, &v, 4);
    setup(0x07000000 | fakes::channelVcId, 3);
    ASSERT_EQ(h.kind, SERAM_MEAS_CHANNEL);
    ASSERT_EQ(fakes::channelSetups.size(), 1u);
    // without the owner PID
    EXPECT_EQ(std::pair(fakes::channelSetups[0].vcId, fakes::channelSetups[0].raster),
              std::pair(fakes::channelVcId, uint16_t{3}));
    EXPECT_EQ(seramMeasGetAddr(&h), reinterpret_cast<uintptr_t>(fakes::channelValue));
    EXPECT_EQ(copy(4), bytes(fakes::channelValue, fakes::channelValue + 4));
    EXPECT_EQ(seramMeasGetLatency(&h), 7);
    seramMeasFreeMeas(&h);
    EXPECT_EQ(h.kind, 0u);
    EXPECT_EQ(fakes::channelShutdowns.size(), 1u);
    seramMeasFreeMeas(&h); // freed once only
    EXPECT_EQ(fakes::channelShutdowns.size(), 1u);
    EXPECT_TRUE(fakes::errorsSet.empty());
}

TEST_F(Handles, ClassComesBeforeMemory) {
    // Classes 28, 29 and 31 lie below 0x800000 but are never calibration memory.
    setup(OWN | (29u << 18) | 3); // CCP master slot 3
    EXPECT_EQ(h.source, reinterpret_cast<uintptr_t>(&fakes::masterSlot[0]));
    setup(OWN | (28u << 18) | 5); // XCP master slot 5
    EXPECT_EQ(h.source, reinterpret_cast<uintptr_t>(&fakes::masterSlot[1]));
    fakes::masterSlot[1] = 0x01020304;
    EXPECT_EQ(copy(4, true), (bytes{1, 2, 3, 4}));
    EXPECT_TRUE(fakes::errorsSet.empty());
    setup(OWN | (28u << 18) | 6); // no such master channel
    expectErrorPattern(OWN | (28u << 18) | 6);
}

TEST_F(Handles, ConversionTableEntries) {
    static int16_t signal = -7;
    static convEntry_t entries[] = {{&signal, 0, CONV_S16, CONV_F32}};
    static const uint32_t count = 1;
    static const convRule_t rules[] = {{0.5f, 1.0f}};
    convTable_t table{entries, &count, rules};
    ASSERT_TRUE(convRegisterVirtualMeasTable(2, &table));
    setup(OWN | 0xA00000); // page 2, entry 0
    EXPECT_EQ(std::pair(h.kind, h.source), std::pair(uint32_t{SERAM_MEAS_CONV}, uintptr_t{0xA00000}));
    float out;
    seramMeasCopy(&out, 4, &h);
    EXPECT_EQ(out, -2.5f);
    EXPECT_EQ(seramMeasGetLatency(&h), 0);
    seramMeasFreeMeas(&h); // nothing to free
    EXPECT_EQ(h.kind, SERAM_MEAS_CONV);
    setup(OWN | 0xA00001); // index == count
    EXPECT_TRUE(logged("conversion_checkadr(): Virtual address does not exist, measuring 0xA00001"));
    expectErrorPattern(OWN | 0xA00001);
}

TEST_F(Handles, BlockAddressesAsMeasAddresses) {
    EXPECT_EQ(seramConvertAddr2SeramAddr(seram_memory + 0x41740), 0x07041740u);
    app_pid = 0x125; // only the low byte is a PID
    EXPECT_EQ(seramConvertAddr2SeramAddr(seram_memory), 0x25000000u);
    EXPECT_EQ(seramConvertAddr2SeramAddr(seram_memory + SERAM_BLOCK_SIZE), 0u);
    EXPECT_EQ(seramConvertAddr2SeramAddr(
                  reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(seram_memory) - 1)),
              0u);
    int local;
    EXPECT_EQ(seramConvertAddr2SeramAddr(&local), 0u);
}

} // namespace
