// Serial devices behind osOpen and osIoctl (inside the OS layer).
#pragma once

#include <cstdint>

namespace osserial {

// A name of the serial namespace ("/tyCo/1"), not of a drive.
bool isSerialName(const char* path);
int open(const char* path, int flags);
int setBaudRate(int fd, intptr_t bps);
int setOptions(int fd, intptr_t options);
void reset();

} // namespace osserial
