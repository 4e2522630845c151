#include "services/shell/shell.h"

#include "platform/kmgr/calls.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A request carries the id of a registered command, never an address to call.
constexpr int COMMANDS = 64;
struct Command {
    char name[KCALL_SHELL_NAME_MAX + 1];
    MsdShellCallback callback;
};
Command commands[COMMANDS];
std::atomic<SEM_ID> tableLock{nullptr};

const MsdShellCommon* common = nullptr;
size_t commonCount = 0;

constexpr size_t TEXT_MAX = SHELL_MSG_MAX - 5;

SEM_ID lock() {
    SEM_ID m = tableLock.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!tableLock.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

MsdShellCallback callbackOf(uint32_t id) {
    if (id == 0 || id > COMMANDS) return nullptr;
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    MsdShellCallback cb = commands[id - 1].callback;
    semGive(m);
    return cb;
}

void resetCommandTask() {
    syslogx(LOG_DEBUG, "Starve the RTP WDog ...");
    static uint32_t pattern = 0;
    wdogapp_Starve(&pattern);
    taskDelay(sysClkRateGet() + 1);
    syslogx(LOG_DEBUG, "No RTP WDog reaction (Debug mode?): ask for RTP shutdown ...");
    startPostrun();
    taskDelay(sysClkRateGet() + 1);
    syslogx(LOG_DEBUG, "Try 'exit(0)' ...");
    std::exit(0);
}

void shellTask() {
    const int index = static_cast<int>(RtpManUsr_getIndex());
    char pipeName[64], queueName[64], replyName[64];
    std::snprintf(pipeName, sizeof pipeName, "%s_%d", SHELL_PIPE, index);
    std::snprintf(queueName, sizeof queueName, "%s_%d", SHELL_QUEUE, index);
    std::snprintf(replyName, sizeof replyName, "%s_%d", SHELL_REPLY_QUEUE, index);

    if (pipeDevDelete(pipeName, true) != OK && errno != ENODEV) {
        syslogx(LOG_ERR, "msdShell_rtp(%d): Pipe deletion of '%s' failed: '%s'", index, pipeName,
                std::strerror(errno));
        return;
    }
    if (pipeDevCreate(pipeName, 128, 256) != OK) {
        syslogx(LOG_ERR, "msdShell_rtp(%d): Pipe creation of '%s' failed: '%s'", index, pipeName,
                std::strerror(errno));
        return;
    }
    const int fd = pipeOpen(pipeName);
    if (fd == ERROR) {
        syslogx(LOG_ERR, "msdShell_rtp(%d): Pipe opening of '%s' failed: '%s'", index, pipeName,
                std::strerror(errno));
        startPostrun();
        return;
    }
    if (ioGlobalStdSet(1, fd) != OK) {
        syslogx(LOG_ERR, "msdShell_rtp(%d): Pipe rediction from STD_OUT to '%s' failed: '%s'", index,
                pipeName, std::strerror(errno));
        return;
    }
    MSG_Q_ID requests = msgQOpen(queueName, 1, SHELL_MSG_MAX, MSG_Q_FIFO, OM_CREATE);
    MSG_Q_ID replies = requests ? msgQOpen(replyName, 1, SHELL_MSG_MAX, MSG_Q_FIFO, OM_CREATE) : nullptr;
    if (!replies) {
        syslogx(LOG_ERR, "msdShell_rtp(%d): msgQOpen failed: '%s'", index, std::strerror(errno));
        return;
    }

    static uint8_t buf[SHELL_MSG_MAX];
    for (;;) {
        const int n = msgQReceive(requests, buf, sizeof buf, WAIT_FOREVER);
        if (n == ERROR) {
            syslogx(LOG_ERR, "msdShell_rtp(%d): msgQReceive failed: '%s'", index, std::strerror(errno));
            if (taskDeleteRequested()) return;
            taskDelay(30);
            continue;
        }
        std::fflush(stdout);
        pipeFlush(fd);
        const int32_t result = msdParse_rtp(buf, static_cast<size_t>(n));
        std::fflush(stdout);
        std::clearerr(stdout);
        size_t len = 0;
        for (int got; len < TEXT_MAX && (got = pipeRead(fd, buf + 4 + len, TEXT_MAX - len)) > 0;)
            len += static_cast<size_t>(got);
        bytes::put_le32(buf, static_cast<uint32_t>(result));
        buf[4 + len] = 0;
        // The newest answer wins over one its requester never took.
        uint8_t stale[8];
        while (msgQNumMsgs(replies) > 0 && msgQReceive(replies, stale, sizeof stale, NO_WAIT) != ERROR) {
        }
        if (msgQSend(replies, buf, 5 + len, NO_WAIT, MSG_PRI_NORMAL) != OK)
            syslogx(LOG_ERR, "msdShell_rtp(%d): msgQSend failed: '%s'", index, std::strerror(errno));
    }
}

} // namespace

