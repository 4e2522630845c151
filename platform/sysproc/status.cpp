// The system process's side of the shared status block: the fields it publishes, written
// as the real one does, under "/ApplComSem".
#include "platform/sysproc/sysproc.h"

#include "platform/os/os.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace sysproc {

namespace {

struct Field {
    const char* name;
    uint16_t offset;
    uint8_t size;  // bytes of one element
    uint8_t count; // elements (bytes of the text)
    char kind;     // 'u' unsigned, 'f' float, 't' text
};

// Little-endian, as the processor lays the block out.
constexpr Field FIELDS[] = {
    {"usb_portsc1", 0, 4, 1, 'u'},
    {"usb_intr_status", 4, 4, 1, 'u'},
    {"usb_reset_endp_err", 8, 2, 1, 'u'},
    {"usb_errint_cnt", 10, 2, 1, 'u'},
    {"usb_scsi_err", 12, 2, 1, 'u'},
    {"usb_urb_err", 14, 2, 1, 'u'},
    {"usb_stall_cnt", 16, 2, 1, 'u'},
    {"usb_mount_err", 18, 2, 1, 'u'},
    {"usb_mount_ok", 20, 2, 1, 'u'},
    {"usb_msc_err", 22, 2, 1, 'u'},
    {"usb_bbb_err", 24, 2, 1, 'u'},
    {"usb_xbd_err", 26, 2, 1, 'u'},
    {"usb_ehcd_err", 28, 2, 1, 'u'},
    {"usb_einit_err", 30, 2, 1, 'u'},
    {"usb_trans_err", 32, 2, 1, 'u'},
    {"usb_util_err", 34, 2, 1, 'u'},
    {"usb_reset_cnt", 36, 2, 1, 'u'},
    {"usb_reset_mask", 38, 2, 1, 'u'},
    {"usb_phy_linestate", 40, 1, 1, 'u'},
    {"usb_serial", 44, 1, 20, 't'},
    {"usb_mediastate", 64, 4, 1, 'u'},
    {"usb_errcnt", 68, 2, 1, 'u'},
    {"sys_media_err", 70, 1, 1, 'u'},
    {"usb_media_err", 71, 1, 1, 'u'},
    {"usb_hw_incompatible", 72, 1, 1, 'u'},
    {"can1_state", 73, 1, 1, 'u'},
    {"can2_state", 74, 1, 1, 'u'},
    {"ftp_err", 75, 1, 1, 'u'},
    {"cpu_load", 76, 4, 2, 'f'},
    {"cpu_load_10ms", 84, 4, 2, 'f'},
    {"cpu_load_100ms", 92, 4, 2, 'f'},
    {"prf_timestamp", 100, 4, 1, 'u'},
    {"prf_baserate", 104, 4, 1, 'u'},
    {"prf_mon_meas_tid", 108, 4, 4, 'u'},
    {"cpu_task_load", 124, 4, 4, 'f'},
    {"ftp_UserLoggedIn", 140, 4, 1, 'u'},
    {"card_size", 144, 4, 1, 'u'},
    {"card_part1_size", 148, 4, 1, 'u'},
    {"card_part2_size", 152, 4, 1, 'u'},
    {"ltm_pid", 156, 1, 1, 'u'},
    {"fcm_pid", 157, 1, 1, 'u'},
};
constexpr Field BLINK = {"blink", 160, 4, 1, 'u'};

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// The field (and its byte offset) that a name such as "cpu_load.1" means.
bool resolve(const std::string& name, bool withBlink, const Field** out, size_t* offset, std::string* error) {
    std::string base = name;
    long index = -1;
    if (size_t dot = name.find('.'); dot != std::string::npos) {
        base = name.substr(0, dot);
        const std::string digits = name.substr(dot + 1);
        char* end = nullptr;
        index = digits.empty() || digits.size() > 2 ? -2 : std::strtol(digits.c_str(), &end, 10);
        if (index < 0 || *end) return fail(error, "bad element index in '" + name + "'");
    }
    const Field* f = nullptr;
    for (const Field& c : FIELDS)
        if (base == c.name) f = &c;
    if (!f && withBlink && base == BLINK.name) f = &BLINK;
    if (!f) return fail(error, "no status field '" + base + "'");
    const bool array = f->kind != 't' && f->count > 1;
    if (array && index < 0)
        return fail(error, "'" + base + "' has " + std::to_string(f->count) + " elements: name one as " +
                               base + ".0 to " + base + "." + std::to_string(f->count - 1));
    if (!array && index >= 0) return fail(error, "'" + base + "' is not an array");
    if (array && index >= f->count)
        return fail(error, "'" + base + "' has " + std::to_string(f->count) + " elements");
    *out = f;
    *offset = f->offset + (array ? static_cast<size_t>(index) * f->size : 0);
    return true;
}

// The block and its semaphore, taken; the caller gives the semaphore back.
uint8_t* lockBlock(SEM_ID* sem, std::string* error) {
    *sem = semOpen(APPLCOMM_SEM, SEM_TYPE_BINARY, 0, 0, 0); // never created here
    auto* block = static_cast<uint8_t*>(shmMap(APPLCOMM_SHM, APPLCOMM_SIZE, false));
    if (!*sem || !block) {
        fail(error, "the status block is not set up (the system process has not started)");
        return nullptr;
    }
    // Wall-clock limit: in stepped time the clock may wait for this very caller.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (semTake(*sem, NO_WAIT) != OK) {
        if (errno != EAGAIN || std::chrono::steady_clock::now() > deadline) {
            fail(error, std::string("cannot take ") + APPLCOMM_SEM + ": " +
                            (errno == EAGAIN ? "held for more than 2 s" : std::strerror(errno)));
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return block;
}

bool parseUnsigned(const std::string& text, unsigned size, uint32_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno || *end || end == text.c_str() + (hex ? 2 : 0)) return false;
    if (size < 8 && v >> (8 * size)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

bool setStatus(const std::string& name, const std::string& value, std::string* error) {
    const Field* f;
    size_t offset;
    if (!resolve(name, false, &f, &offset, error)) return false;
    uint8_t bytes[20] = {};
    size_t len = f->size;
    if (f->kind == 'u') {
        uint32_t v;
        if (!parseUnsigned(value, f->size, &v))
            return fail(error, "'" + value + "' does not fit an unsigned " + std::to_string(8 * f->size) +
                                   "-bit field");
        std::memcpy(bytes, &v, f->size);
    } else if (f->kind == 'f') {
        errno = 0;
        char* end = nullptr;
        const float v = std::strtof(value.c_str(), &end);
        if (value.empty() || errno || *end || !std::isfinite(v))
            return fail(error, "'" + value + "' is not a number");
        std::memcpy(bytes, &v, sizeof v);
    } else {
        if (value.size() > f->count)
            return fail(error, "'" + name + "' holds at most " + std::to_string(f->count) + " characters");
        std::memcpy(bytes, value.data(), value.size());
        len = f->count;
    }
    SEM_ID sem;
    uint8_t* block = lockBlock(&sem, error);
    if (!block) return false;
    std::memcpy(block + offset, bytes, len);
    semGive(sem);
    return true;
}

bool getStatus(const std::string& name, std::string* value, std::string* error) {
    const Field* f;
    size_t offset;
    if (!resolve(name, true, &f, &offset, error)) return false;
    SEM_ID sem;
    uint8_t* block = lockBlock(&sem, error);
    if (!block) return false;
    uint8_t bytes[20] = {};
    std::memcpy(bytes, block + offset, f->kind == 't' ? f->count : f->size);
    semGive(sem);
    if (f->kind == 'u') {
        uint32_t v = 0;
        std::memcpy(&v, bytes, f->size);
        *value = std::to_string(v);
    } else if (f->kind == 'f') {
        float v;
        std::memcpy(&v, bytes, sizeof v);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
        *value = buf;
    } else {
        *value = std::string(reinterpret_cast<const char*>(bytes),
                             strnlen(reinterpret_cast<const char*>(bytes), f->count));
    }
    return true;
}

std::vector<std::string> statusFields() {
    std::vector<std::string> names;
    for (const Field& f : FIELDS)
        names.emplace_back(f.name);
    return names;
}

} // namespace sysproc
