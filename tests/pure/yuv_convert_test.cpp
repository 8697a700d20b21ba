// Processor-side BT.601 limited-range conversion: reference colours, odd sizes, bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "yuv_convert.h"

namespace {
// The reference formula in double precision.
void reference(int y, int u, int v, int rgb[3])
{
    const double yy = 1.1643835 * (y - 16);
    const double c[3] = {yy + 1.5960268 * (v - 128), yy - 0.3917623 * (u - 128) - 0.81296766 * (v - 128),
                         yy + 2.0172322 * (u - 128)};
    for (int i = 0; i < 3; ++i)
        rgb[i] = int(std::lround(std::fmin(255.0, std::fmax(0.0, c[i]))));
}
}  // namespace

TEST(YuvConvert, EveryInputIsWithinOneOfTheReference)
{
    for (int y = 0; y < 256; y += 3)
        for (int u = 0; u < 256; u += 5)
            for (int v = 0; v < 256; v += 7) {
                uint8_t got[3];
                int want[3];
                bt601_limited_to_rgb(uint8_t(y), uint8_t(u), uint8_t(v), got);
                reference(y, u, v, want);
                for (int i = 0; i < 3; ++i)
                    ASSERT_LE(std::abs(got[i] - want[i]), 1) << y << " " << u << " " << v << " channel " << i;
            }
    uint8_t black[3], white[3];
    bt601_limited_to_rgb(16, 128, 128, black);
    bt601_limited_to_rgb(235, 128, 128, white);
    EXPECT_EQ(black[0] + black[1] + black[2], 0);
    EXPECT_EQ(white[0] + white[1] + white[2], 3 * 255);
}

TEST(YuvConvert, OddSizesReadOnlyWhatThePlanesHold)
{
    for (auto [w, h] : {std::pair{1, 1}, {5, 3}, {641, 481}, {2, 1}, {1, 2}, {854, 4}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        // Exactly sized planes: ASan reports any read past them.
        std::vector<uint8_t> y(size_t(w) * h, 81), u(size_t(w / 2) * (h / 2), 90), v(size_t(w / 2) * (h / 2), 240);
        std::vector<uint8_t> rgb(size_t(w) * h * 3);
        ASSERT_TRUE(yuv420_to_rgb(y.data(), u.data(), v.data(), w, h, rgb.data(), rgb.size()));
        uint8_t want[3];
        bt601_limited_to_rgb(81, w >= 2 && h >= 2 ? 90 : 128, w >= 2 && h >= 2 ? 240 : 128, want);
        EXPECT_EQ(rgb[rgb.size() - 3], want[0]);
        EXPECT_EQ(rgb[rgb.size() - 1], want[2]);
        EXPECT_FALSE(yuv420_to_rgb(y.data(), u.data(), v.data(), w, h, rgb.data(), rgb.size() - 1));
    }
}

TEST(YuvConvert, ChromaFollowsTheTwoByTwoBlocks)
{
    // 4x2 picture: left block red-ish chroma, right block blue-ish.
    const uint8_t y[8] = {128, 128, 128, 128, 128, 128, 128, 128};
    const uint8_t u[2] = {90, 240};
    const uint8_t v[2] = {240, 110};
    uint8_t rgb[24];
    ASSERT_TRUE(yuv420_to_rgb(y, u, v, 4, 2, rgb, sizeof(rgb)));
    EXPECT_GT(rgb[0], rgb[2]);            // (0,0) red over blue
    EXPECT_GT(rgb[3 * 3 + 2], rgb[3 * 3]);  // (3,0) blue over red
    EXPECT_EQ(rgb[12 + 0], rgb[0]);       // (0,1) same block as (0,0)
}
