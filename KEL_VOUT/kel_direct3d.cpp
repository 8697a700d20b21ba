// kel_direct3d: the Direct3D 9 renderer. Runs on the instance's render thread, which creates,
// uses and releases the device (construction and destruction excepted).
#include "kel_direct3d.h"

#include <d3d9.h>

#include <cstring>

#include "plane_pack.h"
#include "surface_copy.h"

namespace {

const D3DFORMAT kYV12 = D3DFORMAT(MAKEFOURCC('Y', 'V', '1', '2'));

// While a device stays lost, TestCooperativeLevel is asked at most this often; frames that come
// meanwhile are dropped.
const DWORD kRecheckMs = 50;
// A device that could not be made is tried again this long after the failure.
const DWORD kRebuildMs = 500;

std::atomic<kel_direct3d::result_hook> g_result_hook{nullptr};

template <typename T>
void release(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}

// Windowed, one back buffer at the window's client size in the desktop's format.
D3DPRESENT_PARAMETERS present_parameters()
{
    D3DPRESENT_PARAMETERS pp;
    std::memset(&pp, 0, sizeof(pp));
    pp.Windowed = TRUE;
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.BackBufferFormat = D3DFMT_UNKNOWN;
    return pp;
}

// Present results after which the device is gone for good and must be made again.
bool device_is_gone(HRESULT hr)
{
    return hr == D3DERR_DRIVERINTERNALERROR || hr == D3DERR_DEVICEREMOVED || hr == D3DERR_DEVICEHUNG;
}

}  // namespace

kel_direct3d::kel_direct3d(SOURCE_FORMAT format)
    : m_nWidth(1920), m_nHeight(1080), m_pD3D(nullptr), m_pd3dDevice(nullptr), m_pd3dSurface(nullptr),
      m_rtViewport{}, m_PresentWnd(nullptr), m_surfaceWidth(0), m_surfaceHeight(0), m_rtSource{},
      m_rgb(format == VOUT_RGB), m_lost(false), m_rebuild(false), m_surfaceFresh(false), m_drawn(false),
      m_retryAt(0), m_recoveries(0)
{
}

void kel_direct3d::set_result_hook_for_testing(result_hook hook)
{
    g_result_hook.store(hook);
}

HRESULT kel_direct3d::checked(checked_call call, HRESULT hr)
{
    const result_hook hook = g_result_hook.load();
    return hook ? hook(call, m_pd3dDevice, hr) : hr;
}

bool kel_direct3d::due() const
{
    return int32_t(GetTickCount() - m_retryAt) >= 0;
}

void kel_direct3d::retryIn(DWORD ms)
{
    m_retryAt = GetTickCount() + ms;
}

// The device is kept across frame sizes and moves: under wined3d a new Direct3D object costs
// about 150 ms, a new device a few milliseconds more than a reset, a new surface almost nothing.
bool kel_direct3d::initializeD3D(HWND presentWnd, long lWidth, long lHeight)
{
    m_nWidth = int(lWidth);
    m_nHeight = int(lHeight);
    release(m_pd3dSurface);
    const bool same_window = presentWnd == m_PresentWnd;
    m_PresentWnd = presentWnd;
    // Until this call succeeds, painting builds everything again now and then.
    m_rebuild = true;
    auto failed = [this] {
        retryIn(kRebuildMs);
        return false;
    };

    if (!m_pd3dDevice || !same_window || m_lost) {
        release(m_pd3dDevice);
        if (!m_pD3D)
            m_pD3D = Direct3DCreate9(D3D_SDK_VERSION);
        if (!m_pD3D)
            return failed();
        D3DPRESENT_PARAMETERS pp = present_parameters();
        // FPU_PRESERVE: the device would switch this thread's x87 unit to single precision.
        HRESULT hr = m_pD3D->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, m_PresentWnd,
                                          D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_FPU_PRESERVE, &pp,
                                          &m_pd3dDevice);
        hr = checked(checked_call::create_device, hr);
        if (FAILED(hr)) {
            release(m_pd3dDevice);
            return failed();
        }
    }
    m_lost = false;
    if (!createSurface())
        return failed();
    m_rebuild = false;
    return true;
}

