// A drive written by tools/gpsdrive.py, fed through a pseudo-terminal behind "/tyCo/1": what the
// unit publishes, the track it detects and keeps, what a restart brings back, and the segment
// points the GPS channel function reports to the lap function.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/lapfunc.h"
#include "acquisition/gps/gps.h"
#include "calibration/memory/seram.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/osfs_sim.h"
#include "services/nvram/nvram.h"
#include "support/pyref.h"
#include "support/errors.h"
#include "support/loopback.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>
#include <fcntl.h>

using testsupport::errors;

namespace {

struct Epoch {
    int fix;
    double lat, lon, kmh, course;
    std::string nmea; // RMC, GGA, VTG
};

struct Drive {
    int track;
    double length, finishLat, finishLon;
    std::vector<Epoch> epochs;
};

struct Detected {
    int result;
    float lat, lon, length;
    int32_t id;
};

struct GpsDrive : testsupport::SteppedTest {
    testsupport::ScratchDir dir{"unit"};
    int master = -1, watch = -1;

    void SetUp() override {
        SteppedTest::SetUp();
        std::filesystem::create_directories(dir / "cfg");
        ASSERT_TRUE(osfs::addDevice("cfg:", dir / "cfg"));
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
                    osfs::addSerialDevice("/tyCo/1", ptsname(master)));
        // A second reader only to see when written bytes have reached the unit's side.
        watch = open(ptsname(master), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(watch, 0);
        start();
    }
    void TearDown() override {
        awm_man_reset();
        gps_reset();
        nvram_dbs_reset();
        nvmem::uninstall();
        osfs::addSerialDevice("/tyCo/1", "");
        osfs::removeDevice("cfg:");
        close(watch);
        close(master);
        SteppedTest::TearDown();
    }
    // A start of the process over the same non-volatile memory and files.
    void start() {
        std::string err;
        ASSERT_TRUE(nvmem::install(dir.path, &err) && nvram_dbs_init() == 1) << err;
        gps_init();
        gps_trackdet_ini();
        sim::waitIdle();
    }
    void restart() { gps_reset(), nvram_dbs_reset(), start(); }
    Drive generate(const std::string& name, const std::string& args) {
        const std::string out = dir / name;
        pyref::run("/usr/bin/python3 " + std::string(std::getenv("VYN_SOURCE_DIR")) + "/tools/gpsdrive.py " +
                   out + " --track 7,48.3,11.6 --track 8,-33.9,151.2 " + args);
        std::filesystem::copy_file(out + "/rtracks.xml", dir / "cfg/rtracks.xml",
                                   std::filesystem::copy_options::overwrite_existing);
        Drive d;
        std::ifstream csv(out + "/drive.csv"), nmea(out + "/drive.nmea");
        std::string line, sentence;
        std::getline(csv, line);
        EXPECT_EQ(4, std::sscanf(line.c_str(), "# track %d length %lf finish %lf %lf", &d.track, &d.length,
                                 &d.finishLat, &d.finishLon));
        for (Epoch e; std::getline(csv, line); d.epochs.push_back(e)) {
            double t;
            EXPECT_EQ(6, std::sscanf(line.c_str(), "%lf,%d,%lf,%lf,%lf,%lf", &t, &e.fix, &e.lat, &e.lon,
                                     &e.kmh, &e.course));
            e.nmea.clear();
            for (int k = 0; k < 3 && std::getline(nmea, sentence); ++k)
                e.nmea += sentence + "\n"; // sentences end in CR LF
        }
        return d;
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(master, bytes.data(), bytes.size()));
        ASSERT_TRUE(testsupport::readable(watch, 5000));
    }
    // Each epoch as the receiver sends it, 100 ms of stepped time after it, and the lap function's
    // 10 ms calls of the detection with the published position. Returns what the detection said.
    std::vector<Detected> run(const Drive& d) {
        std::vector<Detected> said;
        for (size_t i = 0; i < d.epochs.size(); ++i) {
            send(d.epochs[i].nmea);
            for (int k = 0; k < 10; ++k) {
                sim::step(10);
                Detected r{};
                r.result =
                    gps_trackdet_get(static_cast<float>(gps_lat * 1e-7), static_cast<float>(gps_long * 1e-7),
                                     0, &r.lat, &r.lon, &r.length, &r.id);
                if (r.result) said.push_back(r);
            }
            const Epoch& e = d.epochs[i];
            EXPECT_EQ(e.fix, gps_fix) << "epoch " << i;
            if (e.fix) {
                // NMEA's fifth decimal of a minute is 1.7e-7 degrees
                EXPECT_NEAR(e.lat, gps_lat * 1e-7, 2e-7) << "epoch " << i;
                EXPECT_NEAR(e.lon, gps_long * 1e-7, 2e-7) << "epoch " << i;
                EXPECT_NEAR(e.kmh, gps_speed, 0.01) << "epoch " << i;
                EXPECT_NEAR(e.course, gps_dir, 0.01) << "epoch " << i;
            }
            if (HasFailure()) break;
        }
        return said;
    }
    static void expectTrack(const Detected& r, int result, const Drive& d) {
        EXPECT_EQ(std::pair(result, d.track), std::pair(r.result, r.id));
        EXPECT_NEAR(d.finishLat, r.lat, 1.5e-5); // a float's step at 151 degrees
        EXPECT_NEAR(d.finishLon, r.lon, 1.5e-5);
        EXPECT_NEAR(d.length, r.length, 0.05);
    }
    static int32_t storedTrack() {
        int32_t id = 0;
        EXPECT_EQ(4, nvram_dbs_read(nvram_GpsTrackDet_Elem.id, 0, &id, 4));
        return id;
    }
};

} // namespace

