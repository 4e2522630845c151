// Location of this unit on the car, derived from its PID.
#pragma once

// "_FL", "_FR", "_RL", "_RR", "_F", "_R", "_C", "_GB" for PIDs 40 to 47, else "".
const char* discover_location();
