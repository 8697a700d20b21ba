// Soak and stress: many create/destroy cycles leave nothing behind; many instances pushed from
// several threads while their host resizes, moves and destroys windows neither hang nor crash;
// garbage handles from several threads are refused. CTest runs a short set; the "soak" label
// runs the long one (KEL_VOUT_SOAK_CYCLES, KEL_VOUT_STRESS_SECONDS, KEL_VOUT_STRESS_INSTANCES;
// KEL_VOUT_STRESS_MOVE=0 keeps the host's windows in place, KEL_VOUT_STRESS_RESIZE=1 resizes
// them too).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <d3d9.h>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_direct3d11.h"
#include "kel_vout.h"
#include "process_counts.h"
#include "test_support.h"

namespace {

int env_int(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// wined3d's heaps breathe by a megabyte from one reading to the next: the least of a few, once
// every destroyed instance's render thread has let go of it.
size_t settled_memory()
{
    render_threads_end();
    size_t least = private_bytes();
    for (int i = 0; i < 4; ++i) {
        HostWindow::pump(100);
        least = std::min(least, private_bytes());
    }
    return least;
}

struct Counts {
    int threads, handles, gui;
    size_t memory;
    static Counts now()
    {
        const size_t memory = settled_memory();
        return {count_process_threads(), count_process_handles(), count_gui_objects(), memory};
    }
};

class Cycles : public ::testing::TestWithParam<VOUT_MODE> {};

}  // namespace

TEST_P(Cycles, CreateDestroyCyclesLeaveNothingBehind)
{
    const VOUT_MODE backend = GetParam();
    const int cycles = std::max(env_int("KEL_VOUT_SOAK_CYCLES", 60), 3);  // a block of cycles each
    HostWindow host(160, 120);
    std::vector<uint8_t> frame(64 * 48 * 3 / 2, 120);
    std::vector<uint8_t> rgb(160 * 120 * 3);
    auto cycle = [&](int i) {
        KEL_VOUT_HANDLE h = create_vout(host.hwnd, backend);
        ASSERT_NE(h, nullptr) << "cycle " << i;
        ASSERT_EQ(kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, 64, 64, 48), 0);
        // A picture is painted, so that every cycle makes and releases its device (an instance
        // destroyed right after its push stops before it makes one). Every other cycle's destroy
        // comes at once after it.
        int32_t w = 0, hgt = 0;
        EXPECT_EQ(kel_vout_snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 5000), 0) << "cycle " << i;
        if (i % 2) {
            ASSERT_EQ(kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, 64, 64, 48), 0);
        }
        ASSERT_EQ(kel_vout_destroy(&h), 0);
    };
    // The first instances make what the system keeps for the process (Mesa, wined3d; wined3d's
    // heaps were seen to settle only after some 60 instances, about 1 MB later).
    for (int i = 0; i < 60; ++i)
        cycle(i);
    HostWindow::pump(300);
    const Counts before = Counts::now();
    // The cycles run in three blocks with a reading after each: a leak of ours grows in every
    // block, wined3d's heaps step now and then (a fresh CI machine once stepped by 2.5 MiB in one
    // run of 60 after the warm-up, and not again in the next backend's 120 cycles).
    constexpr int kBlocks = 3;
    size_t least_block_growth = SIZE_MAX, last = before.memory;
    std::string blocks;  // each block's growth, for the record
    const DWORD t0 = GetTickCount();
    DWORD reading = 0;
    for (int b = 0; b < kBlocks; ++b) {
        for (int i = b * cycles / kBlocks; i < (b + 1) * cycles / kBlocks; ++i) {
            cycle(i);
            if (HasFatalFailure())
                return;
        }
        const DWORD r0 = GetTickCount();
        const size_t now = settled_memory();
        reading += GetTickCount() - r0;
        least_block_growth = std::min(least_block_growth, now > last ? now - last : 0);
        blocks += (b ? ", " : "") + std::to_string((static_cast<long long>(now) - static_cast<long long>(last)) / 1024);
        last = now;
    }
    const DWORD took = GetTickCount() - t0 - reading;  // the cycles alone
    EXPECT_TRUE(render_threads_end());
    HostWindow::pump_until([&] { return count_process_threads() <= before.threads; }, kPatienceMs);
    HostWindow::pump(300);
    const Counts after = Counts::now();
    std::printf("[ soak     ] %s, %d cycles in %lu ms: threads %d -> %d, handles %d -> %d, GDI+USER %d -> %d, "
                "private memory %zu -> %zu KiB (blocks of cycles %s KiB)\n",
                backend_title(backend), cycles, static_cast<unsigned long>(took), before.threads,
                after.threads, before.handles, after.handles, before.gui, after.gui, before.memory >> 10,
                after.memory >> 10, blocks.c_str());
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.handles, before.handles + 2);  // wined3d's command thread may come and go
    EXPECT_LE(after.gui, before.gui);
    // Every device went with its last reference: growth below is the system's, not a device of ours.
    EXPECT_EQ(kel_direct3d::live_devices(), 0);
    EXPECT_EQ(kel_direct3d11::live_devices(), 0);
    // Allowed growth: 1 MiB over the long run's 1000 cycles, 2 MiB over the short run's 60 (a
    // leaked back buffer or texture a cycle shows; a leaked 64x48 frame, 4.6 KB, only in the long
    // run). Growth counts against it where every block grew: a steady leak does, a step of the
    // system's heaps does not.
    const size_t allowed = size_t(env_int("KEL_VOUT_SOAK_MEMORY_KIB", 2048)) << 10;
    const long long total_kib =
        static_cast<long long>(after.memory >> 10) - static_cast<long long>(before.memory >> 10);
    EXPECT_LT(least_block_growth * kBlocks, allowed) << "every block of cycles grew; " << total_kib << " KiB in all";
    // The long set holds the whole run to the allowance, steps included. The short one allows one
    // step of the system's heaps: seen up to 11.7 MB in one block of 20 Direct3D 11 cycles, with
    // 152 KiB and 2.2 MB in the other two (a steady leak fails the rule above).
    const size_t step = env_int("KEL_VOUT_SOAK_TOTAL", 0) ? 0 : size_t(16) << 20;
    EXPECT_LT(after.memory, before.memory + allowed + step);
}

