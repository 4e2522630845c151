// The unit's own monitoring in the fast rasters: the 1 ms body (power good and supply) and
// the 10 ms body (currents, sensor supplies and the status-block copy), over the simulated
// board and a status block as the system process provides it.
#include "acquisition/board/board.h"
#include "calibration/memory/seram.h"
#include "platform/hw/hw_sim.h"
#include "platform/hw/board_sim.h"
#include "platform/os/os.h"
#include "services/applcomm/applcomm.h"
#include "acquisition/selfmon/selfmon.h"
#include "services/syslog/syslog.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

struct Bench {
    Bench() {
        syslog_queue_init();
        syslog_init();
        seram_reset();
        hwsim::installBoard();
        if (gpio_ini() != 1) std::abort();
        if (!shmMap(APPLCOMM_SHM_NAME, APPLCOMM_SHM_SIZE, true) ||
            !semOpen(APPLCOMM_SEM_NAME, SEM_TYPE_BINARY, SEM_FULL, SEM_Q_PRIORITY, OM_CREATE) ||
            applComm_ini() != 1)
            std::abort();
        sensor_pwr_10ms(); // the USB switches are applied once, outside the loop
    }
};

void setup() {
    static Bench b;
}

void BM_Body1ms(benchmark::State& state) {
    setup();
    for (auto _ : state) {
        power_vyn_1ms();
        uecu_meas_1ms();
    }
}
BENCHMARK(BM_Body1ms)->Unit(benchmark::kMicrosecond);

void BM_Body10ms(benchmark::State& state) {
    setup();
    for (auto _ : state) {
        iecu_meas_10ms();
        iusb_meas_10ms();
        sensor_pwr_10ms();
        applComm_10ms();
    }
}
BENCHMARK(BM_Body10ms)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
