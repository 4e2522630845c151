#include "services/fileutil/fileutil.h"

#include "services/rtpman/rtpman.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/osfs.h"
#include "services/syslog/syslog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char* shown(const char* s) {
    return s ? s : "(null)";
}

// Copies `len` characters of src, cut to fit n bytes with the NUL.
void copyBounded(char* dst, const char* src, size_t len, size_t n) {
    len = std::min(len, n - 1);
    std::memmove(dst, src, len);
    dst[len] = 0;
}

int flushWith(const char* path, void (*split)(const char*, char*, char*, size_t)) {
    constexpr size_t N = 27; // 26 characters each
    char p[N], dir[N], file[N];
    copyBounded(p, path ? path : "", path ? std::strlen(path) : 0, N);
    split(p, dir, file, N);
    if (!dir[0]) {
        SYSLOGX_GUARDED(LOG_INFO, "flush() failed '%s', '%s', '%s'", shown(path), dir, file);
        return -1;
    }
    int fd = osOpen(dir, O_RDONLY);
    if (fd < 0) {
        SYSLOGX_GUARDED(LOG_INFO, "flush() open failed '%s', '%s', '%s'", shown(path), dir, file);
        return -1;
    }
    int r = osIoctl(fd, OS_FIOSYNC, 0);
    close(fd);
    if (r != 0) {
        SYSLOGX_GUARDED(LOG_INFO, "flush() ioctl failed '%s', '%s', '%s' ret %X", shown(path), dir, file,
                        static_cast<unsigned>(r));
        return -1;
    }
    return 0;
}

void octets(uint32_t a, int o[4]) {
    for (int i = 0; i < 4; ++i)
        o[i] = static_cast<int>((a >> (24 - 8 * i)) & 0xFF);
}

uint32_t subnets[MAX_SUBNETS];
int subnetCount;
uint32_t defaultGateway;
bool gatewaySet;

} // namespace

// ---- files and paths ---------------------------------------------------------------

int fexist(const char* path) {
    FILE* f = osFopen(path, "r");
    if (!f) return 0;
    std::fclose(f);
    return 1;
}

uint32_t fsize(const char* path) {
    if (!path) return 0;
    if (!fexist(path)) {
        SYSLOGX_GUARDED(LOG_ERR, "fsize() file '%s' does not exist", path);
        return 0;
    }
    int fd = osOpen(path, O_RDONLY);
    if (fd < 0) {
        SYSLOGX_GUARDED(LOG_ERR, "fsize() file '%s' open failed", path);
        return 0;
    }
    FILE* f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        SYSLOGX_GUARDED(LOG_ERR, "fsize() fdopen file '%s' failed", path);
        return 0;
    }
    uint32_t size = 0;
    bool ok = osIoctl(fd, OS_FIOSIZE, reinterpret_cast<intptr_t>(&size)) == 0;
    // A directory has no size to seek to; anything else may still be measured by seeking.
    if (!ok && errno != EISDIR && std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        if (end >= 0 && static_cast<unsigned long>(end) <= UINT32_MAX) {
            size = static_cast<uint32_t>(end);
            ok = true;
        }
    }
    std::fclose(f);
    if (!ok) {
        SYSLOGX_GUARDED(LOG_ERR, "fsize() fseek and ioctl for file '%s' failed", path);
        return 0;
    }
    SYSLOGX_GUARDED(LOG_DEBUG, "fsize() found %u Bytes for file '%s'", size, path);
    return size;
}

char* fload(const char* path, uint32_t* len) {
    if (len) *len = 0;
    uint32_t size = fsize(path);
    if (size == 0) {
        SYSLOGX_GUARDED(LOG_DEBUG, "fload() fsize failed, cold not read file '%s'", shown(path));
        return nullptr;
    }
    auto* buf = static_cast<char*>(std::calloc(static_cast<size_t>(size) + 1, 1));
    if (!buf) {
        SYSLOGX_GUARDED(LOG_ERR, "fload() calloc len %d Bytes error file '%s' failed", static_cast<int>(size),
                        path);
        return nullptr;
    }
    FILE* f = osFopen(path, "rb");
    if (!f) {
        std::free(buf);
        SYSLOGX_GUARDED(LOG_ERR, "fload() fopen file '%s' failed", path);
        return nullptr;
    }
    if (len) *len = size;
    size_t got = std::fread(buf, 1, size, f);
    std::fclose(f);
    if (got != size) {
        std::free(buf);
        return nullptr;
    }
    return buf;
}

const char* pathSlashRindex(const char* path) {
    if (!path) return nullptr;
    const char* slash = std::strrchr(path, '/');
    const char* back = std::strrchr(path, '\\');
    if (!slash) return back;
    if (!back) return slash;
    return slash > back ? slash : back;
}