INSTANTIATE_TEST_SUITE_P(Backends, Cycles, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& i) { return std::string(backend_label(i.param)); });

// Instances (16 in the long set, 8 in the short one) in 4 windows, pushed from 4 threads at
// about 30 frames a second each, while the host changes modes, moves its windows, takes
// snapshots, and destroys one window with its instances still alive. HACK: under this Wine with
// Debian 12's libX11 (1.8.4), a host that resizes its window while another thread presents into
// a child deadlocks inside libX11 (Wine's Direct3D thread in XGetGeometry on an X error, the
// host's thread in XSync inside SetWindowPos). bench/resize_while_presenting.cpp shows it without
// the library, with Direct3D 9, 11 and OpenGL alike, within seconds; moves alone never hung
// there. So the host resizes its windows only with KEL_VOUT_STRESS_RESIZE=1, and the short set
// runs OpenGL instances alone. Even so the long set's 16 instances were seen to hang the same
// way (a thread in XGetGeometry on an X error, others in XSync or XFlush) in two of four runs
// of the mixes with Direct3D, where a window goes with children still presenting into it.
enum class Mix { wgl, d3d, d3d11, both };

class Stress : public ::testing::TestWithParam<Mix> {};

TEST_P(Stress, InstancesOnFourThreadsAndAWindowDestroyedMidRun)
{
    const Mix mix = GetParam();
    const int seconds = env_int("KEL_VOUT_STRESS_SECONDS", 6);
    const int count = env_int("KEL_VOUT_STRESS_INSTANCES", mix == Mix::d3d || mix == Mix::d3d11 ? 4 : 8) / 4 * 4;
    const int per_thread = count / 4;
    const bool resizes = env_int("KEL_VOUT_STRESS_RESIZE", 0) != 0;
    const bool moves = env_int("KEL_VOUT_STRESS_MOVE", 1) != 0;
    std::vector<std::unique_ptr<HostWindow>> hosts;
    for (int i = 0; i < 3; ++i)
        hosts.push_back(std::make_unique<HostWindow>(320, 200, 20 + 340 * i, 20));
    // The window that goes: not a reused test host.
    static ATOM cls = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "kel_vout_stress_doomed";
        return RegisterClassA(&wc);
    }();
    ASSERT_NE(cls, 0);
    HWND doomed = CreateWindowA("kel_vout_stress_doomed", "", WS_POPUP | WS_VISIBLE, 20, 260, 320, 200, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(doomed, nullptr);
    const HWND parents[4] = {hosts[0]->hwnd, hosts[1]->hwnd, hosts[2]->hwnd, doomed};
    auto backend_of = [&](int i) {
        if (mix != Mix::both)
            return mix == Mix::wgl ? VOUT_WGL : mix == Mix::d3d ? VOUT_D3D : VOUT_D3D11;
        const VOUT_MODE all[3] = {VOUT_WGL, VOUT_D3D, VOUT_D3D11};
        return all[(i + i / 4) % 3];
    };

    const int threads_before = count_process_threads();
    std::vector<KEL_VOUT_HANDLE> handles;
    for (int i = 0; i < count; ++i) {
        KEL_VOUT_HANDLE h = create_vout(parents[i % 4], backend_of(i), DISPLAY_MODE(i % 4));
        ASSERT_NE(h, nullptr) << "instance " << i;
        handles.push_back(h);
    }

    std::atomic<bool> stop{false};
    std::atomic<long> accepted{0}, refused{0};
    std::vector<std::thread> pushers;
    for (int t = 0; t < 4; ++t)
        pushers.emplace_back([&, t] {
            // Each thread feeds its instances, one in each window, with frames of changing sizes.
            const int sizes[3][2] = {{320, 180}, {160, 120}, {96, 160}};
            std::vector<uint8_t> frame(320 * 180 * 3 / 2);
            for (int n = 0; !stop; ++n) {
                const int* sz = sizes[(n / 30) % 3];
                std::fill(frame.begin(), frame.end(), uint8_t(16 + (n * 7 + t * 50) % 220));
                for (int k = 0; k < per_thread; ++k) {
                    const int32_t r = kel_vout_put_buffer_pool_yuv(handles[size_t(t * per_thread + k)], frame.data(), nullptr,
                                                                    nullptr, sz[0], sz[0], sz[1]);
                    (r == 0 ? accepted : refused)++;
                }
                Sleep(33);
            }
        });

    const DWORD start = GetTickCount();
    std::vector<uint8_t> rgb(320 * 200 * 3);
    int snapshots = 0, step = 0;
    bool destroyed = false;
    while (GetTickCount() - start < DWORD(seconds) * 1000) {
        ++step;
        HostWindow& h = *hosts[size_t(step % 3)];
        int action = step % 5;
        if ((action == 0 && !resizes) || (action == 1 && !moves))
            action = 4;  // a snapshot instead
        switch (action) {
        case 0:
            h.resize_client(240 + (step * 37) % 160, 150 + (step * 23) % 100);
            break;
        case 1:
            h.move_to(20 + 340 * (step % 3) + (step % 7), 20 + (step % 11));
            break;
        case 2:
            kel_vout_set_display_mode(handles[size_t(step % count)], DISPLAY_MODE(step % 4));
            break;
        default: {
            int32_t w = 0, hgt = 0;
            // Instances in the three windows that stay (the fourth window's are 3, 7, ...).
            const int i = step % count;
            snapshots += kel_vout_snapshot(handles[size_t(i % 4 == 3 ? i - 1 : i)], rgb.data(), int32_t(rgb.size()),
                                           &w, &hgt, 2000) == 0;
            break;
        }
        }
        if (!destroyed && GetTickCount() - start > DWORD(seconds) * 500) {
            DestroyWindow(doomed);  // instances 3, 7, 11, ... lose their window
            destroyed = true;
        }
        HostWindow::pump(25);
    }
    stop = true;
    for (auto& t : pushers)
        t.join();
    EXPECT_TRUE(destroyed);
    EXPECT_GT(snapshots, 0);
    EXPECT_GT(accepted.load(), count * 10);
    EXPECT_EQ(refused.load(), 0) << "pushes to live instances, orphaned ones included, are taken";

    // The statistics add up on every instance, orphaned ones included, once its render thread is
    // between frames: every accepted push was presented, dropped, or still waits.
    uint64_t pushed = 0;
    for (size_t i = 0; i < handles.size(); ++i) {
        KEL_VOUT_STATS_T st{};
        const bool adds_up = HostWindow::pump_until(
            [&] {
                st = KEL_VOUT_STATS_T{};
                st.size = sizeof(st);
                return kel_vout_get_stats(handles[i], &st) == 0 && st.pushed == st.presented + st.dropped + st.queued;
            },
            kPatienceMs);
        EXPECT_TRUE(adds_up) << "instance " << i << ": pushed " << st.pushed << ", presented " << st.presented
                             << ", dropped " << st.dropped << ", queued " << st.queued;
        EXPECT_EQ(st.refused, 0u) << "instance " << i;
        pushed += st.pushed;
    }
    EXPECT_EQ(pushed, uint64_t(accepted.load()));

    DWORD slowest = 0;
    for (KEL_VOUT_HANDLE& h : handles) {
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(kel_vout_destroy(&h), 0);
        slowest = std::max(slowest, GetTickCount() - t0);
    }
    std::printf("[ stress   ] %d instances, windows %s, %d s: %ld frames taken, %d snapshots, slowest destroy %lu "
                "ms\n",
                count, resizes && moves ? "resized and moved" : resizes ? "resized" : moves ? "moved" : "in place",
                seconds, accepted.load(), snapshots,
                static_cast<unsigned long>(slowest));
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs));
}

