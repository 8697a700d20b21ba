// Pacing of Direct3D 11 presents where the system's own wait would burn a processor.
// HACK: Wine's Direct3D (wined3d) keeps a present from getting more than the swap chain's frame
// latency ahead of its command thread by spinning in the presenting thread (seen in Wine 8: a
// pause loop in its present that took 45 % of all processor time in a 1080p bench on two cores,
// time taken from llvmpipe, which draws on the same cores). Under Wine the Direct3D 11 renderer
// therefore waits for the previous present itself, with an event query polled every
// millisecond, before it presents again; wined3d then finds nothing queued and does not spin.
// On Windows the driver's wait blocks, and Sleep's coarse default tick would make the query wait
// worse than none, so it is used under Wine's wined3d only.
// Direct3D 9 is not paced: there wined3d spins in texture locks (waiting for its command thread
// to go idle), and waiting before the upload instead, which took 1080p from 41 to 62 frames a
// second, made the known Xlib deadlock on host resizes (see the README) come in most runs of the
// Direct3D 9 pixel tests instead of now and then.
#ifndef KEL_VOUT_PRESENT_PACING_H
#define KEL_VOUT_PRESENT_PACING_H

#include <windows.h>

#include "frame_timing.h"

// True where presents must be paced with a query: under Wine, with wined3d loaded (ask once the
// device exists).
bool presents_spin_while_queued();

// Waits until done() answers true, polling every millisecond, for at most max_ms.
template <typename Done>
void wait_polling(Done done, DWORD max_ms)
{
    const DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < max_ms)
        Sleep(1);
}

// The refreshes of the display a window is on, as the system reports them: the display mode's
// rate of the window's monitor, with the compositor's exact period and last vertical blank where
// they agree with it (else a phase of 0: the presents' own wait for a refresh puts frames on the
// real ones). False when the system reports neither.
class refresh_source {
public:
    refresh_source();
    ~refresh_source();
    refresh_source(const refresh_source&) = delete;
    refresh_source& operator=(const refresh_source&) = delete;
    bool query(HWND window, refresh_grid* grid);

private:
    HMODULE m_dwmapi = nullptr;
    void* m_timing = nullptr;  // DwmGetCompositionTimingInfo, where dwmapi.dll has it
};

// Waits until a time of clock_us() with a high-resolution waitable timer (a plain one, then
// Sleep, where the system has none), never by spinning, aiming as much earlier as its recent
// waits ended late. Returns at once for a time past, and waits at most max_us.
class precise_wait {
public:
    precise_wait();
    ~precise_wait();
    precise_wait(const precise_wait&) = delete;
    precise_wait& operator=(const precise_wait&) = delete;
    void until(int64_t local_us, int64_t max_us);

private:
    HANDLE m_timer = nullptr;
    int64_t m_overshoot_us = 0;  // how late the timer's waits ended, smoothed
};

#endif
