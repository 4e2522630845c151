// The unit's board and device-data store as self-monitoring sees them.
#pragma once

#include "acquisition/board/board.h"
#include "services/rtpman/rtpman.h"
#include "calibration/memory/seram.h"
#include "platform/devdata/devdata.h"
#include "platform/drives/drives.h"
#include "platform/hw/board_sim.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/sim.h"
#include "services/nvramst/nvramst.h"
#include "acquisition/selfmon/selfmon.h"
#include "support/logcapture.h"
#include "vyn/vartable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace selfmontest {

// Volts as the converter delivers them (5 V = 4096 counts).
inline double quantised(double volts) {
    return std::round(volts * 4096.0 / 5.0) * 5.0 / 4096.0;
}

struct Unit : ::testing::Test {
    std::string dir;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        testsupport::logStart();
        kmgr::clearFaults();
        rtpman_reset();
        seram_reset();
        selfmon_reset();
        hwsim::installBoard();
        ASSERT_EQ(gpio_ini(), 1);
        drives::install();
        char tmpl[] = "/tmp/vyn_selfmon_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        deviceData("");
    }
    void TearDown() override {
        devdata::uninstall();
        std::filesystem::remove_all(dir);
    }
    void deviceData(const std::string& text) {
        std::ofstream(dir + "/devdata.ini") << text;
        std::string err;
        ASSERT_TRUE(devdata::install(dir, &err)) << err;
    }
    static void setCal(uint32_t vaddr, uint8_t v) { seram_memory[vaddr + seramActiveOffset] = v; }
    int logCount(const std::string& needle) {
        testsupport::logContains(seen, "");
        return std::ranges::count_if(seen,
                                     [&](const auto& l) { return l.text.find(needle) != std::string::npos; });
    }
};

} // namespace selfmontest
