// Error manager: the unit's error memory of reported faults, kept across restarts.
//
// Error manager: the unit's error memory. Modules report faults as (error path, error type):
// the path says where (an analog channel, a CAN bus, the recorder ...), the type what
// (minimum error, bus off ...). Up to 20 entries with count, time, duration and active
// state are kept, forwarded to event logging, published as signal-page variables, kept in
// the non-volatile store across restarts and printed by the shell command "err_mgr_vyn".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int ERROR_MGR_ENTRIES = 20;
constexpr int ERROR_MGR_PATHS = 511;
constexpr int ERROR_MGR_TYPES = 48;
// Path ids from here on are raw path codes (the type id is then a raw type code too).
constexpr int ERROR_MGR_RAW_PATH_FIRST = 510;
constexpr uint16_t ERROR_MGR_UNUSED = 0xFFFF; // path code of an unused entry
constexpr uint32_t ERROR_MGR_ENTRY_SIZE = 20;
constexpr uint32_t ERROR_MGR_DATA_RECORD = 12; // record of error_mgr_get_data
constexpr uint32_t ERROR_MGR_ID_SIZE = 64;
constexpr uint32_t ERROR_MGR_EVENT_SIZE = 14; // record forwarded to event logging

// Flags of error_mgr_set_mdl and of an entry.
constexpr uint8_t ERROR_MGR_FLAG_ACTIVE = 0x01;
constexpr uint8_t ERROR_MGR_FLAG_LAMP = 0x02;
constexpr uint8_t ERROR_MGR_FLAG_HOLD_LAMP = 0x04; // keeps the lamp bit across a clear

// One row of the path or type table: the diagnostic code and the name.
struct error_mgr_event_t {
    uint32_t code;
    const char* text;
};
extern const error_mgr_event_t* const error_mgr_path_event; // ERROR_MGR_PATHS rows
extern const error_mgr_event_t error_mgr_type_event[ERROR_MGR_TYPES];

// Path ids (rows of error_mgr_path_event).
enum : int {
    ERROR_MGR_PATH_NONE = 0,
    ERROR_MGR_PATH_ANA01 = 1,       // to ANA64 = 64
    ERROR_MGR_PATH_ANA_DIFF01 = 65, // to 128
    ERROR_MGR_PATH_LVDT01 = 129,    // to 192
    ERROR_MGR_PATH_REV01 = 193,     // to 256
    ERROR_MGR_PATH_QS1 = 257,       // extension modules 1 to 6, 16 paths each
    ERROR_MGR_PATH_HS_ANA_1 = 353,  // to 358
    ERROR_MGR_PATH_PWM01 = 359,     // to 422
    ERROR_MGR_PATH_CAN01 = 423,     // to CAN16 = 438
    ERROR_MGR_PATH_PSI5_01 = 439,   // to 454
    ERROR_MGR_PATH_USB_REC = 455,
    ERROR_MGR_PATH_GPS = 456,
    ERROR_MGR_PATH_CCA = 457,
    ERROR_MGR_PATH_IO_PIN = 458,
    ERROR_MGR_PATH_SENSPWR_5V_01 = 459, // sensor supplies to 480
    ERROR_MGR_PATH_RECORD = 481,
    ERROR_MGR_PATH_SYNC = 482,
    ERROR_MGR_PATH_TELEMETRY = 483,
    ERROR_MGR_PATH_CARDMEM = 484,
    ERROR_MGR_PATH_FTP = 485,
    ERROR_MGR_PATH_REC_PART_01 = 486,
    ERROR_MGR_PATH_REC_PART_02 = 487,
    ERROR_MGR_PATH_USB = 488,
    ERROR_MGR_PATH_GPS_LAPTRIGGER = 489,
    ERROR_MGR_PATH_DISPLAY = 490,
    ERROR_MGR_PATH_AWM = 491,
    ERROR_MGR_PATH_CCPMASTER = 492,
    ERROR_MGR_PATH_MARSHALLING = 493,
    ERROR_MGR_PATH_CAN_IN = 494,
    ERROR_MGR_PATH_CAN_OUT = 495,
    ERROR_MGR_PATH_EVENTSOURCE = 496,
    ERROR_MGR_PATH_EVENTLOGGING = 497,
    ERROR_MGR_PATH_SYSTEM = 498,
    ERROR_MGR_PATH_WEMB_CAMERA_LINK = 499,  // to 504
    ERROR_MGR_PATH_WEMB_RADAR_BUSERR = 505, // to 509
};

