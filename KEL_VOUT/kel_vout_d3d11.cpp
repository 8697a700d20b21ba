// kel_vout_d3d11: the Direct3D 11 output backend: its steps of the shared render loop, which
// draw with kel_direct3d11 into the child window. Construction, start and teardown run on the
// host's thread; the steps run on the instance's render thread, which creates, uses and
// releases the device.
#include "kel_vout_d3d11.h"

#include "kel_direct3d11.h"
#include "kel_vout_window.h"
#include "render_loop.h"

namespace {

vout_window_class g_d3d11_class{"kel_vout_d3d11_1_0_0", {}, 0};

class d3d11_steps final : public render_steps {
public:
    // The device comes with the first paint.
    bool attach(kel_vout_display_t* obj) override { return obj->kel_d3d11 != nullptr; }

    // The swap chain presents into the child window, so it goes while the window exists.
    void detach(kel_vout_display_t* obj) override
    {
        if (obj->kel_d3d11)
            obj->kel_d3d11->releaseD3D11();
    }

    void resize(kel_vout_display_t* obj, int width, int height) override
    {
        if (obj->kel_d3d11)
            obj->kel_d3d11->resizeD3D11();
    }

    bool ready(kel_vout_display_t* obj, renderer_caps* caps, int* width, int* height) override
    {
        kel_direct3d11* d3d = obj->kel_d3d11;
        if (!d3d)
            return false;
        d3d->initializeD3D11(static_cast<HWND>(obj->embed_xid));  // the first time only
        if (!d3d->readyD3D11())
            return false;
        *caps = d3d->caps();
        d3d->backBufferSize(width, height);
        return true;
    }

    void draw(kel_vout_display_t* obj, const frame_plan& plan, bool upload) override
    {
        obj->kel_d3d11->paintD3D11(obj->picture.buf, plan, upload);
    }

    void read_back(kel_vout_display_t* obj, uint8_t* dst, int width, int height) override
    {
        if (obj->kel_d3d11)
            obj->kel_d3d11->readBack(dst, width, height);
    }

    bool present(kel_vout_display_t* obj) override { return obj->kel_d3d11 && obj->kel_d3d11->presentD3D11(); }

    uint64_t device_resets(kel_vout_display_t* obj) override
    {
        return obj->kel_d3d11 ? obj->kel_d3d11->resets() : 0;
    }

    bool recovering(kel_vout_display_t* obj) override { return obj->kel_d3d11 && obj->kel_d3d11->recovering(); }
};

}  // namespace

kel_vout_d3d11::kel_vout_d3d11()
{
    wglRegisterClass(&g_d3d11_class);
}

kel_vout_d3d11::~kel_vout_d3d11()
{
    kel_vout_logInfo("~kel_vout_d3d11.");
}

bool kel_vout_d3d11::create_window()
{
    return start_render_thread(&d3d11_render_thread);
}

bool kel_vout_d3d11::destroy_window()
{
    release_kel_vout_display_t(&m_obj);
    return true;
}

bool kel_vout_d3d11::init_kel_vout_display_t(kel_vout_display_t* obj)
{
    // Direct3D 11 and the shaders are taken here, on the host's thread, outside the render
    // thread's start-up wait (the first instance of a process compiles them); without them the
    // instance could never draw, and creation fails.
    obj->kel_d3d11 = new (std::nothrow) kel_direct3d11();
    return init_display_common(obj) && obj->kel_d3d11 && obj->kel_d3d11->loadShaders();
}

bool kel_vout_d3d11::release_kel_vout_display_t(kel_vout_display_t* obj)
{
    // Its Direct3D objects went with the render thread.
    return release_display_common(obj, [](kel_vout_display_t* o) {
        delete o->kel_d3d11;
        o->kel_d3d11 = nullptr;
    });
}

DWORD WINAPI kel_vout_d3d11::d3d11_render_thread(PVOID* arg)
{
    if (!arg)
        return DWORD(-2);
    kel_vout_display_t* obj = reinterpret_cast<kel_vout_display_t*>(arg);
    return render_thread_exit(obj, run(obj));
}

// The loop's steps end before the thread does (its exit may unload the library).
int32_t kel_vout_d3d11::run(kel_vout_display_t* obj)
{
    d3d11_steps steps;
    return render_loop(obj, &g_d3d11_class, steps);
}