TEST_F(GpsDrive, PublishesDetectsStoresAndRestores) {
    const Drive onOval7 = generate("a", "--laps 0.25");
    const Drive onOval8 = generate("b", "--drive 8 --laps 0.1 --speed 60");
    restart(); // the track file is in place now

    std::vector<Detected> said = run(onOval7);
    ASSERT_EQ(1u, said.size()) << "one report, then quiet while the car stays on the track";
    expectTrack(said[0], 1, onOval7);
    EXPECT_EQ(7, storedTrack());

    restart();
    Detected r{};
    r.result = gps_trackdet_get(NAN, NAN, 0, &r.lat, &r.lon, &r.length, &r.id);
    expectTrack(r, 1, onOval7); // restored before any position

    said = run(onOval8);
    ASSERT_EQ(1u, said.size());
    expectTrack(said[0], 2, onOval8);
    EXPECT_EQ(8, storedTrack());

    sim::step(1800);
    EXPECT_EQ(1, gps_fix) << "under two seconds without a position keep the fix";
    sim::step(300);
    EXPECT_EQ(0, gps_fix) << "the receiver fell silent";
}

// Which track a position lies on, by the file's rules: 0.001 degrees of latitude are 111.2 m.
// A file with any error is refused whole. Each case: the file, then positions and what each brings.
TEST_F(GpsDrive, TrackFileAndDetectionRules) {
    const std::string oval5 = R"(<track id="5" length="900"><finish lat="48" lon="11"/></track>)";
    const std::string oval6 = R"(<track id="6" length="900"><finish lat="48.01" lon="11"/></track>)";
    const struct {
        std::string tracks;
        std::vector<std::pair<double, int>> latThenReport; // at longitude 11; report: track id, 0 none
    } cases[] = {
        {oval5, {{48.009, 0}, {48.008, 5}}}, // 1000.8 m and 889.6 m from the finish
        {R"(<track id="5" length="900" radius="100"><finish lat="48" lon="11"/></track>)",
         {{48.001, 0}, {48.0008, 5}}},
        {R"(<track id="5" length="900"><!-- c --><finish lat="48" lon="11"></finish><segment lat="48.05" lon="11"/>
           </track>)",
         {{48.058, 5}}},
        {oval5 + oval6, {{48.006, 6}}},
        {oval5 + oval6,
         {{48.002, 5}, {48.006, 0}, {48.0125, 6}}}, // the current track is kept within its radius
        {R"(<track id="5"><finish lat="48" lon="11"/></track>)", {{48, 0}}},
        {R"(<track id="5" length="900"/>)", {{48, 0}}},
        {R"(<track id="5" length="900"><finish lat="91" lon="11"/></track>)", {{48, 0}}},
        {R"(<track id="5" length="900"><finish lat="48" lon="11"/><finsh lat="48" lon="11"/></track>)",
         {{48, 0}}},
        {oval5 + oval5, {{48, 0}}},
        {oval5 + "<track", {{48, 0}}},
    };
    for (const auto& c : cases) {
        dir.write("cfg/rtracks.xml", "<?xml version=\"1.0\"?>\n<tracks>" + c.tracks + "</tracks>\n");
        int32_t none = -1;
        ASSERT_EQ(4, nvram_dbs_write(nvram_GpsTrackDet_Elem.id, 0, &none, 4));
        restart();
        int expected = 1;
        for (const auto& [lat, id] : c.latThenReport) {
            int32_t got = 0;
            EXPECT_EQ(0,
                      gps_trackdet_get(static_cast<float>(lat), 11.0f, 0, nullptr, nullptr, nullptr, &got));
            sim::waitIdle();
            EXPECT_EQ(id ? expected : 0, gps_trackdet_get(NAN, NAN, 0, nullptr, nullptr, nullptr, &got))
                << c.tracks << " at " << lat;
            if (id) {
                EXPECT_EQ(id, got) << c.tracks;
                expected = 2;
            }
        }
    }
}

