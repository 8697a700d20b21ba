// Prints how well timed frames keep their time on this machine, for one backend: 600 frames of
// 640x360 at 24, 25, 30 and 60 frames a second, pushed ahead (8 waiting) by a decoder thread
// through kel_vout_put_frame_ex with the clock running; per rate the timing error (p50, p99),
// late and dropped frames and frames shown out of order (watched from another thread); then the
// processor time per frame of timed against untimed frames at 30 a second (the host pacing its
// own pushes), and the processor time of a paused instance with frames waiting. Figures only.
//   timing_bench.exe [--gl | --d3d | --d3d11] [--frames N]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "kel_vout.h"

namespace {

const int kW = 640, kH = 360;

// Dispatches this thread's messages for `ms` milliseconds.
void pump(double ms)
{
    const double end = now_ms() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        const double left = end - now_ms();
        if (left <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(left) + 1, QS_ALLINPUT);
    }
}

// Packed I420 frames moving a gradient, different in every pixel from one to the next.
std::vector<std::vector<uint8_t>> make_frames(int count)
{
    std::vector<std::vector<uint8_t>> frames{static_cast<size_t>(count)};
    for (int n = 0; n < count; ++n) {
        std::vector<uint8_t>& f = frames[size_t(n)];
        f.resize(size_t(kW) * kH * 3 / 2);
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c)
                f[size_t(r) * kW + c] = uint8_t(16 + (r + c + n * 9) % 220);
        for (size_t i = size_t(kW) * kH; i < f.size(); ++i)
            f[i] = uint8_t(16 + (i + size_t(n) * 5) % 225);
    }
    return frames;
}

KEL_VOUT_FRAME_T frame_of(const std::vector<uint8_t>& f)
{
    KEL_VOUT_FRAME_T fr{};
    fr.format = KEL_VOUT_FMT_I420;
    fr.width = kW;
    fr.height = kH;
    fr.planes[0] = f.data();
    fr.planes[1] = f.data() + kW * kH;
    fr.planes[2] = f.data() + kW * kH + (kW / 2) * (kH / 2);
    fr.strides[0] = kW;
    fr.strides[1] = fr.strides[2] = kW / 2;
    fr.colorspace = KEL_VOUT_CS_BT709;
    return fr;
}

KEL_VOUT_STATS_T stats_of(KEL_VOUT_HANDLE h)
{
    KEL_VOUT_STATS_T s{};
    s.size = sizeof(s);
    kel_vout_get_stats(h, &s);
    return s;
}

// An instance filling the host's window.
KEL_VOUT_HANDLE create_instance(HWND host, VOUT_MODE backend)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host;
    cfg.vout_mode = backend;
    cfg.display_mode = VOUT_NORMAL;
    return kel_vout_create(&cfg);
}

// Frames the screen showed out of order, as another thread sees the pts on screen change.
struct order_watch {
    std::atomic<bool> stop{false};
    std::atomic<int> out_of_order{0};
    std::thread thread;
    void start(KEL_VOUT_HANDLE h)
    {
        thread = std::thread([this, h] {
            int64_t last = KEL_VOUT_PTS_NONE;
            while (!stop.load()) {
                const int64_t pts = stats_of(h).shown_pts_us;
                if (pts != KEL_VOUT_PTS_NONE && last != KEL_VOUT_PTS_NONE && pts < last)
                    ++out_of_order;
                last = pts;
                Sleep(1);
            }
        });
    }
    void finish()
    {
        stop = true;
        thread.join();
    }
};

struct run_figures {
    double p50 = 0, p99 = 0, cpu_per_frame_ms = 0;
    uint64_t late = 0, dropped = 0, presented = 0;
    int out_of_order = 0;
};

// Waits (pumping) until nothing waits and every push is accounted for.
void settle(KEL_VOUT_HANDLE h)
{
    const double end = now_ms() + 5000;
    while (now_ms() < end) {
        const KEL_VOUT_STATS_T s = stats_of(h);
        if (s.queued == 0 && s.pushed == s.presented + s.dropped)
            return;
        pump(5);
    }
}

