// PID routing of the device network: commands to this unit, a peer or all units.
#pragma once

void routing_ini();
