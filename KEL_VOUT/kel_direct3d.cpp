// kel_direct3d: the Direct3D 9 renderer. Runs on the instance's render thread, which creates,
// uses and releases the device (construction and destruction excepted).
#include "kel_direct3d.h"

#include <d3d9.h>

#include <algorithm>
#include <cstring>

#include "kel_vout_log.h"
#include "plane_pack.h"
#include "surface_copy.h"
#include "yuv_convert.h"

namespace {

const D3DFORMAT kYV12 = D3DFORMAT(MAKEFOURCC('Y', 'V', '1', '2'));

// Locks a surface or a texture's top level. False, with the failure reported, when the lock
// fails or (as under wined3d when the process's address space runs short) succeeds without
// memory behind it; the caller then skips the frame.
bool lock_checked(HRESULT hr, const D3DLOCKED_RECT& locked, const char* call)
{
    if (FAILED(hr)) {
        kel_log_hresult(call, hr, KEL_LOG_WARNING);
        return false;
    }
    if (!locked.pBits) {
        kel_log(KEL_LOG_WARNING, "%s gave no memory (out of address space?); the frame is skipped", call);
        return false;
    }
    return true;
}

bool lock(IDirect3DSurface9* surface, D3DLOCKED_RECT* locked, DWORD flags, const char* call)
{
    *locked = D3DLOCKED_RECT{};
    const HRESULT hr = surface->LockRect(locked, nullptr, flags);
    if (SUCCEEDED(hr) && !locked->pBits)
        surface->UnlockRect();  // a lock that succeeded without memory is still a lock
    return lock_checked(hr, *locked, call);
}

bool lock(IDirect3DTexture9* texture, D3DLOCKED_RECT* locked, DWORD flags, const char* call)
{
    *locked = D3DLOCKED_RECT{};
    const HRESULT hr = texture->LockRect(0, locked, nullptr, flags);
    if (SUCCEEDED(hr) && !locked->pBits)
        texture->UnlockRect(0);
    return lock_checked(hr, *locked, call);
}

// While a device stays lost, TestCooperativeLevel is asked at most this often; frames that come
// meanwhile are dropped.
const DWORD kRecheckMs = 50;
// A device that could not be made is tried again this long after the failure.
const DWORD kRebuildMs = 500;

std::atomic<kel_direct3d::result_hook> g_result_hook{nullptr};
std::atomic<bool> g_shader_allowed{true};
std::atomic<int> g_live_devices{0};  // made and not yet destroyed, process-wide

// Releases a device this renderer counted as made; it is destroyed only with its last reference.
void release_counted(IDirect3DDevice9*& device)
{
    if (!device)
        return;
    if (device->Release() == 0)
        --g_live_devices;
    else
        kel_log(KEL_LOG_WARNING, "a released Direct3D 9 device is still referenced elsewhere");
    device = nullptr;
}

// The YUV conversion, pixel shader model 2.0. Assembled by hand (no shader compiler is needed
// at build or run time); the tokens follow the published Direct3D 9 shader token format:
//   ps_2_0
//   dcl t0.xy          ; luma texture coordinates
//   dcl t1.xy          ; chroma texture coordinates
//   dcl_2d s0 / s1 / s2 ; Y, U, V planes (luminance textures)
//   texld r0, t0, s0
//   texld r1, t1, s1
//   texld r2, t1, s2
//   mad r3, r0.x, c0, c3   ; rgb = Y * c0 + c3 + U * c1 + V * c2 (c3.w = 1: opaque)
//   mad r3, r1.x, c1, r3
//   mad r3, r2.x, c2, r3
//   mov oC0, r3
const DWORD kYuvShader[] = {
    0xFFFF0200,                                      // ps_2_0
    0x0200001F, 0x80000000, 0xB0030000,              // dcl t0.xy
    0x0200001F, 0x80000000, 0xB0030001,              // dcl t1.xy
    0x0200001F, 0x90000000, 0xA00F0800,              // dcl_2d s0
    0x0200001F, 0x90000000, 0xA00F0801,              // dcl_2d s1
    0x0200001F, 0x90000000, 0xA00F0802,              // dcl_2d s2
    0x03000042, 0x800F0000, 0xB0E40000, 0xA0E40800,  // texld r0, t0, s0
    0x03000042, 0x800F0001, 0xB0E40001, 0xA0E40801,  // texld r1, t1, s1
    0x03000042, 0x800F0002, 0xB0E40001, 0xA0E40802,  // texld r2, t1, s2
    0x04000004, 0x800F0003, 0x80000000, 0xA0E40000, 0xA0E40003,  // mad r3, r0.x, c0, c3
    0x04000004, 0x800F0003, 0x80000001, 0xA0E40001, 0x80E40003,  // mad r3, r1.x, c1, r3
    0x04000004, 0x800F0003, 0x80000002, 0xA0E40002, 0x80E40003,  // mad r3, r2.x, c2, r3
    0x02000001, 0x800F0800, 0x80E40003,              // mov oC0, r3
    0x0000FFFF,                                      // end
};

// A corner of the picture's quad, in pixels of the back buffer (pre-transformed).
struct quad_vertex {
    float x, y, z, rhw;
    float s0, t0;  // luma
    float s1, t1;  // chroma
};
const DWORD kQuadFvf = D3DFVF_XYZRHW | D3DFVF_TEX2;

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
    : m_nWidth(1920), m_nHeight(1080), m_pD3D(nullptr), m_pd3dDevice(nullptr), m_pd3dSurface(nullptr), m_spareSurface(nullptr),
      m_rtViewport{}, m_PresentWnd(nullptr), m_surfaceWidth(0), m_surfaceHeight(0), m_rtSource{},
      m_rgb(format == VOUT_RGB), m_shape(format == VOUT_RGB ? legacy_rgb_shape(1920) : legacy_yuv_shape(1920, 1080)),
      m_matrix{}, m_lost(false), m_rebuild(false), m_shaderCapable(false), m_maxTexture{0, 0},
      m_useShader(false), m_shader(nullptr),
      m_planes{}, m_chromaExtent{1.0f, 1.0f}, m_surfaceFresh(false), m_drawn(false), m_retryAt(0), m_recoveries(0),
      m_sizeResets(0)
{
}

void kel_direct3d::set_shader_allowed_for_testing(bool allowed)
{
    g_shader_allowed.store(allowed);
}

int kel_direct3d::live_devices()
{
    return g_live_devices.load();
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
bool kel_direct3d::initializeD3D(HWND presentWnd, long lWidth, long lHeight, const frame_shape& shape)
{
    m_shape = shape;
    m_rgb = shape.format != pixel_format::i420;
    yuv_shader_constants(shape.colorspace, shape.range, m_matrix);
    return initializeDevice(presentWnd, lWidth, lHeight);
}

bool kel_direct3d::initializeD3D(HWND presentWnd, long lWidth, long lHeight)
{
    return initializeD3D(presentWnd, lWidth, lHeight,
                         m_rgb ? legacy_rgb_shape(int(lWidth)) : legacy_yuv_shape(int(lWidth), int(lHeight)));
}

bool kel_direct3d::initializeDevice(HWND presentWnd, long lWidth, long lHeight)
{
    m_nWidth = int(lWidth);
    m_nHeight = int(lHeight);
    releaseFrameResources();
    const bool same_window = presentWnd == m_PresentWnd;
    m_PresentWnd = presentWnd;
    // Until this call succeeds, painting builds everything again now and then.
    m_rebuild = true;
    auto failed = [this] {
        retryIn(kRebuildMs);
        return false;
    };

    if (!m_pd3dDevice || !same_window || m_lost) {
        release(m_shader);
        release_counted(m_pd3dDevice);
        if (!m_pD3D)
            m_pD3D = Direct3DCreate9(D3D_SDK_VERSION);
        if (!m_pD3D) {
            kel_log(KEL_LOG_ERROR, "Direct3DCreate9 failed: no Direct3D 9 on this system; retrying in %lu ms",
                    static_cast<unsigned long>(kRebuildMs));
            return failed();
        }
        D3DPRESENT_PARAMETERS pp = present_parameters();
        // FPU_PRESERVE: the device would switch this thread's x87 unit to single precision.
        HRESULT hr = m_pD3D->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, m_PresentWnd,
                                          D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_FPU_PRESERVE, &pp,
                                          &m_pd3dDevice);
        hr = checked(checked_call::create_device, hr);
        if (FAILED(hr)) {
            kel_log_hresult("IDirect3D9::CreateDevice", hr);
            release(m_pd3dDevice);
            return failed();
        }
        ++g_live_devices;
        chooseConversion();
    } else if (!backBufferFitsWindow()) {
        // The window changed size while no reset could be made (the device was being made
        // again): the back buffer takes the size now.
        const HRESULT hr = resetBackBuffer();
        if (FAILED(hr)) {
            kel_log_hresult("IDirect3DDevice9::Reset (new window size)", hr);
            scheduleRebuild();
            return failed();
        }
        ++m_sizeResets;
    }
    m_lost = false;
    if (!createSurface())
        return failed();
    kel_log(KEL_LOG_INFO, "Direct3D 9 ready for %dx%d frames; YUV converted by %s", m_nWidth, m_nHeight,
            m_rgb              ? "nobody (RGB frames)"
            : m_useShader      ? "our pixel shader"
            : m_pd3dSurface && yv12Allowed() ? "the driver (YV12)"
                                             : "the processor");
    m_rebuild = false;
    return true;
}

bool kel_direct3d::resizeD3D()
{
    // A device being brought back gets the window's size on the way; none yet, none needed.
    if (!m_pd3dDevice || m_lost || m_rebuild)
        return false;
    releaseFrameResources();
    const HRESULT hr = resetBackBuffer();
    if (hr == D3DERR_DEVICELOST) {
        kel_log(KEL_LOG_INFO, "Direct3D 9 device lost while taking the window's new size; it comes back later");
        m_lost = true;
        retryIn(kRecheckMs);
        return false;
    }
    if (FAILED(hr))
        kel_log_hresult("IDirect3DDevice9::Reset (new window size)", hr);
    else
        ++m_sizeResets;
    if (FAILED(hr) || !createSurface()) {
        scheduleRebuild();
        return false;
    }
    return true;
}

bool kel_direct3d::backBufferFitsWindow()
{
    IDirect3DSurface9* back = nullptr;
    D3DSURFACE_DESC desc;
    RECT rc{};
    const bool fits = SUCCEEDED(m_pd3dDevice->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)) &&
                      SUCCEEDED(back->GetDesc(&desc)) && GetClientRect(m_PresentWnd, &rc) &&
                      LONG(desc.Width) == std::max(rc.right - rc.left, LONG(1)) &&
                      LONG(desc.Height) == std::max(rc.bottom - rc.top, LONG(1));
    release(back);
    return fits;
}