// The GPS channel function on the signals of each fix of a lap at 120 km/h (3.33 m a fix): the
// detected track's segment points, at every tenth of the lap, in driving order, each at the fix
// that passes it.
TEST_F(GpsDrive, SegmentPointsReachTheLapFunctionInOrderAtTheFixThatPassesThem) {
    const Drive d = generate("s", "--laps 1.05 --nofix 0 --speed 120");
    restart();
    seram_reset();
    seramInitializeOffsets();
    uint8_t ds[20] = {0x53, 0x44, 20, 0, 0x17}; // points count within 30 m
    const float within = 30;
    std::memcpy(ds + 12, &within, 4);
    ds[18] = 0x42, ds[19] = 0x45;
    std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, ds, sizeof ds);
    awm_man_ini();
    for (auto [mode, count, points] : {std::tuple{1, 0, 9}, {1, 3, 3}, {0, 0, 0}}) {
        awm_0x17_gpsSetSegmentTriggerMode(static_cast<uint16_t>(mode), static_cast<uint16_t>(count));
        std::vector<std::pair<size_t, int>> expected, got; // fix, point + 1
        for (int k = 1; k <= points; ++k)
            expected.emplace_back(static_cast<size_t>(std::ceil(k * d.length / 10 / (120 / 36.0))), k);
        for (size_t i = 0; i < d.epochs.size(); ++i) {
            gps_lat = static_cast<int32_t>(std::lround(d.epochs[i].lat * 1e7));
            gps_long = static_cast<int32_t>(std::lround(d.epochs[i].lon * 1e7));
            gps_fix = 1;
            gps_trackdet_get(static_cast<float>(d.epochs[i].lat), static_cast<float>(d.epochs[i].lon), 0,
                             nullptr, nullptr, nullptr, nullptr);
            sim::waitIdle();
            awm_sched_call(3, static_cast<uint32_t>(i * 1000));
            if (uint16_t n = awm_0x08_lapfunc_getGpsSegmentTrigger()) got.emplace_back(i, n);
        }
        EXPECT_EQ(expected, got) << mode << " " << count;
    }
}

// The GPS lap trigger on the fixes of a drive at 120 km/h (3.33 m a fix, 100 ms apart): the finish
// line crossed once a lap; a speed or course input off the positions' raises error path 456 with
// its type of the error table (23 speed, 24 direction) until both agree again.
TEST_F(GpsDrive, TheLapTriggerCrossesOnceALapAndChecksSpeedAndCourse) {
    const Drive d = generate("t", "--laps 2.05 --nofix 0 --speed 120");
    initGpsTrigger(static_cast<float>(d.finishLon), static_cast<float>(d.finishLat), 30, 1, 1);
    errors.clear();
    std::vector<size_t> crossed, changed; // the fixes that crossed the line, that changed the errors
    for (size_t i = 0; i < d.epochs.size(); ++i) {
        const Epoch& e = d.epochs[i];
        // fixes 40 to 49 twice the speed, 50 to 59 50 km/h more (within half of it and 10);
        // 60 to 69 the course 90 degrees off, 70 to 79 30 degrees (within 45)
        const double kmh = e.kmh * (i / 10 == 4 ? 2 : 1) + (i / 10 == 5 ? 50 : 0);
        const double course = e.course + (i / 10 == 6 ? 90 : i / 10 == 7 ? 30 : 0);
        if (getGpsTrigger(static_cast<float>(e.lon), static_cast<float>(e.lat), static_cast<float>(kmh),
                          static_cast<float>(course)))
            crossed.push_back(i);
        if (errors.size() > changed.size()) changed.push_back(i);
        sim::step(100);
    }
    EXPECT_EQ(errors, (std::vector<std::pair<int, int>>{{456, 23}, {456, 0}, {456, 24}, {456, 0}}));
    EXPECT_EQ(changed, (std::vector<size_t>{40, 50, 60, 70}));
    ASSERT_EQ(crossed.size(), 2u);
    for (size_t k = 1; k <= 2; ++k)
        EXPECT_NEAR(static_cast<double>(crossed[k - 1]), std::ceil(k * d.length / (120 / 36.0)), 1) << k;
}
