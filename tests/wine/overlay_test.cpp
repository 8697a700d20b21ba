// Overlays on every backend: snapshots with overlays against the same snapshot without them,
// blended here by out = src * o + dst * (1 - a * o): at their pixels in the window, with an
// opacity, several overlapping in id order, scaled with the picture, removed, across a resize and
// a device made or reset again. Also every refusal of kel_vout_set_overlay.
#include <gtest/gtest.h>

#include <windows.h>

#include <d3d9.h>
#include <dxgi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_direct3d11.h"
#include "kel_vout.h"
#include "test_support.h"

namespace {

const int kW = 320, kH = 240;

// An I420 frame varying per pixel in every plane.
std::vector<uint8_t> gradient_i420(int w, int h)
{
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<uint8_t> f(size_t(w) * h + 2 * size_t(cw) * ch);
    uint8_t* y = f.data();
    uint8_t* u = y + size_t(w) * h;
    uint8_t* v = u + size_t(cw) * ch;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            y[r * w + c] = uint8_t(20 + (c * 200) / w + (r % 7));
    for (int r = 0; r < ch; ++r)
        for (int c = 0; c < cw; ++c) {
            u[r * cw + c] = uint8_t(60 + (r * 120) / ch);
            v[r * cw + c] = uint8_t(190 - (c * 110) / cw);
        }
    return f;
}

bool push_gradient(KEL_VOUT_HANDLE h, int w, int hgt)
{
    const std::vector<uint8_t> f = gradient_i420(w, hgt);
    const KEL_VOUT_FRAME_T frame = packed_i420(f, w, hgt);
    return kel_vout_put_frame(h, &frame) == 0;
}

// A premultiplied B, G, R, A bitmap whose colour and alpha vary per pixel; `seed` makes another.
// Within `margin` of its edges it is transparent (as a subtitle canvas is mostly).
struct Bitmap {
    int w = 0, h = 0;
    std::vector<uint8_t> bgra;
    const uint8_t* at(int x, int y) const { return &bgra[(size_t(y) * w + x) * 4]; }
};

Bitmap pattern(int w, int h, int seed, int margin = 0)
{
    Bitmap b;
    b.w = w;
    b.h = h;
    b.bgra.resize(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &b.bgra[(size_t(y) * w + x) * 4];
            const int a = (x * 255 / std::max(w - 1, 1) + seed * 40 + y * 3) % 256;
            const int colour[3] = {(x * 7 + seed * 50) % 256, (y * 11 + 30) % 256, (x + y + seed * 90) % 256};
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t((colour[c] * a + 127) / 255);  // premultiplied
            p[3] = uint8_t(a);
            if (x < margin || y < margin || x >= w - margin || y >= h - margin)
                p[0] = p[1] = p[2] = p[3] = 0;
        }
    return b;
}

// The bitmap scaled to w x h bilinearly, sample centres aligned and the edges repeated, as a
// texture filter does.
Bitmap scaled(const Bitmap& b, int w, int h)
{
    Bitmap s;
    s.w = w;
    s.h = h;
    s.bgra.resize(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = std::clamp((x + 0.5) * b.w / w - 0.5, 0.0, double(b.w - 1));
            const double v = std::clamp((y + 0.5) * b.h / h - 0.5, 0.0, double(b.h - 1));
            const int x0 = int(u), y0 = int(v), x1 = std::min(x0 + 1, b.w - 1), y1 = std::min(y0 + 1, b.h - 1);
            const double fx = u - x0, fy = v - y0;
            for (int c = 0; c < 4; ++c) {
                const double top = b.at(x0, y0)[c] * (1 - fx) + b.at(x1, y0)[c] * fx;
                const double bottom = b.at(x0, y1)[c] * (1 - fx) + b.at(x1, y1)[c] * fx;
                s.bgra[(size_t(y) * w + x) * 4 + c] = uint8_t(std::lround(top * (1 - fy) + bottom * fy));
            }
        }
    return s;
}

// What the library must show: the bitmap at (x, y) of the snapshot, blended with `opacity`.
void blend_into(std::vector<double>& rgb, int width, int height, const Bitmap& b, int x, int y, int opacity)
{
    const double o = opacity / 255.0;
    for (int r = 0; r < b.h; ++r)
        for (int c = 0; c < b.w; ++c) {
            const int px = x + c, py = y + r;
            if (px < 0 || py < 0 || px >= width || py >= height)
                continue;
            const uint8_t* s = b.at(c, r);
            const double a = s[3] / 255.0;
            double* d = &rgb[(size_t(py) * width + px) * 3];
            const double src[3] = {double(s[2]), double(s[1]), double(s[0])};  // R, G, B
            for (int k = 0; k < 3; ++k)
                d[k] = src[k] * o + d[k] * (1 - a * o);
        }
}

std::vector<double> as_doubles(const Snapshot& s)
{
    return std::vector<double>(s.rgb.begin(), s.rgb.end());
}

// The largest difference between a snapshot and the expectation, over the whole window.
int max_difference(const Snapshot& s, const std::vector<double>& want)
{
    int worst = 0;
    for (size_t i = 0; i < want.size() && i < s.rgb.size(); ++i)
        worst = std::max(worst, int(std::lround(std::fabs(double(s.rgb[i]) - want[i]))));
    return s.rgb.size() == want.size() ? worst : 255;
}

// Peak signal-to-noise ratio over a rectangle, in dB.
double psnr_in(const Snapshot& s, const std::vector<double>& want, int x, int y, int w, int h)
{
    double sum = 0;
    size_t n = 0;
    for (int r = y; r < y + h; ++r)
        for (int c = x; c < x + w; ++c)
            for (int k = 0; k < 3; ++k, ++n) {
                const size_t i = (size_t(r) * s.width + c) * 3 + k;
                const double d = double(s.rgb[i]) - want[i];
                sum += d * d;
            }
    return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * double(n) / sum);
}

