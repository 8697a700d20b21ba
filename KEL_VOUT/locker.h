// Locker: a process-wide mutex created with its owner and closed with it. Used for static
// objects only; any thread may lock it.
#ifndef KEL_VOUT_LOCKER_H
#define KEL_VOUT_LOCKER_H

#include <windows.h>

class Locker {
public:
    Locker();
    ~Locker();
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

    void lock();   // waits without a time limit; recursive for the owning thread
    void unlock();

private:
    HANDLE m_mutex;
};

#endif
