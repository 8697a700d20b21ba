// The OpenGL backend's pixels end to end, as a host sees them: the colours and orientation of
// what is presented, RGB frames, the start picture of a large parent and snapshots. (The child
// window, its placement and its teardown are the same on every backend: window_test.cpp.)
// Every call is made from the thread that owns the parent window, which pumps nothing while
// the library waits.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "host_window.h"
#include "kel_opengl.h"
#include "kel_vout.h"
#include "kel_vout_base.h"
#include "test_colours.h"
#include "test_support.h"

namespace {

struct Vout {
    Vout(HWND parent, DISPLAY_MODE mode = VOUT_PREFERRED, SOURCE_FORMAT format = VOUT_YUV420)
        : h(create_vout(parent, VOUT_WGL, mode, format))
    {
    }
    ~Vout()
    {
        if (h)
            kel_vout_destroy(&h);
    }
    const kel_vout_display_t& state() const { return kel_vout_base::find_for_testing(h)->display_state(); }
    KEL_VOUT_HANDLE h;
};

// A planar frame of one colour.
std::vector<uint8_t> solid_yuv(int w, int h, uint8_t y, uint8_t u, uint8_t v)
{
    std::vector<uint8_t> f(size_t(w) * h * 3 / 2);
    std::fill(f.begin(), f.begin() + w * h, y);
    std::fill(f.begin() + w * h, f.begin() + w * h + (w / 2) * (h / 2), u);
    std::fill(f.begin() + w * h + (w / 2) * (h / 2), f.end(), v);
    return f;
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

// Colours and orientation, compared pixel by pixel with the conversion formula (the test's own). VOUT_NORMAL in a
// window of the frame's own size draws every texel exactly once.
class WglPixels : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(WglPixels, YuvFramesMatchTheFormulaEverywhere)
{
    const auto [w, h] = GetParam();
    HostWindow host(w, h);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    // Luma varies along both axes (a shear or flip moves it); chroma is constant so that the
    // half-size chroma planes need no interpolation.
    std::vector<uint8_t> frame = solid_yuv(w, h, 0, 90, 240);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            frame[size_t(y) * w + x] = uint8_t(16 + (x * 7 + y * 3) % 220);
    ASSERT_TRUE(push(v, frame, w, h));

    uint8_t first[3];
    reference_rgb(frame[0], 90, 240, first);
    Snapshot s;
    ASSERT_TRUE(snapshot_until(
        v, s, [&](const Snapshot& sn) { return sn.width == w && sn.height == h && close_to(sn.at(0, 0), first, 2); }));
    int worst = 0, bad = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t want[3];
            reference_rgb(frame[size_t(y) * w + x], 90, 240, want);
            for (int c = 0; c < 3; ++c) {
                const int d = std::abs(int(s.at(x, y)[c]) - int(want[c]));
                worst = std::max(worst, d);
                bad += d > 2;
            }
        }
    EXPECT_EQ(bad, 0) << "worst difference " << worst;
    // Without fragment programs (see the CTest entry that hides them) the processor converts.
    EXPECT_EQ(v.state().kel_gl->convertsOnGpu(), std::getenv("MESA_EXTENSION_OVERRIDE") == nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WglPixels,
                         ::testing::Values(std::pair{64, 48}, std::pair{641, 481}, std::pair{854, 480},
                                           std::pair{5, 3}));

TEST(WglPixels, SolidColoursAndOrientation)
{
    HostWindow host(256, 128);
    Vout v(host.hwnd, VOUT_NORMAL);
    ASSERT_NE(v.h, nullptr);
    // Top half red, bottom half green; the right quarter of the top half blue.
    const int w = 128, h = 64;
    std::vector<uint8_t> f = solid_yuv(w, h, 0, 0, 0);
    uint8_t* Y = f.data();
    uint8_t* U = Y + w * h;
    uint8_t* V = U + (w / 2) * (h / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool top = y < h / 2, right = x >= 3 * w / 4;
            const uint8_t* c = top ? (right ? kBlue.yuv : kRed.yuv) : kGreen.yuv;
            Y[y * w + x] = c[0];
            U[(y / 2) * (w / 2) + x / 2] = c[1];
            V[(y / 2) * (w / 2) + x / 2] = c[2];
        }
    ASSERT_TRUE(push(v, f, w, h));
    const uint8_t *red = kRed.rgb, *green = kGreen.rgb, *blue = kBlue.rgb;
    Snapshot s;
    ASSERT_TRUE(snapshot_until(v, s, [&](const Snapshot& sn) { return close_to(sn.at(10, 10), red, 2); }));
    EXPECT_TRUE(close_to(s.at(10, 10), red, 2));
    EXPECT_TRUE(close_to(s.at(250, 10), blue, 2));
    EXPECT_TRUE(close_to(s.at(10, 120), green, 2));
    EXPECT_TRUE(close_to(s.at(250, 120), green, 2));
}

TEST(WglPixels, RgbStartPictureOfALargeParentFitsThePictureBuffer)
{
    // 2600 x 1200 x 3 bytes would overrun the 8294400-byte picture buffer.
    HostWindow host(2600, 1200, 0, 0);
    Vout v(host.hwnd, VOUT_NORMAL, VOUT_RGB);
    ASSERT_NE(v.h, nullptr);
    Snapshot s;
    ASSERT_TRUE(take_snapshot(v.h, s));
    EXPECT_EQ(s.width, 2600);
    const uint8_t black[3] = {0, 0, 0};
    EXPECT_TRUE(close_to(s.at(0, 0), black, 0));
    EXPECT_TRUE(close_to(s.at(2599, 1199), black, 0));
    EXPECT_LE(v.state().picture.pix_width * v.state().picture.pix_height * 3, 8294400);
}

