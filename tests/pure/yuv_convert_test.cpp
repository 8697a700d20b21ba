// Processor-side BT.601 limited-range conversion: reference colours, odd sizes, bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "yuv_convert.h"

namespace {
const yuv_coefficients kBt601 = yuv_coefficients_for(colour_space::bt601, colour_range::limited);

void bt601_limited_to_rgb(uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3])
{
    yuv_to_rgb(kBt601, y, u, v, rgb);
}

// 4:2:0 planes of (w/2) x (h/2), as the older pushes pack them.
bool yuv420_to_rgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w, int h, uint8_t* dst, size_t size)
{
    return yuv420_to_rgb(y, u, v, w, h, w / 2, h / 2, kBt601, dst, size);
}

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

// The published YCbCr-to-RGB coefficients of each standard (ITU-R BT.601, BT.709, BT.2020; full
// range as in JFIF), on 8-bit values: Y scale, then V for R, U and V for G, U for B.
TEST(YuvConvert, CoefficientsAreThoseOfEachStandard)
{
    struct Row {
        colour_space space;
        colour_range range;
        double y, y_offset, rv, gu, gv, bu;
    } const table[] = {
        {colour_space::bt601, colour_range::limited, 1.164384, 16, 1.596027, 0.391762, 0.812968, 2.017232},
        {colour_space::bt709, colour_range::limited, 1.164384, 16, 1.792741, 0.213249, 0.532909, 2.112402},
        {colour_space::bt2020, colour_range::limited, 1.164384, 16, 1.678674, 0.187326, 0.650424, 2.141772},
        {colour_space::bt601, colour_range::full, 1.0, 0, 1.402, 0.344136, 0.714136, 1.772},
        {colour_space::bt709, colour_range::full, 1.0, 0, 1.5748, 0.187324, 0.468124, 1.8556},
        {colour_space::bt2020, colour_range::full, 1.0, 0, 1.4746, 0.164553, 0.571353, 1.8814},
    };
    for (const Row& r : table) {
        SCOPED_TRACE(testing::Message() << int(r.space) << "/" << int(r.range));
        const yuv_coefficients k = yuv_coefficients_for(r.space, r.range);
        EXPECT_NEAR(k.y, r.y, 1e-5);
        EXPECT_EQ(k.y_offset, r.y_offset);
        EXPECT_NEAR(k.rv, r.rv, 1e-5);
        EXPECT_NEAR(k.gu, r.gu, 1e-5);
        EXPECT_NEAR(k.gv, r.gv, 1e-5);
        EXPECT_NEAR(k.bu, r.bu, 1e-5);
    }
}

// Colours worked out by hand from the standards: each range's black and white, and saturated
// primaries coded in each matrix (BT.709 limited red is Y 63, U 102, V 240; BT.709 full red is
// Y 54, U 99, V 255; BT.2020 limited green is Y 164, U 47, V 25).
TEST(YuvConvert, ColoursOfEachMatrixAndRange)
{
    struct Case {
        colour_space space;
        colour_range range;
        uint8_t y, u, v;
        int rgb[3];
    } const cases[] = {
        {colour_space::bt709, colour_range::limited, 16, 128, 128, {0, 0, 0}},
        {colour_space::bt709, colour_range::limited, 235, 128, 128, {255, 255, 255}},
        {colour_space::bt709, colour_range::full, 0, 128, 128, {0, 0, 0}},
        {colour_space::bt709, colour_range::full, 255, 128, 128, {255, 255, 255}},
        {colour_space::bt709, colour_range::limited, 63, 102, 240, {255, 0, 0}},
        {colour_space::bt709, colour_range::full, 54, 99, 255, {254, 0, 0}},
        {colour_space::bt2020, colour_range::limited, 164, 47, 25, {0, 255, 0}},
        {colour_space::bt601, colour_range::full, 128, 128, 128, {128, 128, 128}},
    };
    for (const Case& c : cases) {
        uint8_t got[3];
        yuv_to_rgb(yuv_coefficients_for(c.space, c.range), c.y, c.u, c.v, got);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(got[i], c.rgb[i], 1) << int(c.y) << "," << int(c.u) << "," << int(c.v) << " channel " << i;
    }
}

