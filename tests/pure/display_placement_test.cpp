// Aspect placement: every rectangle a host can meet, rounding and truncation included.
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
        {VOUT_4_3, 800, 600, {0, 0, 800, 600}},
        {VOUT_16_9, 600, 800, {0, 232, 600, 337}},  // 337.5 truncated; 400 - 168
        {VOUT_4_3, 640, 480, {0, 0, 640, 480}},
        {VOUT_4_3, 1000, 500, {167, 0, 666, 500}},
        {VOUT_16_9, 1000, 1000, {0, 219, 1000, 562}},
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
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 1280, 720, 640, 480), {160, 0, 960, 720}));    // pillarbox
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 640, 480, 16, 12), {0, 0, 640, 480}));
    // A portrait picture in a landscape area.
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 800, 600, 480, 640), {175, 0, 450, 600}));
    // No picture height yet: ratio 0 gives a zero-wide rectangle at (L / 2, 0).
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 1000, 800, 1280, 0), {500, 0, 0, 800}));
    EXPECT_TRUE(same(fit(VOUT_PREFERRED, 0, 0, 1280, 720), {0, 0, 0, 0}));
}

TEST(DisplayPlacement, NormalAndUnknownModesFillTheArea)
{
    for (int mode : {int(VOUT_NORMAL), 4, 42, -1})
        for (auto [W, H] : {std::pair{1920, 1080}, {600, 800}, {0, 0}, {1, 7}})
            EXPECT_TRUE(same(fit(mode, W, H, 1280, 720), {0, 0, unsigned(W), unsigned(H)})) << mode;
}

TEST(DisplayPlacement, DegenerateRatiosDoNotTrap)
{
    vout_display_place_t p{};
    set_display_ratio(&p, 640, 480, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.width, 480u);  // the last case: w = S
    set_display_ratio(&p, 640, 480, std::numeric_limits<float>::infinity());
    set_display_ratio(&p, 1 << 28, 1 << 27, 16.0f / 9.0f);
    EXPECT_EQ(p.width, 238609296u);  // 2^27 x 16/9, truncated
    EXPECT_EQ(p.height, unsigned(1 << 27));
}