int msdParse_rtp(uint8_t* buf, size_t len) {
    if (!buf || len < 8) return -1;
    const auto argc = static_cast<int32_t>(bytes::get_le32(buf + 4));
    // At least the argv array and one byte of text must lie inside what was received.
    if (argc < 1 || static_cast<size_t>(argc) > (len - 8) / 5) return -1;
    const size_t strings = 8 + 4 * static_cast<size_t>(argc);
    const uint32_t base = bytes::get_le32(buf + 8);
    static char* argv[SHELL_MSG_MAX / 5 + 1];
    for (int32_t i = 0; i < argc; ++i) {
        // Where the sender's string lay, relative to its first one.
        const size_t at = strings + (bytes::get_le32(buf + 8 + 4 * static_cast<size_t>(i)) - base);
        if (at < strings || at >= len || !std::memchr(buf + at, 0, len - at)) {
            SYSLOGX_GUARDED(LOG_WARN, "msdParse_rtp(): argument %d outside the request, refused", i);
            return -1;
        }
        argv[i] = reinterpret_cast<char*>(buf + at);
    }
    argv[argc] = nullptr;
    const MsdShellCallback cb = callbackOf(bytes::get_le32(buf));
    if (!cb) {
        SYSLOGX_GUARDED(LOG_WARN, "msdParse_rtp(): no command with id %u",
                        static_cast<unsigned>(bytes::get_le32(buf)));
        return -1;
    }
    const int32_t result = cb(argc, argv);
    bytes::put_le32(buf, static_cast<uint32_t>(result));
    return result;
}

int msd_shellAddCommand(const char* cmdName, MsdShellCallback callback) {
    if (!cmdName) {
        syslogx(LOG_ERR, "msd_shellAddCommand(): received NULL as cmdName");
        return 0;
    }
    if (!callback) {
        syslogx(LOG_ERR, "msd_shellAddCommand(): Command '%s' shall be connected to a callBack!", cmdName);
        return 0;
    }
    if (std::strlen(cmdName) > KCALL_SHELL_NAME_MAX) return 0;
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    int slot = -1;
    for (int i = 0; i < COMMANDS && slot < 0; ++i)
        if (std::strcmp(commands[i].name, cmdName) == 0) slot = i;
    for (int i = 0; i < COMMANDS && slot < 0; ++i)
        if (!commands[i].callback) slot = i;
    int ok = 0;
    if (slot >= 0) {
        ok = static_cast<uint8_t>(kmgr_syscall(KCALL_SHELL_ADD, static_cast<intptr_t>(RtpManUsr_getIndex()),
                                               reinterpret_cast<intptr_t>(cmdName), slot + 1));
        if (ok) {
            std::strcpy(commands[slot].name, cmdName);
            commands[slot].callback = callback;
        }
    }
    semGive(m);
    return ok;
}

int msd_shellRemoveCommand(const char* cmdName) {
    if (!cmdName) {
        syslogx(LOG_ERR, "msd_shellRemoveCommand(): received NULL as cmdName");
        return 0;
    }
    const int ok =
        static_cast<uint8_t>(kmgr_syscall(KCALL_SHELL_REMOVE, static_cast<intptr_t>(RtpManUsr_getIndex()),
                                          reinterpret_cast<intptr_t>(cmdName))) == 1
            ? 1
            : 0;
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    for (Command& c : commands)
        if (ok && std::strcmp(c.name, cmdName) == 0) c = Command{};
    semGive(m);
    return ok;
}

void msd_shell_setCommonCmds(const MsdShellCommon* list, size_t count) {
    common = list;
    commonCount = list ? count : 0;
}

int MsdShell_AddCommonCmd() {
    for (size_t i = 0; i < commonCount; ++i) {
        const MsdShellCommon& c = common[i];
        const bool ok =
            c.name ? msd_shellAddCommand(c.name, c.callback) != 0 : c.registerAll && c.registerAll() == 0;
        if (!ok) return 0;
    }
    return 1;
}

int msd_shell_initialize() {
    if (MsdShell_AddCommonCmd() != 1) return 0;
    if (taskSpawn("r_shell", 139, VX_FP_TASK, 65536,
                  [](intptr_t, intptr_t, intptr_t, intptr_t) { shellTask(); }) == TASK_ID_NULL) {
        syslogx(LOG_ERR, "msd_shell_initialize(): taskSpawn failed for RTP%d shell listening task",
                static_cast<int>(RtpManUsr_getIndex()));
        return 0;
    }
    return 1;
}

int resetCommandFunc(int, char**) {
    syslogx(LOG_DEBUG, "rtp shell(): reset RTP");
    std::printf("ask for reseting RTP\r\n");
    if (taskSpawn("r_rtpReset", 200, 0, 1024,
                  [](intptr_t, intptr_t, intptr_t, intptr_t) { resetCommandTask(); }) == TASK_ID_NULL)
        syslogx(LOG_ERR, "resetCommandFunc(): start of t_rtpReset task failed!");
    return 0;
}

void msd_shell_reset() {
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    for (Command& c : commands)
        c = Command{};
    semGive(m);
    common = nullptr;
    commonCount = 0;
}
