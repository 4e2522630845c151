// Entry and exit of the application process.
#pragma once

#include <cstdint>

// The process's main: started with one argument, its process index.
int vyn_main(int argc, char** argv);

void rtpShutdown();
int apalInit();
int nvram_initialize();
int apalInitInt();
extern const char* const apal_err_codes[36];
