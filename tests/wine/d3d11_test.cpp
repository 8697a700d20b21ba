// The Direct3D 11 backend where it differs from the others: what it made (device, swap chain,
// shaders) as its log says, the quadrants of a planar and a packed frame in their places, and a
// removed device (forced through the result hook: Wine cannot remove one) or one that cannot be
// made coming back without the host. The checks every backend shares run in the suites
// parametrised over the backends.
#include <gtest/gtest.h>

#include <windows.h>

#include <dxgi.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_window.h"
#include "kel_direct3d11.h"
#include "kel_vout.h"
#include "process_counts.h"
#include "test_colours.h"
#include "test_support.h"

namespace {

using cc = kel_direct3d11::checked_call;

std::mutex g_log_mutex;
std::vector<std::string> g_log;

void KEL_VOUT_CALL collect(void*, int32_t level, const char* message)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.push_back(std::to_string(level) + " " + message);
}

std::vector<std::string> log_lines()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log;
}

bool logged(const std::string& part)
{
    for (const std::string& line : log_lines())
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

struct Seen {
    cc call;
    HRESULT hr;
    DWORD tick;
};
std::mutex g_seen_mutex;
std::vector<Seen> g_seen;
std::atomic<HRESULT> g_present_result{S_OK};  // given to the next present, once
std::atomic<int> g_create_failures{0};        // the next devices that cannot be made

HRESULT hook(cc call, HRESULT hr)
{
    if (call == cc::present) {
        const HRESULT forced = g_present_result.exchange(S_OK);
        if (forced != S_OK)
            hr = forced;
    }
    if (call == cc::create_device && g_create_failures.load() > 0) {
        --g_create_failures;
        hr = DXGI_ERROR_UNSUPPORTED;
    }
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_seen.push_back({call, hr, GetTickCount()});
    return hr;
}

std::vector<Seen> seen()
{
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    return g_seen;
}

class D3d11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log.clear();
        }
        {
            std::lock_guard<std::mutex> lock(g_seen_mutex);
            g_seen.clear();
        }
        g_present_result = S_OK;
        g_create_failures = 0;
        kel_vout_set_log_callback(&collect, nullptr, 2);
        kel_direct3d11::set_result_hook_for_testing(&hook);
    }
    void TearDown() override
    {
        kel_direct3d11::set_result_hook_for_testing(nullptr);
        kel_vout_set_log_callback(nullptr, nullptr, 0);
    }

    static KEL_VOUT_HANDLE create(HWND parent, SOURCE_FORMAT format = VOUT_YUV420)
    {
        return create_vout(parent, VOUT_D3D11, VOUT_NORMAL, format);
    }
    static KEL_VOUT_STATS_T stats_of(KEL_VOUT_HANDLE h)
    {
        KEL_VOUT_STATS_T s{};
        s.size = sizeof(s);
        kel_vout_get_stats(h, &s);
        return s;
    }
    static bool shows(KEL_VOUT_HANDLE h, const Colour& c)
    {
        Snapshot s;
        return snapshot_until(h, s, [&](const Snapshot& sn) { return close_to(sn.at(10, 10), c.rgb); });
    }
};

// A 4:2:0 frame of one colour (I420 through the frame export).
std::vector<uint8_t> solid(int w, int h, const Colour& c)
{
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<uint8_t> f(size_t(w) * h + 2 * size_t(cw) * ch);
    std::fill(f.begin(), f.begin() + w * h, c.yuv[0]);
    std::fill(f.begin() + w * h, f.begin() + w * h + cw * ch, c.yuv[1]);
    std::fill(f.begin() + w * h + cw * ch, f.end(), c.yuv[2]);
    return f;
}

bool push(KEL_VOUT_HANDLE h, const std::vector<uint8_t>& f, int w, int hgt)
{
    const KEL_VOUT_FRAME_T fr = packed_i420(f, w, hgt);
    return kel_vout_put_frame(h, &fr) == 0;
}

}  // namespace

