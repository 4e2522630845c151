// The simulated display: frame buffer, controller registers and the manager's display calls.
//
// The simulated display of the unit (platform side): frame buffer, display controller registers,
// the manager's display calls (flush, wait, boot logo) and what the screen shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace displaysim {

constexpr int WIDTH = 1024;
constexpr int HEIGHT = 480;

// Sets up the display of process `index`: the frame buffer in the shared memory the application
// maps, the shown frame in the POSIX shared memory shownShmName(index, unitDir), the
// controller's registers and the manager calls 4225-4228. Installing again resets the shown
// frame and the counters.
bool install(uint32_t index, const std::string& unitDir = "");
void uninstall();

// Name of the shown frame's POSIX shared memory (fbShmName of fbshm.h).
std::string shownShmName(uint32_t index, const std::string& unitDir = "");

uint32_t* frameBuffer();
// The frame the display shows: the frame last flushed while layer 1 is on, else black. It
// follows flushes and switches of layer 1.
const uint32_t* shown();
uint64_t flushCount();
uint64_t waitCount();
uint32_t layerRegister(int layer);
bool layerEnabled(int layer);
uint32_t colourSaturation();

// The boot logo the manager hands out (a serialised screen dump); the default, set at install,
// is the platform's own logo, drawn at build time.
void setBootLogo(const std::vector<uint8_t>& dump);
std::vector<uint8_t> defaultBootLogo();

// Writes the shown frame as a PNG after a flush, at most maxPerSecond times a second (a frame held
// back is written once the interval has passed). An empty path switches it off.
void setSnapshot(const std::string& path, double maxPerSecond);
uint64_t snapshotCount();
// Writes the shown frame as a PNG now (temporary file, then rename). False on failure.
bool writePng(const std::string& path);

} // namespace displaysim
