// kel_vout_wgl: the OpenGL output backend, its child window and its render thread.
// Construction, start and teardown run on the host's thread; everything that touches the child
// window, its device context or the OpenGL context runs on the instance's render thread.
#include "kel_vout_wgl.h"

#include "display_placement.h"
#include "kel_opengl.h"

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

const char kClassName[] = "kel_vout_wgl_1_0_0";
win_lock g_wgl_class_lock;
ATOM kel_vout_wgl_class_atom = 0;

const PIXELFORMATDESCRIPTOR pfd = {
    sizeof(PIXELFORMATDESCRIPTOR), 1, PFD_DOUBLEBUFFER | PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL, PFD_TYPE_RGBA, 24,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, PFD_MAIN_PLANE, 0, 0, 0, 0};

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE:
        return 1;
    case WM_SYSCOMMAND:
        // The screen saver and monitor power-down would blank the video.
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
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void wglRegisterClass()
{
    g_wgl_class_lock.lock();
    if (kel_vout_wgl_class_atom == 0) {
        WNDCLASSA wc{};
        wc.style = CS_OWNDC | CS_DBLCLKS;
        wc.lpfnWndProc = WndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = CreateSolidBrush(0);
        wc.lpszClassName = kClassName;
        kel_vout_wgl_class_atom = RegisterClassA(&wc);
    }
    g_wgl_class_lock.unlock();
}

int32_t adjust_vout_region(kel_vout_display_t* obj, int width, int height, bool lock)
{
    const vout_display_place_t r =
        fit_display_rect(obj->cfg.display_mode, width, height, obj->place.pix_width, obj->place.pix_height);
    SetWindowPos(static_cast<HWND>(obj->embed_xid), nullptr, r.x, r.y, int(r.width), int(r.height), SWP_NOZORDER);
    if (obj->hRenderRC && obj->kel_gl)
        obj->kel_gl->resizeGL(int(r.width), int(r.height));
    if (lock)
        obj->lock(&obj->locker);
    obj->place.width = uint32_t(width);
    obj->place.height = uint32_t(height);
    if (lock)
        obj->unlock(&obj->locker);
    return 0;
}

// Re-places the child when the parent's client area moved on screen or changed size.
bool UpdateEmbedWinRect(kel_vout_display_t* obj)
{
    if (!obj->embed_xid || !obj->window_xid)
        return true;
    if (parent_area_changed(obj)) {
        const RECT& rc = obj->rect_parent;
        adjust_vout_region(obj, rc.right - rc.left, rc.bottom - rc.top, false);
    }
    return false;
}

void closeEmbedWindow(kel_vout_display_t* obj);

// Creates the child window over the parent's client area with its OpenGL context, current on
// this thread. False when there is no usable parent or no context can be made.
bool wgl_createEmbedWindow(kel_vout_display_t* obj)
{
    if (!obj->window_xid)
        return false;
    HWND parent = static_cast<HWND>(obj->window_xid);
    RECT rc{};
    if (!GetClientRect(parent, &rc))
        return false;
    obj->rect_parent = rc;
    obj->place.width = uint32_t(rc.right - rc.left);
    obj->place.height = uint32_t(rc.bottom - rc.top);

    HWND hwnd = CreateWindowExA(WS_EX_NOPARENTNOTIFY, kClassName, nullptr,
                                WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN, 0, 0, int(obj->place.width),
                                int(obj->place.height), parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!hwnd)
        return false;
    obj->embed_xid = hwnd;
    obj->hDC = GetDC(hwnd);
    const int format = obj->hDC ? ChoosePixelFormat(obj->hDC, &pfd) : 0;
    if (!format || !SetPixelFormat(obj->hDC, format, &pfd)) {
        closeEmbedWindow(obj);
        return false;
    }
    obj->hRenderRC = wglCreateContext(obj->hDC);
    if (!obj->hRenderRC || !wglMakeCurrent(obj->hDC, obj->hRenderRC)) {
        closeEmbedWindow(obj);
        return false;
    }
    if (obj->kel_gl)
        obj->kel_gl->initializeGL();
    ShowWindow(hwnd, SW_SHOW);
    return true;
}

void closeEmbedWindow(kel_vout_display_t* obj)
{
    HWND hwnd = static_cast<HWND>(obj->embed_xid);
    if (hwnd)
        ShowWindow(hwnd, SW_HIDE);
    if (obj->hRenderRC && obj->hDC)
        wglMakeCurrent(nullptr, nullptr);
    if (obj->hRenderRC)
        wglDeleteContext(obj->hRenderRC);
    if (obj->hDC && hwnd)
        ReleaseDC(hwnd, obj->hDC);
    if (hwnd)
        DestroyWindow(hwnd);
    obj->hRenderRC = nullptr;
    obj->hDC = nullptr;
    obj->embed_xid = nullptr;
}