TEST_F(D3d11, SaysWhatItMadeAndShowsQuadrantsInTheirPlaces)
{
    HostWindow host(160, 120);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(host.child("kel_vout_d3d11_1_0_0"), nullptr);
    // Red, green, blue, white quadrants of an I420 frame of the window's size: the chroma
    // planes in their order and at their pitch.
    const int w = 160, hh = 120, cw = w / 2, ch = hh / 2;
    const Colour* q[4] = {&kRed, &kGreen, &kBlue, &kWhite};
    std::vector<uint8_t> f(size_t(w) * hh * 3 / 2);
    for (int y = 0; y < hh; ++y)
        for (int x = 0; x < w; ++x)
            f[y * w + x] = q[(y >= hh / 2) * 2 + (x >= w / 2)]->yuv[0];
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const Colour* c = q[(y >= ch / 2) * 2 + (x >= cw / 2)];
            f[w * hh + y * cw + x] = c->yuv[1];
            f[w * hh + cw * ch + y * cw + x] = c->yuv[2];
        }
    ASSERT_TRUE(push(h, f, w, hh));
    Snapshot s;
    ASSERT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) { return close_to(sn.at(20, 20), kRed.rgb); }));
    ASSERT_EQ(s.width, 160);
    ASSERT_EQ(s.height, 120);
    EXPECT_TRUE(close_to(s.at(140, 20), kGreen.rgb));
    EXPECT_TRUE(close_to(s.at(20, 100), kBlue.rgb));
    EXPECT_TRUE(close_to(s.at(140, 100), kWhite.rgb));

    EXPECT_TRUE(logged("shaders compiled at run time by d3dcompiler_47.dll"));
    EXPECT_TRUE(logged("Direct3D 11 hardware device on "));
    EXPECT_TRUE(logged("feature level 1"));
    // This Wine has DXGI 1.2's flip model; a system without it would say DISCARD.
    EXPECT_TRUE(logged("Direct3D 11 swap chain FLIP_DISCARD, 160x120"));
    // Wine's present spins while one is queued: under Wine each present waits for the last one.
    EXPECT_TRUE(logged("at most one frame queued, each present after the last one is done"));
    for (const std::string& line : log_lines())
        std::printf("[ log      ] %s\n", line.c_str());
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_F(D3d11, ARemovedDeviceIsMadeAgainAndFramesComeBack)
{
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push(h, solid(64, 48, kRed), 64, 48));
    ASSERT_TRUE(shows(h, kRed));
    const uint64_t resets = stats_of(h).device_resets;

    for (HRESULT removal : {DXGI_ERROR_DEVICE_REMOVED, DXGI_ERROR_DEVICE_RESET}) {
        g_present_result = removal;
        ASSERT_TRUE(push(h, solid(64, 48, kGreen), 64, 48));  // its present finds the device gone
        ASSERT_TRUE(HostWindow::pump_until([] { return g_present_result.load() == S_OK; }, kPatienceMs));
        // Frames come back without the host doing anything.
        ASSERT_TRUE(push(h, solid(64, 48, kBlue), 64, 48));
        EXPECT_TRUE(shows(h, kBlue));
        ASSERT_TRUE(push(h, solid(64, 48, kWhite), 64, 48));
        EXPECT_TRUE(shows(h, kWhite));
    }
    EXPECT_EQ(stats_of(h).device_resets, resets + 2);
    EXPECT_TRUE(logged("Direct3D 11 device removed (IDXGISwapChain::Present; reason: "));
    EXPECT_TRUE(logged("Direct3D 11 device made again; frames are shown again"));
    int devices = 0;
    for (const Seen& e : seen())
        devices += e.call == cc::create_device && SUCCEEDED(e.hr);
    EXPECT_EQ(devices, 3);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_F(D3d11, WithoutADeviceItTriesHardwareThenWarpEveryHalfSecond)
{
    // Two rounds of hardware and WARP fail, then the hardware device comes.
    g_create_failures = 4;
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    ASSERT_NE(h, nullptr);  // the instance exists; it shows nothing yet
    ASSERT_TRUE(push(h, solid(64, 48, kWhite), 64, 48));
    EXPECT_TRUE(shows(h, kWhite));
    EXPECT_EQ(g_create_failures.load(), 0);

    std::vector<DWORD> rounds;
    int calls = 0;
    for (const Seen& e : seen())
        if (e.call == cc::create_device && calls++ % 2 == 0)
            rounds.push_back(e.tick);
    ASSERT_EQ(rounds.size(), 3u);
    for (size_t i = 1; i < rounds.size(); ++i)
        EXPECT_GE(rounds[i] - rounds[i - 1], 450u) << "round " << i;
    EXPECT_TRUE(logged("D3D11CreateDevice (hardware; WARP is tried next) failed: DXGI_ERROR_UNSUPPORTED"));
    EXPECT_TRUE(logged("D3D11CreateDevice (WARP) failed"));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_F(D3d11, WithoutFlipModelTheBlitModelTakesOver)
{
    // The system refuses both flip effects (with and without the waitable object).
    kel_direct3d11::set_result_hook_for_testing([](cc call, HRESULT hr) -> HRESULT {
        static int refused = 0;
        if (call == cc::create_swap_chain && refused < 4) {
            ++refused;
            return DXGI_ERROR_INVALID_CALL;
        }
        return hr;
    });
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push(h, solid(64, 48, kGreen), 64, 48));
    EXPECT_TRUE(shows(h, kGreen));
    EXPECT_TRUE(logged("Direct3D 11 swap chain DISCARD, 64x48"));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_F(D3d11, WithoutAShaderCompilerCreationFailsAndSaysWhy)
{
    kel_direct3d11::set_compiler_for_testing("kel_vout_no_such_compiler.dll");
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    kel_direct3d11::set_compiler_for_testing(nullptr);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(host.child("kel_vout_d3d11_1_0_0"), nullptr);
    EXPECT_TRUE(logged("0 LoadLibrary (d3dcompiler_47.dll) failed: no shader compiler on this system"));
    // The next instance, with the system's compiler, draws.
    h = create(host.hwnd);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push(h, solid(64, 48, kBlue), 64, 48));
    EXPECT_TRUE(shows(h, kBlue));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_F(D3d11, NewColoursAtTheSameSizeTakeEffectAtOnce)
{
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    ASSERT_NE(h, nullptr);
    // One frame's bytes, Y 235 and neutral chroma, pushed as limited then as full range, then
    // as limited again: white, then 235 grey (full range takes Y as it is), then white.
    const std::vector<uint8_t> f = solid(64, 48, kWhite);
    const uint8_t white[3] = {255, 255, 255}, grey235[3] = {235, 235, 235};
    for (int range : {KEL_VOUT_RANGE_LIMITED, KEL_VOUT_RANGE_FULL, KEL_VOUT_RANGE_LIMITED}) {
        const KEL_VOUT_FRAME_T fr = packed_i420(f, 64, 48, range);
        ASSERT_EQ(kel_vout_put_frame(h, &fr), 0);
        const uint8_t* want = range == KEL_VOUT_RANGE_FULL ? grey235 : white;
        Snapshot s;
        EXPECT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) {
            return close_to(sn.at(5, 5), want, 1) && close_to(sn.at(60, 44), want, 1);
        })) << "range " << range;
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

