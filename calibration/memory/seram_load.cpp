// Loading the stored dataset at start and storing the reference dataset on request.
#include "calibration/memory/seram_private.h"

#include "calibration/dataid/dataid.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

uint8_t* refData() {
    return seram_memory + SERAM_REFPAGE;
}
uint8_t* workData() {
    return seram_memory + SERAM_WORKPAGE;
}

uint16_t storedCrc(const uint8_t* image) {
    return bytes::get_le16(image + SERAM_DATASET_SIZE);
}

void storeTaskEntry(intptr_t cb, intptr_t arg, intptr_t, intptr_t) {
    seramTask(reinterpret_cast<seramStoreCallback>(cb), arg);
}

} // namespace

int seramLoadRefPageFromMedia(void* dst, uint32_t len, uint8_t*) {
    if (kmgr_syscall(KCALL_DATASET_LOAD, 1, reinterpret_cast<intptr_t>(dst), len) == -1) {
        syslogx(LOG_ERR, "syscall() returned an error while initializing RefPage");
        return -1;
    }
    return 0;
}

int seramWriteRefPageToMedia(const void* src, uint32_t len) {
    if (kmgr_syscall(KCALL_DATASET_STORE, 1, reinterpret_cast<intptr_t>(src), len) == -1) {
        syslogx(LOG_ERR, "syscall() returned an error while storing RefPage");
        return -1;
    }
    return 0;
}

int seram_nvwp_init() {
    return 1;
}

int seramInitialize() {
    seramInitializeOffsets();
    if (seramGetWorkpageSize() != seramGetRefpageSize()) {
        syslogx(LOG_CRIT, "seramInitialize: Seram DATA/REF size different, reprogram the ECU");
        return 0;
    }
    uint8_t raw = 0;
    uint8_t* loaded = workData();
    bool ok = false;
    if (seramLoadRefPageFromMedia(loaded, SERAM_IMAGE_SIZE, &raw) != 0) {
        syslogx(LOG_CRIT, "seramReadRefpageBin() cannot load RefPage. Use default data");
    } else if (!seramSameEpk(seramInfo.epk, reinterpret_cast<const char*>(loaded + SERAM_EPK_OFFSET))) {
        syslogx(LOG_CRIT, "SERAM: EPK does not match, use default data '%s' vs '%.32s'", seramInfo.epk,
                reinterpret_cast<const char*>(loaded + SERAM_EPK_OFFSET));
    } else {
        seramInfo.initialCrc = crc16_ibm_accu(loaded, SERAM_DATASET_SIZE, 0);
        if (seramInfo.initialCrc != storedCrc(loaded))
            syslogx(LOG_CRIT, "SERAM: Refpage corrupted (Wrong CRC)");
        else
            ok = true;
    }
    if (!ok) {
        syslogx(LOG_CRIT, "SERAM: Please reprogram the dataset in order to start the ECU");
        std::memcpy(workData(), refData(), SERAM_DATASET_SIZE);
        return 0;
    }
    seramWriteUnProtectPage(refData(), 0);
    std::memcpy(refData(), loaded, SERAM_IMAGE_SIZE);
    seramWriteProtectPage(refData(), 0);
    if (raw) seramCopyRefToFlashpage(nullptr, 0);
    seramSetRefpageActive();
    seram_nvwp_init();
    return seram_registerShell();
}

bool seramCopyRefToFlashpage(seramStoreCallback cb, intptr_t arg) {
    if (taskSpawn("r_seram", 140, VX_FP_TASK, 4096, storeTaskEntry, reinterpret_cast<intptr_t>(cb), arg) ==
        TASK_ID_NULL) {
        syslogx(LOG_ERR, "seramCopyRefToFlashpage: taskSpawn errno %#x", static_cast<unsigned>(errno));
        return false;
    }
    return true;
}

int seramTask(seramStoreCallback cb, intptr_t arg) {
    syslogx(LOG_INFO, "seramTask started");
    const uint16_t crc = crc16_ibm_accu(refData(), SERAM_DATASET_SIZE, 0);
    seramWriteUnProtectPage(refData() + SERAM_DATASET_SIZE, 0);
    bytes::put_le16(refData() + SERAM_DATASET_SIZE, crc);
    seramWriteProtectPage(refData() + SERAM_DATASET_SIZE, 0);
    int result = seramWriteRefPageToMedia(refData(), SERAM_IMAGE_SIZE);
    if (result != 0) {
        result = -1;
        SERAM_LOG(SLS_STORE_FAILED, LOG_ERR, "seramWriteRefPageToMedia() failed to store RefPage");
    }
    if (cb) cb(result, arg);
    syslogx(LOG_INFO, "seramTask ends now");
    return result;
}