bool kel_direct3d::resizeD3D()
{
    // A device being brought back gets the window's size on the way; none yet, none needed.
    if (!m_pd3dDevice || m_lost || m_rebuild)
        return false;
    release(m_pd3dSurface);
    const HRESULT hr = resetBackBuffer();
    if (hr == D3DERR_DEVICELOST) {
        m_lost = true;
        retryIn(kRecheckMs);
        return false;
    }
    if (FAILED(hr) || !createSurface()) {
        scheduleRebuild();
        return false;
    }
    return true;
}

// The surface must be released first: Reset fails while a D3DPOOL_DEFAULT resource lives.
HRESULT kel_direct3d::resetBackBuffer()
{
    D3DPRESENT_PARAMETERS pp = present_parameters();
    return checked(checked_call::reset, m_pd3dDevice->Reset(&pp));
}

bool kel_direct3d::createSurface()
{
    int surface_w = m_nWidth, surface_h = m_nHeight;
    if (!m_rgb)
        yv12_surface_size(m_nWidth, m_nHeight, &surface_w, &surface_h);
    const HRESULT hr = m_pd3dDevice->CreateOffscreenPlainSurface(
        UINT(surface_w), UINT(surface_h), m_rgb ? D3DFMT_X8R8G8B8 : kYV12, D3DPOOL_DEFAULT, &m_pd3dSurface, nullptr);
    if (FAILED(hr)) {
        m_pd3dSurface = nullptr;
        return false;
    }
    m_surfaceWidth = surface_w;
    m_surfaceHeight = surface_h;
    m_surfaceFresh = true;
    m_rtSource = RECT{0, 0, m_nWidth, m_nHeight};
    // Black until the first frame arrives.
    m_pd3dDevice->ColorFill(m_pd3dSurface, nullptr, D3DCOLOR_ARGB(0xFF, 0, 0, 0));
    // The back buffer took the client size; the picture is stretched over all of it.
    m_rtViewport = RECT{};
    GetClientRect(m_PresentWnd, &m_rtViewport);
    return true;
}

void kel_direct3d::releaseD3D()
{
    m_drawn = false;
    release(m_pd3dSurface);
    release(m_pd3dDevice);
    release(m_pD3D);
}

// The device is of no further use: everything is made again at the next frame.
void kel_direct3d::scheduleRebuild()
{
    releaseD3D();
    m_lost = false;
    m_rebuild = true;
    m_retryAt = GetTickCount();
}

// Whether a frame may be drawn now. A device can be lost at any moment (a locked session,
// another program taking the screen) and some drivers do not survive drawing on one that is,
// so every frame asks first; a lost or failed device is brought back when it is time to try.
bool kel_direct3d::readyToDraw()
{
    if (m_rebuild) {
        if (!m_PresentWnd || !due())
            return false;
        if (!initializeD3D(m_PresentWnd, m_nWidth, m_nHeight))
            return false;
        ++m_recoveries;
    }
    if (!m_pd3dDevice || (m_lost && !due()))
        return false;
    const HRESULT hr = checked(checked_call::test_cooperative_level, m_pd3dDevice->TestCooperativeLevel());
    if (hr == D3D_OK) {
        if (m_lost) {
            m_lost = false;
            ++m_recoveries;
        }
        return m_pd3dSurface != nullptr;
    }
    m_lost = true;
    if (hr == D3DERR_DEVICELOST) {
        retryIn(kRecheckMs);
        return false;
    }
    if (hr == D3DERR_DEVICENOTRESET)
        return resetDevice();
    // D3DERR_DRIVERINTERNALERROR and the like: this device is of no further use.
    scheduleRebuild();
    return false;
}

// Brings a lost device back once the system allows it; the surface is made again after it.
bool kel_direct3d::resetDevice()
{
    release(m_pd3dSurface);
    const HRESULT hr = resetBackBuffer();
    if (hr == D3DERR_DEVICELOST) {
        retryIn(kRecheckMs);
        return false;
    }
    if (FAILED(hr) || !createSurface()) {
        scheduleRebuild();
        return false;
    }
    m_lost = false;
    ++m_recoveries;
    return true;
}

