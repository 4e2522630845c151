// The path and type tables of the error manager. The path table is built at compile time from
// its blocks (a numbered name pattern and a code range each), so that a block cannot drift
// out of place.
#include "services/errmgr/errmgr.h"

#include <array>
#include <cstddef>
#include <utility>

namespace {

constexpr size_t NAME_MAX = 28;

struct PathTable {
    uint32_t code[ERROR_MGR_PATHS]{};
    char name[ERROR_MGR_PATHS][NAME_MAX]{};
};

constexpr void put(PathTable& t, int id, const char* name, uint32_t code) {
    size_t i = 0;
    for (; name[i] && i + 1 < NAME_MAX; ++i)
        t.name[id][i] = name[i];
    t.name[id][i] = 0;
    t.code[id] = code;
}

// name = prefix followed by n with at least `digits` decimal digits.
constexpr void putNumbered(PathTable& t, int id, const char* prefix, int n, int digits, uint32_t code) {
    char buf[NAME_MAX]{};
    size_t i = 0;
    for (; prefix[i]; ++i)
        buf[i] = prefix[i];
    char d[8]{};
    int nd = 0;
    for (int v = n; v > 0 || nd < digits; v /= 10)
        d[nd++] = static_cast<char>('0' + v % 10);
    while (nd > 0)
        buf[i++] = d[--nd];
    buf[i] = 0;
    put(t, id, buf, code);
}

// `count` paths from `first`, named prefix + 1..count, codes from `code`.
constexpr void block(PathTable& t, int first, int count, const char* prefix, int digits, uint32_t code) {
    for (int k = 0; k < count; ++k)
        putNumbered(t, first + k, prefix, k + 1, digits, code + static_cast<uint32_t>(k));
}

constexpr const char* QS_NAMES[16] = {
    "ANA_DIFF01", "ANA_DIFF02", "ANA_DIFF03", "ANA_DIFF04", "ANA_DIFF05", "ANA_DIFF06",     "ANA01", "ANA02",
    "ANA03",      "ANA04",      "LVDT01",     "LVDT02",     "REV01",      "REV01_GRADIENT", "DMY01", "DMY02"};

struct Fixed {
    int id;
    const char* name;
    uint32_t code;
};
constexpr Fixed FIXED[] = {
    {455, "USB_REC", 1056},
    {456, "GPS", 1072},
    {457, "CCA", 1088},
    {458, "IO_PIN", 1104},
    {481, "RECORD", 8192},
    {482, "SYNC", 8193},
    {483, "TELEMETRY", 8194},
    {484, "CARDMEM", 8195},
    {485, "FTP", 8197},
    {486, "REC_PART_01", 8198},
    {487, "REC_PART_02", 8199},
    {488, "USB", 8200},
    {489, "GPS_LAPTRIGGER", 8201},
    {490, "DISPLAY", 8224},
    {491, "AWM", 8256},
    {492, "CCPMASTER", 8288},
    {493, "MARSHALLING", 8320},
    {494, "CAN-IN", 8336},
    {495, "CAN-OUT", 8352},
    {496, "EVENTSOURCE", 8368},
    {497, "EVENTLOGGING", 8369},
    {498, "SYSTEM", 8448},
    {499, "WEMB_CAMERA_Link", 8704},
    {500, "WEMB_CAMERA_CtrlChan", 8705},
    {501, "WEMB_CAMERA_Unkown", 8706},
    {502, "WEMB_CAMERA_Locked", 8707},
    {503, "WEMB_CAMERA_Stream", 8708},
    {504, "WEMB_CAMERA_OverTemp", 8709},
    {505, "WEMB_RADAR_BusErr", 8712},
    {506, "WEMB_RADAR_NoData", 8713},
    {507, "WEMB_RADAR_IncompleteData", 8714},
    {508, "WEMB_RADAR_EgoConf", 8715},
    {509, "WEMB_RADAR_OverTemp", 8716},
};

constexpr PathTable buildPaths() {
    PathTable t{};
    put(t, 0, "No error", 0);
    put(t, 510, "No error", 0xFFFF);
    block(t, 1, 64, "ANA", 2, 1);
    block(t, 65, 64, "ANA_DIFF", 2, 65);
    block(t, 129, 64, "LVDT", 2, 129);
    block(t, 193, 64, "REV", 2, 193);
    for (int n = 1; n <= 6; ++n)
        for (int k = 0; k < 16; ++k) {
            char buf[NAME_MAX]{'Q', 'S', static_cast<char>('0' + n), '_'};
            size_t i = 4;
            for (const char* s = QS_NAMES[k]; *s; ++s)
                buf[i++] = *s;
            const int id = 257 + 16 * (n - 1) + k;
            put(t, id, buf, static_cast<uint32_t>(id));
        }
    block(t, 353, 6, "HS_ANA_", 1, 353);
    block(t, 359, 64, "PWM", 2, 512);
    block(t, 423, 16, "CAN", 2, 1024);
    block(t, 439, 16, "PSI5_", 2, 1040);
    block(t, 459, 6, "SENSPWR_5V_", 2, 4096);
    block(t, 465, 4, "SENSPWR_5V_10V_", 2, 4102);
    block(t, 469, 4, "SENSPWR_10V_", 2, 4106);
    block(t, 473, 2, "SENSPWR_UBAT_", 2, 4110);
    block(t, 475, 6, "SENSPWR_QS_", 2, 4112);
    for (const Fixed& f : FIXED)
        put(t, f.id, f.name, f.code);
    return t;
}

constexpr PathTable PATHS = buildPaths();

constexpr bool allNamed() {
    for (int i = 0; i < ERROR_MGR_PATHS; ++i)
        if (PATHS.name[i][0] == 0) return false;
    return true;
}
static_assert(allNamed(), "every path id has a row");
static_assert(PATHS.code[480] == 4117 && PATHS.code[422] == 575 && PATHS.code[352] == 352);

template <size_t... I>
constexpr std::array<error_mgr_event_t, ERROR_MGR_PATHS> pathRows(std::index_sequence<I...>) {
    return {{{PATHS.code[I], PATHS.name[I]}...}};
}
constexpr auto PATH_ROWS = pathRows(std::make_index_sequence<ERROR_MGR_PATHS>{});

} // namespace

