// Timer: a stopwatch on the performance counter. Any thread; not shared between threads.
#ifndef KEL_VOUT_TIMER_H
#define KEL_VOUT_TIMER_H

#include <cstdint>

class Timer {
public:
    Timer();
    ~Timer();

    void start();
    void stop();
    double getElapsedTime();  // seconds
    double getElapsedTimeInSec();
    double getElapsedTimeInMilliSec();
    double getElapsedTimeInMicroSec();  // a running timer measures up to now

private:
    double startTimeInMicroSec;
    double endTimeInMicroSec;
    int stopped;
    int64_t frequency;
    int64_t startCount;
    int64_t endCount;
};

#endif
