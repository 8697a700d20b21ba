// kel_vout_wgl: the OpenGL output backend: its steps of the shared render loop, which make the
// WGL context for the child window and draw with kel_opengl. Construction, start and teardown
// run on the host's thread; the steps run on the instance's render thread, where the context is
// current from attach to detach.
#include "kel_vout_wgl.h"

#include "kel_opengl.h"
#include "kel_vout_log.h"
#include "kel_vout_window.h"
#include "render_loop.h"

namespace {

vout_window_class g_wgl_class{"kel_vout_wgl_1_0_0", {}, 0};

const PIXELFORMATDESCRIPTOR pfd = {
    sizeof(PIXELFORMATDESCRIPTOR), 1, PFD_DOUBLEBUFFER | PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL, PFD_TYPE_RGBA, 24,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, PFD_MAIN_PLANE, 0, 0, 0, 0};

class wgl_steps final : public render_steps {
public:
    // A pixel format and a context for the child's device context, current on this thread.
    bool attach(kel_vout_display_t* obj) override
    {
        const int format = ChoosePixelFormat(obj->hDC, &pfd);
        if (!format) {
            kel_log_last_error("ChoosePixelFormat (OpenGL, 24-bit RGBA, double-buffered)");
            return false;
        }
        if (!SetPixelFormat(obj->hDC, format, &pfd)) {
            kel_log_last_error("SetPixelFormat");
            return false;
        }
        obj->hRenderRC = wglCreateContext(obj->hDC);
        if (!obj->hRenderRC) {
            kel_log_last_error("wglCreateContext");
            return false;
        }
        if (!wglMakeCurrent(obj->hDC, obj->hRenderRC)) {
            kel_log_last_error("wglMakeCurrent");
            return false;
        }
        // Presents wait for the display's refresh, where the driver lets us say so: no tearing,
        // and timed frames reach the refresh they are due at.
        typedef BOOL(WINAPI * swap_interval_fn)(int);
        const auto swap_interval =
            reinterpret_cast<swap_interval_fn>(reinterpret_cast<void*>(wglGetProcAddress("wglSwapIntervalEXT")));
        if (swap_interval && !swap_interval(1))
            kel_log_last_error("wglSwapIntervalEXT(1)", KEL_LOG_INFO);
        if (obj->kel_gl)
            obj->kel_gl->initializeGL();
        return true;
    }

    // The renderer's textures and program go with the context.
    void detach(kel_vout_display_t* obj) override
    {
        if (!obj->hRenderRC)
            return;
        // A window destroyed with its parent took its drawable along: the context is only
        // deleted (which frees its objects), not drawn with any more.
        if (obj->kel_gl && IsWindow(static_cast<HWND>(obj->embed_xid)))
            obj->kel_gl->releaseGL();
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(obj->hRenderRC);
        obj->hRenderRC = nullptr;
    }

    void resize(kel_vout_display_t* obj, int width, int height) override
    {
        if (!obj->hRenderRC || !obj->kel_gl)
            return;
        // HACK: under Wine the context's buffers take a resized window's size only once this
        // thread has looked at its window-system events (a zero wait does); else the first
        // frame at the new size is drawn at the old one, cropped.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
        obj->kel_gl->resizeGL(width, height);
    }

    bool ready(kel_vout_display_t* obj, renderer_caps* caps, int* width, int* height) override
    {
        if (!obj->kel_gl || !obj->hRenderRC)
            return false;
        *caps = obj->kel_gl->caps();
        const RECT& rc = obj->child_rect;
        *width = rc.right - rc.left;
        *height = rc.bottom - rc.top;
        return true;
    }

    void draw(kel_vout_display_t* obj, const frame_plan& plan, bool upload) override
    {
        obj->kel_gl->paintGL(obj->picture.buf, plan, upload);
    }

    void read_back(kel_vout_display_t* obj, uint8_t* dst, int width, int height) override
    {
        if (obj->kel_gl && obj->hRenderRC)
            obj->kel_gl->readBack(dst, width, height);
    }

    bool present(kel_vout_display_t* obj) override
    {
        if (!obj->hRenderRC)
            return false;
        if (SwapBuffers(obj->hDC))
            return true;
        if (!m_swap_failed)
            kel_log_last_error("SwapBuffers", KEL_LOG_WARNING);
        m_swap_failed = true;  // once: it would repeat at every frame
        return false;
    }

private:
    bool m_swap_failed = false;
};

}  // namespace

kel_vout_wgl::kel_vout_wgl()
{
    wglRegisterClass(&g_wgl_class);
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
    kel_vout_display_t* obj = reinterpret_cast<kel_vout_display_t*>(arg);
    return render_thread_exit(obj, wgl_createEmbedWin(obj));
}

int32_t kel_vout_wgl::wgl_createEmbedWin(kel_vout_display_t* obj)
{
    wgl_steps steps;
    return render_loop(obj, &g_wgl_class, steps);
}
