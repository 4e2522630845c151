// The calibration memory: its pages, the page switch, downloads and the stored dataset.
//
// The calibration memory: one block holding the EPK, the reference and working data pages,
// the signal page and the adapt pages. A byte's virtual address is its offset in the block;
// PC tools and XCP see nothing else. Readers of a parameter add seramActiveOffset to its
// reference-page address, so a page switch moves every parameter at once.
#pragma once

#include "platform/kmgr/calls.h"

#include "calibration/block/block.h"

#include <cstddef>
#include <cstdint>

// What a measurement of an unresolvable address reads: 256 bytes whose words flip together
// between 0 and SERAM_ERROR_PATTERN once a second.
extern uint32_t seramErrorToggle[SERAM_ERROR_BYTES / 4];
extern const char* EPKIDSTRING;

// ---- geometry ------------------------------------------------------------------------------
void seramInitializeOffsets();
uint32_t seramGetVirtualRefpageAddr();
uint32_t seramGetRefpageSize();
uint32_t seramGetVirtualWorkpageAddr();
uint32_t seramGetWorkpageSize();
uint32_t seramGetVirtualAdaptAddr();
uint8_t* seramGetAdaptAddr();
uint32_t seramGetAdaptSize();
uint32_t seramGetVirtualAdaptVolatileAddr();
uint8_t* seramGetAdaptVolatileAddr();
uint32_t seramGetAdaptVolatileSize();
uint32_t seramGetVirtualSignalpageAddr();
uint8_t* seramGetSignalpageAddr();
uint32_t seramGetSignalpageSize();
uint32_t seramGetEPKOffset();
uint16_t seramGetRefPageInitialCrc();
uint16_t seramGetRefPageActCrc();
bool seramVirtualAddrIsRefpage(uint32_t vaddr);
bool seramVirtualAddrIsWorkpage(uint32_t vaddr);
bool seramVirtualAddrIsSignalpage(uint32_t vaddr);
bool seramVirtualAddrIsAdaptpage(uint32_t vaddr);
bool seramVirtualAddrIsAdaptVolatilepage(uint32_t vaddr);

// ---- pages ---------------------------------------------------------------------------------
void seramSetRefpageActive();
void seramSetWorkpageActive();
uint8_t* seramGetActivePage();
int seramGetRefPageActive();
int seramCopyWorkToRefpage();
int seramCopyRefToWorkpage();
int seramWriteProtectPage(uint8_t* addr, uint32_t size);
int seramWriteUnProtectPage(uint8_t* addr, uint32_t size);
void seramGetCARID(char* dst); // 16 bytes of the active page
void seramGetENGID(char* dst);

// ---- guarded access by virtual address (XCP) -------------------------------------------------
bool seramCopyPage(uint32_t dst, uint32_t src, uint32_t len);
bool seramDownload(uint32_t vaddr, const void* data, uint32_t len);
// The channel functions sit above the calibration memory; the start-up hands in what a download
// must tell them: to stop before the active page changes, and which adjustment records of the
// volatile adapt page were written. Null: nobody to tell.
struct seramDownloadHooks {
    void (*stopChannelFunctions)();
    void (*adjustmentWritten)(const void* data, const void* physAddr, uint16_t length);
};
void seramSetDownloadHooks(const seramDownloadHooks* hooks);
bool seramReadMemory(void* dst, uint32_t vaddr, uint32_t len);
bool seramVirtualAddrRangeIsReadAccessAllowed(uint32_t vaddr, uint32_t len);
// CRC-16/CCITT-FALSE over the range; 0 when refused.
uint16_t seramBuildChksum(uint32_t vaddr, uint32_t len);
// Sum of the bytes modulo 65536; 0 when refused.
uint16_t seramChksumM16byAdd8(uint32_t vaddr, uint32_t len);

void seram_1s();

// ---- dataset load and store ----------------------------------------------------------------
// Loads and checks the stored dataset; 1 when the unit may start, else 0.
int seramInitialize();
int seramLoadRefPageFromMedia(void* dst, uint32_t len, uint8_t* raw);
int seramWriteRefPageToMedia(const void* src, uint32_t len);
// Called by the store task with 0 (stored) or -1.
using seramStoreCallback = void (*)(int result, intptr_t arg);
// Spawns the store task "r_seram"; false when it cannot start.
bool seramCopyRefToFlashpage(seramStoreCallback cb, intptr_t arg);
int seramTask(seramStoreCallback cb, intptr_t arg);
int seram_nvwp_init();

// ---- dataset file --------------------------------------------------------------------------
constexpr uint32_t SERAM_FILE_MAGIC = 0x53455241; // "ARES"
constexpr uint32_t SERAM_FILE_VERSION = 0x01000000;
constexpr uint32_t SERAM_FILE_BLOCK_TYPE = 0x4453414D; // "MASD"
constexpr uint32_t SERAM_FILE_HEAD_SIZE = 256;

// 0 or -1. Paths are the unit's ("c:/x.dat").
int seram_StoreToFile(const char* path, const void* data, uint32_t size);
// 0 or -1; on failure the buffer is unchanged. *raw is set for a raw image.
int seram_LoadFromFile(const char* path, void* buffer, uint32_t size, uint8_t* raw);
// 0 valid, -1 null buffer, -2 wrong sizes, -3 other EPK, -4 wrong CRC.
int seram_CheckDataValidity(const void* buffer, uint32_t bufferSize, uint32_t dataSize);

// Tests: the block back to the image, reference page active, error pattern 0, log counters.
void seram_reset();
