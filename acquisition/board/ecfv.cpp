#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "services/timemod/fpgacheck.h"

namespace {

constexpr uint32_t ECFV_ID = 0x45434656; // "ECFV"
constexpr uint32_t ECFV_ACCEPTED[] = {fpga_packVersion(1, 1, 0), 0};

} // namespace

uint8_t ecfv_init() {
    const uint32_t id = hw_read32(zynq::FPGA_IDENT_BASE + zynq::FPGA_IDENT_REG_ID);
    const uint32_t version = hw_read32(zynq::FPGA_IDENT_BASE + zynq::FPGA_IDENT_REG_VERSION);
    return fpga_IPCoreCompatibilityCheckMult(id, ECFV_ID, version, ECFV_ACCEPTED) ? 1 : 0;
}
