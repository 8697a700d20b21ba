// kel_direct3d: the Direct3D 9 renderer. Runs on the instance's render thread, which creates,
// uses and releases the device (construction and destruction excepted).
#include "kel_direct3d.h"

#include <d3d9.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "kel_vout_log.h"
#include "surface_copy.h"
#include "texture_fit.h"
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
std::atomic<bool> g_tables_fail{false};
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
//   texld r4, t2, s3       ; the dither's threshold at this pixel (a 4 x 4 pattern, 0..1)
//   mad r3, r4.x, c4, r3   ; + threshold * amplitude (c4.w = 0)
//   add r3, r3, c5         ; - amplitude / 2: centred on 0 (0 for 8-bit frames)
//   mov oC0, r3
const DWORD kYuvShader[] = {
    0xFFFF0200,                                      // ps_2_0
    0x0200001F, 0x80000000, 0xB0030000,              // dcl t0.xy
    0x0200001F, 0x80000000, 0xB0030001,              // dcl t1.xy
    0x0200001F, 0x80000000, 0xB0030002,              // dcl t2.xy
    0x0200001F, 0x90000000, 0xA00F0800,              // dcl_2d s0
    0x0200001F, 0x90000000, 0xA00F0801,              // dcl_2d s1
    0x0200001F, 0x90000000, 0xA00F0802,              // dcl_2d s2
    0x0200001F, 0x90000000, 0xA00F0803,              // dcl_2d s3
    0x03000042, 0x800F0000, 0xB0E40000, 0xA0E40800,  // texld r0, t0, s0
    0x03000042, 0x800F0001, 0xB0E40001, 0xA0E40801,  // texld r1, t1, s1
    0x03000042, 0x800F0002, 0xB0E40001, 0xA0E40802,  // texld r2, t1, s2
    0x04000004, 0x800F0003, 0x80000000, 0xA0E40000, 0xA0E40003,  // mad r3, r0.x, c0, c3
    0x04000004, 0x800F0003, 0x80000001, 0xA0E40001, 0x80E40003,  // mad r3, r1.x, c1, r3
    0x04000004, 0x800F0003, 0x80000002, 0xA0E40002, 0x80E40003,  // mad r3, r2.x, c2, r3
    0x03000042, 0x800F0004, 0xB0E40002, 0xA0E40803,  // texld r4, t2, s3
    0x04000004, 0x800F0003, 0x80000004, 0xA0E40004, 0x80E40003,  // mad r3, r4.x, c4, r3
    0x03000002, 0x800F0003, 0x80E40003, 0xA0E40005,  // add r3, r3, c5
    0x02000001, 0x800F0800, 0x80E40003,              // mov oC0, r3
    0x0000FFFF,                                      // end
};

// Shader model 2.0 tokens, for shaders made in code.
namespace ps2 {
enum reg : DWORD { temp = 0, constant = 2, texcoord = 3, colour_out = 8, sampler = 10 };
enum swizzle : DWORD { xyzw = 0xE4, xxxx = 0x00, yyyy = 0x55, zzzz = 0xAA, wwww = 0xFF };
enum opcode : DWORD {
    mov = 1, add = 2, mad = 4, mul = 5, rcp = 6, rsq = 7, dp3 = 8, min = 10, max = 11, texld = 0x42, def = 0x51
};
constexpr DWORD reg_bits(reg type, int n)
{
    return 0x80000000u | ((DWORD(type) & 7) << 28) | ((DWORD(type) & 0x18) << 8) | DWORD(n);
}
// A destination and its write mask (bits x, y, z, w = 1, 2, 4, 8); saturated: clamped to 0..1.
constexpr DWORD dst(reg type, int n, DWORD mask = 0xF, bool saturated = false)
{
    return reg_bits(type, n) | (mask << 16) | (saturated ? 1u << 20 : 0u);
}
constexpr DWORD src(reg type, int n, swizzle s = xyzw)
{
    return reg_bits(type, n) | (DWORD(s) << 16);
}
constexpr DWORD r(int n, swizzle s = xyzw) { return src(temp, n, s); }
constexpr DWORD c(int n, swizzle s = xyzw) { return src(constant, n, s); }
constexpr DWORD rd(int n, DWORD mask = 0xF, bool saturated = false) { return dst(temp, n, mask, saturated); }

struct program {
    std::vector<DWORD> tokens{0xFFFF0200};  // ps_2_0
    void op(opcode o, std::initializer_list<DWORD> params)
    {
        tokens.push_back(DWORD(o) | DWORD(params.size()) << 24);
        tokens.insert(tokens.end(), params);
    }
    void dcl_texcoord(int n) { tokens.insert(tokens.end(), {0x0200001F, 0x80000000, dst(texcoord, n, 0x3)}); }
    void dcl_2d(int n) { tokens.insert(tokens.end(), {0x0200001F, 0x90000000, dst(sampler, n)}); }
    void tex(int to, DWORD coordinate, int s) { op(texld, {rd(to), coordinate, src(sampler, s)}); }
    std::vector<DWORD> finish()
    {
        tokens.push_back(0x0000FFFF);  // end
        return tokens;
    }
};
}  // namespace ps2