INSTANTIATE_TEST_SUITE_P(Backends, Stress, ::testing::Values(Mix::wgl, Mix::d3d, Mix::d3d11, Mix::both),
                         [](const ::testing::TestParamInfo<Mix>& i) {
                             return std::string(i.param == Mix::wgl ? "Wgl" : i.param == Mix::d3d ? "D3d" : i.param == Mix::d3d11 ? "D3d11" : "Both");
                         });

// Stale, null and garbage handles from several threads at once, beside a live instance: the
// live one answers, the others answer 1 and nothing happens to the process.
TEST(Garbage, HandlesFromManyThreads)
{
    HostWindow host(160, 120);
    KEL_VOUT_HANDLE live = create_vout(host.hwnd, VOUT_WGL);
    ASSERT_NE(live, nullptr);
    KEL_VOUT_HANDLE stale = create_vout(host.hwnd, VOUT_D3D);
    ASSERT_NE(stale, nullptr);
    const KEL_VOUT_HANDLE stale_copy = stale;
    ASSERT_EQ(kel_vout_destroy(&stale), 0);

    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0}, calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<uint8_t> frame(64 * 48 * 3 / 2, 90);
            uint32_t seed = 12345u + uint32_t(t);
            while (!stop) {
                seed = seed * 1103515245u + 12345u;
                const KEL_VOUT_HANDLE garbage[] = {nullptr, stale_copy, KEL_VOUT_HANDLE(uintptr_t(seed)),
                                                   KEL_VOUT_HANDLE(uintptr_t(seed | 0xB)), KEL_VOUT_HANDLE(&seed)};
                for (KEL_VOUT_HANDLE g : garbage) {
                    if (g == live)
                        continue;  // a random number that happens to be the live handle
                    DISPLAY_MODE mode;
                    int32_t w, hgt;
                    KEL_VOUT_HANDLE copy = g;
                    wrong += kel_vout_put_buffer_pool_yuv(g, frame.data(), nullptr, nullptr, 64, 64, 48) != 1;
                    wrong += kel_vout_set_display_mode(g, VOUT_4_3) != 1;
                    wrong += kel_vout_get_display_mode(g, &mode) != 1;
                    wrong += kel_vout_snapshot(g, frame.data(), int32_t(frame.size()), &w, &hgt, 10) != 1;
                    wrong += kel_vout_destroy(&copy) != 1;
                    calls += 5;
                }
                wrong += kel_vout_put_buffer_pool_yuv(live, frame.data(), nullptr, nullptr, 64, 64, 48) != 0;
            }
        });
    HostWindow::pump(1500);
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(calls.load(), 1000);
    EXPECT_EQ(kel_vout_destroy(&live), 0);
}

