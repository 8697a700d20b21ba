// The yardstick for vout_bench: what an instance does for each frame, done without the library.
// A 1280x720 host window with a child window filling it, 1920x1080 I420 frames uploaded into three
// luminance textures, converted by a shader (BT.601, limited range), stretched over the child and
// presented, as fast as the device goes. Everything runs on the main thread, which owns both
// windows and the device. Figures only; no pass/fail.
//   bare_loop.exe [--gl | --d3d | --d3d11 [--default-textures]] [--paced] [--seconds N]
// --default-textures: Direct3D 11 planes in default textures written by UpdateSubresource instead
// of dynamic ones written through Map (which the library uses).
// --paced: Direct3D waits for the last present without spinning, as the library does under Wine.
#include <windows.h>

#include <GL/gl.h>
#include <d3d11.h>
#include <d3d9.h>
#include <d3dcompiler.h>
#include <dxgi1_2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_frame.h"

namespace {

// --paced: each present waits for the one before it to be done, polling an event query every
// millisecond, as the library does under Wine, where the plain present spins until then.
bool g_paced = false;

template <typename Done>
void wait_polling(Done done)
{
    const DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < 100)
        Sleep(1);
}

// BT.601 limited range on 0..1 texture values, as four vectors: what Y, U and V add to R, G, B,
// and the constant term (alpha 1).
void bt601_limited(float c[4][4])
{
    const double kr = 0.299, kb = 0.114, kg = 1.0 - kr - kb;
    const double ky = 255.0 / 219.0, kc = 255.0 / 224.0;
    const double rv = 2.0 * (1.0 - kr) * kc;
    const double gu = -2.0 * kb * (1.0 - kb) / kg * kc;
    const double gv = -2.0 * kr * (1.0 - kr) / kg * kc;
    const double bu = 2.0 * (1.0 - kb) * kc;
    const double y0 = 16.0 / 255.0, c0 = 128.0 / 255.0;
    const double m[4][4] = {{ky, ky, ky, 0.0},
                            {0.0, gu, bu, 0.0},
                            {rv, gv, 0.0, 0.0},
                            {-ky * y0 - rv * c0, -ky * y0 - (gu + gv) * c0, -ky * y0 - bu * c0, 1.0}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            c[i][j] = float(m[i][j]);
}

double now_s()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(f.QuadPart);
}

// User plus kernel time of the whole process (every thread, the driver's too), in seconds.
double process_cpu_s()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

void pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

LRESULT CALLBACK video_wndproc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;  // every frame covers the whole client area
    case WM_PAINT:
        ValidateRect(hwnd, nullptr);
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

// The library's arrangement: a frameless top-level host (its client area is exactly the asked
// size) and a child of the device's own class filling it.
bool make_windows(HWND* host, HWND* video)
{
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA host_class{};
    host_class.lpfnWndProc = DefWindowProcA;
    host_class.hInstance = instance;
    host_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    host_class.lpszClassName = "bare_loop_host";
    WNDCLASSA video_class{};
    video_class.style = CS_OWNDC;
    video_class.lpfnWndProc = video_wndproc;
    video_class.hInstance = instance;
    video_class.lpszClassName = "bare_loop_video";
    if (!RegisterClassA(&host_class) || !RegisterClassA(&video_class)) {
        std::printf("RegisterClassA failed (error %lu)\n", GetLastError());
        return false;
    }
    *host = CreateWindowA("bare_loop_host", "bare_loop", WS_POPUP | WS_VISIBLE, 0, 0, kClientWidth, kClientHeight,
                          nullptr, nullptr, instance, nullptr);
    if (!*host) {
        std::printf("CreateWindowA (host) failed (error %lu)\n", GetLastError());
        return false;
    }
    *video = CreateWindowExA(WS_EX_NOPARENTNOTIFY, "bare_loop_video", nullptr,
                             WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                             kClientWidth, kClientHeight, *host, nullptr, instance, nullptr);
    if (!*video) {
        std::printf("CreateWindowExA (child) failed (error %lu)\n", GetLastError());
        return false;
    }
    pump();
    return true;
}

