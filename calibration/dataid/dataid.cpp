// The Data ID over the active page without the excluded ranges, and the scrutineering report.
#include "calibration/dataid/dataid.h"

#include "calibration/block/block.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "services/bytes/bytes.h"
#include "services/cipher/sha1.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"
#include "vyn/vartable.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t LIST_MAX = 8192;
constexpr size_t REPORT_MAX = 1024;
constexpr const char* REPORT_PATH = "c:/psts/upload/scrutineering.xml";

DataIdRange excludes[LIST_MAX];
size_t excludeCount = 0;
DataIdRange includes[LIST_MAX + 1];
size_t includeCount = 0;
bool listError = false;
bool secretSet = false;
std::vector<uint8_t> secret;
std::vector<char> keyedText[2]; // the hexadecimal words, then the secret and the key
TASK_ID calcTask = TASK_ID_NULL;
uint8_t keyed[2][SHA1_DIGEST_SIZE];
uint32_t passes = 0;

// Held while the secret is handed over and while the task computes and stores the digests.
SEM_ID keyedLock() {
    static const SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return m;
}

// One pass of the keyed calculation (under the lock).
void keyedPass(const uint8_t key[4]) {
    if (!secretSet) return;
    uint32_t id[5];
    seramTamperProofGetDataID(id);
    for (int t = 0; t < 2; ++t) {
        char words[41];
        const int hex =
            t ? std::snprintf(words, sizeof words, "%08X%08X", id[0], id[1])
              : std::snprintf(words, sizeof words, "%08X%08X%08X%08X%08X", id[0], id[1], id[2], id[3], id[4]);
        char* text = keyedText[t].data();
        std::memcpy(text, words, static_cast<size_t>(hex));
        if (!secret.empty()) std::memcpy(text + hex, secret.data(), secret.size());
        std::memcpy(text + hex + secret.size(), key, 4);
        SHA1(keyed[t], text, static_cast<size_t>(hex) + secret.size() + 4);
    }
    ++passes;
}

void include(uint32_t from, uint32_t to) {
    if (to > from && includeCount < sizeof includes / sizeof includes[0])
        includes[includeCount++] = {from, to - from};
}

// Appends as much of the formatted text as fits; the needed length grows regardless.
void append(char* buf, size_t* used, size_t* needed, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void append(char* buf, size_t* used, size_t* needed, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buf + *used, REPORT_MAX + 1 - *used, format, ap);
    va_end(ap);
    if (n < 0) return;
    *needed += static_cast<size_t>(n);
    *used = *needed < REPORT_MAX ? *needed : REPORT_MAX;
}

} // namespace

void seramTamperProofAddEntry(uint32_t length, uint32_t address) {
    const uint64_t start = SERAM_REFPAGE, end = start + SERAM_REFPAGE_SIZE;
    if (address < start || static_cast<uint64_t>(address) + length > end) {
        syslogx(
            LOG_ERR,
            "Passed parameter address (0x%x) is not in the SERAM range. Port Index in simulink model is: %d",
            address, static_cast<int>(excludeCount));
        listError = true;
        return;
    }
    if (length == 0) {
        syslogx(LOG_ERR, "Passed parameter has lenght zero. Port Index in simulink model is: %d",
                static_cast<int>(excludeCount));
        listError = true;
        return;
    }
    if (excludeCount < LIST_MAX) excludes[excludeCount++] = {address - SERAM_REFPAGE, length};
}

void seramTamperProofSetDefaultExclude() {
    seramTamperProofAddEntry(16, VTADDR_ENGID);
}

void seramTamperProofGenerateIncludeList() {
    const uint64_t started = time_get_time_ms();
    for (size_t i = 0; i + 1 < excludeCount; ++i)
        for (size_t j = 0; j + 1 < excludeCount - i; ++j)
            if (excludes[j].offset > excludes[j + 1].offset) {
                const DataIdRange t = excludes[j];
                excludes[j] = excludes[j + 1];
                excludes[j + 1] = t;
            }
    includeCount = 0;
    uint32_t cursor = 0;
    for (size_t i = 0; i < excludeCount; ++i) {
        if (cursor < excludes[i].offset) include(cursor, excludes[i].offset);
        // An exclusion inside the one before must not take the cursor back.
        const uint32_t end = excludes[i].offset + excludes[i].length;
        if (end > cursor) cursor = end;
    }
    if (cursor < SERAM_DATASET_SIZE) include(cursor, SERAM_DATASET_SIZE);
    syslogx(LOG_INFO, "Initialized ecu-s in %d ms", static_cast<int>(time_get_time_ms() - started));
}

void seramTamperProofSetSecret(uint32_t length, const uint8_t* data) {
    semTake(keyedLock(), WAIT_FOREVER);
    if (secretSet) {
        semGive(keyedLock());
        syslogx(LOG_ERR, "Call to seramTamperProofSetSecret can only be made once!");
        return;
    }
    secretSet = true;
    secret.assign(data, data + (data ? length : 0));
    keyedText[0].resize(40 + secret.size() + 4);
    keyedText[1].resize(16 + secret.size() + 4);
    seramTamperProofSetDefaultExclude();
    seramTamperProofGenerateIncludeList();
    semGive(keyedLock());
}

