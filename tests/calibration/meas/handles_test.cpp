// Measurement handles of every kind: memory, conversion table, channel-function output and
// CCP/XCP-master slot; native and big-endian copies; the error pattern for what does not resolve.
#include "services/rtpman/rtpman.h"
#include "calibration/conv/conv.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/memory/seram.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstring>

#include "calibration/fakes.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint32_t OWN = 0x25000000;
constexpr uint32_t RECORD_INVALID_REQUEST = 481 * 1000 + 34;

struct Handles : testsupport::SteppedTest {
    seramMeasHandle h{};
    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset();
        seramInitializeOffsets();
        conv_reset();
        seramMeas_reset();
        fakes::reset();
        app_pid = 7;
    }
    bytes copy(uint32_t size, bool bigEndian = false) {
        bytes out(size, 0xCC);
        (bigEndian ? seramMeasCopy_bigEndian : seramMeasCopy)(out.data(), size, &h);
        return out;
    }
    void setup(uint32_t address, uint16_t raster = 0) { seramMeasSetupMeas(address, raster, &h); }
    // The handle reads the toggling error pattern, and an invalid request is recorded.
    void expectErrorPattern() {
        EXPECT_EQ(
            std::tuple(h.kind, h.source, h.channel),
            std::tuple(uint32_t{SERAM_MEAS_MEMORY}, reinterpret_cast<uintptr_t>(seramErrorToggle), nullptr));
        EXPECT_EQ(fakes::errorsSet, std::vector<int>{RECORD_INVALID_REQUEST});
        fakes::errorsSet.clear();
    }
};

TEST_F(Handles, MemoryValuesInBothByteOrdersUpToTheBlockEndThenTheFlippingErrorPattern) {
    // Native values packed by Python's struct, read back in both orders.
    const auto ref = pyref::map(
        "import struct\nv = (-1234.5625, 3.25, 0xBEEF, 0xDEADBEEF)\n"
        "def f(b): return struct.pack('=dfHxxI', *v).hex() + ' ' + struct.pack('>dfHI', *v).hex()\n",
        {{bytes{}}});
    const bytes native = pyref::unhex(ref[0].substr(0, 40));
    std::memcpy(seram_memory + 0x40100, native.data(), native.size());
    std::string got;
    for (auto [addr, size] : {std::pair{0x40100u, 8u}, {0x40108u, 4u}, {0x4010Cu, 2u}, {0x40110u, 4u}}) {
        setup(OWN | addr);
        ASSERT_EQ(h.kind, SERAM_MEAS_MEMORY);
        EXPECT_EQ(seramMeasGetAddr(&h), reinterpret_cast<uintptr_t>(seram_memory + addr));
        got += pyref::hex(copy(size, true));
    }
    EXPECT_EQ(pyref::hex(native) + " " + got, ref[0]);

    // Sizes other than 2, 4 and 8 keep their order.
    setup(OWN | 0x40100);
    EXPECT_EQ(copy(3, true), bytes(seram_memory + 0x40100, seram_memory + 0x40103));
    EXPECT_EQ(seramMeasGetLatency(&h), 0);

    // The block's end is the last accepted address.
    std::memset(seram_memory + 0x5FFFC, 0x5A, 4);
    setup(OWN | 0x5FFFC);
    EXPECT_EQ(copy(8), (bytes{0x5A, 0x5A, 0x5A, 0x5A, 0, 0, 0, 0})); // the zeroed tail behind the block
    setup(OWN | 0x60000);
    EXPECT_EQ(copy(252), bytes(252, 0)); // a DAQ entry at the very end stays in memory
    EXPECT_TRUE(fakes::errorsSet.empty());
    setup(OWN | 0x60001);
    expectErrorPattern();
    setup(OWN | 0x7C0200, 3); // a channel function that does not exist
    expectErrorPattern();     // flipping once a second
    EXPECT_EQ(copy(4), bytes(4, 0));
    seram_1s();
    EXPECT_EQ(copy(252), bytes(252, 0x7F));
    seram_1s();
    EXPECT_EQ(copy(8), bytes(8, 0));
}

TEST_F(Handles, ChannelFunctionOutputsAndMasterSlotsComeBeforeMemory) {
    const float v = 12.5f;
    std::memcpy(fakes::channelValue, &v, 4);
    setup(0x07000000 | fakes::channelVcId, 3);
    ASSERT_EQ(std::pair(h.kind, fakes::channelSetups.size()),
              std::pair(uint32_t{SERAM_MEAS_CHANNEL}, size_t{1}));
    // Set up without the owner PID.
    EXPECT_EQ(
        std::tuple(fakes::channelSetups[0].vcId, fakes::channelSetups[0].raster, seramMeasGetLatency(&h)),
        std::tuple(fakes::channelVcId, uint16_t{3}, 7));
    EXPECT_EQ(copy(4), bytes(fakes::channelValue, fakes::channelValue + 4));
    seramMeasFreeMeas(&h);
    seramMeasFreeMeas(&h); // freed once only
    EXPECT_EQ(h.kind, 0u);
    EXPECT_EQ(fakes::channelShutdowns.size(), 1u);
    EXPECT_TRUE(fakes::errorsSet.empty());

    // Classes 28, 29 and 31 lie below 0x800000 but are never calibration memory.
    setup(OWN | (29u << 18) | 3); // CCP master slot 3
    EXPECT_EQ(h.source, reinterpret_cast<uintptr_t>(&fakes::masterSlot[0]));
    setup(OWN | (28u << 18) | 5); // XCP master slot 5
    fakes::masterSlot[1] = 0x01020304;
    EXPECT_EQ(copy(4, true), (bytes{1, 2, 3, 4}));
    EXPECT_TRUE(fakes::errorsSet.empty());
    setup(OWN | (28u << 18) | 6); // no such master channel
    expectErrorPattern();
}

TEST_F(Handles, ConversionTableEntriesAndBlockAddressesAsMeasAddresses) {
    static int16_t signal = -7;
    static convEntry_t entries[] = {{&signal, 0, CONV_S16, CONV_F32}};
    static const uint32_t count = 1;
    static const convRule_t rules[] = {{0.5f, 1.0f}};
    convTable_t table{entries, &count, rules};
    ASSERT_TRUE(convRegisterVirtualMeasTable(2, &table));
    setup(OWN | 0xA00000); // page 2, entry 0
    float out;
    seramMeasCopy(&out, 4, &h);
    seramMeasFreeMeas(&h); // nothing to free
    EXPECT_EQ(std::pair(h.kind, out), std::pair(uint32_t{SERAM_MEAS_CONV}, -2.5f));
    setup(OWN | 0xA00001); // index == count
    expectErrorPattern();

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
