// What a host can do wrong, or what can go wrong around it, without the host's process paying
// for it: stale and garbage handles, destroys re-entered or racing other calls, the host's
// window destroyed first, allocations that fail, and the log lines that say why.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_vout.h"
#include "kel_vout_base.h"
#include "render_loop.h"
#include "test_support.h"

// Allocations above g_fail_above bytes fail while it is set (0: none fail): the library's own
// allocations go through these too, as it is linked into this program. (The compiler cannot see
// that this new and this delete belong together.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<size_t> g_fail_above{0};

void* operator new(size_t size)
{
    const size_t limit = g_fail_above.load();
    if (limit && size > limit)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

const char* class_of(VOUT_MODE backend)
{
    return backend_class(backend);
}

bool push(KEL_VOUT_HANDLE h, int w = 64, int hgt = 48, uint8_t y = 128)
{
    std::vector<uint8_t> frame(size_t(w) * hgt * 3 / 2, y);
    return kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, w, w, hgt) == 0;
}

// Every handle-taking export, all answering 1 for `h` and leaving what they were given alone.
void expect_every_export_refuses(KEL_VOUT_HANDLE h)
{
    std::vector<uint8_t> frame(64 * 48 * 4, 0x5A);
    EXPECT_EQ(kel_vout_put_buffer_pool(h, frame.data(), 64 * 48 * 3 / 2, 64, 48), 1);
    EXPECT_EQ(kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, 64, 64, 48), 1);
    EXPECT_EQ(kel_vout_set_display_mode(h, VOUT_4_3), 1);
    DISPLAY_MODE mode = DISPLAY_MODE(77);
    EXPECT_EQ(kel_vout_get_display_mode(h, &mode), 1);
    EXPECT_EQ(int(mode), 77);
    int32_t w = -5, hgt = -5;
    EXPECT_EQ(kel_vout_snapshot(h, frame.data(), int32_t(frame.size()), &w, &hgt, 50), 1);
    EXPECT_EQ(kel_vout_snapshot(h, nullptr, 0, &w, &hgt, 0), 1);
    EXPECT_EQ(w, -5);
    EXPECT_EQ(hgt, -5);
    EXPECT_EQ(frame[0], 0x5A);
    KEL_VOUT_HANDLE copy = h;
    EXPECT_EQ(kel_vout_destroy(&copy), 1);
    EXPECT_EQ(copy, h);
}

class Backends : public ::testing::TestWithParam<VOUT_MODE> {};

std::string backend_name(const ::testing::TestParamInfo<VOUT_MODE>& i)
{
    return backend_label(i.param);
}

}  // namespace

TEST_P(Backends, StaleAndForeignHandlesAreRefusedWithoutTouchingAnything)
{
    HostWindow host(160, 120);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    const KEL_VOUT_HANDLE copy = h;
    ASSERT_TRUE(push(h));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_EQ(h, nullptr);
    expect_every_export_refuses(copy);  // destroyed through another variable

    // A new instance never takes a destroyed one's handle.
    KEL_VOUT_HANDLE next = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, copy);
    expect_every_export_refuses(copy);
    int x = 0;
    for (KEL_VOUT_HANDLE garbage : {KEL_VOUT_HANDLE(uintptr_t(1)), KEL_VOUT_HANDLE(uintptr_t(0x1B)),
                                    KEL_VOUT_HANDLE(&x), KEL_VOUT_HANDLE(uintptr_t(-1)),
                                    KEL_VOUT_HANDLE(kel_vout_base::find_for_testing(next))})
        expect_every_export_refuses(garbage);
    EXPECT_EQ(kel_vout_destroy(&next), 0);
}

