// The child window as a host sees it, on every backend: its class and styles, the black start
// picture, where it sits as the host resizes and moves, instances side by side, creation that
// cannot succeed, and a teardown that answers at once and leaves nothing behind. Every call is
// made from the thread that owns the parent window, which pumps nothing while the library waits.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_direct3d11.h"
#include "kel_vout.h"
#include "kel_vout_base.h"
#include "test_colours.h"
#include "test_support.h"

namespace {

::testing::AssertionResult at_rect(const HostWindow& host, const char* cls, RECT want)
{
    const RECT a = host.child_rect(cls);
    if (EqualRect(&a, &want))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << a.left << "," << a.top << ")-(" << a.right << "," << a.bottom
                                         << ") != (" << want.left << "," << want.top << ")-(" << want.right << ","
                                         << want.bottom << ")";
}

bool placed_within_patience(const HostWindow& host, const char* cls, RECT want)
{
    return HostWindow::pump_until([&] { return bool(at_rect(host, cls, want)); }, kPatienceMs);
}

int live_devices(VOUT_MODE backend)
{
    return backend == VOUT_D3D ? kel_direct3d::live_devices() : backend == VOUT_D3D11 ? kel_direct3d11::live_devices() : 0;
}

std::mutex g_log_mutex;
std::vector<std::string> g_log;

void KEL_VOUT_CALL collect(void*, int32_t, const char* message)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.push_back(message);
}

bool logged(const char* part)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    for (const std::string& line : g_log)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

class Window : public ::testing::TestWithParam<VOUT_MODE> {
protected:
    const char* cls() const { return backend_class(GetParam()); }
};

}  // namespace

TEST_P(Window, ChildHasTheClassStylesAndShowsTheBlackStartPicture)
{
    HostWindow host(800, 450);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam());
    ASSERT_NE(h, nullptr);
    HWND child = host.child(cls());
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), host.hwnd);
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN | WS_CLIPSIBLINGS),
              LONG(WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN | WS_CLIPSIBLINGS));
    EXPECT_TRUE(GetWindowLongA(child, GWL_EXSTYLE) & WS_EX_NOPARENTNOTIFY);
    WNDCLASSA wc{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleW(nullptr), cls(), &wc));
    EXPECT_EQ(wc.style, UINT(CS_OWNDC | CS_DBLCLKS));
    // The renderer paints the whole client area: no background is erased before it (a black
    // flash at every resize), and a close request from outside leaves the window alone.
    HDC dc = GetDC(child);
    EXPECT_NE(SendMessageA(child, WM_ERASEBKGND, WPARAM(dc), 0), 0);
    ReleaseDC(child, dc);
    SendMessageA(child, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(child));

    // Before any frame: the black 16x12 start picture, placed by its proportions (4:3 in 800x450:
    // 600 wide at x = 400 - 300).
    EXPECT_TRUE(placed_within_patience(host, cls(), RECT{100, 0, 700, 450}));
    const kel_vout_display_t& state = kel_vout_base::find_for_testing(h)->display_state();
    EXPECT_EQ(state.picture.pix_width, 16);
    EXPECT_EQ(state.picture.pix_height, 12);
    Snapshot s;
    ASSERT_TRUE(take_snapshot(h, s));
    ASSERT_EQ(s.width, 600);
    ASSERT_EQ(s.height, 450);
    for (int y = 0; y < 450; y += 11)
        for (int x = 0; x < 600; x += 11)
            for (int c = 0; c < 3; ++c)
                ASSERT_LE(s.at(x, y)[c], 20) << x << "," << y;
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_P(Window, PlacementFollowsFrameSizeResizeAndMove)
{
    HostWindow host(800, 450);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam());
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push_packed_yuv(h, solid_yuv(320, 240, kWhite), 320, 240));
    EXPECT_TRUE(placed_within_patience(host, cls(), RECT{100, 0, 700, 450}));

    host.resize_client(500, 600);
    EXPECT_TRUE(placed_within_patience(host, cls(), RECT{0, 113, 500, 488}));  // 500 x 0.75 = 375 high at 300 - 187

    kel_vout_set_display_mode(h, VOUT_16_9);
    host.move_to(300, 200);
    const RECT want{0, 160, 500, 441};  // 500 x 0.5625 = 281 high at 300 - 140
    EXPECT_TRUE(placed_within_patience(host, cls(), want));
    const kel_vout_display_t& state = kel_vout_base::find_for_testing(h)->display_state();
    EXPECT_EQ(state.place.width, 500u);  // the whole area, not the fitted rectangle
    EXPECT_EQ(state.place.height, 600u);

    // The picture fills the child window at its new size.
    Snapshot s;
    EXPECT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) {
        return sn.width == want.right - want.left && sn.height == want.bottom - want.top &&
               close_to(sn.at(0, 0), kWhite.rgb) && close_to(sn.at(sn.width - 1, sn.height - 1), kWhite.rgb);
    }));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

