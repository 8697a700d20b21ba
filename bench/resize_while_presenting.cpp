// Does a host that moves and resizes its window while another thread presents into a child of it
// hang, without the library? The same arrangement as an instance: the host's thread owns a
// top-level window and changes it every 25 ms; a second thread owns a child window filling it,
// follows the host's size, and clears and presents with Direct3D 9 (or 11, or OpenGL) as fast as
// it goes, resetting the device when the size changes. A watchdog ends the process with exit
// code 3 when either thread has made no progress for 10 s (--patience), and prints where each
// one was (attach a debugger meanwhile to see more). Exit code 4: the child, its device or its
// context could not be made, so nothing was presented.
// --moves-only: the host moves its window but keeps its size.
//   resize_while_presenting.exe [--d3d | --d3d11 | --gl] [--moves-only] [--seconds N] [--patience N]
// Exit code 0: no hang in N seconds (default 20). Figures and evidence only; not a test.
#include <windows.h>

#include <GL/gl.h>
#include <d3d11.h>
#include <d3d9.h>
#include <dxgi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class api { d3d9, d3d11, gl };

api g_api = api::d3d9;
HWND g_host = nullptr;
std::atomic<bool> g_stop{false};
std::atomic<long> g_host_steps{0}, g_frames{0}, g_resets{0};
std::atomic<const char*> g_host_at{"start"}, g_render_at{"start"};
std::atomic<const char*> g_failed{nullptr};  // what could not be made
int g_patience = 10;  // seconds without progress that count as a hang
bool g_moves_only = false;

LRESULT CALLBACK host_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_ERASEBKGND)
        return 1;
    return DefWindowProcA(hwnd, msg, wp, lp);
}

SIZE client_of(HWND hwnd)
{
    RECT rc{};
    GetClientRect(hwnd, &rc);
    return SIZE{std::max<LONG>(rc.right - rc.left, 1), std::max<LONG>(rc.bottom - rc.top, 1)};
}

bool same(SIZE a, SIZE b)
{
    return a.cx == b.cx && a.cy == b.cy;
}

void pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// The child follows the host's client area; answers its size.
SIZE follow_host(HWND child, SIZE was)
{
    g_render_at = "GetClientRect (host)";
    const SIZE now = client_of(g_host);
    if (!same(now, was)) {
        g_render_at = "SetWindowPos (child)";
        SetWindowPos(child, nullptr, 0, 0, now.cx, now.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return now;
}

void present_d3d9(HWND child)
{
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (!d3d) {
        g_failed = "Direct3DCreate9";
        return;
    }
    SIZE size = client_of(child);
    D3DPRESENT_PARAMETERS pp{};
    pp.Windowed = TRUE;
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.BackBufferFormat = D3DFMT_UNKNOWN;
    pp.BackBufferWidth = UINT(size.cx);
    pp.BackBufferHeight = UINT(size.cy);
    pp.hDeviceWindow = child;
    pp.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    IDirect3DDevice9* dev = nullptr;
    if (FAILED(d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, child,
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED, &pp, &dev))) {
        g_failed = "IDirect3D9::CreateDevice";
        d3d->Release();
        return;
    }
    while (!g_stop) {
        pump();
        const SIZE now = follow_host(child, size);
        if (!same(now, size)) {
            size = now;
            pp.BackBufferWidth = UINT(size.cx);
            pp.BackBufferHeight = UINT(size.cy);
            g_render_at = "IDirect3DDevice9::Reset";
            dev->Reset(&pp);
            ++g_resets;
        }
        g_render_at = "IDirect3DDevice9::Clear";
        dev->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_XRGB(g_frames % 256, 64, 128), 1.0f, 0);
        g_render_at = "IDirect3DDevice9::Present";
        dev->Present(nullptr, nullptr, nullptr, nullptr);
        ++g_frames;
    }
    dev->Release();
    d3d->Release();
}

void present_d3d11(HWND child)
{
    SIZE size = client_of(child);
    DXGI_SWAP_CHAIN_DESC sd{};
    sd.BufferCount = 2;
    sd.BufferDesc.Width = UINT(size.cx);
    sd.BufferDesc.Height = UINT(size.cy);
    sd.BufferDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.OutputWindow = child;
    sd.SampleDesc.Count = 1;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    ID3D11Device* dev = nullptr;
    ID3D11DeviceContext* ctx = nullptr;
    IDXGISwapChain* chain = nullptr;
    if (FAILED(D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                             D3D11_SDK_VERSION, &sd, &chain, &dev, nullptr, &ctx))) {
        g_failed = "D3D11CreateDeviceAndSwapChain";
        return;
    }
    ID3D11RenderTargetView* rtv = nullptr;
    auto make_view = [&] {
        ID3D11Texture2D* back = nullptr;
        if (SUCCEEDED(chain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) {
            dev->CreateRenderTargetView(back, nullptr, &rtv);
            back->Release();
        }
    };
    make_view();
    while (!g_stop) {
        pump();
        const SIZE now = follow_host(child, size);
        if (!same(now, size)) {
            size = now;
            if (rtv)
                rtv->Release();
            rtv = nullptr;
            ctx->ClearState();
            g_render_at = "IDXGISwapChain::ResizeBuffers";
            chain->ResizeBuffers(2, UINT(size.cx), UINT(size.cy), DXGI_FORMAT_B8G8R8A8_UNORM, 0);
            make_view();
            ++g_resets;
        }
        g_render_at = "ClearRenderTargetView";
        const float colour[4] = {float(g_frames % 256) / 255.0f, 0.25f, 0.5f, 1.0f};
        if (rtv)
            ctx->ClearRenderTargetView(rtv, colour);
        g_render_at = "IDXGISwapChain::Present";
        chain->Present(0, 0);
        ++g_frames;
    }
    if (rtv)
        rtv->Release();
    chain->Release();
    ctx->Release();
    dev->Release();
}

