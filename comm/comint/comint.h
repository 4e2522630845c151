// Command interface of the device network: command messages between units.
#pragma once

void comint_ini();