// Type ids (rows of error_mgr_type_event).
enum : int {
    ERROR_MGR_ERR_TYPE_NO_ERROR = 0,
    ERROR_MGR_ERR_TYPE_MIN = 2,
    ERROR_MGR_ERR_TYPE_MAX = 3,
    ERROR_MGR_ERR_TYPE_NOT_PLAUSIBLE = 4,
    ERROR_MGR_ERR_TYPE_SC_BAT = 5,
    ERROR_MGR_ERR_TYPE_SC_GND = 6,
    ERROR_MGR_ERR_TYPE_OPEN_LINE = 7,
    ERROR_MGR_ERR_TYPE_FORCE_OFF = 8,
    ERROR_MGR_ERR_TYPE_DEFECT = 9,
    ERROR_MGR_ERR_TYPE_BELOW_THRESHOLD = 10,
    ERROR_MGR_ERR_TYPE_ABOVE_THRESHOLD = 11,
    ERROR_MGR_ERR_TYPE_CURRENT_LIMIT = 12,
    ERROR_MGR_ERR_TYPE_OVERTEMPERATURE = 13,
    ERROR_MGR_ERR_TYPE_TIMEOUT = 14,
    ERROR_MGR_ERR_TYPE_NOT_CONFIGURED = 15,
    ERROR_MGR_ERR_TYPE_FIREWALL = 16,
    ERROR_MGR_ERR_TYPE_LOG_CHANNEL_LIMIT = 17,
    ERROR_MGR_ERR_TYPE_LOG_RATE_LIMIT = 18,
    ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER = 20,
    ERROR_MGR_ERR_TYPE_PAGE_CHANNEL_TIMEOUT = 21,
    ERROR_MGR_ERR_TYPE_BRIGHTNESS_CHANNEL_TIMEOUT = 22,
    ERROR_MGR_ERR_TYPE_GPS_LT_SPEED = 23,
    ERROR_MGR_ERR_TYPE_GPS_LT_DIRECTION = 24,
    ERROR_MGR_ERR_TYPE_WARNING = 25,
    ERROR_MGR_ERR_TYPE_CAN_PASSIVE = 26,
    ERROR_MGR_ERR_TYPE_BUSOFF = 27,
    ERROR_MGR_ERR_TYPE_RX_OVERRUN = 28,
    ERROR_MGR_ERR_TYPE_CANID_RX_MAX = 29,
    ERROR_MGR_ERR_TYPE_SYNC_UNDERVOLTAGE = 30,
    ERROR_MGR_ERR_TYPE_ECLK = 31,
    ERROR_MGR_ERR_TYPE_SYNC_ERROR = 32,
    ERROR_MGR_ERR_TYPE_MULTIPLE_TIME_MASTER = 33,
    ERROR_MGR_ERR_TYPE_INVALID_EXT_REQUEST = 34,
    ERROR_MGR_ERR_TYPE_HW_NOT_COMPATIBLE = 35,
    ERROR_MGR_ERR_TYPE_MEDIA_ERROR = 36,
    ERROR_MGR_ERR_TYPE_MEDIA_HANDLING = 37,
    ERROR_MGR_ERR_TYPE_MEDIA_TIMING = 38,
    ERROR_MGR_ERR_TYPE_POS_SC_BAT = 39,
    ERROR_MGR_ERR_TYPE_POS_SC_GND = 40,
    ERROR_MGR_ERR_TYPE_POS_OPEN_LINE = 41,
    ERROR_MGR_ERR_TYPE_NEG_SC_BAT = 42,
    ERROR_MGR_ERR_TYPE_NEG_SC_GND = 43,
    ERROR_MGR_ERR_TYPE_NEG_OPEN_LINE = 44,
    ERROR_MGR_ERR_TYPE_LOAD_HIGH = 45,
    ERROR_MGR_ERR_TYPE_EVENTS_DISCARDED = 46,
    ERROR_MGR_ERR_TYPE_END = 47,
};

