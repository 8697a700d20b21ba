// Prints what pushes, presentation and an idle instance cost on this machine, for one backend:
// pushes against a plain memcpy of the same bytes, frames presented per second, the processor
// time of a still picture, push-to-present latency and the memory a burst of pushes leaves.
// bare_loop.exe does the same drawing without the library, for comparison. Figures only; no
// pass/fail. The host's thread, which runs all of this, owns the host window.
//   vout_bench.exe [--gl | --d3d | --d3d11] [--seconds N]   (N: length of the frame-rate and idle runs, default 5)
//   vout_bench.exe [--gl | --d3d | --d3d11] --lifecycle
//     instead: what creating, a first frame and destroying cost, and how soon the child window
//     follows a resize of the host's window (kept apart: under Wine a host resizing its window
//     while a child presents may deadlock in Xlib, and scripts/bench.sh runs this part with a
//     time limit).
//   vout_bench.exe [--gl | --d3d | --d3d11] [--seconds N] --overlays
//     instead: the frame rate with a 1920x200 subtitle overlay changed with every frame against
//     the same frames without it, and the processor time of a still picture under overlays.
//   vout_bench.exe [--gl | --d3d | --d3d11] [--seconds N] --hdr
//     instead: what a 4K P010 push costs against a memcpy of its bytes, and the frame rate of 4K
//     P010 PQ frames (tone-mapped, BT.2390) against 4K NV12 SDR frames.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "bench_clock.h"
#include "bench_frame.h"
#include "kel_vout.h"

namespace {

const size_t kFrameBytes = size_t(kFrameWidth) * kFrameHeight * 3 / 2;  // 3110400, packed
const int kDefaultQueueLimit = 75;

// The process's private bytes (its commit charge), in MB.
double private_mb()
{
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof(pmc);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc)))
        return NAN;
    // HACK: Wine 8 leaves PrivateUsage at 0. Windows reports the same value in PagefileUsage,
    // where Wine puts the process's resident anonymous memory (touched pages only).
    return double(pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage) / 1e6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Handles the messages of this thread's windows until `ms` have passed; sleeps in between.
void wait_ms(double ms)
{
    const double end = now_ms() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        const double left = end - now_ms();
        if (left <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(std::ceil(left)), QS_ALLINPUT);
    }
}

// Asks `done` every millisecond, handling messages meanwhile; false when it never held.
bool wait_until(const std::function<bool()>& done, double timeout_ms)
{
    const double end = now_ms() + timeout_ms;
    while (!done()) {
        if (now_ms() > end)
            return false;
        wait_ms(1);
    }
    return true;
}

KEL_VOUT_STATS_T stats_of(KEL_VOUT_HANDLE h)
{
    KEL_VOUT_STATS_T s{};
    s.size = sizeof(s);
    kel_vout_get_stats(h, &s);
    return s;
}

bool push_frame(KEL_VOUT_HANDLE h, const host_frame& f)
{
    KEL_VOUT_FRAME_T frame{};
    frame.format = KEL_VOUT_FMT_I420;
    frame.width = kFrameWidth;
    frame.height = kFrameHeight;
    frame.planes[0] = f.y.data();
    frame.planes[1] = f.u.data();
    frame.planes[2] = f.v.data();
    frame.strides[0] = kLumaStride;
    frame.strides[1] = kChromaStride;
    frame.strides[2] = kChromaStride;
    frame.colorspace = KEL_VOUT_CS_BT601;
    frame.range = KEL_VOUT_RANGE_LIMITED;
    return kel_vout_put_frame(h, &frame) == 0;
}

// The older push takes one line size, and half of it for chroma: the same layout here.
bool push_older(KEL_VOUT_HANDLE h, const host_frame& f)
{
    return kel_vout_put_buffer_pool_yuv(h, f.y.data(), f.u.data(), f.v.data(), kLumaStride, kFrameWidth,
                                        kFrameHeight) == 0;
}

typedef bool (*push_fn)(KEL_VOUT_HANDLE h, const host_frame& f);

// Nothing waits and every accepted frame was presented or dropped.
bool settled(KEL_VOUT_HANDLE h)
{
    return wait_until(
        [&] {
            const KEL_VOUT_STATS_T s = stats_of(h);
            return s.queued == 0 && s.pushed == s.presented + s.dropped;
        },
        10000);
}

// Lets go of the frames still waiting (a limit of one keeps only the frame pushed with it) and
// waits until the instance is idle again; a run of pushes then starts from the same state.
bool drop_waiting(KEL_VOUT_HANDLE h, const host_frame& f, int limit)
{
    kel_vout_set_queue_limit(h, 1);
    push_frame(h, f);
    kel_vout_set_queue_limit(h, limit);
    return settled(h);
}

