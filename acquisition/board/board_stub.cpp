// Stands in for the board drivers not built yet: each initialisation checks that its device
// is present on the bus, so a missing device still fails its step.
#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"

namespace {
uint8_t present(uintptr_t base) {
    return hw_map(base, 4) != nullptr ? 1 : 0;
}
} // namespace

uint8_t spi_IOInit() {
    return present(zynq::AXI_SPI_BASE);
}
uint8_t max7301_Init() {
    return present(zynq::AXI_SPI_BASE);
}
uint8_t pwmout_init() {
    return present(zynq::PWM_OUT_BASE);
}
void pwmout_shutdown() {}
void pwmdiag_100ms() {}
uint8_t RotationalSpeed_Init() {
    return present(zynq::ROT_SPEED_BASE);
}
void rev_in_vyn_100ms() {}