// What a backend does for each frame, and its name for the report.
class renderer {
public:
    virtual ~renderer() = default;
    virtual const char* name() const = 0;
    virtual bool frame(const host_frame& f) = 0;  // upload, draw, present
};

// OpenGL 1.x with ARB_fragment_program and ARB_multitexture: the extension entry points.
typedef void(APIENTRY* active_texture_fn)(GLenum unit);
typedef void(APIENTRY* gen_programs_fn)(GLsizei n, GLuint* programs);
typedef void(APIENTRY* bind_program_fn)(GLenum target, GLuint program);
typedef void(APIENTRY* program_string_fn)(GLenum target, GLenum format, GLsizei len, const void* text);
typedef void(APIENTRY* program_local_fn)(GLenum target, GLuint index, const GLfloat* params);

const GLenum kTexture0 = 0x84C0;            // GL_TEXTURE0_ARB
const GLenum kFragmentProgram = 0x8804;     // GL_FRAGMENT_PROGRAM_ARB
const GLenum kProgramFormatAscii = 0x8875;  // GL_PROGRAM_FORMAT_ASCII_ARB
const GLenum kProgramErrorString = 0x8874;  // GL_PROGRAM_ERROR_STRING_ARB
const GLenum kClampToEdge = 0x812F;
const GLenum kUnpackRowLength = 0x0CF2;

// Every plane is sampled at the luma coordinates: with even sizes the chroma planes span the
// same picture.
const char kYuvProgram[] =
    "!!ARBfp1.0\n"
    "TEMP yuv, rgb;\n"
    "TEX yuv.x, fragment.texcoord[0], texture[0], 2D;\n"
    "TEX yuv.y, fragment.texcoord[0], texture[1], 2D;\n"
    "TEX yuv.z, fragment.texcoord[0], texture[2], 2D;\n"
    "MAD rgb, yuv.x, program.local[0], program.local[3];\n"
    "MAD rgb, yuv.y, program.local[1], rgb;\n"
    "MAD result.color, yuv.z, program.local[2], rgb;\n"
    "END\n";

class gl_renderer final : public renderer {
public:
    ~gl_renderer() override
    {
        if (m_context) {
            wglMakeCurrent(nullptr, nullptr);
            wglDeleteContext(m_context);
        }
    }

    const char* name() const override { return "OpenGL"; }