int seramTamperProofRunCalculation(uint32_t key, uint32_t argument) {
    if (calcTask) return 0;
    calcTask = taskSpawn("t_ecu_s", 140, 0, 200, seramTamperProofRunCalculation_TASK, key, argument);
    if (!calcTask) {
        syslogx(LOG_ERR, "Calculations task t_secu creation error! Retrying next time...");
        return -1;
    }
    syslogx(LOG_INFO, "Calculations task t_secu successfully created with ID=0x%x",
            static_cast<unsigned>(calcTask));
    return 0;
}

void seramTamperProofRunCalculation_TASK(intptr_t key, intptr_t argument, intptr_t, intptr_t) {
    uint8_t k[4];
    bytes::put_be32(k, static_cast<uint32_t>(key));
    for (;;) {
        semTake(keyedLock(), WAIT_FOREVER);
        keyedPass(k);
        semGive(keyedLock());
        taskDelay(argument ? static_cast<int>(argument) : sysClkRateGet());
    }
}

int seramTamperProofGetDataID(uint32_t out[5]) {
    std::memset(out, 0, 5 * sizeof(uint32_t));
    if (!secretSet) return 0;
    const uint8_t* page = seram_memory + SERAM_REFPAGE + seramActiveOffset;
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    for (size_t i = 0; i < includeCount; ++i)
        SHA1Update(&ctx, page + includes[i].offset, includes[i].length);
    uint8_t digest[SHA1_DIGEST_SIZE];
    SHA1Final(digest, &ctx);
    std::memcpy(out, digest, sizeof digest); // memory order: "%08X" shows each word's bytes reversed
    return 0;
}

int cmdFuncGetScrutInfo(int, char**) {
    // Zero first: a failed digest still reports a defined Data ID.
    uint32_t id[5] = {};
    char* buf = static_cast<char*>(std::malloc(REPORT_MAX + 1));
    if (!buf) {
        std::printf("Failed to allocate write buffer\n");
        syslogx(LOG_WARN, "ScrutInfo: Failed to allocate write buffer");
        return -1;
    }
    osMkdir("c:/psts", 0755);
    osMkdir("c:/psts/upload", 0755);
    FILE* f = osFopen(REPORT_PATH, "w");
    if (!f) {
        std::printf("Couldn't create scrutineering file\n");
        syslogx(LOG_WARN, "ScrutInfo: Couldn't create scrutineering file");
        std::free(buf);
        return -1;
    }
    if (seramTamperProofGetDataID(id) != 0) {
        std::printf("Data ID creating error\n");
        syslogx(LOG_WARN, "ScrutInfo: Data ID creating error");
    }
    size_t used = 0, needed = 0;
    buf[0] = 0;
    append(buf, &used, &needed, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
    append(buf, &used, &needed, "<Scrutineering Comment=\"\" Version=\"1.0\">\n");
    append(buf, &used, &needed, "  <Values>\n");
    append(buf, &used, &needed, "      <DataID>%08X-%08X-%08X-%08X-%08X</DataID>\n", id[0], id[1], id[2],
           id[3], id[4]);
    append(buf, &used, &needed, "  </Values>\n");
    append(buf, &used, &needed, "</Scrutineering>\n");
    std::printf("\nScrutineering data:\n");
    std::printf("-------------------\n");
    std::printf("DataID: %08X-%08X-%08X-%08X-%08X\n", id[0], id[1], id[2], id[3], id[4]);
    std::printf("-------------------\n");
    if (needed > REPORT_MAX) {
        std::printf("Buffer too small, malloc size %d, needed size %d\n", static_cast<int>(REPORT_MAX),
                    static_cast<int>(needed));
        syslogx(LOG_WARN, "ScrutInfo: Buffer too small, malloc size %d, needed size %d",
                static_cast<int>(REPORT_MAX), static_cast<int>(needed));
    }
    const bool written = std::fwrite(buf, 1, used, f) == used;
    if (std::fclose(f) == 0 && written) {
        std::printf("Scrutineering information written successfully\n");
        syslogx(LOG_INFO, "ScrutInfo: Scrutineering information written successfully");
    } else {
        std::printf("File size and buffer size are different!\n");
        syslogx(LOG_WARN, "ScrutInfo: File size and buffer size are different");
    }
    std::free(buf);
    return 0;
}

size_t seramTamperProofIncludes(const DataIdRange** list) {
    *list = includes;
    return includeCount;
}

bool seramTamperProofListError() {
    return listError;
}

uint32_t seramTamperProofKeyed(uint8_t digests[2][20]) {
    semTake(keyedLock(), WAIT_FOREVER);
    std::memcpy(digests, keyed, sizeof keyed);
    const uint32_t n = passes;
    semGive(keyedLock());
    return n;
}

void seramTamperProofReset() {
    if (calcTask) taskDelete(calcTask), taskWaitExit(calcTask, WAIT_FOREVER), calcTask = TASK_ID_NULL;
    excludeCount = includeCount = 0;
    listError = secretSet = false;
    secret.clear();
    keyedText[0].clear(), keyedText[1].clear();
    std::memset(keyed, 0, sizeof keyed);
    passes = 0;
}
