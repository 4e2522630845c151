// The XCP slave's limits and fixed values, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int XCP_CP_COUNT = 1; // connection points; number 0 has calibration and paging

constexpr uint8_t XCP_MAX_CTO = 0xFF;
constexpr uint16_t XCP_MAX_DTO = 0x00FF;
constexpr uint8_t XCP_PROTOCOL_VERSION = 0x01;
constexpr uint8_t XCP_TRANSPORT_VERSION = 0x01;
constexpr uint8_t XCP_RESOURCE_CP0 = 0x05;    // calibration and paging, DAQ
constexpr uint8_t XCP_COMM_MODE_BASIC = 0x80; // optional info available, Intel, byte granularity
constexpr uint8_t XCP_COMM_MODE_OPTIONAL = 0x00;
constexpr uint8_t XCP_DRIVER_VERSION = 0x10;
constexpr uint32_t XCP_MASTER_PRESENT_TIMEOUT_S = 4;

// Paging: one segment of two pages, the reference page (0) and the working page (1).
constexpr uint8_t XCP_MAX_SEGMENT = 1;
constexpr uint8_t XCP_MAX_PAGES = 2;
constexpr uint8_t XCP_PAG_PROPERTIES = 0x01; // freeze supported
constexpr uint32_t XCP_SEGMENT_ADDR = 0x00000;
constexpr uint32_t XCP_SEGMENT_SIZE = 0x20000;

// DAQ processor.
constexpr uint16_t XCP_MAX_DAQ = 4;
constexpr uint16_t XCP_MAX_EVENT_CHANNEL = 4;
constexpr uint8_t XCP_MIN_DAQ = 0;
constexpr uint8_t XCP_DAQ_PROPERTIES = 0x13; // dynamic, prescaler, timestamp
constexpr uint8_t XCP_DAQ_KEY_BYTE = 0x80;   // relative ODT byte, absolute list word
constexpr uint8_t XCP_MAX_ODT = 1;           // reported only
constexpr uint8_t XCP_MAX_ODT_ENTRIES = 255; // reported only
constexpr uint8_t XCP_MAX_ODT_ENTRY_SIZE = 0xFC;
constexpr uint8_t XCP_TIMESTAMP_MODE = 0x5C; // 4 bytes, fixed, 100 us
constexpr uint16_t XCP_TIMESTAMP_TICKS = 1;
constexpr uint32_t XCP_ODT0_HEADER = 7; // ODT, list, timestamp
constexpr uint32_t XCP_ODT_HEADER = 3;  // ODT, list
constexpr uint16_t XCP_EVENT_NONE = 0xFFFF;
// The 1 ms event: its DTOs wait for more to share their datagram. Those of the slower events
// leave with their cycle.
constexpr int XCP_PACKED_EVENT = 2;

// Transport: UDP, frames of LEN and CTR (little-endian) before each packet.
constexpr uint32_t XCP_FRAME_HEADER = 4;
constexpr uint32_t XCP_MAX_DATAGRAM_RX = XCP_FRAME_HEADER + XCP_MAX_CTO;
// DTO frames share a datagram up to 255 bytes (a single larger frame travels alone): masters
// read datagrams into small buffers.
constexpr uint32_t XCP_DTO_PACK_LIMIT = 255;
// DTO frames on their way from the rasters to the transmit task: 500 ms of 16 full ODTs at 1 ms.
// A host under load may take the unit's processor away for a few hundred ms; the 1 ms raster
// then catches up on its ticks before the transmit task runs again.
constexpr uint32_t XCP_DTO_BUFFER = 1u << 21;
static_assert((XCP_DTO_BUFFER & (XCP_DTO_BUFFER - 1)) == 0, "positions wrap with the u32");
constexpr int XCP_TX_QUEUE_ITEMS = 100;
constexpr int XCP_TASK_PRIORITY = 125;
constexpr size_t XCP_TASK_STACK = 200000;
constexpr int XCP_TASK_CORE = 1;
constexpr int XCP_MAX_SOCKETS = 10;
