#include "platform/boot/platform.h"

#include "platform/can/cansim.h"
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
#include <pthread.h>
#include <sys/mman.h>
#include <system_error>
#include <thread>
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

// Undoes what a failed start made: a running unit's things were never touched.
int failStart(const std::string& what) {
    halt();
    nvmem::uninstall();
    dataset::uninstall();
    return fail(what);
}

int bootIn(const std::string& dir, unsigned index, bool forceStepped) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return fail("unit directory '" + dir + "' does not exist");
    Settings s;
    std::string err;
    if (!loadSettings(dir, &s, &err)) return fail(err);
    // First of all: another unit running here keeps its log, its screen and its store.
    if (!control::claim(s.unitDir, index, &err)) return fail(err);
    if (forceStepped) s.stepped = true;
    setSettings(s);
    for (const std::string* d : {&s.cfgDir, &s.cDir, &s.measDir, &s.meas2Dir, &s.usbMeasDir, &s.nvramDir})
        if (!makeDir(*d, &err)) return failStart(err);

    sim::stopRealtime();
    sim::configure(s.stepped ? sim::TimeMode::Stepped : sim::TimeMode::Realtime, s.calendarStart);
    // A reader that went away must not take the unit with it; the write just fails.
    std::signal(SIGPIPE, SIG_IGN);

    hwsim::installBoard();
    timemodsim::install();
    if (!displaysim::install(index, s.unitDir))
        return failStart("cannot set up the display of process " + std::to_string(index));
    displaysim::setSnapshot(s.snapshot, s.snapshotRate);
    for (uintptr_t base : s.missingDevices)
        if (!hwsim::removeBoardDevice(base)) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(base));
            return failStart(s.file + ": [platform] missing_devices: no board device at " + hex);
        }
    if (!s.analogStimulus.empty()) {
        std::vector<std::pair<int, hwsim::Stimulus>> stimuli;
        if (!hwsim::parseStimulusList(s.analogStimulus, s.unitDir, &stimuli, &err))
            return failStart(s.file + ": [board] analog_stimulus: " + err);
        for (const auto& [channel, stimulus] : stimuli)
            hwsim::setAdcStimulus(channel, stimulus);
    }
    kmgr::setWatchdogReaction(nullptr);
    kmgr::installAppManager();
    if (!cansim::install(index, &err)) return failStart(err);
    const std::pair<const char*, const std::string*> devices[] = {{"cfg:", &s.cfgDir},
                                                                  {"c:", &s.cDir},
                                                                  {"meas:", &s.measDir},
                                                                  {"meas2:", &s.meas2Dir},
                                                                  {"usb_meas:", &s.usbMeasDir}};
    for (auto& [prefix, dir] : devices)
        if (!osfs::addDevice(prefix, *dir))
            return failStart("cannot attach drive " + std::string(prefix) + " to " + *dir);
    if (!osfs::addSerialDevice("/tyCo/0", s.tyCo0) || !osfs::addSerialDevice("/tyCo/1", s.tyCo1))
        return failStart("cannot set up the serial devices");
    drives::install();
    if (!nvmem::install(s.nvramDir, &err)) return failStart(err);
    if (!devdata::install(s.unitDir, &err)) return failStart(err);
    if (!dataset::install(s.nvramDir, &err)) return failStart(err);
    if (!sysproc::start(s.unitDir, &err)) return failStart(err);
    if (!control::start(s.unitDir, index, &err)) return failStart(err);
    static bool atExit = std::atexit(drainAtExit) == 0; // also for an application calling exit()
    (void)atExit;
    if (!s.stepped && s.realtimePriorities && !sim::realtimePriorities(true))
        sysproc::platformLog(
            148, "KVX2_KMGR", "boot",
            "realtime_priorities: the host does not permit real-time scheduling (needs root or "
            "CAP_SYS_NICE); tasks keep the default scheduling, on one CPU");
    if (!s.stepped) sim::startRealtime();
    return 0;
}

// SIGINT and SIGTERM switch the ignition off: the first gives the post-run semaphore, as the
// system process does, and the unit shuts down in order; a second one ends it at once.
// Signal handlers could do none of that: the signals are blocked in every thread and taken
// here.
void watchSignals(sigset_t set, std::string shmName) {
    bool asked = false, given = false;
    for (;;) {
        const timespec retry{0, 10 * 1000 * 1000}; // the application may not wait for it yet
        const int sig = sigtimedwait(&set, nullptr, asked && !given ? &retry : nullptr);
        if (sig > 0 && asked) {
            shm_unlink(shmName.c_str()); // the one name outside the unit directory
            std::signal(sig, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            raise(sig);
            _exit(128 + sig);
        }
        if (sig > 0) {
            asked = true;
            sysproc::platformLog(
                150, "KVX2_SYS", "signal",
                std::string(sig == SIGINT ? "SIGINT" : "SIGTERM") +
                    ": ignition off, post-run requested; a second signal ends the process at once");
        }
        if (asked && !given) given = control::postrun(nullptr);
    }
}

} // namespace

int boot(unsigned index) {
    // Before the first thread starts, so that every thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const char* env = std::getenv("VYN_UNIT_DIR");
    std::error_code ec;
    std::filesystem::path cwd;
    if (!env || !*env) {
        cwd = std::filesystem::current_path(ec);
        if (ec) return fail("cannot read the current directory: " + ec.message());
    }
    if (bootIn(env && *env ? std::string(env) : cwd.string(), index, false) != 0) return -1;
    std::thread(watchSignals, set, displaysim::shownShmName(index, settings().unitDir)).detach();
    // The application's main runs on this thread: stepped time waits for it like for its
    // tasks, so that steps sent over the control socket land at the same point of its work
    // every time.
    sim::adoptThread();
    return 0;
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
    cansim::uninstall();
}

} // namespace platform
