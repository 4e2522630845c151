// Times a subject and its reference alternately in every iteration, so both see the same caches,
// heap and machine load; the subject's time is the iteration time, the reference's time (in µs)
// and the ratio of the two are printed beside it.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

namespace bench {

// ratio: "time" reports subject time / reference time, "speed" its inverse.
template <typename Subject, typename Reference>
void paired(benchmark::State& state, const std::string& ref, const char* ratio, Subject subject,
            Reference reference) {
    using clock = std::chrono::steady_clock;
    subject(); // warm-up of both, off the clock
    reference();
    double ts = 0, tr = 0;
    for (auto _ : state) {
        const auto t0 = clock::now();
        subject();
        const auto t1 = clock::now();
        reference();
        const auto t2 = clock::now();
        const double s = std::chrono::duration<double>(t1 - t0).count();
        ts += s;
        tr += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(s);
    }
    if (ts <= 0 || tr <= 0) return;
    state.counters[ref + "_us"] = tr / static_cast<double>(state.iterations()) * 1e6;
    state.counters[std::string(ratio) + "_vs_" + ref] = std::string(ratio) == "time" ? ts / tr : tr / ts;
}

} // namespace bench