    bool start(HWND video)
    {
        m_dc = GetDC(video);
        PIXELFORMATDESCRIPTOR pfd{};
        pfd.nSize = sizeof(pfd);
        pfd.nVersion = 1;
        pfd.dwFlags = PFD_DOUBLEBUFFER | PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL;
        pfd.iPixelType = PFD_TYPE_RGBA;
        pfd.cColorBits = 24;
        pfd.iLayerType = PFD_MAIN_PLANE;
        const int format = ChoosePixelFormat(m_dc, &pfd);
        if (!format || !SetPixelFormat(m_dc, format, &pfd)) {
            std::printf("no pixel format for OpenGL (error %lu)\n", GetLastError());
            return false;
        }
        m_context = wglCreateContext(m_dc);
        if (!m_context || !wglMakeCurrent(m_dc, m_context)) {
            std::printf("wglCreateContext / wglMakeCurrent failed (error %lu)\n", GetLastError());
            return false;
        }
        const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
        if (!extensions || !std::strstr(extensions, "GL_ARB_fragment_program") ||
            !std::strstr(extensions, "GL_ARB_multitexture")) {
            std::printf("the context has no GL_ARB_fragment_program or GL_ARB_multitexture\n");
            return false;
        }
        m_active_texture = entry<active_texture_fn>("glActiveTextureARB");
        const auto gen_programs = entry<gen_programs_fn>("glGenProgramsARB");
        const auto bind_program = entry<bind_program_fn>("glBindProgramARB");
        const auto program_string = entry<program_string_fn>("glProgramStringARB");
        const auto program_local = entry<program_local_fn>("glProgramLocalParameter4fvARB");
        if (!m_active_texture || !gen_programs || !bind_program || !program_string || !program_local) {
            std::printf("an ARB_fragment_program or ARB_multitexture entry point is missing\n");
            return false;
        }
        std::printf("OpenGL %s, %s\n", glGetString(GL_VERSION), glGetString(GL_RENDERER));

        GLuint program = 0;
        gen_programs(1, &program);
        bind_program(kFragmentProgram, program);
        program_string(kFragmentProgram, kProgramFormatAscii, GLsizei(std::strlen(kYuvProgram)), kYuvProgram);
        if (glGetError() != GL_NO_ERROR) {
            std::printf("the fragment program was rejected: %s\n", glGetString(kProgramErrorString));
            return false;
        }
        float c[4][4];
        bt601_limited(c);
        for (GLuint i = 0; i < 4; ++i)
            program_local(kFragmentProgram, i, c[i]);
        glEnable(kFragmentProgram);

        // The textures stay bound to their units for the whole run.
        glGenTextures(3, m_textures);
        for (int i = 0; i < 3; ++i) {
            m_active_texture(kTexture0 + i);
            glBindTexture(GL_TEXTURE_2D, m_textures[i]);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, kClampToEdge);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, kClampToEdge);
            const int w = i == 0 ? kFrameWidth : kChromaWidth, h = i == 0 ? kFrameHeight : kChromaHeight;
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, w, h, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, nullptr);
        }
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_BLEND);
        glViewport(0, 0, kClientWidth, kClientHeight);
        return glGetError() == GL_NO_ERROR;
    }

    bool frame(const host_frame& f) override
    {
        const struct {
            const uint8_t* pixels;
            int width, height, stride;
        } planes[3] = {{f.y.data(), kFrameWidth, kFrameHeight, kLumaStride},
                       {f.u.data(), kChromaWidth, kChromaHeight, kChromaStride},
                       {f.v.data(), kChromaWidth, kChromaHeight, kChromaStride}};
        for (int i = 0; i < 3; ++i) {
            m_active_texture(kTexture0 + i);
            glPixelStorei(kUnpackRowLength, planes[i].stride);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, planes[i].width, planes[i].height, GL_LUMINANCE,
                            GL_UNSIGNED_BYTE, planes[i].pixels);
        }
        // The picture's first row at the top of the window.
        glBegin(GL_QUADS);
        glTexCoord2f(0.0f, 1.0f);
        glVertex2f(-1.0f, -1.0f);
        glTexCoord2f(1.0f, 1.0f);
        glVertex2f(1.0f, -1.0f);
        glTexCoord2f(1.0f, 0.0f);
        glVertex2f(1.0f, 1.0f);
        glTexCoord2f(0.0f, 0.0f);
        glVertex2f(-1.0f, 1.0f);
        glEnd();
        return SwapBuffers(m_dc) != FALSE;
    }

private:
    template <typename F>
    static F entry(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(wglGetProcAddress(name)));
    }

    HDC m_dc = nullptr;
    HGLRC m_context = nullptr;
    GLuint m_textures[3] = {};
    active_texture_fn m_active_texture = nullptr;
};

// The library's pixel shader (KEL_VOUT/kel_direct3d.cpp), ps_2_0 tokens:
//   oC0 = Y * c0 + U * c1 + V * c2 + c3, with Y at t0 from s0, U and V at t1 from s1 and s2.
const DWORD kYuvShader[] = {
    0xFFFF0200,                                                   // ps_2_0
    0x0200001F, 0x80000000, 0xB0030000,                           // dcl t0.xy
    0x0200001F, 0x80000000, 0xB0030001,                           // dcl t1.xy
    0x0200001F, 0x90000000, 0xA00F0800,                           // dcl_2d s0
    0x0200001F, 0x90000000, 0xA00F0801,                           // dcl_2d s1
    0x0200001F, 0x90000000, 0xA00F0802,                           // dcl_2d s2
    0x03000042, 0x800F0000, 0xB0E40000, 0xA0E40800,               // texld r0, t0, s0
    0x03000042, 0x800F0001, 0xB0E40001, 0xA0E40801,               // texld r1, t1, s1
    0x03000042, 0x800F0002, 0xB0E40001, 0xA0E40802,               // texld r2, t1, s2
    0x04000004, 0x800F0003, 0x80000000, 0xA0E40000, 0xA0E40003,   // mad r3, r0.x, c0, c3
    0x04000004, 0x800F0003, 0x80000001, 0xA0E40001, 0x80E40003,   // mad r3, r1.x, c1, r3
    0x04000004, 0x800F0003, 0x80000002, 0xA0E40002, 0x80E40003,   // mad r3, r2.x, c2, r3
    0x02000001, 0x800F0800, 0x80E40003,                           // mov oC0, r3
    0x0000FFFF,                                                   // end
};

