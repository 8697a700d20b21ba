// kel_direct3d11: the Direct3D 11 renderer. Runs on the instance's render thread, which creates,
// uses and releases the device (construction and destruction excepted).
#include "kel_direct3d11.h"

#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi1_3.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "kel_vout_log.h"
#include "present_pacing.h"
#include "surface_copy.h"
#include "yuv_convert.h"

namespace {

// A device that could not be made is tried again this long after the failure.
const DWORD kRebuildMs = 500;
// The longest a paint waits for the swap chain to take another frame (a display that stopped
// answering must not stop the render thread).
const DWORD kLatencyWaitMs = 100;
// The longest a present waits for the one before it (present_pacing.h).
const DWORD kPresentWaitMs = 100;
// Only the render thread ever uses a device: the runtime need not lock for other threads.
const UINT kDeviceFlags = D3D11_CREATE_DEVICE_SINGLETHREADED;

std::atomic<kel_direct3d11::result_hook> g_result_hook{nullptr};
std::atomic<const char*> g_compiler_for_testing{nullptr};
std::atomic<int> g_live_devices{0};  // made and not yet destroyed, process-wide

// Vertex, YUV, RGB, overlay, YUV with light and dither, YUV with dither (as m_code).
constexpr int kShaderCount = 6;
constexpr int kLightShader = 4;   // the ones a device may do without
constexpr int kDitherShader = 5;
// The shader's constants: the YUV matrix's, the light's, the light tables'.
constexpr int kConstantVectors = 4 + kLightConstants + 2;

// The conversion, one shader source for every device (the declarations, then the shaders). It is compiled on the user's machine by
// the system's own compiler (d3dcompiler_47.dll, part of Windows since 8.1): the build runs on
// hosts without Microsoft's shader compiler, and bytecode from another compiler is not what
// Windows drivers are tested with.
const char kShaderCommon[] = R"(
cbuffer frame : register(b0)
{
    float4 coef_y;   // R, G, B per unit of Y
    float4 coef_u;   // and of U
    float4 coef_v;   // and of V
    float4 offsets;  // added to R, G, B
    // The light and the dither (light_shader_constants).
    float4 mode;     // x decoding (0 none, 1 BT.1886, 2 PQ, 3 HLG), y curve (0 BT.2390, 1 Hable,
                     // 2 clip, -1 none), z dither amplitude, w light per unit decoded
    float4 prim_r;   // BT.2020 (or BT.709) to BT.709, rows
    float4 prim_g;
    float4 prim_b;
    float4 tone;     // Hable: x 1 / hable(peak); BT.2390: x source peak in PQ, y its inverse, z knee, w maxLum
    float4 units;    // x SDR white / 10000, y its inverse, z peak in units of SDR white
    // The light tables' coordinates (light_lut): x R' to the decoding's, y half a texel, z 1 /
    // the gains' range, w the tables' span; and x the gain's limit over the brightest channel.
    float4 tables;
    float4 limits;
};
Texture2D plane0 : register(t0);
Texture2D plane1 : register(t1);
Texture2D plane2 : register(t2);
SamplerState bilinear : register(s0);

struct corner
{
    float4 pos : SV_Position;
    float2 luma : TEXCOORD0;
    float2 chroma : TEXCOORD1;
};

corner vs_main(float2 pos : POSITION, float2 luma : TEXCOORD0, float2 chroma : TEXCOORD1)
{
    corner o;
    o.pos = float4(pos, 0.0, 1.0);
    o.luma = luma;
    o.chroma = chroma;
    return o;
}

)";
const char kShaderSource[] = R"(
float4 ps_yuv(corner i) : SV_Target
{
    float3 rgb = offsets.rgb + plane0.Sample(bilinear, i.luma).r * coef_y.rgb
               + plane1.Sample(bilinear, i.chroma).r * coef_u.rgb
               + plane2.Sample(bilinear, i.chroma).r * coef_v.rgb;
    return float4(rgb, 1.0);
}

float4 ps_rgb(corner i) : SV_Target
{
    return float4(plane0.Sample(bilinear, i.luma).rgb, 1.0);
}

// An overlay, premultiplied, its opacity in the second coordinate pair.
float4 ps_overlay(corner i) : SV_Target
{
    return plane0.Sample(bilinear, i.luma) * i.chroma.x;
}
)";

// The light in a source of its own: a compiler that cannot take it leaves only the light to
// the processor.
const char kLightSource[] = R"(
// The light from the light tables (light_lut), at coordinates computed from the values: no
// branches, and only square roots (as powers: not every compiler this must build with has sqrt).
Texture2D decoding : register(t3);
Texture2D gains : register(t4);
Texture2D encoding : register(t5);

float4 ps_light(corner i) : SV_Target
{
    float3 rgb = offsets.rgb + plane0.Sample(bilinear, i.luma).r * coef_y.rgb
               + plane1.Sample(bilinear, i.chroma).r * coef_u.rgb
               + plane2.Sample(bilinear, i.chroma).r * coef_v.rgb;
    float3 d = rgb * tables.x + tables.y;
    float3 lin = float3(decoding.Sample(bilinear, float2(d.r, 0.5)).r, decoding.Sample(bilinear, float2(d.g, 0.5)).r,
                        decoding.Sample(bilinear, float2(d.b, 0.5)).r);
    float3 v = float3(dot(prim_r.rgb, lin), dot(prim_g.rgb, lin), dot(prim_b.rgb, lin));
    float sig = max(max(v.r, v.g), max(v.b, 1e-6));
    float g = min(gains.Sample(bilinear, float2(pow(sig * tables.z, 0.5) * tables.w + tables.y, 0.5)).r,
                  limits.x / sig);
    float3 e = pow(min(max(v * g, 0.0), 1.0), 0.5) * tables.w + tables.y;
    rgb = float3(encoding.Sample(bilinear, float2(e.r, 0.5)).r, encoding.Sample(bilinear, float2(e.g, 0.5)).r,
                 encoding.Sample(bilinear, float2(e.b, 0.5)).r);
    // Interleaved gradient noise over the pixel grid, centred on 0.
    float n = dot(i.pos.xy, float2(0.06711056, 0.00583715));
    n = 52.9829189 * (n - floor(n));
    float noise = n - floor(n);
    return float4(rgb + (noise - 0.5) * mode.z, 1.0);
}


)";