// The YUV conversion with light, for frames that are not SDR with BT.709 primaries: the light
// tables (light_lut) in textures s4 (decoding), s5 (the tone curve's gain) and s6 (encoding),
// read at coordinates computed from the values (four levels of dependent reads, as shader model
// 2.0 allows). Constants as the YUV shader's (c0..c5), and
//   c6  the tables' coordinates: x R' to the decoding's, y half a texel, z 1 / the gain's range
//   c7..c9 the primaries' rows
//   c10 (1e-12, 1e-6, 0, 1)
//   c11 x the gain's limit (over the brightest channel), y the tables' span
std::vector<DWORD> light_shader_tokens()
{
    using namespace ps2;
    program p;
    for (int i = 0; i < 3; ++i)
        p.dcl_texcoord(i);
    for (int i = 0; i < 7; ++i)
        p.dcl_2d(i);
    const float consts[4] = {1e-12f, 1e-6f, 0.0f, 1.0f};
    DWORD bits[4];
    std::memcpy(bits, consts, sizeof(bits));
    p.op(def, {dst(constant, 10), bits[0], bits[1], bits[2], bits[3]});
    // Y, U, V and the dither's threshold; R', G', B' in r3.
    p.tex(0, src(texcoord, 0), 0);
    p.tex(1, src(texcoord, 1), 1);
    p.tex(2, src(texcoord, 1), 2);
    p.tex(4, src(texcoord, 2), 3);
    p.op(mad, {rd(3), r(0, xxxx), c(0), c(3)});
    p.op(mad, {rd(3), r(1, xxxx), c(1), r(3)});
    p.op(mad, {rd(3), r(2, xxxx), c(2), r(3)});
    // Linear light, each channel from the decoding's table, gathered in r5.
    p.op(mad, {rd(5), r(3), c(6, xxxx), c(6, yyyy)});
    p.op(mov, {rd(6), r(5, yyyy)});
    p.op(mov, {rd(7), r(5, zzzz)});
    p.tex(0, r(5), 4);
    p.tex(1, r(6), 4);
    p.tex(2, r(7), 4);
    p.op(mov, {rd(5, 0x1), r(0, xxxx)});
    p.op(mov, {rd(5, 0x2), r(1, xxxx)});
    p.op(mov, {rd(5, 0x4), r(2, xxxx)});
    // BT.709 primaries in r3.
    p.op(dp3, {rd(3, 0x1), r(5), c(7)});
    p.op(dp3, {rd(3, 0x2), r(5), c(8)});
    p.op(dp3, {rd(3, 0x4), r(5), c(9)});
    // The brightest channel (r6.x), the limit over it (r6.y), the gain's coordinate (r7).
    p.op(max, {rd(6, 0x1), r(3, xxxx), r(3, yyyy)});
    p.op(max, {rd(6, 0x1), r(6, xxxx), r(3, zzzz)});
    p.op(max, {rd(6, 0x1), r(6, xxxx), c(10, yyyy)});
    p.op(rcp, {rd(6, 0x2), r(6, xxxx)});
    p.op(mul, {rd(6, 0x2), r(6, yyyy), c(11, xxxx)});
    p.op(mul, {rd(6, 0x4), r(6, xxxx), c(6, zzzz)});
    p.op(rsq, {rd(6, 0x8), r(6, zzzz)});
    p.op(mul, {rd(6, 0x4), r(6, zzzz), r(6, wwww)});
    p.op(mad, {rd(7), r(6, zzzz), c(11, yyyy), c(6, yyyy)});
    p.tex(8, r(7), 5);
    p.op(min, {rd(8, 0x1), r(8, xxxx), r(6, yyyy)});
    // Scaled and clamped to 0..1; the encoding's coordinates at the square roots.
    p.op(mul, {rd(3, 0x7, true), r(3), r(8, xxxx)});
    p.op(max, {rd(3, 0x7), r(3), c(10, xxxx)});
    p.op(rsq, {rd(5, 0x1), r(3, xxxx)});
    p.op(rsq, {rd(5, 0x2), r(3, yyyy)});
    p.op(rsq, {rd(5, 0x4), r(3, zzzz)});
    p.op(mul, {rd(3, 0x7), r(3), r(5)});
    p.op(mad, {rd(3), r(3), c(11, yyyy), c(6, yyyy)});
    p.op(mov, {rd(6), r(3, yyyy)});
    p.op(mov, {rd(7), r(3, zzzz)});
    p.tex(0, r(3), 6);
    p.tex(1, r(6), 6);
    p.tex(2, r(7), 6);
    // Opaque, dithered as the YUV shader dithers.
    p.op(mov, {rd(5, 0x8), c(10, wwww)});
    p.op(mov, {rd(5, 0x1), r(0, xxxx)});
    p.op(mov, {rd(5, 0x2), r(1, xxxx)});
    p.op(mov, {rd(5, 0x4), r(2, xxxx)});
    p.op(mad, {rd(5), r(4, xxxx), c(4), r(5)});
    p.op(add, {rd(5), r(5), c(5)});
    p.op(mov, {dst(colour_out, 0), r(5)});
    return p.finish();
}

// The picture's quad with the shader: the planes' coordinates and the pixel's place in the
// dither's pattern (back-buffer pixels / 4, the pattern repeated).
struct picture_vertex {
    float x, y, z, rhw;
    float s0, t0;  // luma
    float s1, t1;  // chroma
    float s2, t2;  // the dither pattern
};
const DWORD kPictureFvf = D3DFVF_XYZRHW | D3DFVF_TEX3;

// A corner of the picture's quad, in pixels of the back buffer (pre-transformed).
struct quad_vertex {
    float x, y, z, rhw;
    float s0, t0;  // luma
    float s1, t1;  // chroma (U and V alike)
};
const DWORD kQuadFvf = D3DFVF_XYZRHW | D3DFVF_TEX2;

template <typename T>
void release(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}

// Windowed, one back buffer at the window's client size in the desktop's format, presented at
// the display's refresh.
D3DPRESENT_PARAMETERS present_parameters()
{
    D3DPRESENT_PARAMETERS pp;
    std::memset(&pp, 0, sizeof(pp));
    pp.Windowed = TRUE;
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.BackBufferFormat = D3DFMT_UNKNOWN;
    // D3DPRESENT_INTERVAL_DEFAULT (0): each present waits for one refresh, as _ONE does.
    return pp;
}

// Present results after which the device is gone for good and must be made again.
bool device_is_gone(HRESULT hr)
{
    return hr == D3DERR_DRIVERINTERNALERROR || hr == D3DERR_DEVICEREMOVED || hr == D3DERR_DEVICEHUNG;
}

}  // namespace

kel_direct3d::kel_direct3d()
    : m_nWidth(1920), m_nHeight(1080), m_pD3D(nullptr), m_pd3dDevice(nullptr), m_pd3dSurface(nullptr),
      m_spareSurface(nullptr), m_rtViewport{}, m_PresentWnd(nullptr), m_device(device_tier::none), m_retryAt(0),
      m_backBuffer{0, 0}, m_shaderCapable(false), m_l16(false), m_maxTexture{0, 0}, m_shader(nullptr),
      m_ditherPattern(nullptr), m_lightShader(nullptr), m_lightTables{}, m_lutHalf(false),
      m_lutFilled(false), m_lutRetryDelay(0), m_lutRetryAt(0), m_lut(new light_lut), m_frame{},
      m_frameFilled(false), m_noPlanes{}, m_noYv12(false), m_frameFailed(false), m_frameRetryAt(0), m_planes{}, m_picture(nullptr),
      m_pow2Only(false), m_dynamicTextures(false), m_drawn(false), m_recoveries(0), m_sizeResets(0)
{
}

void kel_direct3d::set_shader_allowed_for_testing(bool allowed)
{
    g_shader_allowed.store(allowed);
}