// A corner of the quad in back-buffer pixels (pre-transformed), with luma and chroma
// coordinates.
struct quad_vertex {
    float x, y, z, rhw;
    float s0, t0;
    float s1, t1;
};

template <typename T>
void release(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}

class d3d_renderer final : public renderer {
public:
    ~d3d_renderer() override
    {
        release(m_done);
        release(m_shader);
        for (IDirect3DTexture9*& t : m_planes)
            release(t);
        release(m_device);
        release(m_d3d);
    }

    const char* name() const override { return "Direct3D 9"; }

    bool start(HWND video)
    {
        m_d3d = Direct3DCreate9(D3D_SDK_VERSION);
        if (!m_d3d) {
            std::printf("Direct3DCreate9 failed\n");
            return false;
        }
        D3DPRESENT_PARAMETERS pp{};
        pp.Windowed = TRUE;
        pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
        pp.BackBufferFormat = D3DFMT_UNKNOWN;
        HRESULT hr = m_d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, video,
                                         D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_FPU_PRESERVE, &pp, &m_device);
        if (FAILED(hr)) {
            std::printf("IDirect3D9::CreateDevice failed (0x%08lx)\n", static_cast<unsigned long>(hr));
            return false;
        }
        D3DADAPTER_IDENTIFIER9 id{};
        if (SUCCEEDED(m_d3d->GetAdapterIdentifier(D3DADAPTER_DEFAULT, 0, &id)))
            std::printf("Direct3D 9, %s\n", id.Description);
        for (int i = 0; i < 3; ++i) {
            const UINT w = i == 0 ? kFrameWidth : kChromaWidth, h = i == 0 ? kFrameHeight : kChromaHeight;
            hr = m_device->CreateTexture(w, h, 1, D3DUSAGE_DYNAMIC, D3DFMT_L8, D3DPOOL_DEFAULT, &m_planes[i], nullptr);
            if (FAILED(hr)) {
                std::printf("IDirect3DDevice9::CreateTexture (L8, dynamic) failed (0x%08lx)\n",
                            static_cast<unsigned long>(hr));
                return false;
            }
        }
        hr = m_device->CreatePixelShader(kYuvShader, &m_shader);
        if (FAILED(hr)) {
            std::printf("IDirect3DDevice9::CreatePixelShader failed (0x%08lx)\n", static_cast<unsigned long>(hr));
            return false;
        }