void present_gl(HWND child)
{
    HDC dc = GetDC(child);
    PIXELFORMATDESCRIPTOR pfd{};
    pfd.nSize = sizeof(pfd);
    pfd.nVersion = 1;
    pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    pfd.iPixelType = PFD_TYPE_RGBA;
    pfd.cColorBits = 32;
    HGLRC rc = nullptr;
    if (!dc || !SetPixelFormat(dc, ChoosePixelFormat(dc, &pfd), &pfd) || !(rc = wglCreateContext(dc)) ||
        !wglMakeCurrent(dc, rc)) {
        g_failed = "an OpenGL context";
        if (rc)
            wglDeleteContext(rc);
        if (dc)
            ReleaseDC(child, dc);
        return;
    }
    SIZE size = client_of(child);
    while (!g_stop) {
        pump();
        size = follow_host(child, size);
        g_render_at = "glClear";
        glViewport(0, 0, size.cx, size.cy);
        glClearColor(float(g_frames % 256) / 255.0f, 0.25f, 0.5f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        g_render_at = "SwapBuffers";
        SwapBuffers(dc);
        ++g_frames;
    }
    wglMakeCurrent(nullptr, nullptr);
    wglDeleteContext(rc);
    ReleaseDC(child, dc);
}

DWORD WINAPI render_thread(void*)
{
    g_render_at = "CreateWindowEx (child)";
    const SIZE size = client_of(g_host);
    HWND child = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_DISABLED, 0, 0,
                                 size.cx, size.cy, g_host, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!child) {
        g_failed = "CreateWindowEx (child)";
        return 1;
    }
    if (g_api == api::d3d9)
        present_d3d9(child);
    else if (g_api == api::d3d11)
        present_d3d11(child);
    else
        present_gl(child);
    g_render_at = "DestroyWindow (child)";
    DestroyWindow(child);
    return 0;
}

// Ends the process when a thread stops moving for g_patience seconds.
DWORD WINAPI watchdog(void*)
{
    long host = -1, frames = -1;
    int still = 0;
    for (;;) {
        Sleep(1000);
        const long h = g_host_steps, f = g_frames;
        still = (h == host || f == frames) ? still + 1 : 0;
        host = h;
        frames = f;
        if (const char* failed = g_failed) {
            std::printf("nothing presented: %s failed\n", failed);
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 4);
        }
        if (still >= g_patience) {
            std::printf("hung: the host's thread at step %ld (in %s), the presenting thread at frame %ld (in %s)\n", h,
                        g_host_at.load(), f, g_render_at.load());
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int seconds = 20;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--d3d"))
            g_api = api::d3d9;
        else if (!std::strcmp(argv[i], "--d3d11"))
            g_api = api::d3d11;
        else if (!std::strcmp(argv[i], "--gl"))
            g_api = api::gl;
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--moves-only"))
            g_moves_only = true;
        else if (!std::strcmp(argv[i], "--patience") && i + 1 < argc)
            g_patience = std::max(std::atoi(argv[++i]), 1);
        else {
            std::fprintf(stderr,
                         "usage: resize_while_presenting.exe [--d3d | --d3d11 | --gl] [--moves-only] [--seconds N] "
                         "[--patience N]\n");
            return 2;
        }
    }
    WNDCLASSA wc{};
    wc.lpfnWndProc = host_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = "resize_while_presenting_host";
    RegisterClassA(&wc);
    g_host = CreateWindowA(wc.lpszClassName, "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, 40, 40, 480,
                           320, nullptr, nullptr, wc.hInstance, nullptr);
    if (!g_host)
        return 1;
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
    HANDLE render = CreateThread(nullptr, 0, render_thread, nullptr, 0, nullptr);

    const DWORD start = GetTickCount();
    for (long step = 0; GetTickCount() - start < DWORD(seconds) * 1000; ++step) {
        if (step % 2 == 0 && !g_moves_only) {
            g_host_at = "SetWindowPos (host, resize)";
            SetWindowPos(g_host, nullptr, 0, 0, 360 + int(step * 37 % 240), 240 + int(step * 23 % 160),
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        } else {
            g_host_at = "SetWindowPos (host, move)";
            SetWindowPos(g_host, nullptr, 40 + int(step % 13), 40 + int(step % 7), 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        g_host_at = "PeekMessage (host)";
        const DWORD until = GetTickCount() + 25;
        while (GetTickCount() < until) {
            pump();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
        ++g_host_steps;
    }
    g_host_at = "waiting for the presenting thread";
    g_stop = true;
    while (MsgWaitForMultipleObjects(1, &render, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        pump();
    CloseHandle(render);
    DestroyWindow(g_host);
    std::printf("no hang: %ld host changes and %ld frames (%ld device resets) in %d s\n", g_host_steps.load(),
                g_frames.load(), g_resets.load(), seconds);
    return 0;
}