// A destroy re-entered from a message the host's thread handles while it waits, and a destroy
// from inside a snapshot's wait: one of them destroys, the other answers 1; nothing is freed
// twice or while in use.
TEST_P(Backends, DestroyReenteredFromMessagesDuringWaits)
{
    static KEL_VOUT_HANDLE s_handle;
    static std::atomic<int> s_inner_results[2];
    HostWindow host(160, 120);
    struct Hook {
        static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
        {
            if (msg == WM_APP + 40) {
                KEL_VOUT_HANDLE copy = s_handle;
                s_inner_results[kel_vout_destroy(&copy)]++;
                return 0;
            }
            return host_wndproc(hwnd, msg, wp, lp);
        }
    };
    SetWindowLongPtrA(host.hwnd, GWLP_WNDPROC, LONG_PTR(&Hook::proc));
    for (int round = 0; round < 2; ++round) {
        s_inner_results[0] = s_inner_results[1] = 0;
        s_handle = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
        ASSERT_NE(s_handle, nullptr);
        ASSERT_TRUE(push(s_handle));
        // Another thread sends the message until the outer call is over: the host's thread
        // answers it from inside that call's wait.
        std::atomic<bool> outer_done{false};
        std::thread sender([&] {
            while (!outer_done)
                SendMessageTimeoutA(host.hwnd, WM_APP + 40, 0, 0, SMTO_NORMAL, 100, nullptr);
        });
        Sleep(30);
        KEL_VOUT_HANDLE outer = s_handle;
        int outer_result;
        if (round == 0) {
            outer_result = kel_vout_destroy(&outer);
        } else {
            std::vector<uint8_t> rgb(160 * 120 * 3);
            int32_t w = 0, hgt = 0;
            // Waits for a picture that never comes once the instance is destroyed under it.
            outer_result = kel_vout_snapshot(outer, rgb.data(), int32_t(rgb.size()), &w, &hgt, 3000) == 0 ? 2 : 1;
            // Whatever the snapshot found, the instance is gone now, or goes here.
            kel_vout_destroy(&outer);
        }
        outer_done = true;
        sender.join();
        HostWindow::pump(20);
        if (round == 0) {
            // The outer destroy did it (0) and every inner one found nothing, or the first
            // inner one did it and the outer one answered 1.
            EXPECT_EQ((outer_result == 0 ? 1 : 0) + s_inner_results[0].load(), 1) << "round " << round;
        } else {
            EXPECT_LE(s_inner_results[0].load(), 1);
        }
        expect_every_export_refuses(s_handle);
        EXPECT_TRUE(HostWindow::pump_until([&] { return host.child(class_of(GetParam())) == nullptr; }, kPatienceMs));
    }
    SetWindowLongPtrA(host.hwnd, GWLP_WNDPROC, LONG_PTR(&host_wndproc));
}

// Calls from several threads at once while another destroys the instance: every call answers 0
// or 1 and none touches freed memory (the pushes' buffers are the callers' own).
TEST_P(Backends, CallsRacingADestroyEndWellOnEveryThread)
{
    HostWindow host(160, 120);
    for (int round = 0; round < 5; ++round) {
        KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
        ASSERT_NE(h, nullptr);
        const KEL_VOUT_HANDLE shared = h;
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0}, bad{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                std::vector<uint8_t> frame(64 * 48 * 3 / 2, uint8_t(40 * t));
                std::vector<uint8_t> rgb(160 * 120 * 3);
                while (!stop) {
                    int32_t r = 0, w = 0, hgt = 0;
                    DISPLAY_MODE mode;
                    switch (calls++ % 4) {
                    case 0:
                        r = kel_vout_put_buffer_pool_yuv(shared, frame.data(), nullptr, nullptr, 64, 64, 48);
                        break;
                    case 1:
                        r = kel_vout_set_display_mode(shared, DISPLAY_MODE(t % 4));
                        break;
                    case 2:
                        r = kel_vout_get_display_mode(shared, &mode);
                        break;
                    default:
                        r = kel_vout_snapshot(shared, rgb.data(), int32_t(rgb.size()), &w, &hgt, 200);
                        break;
                    }
                    bad += r != 0 && r != 1;
                }
            });
        HostWindow::pump(150);
        EXPECT_EQ(kel_vout_destroy(&h), 0);
        stop = true;
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(bad.load(), 0);
        EXPECT_GT(calls.load(), 8);
        expect_every_export_refuses(shared);
    }
}