        // The state stays for the whole run: only the textures' contents change.
        IDirect3DDevice9* d = m_device;
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
        float c[4][4];
        bt601_limited(c);
        d->SetPixelShader(m_shader);
        d->SetPixelShaderConstantF(0, &c[0][0], 4);
        d->SetFVF(D3DFVF_XYZRHW | D3DFVF_TEX2);
        if (g_paced && FAILED(d->CreateQuery(D3DQUERYTYPE_EVENT, &m_done))) {
            std::printf("IDirect3DDevice9::CreateQuery (an event) failed\n");
            return false;
        }
        return true;
    }

    bool frame(const host_frame& f) override
    {
        const struct {
            const uint8_t* pixels;
            int width, height, stride;
        } planes[3] = {{f.y.data(), kFrameWidth, kFrameHeight, kLumaStride},
                       {f.u.data(), kChromaWidth, kChromaHeight, kChromaStride},
                       {f.v.data(), kChromaWidth, kChromaHeight, kChromaStride}};
        if (m_pending) {
            // wined3d locks only once its command thread is idle.
            wait_polling([this] { return m_done->GetData(nullptr, 0, D3DGETDATA_FLUSH) != S_FALSE; });
            m_pending = false;
        }
        for (int i = 0; i < 3; ++i) {
            D3DLOCKED_RECT locked;
            if (FAILED(m_planes[i]->LockRect(0, &locked, nullptr, D3DLOCK_DISCARD)) || !locked.pBits)
                return false;
            uint8_t* dst = static_cast<uint8_t*>(locked.pBits);
            for (int r = 0; r < planes[i].height; ++r)
                std::memcpy(dst + size_t(r) * size_t(locked.Pitch), planes[i].pixels + size_t(r) * planes[i].stride,
                            size_t(planes[i].width));
            m_planes[i]->UnlockRect(0);
        }
        // Pixel centres lie at whole coordinates: the quad starts half a pixel before them.
        const float w = kClientWidth - 0.5f, h = kClientHeight - 0.5f;
        const quad_vertex quad[4] = {{-0.5f, -0.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},
                                     {w, -0.5f, 0.0f, 1.0f, 1.0f, 0.0f, 1.0f, 0.0f},
                                     {-0.5f, h, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f},
                                     {w, h, 0.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}};
        m_device->BeginScene();
        m_device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(quad_vertex));
        m_device->EndScene();
        if (FAILED(m_device->Present(nullptr, nullptr, nullptr, nullptr)))
            return false;
        m_pending = m_done && SUCCEEDED(m_done->Issue(D3DISSUE_END));
        return true;
    }

private:
    IDirect3DQuery9* m_done = nullptr;
    bool m_pending = false;
    IDirect3D9* m_d3d = nullptr;
    IDirect3DDevice9* m_device = nullptr;
    IDirect3DTexture9* m_planes[3] = {};
    IDirect3DPixelShader9* m_shader = nullptr;
};

// Direct3D 11 as the library draws: R8 planes, one pixel shader compiled at run time by the
// system's compiler, a flip-model swap chain keeping at most one frame queued.
const char kHlsl[] = R"(
cbuffer frame : register(b0) { float4 cy; float4 cu; float4 cv; float4 offs; };
Texture2D py : register(t0); Texture2D pu : register(t1); Texture2D pv : register(t2);
SamplerState bilinear : register(s0);
struct corner { float4 pos : SV_Position; float2 tex : TEXCOORD0; };
corner vs_main(float2 pos : POSITION, float2 tex : TEXCOORD0)
{
    corner o;
    o.pos = float4(pos, 0.0, 1.0);
    o.tex = tex;
    return o;
}
float4 ps_main(corner i) : SV_Target
{
    float3 rgb = offs.rgb + py.Sample(bilinear, i.tex).r * cy.rgb + pu.Sample(bilinear, i.tex).r * cu.rgb
               + pv.Sample(bilinear, i.tex).r * cv.rgb;
    return float4(rgb, 1.0);
}
)";

class d3d11_renderer final : public renderer {
public:
    explicit d3d11_renderer(bool dynamic) : m_dynamic(dynamic) {}
    ~d3d11_renderer() override
    {
        release(m_done);
        for (int i = 0; i < 3; ++i) {
            release(m_views[i]);
            release(m_planes[i]);
        }
        release(m_sampler);
        release(m_constants);
        release(m_quad);
        release(m_layout);
        release(m_ps);
        release(m_vs);
        release(m_target);
        release(m_swap);
        release(m_context);
        release(m_device);
    }

    const char* name() const override { return m_dynamic ? "Direct3D 11" : "Direct3D 11 (default textures)"; }