// One queued message, then the parent's position. -255 for WM_QUIT.
int32_t ManageEvent(kel_vout_display_t* obj)
{
    if (dispatch_one_message() == -255)
        return -255;
    UpdateEmbedWinRect(obj);
    return 0;
}

}  // namespace

kel_vout_wgl::kel_vout_wgl()
{
    wglRegisterClass();
}

kel_vout_wgl::~kel_vout_wgl()
{
    kel_vout_logInfo("~kel_vout_wgl.");
}

bool kel_vout_wgl::create_window()
{
    kel_vout_logInfo("kel_vout_wgl::create_window.");
    return start_render_thread(&wgl_widget_event_loop);
}

bool kel_vout_wgl::destroy_window()
{
    kel_vout_logInfo("kel_vout_wgl::destroy_window.");
    release_kel_vout_display_t(&m_obj);
    return true;
}

bool kel_vout_wgl::init_kel_vout_display_t(kel_vout_display_t* obj)
{
    obj->kel_gl = new (std::nothrow) kel_opengl();
    return init_display_common(obj) && obj->kel_gl;
}

bool kel_vout_wgl::release_kel_vout_display_t(kel_vout_display_t* obj)
{
    // The OpenGL objects went with the render thread's context.
    return release_display_common(obj, [](kel_vout_display_t* o) {
        delete o->kel_gl;
        o->kel_gl = nullptr;
    });
}

DWORD WINAPI kel_vout_wgl::wgl_widget_event_loop(PVOID* arg)
{
    if (!arg)
        return DWORD(-2);
    return DWORD(wgl_createEmbedWin(reinterpret_cast<kel_vout_display_t*>(arg)));
}

int32_t kel_vout_wgl::wgl_createEmbedWin(kel_vout_display_t* obj)
{
    if (!wgl_createEmbedWindow(obj)) {
        closeEmbedWindow(obj);
        obj->created = false;
        return -2;
    }
    prepare_start_picture(obj);

    int pix_width = 0, pix_height = 0;
    bool reload = false;
    double t0 = -1.0;
    int frames = 0;
    while (!obj->done) {
        if (!obj->created)
            obj->created = true;
        if (obj->cfg.is_ch_display_size) {
            obj->lock(&obj->locker);
            obj->cfg.is_ch_display_size = false;
            obj->unlock(&obj->locker);
            adjust_vout_region(obj, int(obj->place.width), int(obj->place.height), false);
        }
        if (obj->cfg.is_fullscreen) {
            obj->lock(&obj->locker);
            closeEmbedWindow(obj);
            if (!wgl_createEmbedWindow(obj)) {
                obj->unlock(&obj->locker);
                return -2;
            }
            obj->cfg.is_fullscreen = false;
            obj->unlock(&obj->locker);
        }
        ManageEvent(obj);
        if (obj->picture_pool)
            obj->picture_pool->get_pool(&obj->picture);

        kel_opengl* gl = obj->kel_gl;
        if (gl) {
            PICTURE_T& pic = obj->picture;
            if (pic.pix_width != pix_width || pic.pix_height != pix_height) {
                gl->reloaded = true;
                reload = true;
            }
            if (obj->hDC) {
                const int w = pic.pix_width, h = pic.pix_height;
                const int dw = int(obj->place.width), dh = int(obj->place.height);
                if (obj->source_format == VOUT_YUV420)
                    gl->paintGL(pic.buf, pic.buf + w * h, pic.buf + (w * h * 5) / 4, (w * h * 3) / 2, dw, dh, w, h);
                else
                    gl->paintGL(pic.buf, pic.bufsize, dw, dh, w, h);
                deliver_snapshot(obj, [gl](uint8_t* dst, int rw, int rh) { gl->readBack(dst, rw, rh); });
            }
            if (reload) {
                // Once the new size is drawn, fit the window to its proportions.
                obj->lock(&obj->locker);
                obj->cfg.is_ch_display_size = true;
                obj->unlock(&obj->locker);
                reload = gl->reloaded;
            }
        }
        obj->place.pix_width = uint32_t(pix_width = obj->picture.pix_width);
        obj->place.pix_height = uint32_t(pix_height = obj->picture.pix_height);
        if (obj->hDC)
            SwapBuffers(obj->hDC);
        freamrate_count(t0, frames);
    }

    HWND hwnd = static_cast<HWND>(obj->embed_xid);
    if (hwnd)
        ShowWindow(hwnd, SW_HIDE);
    if (obj->kel_gl)
        obj->kel_gl->releaseGL();
    if (obj->hRenderRC && obj->hDC)
        wglMakeCurrent(nullptr, nullptr);
    if (obj->hRenderRC)
        wglDeleteContext(obj->hRenderRC);
    obj->hRenderRC = nullptr;
    if (obj->hDC && hwnd)
        ReleaseDC(hwnd, obj->hDC);
    obj->hDC = nullptr;
    if (hwnd)
        DestroyWindow(hwnd);
    obj->embed_xid = nullptr;
    obj->window_xid = nullptr;
    return 0;
}
