// The process shell: runs the commands typed into the platform's shell; modules register theirs.
//
// The process shell: commands typed into the platform's shell arrive on the queue
// "/queue/MsdShell_<index>"; the task "r_shell" runs them with standard output redirected into
// the pipe "/pipe/MsdShell_<index>" and answers with their result and what they printed.
// Modules register their own commands.
#pragma once

#include <cstddef>
#include <cstdint>

using MsdShellCallback = int (*)(int argc, char** argv);

// Registers the common commands and starts the shell task; 1 when it runs.
int msd_shell_initialize();
// Registers a command; nonzero when the shell accepted it.
int msd_shellAddCommand(const char* cmdName, MsdShellCallback callback);
// 1 when the command was removed.
int msd_shellRemoveCommand(const char* cmdName);

// The common commands belong to modules above the shell: the start-up hands them in, in
// their order of registration. An entry registers one command, or (without a name) calls a
// module's own registration, which returns 0 on success.
struct MsdShellCommon {
    const char* name;
    MsdShellCallback callback;
    int (*registerAll)();
};
void msd_shell_setCommonCmds(const MsdShellCommon* list, size_t count);
// 1 when every common command is registered; stops at the first failure.
int MsdShell_AddCommonCmd();

// "reset_vyn": starves the watchdog, then asks for the post-run, then exits.
int resetCommandFunc(int argc, char** argv);

// Runs the request in `buf` (`len` bytes received): the command's result, or -1 for a request
// that names no registered command or does not hold its arguments.
int msdParse_rtp(uint8_t* buf, size_t len);

// Tests: forget the registered commands.
void msd_shell_reset();