// The surface must be released first: Reset fails while a D3DPOOL_DEFAULT resource lives.
HRESULT kel_direct3d::resetBackBuffer()
{
    D3DPRESENT_PARAMETERS pp = present_parameters();
    return checked(checked_call::reset, m_pd3dDevice->Reset(&pp));
}

// Whether YUV frames can take our pixel shader on this device: shaders 2.0, dynamic luminance
// textures of any size (and the test seam allows it). Frames above the device's largest texture
// go through a surface instead (createSurface): the driver's YV12 conversion for the older
// pushes' frames, the processor's for the others.
void kel_direct3d::chooseConversion()
{
    m_shaderCapable = false;
    release(m_shader);
    if (!g_shader_allowed.load())
        return;
    D3DCAPS9 caps;
    if (FAILED(m_pd3dDevice->GetDeviceCaps(&caps)) || caps.PixelShaderVersion < D3DPS_VERSION(2, 0) ||
        !(caps.Caps2 & D3DCAPS2_DYNAMICTEXTURES))
        return;
    const bool pow2_only =
        (caps.TextureCaps & D3DPTEXTURECAPS_POW2) && !(caps.TextureCaps & D3DPTEXTURECAPS_NONPOW2CONDITIONAL);
    D3DDISPLAYMODE mode;
    if (pow2_only || FAILED(m_pd3dDevice->GetDisplayMode(0, &mode)) ||
        FAILED(m_pD3D->CheckDeviceFormat(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, mode.Format, D3DUSAGE_DYNAMIC,
                                         D3DRTYPE_TEXTURE, D3DFMT_L8)))
        return;
    m_maxTexture[0] = int(caps.MaxTextureWidth);
    m_maxTexture[1] = int(caps.MaxTextureHeight);
    const HRESULT hr = m_pd3dDevice->CreatePixelShader(kYuvShader, &m_shader);
    if (FAILED(hr))
        kel_log_hresult("IDirect3DDevice9::CreatePixelShader (YUV is converted without it)", hr, KEL_LOG_WARNING);
    m_shaderCapable = SUCCEEDED(hr);
}

