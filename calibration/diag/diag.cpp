#include "calibration/diag/diag.h"

#include "calibration/block/block.h"
#include "platform/os/os.h"
#include "services/bytes/bytes.h"
#include "services/errmgr/errmgr.h"
#include "services/nvramst/nvramst.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"
#include "services/timeserv/timeserv.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

constexpr char PRODUCT[] = "KVX2";
constexpr char VERSION[] = "1.8";
constexpr uint16_t SET_DATE_TIME = 0x808C;

uint8_t uplBuf[DIAG_UPLOAD_SIZE];
uint8_t dwnBuf[DIAG_DOWNLOAD_SIZE];
uint32_t pendingWrite;
std::atomic<const uint32_t*> fileCounts[3];

bool inside(uint32_t start, uint32_t size, uint32_t address, uint32_t length) {
    return address >= start && address - start <= size && length <= size - (address - start);
}

// Text into the upload buffer, at most 255 bytes; its length.
uint8_t putText(uint8_t* out, const char* text) {
    const size_t n = strnlen(text, 255);
    std::memcpy(out, text, n);
    return static_cast<uint8_t>(n);
}

// Fills `out` (upload buffer size) and *length; false when the data cannot be had.
bool prepare(uint16_t id, uint8_t* out, uint8_t* length) {
    switch (id) {
    case 0x8000:
        std::memcpy(out, VERSION, sizeof VERSION);
        *length = sizeof VERSION;
        return true;
    case 0x8001:
        diagService_GetProductName(reinterpret_cast<char*>(out), sizeof PRODUCT);
        *length = sizeof PRODUCT;
        return true;
    case 0x8002:
    case 0x8003: {
        char text[DEVDATA_TEXT_SIZE];
        if ((id == 0x8002 ? nvramst_get_partNumber(text) : nvramst_get_serialNumber(text)) != 0) return false;
        std::memcpy(out, text, sizeof text);
        *length = sizeof text;
        return true;
    }
    case 0x8004:
    case 0x8005:
        *length = putText(out, seramGetEPKPtr());
        return true;
    case 0x8006:
        *length = 0;
        return true;
    case 0x8007: {
        uint32_t seconds;
        if (nvramst_get_lifeTime(&seconds) != 0) return false;
        std::memcpy(out, &seconds, 4);
        *length = 4;
        return true;
    }
    case 0x8008: {
        char text[256];
        const size_t n = strnlen(seramGetEPKPtr(), 254);
        std::memcpy(text, seramGetEPKPtr(), n);
        text[n] = '\n';
        diagService_GetCarId(text + n + 1, sizeof text - n - 1);
        *length = putText(out, text);
        return true;
    }
    case 0x8009: {
        float celsius;
        if (nvramst_get_maxTECU(&celsius) != 0) return false;
        // A byte of degrees + 40: whatever the store holds, it saturates instead of wrapping.
        const double v = std::round(static_cast<double>(celsius) + 40.0);
        out[0] = v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v);
        *length = 1;
        return true;
    }
    case 0x800A: {
        // The length byte tells the tool how many bytes to upload: records of 12 bytes.
        const int records = error_mgr_get_data(out, DIAG_UPLOAD_SIZE - 1);
        *length = static_cast<uint8_t>(records * ERROR_MGR_DATA_RECORD);
        return true;
    }
    case 0x800B: {
        uint32_t state = 0;
        if (error_mgr_get_state(&state) != 0) state = 0;
        out[0] = state == 1 || state == 2 ? static_cast<uint8_t>(state) : 0;
        *length = 1;
        return true;
    }
    case 0x800C: {
        uint8_t version = 0;
        error_mgr_get_version(&version);
        out[0] = version;
        *length = 1;
        return true;
    }
    case 0x8010:
    case 0x8011:
    case 0x8018: {
        const uint32_t* count = fileCounts[id == 0x8010 ? 0 : id == 0x8011 ? 1 : 2].load();
        bytes::put_be32(out, count ? *count : 0);
        *length = 4;
        return true;
    }
    case 0x8020:
        *length = 0;
        return diagService_write(dwnBuf);
    case 0x8040:
        error_mgr_clear_all();
        *length = 0;
        return true;
    case 0x808B: {
        timespec now{};
        osClockGettime(CLOCK_REALTIME, &now);
        bytes::put_be32(out, static_cast<uint32_t>(now.tv_sec));
        *length = 4;
        return true;
    }
    default:
        return false;
    }
}

} // namespace

