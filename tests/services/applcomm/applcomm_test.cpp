// Status block shared with the system process: its fields, the blink word, flags and CAN states
// turned into errors, and a lock that is gone.
#include "services/applcomm/applcomm.h"
#include "calibration/memory/seram.h"
#include "platform/sysproc/sysproc.h"
#include "support/errors.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>

namespace {

constexpr int USB = 488, SYSTEM = 498, FTP = 485, CAN01 = 423, CAN02 = 424;
using Calls = std::vector<std::pair<int, int>>; // (path, type; 0: cleared) or (CAN node, state)
Calls nodes;                                    // what the CAN driver client was told

struct StatusBlock : testsupport::SteppedTest {
    uint8_t* shm = nullptr;
    SEM_ID sem = nullptr;

    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset();
        applComm_reset();
        testsupport::errors.clear(), nodes.clear();
        applComm_setCanStateSink([](int node, uint8_t state) { nodes.emplace_back(node, state); });
        // What the system process provides.
        shm = static_cast<uint8_t*>(shmMap(APPLCOMM_SHM_NAME, APPLCOMM_SHM_SIZE, true));
        ASSERT_NE(shm, nullptr);
        std::memset(shm, 0, APPLCOMM_SHM_SIZE);
        sem = semOpen(APPLCOMM_SEM_NAME, SEM_TYPE_BINARY, SEM_FULL, SEM_Q_PRIORITY, OM_CREATE);
        ASSERT_NE(sem, nullptr);
        ASSERT_EQ(applComm_ini(), 1); // takes the first copy
    }
    void set(const std::string& field, const std::string& value) {
        std::string error;
        ASSERT_TRUE(sysproc::setStatus(field, value, &error)) << field << ": " << error;
    }
    uint32_t blinkWord() const { return *reinterpret_cast<const uint32_t*>(shm + APPLCOMM_BLINK_OFFSET); }
    void cycles(int n) {
        for (int i = 0; i < n; ++i)
            applComm_10ms();
    }
    // The error manager's sets and clears so far, then forgotten.
    static Calls errors() { return std::exchange(testsupport::errors, {}); }
};

TEST_F(StatusBlock, FieldsReachTheSignalsTheBlinkWordIsWrittenBackAndShutdownIsFinal) {
    set("usb_serial", "0815-ABCD");
    set("cpu_load.1", "37.5");
    set("usb_mediastate", "0x1FF");
    set("fcm_pid", "0x0E");
    applComm_10ms();
    EXPECT_STREQ(usb_serial, "0815-ABCD");
    EXPECT_EQ(std::tuple(int(usb_mediastate), applComm_getUsb_mediastate(), float(cpu_load[1]),
                         applComm_getFuelconsPID()),
              std::tuple(0xFF, 0x1FFu, 37.5f, 14)); // the signal has one byte

    applComm_setBlink(0, 5);
    EXPECT_EQ(blinkWord(), 0u) << "written with the next copy";
    applComm_10ms();
    EXPECT_EQ(blinkWord(), 5u);
    applComm_setBlink(1, 7); // another application's word: refused
    applComm_setBlink(0, APPLCOMM_BLINK_SHUTDOWN);
    applComm_setBlink(0, 5);
    applComm_10ms();
    EXPECT_EQ(blinkWord(), 13u);
}

TEST_F(StatusBlock, FlagsBecomeErrorsOnChangeAndCanStatesAfterFiveSeconds) {
    for (const char* flag : {"usb_media_err", "sys_media_err", "ftp_err"})
        set(flag, "1");
    set("can1_state", "3");
    cycles(3);
    EXPECT_EQ(errors(), (Calls{{USB, 37}, {SYSTEM, 37}, {FTP, 3}})) << "a flag that stays set raises once";
    set("usb_hw_incompatible", "2");
    cycles(496); // 499 cycles of 10 ms so far
    EXPECT_EQ(std::pair(errors(), nodes), std::pair(Calls{{USB, 35}}, Calls{}))
        << "CAN states wait for the start delay";
    applComm_10ms(); // the 500th: five seconds
    EXPECT_EQ(std::pair(errors(), std::exchange(nodes, {})),
              std::pair(Calls{{CAN01, 27}}, Calls{{0, 3}, {1, 0}}))
        << "Busoff";
    cycles(2);
    EXPECT_EQ(std::pair(errors(), nodes.size()), std::pair(Calls{}, size_t{4}))
        << "both node states every cycle";

    for (auto [field, value] : {std::pair{"usb_media_err", "0"} /* the two USB flags share one path */,
                                {"ftp_err", "0"},
                                {"can2_state", "1"},
                                {"", ""},
                                {"can2_state", "5"},
                                {"can1_state", "0"},
                                {"", ""}})
        *field ? set(field, value) : applComm_10ms();
    EXPECT_EQ(errors(), (Calls{{USB, 0}, {FTP, 0}, {CAN02, 25}, {CAN01, 0}, {CAN02, 29}}));

    set("can2_state", "9"); // beyond the table of CAN error types: logged once, not raised
    cycles(3);
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(logged("applComm_10ms: CAN node 2 reports unknown state 9, ignored"));
    set("can2_state", "0");
    applComm_10ms();
    EXPECT_EQ(errors(), (Calls{{CAN02, 0}}));
}

TEST_F(StatusBlock, AFailedSemaphoreTakeDoesNotHangTheShutdownBlink) {
    ASSERT_EQ(semDelete(sem), OK); // the system process's lock is gone under the connection
    // The raster and the shutdown path run in tasks of their own, as in the unit.
    ASSERT_NE(taskSpawnFn("tRaster10", 67, 0, 0, [] { applComm_10ms(); }), TASK_ID_NULL);
    sim::waitIdle();
    EXPECT_TRUE(logged("applComm_10ms: could not take shared memory semaphore ("));
    std::atomic<bool> done{false};
    TASK_ID shutdown = taskSpawnFn("tShutdown", 100, 0, 0, [&done] {
        applComm_setBlink(0, APPLCOMM_BLINK_SHUTDOWN);
        done = true;
    });
    sim::waitIdle();
    EXPECT_TRUE(done) << "the blink pattern waits for an access mutex nobody gives";
    if (!done) taskDelete(shutdown);
}

} // namespace