// The host destroys its window before the instance: the render thread sees its window go,
// draws no more and releases its device; the later destroy is quick and leaves nothing.
TEST_P(Backends, ParentDestroyedFirstThenDestroyIsQuick)
{
    static ATOM cls = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "kel_vout_test_doomed_parent";
        return RegisterClassA(&wc);
    }();
    ASSERT_NE(cls, 0);
    HostWindow::pump(50);
    const int threads_before = count_process_threads();
    HWND parent = CreateWindowA("kel_vout_test_doomed_parent", "", WS_POPUP | WS_VISIBLE, 10, 10, 160, 120, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(parent, nullptr);
    KEL_VOUT_HANDLE h = create_vout(parent, GetParam(), VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    const kel_vout_display_t& state = kel_vout_base::find_for_testing(h)->display_state();
    ASSERT_TRUE(push(h));
    Snapshot s;
    ASSERT_TRUE(take_snapshot(h, s));

    DestroyWindow(parent);
    // Within a pass or two the render thread has let go of its window and device.
    EXPECT_TRUE(HostWindow::pump_until([&] { return state.embed_xid == nullptr && state.hDC == nullptr; }, kPatienceMs));
    EXPECT_EQ(state.hRenderRC, nullptr);
    // It still takes (and drops) pushes and answers snapshots with 1 instead of waiting forever.
    EXPECT_TRUE(push(h));
    int32_t w = 0, hgt = 0;
    std::vector<uint8_t> rgb(160 * 120 * 3);
    EXPECT_EQ(kel_vout_snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 200), 1);

    const DWORD t0 = GetTickCount();
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_LT(GetTickCount() - t0, 100u + 400u);  // 100 ms asked; a loaded machine is slower
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs));
}

// A snapshot whose copy cannot be allocated answers 1; the instance goes on, and the next one
// succeeds. (Only allocations above 100 KiB fail meanwhile; a 160 x 120 picture is 57600 bytes,
// the 320 x 240 one 230400.)
TEST_P(Backends, AFailedAllocationFailsOnlyThatCall)
{
    HostWindow host(320, 240);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push(h, 320, 240));
    Snapshot s;
    ASSERT_TRUE(take_snapshot(h, s));
    std::vector<uint8_t> rgb(320 * 240 * 3);
    const std::vector<uint8_t> frame(320 * 240 * 3 / 2, 200);
    int32_t w = 0, hgt = 0;
    g_fail_above = 100 * 1024;
    const int32_t failed = kel_vout_snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 3000);
    // The pool's buffers come from malloc: pushes go on.
    const int32_t pushed = kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, 320, 320, 240);
    g_fail_above = 0;
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(pushed, 0);
    EXPECT_TRUE(take_snapshot(h, s));
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

INSTANTIATE_TEST_SUITE_P(Both, Backends, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11), backend_name);

// The log callback: what it receives, from which calls, and that it can be switched off.
namespace {
struct LogLines {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;
    bool has(int max_level, const char* text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& l : lines)
            if (l.first <= max_level && l.second.find(text) != std::string::npos)
                return true;
        return false;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines.size();
    }
};

void KEL_VOUT_CALL collect(void* user, int32_t level, const char* message)
{
    auto* log = static_cast<LogLines*>(user);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->lines.emplace_back(level, message);
}
}  // namespace

TEST(LogCallback, CreationFailuresSayWhy)
{
    LogLines log;
    kel_vout_set_log_callback(&collect, &log, KEL_VOUT_LOG_DEBUG);
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.vout_mode = VOUT_GLX;
    cfg.windowId = GetDesktopWindow();
    EXPECT_EQ(kel_vout_create(&cfg), nullptr);
    EXPECT_TRUE(log.has(KEL_VOUT_LOG_ERROR, "vout_mode 2 has no backend"));
    EXPECT_EQ(kel_vout_create(nullptr), nullptr);
    EXPECT_TRUE(log.has(KEL_VOUT_LOG_ERROR, "null cfg"));
    cfg.vout_mode = VOUT_WGL;
    cfg.windowId = HWND(uintptr_t(0x7fff0));
    EXPECT_EQ(kel_vout_create(&cfg), nullptr);
    // Said at once, without a render thread that could only fail to open its window.
    EXPECT_TRUE(log.has(KEL_VOUT_LOG_ERROR, "is not a window; the render thread will not start"));
    EXPECT_FALSE(log.has(KEL_VOUT_LOG_ERROR, "GetClientRect (the parent window)"));
    EXPECT_FALSE(log.has(KEL_VOUT_LOG_ERROR, "within 700 ms"));
    kel_vout_set_log_callback(nullptr, nullptr, 0);
    const size_t before = log.count();
    EXPECT_EQ(kel_vout_create(nullptr), nullptr);
    EXPECT_EQ(log.count(), before);
}

