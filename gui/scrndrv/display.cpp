// Display layers, the one-colour fill and the boot logo.
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "platform/hw/hw.h"
#include "platform/kmgr/kmgr.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstdlib>

namespace {

// 0 not fetched, 1 being fetched, 2 fetched (then the buffer below stays for the whole run).
std::atomic<int> scrndrvInitialized{0};
char* gLogo = nullptr;
uint32_t gLogoSize = 0;

void writeLayer(int layer, uint32_t value) {
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP * static_cast<uintptr_t>(layer),
               value);
}

} // namespace

void scrndrvLayerEnable(int layer) {
    if (layer < 0 || layer >= SCRNDRV_LAYERS) {
        SYSLOGX_GUARDED(LOG_ERR, "scrndrvLayerEnable(): unexpected layer %i", layer);
        return;
    }
    writeLayer(layer, zynq::DISPLAY_LAYER_ON);
}

void scrndrvLayerDisable(int layer) {
    if (layer < 0 || layer >= SCRNDRV_LAYERS) {
        SYSLOGX_GUARDED(LOG_ERR, "scrndrvLayerDisable(): unexpected layer %i", layer);
        return;
    }
    writeLayer(layer, 0);
}

int scrndrvSetColor(unsigned long colour) {
    if (uint32_t* fb = scrndrvFrameBuffer()) {
        for (int y = 0; y < SCRNDRV_APP_HEIGHT; ++y) {
            uint32_t* row = fb + static_cast<size_t>(y) * SCRNDRV_WIDTH;
            for (int x = 0; x < SCRNDRV_APP_WIDTH; ++x)
                row[x] = static_cast<uint32_t>(colour);
        }
    }
    return scrndrvFlush();
}

void scrndrvInit() {
    int expected = 0;
    if (!scrndrvInitialized.compare_exchange_strong(expected, 1)) return; // fetched, or being fetched
    int32_t size = 0;
    if (kmgr_syscall(KCALL_BOOTLOGO_SIZE, reinterpret_cast<intptr_t>(&size)) == -1) {
        syslogx(LOG_ERR, "scrndrvInit(): syscall getBootLogoSize returns error");
        scrndrvInitialized = 0;
        return;
    }
    if (size <= 0) {
        syslogx(LOG_ERR, "scrndrvInit(): error getting boot logo size");
        scrndrvInitialized = 0;
        return;
    }
    char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!buf) {
        syslogx(LOG_ERR, "scrndrvInit(): no memory for boot logo");
        scrndrvInitialized = 0;
        return;
    }
    if (kmgr_syscall(KCALL_BOOTLOGO_COPY, reinterpret_cast<intptr_t>(buf), size) == -1) {
        syslogx(LOG_ERR, "scrndrvInit(): couldnt get boot logo, syscall returns error");
        std::free(buf); // the next call fetches again
        scrndrvInitialized = 0;
        return;
    }
    gLogo = buf;
    gLogoSize = static_cast<uint32_t>(size);
    scrndrvInitialized = 2;
    scrndrvLoadObj();
}

void scrndrvGetBootLogo(char** address, uint32_t* size) {
    const bool have = scrndrvInitialized == 2;
    if (address) *address = have ? gLogo : nullptr;
    if (size) *size = have ? gLogoSize : 0;
}

int scrndrvInitDumpWithBootLogo(scrn_dump_t* dump) {
    char* logo = nullptr;
    uint32_t size = 0;
    scrndrvGetBootLogo(&logo, &size);
    if (!logo) return 0;
    return scrndrvInitDumpByMem(dump, logo, logo + size);
}

void scrndrvLoadObj() {
    char* logo = nullptr;
    scrndrvGetBootLogo(&logo, nullptr);
    scrn_dump_t d{};
    if (!logo)
        syslogx(LOG_ERR, "Scrndrv: Failed to load screen dump BootLogo");
    else if (!scrndrvInitDumpWithBootLogo(&d))
        syslogx(LOG_ERR, "Scrndrv: Failed to convert screen dump BootLogo");
    else
        scrndrvDrawImg(&d);
    scrndrvLayerEnable(1);
}
