// The path table against an independent Python rendering of its block rules.
#include "services/errmgr/errmgr.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

const char* const RULES = R"PY(
rows = {0: (0, "No error"), 510: (0xFFFF, "No error")}
def block(first, names, code):
    for k, n in enumerate(names):
        rows[first + k] = (code + k, n)
block(1, ["ANA%02d" % i for i in range(1, 65)], 1)
block(65, ["ANA_DIFF%02d" % i for i in range(1, 65)], 65)
block(129, ["LVDT%02d" % i for i in range(1, 65)], 129)
block(193, ["REV%02d" % i for i in range(1, 65)], 193)
qs = ["ANA_DIFF0%d" % i for i in range(1, 7)] + ["ANA0%d" % i for i in range(1, 5)] + \
     ["LVDT01", "LVDT02", "REV01", "REV01_GRADIENT", "DMY01", "DMY02"]
for n in range(1, 7):
    first = 257 + 16 * (n - 1)
    block(first, ["QS%d_%s" % (n, q) for q in qs], first)
block(353, ["HS_ANA_%d" % i for i in range(1, 7)], 353)
block(359, ["PWM%02d" % i for i in range(1, 65)], 512)
block(423, ["CAN%02d" % i for i in range(1, 17)], 1024)
block(439, ["PSI5_%02d" % i for i in range(1, 17)], 1040)
for i, (n, c) in enumerate([("USB_REC", 1056), ("GPS", 1072), ("CCA", 1088), ("IO_PIN", 1104)]):
    rows[455 + i] = (c, n)
block(459, ["SENSPWR_5V_%02d" % i for i in range(1, 7)] + ["SENSPWR_5V_10V_%02d" % i for i in range(1, 5)] +
      ["SENSPWR_10V_%02d" % i for i in range(1, 5)] + ["SENSPWR_UBAT_01", "SENSPWR_UBAT_02"] +
      ["SENSPWR_QS_%02d" % i for i in range(1, 7)], 4096)
fixed = [("RECORD", 8192), ("SYNC", 8193), ("TELEMETRY", 8194), ("CARDMEM", 8195), ("FTP", 8197),
         ("REC_PART_01", 8198), ("REC_PART_02", 8199), ("USB", 8200), ("GPS_LAPTRIGGER", 8201),
         ("DISPLAY", 8224), ("AWM", 8256), ("CCPMASTER", 8288), ("MARSHALLING", 8320), ("CAN-IN", 8336),
         ("CAN-OUT", 8352), ("EVENTSOURCE", 8368), ("EVENTLOGGING", 8369), ("SYSTEM", 8448)]
for i, (n, c) in enumerate(fixed):
    rows[481 + i] = (c, n)
block(499, ["WEMB_CAMERA_" + s for s in ["Link", "CtrlChan", "Unkown", "Locked", "Stream", "OverTemp"]], 8704)
block(505, ["WEMB_RADAR_" + s for s in ["BusErr", "NoData", "IncompleteData", "EgoConf", "OverTemp"]], 8712)
assert sorted(rows) == list(range(511))
for i in range(511):
    print(i, rows[i][0], rows[i][1])
)PY";

TEST(ErrMgrTables, PathTableFollowsItsBlockRules) {
    const pyref::TempFile script(RULES);
    const pyref::bytes out = pyref::run("/usr/bin/python3 " + script.path());
    std::istringstream lines(std::string(out.begin(), out.end()));
    int rows = 0, id;
    uint32_t code;
    std::string name;
    while (lines >> id >> code >> name) {
        ASSERT_GE(id, 0);
        ASSERT_LT(id, ERROR_MGR_PATHS);
        if (id == 0 || id == 510) { // "No error": two words
            std::string second;
            lines >> second;
            name += " " + second;
        }
        EXPECT_EQ(error_mgr_path_event[id].code, code) << "path " << id;
        EXPECT_EQ(error_mgr_path_event[id].text, name) << "path " << id;
        ++rows;
    }
    EXPECT_EQ(rows, ERROR_MGR_PATHS);
}

} // namespace
