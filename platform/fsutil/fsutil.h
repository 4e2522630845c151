// File helpers for the simulated stores that replace an image file atomically.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace fsutil {

// Writes all n bytes at off, retrying short writes and EINTR; false on any other failure.
bool writeAll(int fd, const void* data, size_t n, off_t off);
// Makes a rename inside dir durable; false when dir cannot be opened or synced.
bool syncDir(const std::string& dir);

} // namespace fsutil
