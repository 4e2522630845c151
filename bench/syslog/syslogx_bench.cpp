// Cost of one syslogx call and the heap allocations it makes. Allocations are counted by
// interposing malloc for the benchmark's own thread.
#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "services/syslog/syslog_private.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
thread_local bool tCounting = false;
thread_local uint64_t tAllocs = 0;
} // namespace

extern "C" {
void* malloc(size_t n) {
    if (tCounting) ++tAllocs;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    if (tCounting) ++tAllocs;
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    if (tCounting) ++tAllocs;
    return __libc_realloc(p, n);
}
void free(void* p) {
    __libc_free(p);
}
}

namespace {

MSG_Q_ID queue() {
    static MSG_Q_ID q = [] {
        syslog_queue_init();
        syslog_init();
        return syslog_getQueue();
    }();
    return q;
}

void drain() {
    char buf[SYSLOG_RECORD_MAX];
    while (msgQReceive(queue(), buf, sizeof buf, NO_WAIT) > 0) {
    }
}

void fill() {
    syslog_msg_t rec{};
    while (msgQSend(queue(), &rec, sizeof rec, NO_WAIT, MSG_PRI_NORMAL) == OK) {
    }
}

struct Counting {
    benchmark::State& st;
    uint64_t before;
    explicit Counting(benchmark::State& s) : st(s), before(tAllocs) { tCounting = true; }
    ~Counting() {
        tCounting = false;
        st.counters["allocs_per_call"] =
            benchmark::Counter(static_cast<double>(tAllocs - before), benchmark::Counter::kAvgIterations);
    }
};

// Each line differs from the one before: formatted, compared and sent. The queue's own
// copy of the record is part of this figure (see BM_PlatformQueueSend).
void BM_SyslogxSent(benchmark::State& st) {
    drain();
    syslog_reset();
    int i = 0;
    Counting c(st);
    for (auto _ : st) {
        syslogx(LOG_INFO, "raster %d value %d out of range", i & 15, i);
        if (++i % 512 == 0) {
            st.PauseTiming();
            tCounting = false;
            drain();
            tCounting = true;
            st.ResumeTiming();
        }
    }
}

// The collector has stopped and the queue is full: the whole of syslogx without the
// queue's copy. Expected: no allocation.
void BM_SyslogxQueueFull(benchmark::State& st) {
    drain();
    fill();
    syslogx(LOG_INFO, "first line reports the full queue once");
    int i = 0;
    Counting c(st);
    for (auto _ : st) {
        ++i;
        syslogx(LOG_INFO, "raster %d value %d out of range", i & 15, i);
    }
    drain();
}

// Identical lines of one task: counted, sent once per 99.
void BM_SyslogxRepeated(benchmark::State& st) {
    drain();
    syslog_reset();
    int n = 0;
    Counting c(st);
    for (auto _ : st) {
        syslogx(LOG_INFO, "the same line %d", 7);
        if (++n % 512 == 0) {
            st.PauseTiming();
            tCounting = false;
            drain();
            tCounting = true;
            st.ResumeTiming();
        }
    }
}

// Below the threshold: counted and dropped.
void BM_SyslogxFiltered(benchmark::State& st) {
    syslog_reset();
    gSyslogThreshold = 5;
    Counting c(st);
    for (auto _ : st)
        syslogx(LOG_DEBUG, "debug %d", 1);
    gSyslogThreshold = 7;
}

// The simulated platform queue alone, for comparison with BM_SyslogxSent.
void BM_PlatformQueueSend(benchmark::State& st) {
    drain();
    syslog_msg_t rec{};
    int n = 0;
    Counting c(st);
    for (auto _ : st) {
        msgQSend(queue(), &rec, 100, NO_WAIT, MSG_PRI_NORMAL);
        if (++n % 512 == 0) {
            st.PauseTiming();
            tCounting = false;
            drain();
            tCounting = true;
            st.ResumeTiming();
        }
    }
}

BENCHMARK(BM_SyslogxSent);
BENCHMARK(BM_SyslogxQueueFull);
BENCHMARK(BM_SyslogxRepeated);
BENCHMARK(BM_SyslogxFiltered);
BENCHMARK(BM_PlatformQueueSend);

} // namespace

BENCHMARK_MAIN();
