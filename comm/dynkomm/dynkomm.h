// Dynamic communication: the data FIFOs between units.
#pragma once

void dynkomm_ini();
