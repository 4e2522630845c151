// The routing table: 64 entries, each one atomic word so that the presence receiver, the
// command task and every sender may use it without a lock.
#include "comm/routing/routing.h"

#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <atomic>

namespace {

std::atomic<uint64_t> table[ROUTING_PIDS];

uint64_t pack(RouteEntry e) {
    return static_cast<uint64_t>(e.kind) << 32 | e.parameter;
}

} // namespace

void routing_ini() {
    for (auto& e : table)
        e.store(0);
    routing_set_table_destination_local(AppMan_getPID());
}

int routing_set_table_entries(RouteEntry entry, uint32_t first, uint32_t last) {
    if (first >= ROUTING_PIDS || last >= ROUTING_PIDS || first > last) {
        SYSLOGX_GUARDED(LOG_ERR, "BaseCom2|routing_set_table_entries(): PID not plausible");
        return 0;
    }
    for (uint32_t p = first; p <= last; ++p)
        table[p].store(pack(entry));
    return 1;
}

int routing_set_table_destination_local(uint32_t pid) {
    if (pid >= ROUTING_PIDS) return 0;
    table[pid].store(pack({ROUTE_LOCAL, 0}));
    return 1;
}

RouteEntry routing_get_next(uint32_t pid) {
    if (pid >= ROUTING_PIDS) return {ROUTE_ILLEGAL, 0};
    const uint64_t v = table[pid].load();
    return {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)};
}

int routing_learn(uint32_t pid, RouteEntry entry) {
    if (pid >= ROUTING_PIDS) return 0;
    uint64_t v = table[pid].load();
    while (static_cast<uint32_t>(v) == 0)
        if (table[pid].compare_exchange_weak(v, pack(entry))) return 1;
    return 0;
}