int diagService(uint16_t id, const uint8_t*, uint32_t* uplAddr, uint8_t* length, uint8_t* second,
                uint32_t* dwnAddr) {
    *uplAddr = 0, *length = 0, *second = 0, *dwnAddr = 0;
    if (id == SET_DATE_TIME) {
        pendingWrite = id;
        *uplAddr = DIAG_UPLOAD_ADDR, *dwnAddr = DIAG_DOWNLOAD_ADDR, *length = 4;
        return 0;
    }
    const bool known = (id >= 0x8000 && id <= 0x800C) || id == 0x8010 || id == 0x8011 || id == 0x8018 ||
                       id == 0x8020 || id == 0x8040 || id == 0x808B;
    if (!known) {
        SYSLOGX_GUARDED(LOG_ERR, "diagService(): %x is an not supported service id!", id);
        return 1;
    }
    uint8_t out[DIAG_UPLOAD_SIZE] = {};
    if (!prepare(id, out, length)) return 1;
    std::memcpy(uplBuf, out, *length);
    *uplAddr = DIAG_UPLOAD_ADDR;
    return 0;
}

bool diagService_write(const uint8_t* data) {
    if (pendingWrite != SET_DATE_TIME) return false;
    const timespec t{static_cast<time_t>(bytes::get_be32(data)), 0};
    date_msd d{};
    if (!conv_time_to_date(&t, &d)) return false;
    SYSLOGX_RATE_GUARDED(LOG_INFO,
                         "DIAG_SERVICE_SET_DATE_TIME: RTC set to %.2d.%.2d.%.4d %.2d:%.2d:%.2d.%.3d", d.DAY,
                         d.MONTH, d.YEAR, d.HOUR, d.MIN, d.SEC, d.MS);
    timeserv_newSystemTime(d);
    return true;
}

bool diagService_addrInUplBuf(uint32_t address, uint32_t length) {
    return inside(DIAG_UPLOAD_ADDR, DIAG_UPLOAD_SIZE, address, length);
}
bool diagService_addrInDwnBuf(uint32_t address, uint32_t length) {
    return inside(DIAG_DOWNLOAD_ADDR, DIAG_DOWNLOAD_SIZE, address, length);
}

bool diagService_read(uint32_t address, void* dst, uint32_t length) {
    if (!diagService_addrInUplBuf(address, length)) return false;
    std::memcpy(dst, uplBuf + (address - DIAG_UPLOAD_ADDR), length);
    return true;
}
bool diagService_store(uint32_t address, const void* src, uint32_t length) {
    if (!diagService_addrInDwnBuf(address, length)) return false;
    std::memcpy(dwnBuf + (address - DIAG_DOWNLOAD_ADDR), src, length);
    return true;
}

void diagService_GetProductName(char* dst, size_t size) {
    if (!size) return;
    const size_t n = sizeof PRODUCT - 1 < size - 1 ? sizeof PRODUCT - 1 : size - 1;
    std::memcpy(dst, PRODUCT, n);
    dst[n] = 0;
}

void diagService_GetCarId(char* dst, size_t size) {
    if (!size) return;
    const char* configured = carid_vyn_info;
    if (configured[0]) {
        const size_t n = strnlen(configured, 32) < size - 1 ? strnlen(configured, 32) : size - 1;
        std::memcpy(dst, configured, n);
        dst[n] = 0;
        return;
    }
    diagService_GetProductName(dst, size);
    size_t used = std::strlen(dst);
    if (size - used < 2) return;
    dst[used++] = '_';
    char serial[DEVDATA_TEXT_SIZE] = {};
    if (nvramst_get_serialNumber(serial) != 0) serial[0] = 0;
    for (size_t i = 0; i < sizeof serial && serial[i] && serial[i] != ' ' && used < size - 1; ++i)
        dst[used++] = serial[i];
    dst[used] = 0;
}

void diagService_setFileCounts(const uint32_t* part1, const uint32_t* part2, const uint32_t* usb) {
    fileCounts[0] = part1, fileCounts[1] = part2, fileCounts[2] = usb;
}

void diagService_reset() {
    std::memset(uplBuf, 0, sizeof uplBuf);
    std::memset(dwnBuf, 0, sizeof dwnBuf);
    pendingWrite = 0;
}
