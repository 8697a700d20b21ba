// Aspect placement: every rectangle a host can meet, rounding and truncation included. The
// expected rectangles are worked out by hand (see the comments) or are the published examples;
// the same table runs natively and in both Windows builds under Wine.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "display_placement.h"

namespace {
struct Rect {
    int x, y;
    unsigned w, h;
};

Rect fit(int mode, int W, int H, unsigned pw = 0, unsigned ph = 0)
{
    const vout_display_place_t p = fit_display_rect(mode, W, H, pw, ph);
    return {p.x, p.y, p.width, p.height};
}

::testing::AssertionResult same(Rect got, Rect want)
{
    if (got.x == want.x && got.y == want.y && got.w == want.w && got.h == want.h)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << got.x << ", " << got.y << ", " << got.w << ", " << got.h
                                         << ") want (" << want.x << ", " << want.y << ", " << want.w << ", "
                                         << want.h << ")";
}
}  // namespace

TEST(DisplayPlacement, FixedRatiosFitAndCentre)
{
    struct Case {
        int mode, W, H;
        Rect want;
    };
    const Case cases[] = {
        {VOUT_16_9, 1920, 1080, {0, 0, 1920, 1080}},  // H x r is a hair above W: letterbox of full height
        {VOUT_4_3, 1920, 1080, {240, 0, 1440, 1080}},
        {VOUT_16_9, 1280, 1024, {0, 152, 1280, 720}},
        {VOUT_4_3, 1280, 1024, {0, 32, 1280, 960}},  // 1280 x 0.75; 512 - 480
        {VOUT_4_3, 800, 600, {0, 0, 800, 600}},
        {VOUT_16_9, 800, 600, {0, 75, 800, 450}},
        {VOUT_16_9, 600, 800, {0, 232, 600, 337}},  // 337.5 truncated; 400 - 168
        {VOUT_4_3, 600, 800, {0, 175, 600, 450}},
        {VOUT_4_3, 640, 480, {0, 0, 640, 480}},
        {VOUT_16_9, 640, 480, {0, 60, 640, 360}},
        {VOUT_4_3, 1000, 800, {0, 25, 1000, 750}},
        {VOUT_16_9, 1000, 800, {0, 119, 1000, 562}},  // 562.5 truncated; 400 - 281
        {VOUT_4_3, 1000, 500, {167, 0, 666, 500}},
        {VOUT_16_9, 1000, 1000, {0, 219, 1000, 562}},
        {VOUT_16_9, 600, 1000, {0, 332, 600, 337}},
        {VOUT_4_3, 1080, 1920, {0, 555, 1080, 810}},
        {VOUT_16_9, 1080, 1920, {0, 657, 1080, 607}},  // 607.5 truncated; 960 - 303
        {VOUT_4_3, 0, 0, {0, 0, 0, 0}},
        {VOUT_16_9, 0, 0, {0, 0, 0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(same(fit(c.mode, c.W, c.H), c.want)) << "mode " << c.mode << " " << c.W << "x" << c.H;
}

TEST(DisplayPlacement, PreferredUsesThePicturesProportions)
{
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 1000, 800, 1280, 1024), {0, 0, 1000, 800}));   // exact match
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 1000, 800, 1280, 720), {0, 119, 1000, 562}));  // letterbox
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 640, 480, 1280, 720), {0, 60, 640, 360}));
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 1280, 720, 640, 480), {160, 0, 960, 720}));  // pillarbox
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 640, 480, 16, 12), {0, 0, 640, 480}));
    // No picture height yet: ratio 0 gives a zero-wide rectangle in the middle, of full height.
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 1000, 800, 1280, 0), {500, 0, 0, 800}));
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 600, 800, 1280, 0), {300, 0, 0, 800}));
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 0, 0, 1280, 720), {0, 0, 0, 0}));
}

// Phone video (9:16) and portrait photos (3:4) in portrait and landscape areas: the largest
// rectangle of the picture's proportions, centred. Worked out by hand: a pillarbox is H x r
// wide (truncated) at x = W/2 - w/2; a letterbox W x (1/r) high at y = H/2 - h/2.
TEST(DisplayPlacement, PortraitPicturesFitEveryArea)
{
    struct Case {
        int W, H;
        unsigned pw, ph;
        Rect want;
    };
    const Case cases[] = {
        {600, 1000, 360, 640, {19, 0, 562, 1000}},    // 1000 x 0.5625 = 562.5; 300 - 281
        {600, 800, 360, 640, {75, 0, 450, 800}},      // 800 x 0.5625 = 450; 300 - 225
        {1080, 1920, 1080, 1920, {0, 0, 1080, 1920}},  // the picture's own proportions
        {1280, 720, 360, 640, {438, 0, 405, 720}},    // 720 x 0.5625 = 405; 640 - 202
        {1920, 1080, 360, 640, {657, 0, 607, 1080}},  // 607.5; 960 - 303
        {640, 480, 360, 640, {185, 0, 270, 480}},
        {1000, 1000, 360, 640, {219, 0, 562, 1000}},
        {600, 800, 480, 640, {0, 0, 600, 800}},       // 3:4 in 3:4
        {600, 1000, 480, 640, {0, 100, 600, 800}},    // 600 x 4/3 = 800; 500 - 400
        {1000, 800, 480, 640, {200, 0, 600, 800}},    // 800 x 0.75 = 600; 500 - 300
        {800, 600, 480, 640, {175, 0, 450, 600}},
        {1080, 1920, 480, 640, {0, 240, 1080, 1440}},  // 1080 x 4/3 = 1440; 960 - 720
        {600, 800, 640, 640, {0, 100, 600, 600}},      // square in portrait
    };
    for (const Case& c : cases)
        EXPECT_TRUE(same(fit(VOUT_PREFERRED, c.W, c.H, c.pw, c.ph), c.want))
            << c.pw << "x" << c.ph << " in " << c.W << "x" << c.H;
}

TEST(DisplayPlacement, NormalAndUnknownModesFillTheArea)
{
    for (int mode : {int(VOUT_NORMAL), 4, 42, -1})
        for (auto [W, H] : {std::pair{1920, 1080}, {600, 800}, {0, 0}, {1, 7}})
            EXPECT_TRUE(same(fit(mode, W, H, 1280, 720), {0, 0, unsigned(W), unsigned(H)})) << mode;
}

TEST(DisplayPlacement, DegenerateRatiosStayInsideTheArea)
{
    for (float ratio : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e-30f}) {
        vout_display_place_t p{};
        set_display_ratio(&p, 640, 480, ratio);
        EXPECT_GE(p.x, 0) << ratio;
        EXPECT_GE(p.y, 0) << ratio;
        EXPECT_LE(p.x + int64_t(p.width), 640) << ratio;
        EXPECT_LE(p.y + int64_t(p.height), 480) << ratio;
    }
    vout_display_place_t p{};
    set_display_ratio(&p, 1 << 28, 1 << 27, 16.0f / 9.0f);
    EXPECT_EQ(p.width, 238609296u);  // 2^27 x 16/9, truncated
    EXPECT_EQ(p.height, unsigned(1 << 27));
}
