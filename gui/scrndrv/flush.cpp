#include "gui/scrndrv/scrndrv.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<uint32_t> gIndex{0};
} // namespace

void scrndrvSetRtpIndex(uint32_t index) {
    gIndex = index;
}
uint32_t scrndrvGetRtpIndex() {
    return gIndex;
}

void scrndrvFrameBufferName(uint32_t index, char* buf, int size) {
    std::snprintf(buf, static_cast<size_t>(size), "/shm/FrameBuffer_%u", index);
}

uint32_t* scrndrvFrameBuffer() {
    char name[64];
    scrndrvFrameBufferName(gIndex, name, sizeof name);
    void* p = shmMap(name, static_cast<size_t>(SCRNDRV_WIDTH) * SCRNDRV_HEIGHT * 4, false);
    if (!p) syslogx(LOG_ERR, "scrndrvFrameBuffer(): no frame buffer '%s'", name);
    return static_cast<uint32_t*>(p);
}

int scrndrvFlush() {
    if (kmgr_syscall(KCALL_DISPLAY_FLUSH, static_cast<intptr_t>(gIndex.load()), KCALL_DISPLAY_ID, 1) == 0)
        return 0;
    syslogx(LOG_ERR, "scrndrvFlush(): could not set flush display");
    return -1;
}

int scrndrvWaitFlush() {
    if (kmgr_syscall(KCALL_DISPLAY_WAIT_FLUSH, static_cast<intptr_t>(gIndex.load()), KCALL_DISPLAY_ID, 2) ==
        0)
        return 0;
    syslogx(LOG_ERR, "scrndrvWaitFlush(): could not wait for flushing display");
    return -1;
}
