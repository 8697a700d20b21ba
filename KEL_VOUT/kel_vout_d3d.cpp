// kel_vout_d3d: the Direct3D 9 output backend, its child window and its render thread.
// Construction, start and teardown run on the host's thread; everything that touches the child
// window, its device context or the Direct3D device runs on the instance's render thread.
#include "kel_vout_d3d.h"

#include "display_placement.h"
#include "kel_direct3d.h"
#include "kel_vout_wgl.h"

namespace {

const char kClassName[] = "kel_vout_d3d_1_0_0";
win_lock g_d3d_class_lock;
ATOM kel_vout_d3d_class_atom = 0;

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
    // The device draws the whole client area at every pass: a GDI paint first would only
    // flicker, and under Wine each device context of this child raises an (ignored) X error.
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        ValidateRect(hwnd, nullptr);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void wglRegisterClass()
{
    g_d3d_class_lock.lock();
    if (kel_vout_d3d_class_atom == 0) {
        WNDCLASSA wc{};
        wc.style = CS_OWNDC | CS_DBLCLKS;
        wc.lpfnWndProc = WndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = CreateSolidBrush(0);
        wc.lpszClassName = kClassName;
        kel_vout_d3d_class_atom = RegisterClassA(&wc);
    }
    g_d3d_class_lock.unlock();
}

int32_t adjust_vout_region(kel_vout_display_t* obj, int width, int height, bool lock)
{
    const vout_display_place_t r =
        fit_display_rect(obj->cfg.display_mode, width, height, obj->place.pix_width, obj->place.pix_height);
    // NOCOPYBITS: the device draws the whole client area again, so the old contents are not
    // worth copying (and under Wine the copy costs a device context of the child, see WndProc).
    SetWindowPos(static_cast<HWND>(obj->embed_xid), nullptr, r.x, r.y, int(r.width), int(r.height),
                 SWP_NOZORDER | SWP_NOCOPYBITS);
    // The back buffer takes the window's new client size when the renderer is set up again.
    if (obj->kel_d3d)
        obj->kel_d3d->initializeD3D(static_cast<HWND>(obj->embed_xid), obj->picture.pix_width,
                                    obj->picture.pix_height);
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

// Creates the child window over the parent's client area. The device comes later, from the
// render loop, once the picture's size is known. False when there is no usable parent.
bool d3d_createEmbedWindow(kel_vout_display_t* obj)
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
    if (!obj->hDC) {
        closeEmbedWindow(obj);
        return false;
    }
    // No pixel format is set here: the device chooses its own. Under Wine a GDI format set
    // beforehand leaves the child's X window behind the device's, and the next move or resize
    // of the child then fails with BadWindow, which ends the host's process.
    ShowWindow(hwnd, SW_SHOW);
    return true;
}

// The device presents into the child window, so it goes first.
void closeEmbedWindow(kel_vout_display_t* obj)
{
    HWND hwnd = static_cast<HWND>(obj->embed_xid);
    if (hwnd)
        ShowWindow(hwnd, SW_HIDE);
    if (obj->kel_d3d)
        obj->kel_d3d->releaseD3D();
    if (obj->hDC && hwnd)
        ReleaseDC(hwnd, obj->hDC);
    if (hwnd)
        DestroyWindow(hwnd);
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

kel_vout_d3d::kel_vout_d3d()
{
    wglRegisterClass();
}

kel_vout_d3d::~kel_vout_d3d()
{
    kel_vout_logInfo("~kel_vout_d3d.");
}

bool kel_vout_d3d::create_window()
{
    kel_vout_logInfo("kel_vout_d3d::create_window.");
    return start_render_thread(&d3d_widget_event_loop);
}

bool kel_vout_d3d::destroy_window()
{
    kel_vout_logInfo("kel_vout_d3d::destroy_window.");
    release_kel_vout_display_t(&m_obj);
    return true;
}

bool kel_vout_d3d::init_kel_vout_display_t(kel_vout_display_t* obj)
{
    obj->kel_d3d = new (std::nothrow) kel_direct3d(obj->source_format);
    if (obj->kel_d3d)
        obj->kel_d3d->setBeforePresent(&kel_vout_d3d::before_present, obj);
    return init_display_common(obj) && obj->kel_d3d;
}

bool kel_vout_d3d::release_kel_vout_display_t(kel_vout_display_t* obj)
{
    // Its Direct3D objects went with the render thread.
    return release_display_common(obj, [](kel_vout_display_t* o) {
        delete o->kel_d3d;
        o->kel_d3d = nullptr;
    });
}

DWORD WINAPI kel_vout_d3d::d3d_widget_event_loop(PVOID* arg)
{
    if (!arg)
        return DWORD(-2);
    return DWORD(d3d_createEmbedWin(reinterpret_cast<kel_vout_display_t*>(arg)));
}

// Render thread, between drawing a frame and presenting it: answers a snapshot request.
void kel_vout_d3d::before_present(void* context)
{
    kel_vout_display_t* obj = static_cast<kel_vout_display_t*>(context);
    kel_direct3d* d3d = obj->kel_d3d;
    deliver_snapshot(obj, [d3d](uint8_t* dst, int w, int h) { d3d->readBack(dst, w, h); });
}

int32_t kel_vout_d3d::d3d_createEmbedWin(kel_vout_display_t* obj)
{
    if (!d3d_createEmbedWindow(obj)) {
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
            if (!d3d_createEmbedWindow(obj)) {
                obj->unlock(&obj->locker);
                return -2;
            }
            obj->cfg.is_fullscreen = false;
            obj->unlock(&obj->locker);
            // The old device presented into the old window.
            pix_width = pix_height = 0;
        }
        ManageEvent(obj);
        if (obj->picture_pool)
            obj->picture_pool->get_pool(&obj->picture);

        kel_direct3d* d3d = obj->kel_d3d;
        if (d3d) {
            PICTURE_T& pic = obj->picture;
            if (pic.pix_width != pix_width || pic.pix_height != pix_height) {
                d3d->initializeD3D(static_cast<HWND>(obj->embed_xid), pic.pix_width, pic.pix_height);
                reload = true;
            }
            if (obj->hDC) {
                const int w = pic.pix_width, h = pic.pix_height;
                const int dw = int(obj->place.width), dh = int(obj->place.height);
                // The planes lie as the push packed them: chroma rows of w / 2 bytes, so that an
                // odd size finds its V plane right after (w / 2) * (h / 2) bytes of U.
                const int luma = w * h, chroma = (w / 2) * (h / 2);
                if (obj->source_format == VOUT_YUV420)
                    d3d->paintD3D(pic.buf, pic.buf + luma, pic.buf + luma + chroma, luma + 2 * chroma, dw, dh, w, h);
                else
                    d3d->paintD3D(pic.buf, pic.bufsize, dw, dh, w, h);
            }
            if (reload) {
                // Once the new size is drawn, fit the window to its proportions.
                obj->lock(&obj->locker);
                obj->cfg.is_ch_display_size = true;
                obj->unlock(&obj->locker);
                reload = false;
            }
        }
        obj->place.pix_width = uint32_t(pix_width = obj->picture.pix_width);
        obj->place.pix_height = uint32_t(pix_height = obj->picture.pix_height);
        freamrate_count(t0, frames);
    }

    // The device presents into the child window: it goes while the window still exists.
    closeEmbedWindow(obj);
    obj->window_xid = nullptr;
    return 0;
}
