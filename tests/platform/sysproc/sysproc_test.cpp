#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/sysproc/sysproc.h"
#include "platform/unit_dir.h"
#include "services/syslog/syslog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

syslog_msg_t record(uint32_t priority, const char* task, const char* device, const std::string& text) {
    syslog_msg_t m{};
    m.priority = priority;
    m.time = 1700000000;
    std::snprintf(m.task, sizeof m.task, "%s", task);
    std::snprintf(m.device, sizeof m.device, "%s", device);
    std::snprintf(m.text, sizeof m.text, "%s", text.c_str());
    return m;
}

// Sent as the application sends: header, text and its NUL.
STATUS send(const syslog_msg_t& m) {
    MSG_Q_ID q = msgQOpen("/syslogq", 0, 0, 0, 0);
    return msgQSend(q, &m, 64 + std::strlen(m.text) + 1, NO_WAIT, MSG_PRI_NORMAL);
}

struct SystemProcess : ::testing::Test {
    UnitDir unit;
    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        std::string error;
        ASSERT_TRUE(sysproc::start(unit.path, &error)) << error;
    }
    void TearDown() override { sysproc::stop(); }
};

TEST_F(SystemProcess, CreatesTheObjectsTheApplicationOpens) {
    EXPECT_EQ(shmMap("/shm/ApplComm", 4097, false), nullptr) << "4096 bytes";

    SEM_ID sem = semOpen("/ApplComSem", SEM_TYPE_MUTEX, 0, 0, 0);
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(semTake(sem, NO_WAIT), OK) << "the status block's lock starts free";
    EXPECT_EQ(semTake(sem, NO_WAIT), ERROR);
    EXPECT_EQ(semGive(sem), OK);

    MSG_Q_ID q = msgQOpen("/syslogq", 0, 0, 0, 0);
    ASSERT_NE(q, nullptr);
    char big[265] = {};
    EXPECT_EQ(msgQSend(q, big, 265, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, EINVAL);

    for (const char* name : {"/MeasAppFormat", "/MeasAppFormatAck", "/MeasAppRCTRL_RX", "/MeasAppRCTRL_TX"})
        EXPECT_NE(msgQOpen(name, 0, 0, 0, 0), nullptr) << name;
    EXPECT_NE(semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, 0, 0), nullptr);
}

TEST_F(SystemProcess, EveryRecordBecomesOneLineInBothOutputs) {
    ASSERT_EQ(send(record(147, "7 r_shell", "KVX2_VYN", "Failed to initialize SERAM\n")), OK);
    ASSERT_EQ(send(record(151, "8 t", "KVX2_VYN", "two\nlines\r\n")), OK);
    ASSERT_EQ(send(record(4, "9 t", "", "  spaced  text  ")), OK);
    sysproc::drainLog();
    auto lines = unit.lines("vyn.log");
    EXPECT_EQ(lines,
              (std::vector<std::string>{"147 KVX2_VYN 7 r_shell: Failed to initialize SERAM",
                                        "151 KVX2_VYN 8 t: two\\nlines", "4 - 9 t:   spaced  text  "}));
}

TEST_F(SystemProcess, DrainingWritesEverythingQueuedInOrder) {
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(send(record(150, "1 t", "KVX2_VYN", "line " + std::to_string(i))), OK);
    sysproc::platformLog(147, "KVX2_KMGR", "watchdog", "last");
    std::vector<std::string> want;
    for (int i = 0; i < 1000; ++i)
        want.push_back("150 KVX2_VYN 1 t: line " + std::to_string(i));
    want.push_back("147 KVX2_KMGR watchdog: last");
    EXPECT_EQ(unit.lines("vyn.log"), want);
}

TEST_F(SystemProcess, BaseTickIsGivenEveryTick) {
    SEM_ID tick = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, 0);
    ASSERT_NE(tick, nullptr);
    semTake(tick, NO_WAIT); // whatever earlier ticks left
    std::atomic<int> taken{0};
    TASK_ID t = taskSpawnFn("tTickCount", 21, 0, 0, [&] {
        for (;;) {
            semTake(tick, WAIT_FOREVER);
            taken++;
        }
    });
    sim::waitIdle();
    sim::step(25);
    EXPECT_EQ(taken.load(), 25);
    taskDelete(t);
    sim::waitIdle();
}

TEST_F(SystemProcess, ARestartMovesTheLogAndStopKeepsTheFile) {
    ASSERT_EQ(send(record(150, "1 t", "KVX2_VYN", "first unit")), OK);
    sysproc::stop();
    UnitDir other;
    std::string error;
    ASSERT_TRUE(sysproc::start(other.path, &error)) << error;
    ASSERT_EQ(send(record(150, "1 t", "KVX2_VYN", "second unit")), OK);
    sysproc::drainLog();
    EXPECT_EQ(unit.read("vyn.log"), "150 KVX2_VYN 1 t: first unit\n");
    EXPECT_EQ(other.read("vyn.log"), "150 KVX2_VYN 1 t: second unit\n");
    sysproc::stop();
    ASSERT_TRUE(sysproc::start(unit.path, &error)) << error;
    EXPECT_EQ(unit.read("vyn.log"), "") << "each start begins a fresh log";
}

TEST(SystemProcessRecords, DamagedRecordsStillGiveOneLine) {
    syslog_msg_t m = record(150, "", "", "");
    std::memset(m.task, 'T', sizeof m.task);     // no NUL in the field
    std::memset(m.device, 'D', sizeof m.device); // nor here
    std::memcpy(m.text, "abc", 3);               // text cut by the record length
    EXPECT_EQ(sysproc::formatRecord(&m, 67),
              "150 " + std::string(16, 'D') + " " + std::string(40, 'T') + ": abc");
    EXPECT_EQ(sysproc::formatRecord(&m, 10), "? - -: (log record of 10 bytes, too short)");
}

TEST(SystemProcessStart, FailsWhenTheLogCannotBeWritten) {
    std::string error;
    EXPECT_FALSE(sysproc::start("/nonexistent/unit", &error));
    EXPECT_NE(error.find("/nonexistent/unit/vyn.log"), std::string::npos) << error;
}

} // namespace