// The frame's resources for the device: the plane textures (shader path) or a surface, both in
// D3DPOOL_DEFAULT, so they are released before a reset and made again after it.
bool kel_direct3d::createSurface()
{
    m_rtSource = RECT{0, 0, m_nWidth, m_nHeight};
    // The back buffer took the client size; the picture is stretched over all of it.
    m_rtViewport = RECT{};
    GetClientRect(m_PresentWnd, &m_rtViewport);
    m_surfaceFresh = true;

    m_useShader = !m_rgb && m_shaderCapable && m_nWidth <= m_maxTexture[0] && m_nHeight <= m_maxTexture[1];
    if (m_useShader) {
        const int cw = m_shape.chroma_width, ch = m_shape.chroma_height;
        const bool chroma = cw > 0 && ch > 0;
        const int sizes[3][2] = {
            {m_nWidth, m_nHeight}, {chroma ? cw : 1, chroma ? ch : 1}, {chroma ? cw : 1, chroma ? ch : 1}};
        for (int i = 0; i < 3 && m_useShader; ++i) {
            const HRESULT hr = m_pd3dDevice->CreateTexture(UINT(sizes[i][0]), UINT(sizes[i][1]), 1, D3DUSAGE_DYNAMIC,
                                                           D3DFMT_L8, D3DPOOL_DEFAULT, &m_planes[i], nullptr);
            if (FAILED(hr)) {
                kel_log_hresult("IDirect3DDevice9::CreateTexture (a plane; YUV is converted without the shader)", hr,
                                KEL_LOG_WARNING);
                m_planes[i] = nullptr;
                releaseFrameResources();
                m_useShader = false;
            }
        }
        if (m_useShader) {
            // An odd last column or row lies past the last chroma sample: the clamp repeats it.
            m_chromaExtent[0] = chroma ? float(m_nWidth) / float(2 * cw) : 1.0f;
            m_chromaExtent[1] = chroma ? float(m_nHeight) / float(2 * ch) : 1.0f;
            return true;
        }
    }

    // Without the shader: YV12 for what the driver converts right enough (the older pushes'
    // BT.601 limited range), R, G, B for everything else.
    const bool yv12 = yv12Allowed();
    int surface_w = m_nWidth, surface_h = m_nHeight;
    if (yv12)
        yv12_surface_size(m_nWidth, m_nHeight, &surface_w, &surface_h);
    // Two surfaces taking frames in turn: the next frame goes into the one the device is not
    // drawing from. A device that cannot make the second works with one.
    for (IDirect3DSurface9** surface : {&m_pd3dSurface, &m_spareSurface}) {
        const HRESULT hr = m_pd3dDevice->CreateOffscreenPlainSurface(
            UINT(surface_w), UINT(surface_h), yv12 ? kYV12 : D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, surface, nullptr);
        if (FAILED(hr)) {
            *surface = nullptr;
            if (surface == &m_pd3dSurface) {
                kel_log_hresult("IDirect3DDevice9::CreateOffscreenPlainSurface", hr);
                return false;
            }
            break;
        }
        // Black until the first frame arrives.
        m_pd3dDevice->ColorFill(*surface, nullptr, D3DCOLOR_ARGB(0xFF, 0, 0, 0));
    }
    m_surfaceWidth = surface_w;
    m_surfaceHeight = surface_h;
    return true;
}

