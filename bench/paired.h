// Times a subject and its reference alternately in every iteration, so both see the same caches,
// heap and machine load; the subject's time is the iteration time, the reference's time (in µs)
// and the ratio of the two are printed beside it. The ratio is the median of the iterations'
// ratios: a stall of the machine (other work on a shared machine) that falls on one side of a few
// iterations moves it little, where it would move the ratio of the sums.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace bench {

// ratio: "time" reports subject time / reference time, "speed" its inverse.
template <typename Subject, typename Reference>
void paired(benchmark::State& state, const std::string& ref, const char* ratio, Subject subject,
            Reference reference) {
    using clock = std::chrono::steady_clock;
    subject(); // warm-up of both, off the clock
    reference();
    double ts = 0, tr = 0;
    const bool time = std::string(ratio) == "time";
    std::vector<double> ratios;
    for (auto _ : state) {
        const auto t0 = clock::now();
        subject();
        const auto t1 = clock::now();
        reference();
        const auto t2 = clock::now();
        const double s = std::chrono::duration<double>(t1 - t0).count();
        const double r = std::chrono::duration<double>(t2 - t1).count();
        ts += s;
        tr += r;
        if (s > 0 && r > 0) ratios.push_back(time ? s / r : r / s);
        state.SetIterationTime(s);
    }
    if (ts <= 0 || tr <= 0 || ratios.empty()) return;
    state.counters[ref + "_us"] = tr / static_cast<double>(state.iterations()) * 1e6;
    const auto mid = ratios.begin() + static_cast<long>(ratios.size() / 2);
    std::nth_element(ratios.begin(), mid, ratios.end());
    state.counters[std::string(ratio) + "_vs_" + ref] = *mid;
}

} // namespace bench