constinit const error_mgr_event_t* const error_mgr_path_event = PATH_ROWS.data();

const error_mgr_event_t error_mgr_type_event[ERROR_MGR_TYPES] = {
    {0, "No error"},
    {1, ""}, // reserved
    {2, "Minimum error"},
    {3, "Maximum error"},
    {4, "Not plausible"},
    {5, "Shortcut to battery"},
    {6, "Shortcut to GND"},
    {7, "Open line"},
    {8, "Force off"},
    {9, "Defect"},
    {0xA, "Below threshold"},
    {0xB, "Above threshold"},
    {0xC, "Current limit"},
    {0xD, "Overtemperature"},
    {0xE, "Timeout"},
    {0xF, "Channel not configured"},
    {0x40, "Firewall active"},
    {0x43, "Logging channel limit"},
    {0x44, "Logging rate limit"},
    {0x45, ""}, // reserved
    {0x50, "laptrigger master"},
    {0x51, "Page channel timeout"},
    {0x52, "Brightness channel timeout"},
    {0x53, "GPS laptrigger invalid speed error"},
    {0x54, "GPS laptrigger invalid direction error"},
    {0x110, "Warning"},
    {0x111, "Error / CAN passive"},
    {0x112, "Busoff"},
    {0x113, "RxOverrun"},
    {0x114, "CANID(Rx) maximum reached"},
    {0x120, "Sync undervoltage"},
    {0x121, "Eclk error"},
    {0x130, "Logging sync"},
    {0x131, "Multiple time master"},
    {0x132, "Invalid external request"},
    {0x141, "HW not compatible"},
    {0x142, "Media error"},
    {0x143, "Media handling error"},
    {0x144, "Media timing error"},
    {0x150, "Positive input shortcut to battery"},
    {0x151, "Positive input shortcut to gnd"},
    {0x152, "Positive input open line"},
    {0x153, "Negative input shortcut to battery"},
    {0x154, "Negative input shortcut to gnd"},
    {0x155, "Negative input open line"},
    {0x160, "Load high"},
    {0x170, "Event(s) discarded due to overload"},
    {0xFFFF, "No error"},
};
