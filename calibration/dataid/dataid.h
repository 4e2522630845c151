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
// Once only; the digest is computed from then on.
void seramTamperProofSetSecret(uint32_t length, const uint8_t* data);

struct DataIdRange {
    uint32_t offset;
    uint32_t length;
};
// Tests: the include list and the list error; forgetting everything.
size_t seramTamperProofIncludes(const DataIdRange** list);
bool seramTamperProofListError();
void seramTamperProofReset();