const char kDitherSource[] = R"(
// 10-bit SDR frames: the conversion and the dither alone.
float4 ps_dither(corner i) : SV_Target
{
    float3 rgb = offsets.rgb + plane0.Sample(bilinear, i.luma).r * coef_y.rgb
               + plane1.Sample(bilinear, i.chroma).r * coef_u.rgb
               + plane2.Sample(bilinear, i.chroma).r * coef_v.rgb;
    float n = dot(i.pos.xy, float2(0.06711056, 0.00583715));
    n = 52.9829189 * (n - floor(n));
    float noise = n - floor(n);
    return float4(rgb + (noise - 0.5) * mode.z, 1.0);
}

)";

// A corner of the quad: clip-space position, then the luma (or picture) and chroma texture
// coordinates the plan gives it.
struct quad_vertex {
    float x, y;
    float s0, t0;
    float s1, t1;
};

template <typename T>
void release_com(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}

bool device_is_gone(HRESULT hr)
{
    return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET || hr == DXGI_ERROR_DEVICE_HUNG ||
           hr == DXGI_ERROR_DRIVER_INTERNAL_ERROR;
}

const char* level_name(D3D_FEATURE_LEVEL level)
{
    switch (level) {
    case D3D_FEATURE_LEVEL_11_1: return "11_1";
    case D3D_FEATURE_LEVEL_11_0: return "11_0";
    case D3D_FEATURE_LEVEL_10_1: return "10_1";
    case D3D_FEATURE_LEVEL_10_0: return "10_0";
    default: return "below 10_0";
    }
}

const char* effect_name(DXGI_SWAP_EFFECT effect)
{
    switch (effect) {
    case DXGI_SWAP_EFFECT_FLIP_DISCARD: return "FLIP_DISCARD";
    case DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL: return "FLIP_SEQUENTIAL";
    default: return "DISCARD";
    }
}

// The client size of wnd, at least 1 x 1 (a swap chain has no empty buffers).
void client_size(HWND wnd, int* w, int* h)
{
    RECT rc{};
    GetClientRect(wnd, &rc);
    *w = std::max(int(rc.right - rc.left), 1);
    *h = std::max(int(rc.bottom - rc.top), 1);
}

// A system DLL, from the system folder only: where it is missing, a DLL of that name in the
// program's folder, the current one or on PATH must not take its place.
HMODULE load_system_dll(const char* name)
{
    HMODULE m = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!m && GetLastError() == ERROR_INVALID_PARAMETER) {
        // Systems without the safe search flags (Windows 7 before its 2011 update): the full path.
        char path[MAX_PATH + 32];
        const UINT n = GetSystemDirectoryA(path, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            path[n] = '\\';
            lstrcpynA(path + n + 1, name, int(sizeof(path) - n - 1));
            m = LoadLibraryA(path);
        }
    }
    return m;
}

// The system's shader compiler, loaded while shaders are compiled. Newest first.
HMODULE load_compiler(const char** name)
{
    static const char* const names[] = {"d3dcompiler_47.dll", "d3dcompiler_46.dll", "d3dcompiler_43.dll"};
    const char* const testing = g_compiler_for_testing.load();
    for (const char* n : names) {
        if (testing)
            n = testing;
        if (HMODULE m = testing ? LoadLibraryA(n) : load_system_dll(n)) {
            *name = n;
            return m;
        }
    }
    return nullptr;
}

// D3D11CreateDevice, loaded rather than linked: the library also serves systems without
// Direct3D 11, and loads it once, for the rest of the process.
PFN_D3D11_CREATE_DEVICE d3d11_create_device()
{
    static const PFN_D3D11_CREATE_DEVICE create = [] {
        HMODULE d3d11 = load_system_dll("d3d11.dll");
        return d3d11 ? reinterpret_cast<PFN_D3D11_CREATE_DEVICE>(
                           reinterpret_cast<void*>(GetProcAddress(d3d11, "D3D11CreateDevice")))
                     : nullptr;
    }();
    return create;
}

// Compiled shaders, shared by the process's instances: compiling takes longer than making a
// device. Filled once; read under the lock.
struct shader_cache {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<uint8_t> code[kShaderCount];
    const char* compiler = nullptr;  // the DLL that compiled them
};

shader_cache& shaders()
{
    static shader_cache cache;
    return cache;
}

}  // namespace

kel_direct3d11::kel_direct3d11() = default;

kel_direct3d11::~kel_direct3d11()
{
    releaseD3D11();
}

void kel_direct3d11::set_result_hook_for_testing(result_hook hook)
{
    g_result_hook.store(hook);
}

int kel_direct3d11::live_devices()
{
    return g_live_devices.load();
}

void kel_direct3d11::set_compiler_for_testing(const char* dll)
{
    g_compiler_for_testing.store(dll);
}

HRESULT kel_direct3d11::checked(checked_call call, HRESULT hr)
{
    const result_hook hook = g_result_hook.load();
    return hook ? hook(call, hr) : hr;
}

bool kel_direct3d11::initializeD3D11(HWND wnd)
{
    // Made already for this window (or being made again by readyD3D11, at its own pace).
    if (wnd == m_wnd && (m_device || m_rebuild))
        return m_device != nullptr && !m_rebuild;
    m_wnd = wnd;
    release_device();
    m_rebuild = true;
    m_retryAt = GetTickCount();
    return readyD3D11();
}

renderer_caps kel_direct3d11::caps() const
{
    renderer_caps c;
    c.yuv_shader = true;
    c.r16_textures = true;    // R16_UNORM, filtered, on every feature level we make
    c.light_shader = m_psLight != nullptr;  // with its tables
    c.rgb_in_texture = true;  // a B8G8R8A8 texture; frames never exceed its limit
    c.bgra_upload = true;
    return c;
}

void kel_direct3d11::backBufferSize(int* width, int* height) const
{
    *width = m_targetWidth;
    *height = m_targetHeight;
}

void kel_direct3d11::release_textures()
{
    for (int i = 0; i < 3; ++i) {
        release_com(m_views[i]);
        release_com(m_planes[i]);
    }
    m_frame.texture_count = 0;
}

void kel_direct3d11::release_overlays()
{
    for (int i = 0; i < kMaxOverlays; ++i) {
        release_com(m_overlayViews[i]);
        release_com(m_overlayTex[i]);
        m_overlaySerial[i] = 0;
        m_overlayFailed[i] = 0;
    }
}

