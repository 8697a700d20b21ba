// present_pacing: where the system's present spins, the display's refreshes, precise waits.
#include "present_pacing.h"

#include <dwmapi.h>

#include <algorithm>
#include <cstdlib>

#include "picture_pool.h"

bool presents_spin_while_queued()
{
    // Wine's ntdll exports its version; no Windows ntdll does.
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    // Asked once a device exists: Direct3D through something other than wined3d (a Vulkan
    // translation, say) does not spin.
    return wine && GetModuleHandleW(L"wined3d.dll") != nullptr;
}

namespace {

typedef HRESULT(WINAPI* dwm_timing_fn)(HWND, DWM_TIMING_INFO*);

// Performance-counter ticks as clock_us() counts them.
int64_t qpc_to_us(int64_t ticks)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    const int64_t frequency = f.QuadPart;
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

}  // namespace

refresh_source::refresh_source()
{
    m_dwmapi = LoadLibraryExW(L"dwmapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (m_dwmapi)
        m_timing = reinterpret_cast<void*>(GetProcAddress(m_dwmapi, "DwmGetCompositionTimingInfo"));
}

refresh_source::~refresh_source()
{
    if (m_dwmapi)
        FreeLibrary(m_dwmapi);
}

namespace {

// The display mode's refresh of the monitor `window` is on, as a period; 0 when it tells none.
int64_t monitor_period_us(HWND window)
{
    MONITORINFOEXW monitor{};
    monitor.cbSize = sizeof(monitor);
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
        return 0;
    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    // 0 and 1 mean the hardware's default: no rate known.
    if (!EnumDisplaySettingsW(monitor.szDevice, ENUM_CURRENT_SETTINGS, &mode) || mode.dmDisplayFrequency < 10 ||
        mode.dmDisplayFrequency > 500)
        return 0;
    // The mode's whole hertz stand for the NTSC rates too (59 for 59.94).
    const DWORD hz = mode.dmDisplayFrequency;
    const bool ntsc = hz == 23 || hz == 29 || hz == 59 || hz == 119;
    return ntsc ? int64_t(1001000000.0 / ((hz + 1) * 1000.0) + 0.5) : int64_t(1000000 / hz);
}

}  // namespace

bool refresh_source::query(HWND window, refresh_grid* grid)
{
    const int64_t monitor = monitor_period_us(window);
    int64_t period = 0, phase = 0;
    if (m_timing) {
        DWM_TIMING_INFO info{};
        info.cbSize = sizeof(info);
        // Since Windows 8.1 only the desktop's timing (a null window) is given.
        const HRESULT hr = reinterpret_cast<dwm_timing_fn>(m_timing)(nullptr, &info);
        if (SUCCEEDED(hr) && info.qpcRefreshPeriod > 0) {
            period = qpc_to_us(int64_t(info.qpcRefreshPeriod));
            phase = qpc_to_us(int64_t(info.qpcVBlank));
            if (period < 2000 || period > 100000)
                period = 0;
        }
    }
    // The compositor's timing is the primary display's: it is taken where it agrees with the
    // monitor the window is on (within 2 %), which gives the exact period and the phase.
    if (monitor > 0 && (period == 0 || std::llabs(period - monitor) * 50 > monitor)) {
        grid->period_us = monitor;
        grid->phase_us = 0;
        grid->phase_known = false;
        return true;
    }
    if (period == 0)
        return false;
    grid->period_us = period;
    grid->phase_us = phase;
    grid->phase_known = true;
    return true;
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

precise_wait::precise_wait()
{
    m_timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    // Before Windows 10 1803 a timer ends on the system's tick, as fine as the process or another
    // one asked for (15.6 ms by default): timed frames are shown on time there only where a host
    // (as most players do) asked for a finer one.
    if (!m_timer)
        m_timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
}

precise_wait::~precise_wait()
{
    if (m_timer)
        CloseHandle(m_timer);
}

void precise_wait::until(int64_t local_us, int64_t max_us)
{
    // Timers end a little late (about a millisecond under Wine): aim that much earlier.
    const int64_t left = std::min(local_us - clock_us() - m_overshoot_us, max_us);
    if (left <= 0)
        return;
    if (m_timer) {
        LARGE_INTEGER due;
        due.QuadPart = -left * 10;  // relative, in 100 ns
        if (SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE)) {
            const int64_t aimed = clock_us() + left;
            WaitForSingleObject(m_timer, DWORD(left / 1000 + 50));
            const int64_t late = std::min<int64_t>(std::max<int64_t>(clock_us() - aimed, 0), 4000);
            m_overshoot_us = (m_overshoot_us * 7 + late) / 8;
            return;
        }
    }
    Sleep(DWORD((left + 999) / 1000));
}
