// Waits of the host's thread that keep handling sent messages.
#include "msg_wait.h"

bool wait_handling_sent_messages(HANDLE handle, DWORD ms)
{
    const DWORD count = handle ? 1 : 0;
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = ms == INFINITE ? INFINITE : (now >= deadline ? 0 : DWORD(deadline - now));
        const DWORD r = MsgWaitForMultipleObjectsEx(count, handle ? &handle : nullptr, left, QS_SENDMESSAGE, 0);
        if (count && r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_OBJECT_0 + count)
            return false;  // timed out or failed
        // Runs the pending sent messages only; posted ones stay queued for the host.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        if (left == 0)
            return count && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    }
}
