// Prints what pushes and presentation cost on this machine: the host-side cost of a push at
// common sizes, and how long a pushed frame takes to be presented. Figures only; no pass/fail.
//   vout_bench.exe [--d3d]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kel_vout.h"

namespace {

double now_ms()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1000.0 / double(f.QuadPart);
}

void pump(DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    do {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (int32_t(end - GetTickCount()) > 0);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool d3d = argc > 1 && std::strcmp(argv[1], "--d3d") == 0;
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "kel_vout_bench";
    RegisterClassA(&wc);
    HWND host = CreateWindowA("kel_vout_bench", "bench", WS_POPUP | WS_VISIBLE, 0, 0, 960, 540, nullptr, nullptr,
                              wc.hInstance, nullptr);
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host;
    cfg.vout_mode = d3d ? VOUT_D3D : VOUT_WGL;
    cfg.display_mode = VOUT_NORMAL;
    const double t_create = now_ms();
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    if (!h) {
        std::printf("kel_vout_create failed\n");
        return 1;
    }
    std::printf("backend %s; create %.1f ms\n", d3d ? "Direct3D 9" : "OpenGL", now_ms() - t_create);

    struct Size {
        int w, h;
    };
    for (Size s : {Size{640, 360}, Size{1280, 720}, Size{1920, 1080}}) {
        const int stride = (s.w + 63) / 64 * 64;
        std::vector<uint8_t> y(size_t(stride) * s.h, 100), u(size_t(stride / 2) * (s.h / 2), 120),
            v(size_t(stride / 2) * (s.h / 2), 140);
        const int n = 60;
        double worst = 0, sum = 0;
        for (int i = 0; i < n; ++i) {
            const double a = now_ms();
            kel_vout_put_buffer_pool_yuv(h, y.data(), u.data(), v.data(), stride, s.w, s.h);
            const double took = now_ms() - a;
            sum += took;
            worst = std::max(worst, took);
            if (i % 20 == 19)
                pump(50);  // let the render thread drain the ring
        }
        const double per_push = sum / n;
        std::printf("push %4dx%-4d planar (stride %d): %.3f ms a push on average, %.3f ms worst\n", s.w, s.h,
                    stride, per_push, worst);
    }

    // Push-to-present latency: push a frame of a new colour, then ask for snapshots until it shows.
    // The first round is not counted: it waits for the frames the pushes above left queued.
    int32_t w = 0, hh = 0;
    kel_vout_snapshot(h, nullptr, 0, &w, &hh, 0);
    std::vector<uint8_t> rgb(size_t(w) * hh * 3);
    std::vector<uint8_t> frame(1280 * 720 * 3 / 2, 128);
    std::vector<double> took;
    const int rounds = 11;
    for (int r = -1; r < rounds; ++r) {
        const uint8_t luma = (r & 1) ? 235 : 16;
        std::fill(frame.begin(), frame.begin() + 1280 * 720, luma);
        const double a = now_ms();
        kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, 1280, 1280, 720);
        for (int i = 0; i < 100; ++i) {
            if (kel_vout_snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hh, 1000) == 0 &&
                (rgb[0] > 128) == (luma > 128))
                break;
        }
        if (r >= 0)
            took.push_back(now_ms() - a);
    }
    // The median: the first rounds at a new size also pay for the driver's first use of it.
    std::sort(took.begin(), took.end());
    std::printf("push to presented (1280x720 into %dx%d, includes one read-back): %.1f ms median, %.1f ms worst\n",
                w, hh, took[took.size() / 2], took.back());
    kel_vout_destroy(&h);
    return 0;
}
