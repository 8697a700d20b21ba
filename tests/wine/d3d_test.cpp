// The Direct3D 9 backend end to end, as a host sees it: the pixels presented (planar and packed
// frames, the shader's and the driver's conversions), a lost device coming back, many resizes and
// moves, and destroys in every state. (The child window, its placement and its teardown are the
// same on every backend: window_test.cpp.) Every call is made from the thread that owns the
// parent window, which pumps nothing while the library waits.
#include <gtest/gtest.h>

#include <windows.h>

#include <d3d9.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_vout.h"
#include "kel_vout_base.h"
#include "test_colours.h"
#include "test_support.h"

namespace {

const char kClass[] = "kel_vout_d3d_1_0_0";

struct Vout {
    Vout(HWND parent, DISPLAY_MODE mode = VOUT_PREFERRED, SOURCE_FORMAT format = VOUT_YUV420)
        : h(create_vout(parent, VOUT_D3D, mode, format))
    {
    }
    ~Vout()
    {
        if (h)
            kel_vout_destroy(&h);
    }
    const kel_vout_display_t& state() const { return kel_vout_base::find_for_testing(h)->display_state(); }
    const kel_direct3d& renderer() const { return *state().kel_d3d; }
    KEL_VOUT_HANDLE h;
};

// YUV frames are converted by our pixel shader, to the colours of test_colours.h. Devices without
// pixel shaders leave YV12 to the driver, and wined3d applies full-range BT.601 without expanding
// 16-235 to 0-255: these are its results on this stack, measured, checked within 3.
const Colour kDriverRed{{81, 90, 240}, {239, 14, 15}};
const Colour kDriverGreen{{145, 54, 34}, {14, 237, 15}};
const Colour kDriverBlue{{41, 240, 110}, {16, 15, 240}};
const Colour kDriverWhite{{235, 128, 128}, {236, 234, 236}};
const Colour kDriverBlack{{16, 128, 128}, {17, 15, 17}};
const int kDriverTolerance = 3;

// Red, green, blue and white quadrants: a plane landing at the wrong pitch shears the borders,
// U and V swapped turn red into blue. `driver`: as the driver's own conversion shows them.
const Colour* quadrant(int w, int h, int x, int y, bool driver = false)
{
    static const Colour* const q[2][4] = {{&kRed, &kGreen, &kBlue, &kWhite},
                                          {&kDriverRed, &kDriverGreen, &kDriverBlue, &kDriverWhite}};
    return q[driver][(y >= h / 2) * 2 + (x >= w / 2)];
}

std::vector<uint8_t> quadrant_yuv(int w, int h)
{
    std::vector<uint8_t> f(size_t(w) * h * 3 / 2);
    uint8_t* Y = f.data();
    uint8_t* U = Y + w * h;
    uint8_t* V = U + (w / 2) * (h / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            Y[y * w + x] = quadrant(w, h, x, y)->yuv[0];
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            U[y * (w / 2) + x] = quadrant(w, h, 2 * x, 2 * y)->yuv[1];
            V[y * (w / 2) + x] = quadrant(w, h, 2 * x, 2 * y)->yuv[2];
        }
    return f;
}

// Resizes the host and lets its thread handle what the resize brings, as a host's message loop
// does. HACK: under Wine with this stack's libX11 (1.8.4), a host thread that resizes its
// window and then only waits (as these tests do while they take a snapshot) was seen to
// deadlock in Xlib at its next resize: the host's SetWindowPos waits in XSync inside Wine's X11
// driver while wined3d's thread, presenting into the child, waits in _XError to hand Wine an X
// error (BadGC, BadDrawable) that Wine would have ignored. Letting the host's thread pump after a resize made
// it rarer, not impossible (once it came while the host created instances beside presenting
// ones): the test presets run a test that times out up to twice more.
void resize_and_settle(HostWindow& host, int w, int h)
{
    host.resize_client(w, h);
    HostWindow::pump(100);
}

bool push(const Vout& v, const std::vector<uint8_t>& frame, int w, int h)
{
    return push_packed_yuv(v.h, frame, w, h);
}

// Waits until a presented picture satisfies pred.
bool snapshot_until(const Vout& v, Snapshot& s, const std::function<bool(const Snapshot&)>& pred)
{
    return snapshot_until(v.h, s, pred);
}


}  // namespace