// The normalised matrix the GPU paths apply gives the same colours as the 8-bit formula.
TEST(YuvConvert, TextureMatrixAgreesWithTheEightBitFormula)
{
    for (colour_space space : {colour_space::bt601, colour_space::bt709, colour_space::bt2020})
        for (colour_range range : {colour_range::limited, colour_range::full}) {
            const yuv_coefficients k = yuv_coefficients_for(space, range);
            float m[3][4];
            yuv_matrix(k, m);
            for (int y = 0; y < 256; y += 51)
                for (int u = 0; u < 256; u += 85)
                    for (int v = 0; v < 256; v += 85) {
                        const double in[4] = {y / 255.0, u / 255.0, v / 255.0, 1.0};
                        const double eight_bit[3] = {
                            k.y * (y - k.y_offset) + k.rv * (v - 128),
                            k.y * (y - k.y_offset) - k.gu * (u - 128) - k.gv * (v - 128),
                            k.y * (y - k.y_offset) + k.bu * (u - 128)};
                        for (int r = 0; r < 3; ++r) {
                            const double got = 255.0 * (m[r][0] * in[0] + m[r][1] * in[1] + m[r][2] * in[2] + m[r][3]);
                            ASSERT_NEAR(got, eight_bit[r], 0.01) << y << "," << u << "," << v;
                        }
                    }
        }
}

// The decoder layout: chroma planes of (w+1)/2 x (h+1)/2, the last chroma column belonging to
// the last luma column alone. With U 100 | 160 in a 3-wide frame, column 2 sits on the second
// sample's left half: 3/4 of it and 1/4 of the first, U 145, blue 165 (as worked out above).
TEST(YuvConvert, DecoderChromaPlanesOfOddFrames)
{
    const uint8_t y[6] = {128, 128, 128, 128, 128, 128}, u[2] = {100, 160}, v[2] = {128, 128};
    uint8_t rgb[18];
    ASSERT_TRUE(yuv420_to_rgb(y, u, v, 3, 2, 2, 1, yuv_coefficients_for(colour_space::bt601, colour_range::limited),
                              rgb, sizeof(rgb)));
    EXPECT_EQ(rgb[0 * 3 + 2], 74);
    EXPECT_EQ(rgb[1 * 3 + 2], 104);
    EXPECT_EQ(rgb[2 * 3 + 2], 165);
    // Chroma planes larger than the frame's cannot be its own.
    EXPECT_FALSE(yuv420_to_rgb(y, u, v, 3, 2, 3, 1, yuv_coefficients_for(colour_space::bt601, colour_range::limited),
                               rgb, sizeof(rgb)));
}

// The pixel shaders' four constant vectors for BT.601 limited range, worked out by hand from
// Kr 0.299, Kb 0.114: Y adds 255/219 to each channel, V 1.596027 to R and -0.812968 to G, U
// -0.391762 to G and 2.017232 to B; the constant term takes 16/255 off Y and 128/255 off U and V.
TEST(YuvConvert, ShaderConstantsAreTheMatrixByColumns)
{
    float c[4][4];
    yuv_shader_constants(colour_space::bt601, colour_range::limited, c);
    const float want[4][4] = {{1.164384f, 1.164384f, 1.164384f, 0.0f},
                              {0.0f, -0.391762f, 2.017232f, 0.0f},
                              {1.596027f, -0.812968f, 0.0f, 0.0f},
                              {-0.874202f, 0.531669f, -1.085630f, 1.0f}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(c[i][j], want[i][j], 2e-5) << i << "," << j;
}