// A fresh instance (so that the statistics are this run's) playing `count` frames at `fps`.
// timed: a decoder thread pushes ahead with their times; untimed: the host sleeps until each
// frame is due and pushes it (a high-resolution timer, as a careful host would).
run_figures play(HWND host, VOUT_MODE backend, const std::vector<std::vector<uint8_t>>& frames, int count, double fps,
                 bool timed)
{
    run_figures r;
    KEL_VOUT_HANDLE h = create_instance(host, backend);
    if (!h)
        return r;
    // Playback starts once a first (untimed) frame is on screen: a device's first draw may take
    // long (wined3d compiles its shaders then), as it would before any player's first frame.
    {
        const KEL_VOUT_FRAME_T f = frame_of(frames[0]);
        kel_vout_put_frame(h, &f);
        const double end = now_ms() + 5000;
        while (stats_of(h).presented == 0 && now_ms() < end)
            pump(5);
    }
    pump(300);
    const KEL_VOUT_STATS_T before = stats_of(h);
    order_watch watch;
    watch.start(h);
    const double cpu0 = process_cpu_ms();
    const int64_t start_us = 200000;  // the first frame is due 0.2 s after the clock starts
    if (timed) {
        kel_vout_set_clock(h, 0, 0.0);
        std::thread decoder([&] {
            for (int i = 0; i < count; ++i) {
                if (kel_vout_wait_queue(h, 8, 10000) != 0)
                    break;
                const KEL_VOUT_FRAME_T f = frame_of(frames[size_t(i) % frames.size()]);
                KEL_VOUT_FRAME_INFO_T info{};
                info.size = sizeof(info);
                info.pts_us = start_us + int64_t(double(i) * 1e6 / fps + 0.5);
                kel_vout_put_frame_ex(h, &f, &info);
            }
        });
        pump(50);
        kel_vout_set_clock(h, 0, 1.0);
        // The host's thread follows the "audio clock" (here: its own), as players do, every 100 ms.
        const double t0 = now_ms();
        const double length_ms = start_us / 1000.0 + count * 1000.0 / fps + 300.0;
        while (now_ms() - t0 < length_ms) {
            pump(100);
            kel_vout_set_clock(h, int64_t((now_ms() - t0) * 1000.0), 1.0);
        }
        decoder.join();
    } else {
        HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, 0x2, TIMER_ALL_ACCESS);
        if (!timer)
            timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        const double t0 = now_ms();
        for (int i = 0; i < count; ++i) {
            const double due = t0 + start_us / 1000.0 + i * 1000.0 / fps;
            const double left = due - now_ms();
            if (left > 0) {
                LARGE_INTEGER d;
                d.QuadPart = -int64_t(left * 1e4);
                SetWaitableTimer(timer, &d, 0, nullptr, nullptr, FALSE);
                MsgWaitForMultipleObjects(1, &timer, FALSE, DWORD(left) + 50, QS_SENDMESSAGE);
            }
            const KEL_VOUT_FRAME_T f = frame_of(frames[size_t(i) % frames.size()]);
            kel_vout_put_frame(h, &f);
        }
        CloseHandle(timer);
    }
    settle(h);
    const double cpu = process_cpu_ms() - cpu0;
    watch.finish();
    const KEL_VOUT_STATS_T s = stats_of(h);
    r.p50 = s.timing_error_p50_ms;
    r.p99 = s.timing_error_p99_ms;
    r.late = s.late;
    r.dropped = s.dropped - before.dropped;
    r.presented = s.presented - before.presented;
    r.out_of_order = watch.out_of_order.load();
    r.cpu_per_frame_ms = r.presented ? cpu / double(r.presented) : 0;
    std::printf("  %s %.3g fps: %llu presented, %llu late, %llu dropped, %d out of order, timing error p50 %.2f ms, "
                "p99 %.2f ms, refresh %.2f Hz, %.2f ms of processor per frame\n",
                timed ? "timed" : "untimed", fps, static_cast<unsigned long long>(r.presented),
                static_cast<unsigned long long>(r.late), static_cast<unsigned long long>(r.dropped), r.out_of_order,
                r.p50, r.p99, s.refresh_hz, r.cpu_per_frame_ms);
    std::fflush(stdout);
    kel_vout_destroy(&h);
    pump(300);
    return r;
}