// A copy of a frame's bytes between two buffers in use, timed beside the pushes: it meets the
// same render thread and driver on the other core as the push it stands next to.
class beside_copy {
public:
    beside_copy() : m_src(kFrameBytes, 1), m_dst(kFrameBytes, 2) {}
    void run()
    {
        const double a = now_ms();
        std::memcpy(m_dst.data(), m_src.data(), kFrameBytes);
        took.push_back(now_ms() - a);
        m_src[took.size() * 4099 % kFrameBytes] = m_dst[took.size() * 8191 % kFrameBytes];
    }
    std::vector<double> took;

private:
    std::vector<uint8_t> m_src, m_dst;
};

struct push_times {
    std::vector<double> pushes, copies;  // each push's milliseconds, each copy's beside them
};

// Times `count` back-to-back pushes, with a copy beside each (before it and after it in turn).
push_times time_pushes(KEL_VOUT_HANDLE h, push_fn push, const host_frame frames[2], int count)
{
    beside_copy copy;
    std::vector<double> took;
    for (int i = 0; i < count; ++i) {
        if (i & 1)
            copy.run();
        const double a = now_ms();
        const bool ok = push(h, frames[i & 1]);
        const double b = now_ms();
        if (ok)
            took.push_back(b - a);
        if (!(i & 1))
            copy.run();
    }
    return {took, copy.took};
}

// Times `count` pushes at `rate` a second, each at its own mark of the clock, with a copy beside
// each.
push_times time_paced_pushes(KEL_VOUT_HANDLE h, const host_frame frames[2], int count, double rate)
{
    beside_copy copy;
    std::vector<double> took;
    const double start = now_ms() + 5.0;
    for (int i = 0; i < count; ++i) {
        const double mark = start + double(i) * 1000.0 / rate;
        wait_ms(mark - now_ms());
        if (i & 1)
            copy.run();
        const double a = now_ms();
        const bool ok = push_frame(h, frames[i & 1]);
        const double b = now_ms();
        if (ok)
            took.push_back(b - a);
        if (!(i & 1))
            copy.run();
    }
    return {took, copy.took};
}

double worst(const std::vector<double>& v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

void KEL_VOUT_CALL print_log(void*, int32_t level, const char* message)
{
    static const char* const names[] = {"error", "warning", "info", "debug"};
    std::printf("  [%s] %s\n", names[level >= 0 && level <= 3 ? level : 3], message);
}

// What one run found; NAN where a measurement gave nothing.
struct figures {
    double put_frame_x = NAN;  // push cost over one memcpy of the frame's bytes
    double older_x = NAN;
    double steady_x = NAN;        // at 60 pushes a second, the default queue limit
    double steady_limit2_x = NAN;  // the same with a queue limit of 2
    double fps = NAN;
    double idle_cpu = NAN;  // percent of one core
    double latency_ms = NAN;
    double memory_mb = NAN;  // growth 2 s after a burst, queue limit 2
};

// The older push at the sizes the first version of this program measured: mean and worst.
void older_push_by_size(KEL_VOUT_HANDLE h)
{
    struct Size {
        int w, h;
    };
    for (Size s : {Size{640, 360}, Size{1280, 720}, Size{1920, 1080}}) {
        const int stride = (s.w + 63) / 64 * 64;
        std::vector<uint8_t> y(size_t(stride) * s.h, 100), u(size_t(stride / 2) * (s.h / 2), 120),
            v(size_t(stride / 2) * (s.h / 2), 140);
        const int n = 60;
        double longest = 0, sum = 0;
        for (int i = 0; i < n; ++i) {
            const double a = now_ms();
            kel_vout_put_buffer_pool_yuv(h, y.data(), u.data(), v.data(), stride, s.w, s.h);
            const double took = now_ms() - a;
            sum += took;
            longest = std::max(longest, took);
            if (i % 20 == 19)
                wait_ms(50);  // let the render thread take some
        }
        std::printf("older push %4dx%-4d (stride %d): %.3f ms on average, %.3f ms worst (of %d)\n", s.w, s.h, stride,
                    sum / n, longest, n);
    }
}

// The yardstick: the median of 200 copies of a frame's bytes between two buffers in use.
double memcpy_yardstick()
{
    std::vector<uint8_t> src(kFrameBytes, 1), dst(kFrameBytes, 2);
    std::vector<double> copies;
    volatile uint8_t sink = 0;
    for (int i = 0; i < 200; ++i) {
        src[size_t(i) * 4099 % kFrameBytes] = uint8_t(i);
        const double a = now_ms();
        std::memcpy(dst.data(), src.data(), kFrameBytes);
        copies.push_back(now_ms() - a);
        sink = sink + dst[size_t(i) * 4099 % kFrameBytes];
    }
    // Not yardsticks, but what a copy costs when its destination is not in the cache (eight
    // buffers in turn) or not even mapped yet (a new allocation each time): the buffers of the
    // ring that pushes copy into are often one or the other.
    std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(kFrameBytes, 3));
    std::vector<double> rotating, fresh;
    for (int i = 0; i < 48; ++i) {
        double a = now_ms();
        std::memcpy(buffers[size_t(i) % buffers.size()].data(), src.data(), kFrameBytes);
        rotating.push_back(now_ms() - a);
        a = now_ms();
        uint8_t* p = static_cast<uint8_t*>(std::malloc(kFrameBytes));
        if (p) {
            std::memcpy(p, src.data(), kFrameBytes);
            fresh.push_back(now_ms() - a);
            sink = sink + p[size_t(i) * 4099 % kFrameBytes];
            std::free(p);
        }
    }
    const double yardstick = median(copies);
    std::printf("memcpy of %u bytes: %.3f ms (median of 200); into eight buffers in turn %.3f ms, into a new "
                "allocation %.3f ms\n",
                unsigned(kFrameBytes), yardstick, median(rotating), median(fresh));
    return yardstick;
}

