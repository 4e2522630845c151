// The telemetry measurement's names: variables of the channel archive in its blocks and as its
// channels, while the archive's task is still to enter them at start; and a unit without an
// archive, whose telemetry starts once the task has given up on it.
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/virtchan/virtchan.h"
#include "comm/gw/gw.h"
#include "comm/tele/tele.h"
#include "logging/measapp/measapp.h"
#include "logging/measapp/measapp_tele.h"
#include "platform/drives/drives.h"
#include "platform/kmgr/appman.h"
#include "platform/os/osfs_sim.h"
#include "platform/settings/settings.h"
#include "platform/timemod/timemod_sim.h"
#include "services/rtpman/rtpman.h"
#include "services/sysrole/sysrole.h"
#include "services/timemod/timemod.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstdio>
#include <tuple>

namespace {

struct Telemetry : testsupport::SteppedTest {
    testsupport::ScratchDir dir;

    void SetUp() override {
        SteppedTest::SetUp();
        platform::Settings s;
        s.pid = 0x25;
        platform::setSettings(s);
        kmgr::installAppManager();
        ASSERT_EQ(AppMan_init(), 1);
        drives::install();
        ASSERT_TRUE(osfs::addDevice("cfg:", dir.path));
        timemodsim::install(), time_init();
        meascalinfo_reset();
        ASSERT_EQ(meascalinfo_init(), 1);
        meascalinfo_virtchan_reset(), gw_reset(), gw_meas_ini(), meas_app_reset();
    }
    void TearDown() override {
        tele_reset(), gw_reset(), meas_app_reset(), meascalinfo_reset(), meascalinfo_virtchan_reset();
        osfs::removeDevice("cfg:");
        SteppedTest::TearDown();
    }
    // The channel list as the configuration tool ships it: encrypted by 7-Zip with this image's
    // archive password.
    void archive(const std::string& list) {
        dir.write("list.xml", list);
        char password[17] = {};
        get_unzip_pwd(password, 16);
        pyref::run("cd " + dir.path + " && 7zz a -tzip -mem=AES128 -mm=Deflate -p" + password +
                   " channels.zip list.xml >/dev/null && rm list.xml");
        ASSERT_FALSE(dir.read("channels.zip").empty());
    }
    // The unit's start: logging first, the archive's task later (as its reading may take).
    void start(int stepsBefore) {
        cfg_system.logging_active = 1;
        meas_app_ini();
        for (int i = 0; i < stepsBefore; ++i)
            meas_app_main(), sim::step(1);
        meascalinfo_virtchan_ini();
        for (int i = 0; i < 20 && !logged("meascalinfo_virtchan_task"); ++i)
            meas_app_main(), sim::step(1);
        meas_app_main();
    }
    // The entry size of a block (time stamp and values), 0 without one.
    static int entry(int block) { return tele[block].records ? tele[block].records->entrySize : 0; }
};

TEST_F(Telemetry, VariablesOfTheChannelArchiveAreNamedOnceItsTaskEnteredThem) {
    char adr[2][32];
    std::snprintf(adr[0], sizeof adr[0], "%08X", meascalinfo_getInfo("ana01")->meas_address);
    std::snprintf(adr[1], sizeof adr[1], "%08X", meascalinfo_getInfo("ana02")->meas_address);
    archive(std::string("<ChannelList><VYNChannels><Channel name=\"VC_WORD\" adr=\"") + adr[0] +
            "\" type=\"UINT16\"/><Channel name=\"VC_ON\" adr=\"" + adr[1] +
            "\" type=\"UINT8\"/></VYNChannels></ChannelList>");
    dir.write("telemetry.ini", "[telemetry]\nmedium = udp\naddress = 127.0.0.1\nport = 5019\n"
                               "fast = ana01, VC_WORD\nslow1 = VC_ON\nenable = VC_ON\nlapdist = VC_WORD\n");
    start(50);
    EXPECT_EQ(countLogged("unknown"), 0);
    EXPECT_TRUE(logged("found 2 virtual channels"));
    // The fast block: the time stamp, ana01's float and the channel's 16 bits; the slow one its byte.
    EXPECT_EQ(std::tuple(meas_app_tele_running(), entry(0), entry(1)), std::tuple(1, 4 + 4 + 2, 4 + 1));
    EXPECT_TRUE(logged("Found a valid configuration for TARVO telemetry."));
}

TEST_F(Telemetry, WithoutAnArchiveTelemetryStartsOnceTheTaskFoundNone) {
    dir.write("telemetry.ini", "[telemetry]\nmedium = udp\naddress = 127.0.0.1\nport = 5019\nfast = ana01\n");
    start(0);
    EXPECT_TRUE(logged("cfg:/channels.zip not correct"));
    EXPECT_EQ(std::pair(meas_app_tele_running(), entry(0)), std::pair(1, 4 + 4));
    // A name that is no variable, archive or not, still refuses the configuration.
    tele_reset(), gw_reset(), meas_app_reset(), gw_meas_ini();
    dir.write("telemetry.ini",
              "[telemetry]\nmedium = udp\naddress = 127.0.0.1\nport = 5019\nfast = nothing\n");
    meas_app_ini(), meas_app_main();
    EXPECT_EQ(std::pair(meas_app_tele_running(), countLogged("telemetry variable nothing unknown")),
              std::pair(0, 1));
}

// A logging stop while telemetry waits for the names keeps it from starting once they are in; the
// next logging start starts it.
TEST_F(Telemetry, ALoggingStopOrStartWhileTheNamesAreAwaitedIsWhatTelemetryStartsWith) {
    dir.write("telemetry.ini", "[telemetry]\nmedium = udp\naddress = 127.0.0.1\nport = 5019\nfast = ana01\n");
    cfg_system.logging_active = 1;
    meas_app_ini(), meas_app_main();
    ASSERT_EQ(meas_app_remotestop(0), 1);
    meas_app_main();
    meascalinfo_virtchan_ini();
    for (int i = 0; i < 20 && !logged("meascalinfo_virtchan_task"); ++i)
        sim::step(1);
    meas_app_main(), meas_app_main();
    EXPECT_EQ(std::pair(meas_app_tele_running(), entry(0)), std::pair(0, 4 + 4));
    ASSERT_EQ(meas_app_remotestart(), 1);
    meas_app_main();
    EXPECT_EQ(meas_app_tele_running(), 1);

    // The start asked for before the names are in is taken with them.
    tele_reset(), gw_reset(), meas_app_reset(), gw_meas_ini(), meascalinfo_virtchan_reset();
    meas_app_ini(), meas_app_main();
    ASSERT_EQ(meas_app_remotestop(0), 1);
    meas_app_main();
    ASSERT_EQ(meas_app_remotestart(), 1);
    meas_app_main(), meas_app_main();
    EXPECT_EQ(meas_app_tele_running(), 0);
    meascalinfo_virtchan_ini();
    for (int i = 0; i < 20 && countLogged("meascalinfo_virtchan_task") < 2; ++i)
        sim::step(1);
    meas_app_main();
    EXPECT_EQ(meas_app_tele_running(), 1);
}

} // namespace