// Non-volatile elements: the entries (20 records of 20 bytes) and the identity (the EPK).
constexpr uint32_t ERROR_MGR_NV_ENTRIES = 256;
constexpr uint32_t ERROR_MGR_NV_ID = 257;

// Loads the error memory, hooks "ErrorMgr_StateMachine" and "ErrorMgr_Storage" and registers
// "err_mgr_vyn". 1, or 0 when the memory could not be loaded or the command not registered.
uint8_t error_mgr_init();
// Reports made before error_mgr_init are kept and applied once the memory is loaded.
// lamp nonzero asks for the malfunction-indicator lamp. Always 1.
int error_mgr_set(int path, int type, uint8_t lamp);
// flags: ERROR_MGR_FLAG_LAMP, ERROR_MGR_FLAG_HOLD_LAMP. 0 done, 1 not done (power not good,
// a refused id, a lock failure).
int error_mgr_set_mdl(int path, int type, uint8_t flags);
// Deactivates the path's entry. 0 (also when there is none), 1 on a lock failure or a
// refused id.
int error_mgr_clear(int path);
// Keeps only the active entries (count 1, duration 0, time now). 0, or 1 on a lock failure.
int error_mgr_clear_all();
int error_mgr_clear_all_gbc();

uint8_t error_mgr_get_mil_state();
// *typeCode = type code of the entry holding pathCode, or 1 when none does. 3 for a null
// out, else 0.
int error_mgr_get_path(uint16_t pathCode, uint16_t* typeCode);
// Name of a path id; "" for ids of 510 and above.
const char* error_mgr_get_path_text(int path);
// Writes the data version (1). 1, or 0 for a null out.
int error_mgr_get_version(uint8_t* version);
// 0 no entries, 1 entries but none active, 2 some active. 0, or 1 for a null out or a lock
// failure.
int error_mgr_get_state(uint32_t* state);
// 12-byte little-endian records, oldest first: path code, type code, time (s), duration
// (100 ms), count, active bit. Returns the number of records written.
int error_mgr_get_data(uint8_t* buffer, uint32_t size);

// Bodies of the rasters "ErrorMgr_StateMachine" (100 ms) and "ErrorMgr_Storage" (1 s).
void error_mgr_100ms();
void error_mgr_1000ms();

uint8_t error_mgr_RestoreFromMedia();
// Writes the entries when they changed since the last complete write. 1, or 0 when a record
// was not written (the next call tries again).
uint8_t error_mgr_WriteIntoMedia();
// Final write at shutdown. 0.
int error_mgr_shutdown();

int error_mgr_registerShell();

// Handed in by the start-up before error_mgr_init, for the modules above this one:
// where each activation and deactivation goes (event logging: 14-byte record, path text,
// type text; null: nowhere) and what says whether the supply is good (self-monitoring;
// null: always good). Reports are not kept while the supply is not good.
using ErrorMgrEventSink = void (*)(const uint8_t* record, const char* pathText, const char* typeText);
void error_mgr_setEventSink(ErrorMgrEventSink sink);
void error_mgr_setPowerGoodSource(uint8_t (*source)());
int cmd_err_mgr_dump(int argc, char** argv);
void error_mgr_print();
