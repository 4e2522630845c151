// Data ID and scrutineering report of the active page's calibration data.
//
// Data ID and scrutineering report: a digest over the calibration data of the active page,
// written to "c:/psts/upload/scrutineering.xml" on the shell command "scrutInfo_RTP<index>".
#pragma once

#include <cstddef>
#include <cstdint>

// Registers "scrutInfo_RTP<index>" with the shell; 1 when accepted.
int seram_registerShell();
// The shell command: writes and prints the report; 0, or -1 when no file could be written.
int cmdFuncGetScrutInfo(int argc, char** argv);

// 0 with the five digest words (all zero until a secret was handed over), 1 on failure.
int seramTamperProofGetDataID(uint32_t out[5]);
// Keeps the range (an address of the reference page) out of the digest.
void seramTamperProofAddEntry(uint32_t length, uint32_t address);
void seramTamperProofSetDefaultExclude();
// The complement of the exclusions within the dataset payload, in order.
void seramTamperProofGenerateIncludeList();
// Once only: keeps the secret; the digest is computed from then on.
void seramTamperProofSetSecret(uint32_t length, const uint8_t* data);
// Starts the keyed calculation's task "t_ecu_s" once (a failed start is tried again by the next
// call): a pass every `argument` ticks (0: a second) derives two SHA-1 digests, of the Data ID
// and of its first two words in hexadecimal, each followed by the secret and `key` (big-endian).
// 0 when the task runs.
int seramTamperProofRunCalculation(uint32_t key, uint32_t argument);
void seramTamperProofRunCalculation_TASK(intptr_t key, intptr_t argument, intptr_t, intptr_t);

struct DataIdRange {
    uint32_t offset;
    uint32_t length;
};
// Tests: the include list and the list error; the keyed digests and the passes made so far;
// forgetting everything (the task ended).
size_t seramTamperProofIncludes(const DataIdRange** list);
uint32_t seramTamperProofKeyed(uint8_t digests[2][20]);
bool seramTamperProofListError();
void seramTamperProofReset();