// Prints a run of pushes against both yardsticks; the figure is the one beside the pushes.
void report_pushes(const char* what, const push_times& t, double idle_yardstick, double* ratio)
{
    const double push = median(t.pushes), beside = median(t.copies);
    *ratio = push / beside;
    std::printf("push, %-50s %.3f ms median = %5.2fx a memcpy beside it (%.3f ms), %5.2fx one alone (worst %.1f ms, "
                "of %zu)\n",
                what, push, *ratio, beside, push / idle_yardstick, worst(t.pushes), t.pushes.size());
    if (t.pushes.size() > size_t(2 * kDefaultQueueLimit)) {
        // The first pushes of a run fill the drained ring, into the buffers it kept from the run
        // before (or new ones); the rest let the oldest frame go and reuse its buffer.
        const std::vector<double> made(t.pushes.begin(), t.pushes.begin() + kDefaultQueueLimit);
        const std::vector<double> reused(t.pushes.begin() + kDefaultQueueLimit, t.pushes.end());
        std::printf("      the first %d, filling the ring: %.3f ms median; the %zu after them: %.3f ms = %.2fx\n",
                    kDefaultQueueLimit, median(made), reused.size(), median(reused), median(reused) / beside);
    }
}

// Pushes as a host that decodes faster than the display shows: the waiting frames fill up to the
// queue limit, then each push lets go of the oldest. Then pushes at a display's pace.
void measure_pushes(KEL_VOUT_HANDLE h, const host_frame frames[2], figures* out)
{
    const double yardstick = memcpy_yardstick();
    // A warm-up run, not counted: the ring's first fill after creation makes its buffers (new
    // pages, several copies' worth each under Wine). The runs below start drained, as a host's
    // refill after a seek does, and find the buffers the ring kept.
    drop_waiting(h, frames[0], kDefaultQueueLimit);
    const std::vector<double> warm = time_pushes(h, &push_frame, frames, 2 * kDefaultQueueLimit).pushes;
    const size_t fill = std::min<size_t>(warm.size(), kDefaultQueueLimit);
    std::printf("push, warm-up, not counted: the first %zu (filling the ring, new buffers where it has none) %.3f ms "
                "median, the %zu after them %.3f ms\n",
                fill, median(std::vector<double>(warm.begin(), warm.begin() + fill)), warm.size() - fill,
                median(std::vector<double>(warm.begin() + fill, warm.end())));
    drop_waiting(h, frames[0], kDefaultQueueLimit);
    report_pushes("200 back-to-back, kel_vout_put_frame:", time_pushes(h, &push_frame, frames, 200), yardstick,
                  &out->put_frame_x);
    drop_waiting(h, frames[0], kDefaultQueueLimit);
    report_pushes("200 back-to-back, kel_vout_put_buffer_pool_yuv:", time_pushes(h, &push_older, frames, 200),
                  yardstick, &out->older_x);
    drop_waiting(h, frames[0], kDefaultQueueLimit);
    report_pushes("60 a second, kel_vout_put_frame:", time_paced_pushes(h, frames, 120, 60.0), yardstick,
                  &out->steady_x);
    // What the header advises a host that paces its own pushes.
    kel_vout_set_queue_limit(h, 2);
    drop_waiting(h, frames[0], 2);
    report_pushes("60 a second, kel_vout_put_frame, queue limit 2:", time_paced_pushes(h, frames, 120, 60.0),
                  yardstick, &out->steady_limit2_x);
    std::fflush(stdout);
}