void kel_direct3d11::release_device()
{
    m_drawn = false;
    m_stateDirty = m_constantsDirty = m_quadDirty = true;
    // Nothing bound, every object released, then the queued work flushed: the swap chain is gone
    // for good before another is made for the same window.
    if (m_context)
        m_context->ClearState();
    release_textures();
    release_overlays();
    release_com(m_target);
    release_com(m_presentDone);
    m_presentPending = false;
    if (m_latency)
        CloseHandle(m_latency);
    m_latency = nullptr;
    release_com(m_swap);
    release_com(m_sampler);
    release_com(m_cbuffer);
    release_com(m_quad);
    release_com(m_layout);
    release_com(m_blend);
    release_com(m_overlayQuads);
    release_com(m_psOverlay);
    release_com(m_psRgb);
    release_com(m_psYuv);
    release_light_shaders();
    release_com(m_vs);
    if (m_context)
        m_context->Flush();
    release_com(m_context);
    if (m_device) {
        // The last reference: a device something else still holds would live on unseen.
        if (m_device->Release() == 0)
            --g_live_devices;
        else
            kel_log(KEL_LOG_WARNING, "a released Direct3D 11 device is still referenced elsewhere");
        m_device = nullptr;
    }
}

void kel_direct3d11::releaseD3D11()
{
    release_device();
    m_rebuild = false;
    m_everMade = false;  // a device made after this is a first one again
}

void kel_direct3d11::schedule_rebuild(const char* why, HRESULT hr)
{
    if (m_device && (hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET)) {
        char reason[160];
        kel_hresult_text(m_device->GetDeviceRemovedReason(), reason, sizeof(reason));
        kel_log(KEL_LOG_INFO, "Direct3D 11 device removed (%s; reason: %s); everything is made again", why, reason);
    } else {
        kel_log_hresult(why, hr, KEL_LOG_WARNING);
    }
    release_device();
    m_rebuild = true;
    m_retryAt = GetTickCount();
}

// Whether a frame may be drawn now: a device that is gone is made again when it is time to try.
bool kel_direct3d11::readyD3D11()
{
    if (!m_rebuild)
        return m_device != nullptr;
    if (!m_wnd || int32_t(GetTickCount() - m_retryAt) < 0)
        return false;
    release_device();
    if (make_device() && make_swap_chain() && make_target()) {
        m_rebuild = false;
        if (m_everMade) {
            ++m_resets;
            kel_log(KEL_LOG_INFO, "Direct3D 11 device made again; frames are shown again");
        }
        m_everMade = true;
        return true;
    }
    release_device();
    m_retryAt = GetTickCount() + kRebuildMs;
    return false;
}

// The shaders' bytecode, from the process's cache or compiled now. The compiler is loaded only
// meanwhile: the blobs it returns live in its module, so their bytes are copied out before it
// goes.
bool kel_direct3d11::loadShaders()
{
    if (!d3d11_create_device()) {
        kel_log(KEL_LOG_ERROR, "LoadLibrary (d3d11.dll) failed: no Direct3D 11 on this system");
        return false;
    }
    shader_cache& cache = shaders();
    const bool testing = g_compiler_for_testing.load() != nullptr;
    AcquireSRWLockShared(&cache.lock);
    bool cached = !testing && !cache.code[0].empty();
    try {
        if (cached) {
            for (int i = 0; i < kShaderCount; ++i)
                m_code[i] = cache.code[i];
            m_compiler = cache.compiler;
        }
    } catch (const std::bad_alloc&) {
        cached = false;
    }
    ReleaseSRWLockShared(&cache.lock);
    if (cached)
        return true;

    const char* name = nullptr;
    HMODULE compiler = load_compiler(&name);
    if (!compiler) {
        kel_log(KEL_LOG_ERROR,
                "LoadLibrary (d3dcompiler_47.dll) failed: no shader compiler on this system (Windows 8.1 and later "
                "have it; Windows 7 needs the DirectX runtime's)");
        return false;
    }
    auto compile = reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(compiler, "D3DCompile")));
    if (!compile)
        kel_log_last_error("GetProcAddress (D3DCompile)");
    static const char* const entries[kShaderCount][2] = {
        {"vs_main", "vs_4_0"}, {"ps_yuv", "ps_4_0"}, {"ps_rgb", "ps_4_0"}, {"ps_overlay", "ps_4_0"},
        {"ps_light", "ps_4_0"}, {"ps_dither", "ps_4_0"}};
    bool ok = compile != nullptr;
    for (int i = 0; i < kShaderCount && ok; ++i) {
        ID3D10Blob* code = nullptr;
        ID3D10Blob* errors = nullptr;
        std::string source;
        try {
            source = std::string(kShaderCommon) +
                     (i == kLightShader ? kLightSource : i == kDitherShader ? kDitherSource : kShaderSource);
        } catch (const std::bad_alloc&) {
            ok = false;
            break;
        }
        const HRESULT hr = compile(source.data(), source.size(), "kel_vout_d3d11", nullptr, nullptr, entries[i][0],
                                   entries[i][1], D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
        if (SUCCEEDED(hr) && code) {
            const uint8_t* bytes = static_cast<const uint8_t*>(code->GetBufferPointer());
            try {
                m_code[i].assign(bytes, bytes + code->GetBufferSize());
            } catch (const std::bad_alloc&) {
                ok = false;
            }
        } else if (i >= kLightShader) {
            // Without it the processor converts light; every other frame is shown as before.
            kel_log(KEL_LOG_WARNING, "D3DCompile (%s) failed, %s: %s", entries[i][0],
                    i == kLightShader ? "light is converted on the processor" : "10-bit frames are not dithered",
                    errors ? static_cast<const char*>(errors->GetBufferPointer()) : "no message");
            m_code[i].clear();
        } else {
            kel_log(KEL_LOG_ERROR, "D3DCompile (%s) failed: %s", entries[i][0],
                    errors ? static_cast<const char*>(errors->GetBufferPointer()) : "no message");
            ok = false;
        }
        release_com(errors);
        release_com(code);
    }
    FreeLibrary(compiler);
    if (!ok) {
        for (std::vector<uint8_t>& code : m_code)
            std::vector<uint8_t>().swap(code);
        return false;
    }
    m_compiler = name;
    AcquireSRWLockExclusive(&cache.lock);
    try {
        if (!testing && cache.code[0].empty()) {
            for (int i = 0; i < kShaderCount; ++i)
                cache.code[i] = m_code[i];
            cache.compiler = name;
        }
    } catch (const std::bad_alloc&) {
        for (std::vector<uint8_t>& code : cache.code)
            std::vector<uint8_t>().swap(code);
    }
    ReleaseSRWLockExclusive(&cache.lock);
    return true;
}