// Making a device may switch the x87 unit of the thread that makes it to single precision; the
// placement on the render thread must still be the host's own arithmetic. (In 32-bit builds 16:9
// in 640 x 360 and 1280 x 720 depends on the precision of 1 / ratio.)
TEST_P(Window, PlacementKeepsItsPrecisionOnceADeviceExists)
{
    HostWindow host(640, 360);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_16_9);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push_packed_yuv(h, solid_yuv(160, 90, kWhite), 160, 90));
    Snapshot s;
    ASSERT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) { return close_to(sn.at(8, 8), kWhite.rgb); }));
    // 1000 x 563: 563 x 16/9 = 1000.9, a letterbox 1000 x 0.5625 = 562 high at 281 - 281.
    const struct {
        SIZE area;
        RECT want;
    } cases[] = {{{1280, 720}, {0, 0, 1280, 720}}, {{640, 360}, {0, 0, 640, 360}}, {{1000, 563}, {0, 0, 1000, 562}}};
    for (const auto& [area, want] : cases) {
        host.resize_client(area.cx, area.cy);
        HostWindow::pump(100);  // let the host's thread handle what the resize brings, as a host would
        EXPECT_TRUE(placed_within_patience(host, cls(), want)) << area.cx << "x" << area.cy;
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

// A destroy answers at once: the render thread stops drawing at the end of its pass, hides and
// destroys the child window and releases its device on its own, also when that takes longer
// than the destroy, as right after the first push while the device may still be in the making.
TEST_P(Window, DestroyAnswersAtOnceAndTheWindowAndTheThreadGo)
{
    HostWindow host(320, 240);
    // The driver keeps some threads of its own for the process once it has been used (Mesa's):
    // counted after a first instance.
    KEL_VOUT_HANDLE first = create_vout(host.hwnd, GetParam());
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(push_packed_yuv(first, solid_yuv(64, 48, kRed), 64, 48));
    Snapshot shown;
    ASSERT_TRUE(take_snapshot(first, shown));
    EXPECT_EQ(kel_vout_destroy(&first), 0);
    ASSERT_TRUE(render_threads_end());
    HostWindow::pump(200);
    const int threads_before = count_process_threads();
    for (const bool settled : {true, false}) {
        // (No SCOPED_TRACE: GoogleTest starts a thread of its own for it, which the count would see.)
        const char* what = settled ? "an idle instance" : "right after the first push";
        KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam());
        ASSERT_NE(h, nullptr) << what;
        ASSERT_NE(host.child(cls()), nullptr) << what;
        EXPECT_GT(count_process_threads(), threads_before) << what;
        ASSERT_TRUE(push_packed_yuv(h, solid_yuv(64, 48, kRed), 64, 48)) << what;
        if (settled) {
            Snapshot s;
            ASSERT_TRUE(snapshot_until(h, s, [](const Snapshot& sn) { return close_to(sn.at(4, 4), kRed.rgb); }));
            HostWindow::pump(100);  // the instance now waits for frames
        }
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(kel_vout_destroy(&h), 0) << what;
        EXPECT_LT(GetTickCount() - t0, 1500u) << what;  // generous: a loaded machine is slow
        EXPECT_EQ(h, nullptr) << what;
        EXPECT_EQ(kel_vout_destroy(&h), 1) << what;
        EXPECT_TRUE(HostWindow::pump_until([&] { return host.child(cls()) == nullptr; }, kPatienceMs)) << what;
        EXPECT_TRUE(render_threads_end()) << what;
        EXPECT_EQ(live_devices(GetParam()), 0) << what;
    }
    // The render threads and the devices' own threads are gone.
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs))
        << count_process_threads() << " threads, " << threads_before << " before";
}

// A windowId that is not a window fails at once: no thread is started, and the log says why.
TEST_P(Window, ANullOrDeadParentFailsAtOnceWithoutAThread)
{
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();
    }
    kel_vout_set_log_callback(&collect, nullptr, KEL_VOUT_LOG_INFO);
    const int threads_before = count_process_threads();
    for (HWND parent : {HWND(nullptr), HWND(uintptr_t(0x7fff0))}) {
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(create_vout(parent, GetParam()), nullptr);
        EXPECT_LT(GetTickCount() - t0, 650u) << "the 700 ms wait for a render thread";
        EXPECT_LE(count_process_threads(), threads_before);
    }
    kel_vout_set_log_callback(nullptr, nullptr, 0);
    EXPECT_TRUE(logged("is not a window"));
    EXPECT_FALSE(logged("within 700 ms"));
}

