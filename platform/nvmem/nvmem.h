// The unit's non-volatile memory: an image file behind the manager's persist and load calls.
//
// The unit's non-volatile memory (platform side): an image file behind the manager's calls
// 2692 and 2701 (persist bytes at an offset) and 2693 (load bytes from an offset).
//
// The image is "nvram.img" in the unit's non-volatile directory, NVMEM_SIZE bytes. An
// erased store reads as 0xFF, as erased EEPROM does: a missing image, and every byte past
// the end of a shorter one, read as 0xFF. The first write creates (or completes) the image
// filled with 0xFF (with the written bytes in it). Every write is durable (pwrite, then fsync)
// before the call returns.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nvmem {

constexpr size_t NVMEM_SIZE = 0x80000;
constexpr uint8_t ERASED = 0xFF;
constexpr const char* IMAGE_FILE = "nvram.img";

// Installs the three handlers over `nvDir`/nvram.img (the directory must exist). Fails with
// a reason when the image exists but cannot be opened for reading and writing, or is not a
// regular file, or is locked by another unit (the image stays locked while installed); the
// calls then have no handler (they fail). Calling it again closes the previous image and
// forgets a pending tear.
bool install(const std::string& nvDir, std::string* error = nullptr);
// Removes the handlers and closes the image.
void uninstall();
std::string imagePath();

// Persist calls and syncs (of the image or its directory) since install.
struct Counts {
    uint64_t persists = 0;
    uint64_t syncs = 0;
};
Counts counts();

// Power is lost during the next persist call: its first `bytesWritten` bytes reach the
// image, the rest do not, and the call fails (-1).
void tearNextWrite(size_t bytesWritten);
// The next persist call runs `fn` on its caller's thread before any of its bytes reach the image
// (another task's write arriving while a long one is under way).
void beforeNextWrite(std::function<void()> fn);

} // namespace nvmem