void kel_direct3d::set_light_tables_fail_for_testing(bool fail)
{
    g_tables_fail.store(fail);
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
// 100 to 180 ms, a new device a few milliseconds more than a reset, new frame resources almost
// nothing.
bool kel_direct3d::initializeD3D(HWND presentWnd)
{
    // Made already for this window (or being brought back by readyD3D, at its own pace).
    if (m_device != device_tier::none && presentWnd == m_PresentWnd)
        return m_device == device_tier::working;
    m_PresentWnd = presentWnd;
    return makeDevice();
}

// The Direct3D object (kept while it works) and a new device. On failure the device tier is
// `failed`, tried again in kRebuildMs.
bool kel_direct3d::makeDevice()
{
    releaseFrameResources();
    releaseOverlays();
    release(m_shader);
    release(m_ditherPattern);
    releaseLightShader();
    release_counted(m_pd3dDevice);
    m_device = device_tier::failed;
    auto failed = [this] {
        retryIn(kRebuildMs);
        return false;
    };
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
    m_noPlanes = frame_plan{};
    m_noYv12 = false;
    m_frameFailed = false;
    m_device = device_tier::working;
    backBufferFitsWindow();
    return true;
}

// Whether YUV frames can take our pixel shader on this device: shaders 2.0, dynamic luminance
// textures of any size (and the test seam allows it). Frames above the device's largest texture
// go through a surface instead (the frame plan): the driver's YV12 conversion for the older
// pushes' frames, the processor's for the others.
void kel_direct3d::chooseConversion()
{
    m_shaderCapable = false;
    m_l16 = false;
    release(m_shader);
    release(m_ditherPattern);
    releaseLightShader();
    D3DCAPS9 caps;
    if (FAILED(m_pd3dDevice->GetDeviceCaps(&caps))) {
        m_maxTexture[0] = m_maxTexture[1] = 2048;  // what every Direct3D 9 device takes
        m_pow2Only = true;
        m_dynamicTextures = false;
        return;
    }
    m_maxTexture[0] = int(caps.MaxTextureWidth);
    m_maxTexture[1] = int(caps.MaxTextureHeight);
    m_pow2Only = (caps.TextureCaps & D3DPTEXTURECAPS_POW2) && !(caps.TextureCaps & D3DPTEXTURECAPS_NONPOW2CONDITIONAL);
    m_dynamicTextures = (caps.Caps2 & D3DCAPS2_DYNAMICTEXTURES) != 0;
    if (!g_shader_allowed.load() || caps.PixelShaderVersion < D3DPS_VERSION(2, 0) || !m_dynamicTextures)
        return;
    D3DDISPLAYMODE mode;
    if (m_pow2Only || FAILED(m_pd3dDevice->GetDisplayMode(0, &mode)) ||
        FAILED(m_pD3D->CheckDeviceFormat(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, mode.Format, D3DUSAGE_DYNAMIC,
                                         D3DRTYPE_TEXTURE, D3DFMT_L8)))
        return;
    // 16-bit luminance textures that are filtered as such (else 10-bit frames go the processor's way).
    m_l16 = SUCCEEDED(m_pD3D->CheckDeviceFormat(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, mode.Format,
                                                D3DUSAGE_DYNAMIC | D3DUSAGE_QUERY_FILTER, D3DRTYPE_TEXTURE, D3DFMT_L16));
    HRESULT hr = m_pd3dDevice->CreatePixelShader(kYuvShader, &m_shader);
    if (FAILED(hr))
        kel_log_hresult("IDirect3DDevice9::CreatePixelShader (YUV is converted without it)", hr, KEL_LOG_WARNING);
    // The ordered dither's 4 x 4 thresholds, 0..1 (managed: it outlives a reset).
    if (SUCCEEDED(hr)) {
        hr = m_pd3dDevice->CreateTexture(4, 4, 1, 0, D3DFMT_L8, D3DPOOL_MANAGED, &m_ditherPattern, nullptr);
        D3DLOCKED_RECT locked;
        if (SUCCEEDED(hr) && SUCCEEDED(m_ditherPattern->LockRect(0, &locked, nullptr, 0))) {
            static const uint8_t order[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4; ++x)
                    static_cast<uint8_t*>(locked.pBits)[y * locked.Pitch + x] = uint8_t(order[y][x] * 17);
            m_ditherPattern->UnlockRect(0);
        } else {
            kel_log_hresult("IDirect3DDevice9::CreateTexture (the dither; YUV is converted without the shader)",
                            FAILED(hr) ? hr : E_FAIL, KEL_LOG_WARNING);
            release(m_ditherPattern);
            release(m_shader);
            hr = E_FAIL;
        }
    }
    m_shaderCapable = SUCCEEDED(hr);
    if (m_shaderCapable)
        makeLightShader(uint32_t(mode.Format));
}

// The light on the GPU: the light shader, and its tables in float textures the device filters
// (R32F, else R16F), managed so that they outlive a reset. Without them the processor converts
// the light of frames that need it.
void kel_direct3d::makeLightShader(uint32_t display_format)
{
    releaseLightShader();
    D3DFORMAT format = D3DFMT_UNKNOWN;
    for (D3DFORMAT f : {D3DFMT_R32F, D3DFMT_R16F})
        if (SUCCEEDED(m_pD3D->CheckDeviceFormat(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, D3DFORMAT(display_format),
                                                D3DUSAGE_QUERY_FILTER, D3DRTYPE_TEXTURE, f))) {
            format = f;
            break;
        }
    if (format == D3DFMT_UNKNOWN) {
        kel_log(KEL_LOG_INFO, "Direct3D 9: no filtered float textures; HDR light is converted by the processor");
        return;
    }
    const std::vector<DWORD> tokens = light_shader_tokens();
    HRESULT hr = m_pd3dDevice->CreatePixelShader(tokens.data(), &m_lightShader);
    for (IDirect3DTexture9*& t : m_lightTables)
        if (SUCCEEDED(hr))
            hr = m_pd3dDevice->CreateTexture(UINT(kLightLutEntries), 1, 1, 0, format, D3DPOOL_MANAGED, &t, nullptr);
    m_lutHalf = format == D3DFMT_R16F;
    if (FAILED(hr)) {
        kel_log_hresult("Direct3D 9: the light shader (HDR light is converted by the processor)", hr,
                        KEL_LOG_WARNING);
        releaseLightShader();
    }
}

void kel_direct3d::releaseLightShader()
{
    release(m_lightShader);
    for (IDirect3DTexture9*& t : m_lightTables)
        release(t);
    m_lutFilled = false;
    m_lutRetryDelay = 0;
}

// The light shader's tables for `p`, unless they hold them already. False when a table cannot
// be written (a moment's shortage of memory, say): frames' light then goes the processor's way,
// and the tables are written again for the first frame with light from kRebuildMs on (twice as
// long after each failure in a row, up to a minute).
bool kel_direct3d::fillLightTables(const light_params& p)
{
    if (!m_lightShader)
        return false;
    if (m_lutFilled && m_lutFor == p)
        return true;
    if (m_lutRetryDelay && GetTickCount64() < m_lutRetryAt)
        return false;
    make_light_lut(p, m_lut.get());
    const float* const tables[3] = {m_lut->decode, m_lut->gain, m_lut->encode};
    for (int i = 0; i < 3; ++i) {
        D3DLOCKED_RECT locked;
        if (g_tables_fail.load() || !lock(m_lightTables[i], &locked, 0, "IDirect3DTexture9::LockRect (a light table)")) {
            if (!m_lutRetryDelay)
                kel_log(KEL_LOG_WARNING, "Direct3D 9: HDR light is converted by the processor until the light "
                                         "tables can be written");
            // Tried again later and later while it lasts (each try logs the lock's failure).
            m_lutRetryDelay = m_lutRetryDelay ? std::min<DWORD>(m_lutRetryDelay * 2, 60000) : kRebuildMs;
            m_lutRetryAt = GetTickCount64() + m_lutRetryDelay;
            m_lutFilled = false;  // a table may have been written, the others not
            return false;
        }
        if (!m_lutHalf) {
            std::memcpy(locked.pBits, tables[i], sizeof(float) * kLightLutEntries);
        } else {
            uint16_t* out = static_cast<uint16_t*>(locked.pBits);
            for (int k = 0; k < kLightLutEntries; ++k)
                out[k] = half_float(tables[i][k]);
        }
        m_lightTables[i]->UnlockRect(0);
    }
    if (m_lutRetryDelay)
        kel_log(KEL_LOG_INFO, "Direct3D 9: the light tables are written; HDR light is converted by the light shader");
    m_lutRetryDelay = 0;
    m_lutFor = p;
    m_lutFilled = true;
    return true;
}

renderer_caps kel_direct3d::caps() const
{
    renderer_caps c;
    c.yuv_shader = m_shaderCapable && m_shader;
    // While the light tables could not be written, until they are tried again, frames are
    // planned for the processor's light.
    c.light_shader = c.yuv_shader && m_lightShader && !(m_lutRetryDelay && GetTickCount64() < m_lutRetryAt);
    c.r16_textures = m_l16;
    c.yv12_surfaces = !m_noYv12;
    c.power_of_two = m_pow2Only;
    c.max_texture_width = m_maxTexture[0];
    c.max_texture_height = m_maxTexture[1];
    c.rgb_in_texture = true;  // an X8R8G8B8 texture, drawn as the plan's quad
    c.bgra_upload = true;
    return c;
}

void kel_direct3d::backBufferSize(int* width, int* height) const
{
    *width = m_backBuffer[0];
    *height = m_backBuffer[1];
}

// Whether the back buffer has the window's client size; notes the back buffer's size.
bool kel_direct3d::backBufferFitsWindow()
{
    IDirect3DSurface9* back = nullptr;
    D3DSURFACE_DESC desc;
    if (SUCCEEDED(m_pd3dDevice->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)) && SUCCEEDED(back->GetDesc(&desc))) {
        m_backBuffer[0] = int(desc.Width);
        m_backBuffer[1] = int(desc.Height);
    }
    release(back);
    RECT rc{};
    GetClientRect(m_PresentWnd, &rc);
    return m_backBuffer[0] == std::max(int(rc.right - rc.left), 1) && m_backBuffer[1] == std::max(int(rc.bottom - rc.top), 1);
}

