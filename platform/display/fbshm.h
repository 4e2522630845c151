// Layout and name of the shared "shown" frame, which viewers outside the process map.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>

constexpr uint32_t FBSHM_MAGIC = 0x56594E46; // "VYNF"

struct FbShmHeader {
    uint32_t magic;
    uint32_t width;
    uint32_t height;
    uint32_t stride; // bytes per row
    // Incremented before (odd) and after (even) each update of the pixels.
    volatile uint32_t sequence;
    volatile uint32_t flushes; // incremented with every new shown frame (a flush, or layer 1 switched)
    uint32_t owner;            // process id of the writer: a frame whose writer is gone may be removed
    uint32_t reserved[9];
};
static_assert(sizeof(FbShmHeader) == 64);
// The pixels (0x00RRGGBB words, top byte ignored) follow the header.

// "/vyn_fb_<index>_<device>_<inode>" of the unit directory (empty: the current one), so that
// units of the same index in different directories do not share one frame.
inline std::string fbShmName(uint32_t index, const std::string& unitDir) {
    struct stat st {};
    if (stat(unitDir.empty() ? "." : unitDir.c_str(), &st) != 0) return "/vyn_fb_" + std::to_string(index);
    char name[80];
    std::snprintf(name, sizeof name, "/vyn_fb_%u_%llx_%llx", index,
                  static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    return name;
}