TEST(LogCallback, DeviceFailuresAndRecoveryAreReported)
{
    static std::atomic<int> fail_creates{0};
    kel_direct3d::set_result_hook_for_testing(
        [](kel_direct3d::checked_call call, IDirect3DDevice9*, HRESULT hr) -> HRESULT {
            if (call == kel_direct3d::checked_call::create_device && fail_creates.load() > 0) {
                --fail_creates;
                return HRESULT(0x8876086A);  // D3DERR_NOTAVAILABLE
            }
            return hr;
        });
    LogLines log;
    kel_vout_set_log_callback(&collect, &log, KEL_VOUT_LOG_INFO);
    fail_creates = 1;
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_D3D, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push(h));
    Snapshot s;
    EXPECT_TRUE(snapshot_until(h, s, [](const Snapshot& sn) { return sn.at(5, 5)[0] > 100; }));
    kel_direct3d::set_result_hook_for_testing(nullptr);
    EXPECT_TRUE(log.has(KEL_VOUT_LOG_ERROR, "IDirect3D9::CreateDevice failed: D3DERR_NOTAVAILABLE (0x8876086A)"));
    EXPECT_TRUE(log.has(KEL_VOUT_LOG_INFO, "device made again"));
    EXPECT_TRUE(log.has(KEL_VOUT_LOG_INFO, "Direct3D 9 ready for 64x48 frames"));
    EXPECT_FALSE(log.has(KEL_VOUT_LOG_INFO, "kel_vout_d3d::create_window."));  // debug lines stay out
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    kel_vout_set_log_callback(nullptr, nullptr, 0);
}

// The callback may call the library, switch itself off, and runs on render threads.
TEST(LogCallback, TheCallbackMayCallTheLibraryAndSwitchItselfOff)
{
    static std::atomic<int> calls{0};
    static std::atomic<DWORD> seen_thread{0};
    kel_vout_set_log_callback(
        [](void*, int32_t, const char*) {
            ++calls;
            seen_thread = GetCurrentThreadId();
            kel_vout_init();
            kel_vout_set_log_callback(nullptr, nullptr, 0);
        },
        nullptr, KEL_VOUT_LOG_DEBUG);
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_WGL, VOUT_NORMAL);  // logs, at debug level at least
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_EQ(calls.load(), 1);
}

// While frames flow, the display is kept awake (the system's execution state); an idle
// instance lets it sleep again.
TEST(DisplayAwake, FlowingFramesKeepTheDisplayOnAndIdleReleasesIt)
{
    static std::mutex mutex;
    static std::vector<EXECUTION_STATE> states;
    set_execution_state_hook_for_testing([](EXECUTION_STATE s) -> EXECUTION_STATE {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(s);
        return ES_CONTINUOUS;
    });
    auto seen = [] {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    };
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_WGL, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    HostWindow::pump(300);
    EXPECT_TRUE(seen().empty()) << "nothing while no frame came";
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(push(h, 64, 48, uint8_t(20 * i)));
        HostWindow::pump(40);
    }
    ASSERT_TRUE(HostWindow::pump_until([&] { return !seen().empty(); }, kPatienceMs));
    EXPECT_EQ(seen().front(), EXECUTION_STATE(ES_CONTINUOUS | ES_DISPLAY_REQUIRED));
    EXPECT_EQ(seen().size(), 1u) << "once for the whole run of frames";
    EXPECT_TRUE(HostWindow::pump_until([&] { return seen().size() == 2; }, kPatienceMs));
    EXPECT_EQ(seen().back(), EXECUTION_STATE(ES_CONTINUOUS));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    set_execution_state_hook_for_testing(nullptr);
}
