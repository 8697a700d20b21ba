// Waits of the host's thread on a render thread. While it waits, the host's thread keeps
// handling the messages other threads *send* to it (the render thread's child window talks
// to its parent synchronously), but leaves the host's posted messages in its queue.
#ifndef KEL_VOUT_MSG_WAIT_H
#define KEL_VOUT_MSG_WAIT_H

#include <windows.h>

// Waits until `handle` is signalled (null: never) or `ms` milliseconds pass. True when signalled.
bool wait_handling_sent_messages(HANDLE handle, DWORD ms);

#endif
