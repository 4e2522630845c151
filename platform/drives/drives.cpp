#include "platform/drives/drives.h"

#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"

#include <cstring>
#include <map>
#include <mutex>
#include <sys/stat.h>

namespace drives {

namespace {

constexpr intptr_t FAIL = -1;

struct State {
    std::mutex m;
    std::map<std::string, bool> overrides;
    std::vector<Command> commands;
    std::vector<UsbRequest> usb;
};

State& S() {
    static State* s = new State; // reached by the application's tasks until the process ends
    return *s;
}

bool deviceReady(const std::string& drive) {
    std::string dir;
    struct stat st;
    return osfs::deviceDir(drive, &dir) && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

intptr_t driveAvailable(const intptr_t* a) {
    const char* name = reinterpret_cast<const char*>(a[1]);
    if (!name || a[2] != 1) return FAIL;
    std::string drive(name, strnlen(name, 64));
    {
        State& s = S();
        std::lock_guard<std::mutex> g(s.m);
        auto it = s.overrides.find(drive);
        if (it != s.overrides.end()) return it->second ? 1 : 0;
    }
    return deviceReady(drive) ? 1 : 0;
}

kmgr::Handler textCommand(unsigned call) {
    return [call](const intptr_t* a) -> intptr_t {
        const char* text = reinterpret_cast<const char*>(a[1]);
        if (!text || !*text) return FAIL;
        State& s = S();
        std::lock_guard<std::mutex> g(s.m);
        s.commands.push_back({call, static_cast<unsigned>(a[0]), std::string(text, strnlen(text, 256))});
        return 0;
    };
}

intptr_t usbRequest(const intptr_t* a) {
    if (a[0] < 0 || a[0] > 2) return FAIL;
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.usb.push_back({static_cast<int>(a[0]), static_cast<int>(a[1] & 0xFF)});
    return 0;
}

} // namespace

void install() {
    {
        State& s = S();
        std::lock_guard<std::mutex> g(s.m);
        s.overrides.clear();
        s.commands.clear();
        s.usb.clear();
    }
    kmgr::setHandler(KCALL_DRIVE_AVAILABLE, driveAvailable);
    kmgr::setHandler(KCALL_IF_COMMAND, textCommand(KCALL_IF_COMMAND));
    kmgr::setHandler(KCALL_ROUTE_COMMAND, textCommand(KCALL_ROUTE_COMMAND));
    kmgr::setHandler(KCALL_USB_REQUEST, usbRequest);
}

void setAvailable(const std::string& drive, bool available) {
    std::lock_guard<std::mutex> g(S().m);
    S().overrides[drive] = available;
}

std::vector<Command> routeLog() {
    std::lock_guard<std::mutex> g(S().m);
    return S().commands;
}

std::vector<UsbRequest> usbLog() {
    std::lock_guard<std::mutex> g(S().m);
    return S().usb;
}

} // namespace drives