void kel_direct3d::releaseFrameResources()
{
    release(m_pd3dSurface);
    release(m_spareSurface);
    for (IDirect3DTexture9*& t : m_planes)
        release(t);
}

void kel_direct3d::releaseD3D()
{
    m_drawn = false;
    releaseFrameResources();
    release(m_shader);
    release_counted(m_pd3dDevice);
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
        if (!initializeDevice(m_PresentWnd, m_nWidth, m_nHeight))
            return false;
        ++m_recoveries;
        kel_log(KEL_LOG_INFO, "Direct3D 9 device made again; frames are shown again");
    }
    if (!m_pd3dDevice || (m_lost && !due()))
        return false;
    const HRESULT hr = checked(checked_call::test_cooperative_level, m_pd3dDevice->TestCooperativeLevel());
    if (hr == D3D_OK) {
        if (m_lost) {
            m_lost = false;
            ++m_recoveries;
            kel_log(KEL_LOG_INFO, "Direct3D 9 device back without a reset");
        }
        return m_pd3dSurface != nullptr || m_planes[0] != nullptr;
    }
    if (!m_lost)
        kel_log_hresult("IDirect3DDevice9::TestCooperativeLevel", hr, KEL_LOG_INFO);
    m_lost = true;
    if (hr == D3DERR_DEVICELOST) {
        retryIn(kRecheckMs);
        return false;
    }
    if (hr == D3DERR_DEVICENOTRESET)
        return resetDevice();
    // D3DERR_DRIVERINTERNALERROR and the like: this device is of no further use.
    kel_log(KEL_LOG_WARNING, "Direct3D 9 device unusable; it is made again");
    scheduleRebuild();
    return false;
}

