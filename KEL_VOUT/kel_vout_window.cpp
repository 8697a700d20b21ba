// kel_vout_window: the child window of every backend. Class registration runs on the host's
// thread; creation, pumping, placement and teardown on the instance's render thread.
#include "kel_vout_window.h"

#include "display_placement.h"
#include "kel_vout_log.h"

win_lock::win_lock() : m_mutex(CreateMutexA(nullptr, FALSE, nullptr)) {}

win_lock::~win_lock()
{
    if (m_mutex)
        CloseHandle(m_mutex);
    m_mutex = nullptr;
}

void win_lock::lock()
{
    if (m_mutex)
        WaitForSingleObject(m_mutex, INFINITE);
}

void win_lock::unlock()
{
    if (m_mutex)
        ReleaseMutex(m_mutex);
}

namespace {

// Messages dispatched per pass at most, so that a flood cannot keep the loop from drawing.
const int kMessagesPerPass = 64;

// The classes registered so far, unregistered when the library unloads (one per backend).
vout_window_class* g_registered[4] = {};
SRWLOCK g_registered_lock = SRWLOCK_INIT;

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE:
        return 1;
    case WM_SYSCOMMAND:
        // Refused as the class always has, should one be sent here; the system sends the screen
        // saver's and the monitor's commands to top-level windows only, so what keeps the display
        // on while frames flow is the render loop's SetThreadExecutionState.
        if ((wParam & 0xFFF0) == SC_SCREENSAVE || (wParam & 0xFFF0) == SC_MONITORPOWER)
            return 0;
        break;
    case WM_CAPTURECHANGED:
    case WM_CLOSE:  // the host closes its own window; ours goes with the instance
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_WINDOWPOSCHANGED:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    // The renderer draws the whole client area: a GDI paint first would only flash black
    // between the resize and the next frame (and under Wine each device context of a GL or
    // Direct3D child raises an ignored X error).
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        ValidateRect(hwnd, nullptr);
        auto* obj = reinterpret_cast<kel_vout_display_t*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (obj)
            obj->exposed = true;
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

HINSTANCE kel_vout_module()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&kel_vout_module), &module);
    return module;
}

bool wglRegisterClass(vout_window_class* wc)
{
    wc->lock.lock();
    if (wc->atom == 0) {
        WNDCLASSA cls{};
        cls.style = CS_OWNDC | CS_DBLCLKS;
        cls.lpfnWndProc = WndProc;
        cls.hInstance = kel_vout_module();
        // A stock brush: nothing to free, whoever unregisters the class.
        cls.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        cls.lpszClassName = wc->name;
        wc->atom = RegisterClassA(&cls);
        if (!wc->atom && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
            // Left by an earlier load of the library that could not unregister it: its window
            // procedure may point at code no longer there, so it is made anew.
            UnregisterClassA(wc->name, cls.hInstance);
            wc->atom = RegisterClassA(&cls);
        }
        if (!wc->atom) {
            kel_log_last_error("RegisterClassA");
        } else {
            AcquireSRWLockExclusive(&g_registered_lock);
            for (vout_window_class*& slot : g_registered)
                if (!slot || slot == wc) {
                    slot = wc;
                    break;
                }
            ReleaseSRWLockExclusive(&g_registered_lock);
        }
    }
    const bool registered = wc->atom != 0;
    wc->lock.unlock();
    return registered;
}

void unregister_window_classes()
{
    AcquireSRWLockExclusive(&g_registered_lock);
    for (vout_window_class*& slot : g_registered) {
        if (slot && slot->atom && !UnregisterClassA(slot->name, kel_vout_module()))
            kel_log_last_error("UnregisterClassA", KEL_LOG_WARNING);
        if (slot)
            slot->atom = 0;
        slot = nullptr;
    }
    ReleaseSRWLockExclusive(&g_registered_lock);
}

bool createEmbedWindow(kel_vout_display_t* obj, const char* class_name)
{
    HWND parent = static_cast<HWND>(obj->window_xid);
    RECT rc{};
    if (!parent) {
        kel_log(KEL_LOG_ERROR, "no parent window to create the video window in (windowId is null)");
        return false;
    }
    if (!GetClientRect(parent, &rc)) {
        kel_log_last_error("GetClientRect (the parent window)");
        return false;
    }
    obj->place.width = uint32_t(rc.right - rc.left);
    obj->place.height = uint32_t(rc.bottom - rc.top);
    // Not the parent's rectangle on screen: the first pass compares and places the child.
    obj->rect_parent = RECT{};

    // WS_CLIPSIBLINGS: OpenGL requires it, and it keeps our drawing off the host's controls.
    HWND hwnd = CreateWindowExA(WS_EX_NOPARENTNOTIFY, class_name, nullptr,
                                WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                                int(obj->place.width), int(obj->place.height), parent, nullptr, kel_vout_module(),
                                nullptr);
    if (!hwnd) {
        kel_log_last_error("CreateWindowExA (the video window)");
        return false;
    }
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(obj));
    obj->embed_xid = hwnd;
    obj->child_rect = RECT{0, 0, rc.right - rc.left, rc.bottom - rc.top};
    obj->hDC = GetDC(hwnd);
    if (!obj->hDC) {
        kel_log_last_error("GetDC (the video window)");
        closeEmbedWindow(obj);
        return false;
    }
    ShowWindow(hwnd, SW_SHOW);
    return true;
}

void closeEmbedWindow(kel_vout_display_t* obj)
{
    HWND hwnd = static_cast<HWND>(obj->embed_xid);
    if (hwnd && IsWindow(hwnd)) {
        ShowWindow(hwnd, SW_HIDE);
        if (obj->hDC)
            ReleaseDC(hwnd, obj->hDC);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
    obj->hDC = nullptr;
    obj->embed_xid = nullptr;
}

int32_t ManageEvent(kel_vout_display_t* obj)
{
    (void)obj;
    int32_t result = 0;
    MSG msg;
    for (int i = 0; i < kMessagesPerPass && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT) {
            result = -255;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return result;
}

bool UpdateEmbedWinRect(kel_vout_display_t* obj)
{
    HWND parent = static_cast<HWND>(obj->window_xid);
    RECT rc{};
    if (!parent || !GetClientRect(parent, &rc))
        return false;
    POINT origin{0, 0};
    ClientToScreen(parent, &origin);
    OffsetRect(&rc, origin.x, origin.y);
    if (EqualRect(&rc, &obj->rect_parent))
        return false;
    obj->rect_parent = rc;
    obj->place.width = uint32_t(rc.right - rc.left);
    obj->place.height = uint32_t(rc.bottom - rc.top);
    return true;
}

bool adjust_vout_region(kel_vout_display_t* obj, DISPLAY_MODE mode)
{
    const vout_display_place_t r = fit_display_rect(mode, int(obj->place.width),
                                                    int(obj->place.height), obj->place.pix_width, obj->place.pix_height);
    const RECT rc{r.x, r.y, r.x + LONG(r.width), r.y + LONG(r.height)};
    const RECT old = obj->child_rect;
    if (EqualRect(&rc, &old))
        return false;
    // NOCOPYBITS: the renderer draws the whole client area again; the old contents are not
    // worth copying (and under Wine the copy costs a device context of the child).
    SetWindowPos(static_cast<HWND>(obj->embed_xid), nullptr, rc.left, rc.top, int(r.width), int(r.height),
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
    obj->child_rect = rc;
    return rc.right - rc.left != old.right - old.left || rc.bottom - rc.top != old.bottom - old.top;
}