// The yardstick of the Direct3D 9 soak: what the same cycles cost without the library. Each cycle
// a new thread makes a child window, a Direct3D 9 object and device, a surface and a texture,
// presents, releases everything and ends, as an instance's render thread does. Figures only (the
// long set): growth here is the system's own.
static DWORD WINAPI bare_d3d9_cycle(void* parent)
{
    HWND child = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 160, 120, static_cast<HWND>(parent),
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    IDirect3DDevice9* device = nullptr;
    D3DPRESENT_PARAMETERS pp{};
    pp.Windowed = TRUE;
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    if (d3d && SUCCEEDED(d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, child,
                                           D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_FPU_PRESERVE, &pp, &device))) {
        IDirect3DSurface9* surface = nullptr;
        IDirect3DTexture9* texture = nullptr;
        device->CreateOffscreenPlainSurface(64, 48, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &surface, nullptr);
        device->CreateTexture(64, 48, 1, D3DUSAGE_DYNAMIC, D3DFMT_L8, D3DPOOL_DEFAULT, &texture, nullptr);
        IDirect3DSurface9* back = nullptr;
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        if (surface && SUCCEEDED(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back))) {
            device->StretchRect(surface, nullptr, back, nullptr, D3DTEXF_LINEAR);
            back->Release();
        }
        device->Present(nullptr, nullptr, nullptr, nullptr);
        if (texture)
            texture->Release();
        if (surface)
            surface->Release();
        device->Release();
    }
    if (d3d)
        d3d->Release();
    DestroyWindow(child);
    return 0;
}

TEST(SystemBaseline, Direct3D9CyclesWithoutTheLibrary)
{
    const int cycles = std::max(env_int("KEL_VOUT_SOAK_CYCLES", 60), 3);  // a block of cycles each
    HostWindow host(160, 120);
    auto cycle = [&] {
        HANDLE t = CreateThread(nullptr, 0, &bare_d3d9_cycle, host.hwnd, 0, nullptr);
        ASSERT_NE(t, nullptr);
        HostWindow::pump_until([&] { return WaitForSingleObject(t, 0) == WAIT_OBJECT_0; }, kPatienceMs);
        CloseHandle(t);
    };
    for (int i = 0; i < 60; ++i)
        cycle();
    HostWindow::pump(300);
    const Counts before = Counts::now();
    for (int i = 0; i < cycles; ++i)
        cycle();
    HostWindow::pump(300);
    const Counts after = Counts::now();
    std::printf("[ baseline ] Direct3D 9 without the library, %d cycles: threads %d -> %d, handles %d -> %d, "
                "private memory %zu -> %zu KiB\n",
                cycles, before.threads, after.threads, before.handles, after.handles, before.memory >> 10,
                after.memory >> 10);
}