// Brings a lost device back once the system allows it; the surface is made again after it.
bool kel_direct3d::resetDevice()
{
    releaseFrameResources();
    const HRESULT hr = resetBackBuffer();
    if (hr == D3DERR_DEVICELOST) {
        retryIn(kRecheckMs);
        return false;
    }
    if (FAILED(hr))
        kel_log_hresult("IDirect3DDevice9::Reset (after a lost device)", hr);
    if (FAILED(hr) || !createSurface()) {
        scheduleRebuild();
        return false;
    }
    m_lost = false;
    ++m_recoveries;
    kel_log(KEL_LOG_INFO, "Direct3D 9 device reset after a loss; frames are shown again");
    return true;
}

void kel_direct3d::paintD3D(unsigned char* ybuf, unsigned char* ubuf, unsigned char* vbuf, int bufSize, int width,
                            int height, int pix_width, int pix_height, bool upload)
{
    (void)bufSize;
    (void)width;
    (void)height;
    if (m_rgb || !ybuf || !ubuf || !vbuf)
        return;
    paint(ybuf, ubuf, vbuf, m_shape, pix_width, pix_height, upload);
}

void kel_direct3d::paintD3D(unsigned char* rgb, int bufSize, int width, int height, int pix_width, int pix_height,
                            bool upload)
{
    (void)width;
    (void)height;
    if (!m_rgb || !rgb || bufSize < int64_t(planes_of(m_shape, pix_width, pix_height).bytes))
        return;
    paint(rgb, nullptr, nullptr, m_shape, pix_width, pix_height, upload);
}

void kel_direct3d::paintFrame(const uint8_t* buf, const frame_shape& shape, int pix_width, int pix_height,
                              bool upload)
{
    if (!buf)
        return;
    const packed_planes p = planes_of(shape, pix_width, pix_height);
    if (shape.format == pixel_format::i420)
        paint(buf, buf + p.u, buf + p.v, shape, pix_width, pix_height, upload);
    else
        paint(buf, nullptr, nullptr, shape, pix_width, pix_height, upload);
}

// The frame must have the size, format and chroma size of the last initializeD3D; only its
// colours may differ (the shader takes them at once).
void kel_direct3d::paint(const uint8_t* y, const uint8_t* u, const uint8_t* v, const frame_shape& shape,
                         int pix_width, int pix_height, bool upload)
{
    if (!readyToDraw())
        return;
    if (pix_width != m_nWidth || pix_height != m_nHeight || shape.format != m_shape.format ||
        shape.chroma_width != m_shape.chroma_width || shape.chroma_height != m_shape.chroma_height)
        return;
    if (upload || m_surfaceFresh) {
        if (shape.colorspace != m_shape.colorspace || shape.range != m_shape.range ||
            shape.older_push != m_shape.older_push) {
            m_shape = shape;
            yuv_shader_constants(shape.colorspace, shape.range, m_matrix);
            // Without the shader the surface suits the colours it was made for (YV12 or not).
            if (!m_useShader) {
                releaseFrameResources();
                if (!createSurface()) {
                    scheduleRebuild();
                    return;
                }
            }
        }
        if (m_useShader ? !uploadPlanes(y, u, v, pix_width, pix_height) : !uploadSurface(y, u, v, pix_width, pix_height))
            return;
        m_surfaceFresh = false;
    }
    DrawImage();
}

