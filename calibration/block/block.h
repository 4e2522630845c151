// The calibration memory's block: pages and signals in one array, below every subsystem.
//
// The calibration memory's block: one array holding the EPK, the reference and working data
// pages, the signal page and the adapt pages, and the image it starts as. A byte's virtual
// address is its offset in the block. Every subsystem writes its measurement signals here, so
// the block sits below them all; the page logic that guards it is calibration/memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calibration/block/word.h"

// The areas (SERAM_BLOCK_SIZE, SERAM_REFPAGE, SERAM_SIGNALPAGE_SIZE, SERAM_DATASET_SIZE: the
// payload covered by the CRC ...), generated from the memory map of calibration/variables.tsv.
#include "vyn/memmap.h"

constexpr uint32_t SERAM_PAGE_SIZE = SERAM_REFPAGE_SIZE; // the working page is as large
constexpr uint32_t SERAM_EPK_OFFSET = SERAM_EPK;
constexpr uint32_t SERAM_IMAGE_SIZE = SERAM_DATASET_SIZE + 4; // payload and CRC word
constexpr char SERAM_START_MARKER[] = "SERAM_START_AREA_DUMMY";
constexpr uint32_t SERAM_ERROR_PATTERN = 0x7F7F7F7F;
constexpr size_t SERAM_ERROR_BYTES = 256;

extern unsigned char seram_memory[]; // SERAM_BLOCK_SIZE bytes: no value runs past them
// 0 while the reference page is active, the page size while the working page is. Every
// parameter read adds it and the XCP task switches it meanwhile: one relaxed word.
extern seramWord<uint32_t> seramActiveOffset;

// Writes the start marker, the image's EPK and the parameter defaults into a zeroed page.
void seramImageDefaults(uint8_t* page);
// The default dataset of this image (payload and CRC word) into `out`: 0, or -1 when `len`
// is not SERAM_IMAGE_SIZE.
int seramBuildDefaultImage(uint8_t* out, uint32_t len);
// The EPK text of the block (the image's until a dataset is loaded).
const char* seramGetEPKPtr();