// Frames presented a second when a new one is pushed whenever fewer than two wait: the render
// thread never waits for a frame and none waits long. The host looks every 4 ms, a sixth of a
// frame's time here, so two waiting frames never run out; under Wine each look at the message
// queue is a round trip to the wine server, and looking every millisecond took some 5 % of the
// two cores from the frames being measured.
void measure_render(KEL_VOUT_HANDLE h, const host_frame frames[2], double seconds, figures* out,
                    const std::function<void(long)>& before_push = nullptr)
{
    kel_vout_set_queue_limit(h, 2);
    drop_waiting(h, frames[0], 2);
    long pushed = 0;
    auto feed = [&](double ms) {
        const double end = now_ms() + ms;
        while (now_ms() < end) {
            if (stats_of(h).queued < 2) {
                if (before_push)
                    before_push(pushed);
                push_frame(h, frames[pushed++ & 1]);
            }
            else
                wait_ms(4);
        }
    };
    feed(500);  // the device's first frames at this size are not counted
    const KEL_VOUT_STATS_T s0 = stats_of(h);
    const double t0 = now_ms(), cpu0 = process_cpu_ms();
    feed(seconds * 1000.0);
    const KEL_VOUT_STATS_T s1 = stats_of(h);
    const double wall = now_ms() - t0, cpu = process_cpu_ms() - cpu0;
    out->fps = double(s1.presented - s0.presented) * 1000.0 / wall;
    std::printf("render: %llu frames presented in %.2f s = %.1f fps (the library's own figure %.1f); %llu dropped; "
                "CPU %.0f%% of a core\n",
                static_cast<unsigned long long>(s1.presented - s0.presented), wall / 1000.0, out->fps,
                s1.render_fps, static_cast<unsigned long long>(s1.dropped - s0.dropped), 100.0 * cpu / wall);
    std::fflush(stdout);
}

// 4K frames of the two kinds the HDR figures compare: NV12 (8 bits) and P010 (10 bits in 16),
// gradients moved by `phase`, rows as the host would give them.
struct uhd_frame {
    std::vector<uint8_t> y, uv;
    KEL_VOUT_FRAME_T frame{};
    size_t bytes = 0;
};
const int kUhdWidth = 3840;
const int kUhdHeight = 2160;

uhd_frame make_uhd(bool p010, int phase)
{
    uhd_frame f;
    const int bytes = p010 ? 2 : 1;
    f.y.resize(size_t(kUhdWidth) * kUhdHeight * size_t(bytes));
    f.uv.resize(size_t(kUhdWidth) * (kUhdHeight / 2) * size_t(bytes));
    auto put = [&](std::vector<uint8_t>& plane, size_t i, int value10) {
        if (p010) {
            const unsigned v = unsigned(value10) << 6;
            plane[2 * i] = uint8_t(v);
            plane[2 * i + 1] = uint8_t(v >> 8);
        } else {
            plane[i] = uint8_t(value10 >> 2);
        }
    };
    for (int r = 0; r < kUhdHeight; ++r)
        for (int c = 0; c < kUhdWidth; ++c)
            put(f.y, size_t(r) * kUhdWidth + size_t(c), 64 + (r + c + phase) % 876);
    for (int r = 0; r < kUhdHeight / 2; ++r)
        for (int c = 0; c < kUhdWidth; ++c)
            put(f.uv, size_t(r) * kUhdWidth + size_t(c), c & 1 ? 64 + (r + phase) % 896 : 64 + (c + phase) % 896);
    f.frame.format = p010 ? KEL_VOUT_FMT_P010 : KEL_VOUT_FMT_NV12;
    f.frame.width = kUhdWidth;
    f.frame.height = kUhdHeight;
    f.frame.planes[0] = f.y.data();
    f.frame.planes[1] = f.uv.data();
    f.frame.strides[0] = f.frame.strides[1] = kUhdWidth * bytes;
    f.frame.colorspace = p010 ? KEL_VOUT_CS_BT2020 : KEL_VOUT_CS_BT709;
    f.frame.range = KEL_VOUT_RANGE_LIMITED;
    f.bytes = f.y.size() + f.uv.size();
    return f;
}

bool push_uhd(KEL_VOUT_HANDLE h, const uhd_frame& f, bool pq, int64_t pts_us = KEL_VOUT_PTS_NONE)
{
    KEL_VOUT_FRAME_INFO_T info{};
    info.size = sizeof(info);
    info.pts_us = pts_us;
    info.transfer = pq ? KEL_VOUT_TRC_PQ : KEL_VOUT_TRC_SDR;
    info.primaries = pq ? KEL_VOUT_PRI_BT2020 : KEL_VOUT_PRI_BT709;
    info.max_luminance = pq ? 1000 : 0;
    return kel_vout_put_frame_ex(h, &f.frame, &info) == 0;
}

// Frames presented a second over `seconds`, a new frame pushed whenever fewer than two wait.
double uhd_fps(KEL_VOUT_HANDLE h, const uhd_frame frames[2], bool pq, double seconds)
{
    long pushed = 0;
    auto feed = [&](double ms) {
        const double end = now_ms() + ms;
        while (now_ms() < end) {
            if (stats_of(h).queued < 2)
                push_uhd(h, frames[pushed++ & 1], pq);
            else
                wait_ms(4);
        }
    };
    feed(700);  // the first frames of a kind (new textures, a new program) are not counted
    const KEL_VOUT_STATS_T s0 = stats_of(h);
    const double t0 = now_ms();
    feed(seconds * 1000.0);
    const KEL_VOUT_STATS_T s1 = stats_of(h);
    return double(s1.presented - s0.presented) * 1000.0 / (now_ms() - t0);
}