// A host closing its player destroys the instance and then its own window at once: the render
// thread, maybe still releasing its device, finds its window going or gone and ends; the host
// goes on, and the next instance draws.
TEST_P(Window, TheHostsWindowDestroyedRightAfterTheDestroy)
{
    static const ATOM cls = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "kel_vout_test_closed_player";
        return RegisterClassA(&wc);
    }();
    ASSERT_NE(cls, 0);
    for (const bool settled : {true, false}) {
        HWND parent = CreateWindowA("kel_vout_test_closed_player", "", WS_POPUP | WS_VISIBLE, 10, 10, 160, 120,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(parent, nullptr);
        KEL_VOUT_HANDLE h = create_vout(parent, GetParam(), VOUT_NORMAL);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(push_packed_yuv(h, solid_yuv(64, 48, kGreen), 64, 48));
        Snapshot s;
        if (settled) {
            ASSERT_TRUE(snapshot_until(h, s, [](const Snapshot& sn) { return close_to(sn.at(4, 4), kGreen.rgb); }));
        }
        EXPECT_EQ(kel_vout_destroy(&h), 0);
        EXPECT_TRUE(DestroyWindow(parent));
    }
    EXPECT_TRUE(render_threads_end());
    EXPECT_EQ(live_devices(GetParam()), 0);
    HostWindow host(96, 64);
    KEL_VOUT_HANDLE next = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(next, nullptr);
    ASSERT_TRUE(push_packed_yuv(next, solid_yuv(64, 48, kBlue), 64, 48));
    Snapshot s;
    EXPECT_TRUE(snapshot_until(next, s, [](const Snapshot& sn) { return close_to(sn.at(4, 4), kBlue.rgb); }));
    EXPECT_EQ(kel_vout_destroy(&next), 0);
}

TEST_P(Window, WaitsHandleSentMessagesButLeaveThePostedOnesToTheHost)
{
    HostWindow host(320, 240);
    host_seen_app_messages().clear();
    PostMessageA(host.hwnd, WM_APP + 7, 0, 0);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam());
    ASSERT_NE(h, nullptr);
    Snapshot s;
    EXPECT_TRUE(take_snapshot(h, s));
    host.resize_client(300, 200);  // the render thread re-places the child meanwhile
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_TRUE(host_seen_app_messages().empty());
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, host.hwnd, WM_APP + 7, WM_APP + 7, PM_REMOVE));
    EXPECT_TRUE(render_threads_end());
}

TEST_P(Window, SeveralInstancesEachShowTheirOwnPicture)
{
    const Colour* colours[4] = {&kRed, &kGreen, &kBlue, &kWhite};
    std::vector<std::unique_ptr<HostWindow>> hosts;
    KEL_VOUT_HANDLE h[4] = {};
    for (int i = 0; i < 4; ++i) {
        hosts.push_back(std::make_unique<HostWindow>(200, 150, 20 + 220 * i, 20));
        h[i] = create_vout(hosts.back()->hwnd, GetParam(), VOUT_NORMAL);
        ASSERT_NE(h[i], nullptr);
    }
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(push_packed_yuv(h[i], solid_yuv(64, 48, *colours[i]), 64, 48));
    for (int i = 0; i < 4; ++i) {
        Snapshot s;
        EXPECT_TRUE(snapshot_until(h[i], s, [&](const Snapshot& sn) { return close_to(sn.at(100, 75), colours[i]->rgb); }))
            << "instance " << i;
    }
    for (KEL_VOUT_HANDLE& one : h)
        EXPECT_EQ(kel_vout_destroy(&one), 0);
}

