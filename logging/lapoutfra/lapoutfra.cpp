// Lap, outing and fragment counters and their shell commands.
#include "logging/lapoutfra/lapoutfra.h"

#include "acquisition/lap/laptrigger.h"
#include "services/shell/shell.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "services/bytes/bytes.h"
#include "services/errmgr/errmgr.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "services/timemod/timemod.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

using bytes::get_le16;
using bytes::put_le16;

SEM_ID lofSem;
LapOutFraState st;
// Set by the laptrigger master's answer only: counters made valid at start-up (outing
// counter mode 1) say nothing about the master.
bool masterAnswered;

// The logging drives whose files a new fragment must not meet.
const char* const DRIVES[] = {"meas:", "meas2:"};

bool fileExists(uint16_t lap, uint16_t outing, uint16_t fragment) {
    for (const char* drive : DRIVES) {
        char path[64];
        LapOutFra_fileName(path, sizeof path, drive, lap, outing, fragment);
        struct stat sb;
        if (osStat(path, &sb) == 0) return true;
    }
    return false;
}

uint16_t pickFragment(uint16_t lap, uint16_t outing, uint32_t first) {
    for (uint32_t f = first; f <= 0xFFFF; ++f)
        if (!fileExists(lap, outing, static_cast<uint16_t>(f))) return static_cast<uint16_t>(f);
    SYSLOGX_GUARDED(LOG_ERR, "LapOutFra: no free fragment for outing %u lap %u from %u",
                    static_cast<unsigned>(outing), static_cast<unsigned>(lap), static_cast<unsigned>(first));
    return static_cast<uint16_t>(first > 0xFFFF ? 1 : first);
}

// Record 1 of element 0 is written first on every change: the absolute lap counter with the lap
// and outing it goes with. A loss of power before element 261 follows leaves record 1 naming the
// lap and outing of record 0, and the start takes the absolute lap from it.
void storeCounters(bool withAbsLap) {
    uint8_t step[6];
    put_le16(step, st.abs_lap), put_le16(step + 2, st.outing), put_le16(step + 4, st.lap);
    if (nvram_dbs_write(LAPOUTFRA_NV_COUNTERS, 1, step, sizeof step) != static_cast<int>(sizeof step))
        SYSLOGX_GUARDED(LOG_ERR, "LapOutFra: could not store lap/outing/fragment counters");
    uint8_t rec[6];
    put_le16(rec, st.fragment), put_le16(rec + 2, st.outing), put_le16(rec + 4, st.lap);
    if (nvram_dbs_write(LAPOUTFRA_NV_COUNTERS, 0, rec, sizeof rec) != static_cast<int>(sizeof rec))
        SYSLOGX_GUARDED(LOG_ERR, "LapOutFra: could not store lap/outing/fragment counters");
    if (!withAbsLap) return;
    uint8_t abs[2];
    put_le16(abs, st.abs_lap);
    if (nvram_dbs_write(LAPOUTFRA_NV_ABSLAP, 0, abs, sizeof abs) != static_cast<int>(sizeof abs))
        SYSLOGX_GUARDED(LOG_ERR, "LapOutFra: could not store the absolute lap counter");
}

bool lock(const char* who) {
    if (lofSem && semTake(lofSem, WAIT_FOREVER) == OK) return true;
    SYSLOGX_GUARDED(LOG_ERR, "%s: semTake error", who);
    return false;
}

// Changes the counters under the semaphore and stores them: the state is then valid.
template <typename Change> bool change(const char* who, bool absLap, Change fn) {
    if (!lock(who)) return false;
    fn();
    st.timestamp = time_getTimestamp();
    st.valid = 1;
    storeCounters(absLap);
    semGive(lofSem);
    return true;
}

void printState() {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    std::printf("lap %u, outing %u, abs lap %u, fragment %u, timestamp %u, %s\n",
                static_cast<unsigned>(s.lap), static_cast<unsigned>(s.outing),
                static_cast<unsigned>(s.abs_lap), static_cast<unsigned>(s.fragment),
                static_cast<unsigned>(s.timestamp), s.valid ? "valid" : "not valid");
    std::fflush(stdout);
}

bool parseU16(const char* text, uint16_t* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno || *end || v > 0xFFFF || text[0] == '-') return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

int noArguments(int argc, const char* usage) {
    if (argc == 1) return 0;
    std::printf("usage: %s\n", usage);
    std::fflush(stdout);
    return -1;
}

} // namespace

int LapOutFra_init() {
    if (!lofSem) lofSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!lofSem) {
        syslogx(LOG_ERR, "LapOutFra_init(): semMCreate failed");
        return -1;
    }
    LapOutFraState s{};
    uint8_t rec[6];
    const bool haveCounters =
        nvram_dbs_read(LAPOUTFRA_NV_COUNTERS, 0, rec, sizeof rec) == static_cast<int>(sizeof rec);
    if (haveCounters) {
        s.fragment = get_le16(rec);
        s.outing = get_le16(rec + 2);
        s.lap = get_le16(rec + 4);
    }
    uint8_t abs[2];
    const bool haveAbsLap =
        nvram_dbs_read(LAPOUTFRA_NV_ABSLAP, 0, abs, sizeof abs) == static_cast<int>(sizeof abs);
    if (haveAbsLap) s.abs_lap = get_le16(abs);
    uint8_t step[6];
    bool repaired = false;
    if (haveCounters && nvram_dbs_read(LAPOUTFRA_NV_COUNTERS, 1, step, sizeof step) == sizeof step &&
        get_le16(step + 2) == s.outing && get_le16(step + 4) == s.lap && get_le16(step) != s.abs_lap) {
        syslogx(LOG_WARN, "LapOutFra_init(): absolute lap counter %u repaired to %u", s.abs_lap,
                get_le16(step));
        s.abs_lap = get_le16(step);
        repaired = true;
    }
    if (!lock("LapOutFra_init()")) return -1;
    st = s;
    // A fresh store gets its elements now, so that later starts read them cleanly.
    if (!haveCounters || !haveAbsLap) {
        syslogx(LOG_INFO, "LapOutFra_init(): no stored lap/outing/fragment counters, starting from 0");
        storeCounters(!haveAbsLap);
    } else if (repaired) {
        storeCounters(true);
    }
    semGive(lofSem);
    return 0;
}