namespace {

// The planes land where they belong at every pitch, V and U in their places, for frames whose
// width is below the texture's or surface's pitch (this driver rounds rows up to 4 bytes), odd
// sizes included. VOUT_NORMAL in a window of the frame's own size stretches nothing, and one
// instance takes every size in turn, each a new surface or set of textures. Every pixel is
// checked, the first column of every row included: that is where chroma rows read at the wrong
// offset show first.
void expect_quadrants_at_every_pitch(bool driver)
{
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    // The device presents before the host first resizes: the Xlib deadlock of resize_and_settle
    // was caught twice in the resize right after the creation.
    Snapshot first;
    ASSERT_TRUE(take_snapshot(v.h, first));
    EXPECT_EQ(v.renderer().convertsWithShader(), !driver);
    for (auto [w, h] : {std::pair{98, 60}, std::pair{130, 70}, std::pair{322, 182}, std::pair{101, 61},
                        std::pair{64, 48}}) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        resize_and_settle(host, w, h);
        const auto frame = quadrant_yuv(w, h);
        ASSERT_TRUE(push(v, frame, w, h));
        // Every pixel but where the chroma filter mixes colours: the two columns at the vertical
        // border (the chroma sample that straddles it) and four rows either side of the
        // horizontal border (wined3d filters chroma rows two apart). A plane at the wrong offset
        // or pitch, or U and V swapped, shows everywhere else; with the driver's conversion, the
        // frame's first and last columns show chroma rows read across their seam (see
        // copy_yuv420_to_yv12). The previous frame has the same corners: while the new size
        // settles, a picture may still show it, so the frame must come out whole within a few
        // presentations.
        auto bad_pixels = [&](const Snapshot& sn, bool report) {
            if (sn.width != w || sn.height != h)
                return w * h;
            int bad = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    if (std::abs(2 * x + 1 - w) <= 3 || std::abs(y - h / 2) <= 4)
                        continue;
                    const Colour* want = quadrant(w, h, x, y, driver);
                    if (!close_to(sn.at(x, y), want->rgb, driver ? kDriverTolerance : 2) && bad++ < 5 && report)
                        ADD_FAILURE() << "pixel " << x << "," << y << ": " << int(sn.at(x, y)[0]) << " "
                                      << int(sn.at(x, y)[1]) << " " << int(sn.at(x, y)[2]);
                }
            return bad;
        };
        Snapshot s;
        snapshot_until(v, s, [&](const Snapshot& sn) { return bad_pixels(sn, false) == 0; });
        EXPECT_EQ(bad_pixels(s, true), 0);
    }
}

// Colours of one-colour frames after the conversion, worked out by hand (test_colours.h).
void expect_solid_colours(const Colour* const* colours, int n, int tolerance)
{
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    for (int i = 0; i < n; ++i) {
        const Colour* c = colours[i];
        ASSERT_TRUE(push(v, solid_yuv(64, 48, *c), 64, 48));
        Snapshot s;
        EXPECT_TRUE(snapshot_until(v, s, [&](const Snapshot& sn) {
            return sn.width == 64 && close_to(sn.at(0, 0), c->rgb, tolerance) &&
                   close_to(sn.at(63, 47), c->rgb, tolerance) && close_to(sn.at(31, 23), c->rgb, tolerance);
        })) << int(c->yuv[0]) << "," << int(c->yuv[1]) << "," << int(c->yuv[2]);
    }
}

// The driver's own YV12 conversion, as on devices without pixel shaders 2.0.
class D3dDriverConversion : public ::testing::Test {
protected:
    void SetUp() override { kel_direct3d::set_shader_allowed_for_testing(false); }
    void TearDown() override { kel_direct3d::set_shader_allowed_for_testing(true); }
};

}  // namespace

TEST(D3dPixels, PlanesKeepTheirOrderAtPaddedPitches)
{
    expect_quadrants_at_every_pitch(false);
}

TEST(D3dPixels, ShaderColoursAreTheFormulas)
{
    const Colour* const colours[] = {&kRed, &kGreen, &kBlue, &kWhite, &kBlack};
    expect_solid_colours(colours, 5, 2);
}