KEL_VOUT_OVERLAY_T record(const Bitmap& b, int coords, int x, int y, int w = 0, int h = 0, int opacity = 255)
{
    KEL_VOUT_OVERLAY_T o{};
    o.size = sizeof(o);
    o.width = b.w;
    o.height = b.h;
    o.stride = b.w * 4;
    o.bgra = b.bgra.data();
    o.coords = coords;
    o.x = x;
    o.y = y;
    o.w = w;
    o.h = h;
    o.opacity = opacity;
    return o;
}

// A snapshot of what the render thread paints after everything the host did before: a request
// may meet a pass that had looked at the host's changes just before them, the second cannot.
bool current(KEL_VOUT_HANDLE h, Snapshot& s)
{
    return take_snapshot(h, s) && take_snapshot(h, s);
}

uint64_t resets_of(KEL_VOUT_HANDLE h)
{
    KEL_VOUT_STATS_T s{};
    s.size = sizeof(s);
    kel_vout_get_stats(h, &s);
    return s.device_resets;
}

// A lost Direct3D 9 device, and a removed Direct3D 11 one, at the next present.
std::atomic<int> g_d3d9_loss{0};
HRESULT d3d9_loss(kel_direct3d::checked_call call, IDirect3DDevice9*, HRESULT hr)
{
    using cc = kel_direct3d::checked_call;
    if (call == cc::present && g_d3d9_loss == 1) {
        g_d3d9_loss = 2;
        return D3DERR_DEVICELOST;
    }
    if (call == cc::test_cooperative_level && g_d3d9_loss == 2) {
        g_d3d9_loss = 3;
        return D3DERR_DEVICENOTRESET;
    }
    return hr;
}
std::atomic<int> g_d3d11_removal{0};
HRESULT d3d11_removal(kel_direct3d11::checked_call call, HRESULT hr)
{
    if (call == kel_direct3d11::checked_call::present && g_d3d11_removal == 1) {
        g_d3d11_removal = 2;
        return DXGI_ERROR_DEVICE_REMOVED;
    }
    return hr;
}