// YV12 surfaces take only the older pushes' frames, as they always did: the driver's conversion
// is meant for their colours, though not every driver gets them right (this Wine's does not
// expand the range). Frames of the frame export are converted exactly, on the processor.
bool kel_direct3d::yv12Allowed() const
{
    return !m_rgb && m_shape.older_push && m_shape.colorspace == colour_space::bt601 &&
           m_shape.range == colour_range::limited && m_shape.chroma_width == m_nWidth / 2 && m_shape.chroma_height == m_nHeight / 2;
}

// A frame into the off-screen surface the device is not drawing from, which then becomes the
// one drawn: YV12 as it is; R, G, B (or B, G, R, A) into X8R8G8B8; other YUV converted on the
// processor first. The spare is locked without waiting; only when the device still reads even
// that one (two frames back) does the lock wait: this thread only draws, and a frame skipped
// for a busy device would be a frame lost to the viewer.
bool kel_direct3d::uploadSurface(const uint8_t* y, const uint8_t* u, const uint8_t* v, int pix_width, int pix_height)
{
    if (!m_pd3dSurface)
        return false;
    const bool yv12 = yv12Allowed();
    const uint8_t* pixels = y;
    size_t stride = size_t(m_shape.stride);
    bool bgra = m_shape.format == pixel_format::bgra;
    if (!m_rgb && !yv12) {
        try {
            m_converted.resize(size_t(pix_width) * size_t(pix_height) * 3);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(m_converted);
            return false;
        }
        yuv420_to_rgb(y, u, v, pix_width, pix_height, m_shape.chroma_width, m_shape.chroma_height,
                      yuv_coefficients_for(m_shape.colorspace, m_shape.range), m_converted.data(),
                      m_converted.size());
        pixels = m_converted.data();
        stride = size_t(pix_width) * 3;
        bgra = false;
    }
    IDirect3DSurface9* target = m_spareSurface ? m_spareSurface : m_pd3dSurface;
    D3DLOCKED_RECT locked{};
    HRESULT hr = target->LockRect(&locked, nullptr, D3DLOCK_DONOTWAIT);
    if (SUCCEEDED(hr) && !locked.pBits)
        target->UnlockRect();
    if (hr != D3DERR_WASSTILLDRAWING && (FAILED(hr) || !locked.pBits)) {
        lock_checked(hr, locked, "IDirect3DSurface9::LockRect");
        return false;
    }
    if (!locked.pBits &&
        !lock(target, &locked, 0, yv12 ? "IDirect3DSurface9::LockRect (YV12)" : "IDirect3DSurface9::LockRect (RGB)"))
        return false;
    if (yv12)
        copy_yuv420_to_yv12(static_cast<uint8_t*>(locked.pBits), locked.Pitch, m_surfaceWidth, m_surfaceHeight, y, u,
                            v, pix_width, pix_height);
    else
        copy_rgb_to_xrgb(static_cast<uint8_t*>(locked.pBits), locked.Pitch, pixels, stride, bgra, pix_width,
                         pix_height);
    if (FAILED(target->UnlockRect()))
        return false;
    if (target == m_spareSurface)
        std::swap(m_pd3dSurface, m_spareSurface);
    return true;
}

// Each plane into its texture, row by row at the texture's pitch. DISCARD: the driver hands out
// fresh memory while the GPU may still read the previous frame, so the copy never waits.
bool kel_direct3d::uploadPlanes(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int pix_width,
                                int pix_height)
{
    static const uint8_t grey = 0x80;  // the chroma of a frame too small to have any
    const int cw = m_shape.chroma_width, ch = m_shape.chroma_height;
    const bool chroma = cw > 0 && ch > 0;
    const struct {
        const uint8_t* buf;
        int width, height;
    } planes[3] = {{ybuf, pix_width, pix_height},
                   {chroma ? ubuf : &grey, chroma ? cw : 1, chroma ? ch : 1},
                   {chroma ? vbuf : &grey, chroma ? cw : 1, chroma ? ch : 1}};
    for (int i = 0; i < 3; ++i) {
        D3DLOCKED_RECT locked;
        if (!m_planes[i])
            return false;
        if (!lock(m_planes[i], &locked, D3DLOCK_DISCARD, "IDirect3DTexture9::LockRect (a plane of the frame)"))
            return false;
        copy_plane_rows(static_cast<uint8_t*>(locked.pBits), locked.Pitch, planes[i].buf, size_t(planes[i].width),
                        planes[i].width, planes[i].height);
        m_planes[i]->UnlockRect(0);
    }
    return true;
}

