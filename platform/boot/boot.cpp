#include "platform/boot/platform.h"

#include "platform/control/control.h"
#include "platform/dataset/dataset.h"
#include "platform/devdata/devdata.h"
#include "platform/display/displaysim.h"
#include "platform/drives/drives.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/timemod/timemod_sim.h"
#include "platform/hw/board_sim.h"
#include "platform/kmgr/appman.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "platform/sysproc/sysproc.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

std::string& lastError() {
    static std::string* e = new std::string;
    return *e;
}

int fail(const std::string& what) {
    lastError() = what;
    return -1;
}

bool makeDir(const std::string& path, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !std::filesystem::is_directory(path, ec)) {
        *error = "cannot create directory " + path + (ec ? ": " + ec.message() : ": not a directory");
        return false;
    }
    return true;
}

void drainAtExit() {
    sysproc::drainLog();
}

int bootIn(const std::string& dir, unsigned index, bool forceStepped) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return fail("unit directory '" + dir + "' does not exist");
    Settings s;
    std::string err;
    if (!loadSettings(dir, &s, &err)) return fail(err);
    if (forceStepped) s.stepped = true;
    setSettings(s);
    for (const std::string* d : {&s.cfgDir, &s.cDir, &s.measDir, &s.meas2Dir, &s.usbMeasDir, &s.nvramDir})
        if (!makeDir(*d, &err)) return fail(err);

    sim::stopRealtime();
    sim::configure(s.stepped ? sim::TimeMode::Stepped : sim::TimeMode::Realtime, s.calendarStart);
    // A reader that went away must not take the unit with it; the write just fails.
    std::signal(SIGPIPE, SIG_IGN);

    hwsim::installBoard();
    timemodsim::install();
    if (!displaysim::install(index))
        return fail("cannot set up the display of process " + std::to_string(index));
    displaysim::setSnapshot(s.snapshot, s.snapshotRate);
    for (uintptr_t base : s.missingDevices)
        if (!hwsim::removeBoardDevice(base)) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(base));
            return fail(s.file + ": [platform] missing_devices: no board device at " + hex);
        }
    kmgr::setWatchdogReaction(nullptr);
    kmgr::installAppManager();
    const std::pair<const char*, const std::string*> devices[] = {{"cfg:", &s.cfgDir},
                                                                  {"c:", &s.cDir},
                                                                  {"meas:", &s.measDir},
                                                                  {"meas2:", &s.meas2Dir},
                                                                  {"usb_meas:", &s.usbMeasDir}};
    for (auto& [prefix, dir] : devices)
        if (!osfs::addDevice(prefix, *dir))
            return fail("cannot attach drive " + std::string(prefix) + " to " + *dir);
    drives::install();
    if (!nvmem::install(s.nvramDir, &err)) return fail(err);
    if (!devdata::install(s.unitDir, &err)) return fail(err);
    if (!dataset::install(s.nvramDir, &err)) return fail(err);
    if (!sysproc::start(s.unitDir, &err)) return fail(err);
    if (!control::start(s.unitDir, index, &err)) return fail(err);
    static bool atExit = std::atexit(drainAtExit) == 0; // also for an application calling exit()
    (void)atExit;
    if (!s.stepped && s.realtimePriorities && !sim::realtimePriorities(true))
        sysproc::platformLog(
            148, "KVX2_KMGR", "boot",
            "realtime_priorities: the host does not permit real-time scheduling (needs root or "
            "CAP_SYS_NICE); tasks keep the default scheduling");
    if (!s.stepped) sim::startRealtime();
    return 0;
}

} // namespace

int boot(unsigned index) {
    const char* env = std::getenv("VYN_UNIT_DIR");
    std::error_code ec;
    std::filesystem::path cwd;
    if (!env || !*env) {
        cwd = std::filesystem::current_path(ec);
        if (ec) return fail("cannot read the current directory: " + ec.message());
    }
    const int rc = bootIn(env && *env ? std::string(env) : cwd.string(), index, false);
    // The application's main runs on this thread: stepped time waits for it like for
    // its tasks, so that steps sent over the control socket land at the same point of its
    // work every time.
    if (rc == 0) sim::adoptThread();
    return rc;
}

int bootForTest(const std::string& unitDir, unsigned index) {
    return bootIn(unitDir, index, true);
}

const std::string& bootError() {
    return lastError();
}

void halt() {
    sim::releaseThread(); // a step still waiting for the main thread may finish
    kmgr::watchdogDisarm();
    control::stop();
    sysproc::stop();
    sim::stopRealtime();
    displaysim::uninstall();
}

} // namespace platform
