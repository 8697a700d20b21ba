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
        // Frames 1 pixel wide or high have no chroma: grey of their luma.
        int want[3];
        reference(81, w >= 2 && h >= 2 ? 90 : 128, w >= 2 && h >= 2 ? 240 : 128, want);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(rgb[rgb.size() - 3 + size_t(c)], want[c], 1);  // the last column of the last row
            EXPECT_NEAR(rgb[size_t(c)], want[c], 1);
        }
        EXPECT_FALSE(yuv420_to_rgb(y.data(), u.data(), v.data(), w, h, rgb.data(), rgb.size() - 1));
    }
}

// Chroma samples sit in the middle of their 2 x 2 luma blocks and are interpolated between:
// luma column x takes 3/4 of chroma column x/2 and 1/4 of the neighbour on its side. With Y 128,
// V 128 and U 100 | 160, the columns see U 100, 115, 145, 160, and blue is
// 1.1643835 * 112 + 2.0172322 * (U - 128): 74, 104, 165, 195 (worked out by hand).
TEST(YuvConvert, ChromaIsInterpolatedBetweenBlockCentres)
{
    const int expected_blue[4] = {74, 104, 165, 195};
    std::vector<uint8_t> y(16, 128), v(4, 128);
    const uint8_t across[4] = {100, 160, 100, 160}, down[4] = {100, 100, 160, 160};
    uint8_t rgb[48];
    ASSERT_TRUE(yuv420_to_rgb(y.data(), across, v.data(), 4, 4, rgb, sizeof(rgb)));
    for (int row = 0; row < 4; ++row)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(rgb[(row * 4 + x) * 3 + 2], expected_blue[x]) << x << "," << row;
    ASSERT_TRUE(yuv420_to_rgb(y.data(), down, v.data(), 4, 4, rgb, sizeof(rgb)));
    for (int row = 0; row < 4; ++row)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(rgb[(row * 4 + x) * 3 + 2], expected_blue[row]) << x << "," << row;
}
