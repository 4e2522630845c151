// The GPS channel function over a drive written by tools/gpsdrive.py: the segment points of the
// detected track reach the lap function in driving order, each at the fix that passes it.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/lapfunc.h"
#include "acquisition/gps/gps.h"
#include "calibration/memory/seram.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/osfs_sim.h"
#include "services/nvram/nvram.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>

namespace {

struct Fix {
    double s; // metres driven
    double lat, lon;
};

struct Segments : testsupport::SteppedTest {
    testsupport::ScratchDir dir{"unit"};
    double length = 0;
    std::vector<Fix> fixes;

    void SetUp() override {
        SteppedTest::SetUp();
        std::filesystem::create_directories(dir / "cfg");
        ASSERT_TRUE(osfs::addDevice("cfg:", dir / "cfg"));
        ASSERT_TRUE(nvmem::install(dir.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
        const double kmh = 120;
        pyref::run("/usr/bin/python3 " + std::string(std::getenv("VYN_SOURCE_DIR")) + "/tools/gpsdrive.py " +
                   dir.path + " --track 7,48.3,11.6 --laps 1.05 --nofix 0 --speed 120");
        std::filesystem::copy_file(dir / "rtracks.xml", dir / "cfg/rtracks.xml");
        std::ifstream csv(dir / "drive.csv");
        std::string line;
        std::getline(csv, line);
        ASSERT_EQ(1, std::sscanf(line.c_str(), "# track 7 length %lf", &length));
        for (Fix f; std::getline(csv, line); fixes.push_back(f)) {
            double t;
            ASSERT_EQ(3, std::sscanf(line.c_str(), "%lf,1,%lf,%lf", &t, &f.lat, &f.lon));
            f.s = t * kmh / 3.6;
        }
        seram_reset();
        seramInitializeOffsets();
        awm_man_reset();
        // One GPS channel function: points count within 30 m.
        uint8_t ds[20] = {0x53, 0x44, 20, 0, 0x17};
        const float within = 30;
        std::memcpy(ds + 12, &within, 4);
        ds[18] = 0x42, ds[19] = 0x45;
        std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, ds, sizeof ds);
        awm_man_ini();
        gps_trackdet_ini();
        sim::waitIdle();
    }
    void TearDown() override {
        awm_man_reset();
        gps_reset();
        nvram_dbs_reset();
        nvmem::uninstall();
        osfs::removeDevice("cfg:");
        SteppedTest::TearDown();
    }
    // Per fix: what the receiver publishes, the detection's look at it and a 10 ms cycle of the
    // channel functions. {fix index, point + 1} of every segment trigger the lap function took.
    std::vector<std::pair<size_t, int>> drive() {
        std::vector<std::pair<size_t, int>> got;
        for (size_t i = 0; i < fixes.size(); ++i) {
            gps_lat = static_cast<int32_t>(std::lround(fixes[i].lat * 1e7));
            gps_long = static_cast<int32_t>(std::lround(fixes[i].lon * 1e7));
            gps_fix = 1;
            gps_trackdet_get(static_cast<float>(fixes[i].lat), static_cast<float>(fixes[i].lon), 0, nullptr,
                             nullptr, nullptr, nullptr);
            sim::waitIdle();
            awm_sched_call(3, static_cast<uint32_t>(i * 1000));
            if (uint16_t n = awm_0x08_lapfunc_getGpsSegmentTrigger()) got.emplace_back(i, n);
        }
        return got;
    }
};

TEST_F(Segments, PointsAreReportedInOrderAtTheFixThatPassesThem) {
    for (auto [mode, count, points] : {std::tuple{1, 0, 9}, {1, 3, 3}, {0, 0, 0}}) {
        awm_0x17_gpsSetSegmentTriggerMode(static_cast<uint16_t>(mode), static_cast<uint16_t>(count));
        std::vector<std::pair<size_t, int>> expected;
        // the track file's points lie at every tenth of the lap
        for (int k = 1; k <= points; ++k) {
            size_t i = 0;
            while (fixes[i].s < k * length / 10)
                ++i;
            expected.emplace_back(i, k);
        }
        EXPECT_EQ(expected, drive()) << mode << " " << count;
    }
}

} // namespace
