// Counts of what this process holds, for tests that prove the library returns what it took:
// threads, handles, GDI and USER objects, private memory.
#ifndef KEL_VOUT_TEST_PROCESS_COUNTS_H
#define KEL_VOUT_TEST_PROCESS_COUNTS_H

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

// Threads of this process right now.
inline int count_process_threads()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 te{};
    te.dwSize = sizeof(te);
    int n = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snap);
    return n;
}

// Handles open in this process. Wine 8 answers 0 to GetProcessHandleCount, so the count comes
// from the system's handle table when it does.
inline int count_process_handles()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return int(count);
    struct Entry {
        PVOID object;
        ULONG_PTR process_id;
        ULONG_PTR handle;
        ULONG access;
        USHORT back_trace;
        USHORT type;
        ULONG attributes;
        ULONG reserved;
    };
    typedef LONG(NTAPI * query_fn)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<query_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    const ULONG kExtendedHandleInformation = 64;
    std::vector<char> buf(1 << 20);
    LONG status;
    ULONG len = 0;
    while ((status = query(kExtendedHandleInformation, buf.data(), ULONG(buf.size()), &len)) == LONG(0xC0000004))
        buf.resize(buf.size() * 2);
    if (status != 0)
        return -1;
    const ULONG_PTR n = *reinterpret_cast<ULONG_PTR*>(buf.data());
    const Entry* e = reinterpret_cast<const Entry*>(buf.data() + 2 * sizeof(ULONG_PTR));
    int mine = 0;
    for (ULONG_PTR i = 0; i < n; ++i)
        mine += e[i].process_id == GetCurrentProcessId();
    return mine;
}

inline size_t private_bytes()
{
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc));
    return pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
}


// GDI and USER objects of this process (0 where the system does not count them).
inline int count_gui_objects()
{
    return int(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) + GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
}

#endif