void measure_hdr(KEL_VOUT_HANDLE h, double seconds)
{
    const uhd_frame nv12[2] = {make_uhd(false, 0), make_uhd(false, 9)};
    const uhd_frame p010[2] = {make_uhd(true, 0), make_uhd(true, 9)};
    kel_vout_set_queue_limit(h, 2);
    // Pushes: each against a memcpy of the same bytes beside it, into a buffer of their own. The
    // frames are due a minute ahead on a paused clock: they wait (the oldest let go at the queue
    // limit) and the render thread draws none meanwhile, so neither copy shares the memory's
    // bandwidth with an upload.
    kel_vout_set_clock(h, 0, 0.0);
    for (int kind = 0; kind < 2; ++kind) {
        const uhd_frame* frames = kind ? p010 : nv12;
        std::vector<uint8_t> copy(frames[0].bytes);
        std::vector<double> pushes, copies;
        for (int i = 0; i < 40; ++i) {
            double a = now_ms();
            std::memcpy(copy.data(), frames[i & 1].y.data(), frames[i & 1].y.size());
            std::memcpy(copy.data() + frames[i & 1].y.size(), frames[i & 1].uv.data(), frames[i & 1].uv.size());
            copies.push_back(now_ms() - a);
            a = now_ms();
            if (push_uhd(h, frames[i & 1], kind == 1, int64_t(60000000) + int64_t(kind * 40 + i) * 40000))
                pushes.push_back(now_ms() - a);
        }
        std::printf("push, 4K %s (%zu bytes): %.2f ms median = %.2fx a memcpy of its bytes (%.2f ms)\n",
                    kind ? "P010" : "NV12", frames[0].bytes, median(pushes), median(pushes) / median(copies),
                    median(copies));
        if (kind == 1)
            std::printf("figures p010_push_x=%.2f\n", median(pushes) / median(copies));
    }
    std::fflush(stdout);
    // An untimed frame lets go of the frames still waiting for their time.
    kel_vout_set_clock(h, 0, 1.0);
    push_uhd(h, nv12[0], false);
    wait_until([&] { return stats_of(h).queued == 0; }, 5000);
    // Frame rates, rounds taken in turn: 4K NV12 SDR, 4K P010 SDR (the upload of twice the bytes
    // and the dither, without light), then 4K P010 PQ tone-mapped.
    std::vector<double> sdr, deep, pq;
    for (int round = 0; round < 3; ++round) {
        sdr.push_back(uhd_fps(h, nv12, false, seconds));
        deep.push_back(uhd_fps(h, p010, false, seconds));
        pq.push_back(uhd_fps(h, p010, true, seconds));
        std::printf("round %d: 4K NV12 SDR %.1f fps, 4K P010 SDR %.1f fps, 4K P010 PQ %.1f fps\n", round + 1,
                    sdr.back(), deep.back(), pq.back());
        std::fflush(stdout);
    }
    // deep_ratio: P010 SDR against NV12 SDR, the 10-bit upload and the dither without light: the
    // most that PQ could reach here, were its light free.
    std::printf("figures nv12_fps=%.1f p010_sdr_fps=%.1f p010_pq_fps=%.1f pq_ratio=%.1f deep_ratio=%.1f\n",
                median(sdr), median(deep), median(pq), 100.0 * median(pq) / median(sdr),
                100.0 * median(deep) / median(sdr));
    std::fflush(stdout);
}

// The processor time of the whole process while the last frame stays on screen and nothing is
// pushed: the render thread's idle passes, and whatever Wine and the driver do meanwhile.
void measure_idle(KEL_VOUT_HANDLE h, double seconds, figures* out)
{
    settled(h);
    wait_ms(100);
    const KEL_VOUT_STATS_T s0 = stats_of(h);
    const double t0 = now_ms(), cpu0 = process_cpu_ms();
    wait_ms(seconds * 1000.0);
    const double wall = now_ms() - t0, cpu = process_cpu_ms() - cpu0;
    const KEL_VOUT_STATS_T s1 = stats_of(h);
    out->idle_cpu = 100.0 * cpu / wall;
    std::printf("idle: a still picture for %.2f s: CPU %.1f%% of a core; %llu repaints\n", wall / 1000.0,
                out->idle_cpu, static_cast<unsigned long long>(s1.repaints - s0.repaints));
    std::fflush(stdout);
}

// A 1920 x 200 subtitle bitmap, premultiplied, white text-like strokes with a dark edge over
// transparency; `phase` moves them, so that each one differs from the one before.
std::vector<uint8_t> subtitle_bitmap(int phase)
{
    const int w = 1920, hgt = 200;
    std::vector<uint8_t> b(size_t(w) * hgt * 4, 0);
    for (int y = 40; y < 160; ++y)
        for (int x = 200; x < 1720; ++x) {
            const int k = (x + phase * 13) % 37;
            const uint8_t a = k < 6 ? 255 : k < 9 ? 160 : 0;
            const uint8_t v = k < 6 ? 255 : 0;
            uint8_t* p = &b[(size_t(y) * w + x) * 4];
            p[0] = p[1] = p[2] = uint8_t(v * a / 255);
            p[3] = a;
        }
    return b;
}