// The device, its shaders and the fixed state: a hardware device, else WARP (the system's
// software rasterizer), feature level 10_0 or better.
bool kel_direct3d11::make_device()
{
    if (m_code[0].empty() && !loadShaders())
        return false;

    const PFN_D3D11_CREATE_DEVICE create = d3d11_create_device();
    if (!create)
        return false;
    static const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                               D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};
    D3D_FEATURE_LEVEL level{};
    const char* kind = "hardware";
    HRESULT hr = E_FAIL;
    for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
        kind = type == D3D_DRIVER_TYPE_HARDWARE ? "hardware" : "WARP (software)";
        hr = create(nullptr, type, nullptr, kDeviceFlags, levels, UINT(std::size(levels)), D3D11_SDK_VERSION, &m_device,
                               &level, &m_context);
        // Systems before Windows 8 refuse a list that names 11_1.
        if (hr == E_INVALIDARG)
            hr = create(nullptr, type, nullptr, kDeviceFlags, levels + 1, UINT(std::size(levels) - 1),
                                   D3D11_SDK_VERSION, &m_device, &level, &m_context);
        hr = checked(checked_call::create_device, hr);
        if (SUCCEEDED(hr)) {
            ++g_live_devices;
            break;
        }
        kel_log_hresult(type == D3D_DRIVER_TYPE_HARDWARE ? "D3D11CreateDevice (hardware; WARP is tried next)"
                                                         : "D3D11CreateDevice (WARP)",
                        hr, type == D3D_DRIVER_TYPE_HARDWARE ? KEL_LOG_WARNING : KEL_LOG_ERROR);
        release_com(m_context);
        release_com(m_device);
    }
    if (FAILED(hr))
        return false;

    D3D11_BUFFER_DESC vb{};
    vb.ByteWidth = sizeof(quad_vertex) * 4;
    vb.Usage = D3D11_USAGE_DYNAMIC;
    vb.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    vb.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    D3D11_BUFFER_DESC cb{};
    cb.ByteWidth = sizeof(float) * 4 * kConstantVectors;
    cb.Usage = D3D11_USAGE_DEFAULT;
    cb.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    static const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 1, DXGI_FORMAT_R32G32_FLOAT, 0, 16, D3D11_INPUT_PER_VERTEX_DATA, 0}};
    D3D11_BUFFER_DESC ovb = vb;
    ovb.ByteWidth = sizeof(quad_vertex) * 4 * frame_plan::kMaxQuads;
    D3D11_BLEND_DESC bd{};
    D3D11_RENDER_TARGET_BLEND_DESC& rt = bd.RenderTarget[0];
    rt.BlendEnable = TRUE;
    rt.SrcBlend = rt.SrcBlendAlpha = D3D11_BLEND_ONE;
    rt.DestBlend = rt.DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
    rt.BlendOp = rt.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    rt.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    D3D11_SAMPLER_DESC sd{};
    sd.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sd.AddressU = sd.AddressV = sd.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sd.ComparisonFunc = D3D11_COMPARISON_NEVER;
    sd.MaxLOD = D3D11_FLOAT32_MAX;
    const struct {
        const char* call;
        HRESULT hr;
    } steps[] = {
        {"ID3D11Device::CreateVertexShader",
         m_device->CreateVertexShader(m_code[0].data(), m_code[0].size(), nullptr, &m_vs)},
        {"ID3D11Device::CreatePixelShader (YUV)",
         m_device->CreatePixelShader(m_code[1].data(), m_code[1].size(), nullptr, &m_psYuv)},
        {"ID3D11Device::CreatePixelShader (RGB)",
         m_device->CreatePixelShader(m_code[2].data(), m_code[2].size(), nullptr, &m_psRgb)},
        {"ID3D11Device::CreatePixelShader (overlays)",
         m_device->CreatePixelShader(m_code[3].data(), m_code[3].size(), nullptr, &m_psOverlay)},
        {"ID3D11Device::CreateBuffer (the overlays' quads)", m_device->CreateBuffer(&ovb, nullptr, &m_overlayQuads)},
        {"ID3D11Device::CreateBlendState (premultiplied)", m_device->CreateBlendState(&bd, &m_blend)},
        {"ID3D11Device::CreateInputLayout",
         m_device->CreateInputLayout(layout, 3, m_code[0].data(), m_code[0].size(), &m_layout)},
        {"ID3D11Device::CreateBuffer (the quad)", m_device->CreateBuffer(&vb, nullptr, &m_quad)},
        {"ID3D11Device::CreateBuffer (the constants)", m_device->CreateBuffer(&cb, nullptr, &m_cbuffer)},
        {"ID3D11Device::CreateSamplerState", m_device->CreateSamplerState(&sd, &m_sampler)},
    };
    for (const auto& step : steps) {
        if (FAILED(step.hr)) {
            kel_log_hresult(step.call, step.hr);
            return false;
        }
    }
    make_light_shaders();
    if (presents_spin_while_queued()) {
        // Without it presents go on, spinning while one is queued (see present_pacing.h).
        const D3D11_QUERY_DESC event_query{D3D11_QUERY_EVENT, 0};
        const HRESULT hr = m_device->CreateQuery(&event_query, &m_presentDone);
        if (FAILED(hr))
            kel_log_hresult("ID3D11Device::CreateQuery (an event)", hr, KEL_LOG_WARNING);
    }

    char adapter_name[128] = "an unknown adapter";
    IDXGIDevice* dxgi = nullptr;
    IDXGIAdapter* adapter = nullptr;
    DXGI_ADAPTER_DESC desc;
    if (SUCCEEDED(m_device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgi))) &&
        SUCCEEDED(dxgi->GetAdapter(&adapter)) && SUCCEEDED(adapter->GetDesc(&desc)))
        WideCharToMultiByte(CP_UTF8, 0, desc.Description, -1, adapter_name, sizeof(adapter_name), nullptr, nullptr);
    release_com(adapter);
    release_com(dxgi);
    kel_log(KEL_LOG_INFO, "Direct3D 11 %s device on %s, feature level %s; shaders compiled at run time by %s", kind,
            adapter_name, level_name(level), m_compiler);
    return true;
}