// Processor time of a paused instance holding frames that are not due, in % of one core.
double paused_cpu(HWND host, VOUT_MODE backend, const std::vector<std::vector<uint8_t>>& frames)
{
    KEL_VOUT_HANDLE h = create_instance(host, backend);
    if (!h)
        return -1;
    kel_vout_set_clock(h, 0, 0.0);
    for (int i = 0; i < 9; ++i) {
        const KEL_VOUT_FRAME_T f = frame_of(frames[size_t(i) % frames.size()]);
        KEL_VOUT_FRAME_INFO_T info{};
        info.size = sizeof(info);
        info.pts_us = int64_t(i) * 40000;
        kel_vout_put_frame_ex(h, &f, &info);
    }
    pump(1000);
    const double cpu0 = process_cpu_ms(), t0 = now_ms();
    pump(3000);
    const double percent = 100.0 * (process_cpu_ms() - cpu0) / (now_ms() - t0);
    kel_vout_destroy(&h);
    pump(300);
    return percent;
}

}  // namespace

int main(int argc, char** argv)
{
    VOUT_MODE backend = VOUT_WGL;
    int count = 600;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--d3d") == 0) {
            backend = VOUT_D3D;
        } else if (std::strcmp(argv[i], "--d3d11") == 0) {
            backend = VOUT_D3D11;
        } else if (std::strcmp(argv[i], "--gl") == 0) {
            backend = VOUT_WGL;
        } else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            count = std::max(10, std::atoi(argv[++i]));
        } else {
            std::printf("usage: timing_bench.exe [--gl | --d3d | --d3d11] [--frames N]\n");
            return 2;
        }
    }
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "kel_vout_timing_bench";
    RegisterClassA(&wc);
    HWND host = CreateWindowA("kel_vout_timing_bench", "bench", WS_POPUP | WS_VISIBLE, 0, 0, kW, kH, nullptr,
                              nullptr, wc.hInstance, nullptr);
    const char* const name = backend == VOUT_D3D11 ? "Direct3D 11" : backend == VOUT_D3D ? "Direct3D 9" : "OpenGL";
    std::printf("timing_bench, %s, %d-bit: %d frames of %dx%d I420 per rate, 8 pushed ahead\n", name,
                int(sizeof(void*) * 8), count, kW, kH);
    std::fflush(stdout);
    const std::vector<std::vector<uint8_t>> frames = make_frames(8);
    const double rates[] = {24, 25, 30, 60};
    const char* keys[] = {"24", "25", "30", "60"};
    std::string line = "figures";
    char buf[256];
    for (int i = 0; i < 4; ++i) {
        const run_figures r = play(host, backend, frames, count, rates[i], true);
        std::snprintf(buf, sizeof(buf), " p50_%s=%.2f p99_%s=%.2f late_%s=%llu dropped_%s=%llu order_%s=%d", keys[i],
                      r.p50, keys[i], r.p99, keys[i], static_cast<unsigned long long>(r.late), keys[i],
                      static_cast<unsigned long long>(r.dropped), keys[i], r.out_of_order);
        line += buf;
    }
    const int cost_frames = std::min(count, 300);
    const run_figures timed = play(host, backend, frames, cost_frames, 30, true);
    const run_figures untimed = play(host, backend, frames, cost_frames, 30, false);
    const double paused = paused_cpu(host, backend, frames);
    std::snprintf(buf, sizeof(buf), " cost_x=%.2f paused_cpu=%.1f",
                  untimed.cpu_per_frame_ms > 0 ? timed.cpu_per_frame_ms / untimed.cpu_per_frame_ms : 0.0, paused);
    line += buf;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 0;
}
