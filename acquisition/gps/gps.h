// GPS reception from "/tyCo/1" and track detection.
#pragma once

// Starts reception (task "r_gpsTask").
void gps_init();
