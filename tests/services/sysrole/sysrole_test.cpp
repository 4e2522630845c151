// System role from the ECU type, the device configuration and the announced masters; boot counter;
// memory monitor.
#include "services/sysrole/sysrole.h"
#include "services/rtpman/rtpman.h"
#include "calibration/memory/seram.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "platform/nvmem/nvmem.h"
#include "platform/sysproc/sysproc.h"
#include "services/applcomm/applcomm.h"
#include "services/nvram/nvram.h"
#include "support/errors.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>

namespace {

constexpr int SYSTEM = 498, LAPTRIGGER_MASTER = 20;

// The manager with this unit's PID and base boot counter in its parameter block.
void manager(uint8_t pid, uint32_t baseBootCounter) {
    platform::Settings s;
    s.pid = pid;
    s.baseBootCounter = baseBootCounter;
    platform::setSettings(s);
    kmgr::installAppManager();
    ASSERT_EQ(AppMan_init(), 1);
}

void setCal(uint32_t vaddr, const void* v, size_t n) {
    std::memcpy(seram_memory + vaddr + seramActiveOffset, v, n);
}

struct SystemRole : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset();
        rtpman_reset();
        sysrole_reset();
        applComm_reset();
        testsupport::errors.clear();
        ASSERT_NE(shmMap(APPLCOMM_SHM_NAME, APPLCOMM_SHM_SIZE, true), nullptr);
        ASSERT_NE(semOpen(APPLCOMM_SEM_NAME, SEM_TYPE_BINARY, SEM_FULL, SEM_Q_PRIORITY, OM_CREATE), nullptr);
        announce(0, 0);
    }
    // The masters the platform announces in the status block.
    void announce(int ltm, int fcm) {
        std::string error;
        ASSERT_TRUE(sysproc::setStatus("ltm_pid", std::to_string(ltm), &error)) << error;
        ASSERT_TRUE(sysproc::setStatus("fcm_pid", std::to_string(fcm), &error)) << error;
    }
    void run(uint8_t ownPid, uint32_t ecuType, uint32_t deviceConfig, uint8_t outingMode = 0) {
        manager(ownPid, 0);
        setCal(VTADDR_ECU_TYPE, &ecuType, 4);
        setCal(VTADDR_DEVICE_CONFIG, &deviceConfig, 4);
        setCal(VTADDR_OUTINGCTR_MODE, &outingMode, 1);
        ASSERT_EQ(applComm_ini(), 1);
        cfg_system_ini();
    }
};

// (ECU type, time slave, laptrigger remote, default master, external code: of an unknown type
// the low half, bytes swapped); the device configuration is not set.
TEST_F(SystemRole, EcuTypeGivesTheDefaults) {
    for (auto [ecuType, timeSlave, ltmRemote, ltm, code] : {std::tuple{0u, 1, 0, 0xFFFF, 0},
                                                            {0x505u, 0, 1, 10, 5},
                                                            {0xFF02u, 0, 0, 0xFFFF, 0x2FF},
                                                            {0xABCD1234u, 0, 0, 0xFFFF, 0x3412},
                                                            {0xFFFFu, 0, 0, 0xFFFF, 0}}) {
        run(3, ecuType, 0xFFFFFFFF);
        EXPECT_EQ((std::vector<int>{cfg_system.time_slave, cfg_system.ltm_remote, cfg_system.ltm_pid,
                                    cfg_system.fcm_pid, cfg_system.ext_ecu}),
                  (std::vector<int>{timeSlave, ltmRemote, ltm, ltm, code}))
            << std::hex << ecuType;
    }
    EXPECT_TRUE(testsupport::errors.empty());
}

