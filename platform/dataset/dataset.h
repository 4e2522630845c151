// The stored calibration dataset: the file behind the manager's store and load calls.
//
// The stored calibration dataset (platform side): the manager's calls 2688 (store) and 2689
// (load) over the file "dataset.img" in the unit's non-volatile directory. The file holds
// the image exactly as the application hands it over; a load asks for the whole file.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <string>

namespace dataset {

constexpr const char* IMAGE_FILE = "dataset.img";
constexpr size_t IMAGE_MAX = 0x100000;

// Installs both handlers over `nvDir`/dataset.img, which stays locked while installed. Fails
// with a reason when `nvDir` is not a directory, dataset.img is there but no regular file, or
// another unit holds the image; the handlers are then not installed.
bool install(const std::string& nvDir, std::string* error = nullptr);
// Removes the handlers.
void uninstall();
std::string imagePath();

// Writes an image as a store would (used to program a unit before its first start).
bool writeImage(const std::string& nvDir, const void* data, size_t len, std::string* error = nullptr);

} // namespace dataset