std::atomic<HRESULT> g_resize_result{S_OK};  // given to the next ResizeBuffers, once

TEST_F(D3d11, RemovalsDuringResizesAndPresentsLeaveNothingBehind)
{
    kel_direct3d11::set_result_hook_for_testing([](cc call, HRESULT hr) -> HRESULT {
        const HRESULT forced = call == cc::resize_buffers ? g_resize_result.exchange(S_OK)
                               : call == cc::present      ? g_present_result.exchange(S_OK)
                                                          : S_OK;
        return forced != S_OK ? forced : hr;
    });
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create(host.hwnd);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push(h, solid(64, 48, kRed), 64, 48));
    ASSERT_TRUE(shows(h, kRed));

    // The device goes while the swap chain takes a new size: frames come back at that size.
    g_resize_result = DXGI_ERROR_DEVICE_REMOVED;
    host.resize_client(80, 60);
    HostWindow::pump(150);
    ASSERT_TRUE(push(h, solid(64, 48, kGreen), 64, 48));
    Snapshot s;
    EXPECT_TRUE(snapshot_until(h, s, [](const Snapshot& sn) {
        return sn.width == 80 && close_to(sn.at(75, 55), kGreen.rgb);
    }));
    EXPECT_EQ(g_resize_result.load(), S_OK) << "the resize met the removal";

    // Many removals at presents: every device goes with everything it made.
    const int handles_before = count_process_handles();
    const size_t memory_before = private_bytes();
    const uint64_t resets = stats_of(h).device_resets;
    for (int i = 0; i < 30; ++i) {
        g_present_result = DXGI_ERROR_DEVICE_REMOVED;
        ASSERT_TRUE(push(h, solid(64, 48, kBlue), 64, 48));
        ASSERT_TRUE(HostWindow::pump_until([] { return g_present_result.load() == S_OK; }, kPatienceMs));
        ASSERT_TRUE(push(h, solid(64, 48, i % 2 ? kWhite : kGreen), 64, 48));
        ASSERT_TRUE(shows(h, i % 2 ? kWhite : kGreen)) << i;
    }
    HostWindow::pump(200);
    const int handles_after = count_process_handles();
    const size_t memory_after = private_bytes();
    EXPECT_EQ(stats_of(h).device_resets, resets + 30);
    std::printf("[ removal  ] 30 devices made again: handles %d -> %d, private memory %zu -> %zu KiB\n", handles_before,
                handles_after, memory_before >> 10, memory_after >> 10);
    EXPECT_LE(handles_after, handles_before + 2);
    // Each device went with its last reference. wined3d's heaps grow by up to about 0.6 MiB per
    // device made in a fresh process, also with every reference gone, so memory is only printed.
    EXPECT_EQ(kel_direct3d11::live_devices(), 1);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_TRUE(render_threads_end());
    EXPECT_EQ(kel_direct3d11::live_devices(), 0);
}

