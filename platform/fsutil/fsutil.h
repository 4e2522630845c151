// File helpers for the simulated stores: atomic replacement of an image file, safe opening.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace fsutil {

// Writes all n bytes at off, retrying short writes and EINTR; false on any other failure.
bool writeAll(int fd, const void* data, size_t n, off_t off);
// Makes a rename inside dir durable; false when dir cannot be opened or synced.
bool syncDir(const std::string& dir);
// Opens a regular file for reading. Anything else (a FIFO, a device, a directory) is refused
// without blocking: -1 with errno EINVAL. On failure *error is "<path>: <reason>".
int openRegular(const std::string& path, std::string* error);

// Takes the exclusive lock (flock) of the file open at fd without waiting, and checks that
// path still names that file. False when another open of it holds the lock, or a rename
// replaced it meanwhile: another unit uses it. The lock lasts until fd is closed.
bool lockFile(int fd, const std::string& path);

} // namespace fsutil
