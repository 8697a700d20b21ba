// A host for the end-to-end tests: a top-level window owned by the test's thread, message
// pumping while waiting, and the geometry of the library's child window.
#ifndef KEL_VOUT_TEST_HOST_WINDOW_H
#define KEL_VOUT_TEST_HOST_WINDOW_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "kel_vout.h"

// Messages the host's window procedure saw, to prove what was dispatched behind its back.
inline std::vector<UINT>& host_seen_app_messages()
{
    static std::vector<UINT> seen;
    return seen;
}

inline LRESULT CALLBACK host_wndproc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg >= WM_APP)
        host_seen_app_messages().push_back(msg);
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// The backends, and how the tests name them and find their child windows.
inline const char* backend_label(VOUT_MODE backend)
{
    return backend == VOUT_WGL ? "Wgl" : backend == VOUT_D3D ? "D3d" : "D3d11";
}
inline const char* backend_class(VOUT_MODE backend)
{
    return backend == VOUT_WGL ? "kel_vout_wgl_1_0_0" : backend == VOUT_D3D ? "kel_vout_d3d_1_0_0" : "kel_vout_d3d11_1_0_0";
}
inline const char* backend_title(VOUT_MODE backend)
{
    return backend == VOUT_WGL ? "OpenGL" : backend == VOUT_D3D ? "Direct3D 9" : "Direct3D 11";
}

// An instance as a host makes one: `backend` drawing into `parent` with `mode` and `format`;
// null when creation fails.
inline KEL_VOUT_HANDLE create_vout(HWND parent, VOUT_MODE backend, DISPLAY_MODE mode = VOUT_PREFERRED,
                                   SOURCE_FORMAT format = VOUT_YUV420)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = parent;
    cfg.vout_mode = backend;
    cfg.display_mode = mode;
    cfg.source_format = format;
    return kel_vout_create(&cfg);
}

// A tightly packed I420 frame (chroma (w+1)/2 x (h+1)/2) as the frame export takes it, BT.601.
inline KEL_VOUT_FRAME_T packed_i420(const std::vector<uint8_t>& f, int w, int h, int range = KEL_VOUT_RANGE_LIMITED)
{
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    KEL_VOUT_FRAME_T fr{};
    fr.format = KEL_VOUT_FMT_I420;
    fr.width = w;
    fr.height = h;
    fr.planes[0] = f.data();
    fr.planes[1] = f.data() + size_t(w) * h;
    fr.planes[2] = f.data() + size_t(w) * h + size_t(cw) * ch;
    fr.strides[0] = w;
    fr.strides[1] = fr.strides[2] = cw;
    fr.colorspace = KEL_VOUT_CS_BT601;
    fr.range = range;
    return fr;
}

// The older planar push of a tightly packed 4:2:0 frame: Y, then U and V of (w/2) x (h/2).
inline bool push_packed_yuv(KEL_VOUT_HANDLE h, const std::vector<uint8_t>& frame, int w, int hgt)
{
    return kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, w, w, hgt) == 0;
}

// How long a test waits for something that must happen. Generous, since a loaded machine is
// slow and a wait that succeeds returns at once.
constexpr DWORD kPatienceMs = 10000;

class HostWindow {
public:
    HostWindow(int client_w, int client_h, int x = 40, int y = 40)
    {
        static ATOM atom = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = host_wndproc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
            wc.lpszClassName = "kel_vout_test_host";
            return RegisterClassA(&wc);
        }();
        (void)atom;
        // HACK: Wine on a display without a window manager waits two seconds for every
        // top-level window it unmaps, so host windows are kept and reused, never destroyed.
        if (!spare().empty()) {
            hwnd = spare().back();
            spare().pop_back();
            SetWindowPos(hwnd, nullptr, x, y, client_w, client_h, SWP_NOZORDER | SWP_NOACTIVATE);
        } else {
            // A popup has no frame and no minimum size, so its client area is exactly as asked.
            hwnd = CreateWindowA("kel_vout_test_host", "kel_vout test host", WS_POPUP | WS_VISIBLE, x, y, client_w,
                                 client_h, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        }
        pump(20);
    }
    // A destroyed instance's child window goes soon after its destroy: the window is reused only
    // once no child is left in it and, where the test can tell (settled()), no destroyed
    // instance is still tearing down. Under Wine a host resizing its window while another thread
    // releases a device was seen to deadlock inside Xlib; users' Windows has no such lock.
    ~HostWindow()
    {
        pump_until([this] { return GetWindow(hwnd, GW_CHILD) == nullptr && (!settled() || settled()()); },
                   kPatienceMs);
        if (hwnd)
            spare().push_back(hwnd);
        pump(10);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    void resize_client(int w, int h) { SetWindowPos(hwnd, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER); }
    void move_to(int x, int y) { SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER); }
    SIZE client_size() const
    {
        RECT r{};
        GetClientRect(hwnd, &r);
        return {r.right - r.left, r.bottom - r.top};
    }
    HWND child(const char* cls = "kel_vout_wgl_1_0_0") const { return FindWindowExA(hwnd, nullptr, cls, nullptr); }

    // The child's rectangle in the parent's client coordinates.
    RECT child_rect(const char* cls = "kel_vout_wgl_1_0_0") const
    {
        RECT r{};
        HWND c = child(cls);
        if (!c)
            return r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    // Dispatches this thread's messages for `ms` milliseconds.
    static void pump(DWORD ms)
    {
        const DWORD end = GetTickCount() + ms;
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            const DWORD now = GetTickCount();
            if (int32_t(end - now) <= 0)
                return;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        }
    }
    // Pumps until pred() holds or `ms` pass; the last value of pred().
    static bool pump_until(const std::function<bool()>& pred, DWORD ms)
    {
        const DWORD end = GetTickCount() + ms;
        while (!pred()) {
            if (int32_t(end - GetTickCount()) <= 0)
                return pred();
            pump(10);
        }
        return true;
    }

    HWND hwnd = nullptr;

    // Tells whether no destroyed instance is still tearing down; set by test_support.h.
    static bool (*&settled())()
    {
        static bool (*check)() = nullptr;
        return check;
    }

private:
    static std::vector<HWND>& spare()
    {
        static std::vector<HWND> windows;
        return windows;
    }
};

// A snapshot of an instance, pumping this thread's messages while the render thread works.
struct Snapshot {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
};

inline bool take_snapshot(KEL_VOUT_HANDLE h, Snapshot& s, int timeout_ms = 3000)
{
    if (kel_vout_snapshot(h, nullptr, 0, &s.width, &s.height, 0) != 0 || s.width <= 0 || s.height <= 0)
        return false;
    // The window may change size before the next paint: retry once at the size reported.
    for (int attempt = 0; attempt < 2; ++attempt) {
        s.rgb.assign(size_t(s.width) * size_t(s.height) * 3, 0);
        if (kel_vout_snapshot(h, s.rgb.data(), int32_t(s.rgb.size()), &s.width, &s.height, timeout_ms) == 0) {
            s.rgb.resize(size_t(s.width) * size_t(s.height) * 3);
            return true;
        }
    }
    return false;
}

// Takes snapshots until one satisfies pred or `ms` pass; the last one stays in s.
inline bool snapshot_until(KEL_VOUT_HANDLE h, Snapshot& s, const std::function<bool(const Snapshot&)>& pred,
                           DWORD ms = kPatienceMs)
{
    const DWORD end = GetTickCount() + ms;
    for (;;) {
        if (take_snapshot(h, s) && pred(s))
            return true;
        if (int32_t(end - GetTickCount()) <= 0)
            return false;
        HostWindow::pump(5);
    }
}

#endif