// Sizes and moves while frames flow: each size resizes the swap chain, a move only places the
// window; the picture fills the last size, and the instance leaves nothing behind. (The host
// pumps after each change: see resize_and_settle in d3d_test.cpp for Wine's Xlib.)
TEST_F(D3d11, ResizesAndMovesWhileFramesFlowKeepThePictureWhole)
{
    HostWindow host(320, 180, 40, 40);
    HostWindow::pump(100);
    const int threads_before = count_process_threads();
    const int handles_before = count_process_handles();
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host.hwnd;
    cfg.vout_mode = VOUT_D3D11;
    cfg.display_mode = VOUT_16_9;
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    ASSERT_NE(h, nullptr);
    // Red left, blue right: a picture drawn into a buffer of the wrong size shows its edge away
    // from the window's.
    const int w = 160, hh = 90;
    std::vector<uint8_t> f(size_t(w) * hh * 3 / 2);
    for (int y = 0; y < hh; ++y)
        for (int x = 0; x < w; ++x)
            f[y * w + x] = (x < w / 2 ? kRed : kBlue).yuv[0];
    for (int y = 0; y < hh / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            f[w * hh + y * (w / 2) + x] = (x < w / 4 ? kRed : kBlue).yuv[1];
            f[w * hh + (w / 2) * (hh / 2) + y * (w / 2) + x] = (x < w / 4 ? kRed : kBlue).yuv[2];
        }
    const uint64_t resets_before = stats_of(h).device_resets;
    int sizes = 0;
    for (int i = 0; i < 16; ++i) {
        if (i % 2) {
            host.move_to(40 + (i * 37) % 300, 40 + (i * 23) % 200);
        } else {
            host.resize_client(200 + (i * 53) % 400, 150 + (i * 31) % 300);
            ++sizes;
        }
        HostWindow::pump(60);
        ASSERT_TRUE(push(h, f, w, hh));
        HostWindow::pump(30);
    }
    host.resize_client(640, 360);
    HostWindow::pump(100);
    ++sizes;
    ASSERT_TRUE(push(h, f, w, hh));
    Snapshot s;
    EXPECT_TRUE(snapshot_until(h, s, [](const Snapshot& sn) {
        return sn.width == 640 && sn.height == 360 && close_to(sn.at(4, 180), kRed.rgb) &&
               close_to(sn.at(635, 180), kBlue.rgb) && close_to(sn.at(300, 4), kRed.rgb) &&
               close_to(sn.at(340, 355), kBlue.rgb);
    }));
    // At most one resize per size (sizes that a pass saw only as an intermediate are skipped).
    const uint64_t resizes = stats_of(h).device_resets - resets_before;
    EXPECT_GE(resizes, 1u);
    EXPECT_LE(resizes, uint64_t(sizes));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs));
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_handles() <= handles_before; }, kPatienceMs))
        << count_process_handles() << " handles, " << handles_before << " before";
}