// Makes the instance's device again: a lost and reset Direct3D 9 device, a removed Direct3D 11
// one, a new OpenGL context in a new child window. True once the instance counted it.
bool make_device_again(KEL_VOUT_HANDLE h, VOUT_MODE backend)
{
    const uint64_t before = resets_of(h);
    if (backend == VOUT_D3D) {
        g_d3d9_loss = 1;
        kel_direct3d::set_result_hook_for_testing(&d3d9_loss);
    } else if (backend == VOUT_D3D11) {
        g_d3d11_removal = 1;
        kel_direct3d11::set_result_hook_for_testing(&d3d11_removal);
    } else {
        auto& obj = const_cast<kel_vout_display_t&>(kel_vout_base::find_for_testing(h)->display_state());
        obj.lock(&obj.locker);
        obj.cfg.is_fullscreen = true;  // the render thread makes its window and context again
        obj.unlock(&obj.locker);
    }
    Snapshot s;
    const bool again = HostWindow::pump_until(
        [&] {
            take_snapshot(h, s, 200);  // a paint, which meets the loss
            return resets_of(h) > before;
        },
        kPatienceMs);
    kel_direct3d::set_result_hook_for_testing(nullptr);
    kel_direct3d11::set_result_hook_for_testing(nullptr);
    return again;
}