TEST_F(SystemRole, DeviceConfigAndAnnouncedMasters) {
    run(10, 0, 0x00000A03); // logging, time master, laptrigger master 10 = this unit
    EXPECT_EQ(cfg_system.ltm_pid, 10);

    run(11, 0x500, 0x00210A00); // another unit: remote laptrigger, fuel master 0x21
    EXPECT_EQ((std::vector<int>{cfg_system.logging_active, cfg_system.time_slave, cfg_system.ltm_remote,
                                cfg_system.fcm_pid}),
              (std::vector<int>{0, 1, 1, 0x21}));

    run(11, 0x500, 0x00000002); // no laptrigger master configured: none, whatever the ECU
    EXPECT_EQ(cfg_system.ltm_pid, 0xFFFF);
    EXPECT_EQ(cfg_system.fcm_pid, 10) << "an empty fuel master field keeps the default";
    EXPECT_TRUE(testsupport::errors.empty()) << "not logging: no laptrigger master needed";
    run(3, 0, 0x00000001, 1); // logging, but the outing counter works on its own
    EXPECT_TRUE(testsupport::errors.empty());
    run(3, 0, 0x00000001, 0);
    EXPECT_EQ(testsupport::errors, (std::vector<std::pair<int, int>>{{SYSTEM, LAPTRIGGER_MASTER}}));

    testsupport::errors.clear();
    announce(0x14, 0x15); // the platform's masters win over the configuration
    run(0x16, 0x500, 0x00220001);
    EXPECT_EQ((std::vector<int>{cfg_system.ltm_pid, cfg_system.ltm_remote, cfg_system.fcm_pid}),
              (std::vector<int>{0x14, 1, 0x15}));
    EXPECT_TRUE(testsupport::errors.empty());
    run(0x14, 0, 0);
    EXPECT_EQ(cfg_system.ltm_remote, 0) << "this unit is the announced master";
}

TEST_F(SystemRole, BootCounterCountsEveryStartAcrossRestarts) {
    testsupport::ScratchDir dir;
    kmgr::clearFaults();
    auto restart = [&] { // a new start of the process over the same non-volatile memory
        sysrole_reset();
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(dir.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
    };
    restart();
    manager(5, 4711);
    EXPECT_EQ(boot_count_ini(), 4711u) << "the base boot counter of the parameters";
    EXPECT_EQ(boot_count_get(), 1u);
    for (uint32_t start = 2; start <= 4; ++start) {
        if (start == 3) kmgr::injectFault(KCALL_NVRAM_PERSIST, -1, 1); // this start's count is not stored
        restart();
        boot_count_ini();
        EXPECT_EQ(boot_count_get(), start == 4 ? 3u : start);
    }
    nvram_dbs_reset();
    nvmem::uninstall();
}

OS_HEAP_STATS heap;
STATUS fakeHeap(OS_HEAP_STATS* s) {
    *s = heap;
    return OK;
}

TEST_F(SystemRole, MemoryMonitorPublishesEverySecondAndLogsNewMinimaEveryMinute) {
    sysrole_reset(fakeHeap);
    constexpr uint64_t MB = 1048576;
    auto minute = [](uint64_t freeBytes, uint64_t block) {
        heap.freeBytes = freeBytes;
        heap.maxFreeBlock = block;
        for (int s = 0; s < 59; ++s)
            mem_usage_1s();
        EXPECT_TRUE(testsupport::logDrain().empty()) << "only every 60th call may log";
        mem_usage_1s();
        std::vector<std::string> lines;
        for (const auto& l : testsupport::logDrain())
            lines.push_back(std::to_string(l.priority) + " " + l.text);
        return lines;
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(minute(96 * MB + MB / 2, 40 * MB),
              Lines{"150 memory usage:  96.50 MB free, biggest free block  40.00 MB"});
    EXPECT_EQ((std::pair<float, float>(mem_free_mb, mem_biggest_free_blk_mb)), std::pair(96.5f, 40.0f));
    EXPECT_TRUE(minute(96 * MB + MB / 2, MB).empty()) << "equal is not below";
    EXPECT_EQ(minute(12 * MB + MB / 4, 3 * MB),
              Lines{"150 memory usage:  12.25 MB free, biggest free block   3.00 MB"});
    sysrole_reset();
}

} // namespace