void kel_direct3d::SetYUVbuffer(LPBYTE pBuffer, long lLen)
{
    const int w = m_nWidth, h = m_nHeight;
    if (m_rgb || !pBuffer || lLen < int64_t(planes_of(m_shape, w, h).bytes))
        return;
    paintFrame(pBuffer, m_shape, w, h, true);
}

void kel_direct3d::DrawImage()
{
    if (!m_pd3dDevice || (!m_pd3dSurface && !m_planes[0]))
        return;
    m_pd3dDevice->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_ARGB(0xFF, 0, 0, 0), 1.0f, 0);
    m_pd3dDevice->BeginScene();
    IDirect3DSurface9* back = nullptr;
    if (SUCCEEDED(m_pd3dDevice->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back))) {
        if (m_planes[0])
            drawPlanes(back);
        else
            m_pd3dDevice->StretchRect(m_pd3dSurface, &m_rtSource, back, &m_rtViewport, D3DTEXF_LINEAR);
    }
    m_pd3dDevice->EndScene();
    release(back);
    m_drawn = true;
}

// One quad over the back buffer, the three planes bilinearly filtered and converted by the
// shader. Pixel centres lie at whole coordinates: the quad starts half a pixel before them.
void kel_direct3d::drawPlanes(IDirect3DSurface9* back)
{
    D3DSURFACE_DESC desc;
    if (FAILED(back->GetDesc(&desc)))
        return;
    const float w = float(desc.Width) - 0.5f, h = float(desc.Height) - 0.5f;
    const float cs = m_chromaExtent[0], ct = m_chromaExtent[1];
    const quad_vertex quad[4] = {{-0.5f, -0.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},
                                 {w, -0.5f, 0.0f, 1.0f, 1.0f, 0.0f, cs, 0.0f},
                                 {-0.5f, h, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f, ct},
                                 {w, h, 0.0f, 1.0f, 1.0f, 1.0f, cs, ct}};
    IDirect3DDevice9* d = m_pd3dDevice;
    d->SetRenderState(D3DRS_ZENABLE, D3DZB_FALSE);
    d->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    d->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    d->SetRenderState(D3DRS_LIGHTING, FALSE);
    for (DWORD i = 0; i < 3; ++i) {
        d->SetTexture(i, m_planes[i]);
        d->SetSamplerState(i, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
        d->SetSamplerState(i, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
        d->SetSamplerState(i, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
        d->SetSamplerState(i, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
        d->SetSamplerState(i, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
    }
    d->SetPixelShader(m_shader);
    d->SetPixelShaderConstantF(0, &m_matrix[0][0], 4);
    d->SetFVF(kQuadFvf);
    d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(quad_vertex));
    d->SetPixelShader(nullptr);
    for (DWORD i = 0; i < 3; ++i)
        d->SetTexture(i, nullptr);
}

bool kel_direct3d::presentD3D()
{
    if (!m_drawn || !m_pd3dDevice)
        return false;
    m_drawn = false;
    const HRESULT hr = checked(checked_call::present, m_pd3dDevice->Present(nullptr, nullptr, nullptr, nullptr));
    if (hr == D3DERR_DEVICELOST) {
        kel_log(KEL_LOG_INFO, "Direct3D 9 device lost (IDirect3DDevice9::Present); frames are skipped until it is back");
        m_lost = true;
        m_retryAt = GetTickCount();
    } else if (device_is_gone(hr)) {
        kel_log_hresult("IDirect3DDevice9::Present (the device is made again)", hr);
        scheduleRebuild();
    } else if (FAILED(hr)) {
        kel_log_hresult("IDirect3DDevice9::Present", hr, KEL_LOG_WARNING);
    }
    return SUCCEEDED(hr);
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
        lock(copy, &locked, D3DLOCK_READONLY, "IDirect3DSurface9::LockRect (snapshot)")) {
        copy_xrgb_to_rgb(dst, width, height, static_cast<const uint8_t*>(locked.pBits), locked.Pitch,
                         int(desc.Width), int(desc.Height));
        copy->UnlockRect();
    }
    release(copy);
    release(back);
}
