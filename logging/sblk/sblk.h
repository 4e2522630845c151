// Status block of logging: here only the units' version information.
//
// Status block of logging: here only the version information of the units, which the
// command interface exchanges (0x0F00 request, 0x0F01 reply). The status-block task, its
// file and the lap stack are not built; their entry points do nothing.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CI_HEADER_SIZE = 20; // command message header (big-endian)
constexpr size_t CI_VERSION_TEXT = 32;
constexpr size_t CI_VERSION_REPLY_SIZE = CI_HEADER_SIZE + CI_VERSION_TEXT;
constexpr uint16_t CI_CMD_VERSION_REQ = 0x0F00;
constexpr uint16_t CI_CMD_VERSION_REPLY = 0x0F01;
constexpr int SBLK_VERSION_PIDS = 10;

// Handler of 0x0F00: builds the 0x0F01 reply to the requester (context words 0) into `reply`:
// the location prefix of this unit ("FL " ... "GB " for PIDs 40 to 47) followed by the EPK,
// 32 bytes. Returns the reply's length, or 0 for a request shorter than a header or a reply
// buffer that is too small. The command interface sends it.
size_t ci_get_version_info_req(const uint8_t* request, size_t requestLen, uint8_t* reply, size_t replySize);
// Handler of 0x0F01: keeps the 32-byte version text under the sender's PID in a table of 10
// PIDs sorted by PID (a known PID is updated, a full table takes no new one).
void ci_get_version_info_reply(const uint8_t* message, size_t len);
// Handler of 0x0F04 (lap-stack entry of another unit): the lap stack is not built.
void ci_get_lapstack_info(const uint8_t* message, size_t len);

// The version table: entry `index` in PID order. False past the last entry.
bool sblk_getVersionInfo(int index, uint16_t* pid, char text[CI_VERSION_TEXT + 1]);

// Status-block task and its triggers (not built).
void sblk_task_init(const char* name, int priority, int stack, int arg);
void sblk_task_trigger_fast();
void sblk_task_trigger_slow();
void sblk_power_down();

// Tests: empties the version table.
void sblk_reset();
