// The system process: the objects the application opens, the log it writes, the status block.
#include "platform/sysproc/sysproc.h"
#include "support/stepped.h"

#include <cerrno>
#include <array>
#include <cstring>

namespace {

using testsupport::ScratchDir;

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
    return msgQSend(msgQOpen("/syslogq", 0, 0, 0, 0), &m, 64 + std::strlen(m.text) + 1, NO_WAIT,
                    MSG_PRI_NORMAL);
}

struct SystemProcess : testsupport::SteppedTest {
    ScratchDir unit;
    void SetUp() override {
        SteppedTest::SetUp();
        ASSERT_TRUE(sysproc::start(unit.path, &error)) << error;
    }
    void TearDown() override { sysproc::stop(); }
    std::string error;
    bool set(const std::string& f, const std::string& v) { return sysproc::setStatus(f, v, &error); }
    std::string get(const std::string& f) {
        std::string v;
        return sysproc::getStatus(f, &v, &error) ? v : "error: " + error;
    }
};

TEST_F(SystemProcess, CreatesTheObjectsTheApplicationOpensAtTheirSizes) {
    EXPECT_EQ(shmMap("/shm/ApplComm", 4097, false), nullptr) << "4096 bytes";
    char big[265] = {};
    EXPECT_EQ(msgQSend(msgQOpen("/syslogq", 0, 0, 0, 0), big, 265, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, EINVAL);
}

// The rasters of the unit count on it: a tick left out would hold a 1 ms pass back by a tick.
TEST_F(SystemProcess, GivesTheBaseTickOnEveryTick) {
    SEM_ID tick = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, 0);
    semTake(tick, NO_WAIT); // whatever earlier ticks left
    std::atomic<int> taken{0};
    TASK_ID t = taskSpawnFn("tTickCount", 21, 0, 0, [&] {
        for (;;)
            semTake(tick, WAIT_FOREVER), taken++;
    });
    sim::waitIdle();
    sim::step(25);
    EXPECT_EQ(taken.load(), 25) << "given every tick to a running task";
    taskDelete(t);
    sim::waitIdle();
}

TEST_F(SystemProcess, EveryRecordBecomesOneLineInOrder) {
    ASSERT_EQ(send(record(147, "7 r_shell", "KVX2_VYN", "Failed to initialize SERAM\n")), OK);
    ASSERT_EQ(send(record(151, "8 t", "KVX2_VYN", "two\nlines\r\n")), OK);
    ASSERT_EQ(send(record(4, "9 t", "", "  spaced  text  ")), OK);
    std::string want = "147 KVX2_VYN 7 r_shell: Failed to initialize SERAM\n151 KVX2_VYN 8 t: two\\nlines\n"
                       "4 - 9 t:   spaced  text  \n";
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(send(record(150, "1 t", "KVX2_VYN", "line " + std::to_string(i))), OK);
        want += "150 KVX2_VYN 1 t: line " + std::to_string(i) + "\n";
    }
    sysproc::platformLog(147, "KVX2_KMGR", "watchdog", "last");
    EXPECT_EQ(unit.read("vyn.log"), want + "147 KVX2_KMGR watchdog: last\n");

    sysproc::stop();
    EXPECT_FALSE(sysproc::start("/nonexistent/unit", &error));
    EXPECT_NE(error.find("/nonexistent/unit/vyn.log"), std::string::npos) << error;
    // Damaged records still give one line.
    syslog_msg_t m = record(150, "", "", "");
    std::memset(m.task, 'T', sizeof m.task);     // no NUL in the field
    std::memset(m.device, 'D', sizeof m.device); // nor here
    std::memcpy(m.text, "abc", 3);               // text cut by the record length
    EXPECT_EQ(sysproc::formatRecord(&m, 67),
              "150 " + std::string(16, 'D') + " " + std::string(40, 'T') + ": abc");
    EXPECT_EQ(sysproc::formatRecord(&m, 10), "? - -: (log record of 10 bytes, too short)");
}

TEST_F(SystemProcess, StatusFieldsLandAtTheirOffsetsLittleEndianAndBadValuesChangeNothing) {
    auto* block = static_cast<uint8_t*>(shmMap(sysproc::APPLCOMM_SHM, sysproc::APPLCOMM_SIZE, false));
    ASSERT_NE(block, nullptr);
    // The block's layout as the application reads it: name, offset, size (0: a float).
    std::istringstream layout(
        "usb_portsc1 0 4 usb_reset_mask 38 2 usb_phy_linestate 40 1 usb_mediastate 64 4 "
        "usb_errcnt 68 2 sys_media_err 70 1 ftp_err 75 1 prf_mon_meas_tid.3 120 4 "
        "ftp_UserLoggedIn 140 4 card_part2_size 152 4 ltm_pid 156 1 fcm_pid 157 1 "
        "cpu_load.0 76 0 cpu_load.1 80 0 cpu_load_10ms.1 88 0 cpu_load_100ms.0 92 0 "
        "cpu_task_load.3 136 0");
    std::string name;
    for (size_t offset, size; layout >> name >> offset >> size;) {
        std::memset(block, 0, 164);
        const uint32_t value =
            std::array<uint32_t, 5>{0x41480000 /* 12.5f */, 0xA5, 0xA55A, 0, 0xA55A1234}[size];
        const std::string text = size ? std::to_string(value) : "12.5";
        ASSERT_TRUE(set(name, text)) << name << ": " << error;
        uint8_t want[164] = {};
        std::memcpy(want + offset, &value, size ? size : 4);
        EXPECT_EQ(std::memcmp(block, want, 164), 0) << name;
        EXPECT_EQ(get(name), text) << name;
    }
    std::memset(block, 0, 164);
    ASSERT_TRUE(set("usb_serial", "ABCDEFGHIJKLMNOPQRST")) << error;
    ASSERT_TRUE(set("usb_serial", "0815")) << error;
    EXPECT_EQ(std::memcmp(block + 44, "0815\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20), 0) << "the rest cleared";
    std::istringstream bad("no_such=1 ltm_pid=256 usb_portsc1=12abc cpu_load=1 cpu_load.2=1 cpu_load.1=inf "
                           "ltm_pid.0=1 usb_serial=ABCDEFGHIJKLMNOPQRSTU blink=1");
    for (std::string field, value; std::getline(bad, field, '=') && bad >> value; bad.get())
        EXPECT_FALSE(set(field, value)) << field << " = " << value;
    EXPECT_EQ(std::memcmp(block + 44, "0815", 5), 0);
    EXPECT_TRUE(set("usb_portsc1", "0xDEADBEEF")) << error;
    EXPECT_EQ(get("usb_portsc1"), "3735928559");
    SEM_ID sem = semOpen(sysproc::APPLCOMM_SEM, SEM_TYPE_BINARY, 0, 0, 0);
    EXPECT_EQ(semTake(sem, NO_WAIT), OK) << "the lock is given back after every access";
    semGive(sem);
}

} // namespace