void kel_direct3d::paintD3D(unsigned char* ybuf, unsigned char* ubuf, unsigned char* vbuf, int bufSize, int width,
                            int height, int pix_width, int pix_height, bool upload)
{
    if (m_rgb || !readyToDraw())
        return;
    if (pix_width != m_nWidth || pix_height != m_nHeight || !ybuf || !ubuf || !vbuf)
        return;
    if (upload || m_surfaceFresh) {
        D3DLOCKED_RECT locked;
        // A surface the device still reads from is waited for: this thread only draws, and a
        // frame skipped for a busy device would be a frame lost to the viewer.
        if (FAILED(m_pd3dSurface->LockRect(&locked, nullptr, 0)))
            return;
        copy_yuv420_to_yv12(static_cast<uint8_t*>(locked.pBits), locked.Pitch, m_surfaceWidth, m_surfaceHeight,
                            ybuf, ubuf, vbuf, pix_width, pix_height);
        if (FAILED(m_pd3dSurface->UnlockRect()))
            return;
        m_surfaceFresh = false;
    }
    DrawImage();
}

void kel_direct3d::paintD3D(unsigned char* rgb, int bufSize, int width, int height, int pix_width, int pix_height,
                            bool upload)
{
    if (!m_rgb || !readyToDraw())
        return;
    if (pix_width != m_nWidth || pix_height != m_nHeight || !rgb || bufSize < rgb_frame_bytes(pix_width, pix_height))
        return;
    if (upload || m_surfaceFresh) {
        D3DLOCKED_RECT locked;
        if (FAILED(m_pd3dSurface->LockRect(&locked, nullptr, 0)))
            return;
        copy_rgb_to_xrgb(static_cast<uint8_t*>(locked.pBits), locked.Pitch, rgb, pix_width, pix_height);
        if (FAILED(m_pd3dSurface->UnlockRect()))
            return;
        m_surfaceFresh = false;
    }
    DrawImage();
}

void kel_direct3d::SetYUVbuffer(LPBYTE pBuffer, long lLen)
{
    const int w = m_nWidth, h = m_nHeight;
    const int64_t luma = int64_t{w} * h, chroma = int64_t{w / 2} * (h / 2);
    if (!pBuffer || lLen < luma + 2 * chroma)
        return;
    paintD3D(pBuffer, pBuffer + luma, pBuffer + luma + chroma, int(lLen), w, h, w, h);
}

void kel_direct3d::DrawImage()
{
    if (!m_pd3dDevice || !m_pd3dSurface)
        return;
    m_pd3dDevice->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_ARGB(0xFF, 0, 0, 0), 1.0f, 0);
    m_pd3dDevice->BeginScene();
    IDirect3DSurface9* back = nullptr;
    if (SUCCEEDED(m_pd3dDevice->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)))
        m_pd3dDevice->StretchRect(m_pd3dSurface, &m_rtSource, back, &m_rtViewport, D3DTEXF_LINEAR);
    m_pd3dDevice->EndScene();
    release(back);
    m_drawn = true;
}

void kel_direct3d::presentD3D()
{
    if (!m_drawn || !m_pd3dDevice)
        return;
    m_drawn = false;
    const HRESULT hr = checked(checked_call::present, m_pd3dDevice->Present(nullptr, nullptr, nullptr, nullptr));
    if (hr == D3DERR_DEVICELOST) {
        m_lost = true;
        m_retryAt = GetTickCount();
    } else if (device_is_gone(hr)) {
        scheduleRebuild();
    }
}

void kel_direct3d::readBack(uint8_t* dst, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    std::memset(dst, 0, size_t(width) * size_t(height) * 3);
    if (!m_pd3dDevice)
        return;
    IDirect3DSurface9* back = nullptr;
    IDirect3DSurface9* copy = nullptr;
    D3DSURFACE_DESC desc;
    D3DLOCKED_RECT locked;
    if (SUCCEEDED(m_pd3dDevice->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)) &&
        SUCCEEDED(back->GetDesc(&desc)) && (desc.Format == D3DFMT_X8R8G8B8 || desc.Format == D3DFMT_A8R8G8B8) &&
        SUCCEEDED(m_pd3dDevice->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM,
                                                            &copy, nullptr)) &&
        SUCCEEDED(m_pd3dDevice->GetRenderTargetData(back, copy)) &&
        SUCCEEDED(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY))) {
        copy_xrgb_to_rgb(dst, width, height, static_cast<const uint8_t*>(locked.pBits), locked.Pitch,
                         int(desc.Width), int(desc.Height));
        copy->UnlockRect();
    }
    release(copy);
    release(back);
}
