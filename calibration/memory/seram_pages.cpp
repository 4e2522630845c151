// Geometry, page switch, page copies, guarded download and read, checksums of ranges.
// Range checks work on virtual addresses (offsets) and compare a length with the room left
// after the start, so that no start + length can wrap.
#include "calibration/memory/seram_private.h"

#include "calibration/block/word.h"
#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"
#include "vyn/vartable.h"

#include <cstring>
#include <vector>

SeramInfo seramInfo;
std::atomic<uint8_t> seramLogSites[SLS_COUNT];
uint32_t seramErrorToggle[SERAM_ERROR_BYTES / 4];
const char* EPKIDSTRING;

namespace {

constexpr uint32_t END = SERAM_BLOCK_SIZE;
std::atomic<const seramDownloadHooks*> downloadHooks{nullptr};

uint8_t* phys(uint32_t vaddr) {
    return seram_memory + vaddr;
}

void fillAddrRecord(seramAddrRecord* r, uint32_t vstart, uint32_t vend) {
    r->physStart = phys(vstart);
    r->physEnd = phys(vend);
    r->virtStart = vstart;
    r->virtEnd = vend;
    r->size = vend - vstart;
}

bool inArea(const seramAddrRecord& r, uint32_t vaddr) {
    return r.virtStart <= vaddr && vaddr < r.virtEnd;
}

// [vaddr, vaddr + len) lies in the block; `endInside` asks for the end itself to lie below
// the block's end too (writes and page copies never touch the block's last byte).
bool rangeOk(uint32_t vaddr, uint32_t len, bool endInside) {
    if (vaddr > END) return false;
    return endInside ? vaddr < END && len < END - vaddr : len <= END - vaddr;
}

} // namespace

void seramInitializeOffsets() {
    SeramInfo& s = seramInfo;
    s.epk = reinterpret_cast<const char*>(phys(SERAM_EPK_OFFSET));
    EPKIDSTRING = s.epk;
    s.pageOffset = SERAM_PAGE_SIZE;
    s.virtualOffset = static_cast<uintptr_t>(0) - reinterpret_cast<uintptr_t>(seram_memory);
    s.epkOffset = SERAM_EPK_OFFSET;
    fillAddrRecord(&s.block, 0, END);
    fillAddrRecord(&s.refpage, SERAM_REFPAGE, SERAM_REFPAGE + SERAM_PAGE_SIZE);
    fillAddrRecord(&s.refdata, SERAM_REFPAGE, SERAM_REFPAGE + SERAM_DATASET_SIZE);
    fillAddrRecord(&s.workpage, SERAM_WORKPAGE, SERAM_WORKPAGE + SERAM_PAGE_SIZE);
    fillAddrRecord(&s.workdata, SERAM_REFPAGE + s.pageOffset,
                   SERAM_REFPAGE + s.pageOffset + SERAM_DATASET_SIZE);
    fillAddrRecord(&s.signalpage, SERAM_SIGNALPAGE, SERAM_SIGNALPAGE + SERAM_SIGNALPAGE_SIZE);
    fillAddrRecord(&s.adaptpage, SERAM_ADAPTPAGE, SERAM_ADAPTPAGE + SERAM_ADAPTPAGE_SIZE);
    fillAddrRecord(&s.adaptvolpage, SERAM_ADAPTVOL, SERAM_ADAPTVOL + SERAM_ADAPTVOL_SIZE);
}