void pathSplitn(const char* path, char* dir, char* file, size_t n) {
    if (!dir || !file || n == 0) return;
    dir[0] = file[0] = 0;
    if (!path) return;
    if (const char* sep = pathSlashRindex(path)) {
        copyBounded(dir, path, sep == path ? 1 : static_cast<size_t>(sep - path), n);
        copyBounded(file, sep + 1, std::strlen(sep + 1), n);
        return;
    }
    struct stat st;
    if (osStat(path, &st) == 0 && S_ISDIR(st.st_mode))
        copyBounded(dir, path, std::strlen(path), n);
    else
        copyBounded(file, path, std::strlen(path), n);
}

void measPathSplitn(const char* path, char* dir, char* file, size_t n) {
    if (!dir || !file || n == 0) return;
    dir[0] = file[0] = 0;
    if (!path) return;
    if (pathSlashRindex(path)) {
        pathSplitn(path, dir, file, n);
        return;
    }
    if (const char* colon = strnrchr(path, ':', n)) {
        copyBounded(dir, path, static_cast<size_t>(colon - path) + 1, n);
        copyBounded(file, colon + 1, std::strlen(colon + 1), n);
        return;
    }
    SYSLOGX_GUARDED(
        LOG_ERR,
        "measPathSplitn() could not determine any seperator for drive/directory or filename '%s', cpy all "
        "to filename",
        path);
    copyBounded(file, path, std::strlen(path), n);
}

int flushDir(const char* path) {
    return flushWith(path, pathSplitn);
}
int measFlushDir(const char* path) {
    return flushWith(path, measPathSplitn);
}

int flushDirViaFile(const char* path) {
    int fd = osOpen(path, O_RDONLY);
    if (fd < 0) return -1;
    int r = osIoctl(fd, OS_FIOSYNC, 0);
    close(fd);
    return r == 0 ? 0 : -1;
}

int removeFile(const char* path) {
    if (!path) return -1;
    int fd = osOpen(path, O_RDONLY);
    if (fd < 0) return -1;
    int r = osIoctl(fd, OS_FIODELETE, 0);
    close(fd);
    return r == 0 ? 0 : -1;
}

int removeFileExt(const char* directory, const char* extension) {
    if (!directory || !extension) return -1;
    // Names are built whole or not at all: a cut name could be another file.
    constexpr size_t PATH_LEN = 256;
    if (std::strlen(directory) + 2 >= PATH_LEN) {
        SYSLOGX_GUARDED(LOG_ERR, "removeFileExt() directory name too long, nothing removed: '%s'", directory);
        return -1;
    }
    struct stat st;
    if (osStat(directory, &st) != 0) {
        std::printf("Unable to open path: %s\n", directory);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) return 0;
    DIR* d = osOpendir(directory);
    if (!d) {
        std::printf("Unable to open path: %s\n", directory);
        return -1;
    }
    int removed = 0;
    while (struct dirent* e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        const char* dot = strnrchr(e->d_name, '.', 256);
        if (!dot || std::strncmp(dot + 1, extension, 3) != 0) continue;
        char full[PATH_LEN];
        int len = std::snprintf(full, sizeof full, "%s/%s", directory, e->d_name);
        if (len < 0 || static_cast<size_t>(len) >= sizeof full) {
            SYSLOGX_GUARDED(LOG_ERR, "removeFileExt() path too long, not removed: '%s/%s'", directory,
                            e->d_name);
            continue;
        }
        if (removeFile(full) == 0) ++removed;
    }
    closedir(d);
    return removed;
}

// ---- bounded strings ---------------------------------------------------------------

const char* strnrchr(const char* text, int c, size_t n) {
    if (!text) return nullptr;
    size_t len = strnlen(text, n);
    if (len == n) return nullptr;
    const char ch = static_cast<char>(c);
    if (ch == 0) return text + len;
    for (size_t i = len; i-- > 0;)
        if (text[i] == ch) return text + i;
    return nullptr;
}

void strncpy_tail(char* dest, const char* src, size_t n) {
    if (!dest || n == 0) return;
    if (!src) {
        dest[0] = 0;
        return;
    }
    size_t len = std::strlen(src);
    size_t keep = std::min(len, n - 1);
    std::memmove(dest, src + (len - keep), keep);
    dest[keep] = 0;
}

// ---- drives and USB ----------------------------------------------------------------

int driveAvailable(const char* drive) {
    if (!drive) return -1;
    intptr_t r = kmgr_syscall(KCALL_DRIVE_AVAILABLE, static_cast<intptr_t>(RtpManUsr_getIndex()),
                              reinterpret_cast<intptr_t>(drive), 1);
    return r == 1 ? 0 : -1;
}