// What overlays cost: the frame rate with a subtitle that changes with every frame, with the
// same subtitle unchanged, and without it, in four rounds of each taken in turn (the median of
// each kind: this machine's speed drifts more within a minute than an overlay costs); then a
// still picture under overlays.
void measure_overlays(KEL_VOUT_HANDLE h, const host_frame frames[2], double seconds)
{
    const std::vector<uint8_t> subtitles[2] = {subtitle_bitmap(0), subtitle_bitmap(1)};
    KEL_VOUT_OVERLAY_T o{};
    o.size = sizeof(o);
    o.width = 1920;
    o.height = 200;
    o.stride = 1920 * 4;
    o.coords = KEL_VOUT_OVERLAY_PICTURE;
    o.y = kFrameHeight - 240;
    o.opacity = 255;
    std::vector<double> plain, changing, unchanged;
    double set_ms = 0;
    long sets = 0;
    for (int round = 0; round < 4; ++round) {
        figures f;
        kel_vout_set_overlay(h, 0, nullptr);
        measure_render(h, frames, seconds / 2, &f);
        plain.push_back(f.fps);
        measure_render(h, frames, seconds / 2, &f, [&](long n) {
            o.bgra = subtitles[n & 1].data();
            const double t = now_ms();
            kel_vout_set_overlay(h, 0, &o);
            set_ms += now_ms() - t;
            ++sets;
        });
        changing.push_back(f.fps);
        measure_render(h, frames, seconds / 2, &f);  // the last one stays
        unchanged.push_back(f.fps);
    }
    // An on-screen display beside the subtitle, both unchanged, over a still picture.
    std::vector<uint8_t> osd(size_t(300) * 60 * 4, 0x80);
    KEL_VOUT_OVERLAY_T d = o;
    d.width = 300;
    d.height = 60;
    d.stride = 300 * 4;
    d.bgra = osd.data();
    d.coords = KEL_VOUT_OVERLAY_WINDOW;
    d.x = d.y = 20;
    kel_vout_set_overlay(h, 1, &d);
    figures idle;
    measure_idle(h, seconds, &idle);
    kel_vout_set_overlay(h, 0, nullptr);
    kel_vout_set_overlay(h, 1, nullptr);
    const double p = median(plain), c = median(changing), u = median(unchanged);
    std::printf("overlays: %.1f fps with a 1920x200 subtitle changed every frame, %.1f with it unchanged, %.1f "
                "without (medians of 4 rounds; %.1f%% and %.1f%% of it); kel_vout_set_overlay %.2f ms a call; a still "
                "picture under two overlays: CPU %.1f%% of a core\n",
                c, u, p, 100.0 * c / p, 100.0 * u / p, sets ? set_ms / double(sets) : 0.0, idle.idle_cpu);
    std::printf("figures overlay_fps=%.1f plain_fps=%.1f overlay_ratio=%.1f overlay_still_fps=%.1f "
                "overlay_idle_cpu=%.1f\n",
                c, p, 100.0 * c / p, u, idle.idle_cpu);
    std::fflush(stdout);
}

// One frame at a time into an idle instance, as the library measures it (from the push to the
// end of the present) and as the host sees it (until the count of presented frames moves).
void measure_latency(KEL_VOUT_HANDLE h, const host_frame frames[2], figures* out)
{
    settled(h);
    std::vector<double> latency, seen;
    for (int i = 0; i < 30; ++i) {
        const uint64_t before = stats_of(h).presented;
        const double a = now_ms();
        push_frame(h, frames[i & 1]);
        KEL_VOUT_STATS_T s{};
        const bool shown = wait_until(
            [&] {
                s = stats_of(h);
                return s.presented > before;
            },
            2000);
        if (shown) {
            seen.push_back(now_ms() - a);
            latency.push_back(s.last_latency_ms);
        }
        wait_ms(a + 100.0 - now_ms());
    }
    out->latency_ms = median(latency);
    std::printf("latency, push to present: %.1f ms median of %zu, worst %.1f (the host sees it after %.1f ms)\n",
                out->latency_ms, latency.size(), worst(latency), median(seen));
    std::fflush(stdout);
}

// Private bytes before a burst of 200 pushes and once the render thread has had two seconds.
double measure_burst(KEL_VOUT_HANDLE h, const host_frame frames[2], int limit)
{
    kel_vout_set_queue_limit(h, limit);
    settled(h);
    wait_ms(200);
    const double before = private_mb();
    for (int i = 0; i < 200; ++i)
        push_frame(h, frames[i & 1]);
    const double at_end = private_mb();
    wait_ms(2000);
    const double after = private_mb();
    std::printf("memory, queue limit %2d: private %.1f MB before a burst of 200 pushes, %.1f MB at its end, %.1f MB "
                "2 s later (%+.1f MB; %u frames still waiting)\n",
                limit, before, at_end, after, after - before, stats_of(h).queued);
    std::fflush(stdout);
    return after - before;
}