TEST_F(D3dDriverConversion, Yv12PlanesKeepTheirOrderAtPaddedPitches)
{
    expect_quadrants_at_every_pitch(true);
}

TEST_F(D3dDriverConversion, MeasuredColoursOfThisDriver)
{
    const Colour* const colours[] = {&kDriverRed, &kDriverGreen, &kDriverBlue, &kDriverWhite, &kDriverBlack};
    expect_solid_colours(colours, 5, kDriverTolerance);
}

// The driver's YV12 conversion goes into a texture drawn with the plan's corners: a quarter turn
// shows the bottom-left quadrant top-left, a flip the top-right one.
TEST_F(D3dDriverConversion, TurnedAndMirroredFramesShowTheirQuadrantsInTheirCorners)
{
    HostWindow host(128, 96);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    const struct {
        int rotation, flip;
        int tl, tr, bl, br;  // quadrant shown: 0 red, 1 green, 2 blue, 3 white
    } cases[] = {{90, 0, 2, 0, 3, 1}, {0, KEL_VOUT_FLIP_H, 1, 0, 3, 2}, {180, KEL_VOUT_FLIP_V, 1, 0, 3, 2}};
    const Colour* q[4] = {&kDriverRed, &kDriverGreen, &kDriverBlue, &kDriverWhite};
    for (const auto& c : cases) {
        KEL_VOUT_TRANSFORM_T t{};
        t.size = sizeof(t);
        t.rotation = c.rotation;
        t.flip = c.flip;
        ASSERT_EQ(kel_vout_set_transform(v.h, &t), 0);
        ASSERT_TRUE(push(v, quadrant_yuv(64, 48), 64, 48));
        Snapshot s;
        EXPECT_TRUE(snapshot_until(v, s, [&](const Snapshot& sn) {
            return sn.width == 128 && close_to(sn.at(8, 8), q[c.tl]->rgb, kDriverTolerance) &&
                   close_to(sn.at(119, 8), q[c.tr]->rgb, kDriverTolerance) &&
                   close_to(sn.at(8, 87), q[c.bl]->rgb, kDriverTolerance) &&
                   close_to(sn.at(119, 87), q[c.br]->rgb, kDriverTolerance);
        })) << "rotation " << c.rotation << ", flip " << c.flip;
        EXPECT_FALSE(v.renderer().convertsWithShader());
    }
}