// Everything a host sees of its overlays on one backend.
void check_overlays(VOUT_MODE backend)
{
    HostWindow host(kW, kH);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, backend, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(push_gradient(h, kW, kH));
    Snapshot base, s;
    ASSERT_TRUE(current(h, base));
    ASSERT_EQ(base.width, kW);

    // One WINDOW overlay at its own size; the picture elsewhere untouched.
    const Bitmap a = pattern(64, 32, 1, 5), b = pattern(40, 50, 2);
    KEL_VOUT_OVERLAY_T ra = record(a, KEL_VOUT_OVERLAY_WINDOW, 20, 30);
    ASSERT_EQ(kel_vout_set_overlay(h, 3, &ra), 0);
    ASSERT_TRUE(current(h, s));
    std::vector<double> want = as_doubles(base);
    blend_into(want, kW, kH, a, 20, 30, 255);
    EXPECT_LE(max_difference(s, want), 2);
    // Painted again, and under a new frame, it is not uploaded again.
    const uint64_t uploads = overlay_uploads_for_testing();
    EXPECT_GT(uploads, 0u);
    ASSERT_TRUE(push_gradient(h, kW, kH));
    ASSERT_TRUE(current(h, s));
    EXPECT_LE(max_difference(s, want), 2);
    EXPECT_EQ(overlay_uploads_for_testing(), uploads);

    // Another bitmap of the same size in its place, with an opacity, and a second overlay below
    // it (a lower id) overlapping it.
    const Bitmap a2 = pattern(64, 32, 7, 5);
    ra = record(a2, KEL_VOUT_OVERLAY_WINDOW, 20, 30, 0, 0, 100);
    ASSERT_EQ(kel_vout_set_overlay(h, 3, &ra), 0);
    const KEL_VOUT_OVERLAY_T rb = record(b, KEL_VOUT_OVERLAY_WINDOW, 60, 40, 0, 0, 200);
    ASSERT_EQ(kel_vout_set_overlay(h, 1, &rb), 0);
    ASSERT_TRUE(current(h, s));
    want = as_doubles(base);
    blend_into(want, kW, kH, b, 60, 40, 200);
    blend_into(want, kW, kH, a2, 20, 30, 100);
    EXPECT_LE(max_difference(s, want), 2);

    // A refused change leaves the overlay as it was.
    KEL_VOUT_OVERLAY_T bad = ra;
    bad.opacity = 256;
    EXPECT_EQ(kel_vout_set_overlay(h, 3, &bad), 1);
    ASSERT_TRUE(current(h, s));
    EXPECT_LE(max_difference(s, want), 2);

    // Removed, the picture is as before; removing again is no fault. A bitmap partly outside
    // the window is clipped to it.
    EXPECT_EQ(kel_vout_set_overlay(h, 1, nullptr), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 1, nullptr), 0);
    ra = record(a, KEL_VOUT_OVERLAY_WINDOW, kW - 30, -10);
    ASSERT_EQ(kel_vout_set_overlay(h, 3, &ra), 0);
    ASSERT_TRUE(current(h, s));
    want = as_doubles(base);
    blend_into(want, kW, kH, a, kW - 30, -10, 255);
    EXPECT_LE(max_difference(s, want), 2);
    EXPECT_EQ(kel_vout_set_overlay(h, 3, nullptr), 0);
    ASSERT_TRUE(current(h, s));
    EXPECT_LE(max_difference(s, as_doubles(base)), 2);

    // A PICTURE overlay on a 160 x 120 picture shown over 320 x 240: twice its size, scaled.
    ASSERT_TRUE(push_gradient(h, 160, 120));
    ASSERT_TRUE(current(h, base));
    const Bitmap c = pattern(32, 16, 3, 3);
    const KEL_VOUT_OVERLAY_T rc = record(c, KEL_VOUT_OVERLAY_PICTURE, 10, 10);
    ASSERT_EQ(kel_vout_set_overlay(h, 0, &rc), 0);
    ra = record(a, KEL_VOUT_OVERLAY_WINDOW, 200, 150);
    ASSERT_EQ(kel_vout_set_overlay(h, 5, &ra), 0);
    ASSERT_TRUE(current(h, s));
    want = as_doubles(base);
    blend_into(want, kW, kH, scaled(c, 64, 32), 20, 20, 255);
    blend_into(want, kW, kH, a, 200, 150, 255);
    EXPECT_GE(psnr_in(s, want, 20, 20, 64, 32), 35.0);
    EXPECT_LE(max_difference(s, want), 40);  // the scaled one's edges; the rest within 2
    EXPECT_GE(psnr_in(s, want, 200, 150, 64, 32), 45.0);

    // Turned a quarter, the picture shows as 120 x 160 over the window: its pixels are 8/3 wide
    // and 3/2 high there, and the PICTURE overlay (not turned itself) covers (27, 15)-(112, 39).
    EXPECT_EQ(kel_vout_set_overlay(h, 0, nullptr), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 5, nullptr), 0);
    KEL_VOUT_TRANSFORM_T turn{};
    turn.size = sizeof(turn);
    turn.rotation = 90;
    ASSERT_EQ(kel_vout_set_transform(h, &turn), 0);
    ASSERT_TRUE(current(h, base));
    ASSERT_EQ(kel_vout_set_overlay(h, 0, &rc), 0);
    ASSERT_TRUE(current(h, s));
    want = as_doubles(base);
    blend_into(want, kW, kH, scaled(c, 85, 24), 27, 15, 255);
    EXPECT_GE(psnr_in(s, want, 27, 15, 85, 24), 35.0);
    EXPECT_GE(psnr_in(s, want, 0, 0, kW, kH), 40.0);
    ASSERT_EQ(kel_vout_set_transform(h, nullptr), 0);
    ASSERT_EQ(kel_vout_set_overlay(h, 5, &ra), 0);

    // A larger window: the PICTURE overlay scales with the picture (2.5 times), the WINDOW one
    // stays as it was.
    host.resize_client(400, 300);
    HostWindow::pump(150);
    ASSERT_TRUE(HostWindow::pump_until([&] { return current(h, s) && s.width == 400 && s.height == 300; }, kPatienceMs));
    Snapshot bare;
    EXPECT_EQ(kel_vout_set_overlay(h, 0, nullptr), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 5, nullptr), 0);
    ASSERT_TRUE(current(h, bare));
    ASSERT_EQ(bare.width, 400);
    want = as_doubles(bare);
    blend_into(want, 400, 300, scaled(c, 80, 40), 25, 25, 255);
    blend_into(want, 400, 300, a, 200, 150, 255);
    EXPECT_GE(psnr_in(s, want, 25, 25, 80, 40), 35.0);
    EXPECT_GE(psnr_in(s, want, 200, 150, 64, 32), 45.0);

    // A device made again: the overlays come back with the picture, no new frame pushed.
    ASSERT_EQ(kel_vout_set_overlay(h, 0, &rc), 0);
    ASSERT_EQ(kel_vout_set_overlay(h, 5, &ra), 0);
    ASSERT_TRUE(make_device_again(h, backend));
    ASSERT_TRUE(HostWindow::pump_until([&] { return current(h, s) && s.width == 400; }, kPatienceMs));
    EXPECT_GE(psnr_in(s, want, 25, 25, 80, 40), 35.0);
    EXPECT_GE(psnr_in(s, want, 200, 150, 64, 32), 45.0);
    EXPECT_GE(psnr_in(s, want, 0, 0, 400, 300), 40.0);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

class Overlays : public ::testing::TestWithParam<VOUT_MODE> {};

}  // namespace

