// Where the child window sits, through each backend, in the areas hosts have: every aspect mode,
// landscape and portrait pictures in landscape and portrait areas. The rectangles are literals,
// worked out by hand: a pillarbox is H x ratio wide (truncated) at x = W/2 - w/2, a letterbox
// W / ratio high at y = H/2 - h/2, with 1/ratio rounded to float (16:9 gives 0.5625 exactly).
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "host_window.h"
#include "kel_vout.h"
#include "test_colours.h"

namespace {

struct Rect {
    int x, y, w, h;
};

struct Area {
    int W, H;
    Rect normal, four_three, sixteen_nine;
    Rect landscape;  // VOUT_PREFERRED with a 1280 x 720 picture
    Rect phone;      // VOUT_PREFERRED with a 360 x 640 (9:16) picture
    Rect portrait;   // VOUT_PREFERRED with a 480 x 640 (3:4) picture
};

const Area kAreas[] = {
    {640, 480, {0, 0, 640, 480}, {0, 0, 640, 480}, {0, 60, 640, 360}, {0, 60, 640, 360}, {185, 0, 270, 480},
     {140, 0, 360, 480}},
    {800, 600, {0, 0, 800, 600}, {0, 0, 800, 600}, {0, 75, 800, 450}, {0, 75, 800, 450}, {232, 0, 337, 600},
     {175, 0, 450, 600}},
    {1280, 1024, {0, 0, 1280, 1024}, {0, 32, 1280, 960}, {0, 152, 1280, 720}, {0, 152, 1280, 720},
     {352, 0, 576, 1024}, {256, 0, 768, 1024}},
    {1920, 1080, {0, 0, 1920, 1080}, {240, 0, 1440, 1080}, {0, 0, 1920, 1080}, {0, 0, 1920, 1080},
     {657, 0, 607, 1080}, {555, 0, 810, 1080}},
    {600, 800, {0, 0, 600, 800}, {0, 175, 600, 450}, {0, 232, 600, 337}, {0, 232, 600, 337}, {75, 0, 450, 800},
     {0, 0, 600, 800}},
    {1000, 800, {0, 0, 1000, 800}, {0, 25, 1000, 750}, {0, 119, 1000, 562}, {0, 119, 1000, 562},
     {275, 0, 450, 800}, {200, 0, 600, 800}},
    {600, 1000, {0, 0, 600, 1000}, {0, 275, 600, 450}, {0, 332, 600, 337}, {0, 332, 600, 337}, {19, 0, 562, 1000},
     {0, 100, 600, 800}},
};

::testing::AssertionResult placed(const HostWindow& host, const char* cls, Rect want)
{
    const RECT r = host.child_rect(cls);
    if (r.left == want.x && r.top == want.y && r.right - r.left == want.w && r.bottom - r.top == want.h)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "child at (" << r.left << "," << r.top << " " << r.right - r.left << "x"
                                         << r.bottom - r.top << "), want (" << want.x << "," << want.y << " "
                                         << want.w << "x" << want.h << ")";
}

bool push_grey(KEL_VOUT_HANDLE h, int w, int hgt)
{
    std::vector<uint8_t> frame(size_t(w) * hgt * 3 / 2, 0x80);
    return kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, w, w, hgt) == 0;
}

class Geometry : public ::testing::TestWithParam<VOUT_MODE> {};

}  // namespace

TEST_P(Geometry, EveryModeInEveryAreaAtItsLiteralRectangle)
{
    const VOUT_MODE backend = GetParam();
    const char* cls = backend_class(backend);
    HostWindow host(640, 480, 0, 0);
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host.hwnd;
    cfg.vout_mode = backend;
    cfg.display_mode = VOUT_NORMAL;
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    ASSERT_NE(h, nullptr);

    for (const Area& a : kAreas) {
        SCOPED_TRACE(::testing::Message() << a.W << "x" << a.H);
        host.resize_client(a.W, a.H);
        HostWindow::pump(100);  // let the host's thread handle what the resize brings, as a host would
        const struct {
            DISPLAY_MODE mode;
            int pw, ph;  // the picture pushed, 0: none
            Rect want;
        } steps[] = {
            {VOUT_NORMAL, 0, 0, a.normal},         {VOUT_4_3, 0, 0, a.four_three},
            {VOUT_16_9, 0, 0, a.sixteen_nine},     {VOUT_PREFERRED, 1280, 720, a.landscape},
            {VOUT_PREFERRED, 360, 640, a.phone},   {VOUT_PREFERRED, 480, 640, a.portrait},
        };
        for (const auto& s : steps) {
            SCOPED_TRACE(::testing::Message() << "mode " << s.mode << ", picture " << s.pw << "x" << s.ph);
            ASSERT_EQ(kel_vout_set_display_mode(h, s.mode), 0);
            if (s.pw) {
                ASSERT_TRUE(push_grey(h, s.pw, s.ph));
            }
            HostWindow::pump_until([&] { return bool(placed(host, cls, s.want)); }, kPatienceMs);
            EXPECT_TRUE(placed(host, cls, s.want));
        }
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

// A frame of new proportions is placed before it is drawn: the very first picture of it already
// fills the new rectangle, each quadrant in its corner (not drawn at the old size and cropped).
TEST_P(Geometry, TheFirstPictureOfANewSizeFillsItsNewRectangle)
{
    const VOUT_MODE backend = GetParam();
    HostWindow host(800, 450);
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host.hwnd;
    cfg.vout_mode = backend;
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    ASSERT_NE(h, nullptr);
    // From the start picture's 4:3 to 16:9, 9:16, 4:3 and 16:9 again: the whole 800 x 450, then
    // 253 x 450 (450 x 0.5625), 600 x 450 and 800 x 450, each size unlike the one before.
    const struct {
        int w, h, shown_w, shown_h;
    } sizes[] = {{640, 360, 800, 450}, {360, 640, 253, 450}, {320, 240, 600, 450}, {640, 360, 800, 450}};
    std::vector<uint8_t> rgb(size_t(800) * 450 * 3);
    for (const auto& sz : sizes) {
        SCOPED_TRACE(::testing::Message() << sz.w << "x" << sz.h);
        const auto frame = quadrants(sz.w, sz.h);
        ASSERT_EQ(kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, sz.w, sz.w, sz.h), 0);
        // The first picture presented at the new size (earlier ones still show the last frame).
        int32_t w = 0, hgt = 0;
        HostWindow::pump_until(
            [&] {
                return kel_vout_snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 5000) == 0 &&
                       w == sz.shown_w && hgt == sz.shown_h;
            },
            kPatienceMs);
        ASSERT_EQ(w, sz.shown_w);
        ASSERT_EQ(hgt, sz.shown_h);
        auto at = [&](int x, int y) { return &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3]; };
        EXPECT_TRUE(close_to(at(5, 5), kRed.rgb));
        EXPECT_TRUE(close_to(at(w - 6, 5), kGreen.rgb));
        EXPECT_TRUE(close_to(at(5, hgt - 6), kBlue.rgb));
        EXPECT_TRUE(close_to(at(w - 6, hgt - 6), kWhite.rgb));
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, Geometry, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& i) { return std::string(backend_label(i.param)); });