// Device loss. The render thread reacts to what Present, TestCooperativeLevel, Reset and
// CreateDevice answer; the seam below sees those answers (and may replace them) on that thread.
namespace {

struct Seen {
    kel_direct3d::checked_call call;
    HRESULT hr;
    DWORD tick;
};

std::mutex g_seen_mutex;
std::vector<Seen> g_seen;
std::atomic<int> g_scenario{0};
std::atomic<bool> g_armed{false};
std::atomic<bool> g_fired{false};
std::atomic<HRESULT> g_forced_reset{S_OK};
std::atomic<DWORD> g_lost_until{0};
const DWORD kLostMs = 600;
std::atomic<int> g_failures_left{0};

enum { kRealLoss = 1, kStaysLost, kDriverError };

void record(kel_direct3d::checked_call call, HRESULT hr)
{
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_seen.push_back({call, hr, GetTickCount()});
}

std::vector<Seen> seen()
{
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    return g_seen;
}

HRESULT loss_hook(kel_direct3d::checked_call call, IDirect3DDevice9* device, HRESULT hr)
{
    using cc = kel_direct3d::checked_call;
    switch (g_scenario.load()) {
    case kRealLoss:
        // Reset while the frame surface (D3DPOOL_DEFAULT) still lives must fail, and leaves the
        // device lost until a Reset succeeds: a real loss, as this driver offers one.
        if (call == cc::present && device && g_armed.exchange(false)) {
            D3DPRESENT_PARAMETERS pp{};
            pp.Windowed = TRUE;
            pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
            pp.BackBufferFormat = D3DFMT_UNKNOWN;
            g_forced_reset = device->Reset(&pp);
            g_fired = true;
        }
        break;
    case kStaysLost:
        // Lost as after a screen lock, until g_lost_until; then ready to be reset.
        if (call == cc::present && g_armed.exchange(false)) {
            hr = D3DERR_DEVICELOST;
            g_lost_until = GetTickCount() + kLostMs;
        } else if (call == cc::test_cooperative_level && g_lost_until.load()) {
            hr = D3DERR_DEVICELOST;
            if (int32_t(GetTickCount() - g_lost_until.load()) >= 0) {
                g_lost_until = 0;
                hr = D3DERR_DEVICENOTRESET;
            }
        }
        break;
    case kDriverError:
        if (call == cc::present && g_armed.exchange(false))
            hr = D3DERR_DRIVERINTERNALERROR;
        break;
    }
    // In every scenario: the next g_failures_left devices cannot be made.
    if (call == cc::create_device && g_failures_left.load() > 0) {
        --g_failures_left;
        hr = D3DERR_NOTAVAILABLE;
    }
    record(call, hr);
    return hr;
}

class D3dRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_scenario = 0;
        g_armed = false;
        g_fired = false;
        g_lost_until = 0;
        g_failures_left = 0;
        g_forced_reset = S_OK;
        {
            std::lock_guard<std::mutex> lock(g_seen_mutex);
            g_seen.clear();
        }
        kel_direct3d::set_result_hook_for_testing(&loss_hook);
    }
    void TearDown() override { kel_direct3d::set_result_hook_for_testing(nullptr); }

    // Lets the placement that follows a new picture size happen (it resets the device for the
    // window's size), then forgets what the render thread saw so far. The render loop places the
    // window at the start of the pass after the one that drew the new size, so once a further
    // picture is presented the placement is behind us, however slow the machine.
    static void forget(const Vout& v)
    {
        Snapshot s;
        take_snapshot(v.h, s);
        std::lock_guard<std::mutex> lock(g_seen_mutex);
        g_seen.clear();
    }
    static bool shows(const Vout& v, const Colour& c)
    {
        Snapshot s;
        return snapshot_until(v, s, [&](const Snapshot& sn) { return close_to(sn.at(10, 10), c.rgb); });
    }
    static int count(const std::vector<Seen>& s, kel_direct3d::checked_call call, HRESULT hr)
    {
        int n = 0;
        for (const Seen& e : s)
            n += e.call == call && e.hr == hr;
        return n;
    }
};

}  // namespace

TEST_F(D3dRecovery, AReallyLostDeviceIsResetAndFramesComeBack)
{
    using cc = kel_direct3d::checked_call;
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));
    ASSERT_TRUE(shows(v, kRed));
    EXPECT_EQ(v.renderer().recoveries(), 0);

    forget(v);
    g_scenario = kRealLoss;
    g_armed = true;
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));  // the next present finds the loss
    ASSERT_TRUE(HostWindow::pump_until([&] { return g_fired.load(); }, kPatienceMs));
    EXPECT_EQ(g_forced_reset.load(), D3DERR_INVALIDCALL);
    // Pushes go on meanwhile and are taken; frames come back without the host doing anything.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(push(v, solid_yuv(64, 48, kBlue), 64, 48));
        HostWindow::pump(20);
    }
    EXPECT_TRUE(shows(v, kBlue));
    // The next frame finds the device lost before drawing on it, and resets it once.
    const auto s = seen();
    EXPECT_EQ(count(s, cc::test_cooperative_level, D3DERR_DEVICENOTRESET), 1);
    EXPECT_EQ(count(s, cc::reset, D3D_OK), 1);
    EXPECT_EQ(v.renderer().recoveries(), 1);
}

TEST_F(D3dRecovery, AWhileLostFramesAreSkippedWithoutBusyLooping)
{
    using cc = kel_direct3d::checked_call;
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));
    ASSERT_TRUE(shows(v, kRed));

    forget(v);
    g_scenario = kStaysLost;
    g_armed = true;
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));  // the next present finds the loss
    ASSERT_TRUE(HostWindow::pump_until([&] { return !g_armed; }, kPatienceMs));
    const DWORD lost_at = GetTickCount();
    // A steady stream of frames keeps the render loop from waiting in the pool.
    int pushed = 0;
    while (GetTickCount() - lost_at < kLostMs - 100) {
        pushed += push(v, solid_yuv(64, 48, kGreen), 64, 48);
        Sleep(4);
    }
    EXPECT_GT(pushed, 20);
    const auto during = seen();
    int presents = 0, checks = 0;
    for (const Seen& e : during)
        if (int32_t(e.tick - lost_at) > 0) {
            presents += e.call == cc::present;
            checks += e.call == cc::test_cooperative_level;
        }
    EXPECT_EQ(presents, 0) << "nothing is drawn while the device is lost";
    EXPECT_GE(checks, 2);
    EXPECT_LE(checks, int(kLostMs / 50) + 2) << "the device is asked now and then, not in a loop";

    EXPECT_TRUE(shows(v, kGreen));
    const auto after = seen();
    EXPECT_EQ(count(after, cc::reset, D3D_OK), 1);
    EXPECT_EQ(v.renderer().recoveries(), 1);
}