// The nearest-rank percentile: the smallest value that p of the values do not exceed (0 < p <= 1).
double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t rank = std::max<size_t>(1, size_t(std::ceil(p * double(v.size()))));
    return v[std::min(rank, v.size()) - 1];
}

KEL_VOUT_HANDLE create_on(HWND host, VOUT_MODE backend)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host;
    cfg.vout_mode = backend;
    cfg.display_mode = VOUT_NORMAL;
    return kel_vout_create(&cfg);
}

struct lifecycle_figures {
    double create_ms = NAN, first_present_ms = NAN, destroy_ms = NAN, destroy_first_ms = NAN;
    double resize_p95_ms = NAN, resize_flow_p95_ms = NAN;
};

// Ten instances made, shown one frame and destroyed once it is on screen; ten more destroyed right
// after their first push, while the device may still be in the making.
void measure_lifecycle(HWND host, VOUT_MODE backend, const host_frame& frame, lifecycle_figures* out)
{
    std::vector<double> create, first, destroy, destroy_first;
    for (int i = 0; i < 20; ++i) {
        const bool wait_for_it = i < 10;
        double a = now_ms();
        KEL_VOUT_HANDLE h = create_on(host, backend);
        if (!h) {
            std::printf("lifecycle: kel_vout_create failed\n");
            return;
        }
        create.push_back(now_ms() - a);
        a = now_ms();
        push_frame(h, frame);
        if (wait_for_it && wait_until([&] { return stats_of(h).presented > 0; }, 5000))
            first.push_back(now_ms() - a);
        a = now_ms();
        kel_vout_destroy(&h);
        (wait_for_it ? destroy : destroy_first).push_back(now_ms() - a);
        wait_ms(20);
    }
    out->create_ms = median(create);
    out->first_present_ms = median(first);
    out->destroy_ms = median(destroy);
    out->destroy_first_ms = median(destroy_first);
    std::printf("lifecycle: create %.1f ms median (worst %.1f), first frame on screen %.1f ms after its push (worst "
                "%.1f), destroy %.1f ms (worst %.1f); destroy right after the first push %.1f ms (worst %.1f)\n",
                out->create_ms, worst(create), out->first_present_ms, worst(first), out->destroy_ms, worst(destroy),
                out->destroy_first_ms, worst(destroy_first));
    std::fflush(stdout);
}