// The swap chain on the window: flip model where the system has it (FLIP_DISCARD from
// Windows 10, FLIP_SEQUENTIAL from 8), the blit model's DISCARD before that; two buffers at the
// window's client size. A waitable swap chain lets each paint wait until the display takes
// another frame, so presents never queue frames behind it; without one the device keeps at
// most one frame queued.
bool kel_direct3d11::make_swap_chain()
{
    int w = 1, h = 1;
    client_size(m_wnd, &w, &h);
    IDXGIDevice1* dxgi = nullptr;
    IDXGIAdapter* adapter = nullptr;
    IDXGIFactory1* factory = nullptr;
    IDXGIFactory2* factory2 = nullptr;
    HRESULT hr = m_device->QueryInterface(__uuidof(IDXGIDevice1), reinterpret_cast<void**>(&dxgi));
    if (SUCCEEDED(hr))
        hr = dxgi->GetAdapter(&adapter);
    if (SUCCEEDED(hr))
        hr = adapter->GetParent(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        kel_log_hresult("IDXGIDevice1::GetAdapter / IDXGIAdapter::GetParent (the DXGI factory)", hr);
        release_com(adapter);
        release_com(dxgi);
        return false;
    }
    if (FAILED(factory->QueryInterface(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(&factory2))))
        factory2 = nullptr;

    struct attempt {
        DXGI_SWAP_EFFECT effect;
        UINT flags;
    };
    static const attempt attempts[] = {
        {DXGI_SWAP_EFFECT_FLIP_DISCARD, DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT},
        {DXGI_SWAP_EFFECT_FLIP_DISCARD, 0},
        {DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL, DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT},
        {DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL, 0},
        {DXGI_SWAP_EFFECT_DISCARD, 0},
    };
    const attempt* made = nullptr;
    for (const attempt& a : attempts) {
        const bool flip = a.effect != DXGI_SWAP_EFFECT_DISCARD;
        if (flip && !factory2)
            continue;
        // The test seam answers before the call, as a system refusing this kind would.
        hr = checked(checked_call::create_swap_chain, S_OK);
        if (FAILED(hr))
            continue;
        if (flip) {
            DXGI_SWAP_CHAIN_DESC1 d{};
            d.Width = UINT(w);
            d.Height = UINT(h);
            d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
            d.SampleDesc.Count = 1;
            d.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
            d.BufferCount = 2;
            d.Scaling = DXGI_SCALING_STRETCH;
            d.SwapEffect = a.effect;
            d.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
            d.Flags = a.flags;
            IDXGISwapChain1* swap1 = nullptr;
            hr = factory2->CreateSwapChainForHwnd(m_device, m_wnd, &d, nullptr, nullptr, &swap1);
            m_swap = swap1;
        } else {
            DXGI_SWAP_CHAIN_DESC d{};
            d.BufferDesc.Width = UINT(w);
            d.BufferDesc.Height = UINT(h);
            d.BufferDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
            d.SampleDesc.Count = 1;
            d.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
            d.BufferCount = 1;
            d.OutputWindow = m_wnd;
            d.Windowed = TRUE;
            d.SwapEffect = a.effect;
            hr = factory->CreateSwapChain(m_device, &d, &m_swap);
        }
        if (SUCCEEDED(hr)) {
            made = &a;
            break;
        }
        release_com(m_swap);
    }
    if (made) {
        // The host's window is the host's: no Alt+Enter, no changes of ours to it.
        factory->MakeWindowAssociation(m_wnd, DXGI_MWA_NO_WINDOW_CHANGES | DXGI_MWA_NO_ALT_ENTER);
        m_swapFlags = made->flags;
        IDXGISwapChain2* swap2 = nullptr;
        if (made->flags && SUCCEEDED(m_swap->QueryInterface(__uuidof(IDXGISwapChain2), reinterpret_cast<void**>(&swap2)))) {
            swap2->SetMaximumFrameLatency(1);
            m_latency = swap2->GetFrameLatencyWaitableObject();
        }
        release_com(swap2);
        if (!m_latency)
            dxgi->SetMaximumFrameLatency(1);
        kel_log(KEL_LOG_INFO, "Direct3D 11 swap chain %s, %dx%d, %s", effect_name(made->effect), w, h,
                m_latency       ? "paced by its waitable object"
                : m_presentDone ? "at most one frame queued, each present after the last one is done"
                                : "at most one frame queued");
    } else {
        kel_log_hresult("IDXGIFactory::CreateSwapChain (every swap effect)", hr);
    }
    release_com(factory2);
    release_com(factory);
    release_com(adapter);
    release_com(dxgi);
    return made != nullptr;
}

bool kel_direct3d11::make_target()
{
    ID3D11Texture2D* back = nullptr;
    HRESULT hr = m_swap->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back));
    if (SUCCEEDED(hr))
        hr = m_device->CreateRenderTargetView(back, nullptr, &m_target);
    if (FAILED(hr)) {
        kel_log_hresult("ID3D11Device::CreateRenderTargetView (the back buffer)", hr);
        release_com(back);
        return false;
    }
    D3D11_TEXTURE2D_DESC desc;
    back->GetDesc(&desc);
    m_targetWidth = int(desc.Width);
    m_targetHeight = int(desc.Height);
    m_stateDirty = true;
    release_com(back);
    return true;
}

// Dynamic textures: each upload maps a fresh copy (WRITE_DISCARD) while the GPU may still read
// the previous frame, so the copy never waits for it. R8 for the planes (R16 for 10-bit ones),
// B8G8R8A8 for a picture.
bool kel_direct3d11::make_textures(const frame_plan& plan)
{
    release_textures();
    const bool rgb = plan.route != draw_route::planes;
    for (int i = 0; i < plan.texture_count; ++i) {
        D3D11_TEXTURE2D_DESC d{};
        d.Width = UINT(plan.textures[i].width);
        d.Height = UINT(plan.textures[i].height);
        d.MipLevels = 1;
        d.ArraySize = 1;
        d.Format = rgb                                              ? DXGI_FORMAT_B8G8R8A8_UNORM
                   : plan.textures[i].format == texel_format::r16 ? DXGI_FORMAT_R16_UNORM
                                                                  : DXGI_FORMAT_R8_UNORM;
        d.SampleDesc.Count = 1;
        d.Usage = D3D11_USAGE_DYNAMIC;
        d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        d.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        HRESULT hr = m_device->CreateTexture2D(&d, nullptr, &m_planes[i]);
        if (SUCCEEDED(hr))
            hr = m_device->CreateShaderResourceView(m_planes[i], nullptr, &m_views[i]);
        if (FAILED(hr)) {
            kel_log_hresult("ID3D11Device::CreateTexture2D / CreateShaderResourceView (a plane of the frame)", hr);
            release_textures();
            return false;
        }
    }
    m_frame = plan;
    m_fresh = true;
    m_stateDirty = m_constantsDirty = m_quadDirty = true;
    return true;
}

void kel_direct3d11::resizeD3D11()
{
    // A device being made again takes the window's size on the way.
    if (!m_swap || m_rebuild)
        return;
    int w = 1, h = 1;
    client_size(m_wnd, &w, &h);
    if (w == m_targetWidth && h == m_targetHeight)
        return;
    m_context->OMSetRenderTargets(0, nullptr, nullptr);
    release_com(m_target);
    m_drawn = false;
    const HRESULT hr =
        checked(checked_call::resize_buffers, m_swap->ResizeBuffers(0, UINT(w), UINT(h), DXGI_FORMAT_UNKNOWN, m_swapFlags));
    if (FAILED(hr)) {
        schedule_rebuild("IDXGISwapChain::ResizeBuffers", hr);
        return;
    }
    ++m_resets;
    if (!make_target())
        schedule_rebuild("the back buffer after a resize could not be used", E_FAIL);
}