// A frame of a new size while the device is lost makes a new device: the old one goes with
// everything made from it, and only the new one lives.
TEST_F(D3dRecovery, ANewSizeWhileLostLetsTheOldDeviceGo)
{
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));
    ASSERT_TRUE(shows(v, kRed));
    EXPECT_EQ(kel_direct3d::live_devices(), 1);

    forget(v);
    g_scenario = kStaysLost;
    g_armed = true;
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));  // the next present finds the loss
    ASSERT_TRUE(HostWindow::pump_until([&] { return !g_armed; }, kPatienceMs));
    ASSERT_TRUE(push(v, solid_yuv(96, 64, kGreen), 96, 64));
    EXPECT_TRUE(shows(v, kGreen));
    EXPECT_EQ(kel_direct3d::live_devices(), 1) << "the lost device outlived its replacement";
    EXPECT_EQ(kel_vout_destroy(&v.h), 0);
    EXPECT_TRUE(render_threads_end());
    EXPECT_EQ(kel_direct3d::live_devices(), 0);
}

TEST_F(D3dRecovery, AnInstanceWithoutADeviceShowsFramesOnceOneCanBeMade)
{
    g_failures_left = 4;
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);  // the instance exists; it shows nothing yet
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kWhite), 64, 48));
    EXPECT_TRUE(shows(v, kWhite));
    EXPECT_EQ(g_failures_left.load(), 0);
    EXPECT_EQ(count(seen(), kel_direct3d::checked_call::create_device, D3DERR_NOTAVAILABLE), 4);
}

TEST_F(D3dRecovery, ADriverErrorRebuildsTheDeviceTryingEveryHalfSecond)
{
    using cc = kel_direct3d::checked_call;
    HostWindow host(64, 48);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));
    ASSERT_TRUE(shows(v, kRed));

    // Present reports the device gone, and the next three devices cannot be made. (A still
    // picture is not presented again: a frame brings the next present.)
    forget(v);
    g_failures_left = 3;
    g_scenario = kDriverError;
    g_armed = true;
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kRed), 64, 48));
    ASSERT_TRUE(HostWindow::pump_until([&] { return !g_armed && g_failures_left.load() == 0; }, kPatienceMs));
    ASSERT_TRUE(push(v, solid_yuv(64, 48, kGreen), 64, 48));
    EXPECT_TRUE(shows(v, kGreen));
    EXPECT_EQ(v.renderer().recoveries(), 1);

    const auto s = seen();
    std::vector<Seen> attempts;
    for (const Seen& e : s)
        if (e.call == cc::create_device)
            attempts.push_back(e);
    ASSERT_EQ(attempts.size(), 4u);
    EXPECT_EQ(attempts.back().hr, D3D_OK);
    // The first attempt follows the error at once; the others wait their turn.
    for (size_t i = 1; i < attempts.size(); ++i)
        EXPECT_GE(attempts[i].tick - attempts[i - 1].tick, 450u) << "attempt " << i;
}

