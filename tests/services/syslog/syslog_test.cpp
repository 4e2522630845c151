// System log: the record, compression of repeats, the flood guard and a full queue.
#include "services/syslog/syslog.h"
#include "services/syslog/syslog_private.h"
#include "support/stepped.h"

#include <cstring>

using testsupport::logDrain;

namespace {

using Syslog = testsupport::SteppedTest;

TEST_F(Syslog, RecordLayoutAndTruncation) {
    std::string longText(250, 'x');
    syslogx(LOG_INFO, "%s", longText.c_str());
    auto lines = logDrain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(std::tuple(lines[0].text, lines[0].priority, lines[0].device),
              std::tuple(std::string(199, 'x'), 150, "KVX2_VYN"));
    EXPECT_NE(lines[0].task.find(" main"), std::string::npos); // "<ms> <task name>"
}

// The longest record's length; lines above the threshold are counted, not sent.
TEST_F(Syslog, RecordLengthAndThreshold) {
    syslog_msg_t rec{};
    std::memset(rec.text, 'x', 199);
    EXPECT_EQ(syslogx_getMsgLen(&rec), 264);

    gSyslogThreshold = 3;
    uint16_t before = syslog_getMsgCtr(6);
    syslogx(LOG_INFO, "dropped");
    syslogx(LOG_ERR, "kept");
    EXPECT_EQ(syslog_getMsgCtr(6), before + 1);
    const auto lines = logDrain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "kept");
}

// Each name is its band's PRI code (facility * 8 + severity), sent as it is; the threshold reads
// the severity alone, whatever the band.
TEST_F(Syslog, EveryNamedPriorityIsItsBandsCodeAndPassesTheThresholdBySeverity) {
    const struct {
        int name, code, severity;
    } named[] = {{LOG_ALERT, 145, 1},  {LOG_CRIT, 146, 2},    {LOG_ERR, 147, 3},    {LOG_WARN, 148, 4},
                 {LOG_NOTICE, 149, 5}, {LOG_INFO, 150, 6},    {LOG_DEBUG, 151, 7},  {LOG2_ERR, 155, 3},
                 {LOG2_WARN, 156, 4},  {LOG2_NOTICE, 157, 5}, {LOG2_INFO, 158, 6},  {LOG2_DEBUG, 159, 7},
                 {LOG3_ERR, 139, 3},   {LOG3_DEBUG, 143, 7},  {LOG_BARE_ERR, 3, 3}, {LOG_BARE_DEBUG, 7, 7}};
    for (const auto& n : named) {
        EXPECT_EQ(n.name, n.code);
        gSyslogThreshold = static_cast<uint8_t>(n.severity - 1);
        syslogx(n.name, "above %d", n.code);
        gSyslogThreshold = static_cast<uint8_t>(n.severity);
        syslogx(n.name, "at %d", n.code); // a text of its own: a repeat would be held back
        const auto lines = logDrain();
        ASSERT_EQ(lines.size(), 1u) << n.code;
        EXPECT_EQ(std::pair(lines[0].text, lines[0].priority),
                  std::pair("at " + std::to_string(n.code), n.code));
    }
}

// The task field is the time base's milliseconds modulo 100000 and the task's name, cut to 32
// characters; the device field carries the location of the own PID.
TEST_F(Syslog, TaskFieldAfterTheMillisecondsWrapAndDeviceFieldWithTheLocation) {
    sim::step(100000 - sim::ticks() % 100000 + 54321);
    syslog_setOrigin(0, "_FL");
    taskSpawnFn("t_abcdefghijklmnopqrstuvwxyz0123", 100, 0, 0, [] { syslogx(LOG_INFO, "named"); });
    sim::waitIdle();
    syslog_setOrigin(0, "");
    const auto lines = logDrain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(std::pair(lines[0].task, lines[0].device),
              std::pair(std::string("54321 t_abcdefghijklmnopqrstuvwx"), std::string("KVX2_VYN_FL")));
}

TEST_F(Syslog, RepeatsOfOneTaskAreCompressed) {
    for (int i = 0; i < 3; ++i)
        syslogx(LOG_WARN, "same");
    syslogx(LOG_INFO, "other");
    auto lines = logDrain();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text + "|" + lines[1].text + "|" + lines[2].text,
              "same|Last message repeated 3 times.|other");
    EXPECT_EQ(std::tuple(lines[1].priority, lines[1].task), std::tuple(148, "[main]"));

    // The hundredth identical line flushes the count and is sent itself.
    for (int i = 0; i < 100; ++i)
        syslogx(LOG_INFO, "burst");
    lines = logDrain();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].text, "Last message repeated 100 times.");
    EXPECT_EQ(lines[2].text, "burst");

    // The same text from another task in between is no repeat.
    syslogx(LOG_INFO, "ping");
    taskSpawnFn("t_other", 100, 0, 0, [] { syslogx(LOG_INFO, "ping"); });
    sim::waitIdle();
    syslogx(LOG_INFO, "ping");
    EXPECT_EQ(logDrain().size(), 3u);
}

TEST_F(Syslog, FloodGuardAllowsThirteenThenWarnsOnce) {
    for (int i = 0; i < 20; ++i)
        SYSLOGX_GUARDED(LOG_ERR, "flood %d", i);
    auto lines = logDrain();
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[12].text, "flood 12");
    EXPECT_EQ(lines.back().text.rfind("Flooding suspicion! Syslogx message 0x", 0), 0u);
    EXPECT_NE(lines.back().text.find("will be suppressed in future"), std::string::npos);
}

TEST_F(Syslog, FullQueueIsReportedOnceAndNeverBlocks) {
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1030; ++i)
        syslogx(LOG_INFO, "fill %d", i); // distinct texts
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("full ERRNO"), out.rfind("full ERRNO"));
    EXPECT_NE(out.find("syslogx_handleMsgQSendRet: msgQSend SyslogMsgQ rtp#"), std::string::npos);
    EXPECT_EQ(logDrain().size(), 1024u);
    testing::internal::CaptureStdout();
    syslogx(LOG_INFO, "after drain");
    for (int i = 0; i < 1030; ++i)
        syslogx(LOG_INFO, "again %d", i);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("full ERRNO"), std::string::npos); // reported again after a success
    logDrain();
}

} // namespace
