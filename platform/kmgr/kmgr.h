// The kernel-side manager: the numbered calls of the application and the handlers behind them.
//
// Custom system calls into the kernel-side manager: number = group * 64 + routine.
// Arguments are pointer-sized; unused trailing ones are 0. -1 (or as the caller's module
// says, any nonzero value) is failure.
#pragma once

#include <cstdint>

intptr_t kmgr_syscall(unsigned number, intptr_t a1 = 0, intptr_t a2 = 0, intptr_t a3 = 0, intptr_t a4 = 0,
                      intptr_t a5 = 0, intptr_t a6 = 0, intptr_t a7 = 0, intptr_t a8 = 0);