TEST(D3dStress, RepeatedResizesAndMovesLeaveFramesVisibleAndLeakNothing)
{
    HostWindow host(320, 180, 40, 40);
    HostWindow::pump(100);
    // One instance through 48 placements: every resize resets the device for the new back buffer
    // size, a move only places the window; the frames keep coming meanwhile. `memory` gets the
    // private bytes after every placement.
    auto placements = [&](std::vector<size_t>& memory) {
        Vout v(host.hwnd, VOUT_16_9);
        ASSERT_NE(v.h, nullptr);
        const auto frame = quadrant_yuv(160, 90);
        for (int i = 0; i < 48; ++i) {
            if (i % 2)
                host.move_to(40 + (i * 37) % 300, 40 + (i * 23) % 200);
            else
                host.resize_client(200 + (i * 53) % 400, 150 + (i * 31) % 300);
            ASSERT_TRUE(push(v, frame, 160, 90));
            HostWindow::pump(15);
            memory.push_back(private_bytes());
        }
        host.resize_client(640, 360);
        const RECT want{0, 0, 640, 360};
        ASSERT_TRUE(HostWindow::pump_until(
            [&] {
                const RECT r = host.child_rect(kClass);
                return EqualRect(&r, &want) != FALSE;
            },
            kPatienceMs));
        ASSERT_TRUE(push(v, frame, 160, 90));
        Snapshot s;
        EXPECT_TRUE(snapshot_until(v, s, [&](const Snapshot& sn) {
            return sn.width == 640 && sn.height == 360 && close_to(sn.at(20, 20), kRed.rgb) &&
                   close_to(sn.at(620, 340), kWhite.rgb) && close_to(sn.at(620, 20), kGreen.rgb) &&
                   close_to(sn.at(20, 340), kBlue.rgb);
        }));
    };
    // The first instance also makes what wined3d and Mesa keep for the process from then on, and
    // on a 64-bit-only Wine the first two (after the other tests of this program) still added a
    // handle and some 20 to 30 MB for good: two instances are measured after it, and the second
    // must hold no more than the first.
    std::vector<size_t> warm_up, before, memory;
    placements(warm_up);
    HostWindow::pump(300);
    placements(before);
    HostWindow::pump(300);  // its device's threads wind down
    const int threads_before = count_process_threads();
    const int handles_before = count_process_handles();
    ASSERT_GT(handles_before, 0);
    placements(memory);
    // Each reset under wined3d frees and makes again some tens of megabytes (Mesa's compiled
    // shaders among them), so single readings swing: the peaks of the last instance must not have
    // grown beyond those of the one before.
    ASSERT_EQ(before.size(), 48u);
    ASSERT_EQ(memory.size(), 48u);
    const size_t early = *std::max_element(before.begin(), before.end());
    const size_t late = *std::max_element(memory.begin(), memory.end());
    EXPECT_LT(late, early + (16u << 20)) << "peaks from " << (early >> 10) << " KiB to " << (late >> 10) << " KiB";
    // The instance, its device and their threads are gone, and every handle they held.
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs))
        << count_process_threads() << " threads, " << threads_before << " before";
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_handles() <= handles_before; }, kPatienceMs))
        << count_process_handles() << " handles, " << handles_before << " before";
}

// Destroying an instance whatever it is doing ends only the instance: a window system error on
// the way out would end this program, and with it the test.
TEST(D3dStress, DestroyingInstancesInEveryStateLeavesTheProcessAlive)
{
    HostWindow host(240, 160);
    const int threads_before = count_process_threads();
    const int handles_before = count_process_handles();
    for (int i = 0; i < 12; ++i) {
        Vout v(host.hwnd, DISPLAY_MODE(i % 4), i % 3 == 2 ? VOUT_RGB : VOUT_YUV420);
        ASSERT_NE(v.h, nullptr);
        if (i % 3 == 2) {
            std::vector<uint8_t> rgb(size_t(48) * 32 * 3, uint8_t(i * 20));
            kel_vout_put_buffer_pool(v.h, rgb.data(), int(rgb.size()), 48, 32);
        } else {
            push(v, solid_yuv(48, 32, kGreen), 48, 32);
        }
        if (i % 2) {
            Snapshot s;
            EXPECT_TRUE(take_snapshot(v.h, s));
        }
        if (i % 4 == 1)
            host.resize_client(240 + i, 160 - i);  // destroyed while it re-places its window
        EXPECT_EQ(kel_vout_destroy(&v.h), 0);
        EXPECT_TRUE(HostWindow::pump_until([&] { return host.child(kClass) == nullptr; }, kPatienceMs));
    }
    EXPECT_TRUE(render_threads_end());
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs));
    EXPECT_LE(count_process_handles(), handles_before + 2);
}