// (Under the test presets the OpenGL case runs again on contexts without fragment programs and
// without textures of any size: the processor converts, overlays at powers of two.)
TEST_P(Overlays, BlendAtTheirPlacesInIdOrderUntilRemovedAndThroughResizesAndNewDevices)
{
    check_overlays(GetParam());
}

// Direct3D 9 where the device has no pixel shader: the processor converts these frames.
TEST(OverlaysD3d9, BlendAlsoWhereTheProcessorConverts)
{
    kel_direct3d::set_shader_allowed_for_testing(false);
    check_overlays(VOUT_D3D);
    kel_direct3d::set_shader_allowed_for_testing(true);
}

INSTANTIATE_TEST_SUITE_P(Backends, Overlays, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& i) { return backend_label(i.param); });

TEST(OverlayApi, RefusesBadRecordsAndKeepsTheBudget)
{
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_WGL, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    const Bitmap b = pattern(8, 8, 0);
    const KEL_VOUT_OVERLAY_T good = record(b, KEL_VOUT_OVERLAY_PICTURE, 0, 0);
    EXPECT_EQ(kel_vout_set_overlay(nullptr, 0, &good), 1);
    EXPECT_EQ(kel_vout_set_overlay(reinterpret_cast<KEL_VOUT_HANDLE>(&host), 0, &good), 1);  // never a handle
    EXPECT_EQ(kel_vout_set_overlay(h, -1, &good), 1);
    EXPECT_EQ(kel_vout_set_overlay(h, KEL_VOUT_MAX_OVERLAYS, &good), 1);
    EXPECT_EQ(kel_vout_set_overlay(h, KEL_VOUT_MAX_OVERLAYS, nullptr), 1);
    EXPECT_EQ(kel_vout_set_overlay(h, KEL_VOUT_MAX_OVERLAYS - 1, &good), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 0, nullptr), 0);  // nothing there: no fault
    struct {
        const char* what;
        void (*change)(KEL_VOUT_OVERLAY_T&);
    } const refused[] = {
        {"size", [](KEL_VOUT_OVERLAY_T& o) { o.size = sizeof(o) - 1; }},
        {"bitmap", [](KEL_VOUT_OVERLAY_T& o) { o.bgra = nullptr; }},
        {"width 0", [](KEL_VOUT_OVERLAY_T& o) { o.width = 0; }},
        {"height 4097", [](KEL_VOUT_OVERLAY_T& o) { o.height = 4097; }},
        {"stride", [](KEL_VOUT_OVERLAY_T& o) { o.stride = o.width * 4 - 1; }},
        {"negative w", [](KEL_VOUT_OVERLAY_T& o) { o.w = -1; }},
        {"negative h", [](KEL_VOUT_OVERLAY_T& o) { o.h = -8; }},
        {"coords", [](KEL_VOUT_OVERLAY_T& o) { o.coords = 2; }},
        {"opacity", [](KEL_VOUT_OVERLAY_T& o) { o.opacity = 256; }},
        {"negative opacity", [](KEL_VOUT_OVERLAY_T& o) { o.opacity = -1; }},
    };
    for (const auto& r : refused) {
        KEL_VOUT_OVERLAY_T o = good;
        r.change(o);
        EXPECT_EQ(kel_vout_set_overlay(h, 2, &o), 1) << r.what;
    }
    // 64 MiB of bitmaps in all: a 4096 x 4096 one takes it all, one pixel more is refused until
    // it goes.
    const std::vector<uint8_t> big(size_t(4096) * 4096 * 4, 0x10);
    KEL_VOUT_OVERLAY_T o = good;
    o.width = o.height = 4096;
    o.stride = 4096 * 4;
    o.bgra = big.data();
    EXPECT_EQ(kel_vout_set_overlay(h, KEL_VOUT_MAX_OVERLAYS - 1, nullptr), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 4, &o), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 5, &good), 1);
    EXPECT_EQ(kel_vout_set_overlay(h, 4, &good), 0);  // replaced by a small one
    EXPECT_EQ(kel_vout_set_overlay(h, 5, &good), 0);
    Snapshot s;
    EXPECT_TRUE(take_snapshot(h, s));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_EQ(kel_vout_set_overlay(h, 0, &good), 1);  // a destroyed instance
}
