// Network time service: the measurement time, exported while this unit is time master and
// followed otherwise.
#pragma once

// enable: run the service; master: this unit may become time master.
void timeserv_init(int enable, int master);
void timeserv_MeasTime_ini();
// The 1 ms step of the measurement time (1 ms raster).
void timeserv_MeasTime_1ms();
