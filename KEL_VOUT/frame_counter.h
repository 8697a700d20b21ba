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

// What a call of freamrate_step that took t0 from t0_before to t0_after, with frames_before
// counted until then, says of the window it closed, in frames a second: the frames from the one
// that opened it up to the one that closed it, over that time (a steady 25 frames a second gives
// 25); -1 when the call closed no window (the first call, or t0 unchanged). The first window of a
// counter counts the frame that opened it (first_window); a later one starts at the frame that
// closed the window before, counted there.
inline double closed_window_rate(double t0_before, int frames_before, double t0_after, bool first_window)
{
    if (t0_before < 0 || t0_after <= t0_before)
        return -1.0;
    return double(frames_before + (first_window ? 0 : 1)) / (t0_after - t0_before);
}

#endif
