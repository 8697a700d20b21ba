// Texture sizes for contexts that take only powers of two or a small largest side, and the
// reduction of pictures above it.
#include <gtest/gtest.h>

#include <vector>

#include "texture_fit.h"

TEST(TextureFit, PowersOfTwoAndLimits)
{
    const std::pair<int, int> powers[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {641, 1024}, {1024, 1024}, {1025, 2048},
                                          {(1 << 30) + 1, 1 << 30}};
    for (auto [v, p] : powers)
        EXPECT_EQ(next_power_of_two(v), p) << v;

    int tw = 0, th = 0;
    texture_size_for(641, 481, true, &tw, &th);
    EXPECT_EQ(tw, 1024);
    EXPECT_EQ(th, 512);
    texture_size_for(641, 481, false, &tw, &th);
    EXPECT_EQ(tw, 641);
    EXPECT_EQ(th, 481);
}

// A 4 x 2 picture reduced to 2 x 1: every output pixel is the mean of a 2 x 2 block (worked out
// by hand: (10 + 20 + 50 + 61) / 4 = 35.25 -> 35, and so on).
TEST(TextureFit, ReductionAveragesTheBlocksUnderEachPixel)
{
    // Rows of 4 pixels, 12 bytes, padded to 16 (a frame's rows start at multiples of 4).
    const uint8_t src[32] = {10, 0, 255, 20, 0, 255, 100, 7, 0, 200, 9, 0, 0, 0, 0, 0,
                             50, 0, 255, 61, 2, 255, 100, 7, 1, 201, 9, 0, 0, 0, 0, 0};
    uint8_t dst[6] = {};
    ASSERT_TRUE(downscale_rgb(src, 4, 2, 16, dst, 2, 1, sizeof(dst)));
    const uint8_t want[6] = {35, 1, 255, 150, 8, 0};  // 141/4, 2/4 (0.5 rounds up), 1020/4; 601/4, 32/4, 1/4
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(dst[i], want[i]) << i;

    // Uneven ratios cover every source pixel once: 5 -> 2 takes columns 0-1 and 2-4.
    const uint8_t row[15] = {0, 0, 0, 30, 30, 30, 60, 60, 60, 90, 90, 90, 120, 120, 120};
    uint8_t two[6] = {};
    ASSERT_TRUE(downscale_rgb(row, 5, 1, 15, two, 2, 1, sizeof(two)));
    EXPECT_EQ(two[0], 15);
    EXPECT_EQ(two[3], 90);

    // Refused: growing, empty sizes, a short destination or stride.
    EXPECT_FALSE(downscale_rgb(src, 4, 2, 16, dst, 5, 1, 15));
    EXPECT_FALSE(downscale_rgb(src, 4, 2, 16, dst, 0, 1, sizeof(dst)));
    EXPECT_FALSE(downscale_rgb(src, 4, 2, 16, dst, 2, 1, 5));
    EXPECT_FALSE(downscale_rgb(src, 4, 2, 11, dst, 2, 1, sizeof(dst)));
}