// The older packed push's R, G, B come out exactly in a window of the frame's own size, at every
// row padding (95 and 33 pixels: rows padded to multiples of 4 bytes); a small picture is
// stretched over a large window. (Each size in a window of its own: a host resizing its window
// while a child presents may deadlock in Wine's Xlib, see resize_and_settle in d3d_test.cpp.)
TEST_P(Window, PackedRgbFramesComeOutUnchangedAndStretched)
{
    auto frame = [](int w, int hgt, int stride, auto pixel) {
        std::vector<uint8_t> f(size_t(stride) * hgt);
        for (int y = 0; y < hgt; ++y)
            for (int x = 0; x < w; ++x)
                pixel(x, y, &f[size_t(y) * stride + size_t(x) * 3]);
        return f;
    };
    for (auto [w, hgt] : {std::pair{96, 64}, std::pair{95, 64}, std::pair{33, 17}}) {
        HostWindow host(w, hgt);
        KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL, VOUT_RGB);
        ASSERT_NE(h, nullptr);
        const int stride = (w * 3 + 3) / 4 * 4;
        const auto f = frame(w, hgt, stride, [](int x, int y, uint8_t* p) {
            p[0] = uint8_t(x * 2);
            p[1] = uint8_t(y * 3);
            p[2] = uint8_t(255 - x);
        });
        ASSERT_EQ(kel_vout_put_buffer_pool(h, f.data(), int(f.size()), w, hgt), 0);
        auto mismatches = [&](const Snapshot& sn) {
            if (sn.width != w || sn.height != hgt)
                return w * hgt * 3;
            int bad = 0;
            for (int y = 0; y < hgt; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 3; ++c)
                        bad += std::abs(int(sn.at(x, y)[c]) - int(f[size_t(y) * stride + size_t(x) * 3 + c])) > 1;
            return bad;
        };
        Snapshot s;
        snapshot_until(h, s, [&](const Snapshot& sn) { return mismatches(sn) == 0; });
        EXPECT_EQ(mismatches(s), 0) << w << "x" << hgt;
        EXPECT_EQ(kel_vout_destroy(&h), 0);
    }
    // 20 x 10 over 200 x 100: left half yellow, right half blue.
    HostWindow host(200, 100);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL, VOUT_RGB);
    ASSERT_NE(h, nullptr);
    const auto f = frame(20, 10, 60, [](int x, int, uint8_t* p) {
        p[0] = x < 10 ? 250 : 10;
        p[1] = x < 10 ? 240 : 20;
        p[2] = x < 10 ? 5 : 230;
    });
    ASSERT_EQ(kel_vout_put_buffer_pool(h, f.data(), int(f.size()), 20, 10), 0);
    const uint8_t yellow[3] = {250, 240, 5}, blue[3] = {10, 20, 230};
    Snapshot s;
    EXPECT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) {
        return sn.width == 200 && close_to(sn.at(5, 5), yellow, 1) && close_to(sn.at(194, 94), blue, 1) &&
               close_to(sn.at(60, 50), yellow, 1) && close_to(sn.at(140, 50), blue, 1);
    }));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST_P(Window, SnapshotsRefuseSmallBuffersAndNullHandles)
{
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    int32_t w = 0, hgt = 0;
    EXPECT_EQ(kel_vout_snapshot(h, nullptr, 0, &w, &hgt, 0), 0);  // the size alone
    EXPECT_EQ(w, 64);
    EXPECT_EQ(hgt, 48);
    std::vector<uint8_t> small(64 * 48 * 3 - 1, 0xAB);
    EXPECT_EQ(kel_vout_snapshot(h, small.data(), int32_t(small.size()), &w, &hgt, 2000), 1);
    EXPECT_EQ(small.back(), 0xAB);
    EXPECT_EQ(kel_vout_snapshot(nullptr, small.data(), int32_t(small.size()), &w, &hgt, 10), 1);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, Window, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& i) { return std::string(backend_label(i.param)); });

// Instances of every backend at once, two of one kind, each in its own window with its own picture.
TEST(Windows, InstancesOfEveryBackendSideBySide)
{
    struct One {
        VOUT_MODE backend;
        const Colour* colour;
        std::unique_ptr<HostWindow> host;
        KEL_VOUT_HANDLE h;
    };
    One all[4] = {{VOUT_D3D11, &kRed, nullptr, nullptr},
                  {VOUT_D3D11, &kGreen, nullptr, nullptr},
                  {VOUT_D3D, &kBlue, nullptr, nullptr},
                  {VOUT_WGL, &kWhite, nullptr, nullptr}};
    int i = 0;
    for (One& o : all) {
        o.host = std::make_unique<HostWindow>(96, 64, 20 + 110 * i++, 40);
        o.h = create_vout(o.host->hwnd, o.backend, VOUT_NORMAL);
        ASSERT_NE(o.h, nullptr);
        EXPECT_NE(o.host->child(backend_class(o.backend)), nullptr);
    }
    for (int round = 0; round < 3; ++round)
        for (One& o : all)
            ASSERT_TRUE(push_packed_yuv(o.h, solid_yuv(96, 64, *o.colour), 96, 64));
    for (One& o : all) {
        Snapshot s;
        EXPECT_TRUE(snapshot_until(o.h, s, [&](const Snapshot& sn) { return close_to(sn.at(10, 10), o.colour->rgb); }))
            << backend_label(o.backend);
    }
    for (One& o : all)
        EXPECT_EQ(kel_vout_destroy(&o.h), 0);
    EXPECT_TRUE(render_threads_end());
}
