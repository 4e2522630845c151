// Device network throughput inside one unit:
// - DK queue mode: 100 lists of 64-byte entries per millisecond round, packed into 1472-byte
//   frames as the offline sender does and delivered record by record into the receiving FIFOs
//   as the DK receivers do (no sockets): entries per second and entries lost;
// - online latency from the writer's copy to the reader's copy across two threads;
// - command messages per second through "r_Comint" (the transport runs on 127.0.0.1, so run
//   it in a network namespace of its own, e.g. `unshare -n`, with lo up).
#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

int64_t hostNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void startUnit() {
    static bool started = [] {
        sim::configure(sim::TimeMode::Realtime, std::time(nullptr));
        sim::startRealtime();
        syslog_queue_init();
        platform::Settings s;
        s.pid = 0;
        s.ipv4 = 0x7F000001;
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0);
        AppMan_init();
        routing_ini();
        dynkomm_ini();
        return true;
    }();
    (void)started;
}

void BM_DkQueueModeEntries(benchmark::State& state) {
    startUnit();
    constexpr int LISTS = 100, SIZE = 64;
    DynkommFifo* send[LISTS];
    DynkommFifo* recv[LISTS];
    uint32_t magic[LISTS];
    for (int i = 0; i < LISTS; ++i) {
        send[i] = dynkomm_fifo_alloc(512, SIZE);
        send[i]->flags = DK_FLAG_QUEUE;
        recv[i] = dynkomm_fifo_alloc(512, SIZE);
        recv[i]->flags = DK_FLAG_QUEUE;
        magic[i] = dynkomm_fifo_register(recv[i]);
    }
    uint8_t entry[SIZE] = {};
    uint8_t frame[BC2_FRAME];
    int64_t sent = 0, received = 0;
    for (auto _ : state) {
        for (int i = 0; i < LISTS; ++i) {
            std::memcpy(entry, &sent, sizeof sent);
            sent += dynkomm_write_copy(send[i], entry);
        }
        size_t fill = 0;
        for (int i = 0; i < LISTS; ++i) {
            while (dynkomm_read_copy(send[i], entry)) {
                if (fill + BC2_DK_HEADER + SIZE > BC2_FRAME) {
                    bc2_dk_datagram(frame, fill);
                    fill = 0;
                }
                const uint8_t head[8] = {0,
                                         0,
                                         0,
                                         SIZE,
                                         static_cast<uint8_t>(magic[i] >> 24),
                                         static_cast<uint8_t>(magic[i] >> 16),
                                         static_cast<uint8_t>(magic[i] >> 8),
                                         static_cast<uint8_t>(magic[i])};
                std::memcpy(frame + fill, head, 8);
                std::memcpy(frame + fill + 8, entry, SIZE);
                fill += 8 + SIZE;
            }
        }
        bc2_dk_datagram(frame, fill);
        for (int i = 0; i < LISTS; ++i)
            while (dynkomm_read_copy(recv[i], entry))
                ++received;
    }
    state.counters["entries_per_s"] =
        benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
    state.counters["lost"] = static_cast<double>(sent - received);
    for (int i = 0; i < LISTS; ++i) {
        dynkomm_fifo_dispose(send[i]);
        dynkomm_fifo_free(magic[i]);
    }
}
BENCHMARK(BM_DkQueueModeEntries)->Unit(benchmark::kMicrosecond);

void BM_OnlineCopyToRead(benchmark::State& state) {
    startUnit();
    DynkommFifo* f = dynkomm_fifo_alloc(static_cast<uint16_t>(state.range(0)), 64);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        uint8_t entry[64] = {};
        while (!stop) {
            const int64_t now = hostNs();
            std::memcpy(entry, &now, sizeof now);
            dynkomm_write_copy(f, entry);
        }
    });
    int64_t total = 0, reads = 0;
    uint8_t entry[64];
    for (auto _ : state) {
        while (!dynkomm_read_copy(f, entry)) {
        }
        int64_t stamp;
        std::memcpy(&stamp, entry, sizeof stamp);
        total += hostNs() - stamp;
        ++reads;
    }
    stop = true;
    writer.join();
    state.counters["latency_ns"] = reads ? static_cast<double>(total) / static_cast<double>(reads) : 0;
    dynkomm_fifo_dispose(f);
}
BENCHMARK(BM_OnlineCopyToRead)->Arg(1)->Arg(8);

std::atomic<int64_t> served{0};

void BM_CommandsThroughComint(benchmark::State& state) {
    startUnit();
    static bool up = [] {
        comint_ini();
        comint_setHandler(0x0F04, [](const uint8_t*, size_t) { served.fetch_add(1); });
        BC2_init();
        for (int i = 0; i < 300 && !comint_status(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return comint_status() != 0;
    }();
    if (!up) {
        state.SkipWithError("the command multicast channel did not come up");
        return;
    }
    uint8_t m[CI_HEADER + 16] = {};
    ci_set_header(m, {16, 0, 0, 0, 0, 0x0F04});
    served = 0;
    int64_t queued = 0;
    for (auto _ : state) {
        for (int i = 0; i < 256; ++i)
            queued += comint_queue_cmd(m);
        while (served.load() < queued) {
        }
    }
    state.counters["messages_per_s"] =
        benchmark::Counter(static_cast<double>(queued), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CommandsThroughComint)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
