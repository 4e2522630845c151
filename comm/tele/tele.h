// Telemetry: frames over the serial line or UDP, and the JSON status channel.
#pragma once

#include <cstddef>
#include <cstdint>

class ChanData;

// Copied from the logging's telemetry measurement when telemetry starts.
struct tele_config {
    uint32_t baudRate;
    uint32_t dataRate;    // bits per ms usable for UDP frames (0: none)
    uint32_t projectCode; // bits 0 to 15 in the frame header, "prjcode" whole
    uint32_t address;     // IPv4 address of the pit, first octet most significant
    uint16_t port;        // UDP port of the frames
    uint8_t medium;       // 0 serial, 1 serial with a modem-busy input, 2 UDP
    uint8_t extraDelay;   // ms added to each serial frame period
    uint8_t swId;
    ChanData* lapDist; // the JSON's "lapdist", "gps_lat", "gps_long" (null: none)
    ChanData* latitude;
    ChanData* longitude;
    ChanData* enable; // frames only while its value is not 0 (null: always)
    uint32_t valid;
};
struct tele_start_t {
    tele_config config;
    uint8_t kind; // 1 frame telemetry
};

// One record of a telemetry block, filled by the logging application: what the gateway
// delivered last for one measurement list.
constexpr size_t TELE_ENTRY_MAX = 256;
struct tele_record {
    uint8_t setUp;
    uint16_t pid;
    uint8_t block;      // 0 fast, 1 to 7 slow
    uint16_t entrySize; // 4-byte time stamp and the values
    uint8_t hasEntry;
    uint8_t dataValid;
    uint8_t entry[TELE_ENTRY_MAX];
};
struct tele_block {
    tele_record* records;
    uint16_t count;
};
constexpr int TELE_BLOCKS = 8; // 0 the fast block, 1 to 7 the slow ones
extern tele_block tele[TELE_BLOCKS];
// The logging's callbacks update a record through these (the frame task reads it meanwhile).
void tele_record_put(tele_record* r, const uint8_t* entry);
void tele_record_state(tele_record* r, uint8_t setUp, uint8_t dataValid);

void tele_app_ini();
// 1 when telemetry runs. Refused: a serial baud rate below 11 (no frame period), a frame of more
// than 255 bytes (its length would not fit the header).
int tele_app_start(const tele_start_t* start);
// Stops the frames and closes the socket and the serial port.
void tele_app_stop();
int tele_func();
int tarvoTele_func();
int limit_int(int value, int low, int high);
unsigned limit_uint(unsigned value, unsigned low, unsigned high);

// The JSON status text: the channel items present (null: not new), then with a dcp.ini its
// checksum, the project code and the software id. Its length.
size_t tele_json_text(char* out, size_t size, const double* lapDist, const double* latitude,
                      const double* longitude, const uint32_t* dcpCrc, uint32_t projectCode, uint8_t swId);
// The modem's status datagram into the modem signals.
void tele_json_modem(const char* text, size_t length);

// Tests: ends the tasks, closes what is open, empties the block table.
void tele_reset();
