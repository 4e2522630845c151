// PID routing of the device network: how a command or data record for a unit leaves this unit.
//
// The command group 0x01 that maintains the table is served by the command interface.
#pragma once

#include <cstdint>

constexpr int ROUTING_PIDS = 64;
constexpr uint32_t ROUTE_ILLEGAL = 0;
constexpr uint32_t ROUTE_LOCAL = 1;
constexpr uint32_t ROUTE_ETHERNET = 2; // parameter: the unit's IPv4 address, first octet high
constexpr uint32_t ROUTE_LOCSOCK = 3;

struct RouteEntry {
    uint32_t kind;
    uint32_t parameter;
};

// Every PID illegal, then this unit's PID local.
void routing_ini();
// Copies the entry into first..last; 0 (and a log line) unless first <= last < 64.
int routing_set_table_entries(RouteEntry entry, uint32_t first, uint32_t last);
int routing_set_table_destination_local(uint32_t pid);
// The entry of a PID; {0, 0} for 64 and above. Entries change as one word, so a reader never
// sees the kind of one entry with the parameter of another.
RouteEntry routing_get_next(uint32_t pid);
// The route a unit's presence packets teach: set only while the PID's entry has no parameter
// yet (as one step, so a command that sets the entry meanwhile wins). 1 when it was set.
int routing_learn(uint32_t pid, RouteEntry entry);
