// Version information of the units for the status block.
#include "logging/sblk/sblk.h"

#include "acquisition/location/location.h"
#include "services/rtpman/rtpman.h"
#include "calibration/memory/seram.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <cstring>

namespace {

using bytes::get_be16;
using bytes::put_be16;
struct VersionEntry {
    uint16_t pid;
    char text[CI_VERSION_TEXT];
};
VersionEntry versions[SBLK_VERSION_PIDS];
int versionCount;
std::atomic<SEM_ID> versionMutex{nullptr};

SEM_ID versionLock() {
    SEM_ID m = versionMutex.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!made) return nullptr;
    if (!versionMutex.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

} // namespace

size_t ci_get_version_info_req(const uint8_t* request, size_t requestLen, uint8_t* reply, size_t replySize) {
    if (!request || !reply || requestLen < CI_HEADER_SIZE || replySize < CI_VERSION_REPLY_SIZE) return 0;
    std::memset(reply, 0, CI_VERSION_REPLY_SIZE);
    put_be16(reply + 2, CI_VERSION_TEXT);
    put_be16(reply + 4, AppMan_getPID());
    put_be16(reply + 6, get_be16(request + 4)); // back to the requester
    put_be16(reply + 16, CI_CMD_VERSION_REPLY);
    // "_FL" names the location as a suffix; the reply carries it as a prefix "FL ".
    char text[2 * CI_VERSION_TEXT + 1] = {};
    const char* location = discover_location();
    size_t n = 0;
    if (*location) {
        for (const char* c = location + 1; *c; ++c)
            text[n++] = *c;
        text[n++] = ' ';
    }
    const char* epk = seramGetEPKPtr();
    for (size_t i = 0; i < SERAM_EPK_SIZE && epk[i]; ++i)
        text[n++] = epk[i];
    std::memcpy(reply + CI_HEADER_SIZE, text, CI_VERSION_TEXT); // cut to 32 bytes
    return CI_VERSION_REPLY_SIZE;
}

void ci_get_version_info_reply(const uint8_t* message, size_t len) {
    if (!message || len < CI_HEADER_SIZE + CI_VERSION_TEXT || get_be16(message + 2) < CI_VERSION_TEXT) {
        SYSLOGX_GUARDED(LOG_WARN, "ci_get_version_info_reply: version reply too short (%u bytes)",
                        static_cast<unsigned>(len));
        return;
    }
    const uint16_t pid = get_be16(message + 4);
    SEM_ID lock = versionLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "ci_get_version_info_reply: semTake error");
        return;
    }
    int i = 0;
    while (i < versionCount && versions[i].pid < pid)
        ++i;
    if (i == versionCount || versions[i].pid != pid) {
        if (versionCount == SBLK_VERSION_PIDS) {
            semGive(lock);
            return;
        }
        std::memmove(&versions[i + 1], &versions[i],
                     sizeof(VersionEntry) * static_cast<size_t>(versionCount - i));
        ++versionCount;
        versions[i].pid = pid;
    }
    std::memcpy(versions[i].text, message + CI_HEADER_SIZE, CI_VERSION_TEXT);
    semGive(lock);
}

void ci_get_lapstack_info(const uint8_t*, size_t) {}

bool sblk_getVersionInfo(int index, uint16_t* pid, char text[CI_VERSION_TEXT + 1]) {
    SEM_ID lock = versionLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) return false;
    const bool ok = index >= 0 && index < versionCount;
    if (ok) {
        if (pid) *pid = versions[index].pid;
        if (text) {
            std::memcpy(text, versions[index].text, CI_VERSION_TEXT);
            text[CI_VERSION_TEXT] = 0;
        }
    }
    semGive(lock);
    return ok;
}

void sblk_task_init(const char*, int, int, int) {}
void sblk_task_trigger_fast() {}
void sblk_task_trigger_slow() {}
void sblk_power_down() {}

void sblk_reset() {
    versionCount = 0;
    if (SEM_ID m = versionMutex.exchange(nullptr)) semDelete(m);
}
