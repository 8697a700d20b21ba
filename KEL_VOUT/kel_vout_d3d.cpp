// kel_vout_d3d: the Direct3D 9 output backend: its steps of the shared render loop, which draw
// with kel_direct3d into the child window. Construction, start and teardown run on the host's
// thread; the steps run on the instance's render thread, which creates, uses and releases the
// device.
#include "kel_vout_d3d.h"

#include "kel_direct3d.h"
#include "kel_vout_window.h"
#include "render_loop.h"

namespace {

vout_window_class g_d3d_class{"kel_vout_d3d_1_0_0", {}, 0};

class d3d_steps final : public render_steps {
public:
    // The device comes with the first paint. The child window gets no GDI pixel format: under
    // Wine that left the child's X window behind the device's, and the next move or resize of the
    // child ended the host's process with BadWindow.
    bool attach(kel_vout_display_t* obj) override { return obj->kel_d3d != nullptr; }

    // The device presents into the child window, so it goes while the window exists.
    void detach(kel_vout_display_t* obj) override
    {
        if (obj->kel_d3d)
            obj->kel_d3d->releaseD3D();
    }

    void resize(kel_vout_display_t* obj, int width, int height) override
    {
        if (obj->kel_d3d)
            obj->kel_d3d->resizeD3D();
    }

    bool ready(kel_vout_display_t* obj, renderer_caps* caps, int* width, int* height) override
    {
        kel_direct3d* d3d = obj->kel_d3d;
        if (!d3d)
            return false;
        d3d->initializeD3D(static_cast<HWND>(obj->embed_xid));  // the first time only
        if (!d3d->readyD3D())
            return false;
        *caps = d3d->caps();
        d3d->backBufferSize(width, height);
        return true;
    }

    void draw(kel_vout_display_t* obj, const frame_plan& plan, bool upload) override
    {
        obj->kel_d3d->paintD3D(obj->picture.buf, plan, upload);
    }

    void read_back(kel_vout_display_t* obj, uint8_t* dst, int width, int height) override
    {
        if (obj->kel_d3d)
            obj->kel_d3d->readBack(dst, width, height);
    }

    bool present(kel_vout_display_t* obj) override { return obj->kel_d3d && obj->kel_d3d->presentD3D(); }

    uint64_t device_resets(kel_vout_display_t* obj) override { return obj->kel_d3d ? obj->kel_d3d->resets() : 0; }

    bool recovering(kel_vout_display_t* obj) override { return obj->kel_d3d && obj->kel_d3d->recovering(); }
};

}  // namespace

kel_vout_d3d::kel_vout_d3d()
{
    wglRegisterClass(&g_d3d_class);
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
    obj->kel_d3d = new (std::nothrow) kel_direct3d();
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
    kel_vout_display_t* obj = reinterpret_cast<kel_vout_display_t*>(arg);
    return render_thread_exit(obj, d3d_createEmbedWin(obj));
}

int32_t kel_vout_d3d::d3d_createEmbedWin(kel_vout_display_t* obj)
{
    d3d_steps steps;
    return render_loop(obj, &g_d3d_class, steps);
}