    bool start(HWND video)
    {
        HMODULE compiler = LoadLibraryA("d3dcompiler_47.dll");
        auto compile = compiler ? reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(compiler, "D3DCompile")))
                                : nullptr;
        if (!compile) {
            std::printf("no d3dcompiler_47.dll\n");
            return false;
        }
        ID3DBlob* vs = nullptr;
        ID3DBlob* ps = nullptr;
        if (FAILED(compile(kHlsl, sizeof(kHlsl) - 1, "bare", nullptr, nullptr, "vs_main", "vs_4_0", 0, 0, &vs, nullptr)) ||
            FAILED(compile(kHlsl, sizeof(kHlsl) - 1, "bare", nullptr, nullptr, "ps_main", "ps_4_0", 0, 0, &ps, nullptr))) {
            std::printf("D3DCompile failed\n");
            return false;
        }
        static const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
        HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_SINGLETHREADED, levels, 2, D3D11_SDK_VERSION,
                                       &m_device, nullptr, &m_context);
        IDXGIDevice1* dxgi = nullptr;
        IDXGIAdapter* adapter = nullptr;
        IDXGIFactory2* factory = nullptr;
        if (SUCCEEDED(hr))
            hr = m_device->QueryInterface(__uuidof(IDXGIDevice1), reinterpret_cast<void**>(&dxgi));
        if (SUCCEEDED(hr))
            hr = dxgi->GetAdapter(&adapter);
        if (SUCCEEDED(hr))
            hr = adapter->GetParent(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(&factory));
        DXGI_SWAP_CHAIN_DESC1 sd{};
        sd.Width = kClientWidth;
        sd.Height = kClientHeight;
        sd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        sd.SampleDesc.Count = 1;
        sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        sd.BufferCount = 2;
        sd.Scaling = DXGI_SCALING_STRETCH;
        sd.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        sd.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
        if (SUCCEEDED(hr))
            hr = factory->CreateSwapChainForHwnd(m_device, video, &sd, nullptr, nullptr, &m_swap);
        if (SUCCEEDED(hr))
            dxgi->SetMaximumFrameLatency(1);
        release(factory);
        release(adapter);
        release(dxgi);
        ID3D11Texture2D* back = nullptr;
        if (SUCCEEDED(hr))
            hr = m_swap->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back));
        if (SUCCEEDED(hr))
            hr = m_device->CreateRenderTargetView(back, nullptr, &m_target);
        release(back);
        static const D3D11_INPUT_ELEMENT_DESC layout[] = {
            {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0}};
        static const float quad[4][4] = {{-1, 1, 0, 0}, {1, 1, 1, 0}, {-1, -1, 0, 1}, {1, -1, 1, 1}};
        D3D11_BUFFER_DESC vb{sizeof(quad), D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA vb_data{quad, 0, 0};
        float c[4][4];
        bt601_limited(c);
        D3D11_BUFFER_DESC cb{sizeof(c), D3D11_USAGE_IMMUTABLE, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA cb_data{c, 0, 0};
        D3D11_SAMPLER_DESC smp{};
        smp.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
        smp.AddressU = smp.AddressV = smp.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
        smp.MaxLOD = D3D11_FLOAT32_MAX;
        if (SUCCEEDED(hr))
            hr = m_device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, &m_vs);
        if (SUCCEEDED(hr))
            hr = m_device->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr, &m_ps);
        if (SUCCEEDED(hr))
            hr = m_device->CreateInputLayout(layout, 2, vs->GetBufferPointer(), vs->GetBufferSize(), &m_layout);
        if (SUCCEEDED(hr))
            hr = m_device->CreateBuffer(&vb, &vb_data, &m_quad);
        if (SUCCEEDED(hr))
            hr = m_device->CreateBuffer(&cb, &cb_data, &m_constants);
        if (SUCCEEDED(hr))
            hr = m_device->CreateSamplerState(&smp, &m_sampler);
        for (int i = 0; i < 3 && SUCCEEDED(hr); ++i) {
            D3D11_TEXTURE2D_DESC d{};
            d.Width = i == 0 ? kFrameWidth : kChromaWidth;
            d.Height = i == 0 ? kFrameHeight : kChromaHeight;
            d.MipLevels = d.ArraySize = 1;
            d.Format = DXGI_FORMAT_R8_UNORM;
            d.SampleDesc.Count = 1;
            d.Usage = m_dynamic ? D3D11_USAGE_DYNAMIC : D3D11_USAGE_DEFAULT;
            d.BindFlags = D3D11_BIND_SHADER_RESOURCE;
            d.CPUAccessFlags = m_dynamic ? D3D11_CPU_ACCESS_WRITE : 0;
            hr = m_device->CreateTexture2D(&d, nullptr, &m_planes[i]);
            if (SUCCEEDED(hr))
                hr = m_device->CreateShaderResourceView(m_planes[i], nullptr, &m_views[i]);
        }
        vs->Release();
        ps->Release();
        FreeLibrary(compiler);
        if (FAILED(hr)) {
            std::printf("Direct3D 11 set-up failed (0x%08lx)\n", static_cast<unsigned long>(hr));
            return false;
        }
        std::printf("Direct3D 11, FLIP_DISCARD, %s textures\n", m_dynamic ? "dynamic" : "default");
        const D3D11_QUERY_DESC event_query{D3D11_QUERY_EVENT, 0};
        if (g_paced && FAILED(m_device->CreateQuery(&event_query, &m_done))) {
            std::printf("ID3D11Device::CreateQuery (an event) failed\n");
            return false;
        }

        // The state stays for the whole run, but for the render target (a flip model's present
        // unbinds it).
        ID3D11DeviceContext* x = m_context;
        const UINT stride = sizeof(quad[0]), offset = 0;
        D3D11_VIEWPORT vp{0.0f, 0.0f, float(kClientWidth), float(kClientHeight), 0.0f, 1.0f};
        x->RSSetViewports(1, &vp);
        x->IASetInputLayout(m_layout);
        x->IASetVertexBuffers(0, 1, &m_quad, &stride, &offset);
        x->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        x->VSSetShader(m_vs, nullptr, 0);
        x->PSSetShader(m_ps, nullptr, 0);
        x->PSSetConstantBuffers(0, 1, &m_constants);
        x->PSSetShaderResources(0, 3, m_views);
        x->PSSetSamplers(0, 1, &m_sampler);
        return true;
    }

    bool frame(const host_frame& f) override
    {
        const struct {
            const uint8_t* pixels;
            int width, height, stride;
        } planes[3] = {{f.y.data(), kFrameWidth, kFrameHeight, kLumaStride},
                       {f.u.data(), kChromaWidth, kChromaHeight, kChromaStride},
                       {f.v.data(), kChromaWidth, kChromaHeight, kChromaStride}};
        for (int i = 0; i < 3; ++i) {
            if (!m_dynamic) {
                m_context->UpdateSubresource(m_planes[i], 0, nullptr, planes[i].pixels, UINT(planes[i].stride), 0);
                continue;
            }
            D3D11_MAPPED_SUBRESOURCE mapped{};
            if (FAILED(m_context->Map(m_planes[i], 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped)) || !mapped.pData)
                return false;
            uint8_t* dst = static_cast<uint8_t*>(mapped.pData);
            for (int r = 0; r < planes[i].height; ++r)
                std::memcpy(dst + size_t(r) * mapped.RowPitch, planes[i].pixels + size_t(r) * planes[i].stride,
                            size_t(planes[i].width));
            m_context->Unmap(m_planes[i], 0);
        }
        m_context->OMSetRenderTargets(1, &m_target, nullptr);
        m_context->Draw(4, 0);
        if (m_pending) {
            wait_polling([this] { return m_context->GetData(m_done, nullptr, 0, 0) != S_FALSE; });
            m_pending = false;
        }
        if (FAILED(m_swap->Present(1, 0)))
            return false;
        if (m_done) {
            m_context->End(m_done);
            m_pending = true;
        }
        return true;
    }