bool kel_direct3d::readyD3D()
{
    switch (m_device) {
    case device_tier::none:
        return false;
    case device_tier::failed:
        if (!m_PresentWnd || !due() || !makeDevice())
            return false;
        ++m_recoveries;
        kel_log(KEL_LOG_INFO, "Direct3D 9 device made again; frames are shown again");
        break;
    case device_tier::lost:
        if (!due())
            return false;
        break;
    case device_tier::working:
        break;
    }
    const HRESULT hr = checked(checked_call::test_cooperative_level, m_pd3dDevice->TestCooperativeLevel());
    if (hr == D3D_OK) {
        if (m_device == device_tier::lost) {
            m_device = device_tier::working;
            ++m_recoveries;
            kel_log(KEL_LOG_INFO, "Direct3D 9 device back without a reset");
        }
        // The window may have changed size while the device could not take it.
        return resizeD3D();
    }
    if (m_device != device_tier::lost)
        kel_log_hresult("IDirect3DDevice9::TestCooperativeLevel", hr, KEL_LOG_INFO);
    m_device = device_tier::lost;
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

// The device is of no further use: everything is made again, starting now.
void kel_direct3d::scheduleRebuild()
{
    releaseD3D();
    m_device = device_tier::failed;
    m_retryAt = GetTickCount();
}

// Brings a lost device back once the system allows it; the frame's resources are made again by
// the next paint.
bool kel_direct3d::resetDevice()
{
    releaseFrameResources();
    releaseOverlays();
    const HRESULT hr = resetBackBuffer();
    if (hr == D3DERR_DEVICELOST) {
        retryIn(kRecheckMs);
        return false;
    }
    if (FAILED(hr)) {
        kel_log_hresult("IDirect3DDevice9::Reset (after a lost device)", hr);
        scheduleRebuild();
        return false;
    }
    m_device = device_tier::working;
    backBufferFitsWindow();
    ++m_recoveries;
    kel_log(KEL_LOG_INFO, "Direct3D 9 device reset after a loss; frames are shown again");
    return true;
}

// The frame's resources must be released first: Reset fails while a D3DPOOL_DEFAULT resource
// lives.
HRESULT kel_direct3d::resetBackBuffer()
{
    D3DPRESENT_PARAMETERS pp = present_parameters();
    return checked(checked_call::reset, m_pd3dDevice->Reset(&pp));
}

bool kel_direct3d::resizeD3D()
{
    // A device being brought back takes the window's size on the way; none yet, none needed.
    if (m_device != device_tier::working)
        return false;
    if (backBufferFitsWindow())
        return true;
    releaseFrameResources();
    releaseOverlays();
    const HRESULT hr = resetBackBuffer();
    if (hr == D3DERR_DEVICELOST) {
        kel_log(KEL_LOG_INFO, "Direct3D 9 device lost while taking the window's new size; it comes back later");
        m_device = device_tier::lost;
        retryIn(kRecheckMs);
        return false;
    }
    if (FAILED(hr)) {
        kel_log_hresult("IDirect3DDevice9::Reset (new window size)", hr);
        scheduleRebuild();
        return false;
    }
    ++m_sizeResets;
    backBufferFitsWindow();
    return true;
}

// The resources `plan` names, in D3DPOOL_DEFAULT (released before a reset and made again after
// it): the plane textures, or the picture texture, with two YV12 surfaces taking frames in turn
// for the driver's conversion (the next frame goes into the one the device is not drawing from;
// a device that cannot make the second works with one). Plane textures that cannot be made leave
// the shader aside for frames of this layout: the frame is planned again without it.
bool kel_direct3d::makeFrameResources(const frame_plan& plan)
{
    releaseFrameResources();
    if (plan.route == draw_route::planes) {
        for (int i = 0; i < 3; ++i) {
            const plan_texture& t = plan.textures[i];
            const D3DFORMAT format = t.format == texel_format::r16 ? D3DFMT_L16 : D3DFMT_L8;
            const HRESULT hr = m_pd3dDevice->CreateTexture(UINT(t.width), UINT(t.height), 1, D3DUSAGE_DYNAMIC,
                                                           format, D3DPOOL_DEFAULT, &m_planes[i], nullptr);
            if (FAILED(hr)) {
                kel_log_hresult("IDirect3DDevice9::CreateTexture (a plane; frames of this size are converted "
                                "without the shader)",
                                hr, KEL_LOG_WARNING);
                m_planes[i] = nullptr;
                releaseFrameResources();
                m_noPlanes = plan;
                return makeFrameResources(withoutShader(plan));
            }
        }
    } else {
        // The picture in an X8R8G8B8 texture, drawn with the plan's corners (crop, flip, rotation):
        // filled by the processor (dynamic where the device has dynamic textures), or, for the
        // driver's YV12 conversion, a render target it stretches a YV12 surface into.
        const plan_texture& t = plan.textures[0];
        const bool yv12 = plan.route == draw_route::yv12;
        const DWORD usage = yv12 ? D3DUSAGE_RENDERTARGET : m_dynamicTextures ? D3DUSAGE_DYNAMIC : 0;
        HRESULT hr = m_pd3dDevice->CreateTexture(UINT(t.width), UINT(t.height), 1, usage, D3DFMT_X8R8G8B8,
                                                 yv12 || m_dynamicTextures ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED,
                                                 &m_picture, nullptr);
        if (FAILED(hr)) {
            m_picture = nullptr;
            if (yv12)
                return withoutDriverYv12(plan, "IDirect3DDevice9::CreateTexture (a render target)", hr);
            kel_log_hresult("IDirect3DDevice9::CreateTexture (the picture)", hr);
            return false;
        }
        for (IDirect3DSurface9** surface : {&m_pd3dSurface, &m_spareSurface}) {
            if (!yv12)
                break;
            hr = m_pd3dDevice->CreateOffscreenPlainSurface(UINT(t.width), UINT(t.height), kYV12, D3DPOOL_DEFAULT,
                                                           surface, nullptr);
            if (FAILED(hr)) {
                *surface = nullptr;
                if (surface == &m_pd3dSurface) {
                    releaseFrameResources();
                    return withoutDriverYv12(plan, "IDirect3DDevice9::CreateOffscreenPlainSurface (YV12)", hr);
                }
                break;
            }
        }
        // Black until the first frame arrives.
        IDirect3DSurface9* level = nullptr;
        if (yv12 && SUCCEEDED(m_picture->GetSurfaceLevel(0, &level)))
            m_pd3dDevice->ColorFill(level, nullptr, D3DCOLOR_ARGB(0xFF, 0, 0, 0));
        release(level);
    }
    m_nWidth = plan.width;
    m_nHeight = plan.height;
    m_frame = plan;
    m_frameFilled = false;
    kel_log(KEL_LOG_INFO, "Direct3D 9 ready for %dx%d frames; YUV converted by %s", m_nWidth, m_nHeight,
            plan.shape.format != pixel_format::i420 ? "nobody (RGB frames)"
            : plan.route == draw_route::planes     ? "our pixel shader"
            : plan.route == draw_route::yv12       ? "the driver (YV12)"
                                                   : "the processor");
    return true;
}

void kel_direct3d::releaseFrameResources()
{
    release(m_picture);
    release(m_pd3dSurface);
    release(m_spareSurface);
    for (IDirect3DTexture9*& t : m_planes)
        release(t);
    m_frame.texture_count = 0;
    m_frameFilled = false;
}

// Where the driver cannot convert YV12 into a texture (no render-target textures, or none that
// large, or a stretch it refuses), the processor converts for the rest of the device's life.
bool kel_direct3d::withoutDriverYv12(const frame_plan& plan, const char* what, HRESULT hr)
{
    kel_log_hresult(what, hr, KEL_LOG_WARNING);
    kel_log(KEL_LOG_WARNING, "Direct3D 9: the driver's YV12 conversion is left aside; the processor converts");
    m_noYv12 = true;
    return makeFrameResources(replanned(plan));
}

// The same frame planned again with what this device turned out to lack.
frame_plan kel_direct3d::replanned(const frame_plan& plan) const
{
    return plan_frame(plan.shape, plan.width, plan.height, plan.target.width, plan.target.height, caps(),
                      plan.transform, tone_choice{plan.light.curve, plan.light.sdr_white});
}

// The plan for the same frame where the shader's textures cannot be made.
frame_plan kel_direct3d::withoutShader(const frame_plan& plan) const
{
    renderer_caps c = caps();
    c.yuv_shader = false;
    return plan_frame(plan.shape, plan.width, plan.height, plan.target.width, plan.target.height, c, plan.transform,
                      tone_choice{plan.light.curve, plan.light.sdr_white});
}

void kel_direct3d::releaseD3D()
{
    m_drawn = false;
    releaseFrameResources();
    releaseOverlays();
    m_noPlanes = frame_plan{};
    m_frameFailed = false;
    release(m_shader);
    release(m_ditherPattern);
    releaseLightShader();
    release_counted(m_pd3dDevice);
    release(m_pD3D);
    m_device = device_tier::none;
}

// Frame resources that cannot be made (the device is short of memory) are tried again in
// kRebuildMs, with the device kept.
void kel_direct3d::paintD3D(const uint8_t* buf, const frame_plan& plan, bool upload)
{
    if (!buf || m_device != device_tier::working || plan.texture_count == 0)
        return;
    const bool no_planes = plan.route == draw_route::planes && m_noPlanes.texture_count > 0 &&
                           same_textures(plan, m_noPlanes);
    // The light shader's tables before anything is uploaded for it: where they cannot be
    // written, the frame is planned again for the processor's light.
    const bool no_tables = plan.route == draw_route::planes && plan.light.converts() && !fillLightTables(plan.light);
    const frame_plan& want = no_planes                                                 ? withoutShader(plan)
                             : no_tables || (plan.route == draw_route::yv12 && m_noYv12) ? replanned(plan)
                                                                                        : plan;
    if (m_frame.texture_count == 0 || !same_textures(m_frame, want)) {
        if (m_frameFailed && int32_t(GetTickCount() - m_frameRetryAt) < 0)
            return;
        m_frameFailed = !makeFrameResources(want);
        if (m_frameFailed) {
            m_frameRetryAt = GetTickCount() + kRebuildMs;
            return;
        }
    } else {
        m_frame = want;  // the same resources: new colours, a new target
    }
    if (upload || !m_frameFilled) {
        bool filled = m_frame.route == draw_route::planes ? uploadPlanes(buf, m_frame)
                      : m_frame.route == draw_route::yv12   ? uploadYv12(buf, m_frame)
                                                            : uploadPicture(buf, m_frame);
        if (!filled && m_frame.route == draw_route::yv12 && m_noYv12) {
            // The stretch was refused: this frame, and those after it, through the processor.
            const frame_plan again = replanned(m_frame);
            m_frameFailed = !makeFrameResources(again);
            filled = !m_frameFailed && uploadPicture(buf, m_frame);
        }
        if (!filled)
            return;
        m_frameFilled = true;
    }
    // The overlays are this paint's only: their bitmaps are the render thread's for the pass.
    m_frame.quad_count = plan.quad_count;
    m_frame.overlay_ids = plan.overlay_ids;
    std::copy(plan.quads, plan.quads + plan.quad_count, m_frame.quads);
    DrawImage();
    m_frame.quad_count = 0;
}

void kel_direct3d::SetYUVbuffer(LPBYTE pBuffer, long lLen)
{
    const frame_shape shape = legacy_yuv_shape(m_nWidth, m_nHeight);
    if (!pBuffer || lLen < int64_t(planes_of(shape, m_nWidth, m_nHeight).bytes) || !readyD3D())
        return;
    paintD3D(pBuffer, plan_frame(shape, m_nWidth, m_nHeight, m_backBuffer[0], m_backBuffer[1], caps()), true);
}

// A YV12 frame into the off-screen surface the device is not drawing from, which the driver then
// converts into the picture texture. The spare is locked without waiting; only when the device
// still reads even that one (two frames back) does the lock wait: this thread only draws, and a
// frame skipped for a busy device would be a frame lost to the viewer.
bool kel_direct3d::uploadYv12(const uint8_t* buf, const frame_plan& plan)
{
    if (!m_pd3dSurface || !m_picture)
        return false;
    IDirect3DSurface9* target = m_spareSurface ? m_spareSurface : m_pd3dSurface;
    D3DLOCKED_RECT locked{};
    HRESULT hr = target->LockRect(&locked, nullptr, D3DLOCK_DONOTWAIT);
    if (SUCCEEDED(hr) && !locked.pBits)
        target->UnlockRect();
    if (hr != D3DERR_WASSTILLDRAWING && (FAILED(hr) || !locked.pBits)) {
        lock_checked(hr, locked, "IDirect3DSurface9::LockRect");
        return false;
    }
    if (!locked.pBits && !lock(target, &locked, 0, "IDirect3DSurface9::LockRect (YV12)"))
        return false;
    copy_yuv420_to_yv12(static_cast<uint8_t*>(locked.pBits), locked.Pitch, plan.textures[0].width,
                        plan.textures[0].height, buf + plan.planes[0].offset, buf + plan.planes[1].offset,
                        buf + plan.planes[2].offset, plan.width, plan.height);
    if (FAILED(target->UnlockRect()))
        return false;
    if (target == m_spareSurface)
        std::swap(m_pd3dSurface, m_spareSurface);
    // The whole surface, its padding repeating the frame's edges, as the plan's corners expect.
    IDirect3DSurface9* level = nullptr;
    hr = m_picture->GetSurfaceLevel(0, &level);
    if (SUCCEEDED(hr))
        hr = m_pd3dDevice->StretchRect(m_pd3dSurface, nullptr, level, nullptr, D3DTEXF_LINEAR);
    release(level);
    if (FAILED(hr)) {
        kel_log_hresult("IDirect3DDevice9::StretchRect (YV12 into the picture)", hr, KEL_LOG_WARNING);
        m_noYv12 = true;
        return false;
    }
    return true;
}

// R, G, B (or B, G, R, A) into the picture texture, after what the plan has the processor do
// first (convert YUV, reduce a picture beyond the largest texture). Where only powers of two are
// allowed, the picture's last column and row are repeated once beside it, so that the filter at
// its edge finds no foreign texels.
bool kel_direct3d::uploadPicture(const uint8_t* buf, const frame_plan& plan)
{
    if (!m_picture)
        return false;
    const plan_texture& t = plan.textures[0];
    const int w = plan.width, h = plan.height;
    const uint8_t* pixels = buf + plan.planes[0].offset;
    size_t stride = size_t(plan.planes[0].stride);
    bool bgra = plan.shape.format == pixel_format::bgra;
    try {
        if (plan.convert_yuv || plan.bgra_to_rgb) {
            m_converted.resize(size_t(w) * size_t(h) * 3);
            if (plan.convert_yuv)
            {
                if (plan.light.converts())
                    m_light.prepare(plan.light);
                yuv_planes_to_rgb(buf + plan.planes[0].offset, buf + plan.planes[1].offset, buf + plan.planes[2].offset,
                                  w, h, plan.shape, m_converted.data(), m_converted.size(),
                                  plan.light.converts() ? &m_light : nullptr);
            }
            else
                bgra_to_rgb(pixels, stride, w, h, m_converted.data());
            pixels = m_converted.data();
            stride = size_t(w) * 3;
            bgra = false;
        }
        if (plan.reduce) {
            m_scaled.resize(size_t(t.content_width) * size_t(t.content_height) * 3);
            downscale_rgb(pixels, w, h, stride, m_scaled.data(), t.content_width, t.content_height, m_scaled.size());
            pixels = m_scaled.data();
            stride = size_t(t.content_width) * 3;
        }
    } catch (const std::bad_alloc&) {
        std::vector<uint8_t>().swap(m_converted);
        std::vector<uint8_t>().swap(m_scaled);
        return false;
    }
    D3DLOCKED_RECT locked;
    if (!lock(m_picture, &locked, m_dynamicTextures ? D3DLOCK_DISCARD : 0, "IDirect3DTexture9::LockRect (the picture)"))
        return false;
    uint8_t* bits = static_cast<uint8_t*>(locked.pBits);
    const int cw = t.content_width, ch = t.content_height;
    copy_rgb_to_xrgb(bits, locked.Pitch, pixels, stride, bgra, cw, ch);
    if (t.width > cw)
        for (int y = 0; y < ch; ++y)
            std::memcpy(bits + size_t(y) * size_t(locked.Pitch) + size_t(cw) * 4,
                        bits + size_t(y) * size_t(locked.Pitch) + size_t(cw - 1) * 4, 4);
    if (t.height > ch)
        std::memcpy(bits + size_t(ch) * size_t(locked.Pitch), bits + size_t(ch - 1) * size_t(locked.Pitch),
                    size_t(std::min(t.width, cw + 1)) * 4);
    m_picture->UnlockRect(0);
    return true;
}

// Each plane into its texture, row by row at the texture's pitch. DISCARD: the driver hands out
// fresh memory while the GPU may still read the previous frame, so the copy never waits.
bool kel_direct3d::uploadPlanes(const uint8_t* buf, const frame_plan& plan)
{
    static const uint8_t grey = 0x80;  // the chroma of a frame too small to have any
    static const uint16_t grey16 = 0x8000;  // and in a 16-bit texture
    for (int i = 0; i < 3; ++i) {
        const plan_texture& t = plan.textures[i];
        D3DLOCKED_RECT locked;
        if (!m_planes[i] ||
            !lock(m_planes[i], &locked, D3DLOCK_DISCARD, "IDirect3DTexture9::LockRect (a plane of the frame)"))
            return false;
        if (t.grey)
            copy_plane_rows(static_cast<uint8_t*>(locked.pBits), locked.Pitch,
                            t.format == texel_format::r16 ? reinterpret_cast<const uint8_t*>(&grey16) : &grey, 2,
                            t.format == texel_format::r16 ? 2 : 1, 1);
        else
            copy_plane_rows(static_cast<uint8_t*>(locked.pBits), locked.Pitch, buf + plan.planes[i].offset,
                            size_t(plan.planes[i].stride), t.content_width * (t.format == texel_format::r16 ? 2 : 1),
                            t.content_height);
        m_planes[i]->UnlockRect(0);
    }
    return true;
}

void kel_direct3d::DrawImage()
{
    if (!m_pd3dDevice || m_frame.texture_count == 0)
        return;
    const plan_rect& t = m_frame.target;
    m_rtViewport = RECT{t.x, t.y, t.x + t.width, t.y + t.height};
    m_pd3dDevice->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_ARGB(0xFF, 0, 0, 0), 1.0f, 0);
    m_pd3dDevice->BeginScene();
    drawQuad();
    drawOverlays();
    m_pd3dDevice->EndScene();
    m_drawn = true;
}