void kel_direct3d11::paintD3D11(const uint8_t* buf, const frame_plan& plan, bool upload_frame)
{
    if (!buf || !m_device || m_rebuild || plan.texture_count == 0)
        return;
    wait_for_frame_latency();
    if (m_frame.texture_count == 0 || !same_textures(m_frame, plan)) {
        if (!make_textures(plan)) {
            schedule_rebuild("the frame's textures could not be made", E_FAIL);
            return;
        }
    } else {
        // The same textures: new colours need only the shader's constants, a new target or new
        // texture coordinates only the quad.
        m_constantsDirty = m_constantsDirty || std::memcmp(m_frame.constants, plan.constants, sizeof(plan.constants)) != 0 ||
                           std::memcmp(m_frame.light_constants, plan.light_constants, sizeof(plan.light_constants)) != 0;
        m_quadDirty = m_quadDirty || std::memcmp(&m_frame.target, &plan.target, sizeof(plan.target)) != 0 ||
                      std::memcmp(m_frame.textures, plan.textures, sizeof(plan.textures)) != 0;
        m_frame = plan;
    }
    if (upload_frame || m_fresh) {
        if (!upload(buf)) {
            m_fresh = true;  // some planes may hold the new frame: all of it goes again
            return;
        }
        m_fresh = false;
    }
    draw();
    draw_overlays(plan);
}

