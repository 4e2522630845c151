#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"

namespace {

uint32_t word(uintptr_t off) {
    return hw_read32(zynq::XADC_BASE + off);
}

} // namespace

uint32_t xadc_getChipTemp() {
    return word(0x200);
}
uint32_t xadc_getChipTemp_mn() {
    return word(0x290);
}
uint32_t xadc_getChipTemp_mx() {
    return word(0x280);
}
uint32_t xadc_getVccint() {
    return word(0x204);
}
uint32_t xadc_getVccint_mn() {
    return word(0x294);
}
uint32_t xadc_getVccint_mx() {
    return word(0x284);
}
uint32_t xadc_getVccpint() {
    return word(0x234);
}
uint32_t xadc_getVccpint_mn() {
    return word(0x2B0);
}
uint32_t xadc_getVccpint_mx() {
    return word(0x2A0);
}
uint32_t xadc_getVccaux() {
    return word(0x208);
}
uint32_t xadc_getVccaux_mn() {
    return word(0x298);
}
uint32_t xadc_getVccaux_mx() {
    return word(0x288);
}
uint32_t xadc_getVccpaux() {
    return word(0x238);
}
uint32_t xadc_getVccpaux_mn() {
    return word(0x2B4);
}
uint32_t xadc_getVccpaux_mx() {
    return word(0x2A4);
}
uint32_t xadc_getVccMem() {
    return word(0x23C);
}
