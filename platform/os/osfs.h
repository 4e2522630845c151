// File-system devices of the OS layer. On the unit, files are reached through device
// names ("cfg:/display.xml", "meas:x.dat"); here every device is a host directory that the
// platform installs. A path whose device is not installed is refused (ENOENT), never
// looked up on the host; ".." that would leave the device's directory is refused (EACCES).
//
// Inside a path '/' and '\' both separate components, as on the unit's drives; the device
// name alone ("cfg:") is the device's root directory. Results follow POSIX: -1 (or null)
// with errno on failure.
//
// The serial devices "/tyCo/0" and "/tyCo/1" are opened with osOpen too: the host device the
// platform put behind the name, non-blocking, its line as it stands (the platform installs it
// raw: no echo, no line editing, no output processing, 8 data bits, no parity; OS_FIOSETOPTIONS
// sets it so again); osWaitReadable waits for their data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

// Control requests of osIoctl.
constexpr int OS_FIOFLUSH = 2;      // write the file's (or directory's) data to its volume
constexpr int OS_FIOSYNC = 21;      // the same
constexpr int OS_FIODELETE = 59;    // remove the open file from its directory
constexpr int OS_FIOSIZE = 0x301D;  // size of the open file into the uint32_t that arg points to
constexpr int OS_FIOBAUDRATE = 4;   // line speed of a serial device in bit/s (ENOTTY for others)
constexpr int OS_FIOSETOPTIONS = 3; // line options of a serial device, OS_OPT_RAW only (ENOTTY for others)
constexpr int OS_OPT_RAW = 0;       // no echo, no line editing, no output processing

// Host path of `path` into out (at most size bytes with the NUL). 0, or -1 with errno:
// EINVAL (null), ENOENT (no installed device), EACCES (leaves the device), ENAMETOOLONG.
int osResolvePath(const char* path, char* out, size_t size);

int osOpen(const char* path, int flags, int mode = 0);
FILE* osFopen(const char* path, const char* mode);
DIR* osOpendir(const char* path);
int osStat(const char* path, struct stat* st);
// Removes a file or an empty directory; a device's root is refused (EBUSY).
int osRemove(const char* path);
// Both paths on one device (EXDEV otherwise); a device's root is refused (EBUSY).
int osRename(const char* from, const char* to);
int osMkdir(const char* path, int mode);
// One of the OS_FIO* requests on a descriptor from osOpen (or fileno of osFopen).
// OS_FIODELETE only removes files that lie on an installed device.
int osIoctl(int fd, int code, intptr_t arg);
// Waits up to `ticks` (WAIT_FOREVER: no limit) for data on a descriptor from osOpen: 1 when a
// read will not block (data, end of file or a hang-up), 0 on time-out, -1 with errno. The wait
// is the layer's: a delete request ends the calling task, and stepped time does not wait for
// the host.
int osWaitReadable(int fd, int ticks);