private:
    ID3D11Query* m_done = nullptr;
    bool m_pending = false;
    bool m_dynamic;
    ID3D11Device* m_device = nullptr;
    ID3D11DeviceContext* m_context = nullptr;
    IDXGISwapChain1* m_swap = nullptr;
    ID3D11RenderTargetView* m_target = nullptr;
    ID3D11VertexShader* m_vs = nullptr;
    ID3D11PixelShader* m_ps = nullptr;
    ID3D11InputLayout* m_layout = nullptr;
    ID3D11Buffer* m_quad = nullptr;
    ID3D11Buffer* m_constants = nullptr;
    ID3D11SamplerState* m_sampler = nullptr;
    ID3D11Texture2D* m_planes[3] = {};
    ID3D11ShaderResourceView* m_views[3] = {};
};

}  // namespace

int main(int argc, char** argv)
{
    bool d3d = false, d3d11 = false, dynamic = true;
    double seconds = 5.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--d3d") == 0) {
            d3d = true;
        } else if (std::strcmp(argv[i], "--d3d11") == 0) {
            d3d11 = true;
        } else if (std::strcmp(argv[i], "--default-textures") == 0) {
            dynamic = false;
        } else if (std::strcmp(argv[i], "--paced") == 0) {
            g_paced = true;
        } else if (std::strcmp(argv[i], "--gl") == 0) {
            d3d = false;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::printf("usage: bare_loop.exe [--gl | --d3d | --d3d11 [--default-textures]] [--paced] [--seconds N]\n");
            return 2;
        }
    }
    if (seconds <= 0.0)
        seconds = 5.0;

    HWND host = nullptr, video = nullptr;
    if (!make_windows(&host, &video))
        return 1;
    gl_renderer gl;
    d3d_renderer direct3d;
    d3d11_renderer direct3d11(dynamic);
    renderer* r = d3d11 ? static_cast<renderer*>(&direct3d11) : d3d ? static_cast<renderer*>(&direct3d) : &gl;
    if (d3d11 ? !direct3d11.start(video) : d3d ? !direct3d.start(video) : !gl.start(video))
        return 1;

    // Two frames, alternated: each frame differs from the one before in every pixel, and making
    // them costs nothing while the clock runs.
    const host_frame frames[2] = {make_frame(0), make_frame(7)};
    // The first frames pay for the device's first use of the textures: not counted.
    for (int i = 0; i < 10; ++i) {
        pump();
        if (!r->frame(frames[i & 1])) {
            std::printf("%s: a frame failed\n", r->name());
            return 1;
        }
    }
    const double t0 = now_s(), cpu0 = process_cpu_s();
    long n = 0;
    double t = t0;
    while (t - t0 < seconds) {
        pump();
        if (!r->frame(frames[n & 1])) {
            std::printf("%s: a frame failed\n", r->name());
            return 1;
        }
        ++n;
        t = now_s();
    }
    const double wall = t - t0, cpu = process_cpu_s() - cpu0;
    const double fps = double(n) / wall;
    std::printf("bare loop, %s%s: %dx%d I420 into %dx%d: %ld frames in %.2f s, %.1f fps (CPU %.0f%% of a core)\n",
                r->name(), g_paced && r != &gl ? ", paced" : "", kFrameWidth, kFrameHeight, kClientWidth, kClientHeight, n, wall, fps,
                100.0 * cpu / wall);
    std::fflush(stdout);

    // One frame at a time, 100 ms apart: what a single paint takes from the start of its upload
    // to the return of its present, the part of vout_bench's latency that is not the library's.
    // Frames drawn back to back overlap in the driver's threads, so this is longer than 1 / fps.
    std::vector<double> alone;
    for (int i = 0; i < 20; ++i) {
        const double a = now_s();
        pump();
        if (!r->frame(frames[i & 1]))
            break;
        alone.push_back((now_s() - a) * 1000.0);
        while (now_s() - a < 0.1) {
            pump();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
    }
    std::sort(alone.begin(), alone.end());
    const double paint_ms = alone.empty() ? 0.0 : alone[alone.size() / 2];
    std::printf("one frame at a time: %.1f ms from upload to present (median of %zu)\n", paint_ms, alone.size());
    std::printf("figures bare_fps=%.1f paint_ms=%.1f\n", fps, paint_ms);
    std::fflush(stdout);
    return 0;
}
