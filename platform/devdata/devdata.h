// The board's device data and 1-Wire ROM id, kept in "devdata.ini".
//
// The board's device-data store and 1-Wire ROM id (platform side), behind the manager's
// calls 3648 to 3651 and 2698, kept in the text file "devdata.ini" of the unit directory.
//
// One "key = value" per line; '#' or ';' starts a comment line. Every key is optional: an
// item that is not in the file is not programmed, and reading it fails until it is set.
//   mac = 00:0a:35:00:00:25         item 0, 6 bytes
//   life_time = 3600                item 1, u32 (seconds)
//   max_tecu = 61.5                 item 2, float (degrees Celsius)
//   part_number = "4000-115-021"    item 3, text of at most 16 printable characters
//   serial_number = "#0815"         item 4, text as part_number
//   revision_id = 3                 item 5, u32
//   rev_dates = 2023011520240301    item 6, 8 bytes in hexadecimal
//   crash_counter = 0               item 8, u32
//   brick_counter = 0               item 9, u8
//   max_tdisp = 48.25               item 10, float (degrees Celsius)
//   rom_id = 28ff4c1d6a1603a1       1-Wire ROM id, 8 bytes in hexadecimal, family code first
// Texts are handed over as 16 bytes padded with NULs (a text of 16 characters has none);
// numbers in host byte order. A setter rewrites the file (new file, fsync, rename).
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace devdata {

constexpr const char* FILE_NAME = "devdata.ini";

// Bytes of an item, 0 for an item number the store does not have.
size_t itemSize(int item);

// Installs the handlers over `unitDir`/devdata.ini; a missing file is an unprogrammed store.
// A file that cannot be read (or is no regular file) or parsed fails with its name, line and
// reason: the store is then faulty (state byte 0, every item and the ROM id fail) and the file
// is left as it is.
// Writes are enabled. Calling it again starts afresh.
bool install(const std::string& unitDir, std::string* error = nullptr);
void uninstall();
std::string filePath();

} // namespace devdata
