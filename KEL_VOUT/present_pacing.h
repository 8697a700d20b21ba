// Pacing of Direct3D presents where the system's own wait would burn a processor.
// HACK: Wine's Direct3D (wined3d, both versions) keeps a present from getting more than the
// swap chain's frame latency ahead of its command thread by spinning in the presenting thread
// (seen in Wine 8: a pause loop in its present that took 45 % of all processor time in a 1080p
// bench on two cores, time taken from llvmpipe, which draws on the same cores). Under Wine
// the renderers therefore wait for the previous present themselves, with an event query polled
// every millisecond, before they present again; wined3d then finds nothing queued and does not
// spin. On Windows the driver's wait blocks, and Sleep's coarse default tick would make the
// query wait worse than none, so it is used under Wine only.
#ifndef KEL_VOUT_PRESENT_PACING_H
#define KEL_VOUT_PRESENT_PACING_H

#include <windows.h>

// True where presents must be paced with a query: under Wine.
bool presents_spin_while_queued();

// Waits until done() answers true, polling every millisecond, for at most max_ms.
template <typename Done>
void wait_polling(Done done, DWORD max_ms)
{
    const DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < max_ms)
        Sleep(1);
}

#endif
