// One-second frame counter of the render loops. Platform-free: the caller passes the clock.
#ifndef KEL_VOUT_FRAME_COUNTER_H
#define KEL_VOUT_FRAME_COUNTER_H

// Counts one frame at time `now` (seconds). A negative t0 opens the first window; once a window
// has lasted a second or more, the frame that closes it is counted in it and a new one opens.
inline void freamrate_step(double now, double& t0, int& frames)
{
    if (t0 < 0)
        t0 = now;
    ++frames;
    if (now - t0 >= 1.0) {
        t0 = now;
        frames = 0;
    }
}

#endif
