// Locker: a process-wide mutex created with its owner and closed with it.
#include "locker.h"

Locker::Locker() : m_mutex(nullptr)
{
    m_mutex = CreateMutexA(nullptr, FALSE, nullptr);
}

Locker::~Locker()
{
    if (m_mutex)
        CloseHandle(m_mutex);
    m_mutex = nullptr;
}

void Locker::lock()
{
    WaitForSingleObject(m_mutex, INFINITE);
}

void Locker::unlock()
{
    ReleaseMutex(m_mutex);
}
