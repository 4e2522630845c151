// The reference of the idle demo unit: a bare 1 kHz loop on clock_nanosleep, as a tick made by
// the host's own timer. tick_loop TICKS; prints its context switches and CPU seconds.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
    const long ticks = argc > 1 ? std::atol(argv[1]) : 1000;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long i = 0; i < ticks; ++i) {
        next.tv_nsec += 1000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    std::printf("%ld %.6f\n", ru.ru_nvcsw + ru.ru_nivcsw, cpu);
    return 0;
}
