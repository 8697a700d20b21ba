// kel_vout_log: the library's log lines and the host's callback. Any thread.
#include "kel_vout_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The callback, guarded by g_lock (a constant-initialised slim lock: no constructor runs).
SRWLOCK g_lock = SRWLOCK_INIT;
kel_vout_log_fn g_fn = nullptr;
void* g_user = nullptr;
std::atomic<int32_t> g_max_level{-1};  // -1: silent

// Calls of the callback in flight, counted by the generation they started in, so that a change
// of callback can wait for the calls of the previous one (and only those) to end.
std::atomic<uint32_t> g_generation{0};
std::atomic<int32_t> g_active[2] = {{0}, {0}};
thread_local int t_in_callback = 0;

void deliver(int level, const char* text)
{
    uint32_t gen;
    for (;;) {
        gen = g_generation.load();
        g_active[gen & 1].fetch_add(1);
        if (g_generation.load() == gen)
            break;
        g_active[gen & 1].fetch_sub(1);  // the callback changed meanwhile: count in the new generation
    }
    AcquireSRWLockShared(&g_lock);
    const kel_vout_log_fn fn = g_fn;
    void* const user = g_user;
    ReleaseSRWLockShared(&g_lock);
    if (fn && level <= g_max_level.load()) {
        ++t_in_callback;
        fn(user, int32_t(level), text);
        --t_in_callback;
    }
    g_active[gen & 1].fetch_sub(1);
}

struct hresult_name {
    uint32_t hr;
    const char* name;
};
const hresult_name kHresultNames[] = {
    {0x88760868u, "D3DERR_DEVICELOST"},         {0x88760869u, "D3DERR_DEVICENOTRESET"},
    {0x8876086Au, "D3DERR_NOTAVAILABLE"},       {0x8876086Cu, "D3DERR_INVALIDCALL"},
    {0x8876017Cu, "D3DERR_OUTOFVIDEOMEMORY"},   {0x88760827u, "D3DERR_DRIVERINTERNALERROR"},
    {0x88760870u, "D3DERR_DEVICEREMOVED"},      {0x88760874u, "D3DERR_DEVICEHUNG"},
    {0x88760818u, "D3DERR_WRONGTEXTUREFORMAT"}, {0x88760866u, "D3DERR_NOTFOUND"},
    {0x887A0005u, "DXGI_ERROR_DEVICE_REMOVED"}, {0x887A0007u, "DXGI_ERROR_DEVICE_RESET"},
    {0x887A0006u, "DXGI_ERROR_DEVICE_HUNG"},    {0x887A0001u, "DXGI_ERROR_INVALID_CALL"},
    {0x887A0004u, "DXGI_ERROR_UNSUPPORTED"},    {0x887A0020u, "DXGI_ERROR_DRIVER_INTERNAL_ERROR"},
};

// The system's text for a message number, without its trailing line break; false when none.
bool system_text(DWORD code, char* text, size_t size)
{
    if (size == 0)
        return false;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   text, DWORD(size), nullptr);
    if (n == 0) {
        text[0] = '\0';
        return false;
    }
    size_t len = n < size ? n : size - 1;
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' ' || text[len - 1] == '.'))
        --len;
    text[len] = '\0';
    return len > 0;
}

}  // namespace

bool kel_log_enabled(int level)
{
    return level <= g_max_level.load(std::memory_order_relaxed);
}

void kel_log_v(int level, const char* format, va_list args)
{
    if (!kel_log_enabled(level))
        return;
    char text[1024];
    std::vsnprintf(text, sizeof(text), format, args);
    deliver(level, text);
}

void kel_log(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    kel_log_v(level, format, args);
    va_end(args);
}

void kel_log_last_error(const char* call, int level)
{
    const DWORD code = GetLastError();
    if (!kel_log_enabled(level))
        return;
    char text[512];
    if (!system_text(code, text, sizeof(text)))
        std::snprintf(text, sizeof(text), "no description");
    kel_log(level, "%s failed: %s (error %lu)", call, text, static_cast<unsigned long>(code));
}

void kel_hresult_text(HRESULT hr, char* text, size_t size)
{
    if (size == 0)
        return;
    for (const hresult_name& n : kHresultNames)
        if (n.hr == uint32_t(hr)) {
            std::snprintf(text, size, "%s", n.name);
            return;
        }
    if (!system_text(DWORD(hr), text, size))
        std::snprintf(text, size, "unknown result");
}

void kel_log_hresult(const char* call, HRESULT hr, int level)
{
    if (!kel_log_enabled(level))
        return;
    char text[512];
    kel_hresult_text(hr, text, sizeof(text));
    kel_log(level, "%s failed: %s (0x%08lX)", call, text, static_cast<unsigned long>(uint32_t(hr)));
}

void kel_log_set_callback(kel_vout_log_fn fn, void* user, int32_t max_level)
{
    AcquireSRWLockExclusive(&g_lock);
    g_fn = fn;
    g_user = user;
    g_max_level.store(fn ? max_level : -1);
    const uint32_t previous = g_generation.fetch_add(1);
    ReleaseSRWLockExclusive(&g_lock);
    // Calls that began before the change may still hold the previous callback: wait for them,
    // unless this thread is one of them (a callback that changes the callback).
    if (t_in_callback)
        return;
    while (g_active[previous & 1].load() != 0)
        Sleep(0);
}
