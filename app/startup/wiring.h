// The hand-ins: every pointer a lower module keeps to a higher one (a sink, a source, a hook
// table, a command handler) is handed in here and nowhere else. docs/architecture.md lists them.
#pragma once

#include <cstdint>

// Made once, as soon as the process index is known and before any service starts, so that no
// lower module ever runs without what it reaches above it.
void wiring_handIn(uint32_t index);