// An overlay's bitmap into its id's dynamic B8G8R8A8 texture, unless it holds that bitmap
// already (a fresh copy each time, WRITE_DISCARD, as the frame's planes); the texture is made
// again for another size.
bool kel_direct3d11::upload_overlay(const plan_quad& q)
{
    const overlay_bitmap& b = *q.bitmap;
    const int id = q.texture;
    if (m_overlayTex[id] && m_overlaySerial[id] == b.serial)
        return true;
    if (m_overlayFailed[id] == b.serial)
        return false;  // this bitmap's texture could not be made: tried again for another
    D3D11_TEXTURE2D_DESC d{};
    if (m_overlayTex[id]) {
        m_overlayTex[id]->GetDesc(&d);
        if (int(d.Width) != q.texture_width || int(d.Height) != q.texture_height) {
            release_com(m_overlayViews[id]);
            release_com(m_overlayTex[id]);
        }
    }
    if (!m_overlayTex[id]) {
        d = D3D11_TEXTURE2D_DESC{};
        d.Width = UINT(q.texture_width);
        d.Height = UINT(q.texture_height);
        d.MipLevels = 1;
        d.ArraySize = 1;
        d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        d.SampleDesc.Count = 1;
        d.Usage = D3D11_USAGE_DYNAMIC;
        d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        d.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        HRESULT hr = m_device->CreateTexture2D(&d, nullptr, &m_overlayTex[id]);
        if (SUCCEEDED(hr))
            hr = m_device->CreateShaderResourceView(m_overlayTex[id], nullptr, &m_overlayViews[id]);
        if (FAILED(hr)) {
            kel_log_hresult("ID3D11Device::CreateTexture2D (an overlay; it is not shown)", hr, KEL_LOG_WARNING);
            release_com(m_overlayViews[id]);
            release_com(m_overlayTex[id]);
            m_overlayFailed[id] = b.serial;
            return false;
        }
    }
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = m_context->Map(m_overlayTex[id], 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
    if (FAILED(hr) || !mapped.pData) {
        kel_log_hresult("ID3D11DeviceContext::Map (an overlay; it is not shown)", FAILED(hr) ? hr : E_POINTER,
                        KEL_LOG_WARNING);
        return false;
    }
    copy_plane_rows(static_cast<uint8_t*>(mapped.pData), int(mapped.RowPitch), b.bgra.data(),
                    size_t(b.content.width) * 4, b.content.width * 4, b.content.height);
    m_context->Unmap(m_overlayTex[id], 0);
    m_overlaySerial[id] = b.serial;
    count_overlay_upload();
    return true;
}

// The plan's overlay quads over the picture, premultiplied (ONE, INV_SRC_ALPHA), each from its
// texture. The picture's state is bound again for the next paint.
void kel_direct3d11::draw_overlays(const frame_plan& plan)
{
    for (int i = 0; i < kMaxOverlays; ++i)
        if (m_overlayTex[i] && !(plan.overlay_ids & (1u << i))) {
            release_com(m_overlayViews[i]);  // a removed overlay's texture goes with it
            release_com(m_overlayTex[i]);
            m_overlaySerial[i] = 0;
        }
    if (plan.quad_count == 0 || !m_target || !m_drawn)
        return;
    ID3D11DeviceContext* c = m_context;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(c->Map(m_overlayQuads, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || !mapped.pData)
        return;
    const float w = float(std::max(m_targetWidth, 1)), h = float(std::max(m_targetHeight, 1));
    quad_vertex* v = static_cast<quad_vertex*>(mapped.pData);
    for (int i = 0; i < plan.quad_count; ++i) {
        const plan_quad& q = plan.quads[i];
        const float x0 = 2.0f * float(q.target.x) / w - 1.0f, x1 = 2.0f * float(q.target.x + q.target.width) / w - 1.0f;
        const float y0 = 1.0f - 2.0f * float(q.target.y) / h, y1 = 1.0f - 2.0f * float(q.target.y + q.target.height) / h;
        const float xy[4][2] = {{x0, y0}, {x1, y0}, {x0, y1}, {x1, y1}};
        for (int k = 0; k < 4; ++k)
            v[i * 4 + k] = quad_vertex{xy[k][0], xy[k][1], q.corners.s[k], q.corners.t[k], q.opacity, 0.0f};
    }
    c->Unmap(m_overlayQuads, 0);
    const UINT stride = sizeof(quad_vertex), offset = 0;
    c->IASetVertexBuffers(0, 1, &m_overlayQuads, &stride, &offset);
    c->PSSetShader(m_psOverlay, nullptr, 0);
    const float factor[4] = {0, 0, 0, 0};
    c->OMSetBlendState(m_blend, factor, 0xFFFFFFFF);
    for (int i = 0; i < plan.quad_count; ++i) {
        const plan_quad& q = plan.quads[i];
        if (!q.bitmap || !upload_overlay(q))
            continue;
        c->PSSetShaderResources(0, 1, &m_overlayViews[q.texture]);
        c->Draw(4, UINT(i) * 4);
    }
    c->OMSetBlendState(nullptr, factor, 0xFFFFFFFF);
    m_stateDirty = true;
}

bool kel_direct3d11::upload(const uint8_t* buf)
{
    static const uint8_t grey = 0x80;  // the chroma of a frame too small to have any
    static const uint16_t grey16 = 0x8000;  // and in a 16-bit texture
    const frame_plan& plan = m_frame;
    const bool rgb = plan.route != draw_route::planes;
    if (rgb && plan.convert_yuv) {
        // Light the shader cannot convert: YUV to RGB on the processor first.
        try {
            m_converted.resize(size_t(plan.width) * size_t(plan.height) * 3);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(m_converted);
            return false;
        }
        if (plan.light.converts())
            m_light.prepare(plan.light);
        yuv_planes_to_rgb(buf + plan.planes[0].offset, buf + plan.planes[1].offset, buf + plan.planes[2].offset,
                          plan.width, plan.height, plan.shape, m_converted.data(), m_converted.size(),
                          plan.light.converts() ? &m_light : nullptr);
    }
    for (int i = 0; i < plan.texture_count; ++i) {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        const HRESULT hr = m_context->Map(m_planes[i], 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
        if (FAILED(hr) || !mapped.pData) {
            if (device_is_gone(hr))
                schedule_rebuild("ID3D11DeviceContext::Map (a plane of the frame)", hr);
            else
                kel_log_hresult("ID3D11DeviceContext::Map (a plane of the frame; it is skipped)",
                                FAILED(hr) ? hr : E_POINTER, KEL_LOG_WARNING);
            return false;
        }
        uint8_t* bits = static_cast<uint8_t*>(mapped.pData);
        const int pitch = int(mapped.RowPitch);
        const plan_texture& t = plan.textures[i];
        const plan_plane& p = plan.planes[i];
        if (rgb && plan.convert_yuv)
            copy_rgb_to_xrgb(bits, pitch, m_converted.data(), size_t(plan.width) * 3, false, t.content_width,
                             t.content_height);
        else if (rgb)
            copy_rgb_to_xrgb(bits, pitch, buf + p.offset, size_t(p.stride), plan.shape.format == pixel_format::bgra,
                             t.content_width, t.content_height);
        else if (t.grey)
            copy_plane_rows(bits, pitch,
                            t.format == texel_format::r16 ? reinterpret_cast<const uint8_t*>(&grey16) : &grey, 2,
                            t.format == texel_format::r16 ? 2 : 1, 1);
        else
            copy_plane_rows(bits, pitch, buf + p.offset, size_t(p.stride),
                            t.content_width * (t.format == texel_format::r16 ? 2 : 1), t.content_height);
        m_context->Unmap(m_planes[i], 0);
    }
    return true;
}

// The quad over the plan's target, in clip space of the back buffer, with the plan's texture
// coordinates at its corners (as a triangle strip: top-left, top-right, bottom-left,
// bottom-right, the plan's order).
bool kel_direct3d11::update_quad()
{
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(m_context->Map(m_quad, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || !mapped.pData)
        return false;
    const plan_rect& r = m_frame.target;
    const float w = float(std::max(m_targetWidth, 1)), h = float(std::max(m_targetHeight, 1));
    const float x0 = 2.0f * float(r.x) / w - 1.0f, x1 = 2.0f * float(r.x + r.width) / w - 1.0f;
    const float y0 = 1.0f - 2.0f * float(r.y) / h, y1 = 1.0f - 2.0f * float(r.y + r.height) / h;
    const float xy[4][2] = {{x0, y0}, {x1, y0}, {x0, y1}, {x1, y1}};
    const plan_corners& l = m_frame.textures[0].corners;
    const plan_corners& c = m_frame.texture_count > 1 ? m_frame.textures[1].corners : l;
    quad_vertex* v = static_cast<quad_vertex*>(mapped.pData);
    for (int i = 0; i < 4; ++i)
        v[i] = quad_vertex{xy[i][0], xy[i][1], l.s[i], l.t[i], c.s[i], c.t[i]};
    m_context->Unmap(m_quad, 0);
    return true;
}

void kel_direct3d11::wait_for_frame_latency()
{
    if (m_latency)
        WaitForSingleObject(m_latency, kLatencyWaitMs);
}

// Where the system's present would spin until the last one is done (present_pacing.h): waits
// for it here instead, without taking a processor from the driver. A device that is gone
// answers at once; Present then says so.
void kel_direct3d11::wait_for_last_present()
{
    if (!m_presentPending)
        return;
    m_presentPending = false;
    wait_polling([this] { return m_context->GetData(m_presentDone, nullptr, 0, 0) != S_FALSE; }, kPresentWaitMs);
}

// The light shader, and the dither's, and the light tables in float textures the device filters
// (R32_FLOAT, else R16_FLOAT). Without the light shader or its tables the processor converts
// light; without the dither's 10-bit SDR frames are shown undithered.
void kel_direct3d11::make_light_shaders()
{
    release_light_shaders();
    if (!m_code[kDitherShader].empty() &&
        FAILED(m_device->CreatePixelShader(m_code[kDitherShader].data(), m_code[kDitherShader].size(), nullptr,
                                           &m_psDither))) {
        kel_log(KEL_LOG_WARNING, "ID3D11Device::CreatePixelShader (dither) failed; 10-bit frames are not dithered");
        m_psDither = nullptr;
    }
    if (m_code[kLightShader].empty())
        return;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    for (DXGI_FORMAT f : {DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R16_FLOAT}) {
        UINT support = 0;
        if (SUCCEEDED(m_device->CheckFormatSupport(f, &support)) && (support & D3D11_FORMAT_SUPPORT_SHADER_SAMPLE)) {
            format = f;
            break;
        }
    }
    HRESULT hr = format == DXGI_FORMAT_UNKNOWN ? E_NOTIMPL : S_OK;
    if (SUCCEEDED(hr))
        hr = m_device->CreatePixelShader(m_code[kLightShader].data(), m_code[kLightShader].size(), nullptr, &m_psLight);
    D3D11_TEXTURE2D_DESC d{};
    d.Width = UINT(kLightLutEntries);
    d.Height = d.MipLevels = d.ArraySize = 1;
    d.Format = format;
    d.SampleDesc.Count = 1;
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    for (int i = 0; i < 3 && SUCCEEDED(hr); ++i) {
        hr = m_device->CreateTexture2D(&d, nullptr, &m_tables[i]);
        if (SUCCEEDED(hr))
            hr = m_device->CreateShaderResourceView(m_tables[i], nullptr, &m_tableViews[i]);
    }
    if (FAILED(hr)) {
        kel_log_hresult("Direct3D 11: the light shader (light is converted on the processor)", hr, KEL_LOG_WARNING);
        ID3D11PixelShader* dither = m_psDither;
        m_psDither = nullptr;
        release_light_shaders();
        m_psDither = dither;
        return;
    }
    m_tablesHalf = format == DXGI_FORMAT_R16_FLOAT;
}

void kel_direct3d11::release_light_shaders()
{
    release_com(m_psLight);
    release_com(m_psDither);
    for (int i = 0; i < 3; ++i) {
        release_com(m_tableViews[i]);
        release_com(m_tables[i]);
    }
    m_tablesFilled = false;
    m_boundShader = nullptr;
}

// The pixel shader for the frame: RGB pictures; YUV with light from the tables; 10-bit frames
// with the dither; the plain conversion.
ID3D11PixelShader* kel_direct3d11::pixel_shader() const
{
    if (m_frame.route != draw_route::planes)
        return m_psRgb;
    if (m_frame.light.converts() && m_psLight)
        return m_psLight;
    if (m_frame.dither != 0.0f && m_psDither)
        return m_psDither;
    return m_psYuv;
}

// The tables for the frame's light, unless they hold them already (their coordinates go with
// the constants).
bool kel_direct3d11::fill_light_tables()
{
    if (m_tablesFilled && m_tablesFor == m_frame.light)
        return true;
    make_light_lut(m_frame.light, m_lut.get());
    const float* const tables[3] = {m_lut->decode, m_lut->gain, m_lut->encode};
    try {
        std::vector<uint16_t> halves(m_tablesHalf ? size_t(kLightLutEntries) : 0);
        for (int i = 0; i < 3; ++i) {
            const void* data = tables[i];
            if (m_tablesHalf) {
                for (int k = 0; k < kLightLutEntries; ++k)
                    halves[size_t(k)] = half_float(tables[i][k]);
                data = halves.data();
            }
            const UINT pitch = UINT(kLightLutEntries) * (m_tablesHalf ? 2u : 4u);
            m_context->UpdateSubresource(m_tables[i], 0, nullptr, data, pitch, pitch);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_tablesFor = m_frame.light;
    m_tablesFilled = true;
    m_constantsDirty = true;
    return true;
}

// One quad over the whole back buffer (nothing to clear), the planes filtered bilinearly and
// converted by the shader. The pipeline's state stays bound between frames; only what changed
// is set again, and the render target, which a flip model's present unbinds.
void kel_direct3d11::draw()
{
    if (!m_target)
        return;
    ID3D11DeviceContext* c = m_context;
    ID3D11PixelShader* const ps = pixel_shader();
    if (ps == m_psLight && !fill_light_tables())
        return;
    if (m_constantsDirty) {
        float constants[kConstantVectors][4] = {};
        std::memcpy(constants, m_frame.constants, sizeof(m_frame.constants));
        std::memcpy(constants[4], m_frame.light_constants, sizeof(m_frame.light_constants));
        std::memcpy(constants[4 + kLightConstants], m_lut->coords, sizeof(m_lut->coords));
        constants[5 + kLightConstants][0] = m_lut->gain_limit;
        c->UpdateSubresource(m_cbuffer, 0, nullptr, constants, 0, 0);
        m_constantsDirty = false;
    }
    if (m_quadDirty) {
        if (!update_quad())
            return;
        m_quadDirty = false;
    }
    m_stateDirty = m_stateDirty || ps != m_boundShader;
    if (m_stateDirty) {
        D3D11_VIEWPORT vp{0.0f, 0.0f, float(m_targetWidth), float(m_targetHeight), 0.0f, 1.0f};
        c->RSSetViewports(1, &vp);
        const UINT stride = sizeof(quad_vertex), offset = 0;
        c->IASetInputLayout(m_layout);
        c->IASetVertexBuffers(0, 1, &m_quad, &stride, &offset);
        c->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        c->VSSetShader(m_vs, nullptr, 0);
        c->VSSetConstantBuffers(0, 1, &m_cbuffer);
        c->PSSetShader(ps, nullptr, 0);
        m_boundShader = ps;
        c->PSSetConstantBuffers(0, 1, &m_cbuffer);
        c->PSSetShaderResources(0, 3, m_views);  // null chroma views for RGB
        if (ps == m_psLight)
            c->PSSetShaderResources(3, 3, m_tableViews);
        c->PSSetSamplers(0, 1, &m_sampler);
        m_stateDirty = false;
    }
    c->OMSetRenderTargets(1, &m_target, nullptr);
    c->Draw(4, 0);
    m_drawn = true;
}

bool kel_direct3d11::presentD3D11()
{
    if (!m_drawn || !m_swap)
        return false;
    m_drawn = false;
    wait_for_last_present();
    const HRESULT hr = checked(checked_call::present, m_swap->Present(1, 0));
    if (SUCCEEDED(hr) && m_presentDone && !m_latency) {
        m_context->End(m_presentDone);
        m_presentPending = true;
    }
    if (device_is_gone(hr)) {
        schedule_rebuild("IDXGISwapChain::Present", hr);
        return false;
    }
    if (FAILED(hr)) {
        kel_log_hresult("IDXGISwapChain::Present", hr, KEL_LOG_WARNING);
        return false;
    }
    // Occluded: nothing of the window shows; the picture counts as not presented.
    return hr != DXGI_STATUS_OCCLUDED;
}

void kel_direct3d11::readBack(uint8_t* dst, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    std::memset(dst, 0, size_t(width) * size_t(height) * 3);
    if (!m_swap || !m_device || !m_drawn)
        return;
    ID3D11Texture2D* back = nullptr;
    ID3D11Texture2D* copy = nullptr;
    D3D11_TEXTURE2D_DESC desc;
    if (FAILED(m_swap->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back))))
        return;
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    HRESULT hr = m_device->CreateTexture2D(&desc, nullptr, &copy);
    if (SUCCEEDED(hr)) {
        m_context->CopyResource(copy, back);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        hr = m_context->Map(copy, 0, D3D11_MAP_READ, 0, &mapped);
        if (SUCCEEDED(hr) && mapped.pData) {
            copy_xrgb_to_rgb(dst, width, height, static_cast<const uint8_t*>(mapped.pData), int(mapped.RowPitch),
                             int(desc.Width), int(desc.Height));
            m_context->Unmap(copy, 0);
        }
    }
    if (FAILED(hr))
        kel_log_hresult("reading the back buffer (snapshot)", hr, KEL_LOG_WARNING);
    release_com(copy);
    release_com(back);
}