uint32_t seramGetVirtualRefpageAddr() {
    return seramInfo.refpage.virtStart;
}
uint32_t seramGetRefpageSize() {
    return seramInfo.refpage.size;
}
uint32_t seramGetVirtualWorkpageAddr() {
    return seramInfo.workpage.virtStart;
}
uint32_t seramGetWorkpageSize() {
    return seramInfo.workpage.size;
}
uint32_t seramGetVirtualAdaptAddr() {
    return seramInfo.adaptpage.virtStart;
}
uint8_t* seramGetAdaptAddr() {
    return seramInfo.adaptpage.physStart;
}
uint32_t seramGetAdaptSize() {
    return seramInfo.adaptpage.size;
}
uint32_t seramGetVirtualAdaptVolatileAddr() {
    return seramInfo.adaptvolpage.virtStart;
}
uint8_t* seramGetAdaptVolatileAddr() {
    return seramInfo.adaptvolpage.physStart;
}
uint32_t seramGetAdaptVolatileSize() {
    return seramInfo.adaptvolpage.size;
}
uint32_t seramGetVirtualSignalpageAddr() {
    return seramInfo.signalpage.virtStart;
}
uint8_t* seramGetSignalpageAddr() {
    return seramInfo.signalpage.physStart;
}
uint32_t seramGetSignalpageSize() {
    return seramInfo.signalpage.size;
}
uint32_t seramGetEPKOffset() {
    return SERAM_EPK_OFFSET;
}
uint16_t seramGetRefPageInitialCrc() {
    return seramInfo.initialCrc;
}
uint16_t seramGetRefPageActCrc() {
    const uint8_t* w = phys(SERAM_REFPAGE + SERAM_DATASET_SIZE);
    return bytes::get_le16(w);
}

bool seramVirtualAddrIsRefpage(uint32_t v) {
    return inArea(seramInfo.refpage, v);
}
bool seramVirtualAddrIsWorkpage(uint32_t v) {
    return inArea(seramInfo.workpage, v);
}
bool seramVirtualAddrIsSignalpage(uint32_t v) {
    return inArea(seramInfo.signalpage, v);
}
bool seramVirtualAddrIsAdaptpage(uint32_t v) {
    return inArea(seramInfo.adaptpage, v);
}
bool seramVirtualAddrIsAdaptVolatilepage(uint32_t v) {
    return inArea(seramInfo.adaptvolpage, v);
}

void seramSetRefpageActive() {
    seramActiveOffset = 0;
    SERAM_LOG(SLS_REFPAGE_ACTIVE, LOG_INFO, "SERAM: REFPAGE ACTIVE");
}

void seramSetWorkpageActive() {
    seramActiveOffset = seramInfo.pageOffset;
    SERAM_LOG(SLS_WORKPAGE_ACTIVE, LOG_INFO, "SERAM: WORKPAGE ACTIVE");
}

uint8_t* seramGetActivePage() {
    return phys(SERAM_REFPAGE + seramActiveOffset);
}
int seramGetRefPageActive() {
    return seramActiveOffset == 0 ? 1 : 0;
}

// Parameters are read from the page being written meanwhile: each moves whole (see seramDownload).
int seramCopyWorkToRefpage() {
    seramWriteUnProtectPage(phys(SERAM_REFPAGE), 0);
    seram_word::copy(phys(SERAM_REFPAGE), phys(SERAM_WORKPAGE), SERAM_PAGE_SIZE, true);
    seramWriteProtectPage(phys(SERAM_REFPAGE), 0);
    return 1;
}

int seramCopyRefToWorkpage() {
    seram_word::copy(phys(SERAM_WORKPAGE), phys(SERAM_REFPAGE), SERAM_PAGE_SIZE, true);
    return 1;
}

// The reference page is not protected in this build; the hooks mark where a build would.
int seramWriteProtectPage(uint8_t*, uint32_t) {
    return 1;
}
int seramWriteUnProtectPage(uint8_t*, uint32_t) {
    return 1;
}

void seramGetCARID(char* dst) {
    seram_word::copy(dst, phys(VTADDR_CARID + seramActiveOffset), 16, false);
}
void seramGetENGID(char* dst) {
    seram_word::copy(dst, phys(VTADDR_ENGID + seramActiveOffset), 16, false);
}

bool seramCopyPage(uint32_t dst, uint32_t src, uint32_t len) {
    if (!rangeOk(src, len, true)) {
        SERAM_LOG(SLS_COPY_REFUSED, LOG_ERR, "seramCopyPage(0x%08x,0x%08x,0x%08x) called!", dst, src, len);
        return false;
    }
    if (!rangeOk(dst, len, true)) return false;
    const bool intoRef = seramVirtualAddrIsRefpage(dst) || seramVirtualAddrIsRefpage(dst + len);
    if (intoRef) seramWriteUnProtectPage(phys(dst), 0);
    if (dst < src + len && src < dst + len) {
        // Overlapping ranges: through a copy of the source, so that the stores can go forward.
        const std::vector<uint8_t> from(phys(src), phys(src) + len);
        seram_word::copy(phys(dst), from.data(), len, true);
    } else {
        seram_word::copy(phys(dst), phys(src), len, true);
    }
    if (intoRef) seramWriteProtectPage(phys(dst), 0);
    return true;
}

