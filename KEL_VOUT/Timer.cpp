// Timer: a stopwatch on the performance counter.
#include "Timer.h"

#include <windows.h>

namespace {
int64_t read_counter()
{
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return v.QuadPart;
}
}  // namespace

Timer::Timer() : startTimeInMicroSec(0.0), endTimeInMicroSec(0.0), stopped(0), frequency(0), startCount(0), endCount(0)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    frequency = f.QuadPart;
}

Timer::~Timer() = default;

void Timer::start()
{
    stopped = 0;
    startCount = read_counter();
}

void Timer::stop()
{
    stopped = 1;
    endCount = read_counter();
}

double Timer::getElapsedTimeInMicroSec()
{
    if (!stopped)
        endCount = read_counter();
    startTimeInMicroSec = double(startCount) * (1000000.0 / double(frequency));
    endTimeInMicroSec = double(endCount) * (1000000.0 / double(frequency));
    return endTimeInMicroSec - startTimeInMicroSec;
}

double Timer::getElapsedTimeInMilliSec()
{
    return getElapsedTimeInMicroSec() * 0.001;
}

double Timer::getElapsedTimeInSec()
{
    return getElapsedTimeInMicroSec() * 0.000001;
}

double Timer::getElapsedTime()
{
    return getElapsedTimeInSec();
}