// Where the child sits in the host's client area.
RECT child_rect(HWND host)
{
    RECT rc{};
    HWND child = GetWindow(host, GW_CHILD);
    if (child && GetWindowRect(child, &rc))
        MapWindowPoints(HWND_DESKTOP, host, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

// The host's window resized 20 times, each time waiting until the child fills the new client
// area (VOUT_NORMAL): the milliseconds from the resize until the child matched. With `flowing`,
// 1080p frames arrive 30 times a second meanwhile.
std::vector<double> resize_follow(HWND host, KEL_VOUT_HANDLE h, const host_frame frames[2], bool flowing)
{
    static const SIZE sizes[] = {{1100, 620}, {960, 700}, {1280, 540}, {800, 600}, {1200, 720}};
    std::vector<double> took;
    double next_push = now_ms();
    long pushed = 0;
    for (int i = 0; i < 20; ++i) {
        const SIZE s = sizes[i % 5];
        const double a = now_ms();
        SetWindowPos(host, nullptr, 0, 0, s.cx, s.cy, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
        const bool matched = wait_until(
            [&] {
                if (flowing && now_ms() >= next_push) {
                    push_frame(h, frames[pushed++ & 1]);
                    next_push += 1000.0 / 30.0;
                }
                const RECT rc = child_rect(host);
                return rc.left == 0 && rc.top == 0 && rc.right == s.cx && rc.bottom == s.cy;
            },
            3000);
        took.push_back(matched ? now_ms() - a : 3000.0);
        // A host dragging its border resizes again after a while; frames go on meanwhile.
        const double until = now_ms() + 150.0;
        while (now_ms() < until) {
            if (flowing && now_ms() >= next_push) {
                push_frame(h, frames[pushed++ & 1]);
                next_push += 1000.0 / 30.0;
            }
            wait_ms(2);
        }
    }
    SetWindowPos(host, nullptr, 0, 0, kClientWidth, kClientHeight, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    return took;
}

void measure_resizes(HWND host, VOUT_MODE backend, const host_frame frames[2], lifecycle_figures* out)
{
    KEL_VOUT_HANDLE h = create_on(host, backend);
    if (!h) {
        std::printf("resize: kel_vout_create failed\n");
        return;
    }
    push_frame(h, frames[0]);
    wait_until([&] { return stats_of(h).presented > 0; }, 5000);
    for (bool flowing : {false, true}) {
        const std::vector<double> took = resize_follow(host, h, frames, flowing);
        (flowing ? out->resize_flow_p95_ms : out->resize_p95_ms) = percentile(took, 0.95);
        std::printf("resize follow, %s: %.1f ms median, %.1f ms 95th percentile, %.1f ms worst (of %zu)\n",
                    flowing ? "frames flowing at 30/s" : "still picture", median(took), percentile(took, 0.95),
                    worst(took), took.size());
        std::fflush(stdout);
    }
    kel_vout_destroy(&h);
}

}  // namespace

int main(int argc, char** argv)
{
    VOUT_MODE backend = VOUT_WGL;
    double seconds = 5.0;
    bool lifecycle = false;
    bool overlays = false;
    bool hdr = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--d3d") == 0) {
            backend = VOUT_D3D;
        } else if (std::strcmp(argv[i], "--d3d11") == 0) {
            backend = VOUT_D3D11;
        } else if (std::strcmp(argv[i], "--gl") == 0) {
            backend = VOUT_WGL;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--lifecycle") == 0) {
            lifecycle = true;
        } else if (std::strcmp(argv[i], "--overlays") == 0) {
            overlays = true;
        } else if (std::strcmp(argv[i], "--hdr") == 0) {
            hdr = true;
        } else {
            std::printf("usage: vout_bench.exe [--gl | --d3d | --d3d11] [--seconds N] [--lifecycle | --overlays | "
                        "--hdr]\n");
            return 2;
        }
    }
    if (seconds <= 0.0)
        seconds = 5.0;
    kel_vout_set_log_callback(&print_log, nullptr, KEL_VOUT_LOG_INFO);

    // A frameless host: its client area is exactly 1280x720, and the child fills it.
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "kel_vout_bench";
    RegisterClassA(&wc);
    HWND host = CreateWindowA("kel_vout_bench", "bench", WS_POPUP | WS_VISIBLE, 0, 0, kClientWidth, kClientHeight,
                              nullptr, nullptr, wc.hInstance, nullptr);
    const char* const backend_name =
        backend == VOUT_D3D11 ? "Direct3D 11" : backend == VOUT_D3D ? "Direct3D 9" : "OpenGL";
    if (lifecycle) {
        std::printf("vout_bench --lifecycle, %s, %d-bit\n", backend_name, int(sizeof(void*) * 8));
        const host_frame frames[2] = {make_frame(0), make_frame(7)};
        lifecycle_figures f;
        measure_lifecycle(host, backend, frames[0], &f);
        measure_resizes(host, backend, frames, &f);
        std::printf("figures create_ms=%.1f first_present_ms=%.1f destroy_ms=%.1f destroy_first_ms=%.1f "
                    "resize_p95_ms=%.1f resize_flow_p95_ms=%.1f\n",
                    f.create_ms, f.first_present_ms, f.destroy_ms, f.destroy_first_ms, f.resize_p95_ms,
                    f.resize_flow_p95_ms);
        std::fflush(stdout);
        return 0;
    }
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host;
    cfg.vout_mode = backend;
    cfg.display_mode = VOUT_NORMAL;
    const double t_create = now_ms();
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    if (!h) {
        std::printf("kel_vout_create failed\n");
        return 1;
    }
    std::printf("vout_bench, %s, %d-bit: create %.1f ms; host window %dx%d, frames %dx%d I420 (luma stride %d, "
                "chroma %d)\n",
                backend_name, int(sizeof(void*) * 8), now_ms() - t_create, kClientWidth,
                kClientHeight, kFrameWidth, kFrameHeight, kLumaStride, kChromaStride);
    std::fflush(stdout);

    // Two frames, alternated: each differs from the one before in every pixel.
    const host_frame frames[2] = {make_frame(0), make_frame(7)};
    if (overlays) {
        measure_overlays(h, frames, seconds);
        kel_vout_destroy(&h);
        return 0;
    }
    if (hdr) {
        measure_hdr(h, seconds);
        kel_vout_destroy(&h);
        return 0;
    }
    older_push_by_size(h);
    figures f;
    measure_pushes(h, frames, &f);
    measure_render(h, frames, seconds, &f);
    measure_idle(h, seconds, &f);
    measure_latency(h, frames, &f);
    f.memory_mb = measure_burst(h, frames, 2);
    measure_burst(h, frames, kDefaultQueueLimit);

    const KEL_VOUT_STATS_T end = stats_of(h);
    std::printf("totals: %llu pushed, %llu refused, %llu presented, %llu dropped, %llu repaints, %llu device resets\n",
                static_cast<unsigned long long>(end.pushed), static_cast<unsigned long long>(end.refused),
                static_cast<unsigned long long>(end.presented), static_cast<unsigned long long>(end.dropped),
                static_cast<unsigned long long>(end.repaints), static_cast<unsigned long long>(end.device_resets));
    kel_vout_destroy(&h);
    // One line for scripts/bench.sh.
    std::printf("figures put_frame_x=%.2f older_x=%.2f steady_x=%.2f steady_limit2_x=%.2f fps=%.1f idle_cpu=%.1f "
                "latency_ms=%.1f memory_mb=%.1f\n",
                f.put_frame_x, f.older_x, f.steady_x, f.steady_limit2_x, f.fps, f.idle_cpu, f.latency_ms, f.memory_mb);
    std::fflush(stdout);
    return 0;
}