bool seramDownload(uint32_t vaddr, const void* data, uint32_t len) {
    if (!rangeOk(vaddr, len, true)) return false;
    // The reference page only changes by a page copy; a range starting below the working
    // page starts in it.
    if (seramVirtualAddrIsRefpage(vaddr)) return false;
    const seramDownloadHooks* hooks = downloadHooks.load(std::memory_order_acquire);
    // Channel functions must not see a half-written active page; a refused write leaves
    // them running.
    if (vaddr == seramActiveOffset) {
        SERAM_LOG(SLS_DOWNLOAD_STOP, LOG_DEBUG,
                  "seramDownload(): stopped AWM scheduler due to CalPage download");
        if (hooks) hooks->stopChannelFunctions();
    }
    // Parameters of the page are read meanwhile: every one the range holds whole is stored in one
    // access, so that a reader sees its old or its new value.
    seram_word::copy(phys(vaddr), data, len, true);
    if (hooks && seramVirtualAddrIsAdaptVolatilepage(vaddr))
        hooks->adjustmentWritten(data, phys(vaddr), static_cast<uint16_t>(len & 0xFFFF));
    return true;
}

void seramSetDownloadHooks(const seramDownloadHooks* hooks) {
    downloadHooks.store(hooks, std::memory_order_release);
}

bool seramReadMemory(void* dst, uint32_t vaddr, uint32_t len) {
    if (!rangeOk(vaddr, len, false)) {
        SERAM_LOG(SLS_READ_DENIED, LOG_ERR,
                  "seramReadMemory(): Access denied, requested virtual address: 0x%x, actual address: 0x%x, "
                  "size: 0x%x",
                  vaddr, logAddr(phys(vaddr)), len);
        return false;
    }
    // Signals are written by other tasks meanwhile: each moves whole.
    seram_word::copy(dst, phys(vaddr), len, false);
    return true;
}

bool seramVirtualAddrRangeIsReadAccessAllowed(uint32_t vaddr, uint32_t len) {
    return rangeOk(vaddr, len, false);
}

uint16_t seramBuildChksum(uint32_t vaddr, uint32_t len) {
    if (!rangeOk(vaddr, len, false)) {
        SERAM_LOG(
            SLS_CHKSUM_DENIED, LOG_ERR,
            "seramBuildChksum(): Access denied: virt. address: 0x%x, actual addressFrom: 0x%x, size: 0x%x",
            vaddr, logAddr(phys(vaddr)), len);
        return 0;
    }
    return crc16_ccitt(phys(vaddr), len);
}

uint16_t seramChksumM16byAdd8(uint32_t vaddr, uint32_t len) {
    if (!rangeOk(vaddr, len, false)) {
        SERAM_LOG(SLS_ADD8_DENIED, LOG_ERR,
                  "seramChksumM16byAdd8(): Access denied: virt. address: 0x%x, actual addressFrom: 0x%x, "
                  "size: 0x%x",
                  vaddr, logAddr(phys(vaddr)), len);
        return 0;
    }
    uint16_t sum = 0;
    for (const uint8_t *p = phys(vaddr), *e = p + len; p < e; ++p)
        sum = static_cast<uint16_t>(sum + *p);
    return sum;
}

void seram_1s() {
    const uint32_t next = seramErrorToggle[0] == 0 ? SERAM_ERROR_PATTERN : 0;
    for (uint32_t& w : seramErrorToggle) // sampled by measurement handles meanwhile
        seram_word::store(&w, next);
}

void seram_reset() {
    std::memset(seram_memory, 0, SERAM_BLOCK_SIZE);
    seramImageDefaults(seram_memory);
    seramActiveOffset = 0;
    std::memset(seramErrorToggle, 0, sizeof seramErrorToggle);
    seramInfo = SeramInfo{};
    EPKIDSTRING = nullptr;
    for (auto& c : seramLogSites)
        c = 0;
}