// One quad over the target with the plan's corners: the three planes bilinearly filtered and
// converted by the shader, or the picture texture through the fixed pipeline. Pixel centres lie
// at whole coordinates: the quad starts half a pixel before them.
void kel_direct3d::drawQuad()
{
    const bool planes = m_frame.route == draw_route::planes;
    if (planes ? !m_planes[0] : !m_picture)
        return;
    const plan_rect& r = m_frame.target;
    const float x0 = float(r.x) - 0.5f, y0 = float(r.y) - 0.5f;
    const float x1 = x0 + float(r.width), y1 = y0 + float(r.height);
    const plan_corners& l = m_frame.textures[0].corners;
    const plan_corners& c = planes ? m_frame.textures[1].corners : l;
    const float xy[4][2] = {{x0, y0}, {x1, y0}, {x0, y1}, {x1, y1}};
    picture_vertex quad[4];
    for (int i = 0; i < 4; ++i)
        quad[i] = picture_vertex{xy[i][0], xy[i][1], 0.0f, 1.0f, l.s[i], l.t[i], c.s[i], c.t[i],
                                 (xy[i][0] + 0.5f) / 4.0f, (xy[i][1] + 0.5f) / 4.0f};
    IDirect3DDevice9* d = m_pd3dDevice;
    d->SetRenderState(D3DRS_ZENABLE, D3DZB_FALSE);
    d->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    d->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    d->SetRenderState(D3DRS_LIGHTING, FALSE);
    const DWORD samplers = planes ? 3 : 1;
    for (DWORD i = 0; i < samplers; ++i) {
        d->SetTexture(i, planes ? static_cast<IDirect3DBaseTexture9*>(m_planes[i]) : m_picture);
        d->SetSamplerState(i, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
        d->SetSamplerState(i, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
        d->SetSamplerState(i, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
        d->SetSamplerState(i, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
        d->SetSamplerState(i, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
    }
    if (planes) {
        const bool light = m_frame.light.converts() && lightOnGpu() && m_lutFor == m_frame.light;
        d->SetPixelShader(light ? m_lightShader : m_shader);
        d->SetPixelShaderConstantF(0, &m_frame.constants[0][0], 4);
        if (light) {
            const float* const k = m_lut->coords;
            const float coords[4] = {k[0], k[1], k[2], 0.0f};
            const float limits[4] = {m_lut->gain_limit, k[3], 0.0f, 0.0f};
            d->SetPixelShaderConstantF(6, coords, 1);
            d->SetPixelShaderConstantF(7, &m_frame.light_constants[1][0], 3);
            d->SetPixelShaderConstantF(11, limits, 1);
            for (DWORD i = 0; i < 3; ++i) {
                d->SetTexture(4 + i, m_lightTables[i]);
                d->SetSamplerState(4 + i, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
                d->SetSamplerState(4 + i, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
                d->SetSamplerState(4 + i, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
                d->SetSamplerState(4 + i, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
                d->SetSamplerState(4 + i, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
            }
        }
        // The dither: 10-bit frames' output to the 8 bits of the back buffer.
        const float a = m_frame.dither;
        const float dither[2][4] = {{a, a, a, 0.0f}, {-0.5f * a, -0.5f * a, -0.5f * a, 0.0f}};
        d->SetPixelShaderConstantF(4, &dither[0][0], 2);
        d->SetTexture(3, m_ditherPattern);
        d->SetSamplerState(3, D3DSAMP_MINFILTER, D3DTEXF_POINT);
        d->SetSamplerState(3, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
        d->SetSamplerState(3, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
        d->SetSamplerState(3, D3DSAMP_ADDRESSU, D3DTADDRESS_WRAP);
        d->SetSamplerState(3, D3DSAMP_ADDRESSV, D3DTADDRESS_WRAP);
    } else {
        d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
        d->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
        d->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
        d->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
        d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
    }
    d->SetFVF(kPictureFvf);
    d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(picture_vertex));
    d->SetPixelShader(nullptr);
    for (DWORD i = 0; i < samplers; ++i)
        d->SetTexture(i, nullptr);
    if (planes)
        for (DWORD i = 3; i < 7; ++i)
            d->SetTexture(i, nullptr);
}

// An overlay's bitmap into its id's A8R8G8B8 texture (B, G, R, A in memory, as the bitmap),
// unless it holds that bitmap already; the texture is made again for another size. Dynamic
// where the device has dynamic textures (written once, no copy kept by the runtime; released
// before a reset), managed otherwise. Padding to a power of two is transparent.
bool kel_direct3d::uploadOverlay(const plan_quad& q)
{
    const overlay_bitmap& b = *q.bitmap;
    IDirect3DTexture9*& tex = m_overlayTex[q.texture];
    if (tex && m_overlaySerial[q.texture] == b.serial)
        return true;
    if (m_overlayFailed[q.texture] == b.serial)
        return false;  // this bitmap's texture could not be made: tried again for another
    D3DSURFACE_DESC desc;
    if (tex && (FAILED(tex->GetLevelDesc(0, &desc)) || int(desc.Width) != q.texture_width ||
                int(desc.Height) != q.texture_height))
        release(tex);
    if (!tex) {
        const HRESULT hr = m_pd3dDevice->CreateTexture(
            UINT(q.texture_width), UINT(q.texture_height), 1, m_dynamicTextures ? D3DUSAGE_DYNAMIC : 0, D3DFMT_A8R8G8B8,
            m_dynamicTextures ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED, &tex, nullptr);
        if (FAILED(hr)) {
            kel_log_hresult("IDirect3DDevice9::CreateTexture (an overlay; it is not shown)", hr, KEL_LOG_WARNING);
            tex = nullptr;
            m_overlayFailed[q.texture] = b.serial;
            return false;
        }
    }
    m_overlaySerial[q.texture] = 0;
    D3DLOCKED_RECT locked;
    if (!lock(tex, &locked, m_dynamicTextures ? D3DLOCK_DISCARD : 0, "IDirect3DTexture9::LockRect (an overlay)"))
        return false;
    uint8_t* bits = static_cast<uint8_t*>(locked.pBits);
    const size_t row = size_t(b.content.width) * 4, pitch = size_t(locked.Pitch);
    // Padding to a power of two: the last column once more beside the content and the last row
    // below it (the filter at the content's edge finds the edge, as a texture of its own size
    // clamps), transparent beyond.
    const int cw = b.content.width, ch = b.content.height;
    for (int y = 0; y < q.texture_height; ++y) {
        uint8_t* dst = bits + size_t(y) * pitch;
        if (y < ch) {
            std::memcpy(dst, b.bgra.data() + size_t(y) * row, row);
            std::memset(dst + row, 0, size_t(q.texture_width) * 4 - row);
            if (q.texture_width > cw)
                std::memcpy(dst + row, dst + row - 4, 4);
        } else if (y == ch) {
            std::memcpy(dst, bits + size_t(ch - 1) * pitch, size_t(q.texture_width) * 4);
        } else {
            std::memset(dst, 0, size_t(q.texture_width) * 4);
        }
    }
    tex->UnlockRect(0);
    m_overlaySerial[q.texture] = b.serial;
    count_overlay_upload();
    return true;
}

// The paint's overlay quads over the picture, premultiplied: the texture modulated by the
// opacity (the texture factor) in all four channels, blended with ONE, INVSRCALPHA.
void kel_direct3d::drawOverlays()
{
    for (int i = 0; i < kMaxOverlays; ++i)
        if (m_overlayTex[i] && !(m_frame.overlay_ids & (1u << i))) {
            release(m_overlayTex[i]);  // a removed overlay's texture goes with it
            m_overlaySerial[i] = 0;
        }
    if (m_frame.quad_count == 0)
        return;
    IDirect3DDevice9* d = m_pd3dDevice;
    d->SetPixelShader(nullptr);
    d->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
    d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
    d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    d->SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_ADD);
    d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
    d->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    d->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_TFACTOR);
    d->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_MODULATE);
    d->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
    d->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_TFACTOR);
    d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
    d->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    d->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    d->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
    d->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
    d->SetSamplerState(0, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
    d->SetFVF(kQuadFvf);
    for (int i = 0; i < m_frame.quad_count; ++i) {
        const plan_quad& q = m_frame.quads[i];
        if (!q.bitmap || !uploadOverlay(q))
            continue;
        const float x0 = float(q.target.x) - 0.5f, y0 = float(q.target.y) - 0.5f;
        const float x1 = x0 + float(q.target.width), y1 = y0 + float(q.target.height);
        const float xy[4][2] = {{x0, y0}, {x1, y0}, {x0, y1}, {x1, y1}};
        quad_vertex quad[4];
        for (int c = 0; c < 4; ++c)
            quad[c] = quad_vertex{xy[c][0], xy[c][1], 0.0f, 1.0f, q.corners.s[c], q.corners.t[c], 0.0f, 0.0f};
        const DWORD o = DWORD(std::lround(q.opacity * 255.0f));
        d->SetRenderState(D3DRS_TEXTUREFACTOR, D3DCOLOR_ARGB(o, o, o, o));
        d->SetTexture(0, m_overlayTex[q.texture]);
        d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(quad_vertex));
    }
    d->SetTexture(0, nullptr);
    d->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
}

void kel_direct3d::releaseOverlays()
{
    for (int i = 0; i < kMaxOverlays; ++i) {
        release(m_overlayTex[i]);
        m_overlaySerial[i] = 0;
        m_overlayFailed[i] = 0;
    }
}

bool kel_direct3d::presentD3D()
{
    if (!m_drawn || !m_pd3dDevice)
        return false;
    m_drawn = false;
    const HRESULT hr = checked(checked_call::present, m_pd3dDevice->Present(nullptr, nullptr, nullptr, nullptr));
    if (hr == D3DERR_DEVICELOST) {
        kel_log(KEL_LOG_INFO, "Direct3D 9 device lost (IDirect3DDevice9::Present); frames are skipped until it is back");
        m_device = device_tier::lost;
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
