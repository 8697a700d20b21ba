// The benchmarks' clocks: wall time from the performance counter, and the whole process's
// processor time.
#ifndef KEL_VOUT_BENCH_CLOCK_H
#define KEL_VOUT_BENCH_CLOCK_H

#include <windows.h>

#include <cstdint>

inline double now_ms()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1000.0 / frequency;
}

// User plus kernel time of the whole process (every thread: ours, the library's, the driver's).
inline double process_cpu_ms()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) { return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4; };
    return ms(kernel) + ms(user);
}

#endif