void LapOutFra_getState(LapOutFraState* out) {
    if (!out) return;
    if (!lock("LapOutFra_getState()")) {
        out->valid = 0;
        return;
    }
    *out = st;
    semGive(lofSem);
}

void LapOutFra_initLapOutCnt(uint16_t lap, uint16_t outing) {
    change("LapOutFra_initLapOutCnt()", false, [&] {
        // The drives may not be ready yet at start-up: never hand out a fragment twice for the
        // same lap and outing, even when its file cannot be seen.
        const uint32_t first = (lap == st.lap && outing == st.outing) ? st.fragment + 1u : 1u;
        st.fragment = pickFragment(lap, outing, first);
        st.lap = lap;
        st.outing = outing;
    });
}

void LapOutFra_lapTrigger(uint16_t lap, uint16_t outing) {
    change("LapOutFra_lapTrigger()", true, [&] {
        ++st.abs_lap;
        st.fragment = pickFragment(lap, outing, lap == st.lap && outing == st.outing ? st.fragment + 1u : 1u);
        st.lap = lap;
        st.outing = outing;
    });
}

void LapOutFra_laptriggerAnswer(uint16_t lap, uint16_t outing) {
    if (!lock("LapOutFra_laptriggerAnswer()")) return;
    const bool first = !masterAnswered;
    masterAnswered = true;
    const bool valid = st.valid;
    semGive(lofSem);
    if (first) syslogx(LOG_INFO, "LapOutFra: laptrigger master answered: lap %u of outing %u", lap, outing);
    if (!valid) LapOutFra_initLapOutCnt(lap, outing);
}

void LapOutFra_queryLapOutCntTask() {
    taskDelay(LAPOUTFRA_QUERY_WAIT_S * sysClkRateGet());
    bool answered = false;
    if (lock("LapOutFra_queryLapOutCntTask()")) {
        answered = masterAnswered;
        semGive(lofSem);
    }
    if (answered) return;
    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
    syslogx(LOG_ERR, "LapOutFra_queryLapOutCntTask(): laptrigger master did not answer within %d s",
            LAPOUTFRA_QUERY_WAIT_S);
}

void LapOutFra_checkExtLaptrgInit() {
    laptrigger_10ms();
}

void LapOutFra_fileName(char* out, size_t size, const char* drive, uint16_t lap, uint16_t outing,
                        uint16_t fragment) {
    std::snprintf(out, size, "%sO%05uL%05uF%05u.dat", drive, static_cast<unsigned>(outing),
                  static_cast<unsigned>(lap), static_cast<unsigned>(fragment));
}

int LapOutFra_cmds_init() {
    static const struct {
        const char* name;
        int (*fn)(int, char**);
    } cmds[] = {{"lof_set", lof_set},
                {"lof_laptrig", lof_laptrig},
                {"lof_outtrig", lof_outtrig},
                {"lof_fratrig", lof_fratrig},
                {"lof_get", lof_get}};
    for (const auto& c : cmds)
        if (!msd_shellAddCommand(c.name, c.fn)) return -1;
    return 0;
}

int lof_set(int argc, char** argv) {
    uint16_t lap = 0, outing = 0;
    if (argc != 3 || !parseU16(argv[1], &lap) || !parseU16(argv[2], &outing)) {
        std::printf("usage: lof_set <lap> <outing> (decimal, 0 to 65535)\n");
        std::fflush(stdout);
        return -1;
    }
    LapOutFra_initLapOutCnt(lap, outing);
    printState();
    return 0;
}

int lof_get(int argc, char**) {
    if (noArguments(argc, "lof_get")) return -1;
    printState();
    return 0;
}

int lof_laptrig(int argc, char**) {
    if (noArguments(argc, "lof_laptrig")) return -1;
    change("lof_laptrig", true, [] {
        ++st.lap;
        ++st.abs_lap;
        st.fragment = pickFragment(st.lap, st.outing, 1);
    });
    printState();
    return 0;
}

int lof_outtrig(int argc, char**) {
    if (noArguments(argc, "lof_outtrig")) return -1;
    change("lof_outtrig", false, [] {
        ++st.outing;
        st.fragment = pickFragment(st.lap, st.outing, 1);
    });
    printState();
    return 0;
}

int lof_fratrig(int argc, char**) {
    if (noArguments(argc, "lof_fratrig")) return -1;
    change("lof_fratrig", false, [] { st.fragment = pickFragment(st.lap, st.outing, st.fragment + 1u); });
    printState();
    return 0;
}

void LapOutFra_reset() {
    if (lofSem) semDelete(lofSem);
    lofSem = nullptr;
    st = LapOutFraState{};
    masterAnswered = false;
}
