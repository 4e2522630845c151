// The kernel-side manager's dispatch (platform side): one handler per call number.
#pragma once

#include <cstdint>
#include <functional>

namespace kmgr {

// a[0..7] are the call's arguments in the caller's order.
using Handler = std::function<intptr_t(const intptr_t* a)>;

// Installs (or, with an empty handler, removes) the handler of one call number.
void setHandler(unsigned number, Handler h);
// After `after` more calls, the next `count` calls of `number` (-1: every call) return `result`
// without running the handler (a power loss after `after` calls: -1 for ever).
void injectFault(unsigned number, intptr_t result, int count = 1, int after = 0);
void clearFaults();
uint64_t callCount(unsigned number);

} // namespace kmgr