intptr_t usbMon_resetRequest(uint8_t request, uint8_t value) {
    // The one manager call whose first argument is not the process index.
    return kmgr_syscall(KCALL_USB_REQUEST, request, value);
}

// ---- diagnostic bit buffers --------------------------------------------------------

namespace {

template <typename B, typename W> void dbInit(B* b) {
    b->current = b->latched = b->seen = 0;
}

template <typename B, typename W> void dbWrite(B* b, W value, W mask, bool latch) {
    b->current = static_cast<W>((b->current & ~mask) | (value & mask));
    if (latch)
        b->latched = static_cast<W>(b->latched | (value & mask));
    else
        b->latched = static_cast<W>(b->latched & ~mask);
    b->seen = static_cast<W>(b->seen | mask);
}

template <typename B, typename W> void dbRead(B* b, W mask, W* errors, W* seen) {
    W e = static_cast<W>((b->current | b->latched) & mask);
    W s = static_cast<W>(b->seen & mask);
    if (errors) *errors = e;
    if (seen) *seen = s;
    b->latched = static_cast<W>(b->latched & ~e);
    b->seen = static_cast<W>(b->seen & ~mask);
}

template <typename B, typename W> W dbRaw(const B* b, W mask, W* out) {
    W v = static_cast<W>(b->current & mask);
    if (out) *out = v;
    return v;
}

} // namespace

void DiagBuff_Initialize(DiagBuff* b) {
    dbInit<DiagBuff, uint32_t>(b);
}
void DiagBuff_Write(DiagBuff* b, uint32_t value, uint32_t mask) {
    dbWrite(b, value, mask, true);
}
void DiagBuff_OverWrite(DiagBuff* b, uint32_t value, uint32_t mask) {
    dbWrite(b, value, mask, false);
}
void DiagBuff_Read(DiagBuff* b, uint32_t mask, uint32_t* errors, uint32_t* seen) {
    dbRead(b, mask, errors, seen);
}
uint32_t DiagBuff_GetErrorRaw(const DiagBuff* b, uint32_t mask, uint32_t* out) {
    return dbRaw(b, mask, out);
}

void DiagBuff16_Initialize(DiagBuff16* b) {
    dbInit<DiagBuff16, uint16_t>(b);
}
void DiagBuff16_Write(DiagBuff16* b, uint16_t value, uint16_t mask) {
    dbWrite(b, value, mask, true);
}
void DiagBuff16_OverWrite(DiagBuff16* b, uint16_t value, uint16_t mask) {
    dbWrite(b, value, mask, false);
}
void DiagBuff16_Read(DiagBuff16* b, uint16_t mask, uint16_t* errors, uint16_t* seen) {
    dbRead(b, mask, errors, seen);
}
uint16_t DiagBuff16_GetErrorRaw(const DiagBuff16* b, uint16_t mask, uint16_t* out) {
    return dbRaw(b, mask, out);
}

// ---- network configuration ---------------------------------------------------------

int add_subnet(uint32_t address) {
    const uint32_t net = address & 0xFFFFFF00u;
    const uint32_t own = AppMan_getIPv4Addr();
    if (net == (own & 0xFFFFFF00u)) return -1;
    for (int i = 0; i < subnetCount; ++i)
        if (subnets[i] == net) return -1;
    int o[4];
    octets(address, o);
    if (subnetCount >= MAX_SUBNETS) {
        SYSLOGX_GUARDED(LOG_ERR, "add_subnet: too many subnets (ignored): %d.%d.%d.%d", o[0], o[1], o[2],
                        o[3]);
        return -1;
    }
    subnets[subnetCount++] = net;
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "gem0 inet add %d.%d.%d.%d netmask 255.255.255.0", o[0], o[1], o[2],
                  static_cast<int>(own & 0xFF));
    return static_cast<int>(kmgr_syscall(KCALL_IF_COMMAND, static_cast<intptr_t>(RtpManUsr_getIndex()),
                                         reinterpret_cast<intptr_t>(cmd)));
}

int setDefaultGateway(uint32_t address) {
    int o[4];
    octets(address, o);
    if (gatewaySet) {
        SYSLOGX_GUARDED(LOG_ERR, "setStandardGateway: tried to set standard gateway 2nd time: %d.%d.%d.%d",
                        o[0], o[1], o[2], o[3]);
        return -1;
    }
    gatewaySet = true;
    defaultGateway = address;
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "add default %d.%d.%d.%d", o[0], o[1], o[2], o[3]);
    return static_cast<int>(kmgr_syscall(KCALL_ROUTE_COMMAND, static_cast<intptr_t>(RtpManUsr_getIndex()),
                                         reinterpret_cast<intptr_t>(cmd)));
}

void fileutil_reset() {
    subnetCount = 0;
    std::memset(subnets, 0, sizeof subnets);
    defaultGateway = 0;
    gatewaySet = false;
}
