// Processor-side BT.601 limited-range conversion: reference colours, odd sizes, bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "tone_map.h"
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

namespace {

// A w x h frame of one shape from per-pixel functions of its luma and chroma sample positions,
// in 16-bit samples (shifted as the shape says) or bytes, converted on the processor.
template <typename Luma, typename Chroma>
std::vector<uint8_t> convert(const frame_shape& s, int w, int h, Luma luma, Chroma chroma)
{
    const int bytes = s.sample_bytes();
    std::vector<uint8_t> planes[3];
    auto put = [&](std::vector<uint8_t>& p, int value) {
        const unsigned v = unsigned(value) << (bytes == 2 ? s.sample_shift : 0);
        p.push_back(uint8_t(v));
        if (bytes == 2)
            p.push_back(uint8_t(v >> 8));
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            put(planes[0], luma(x, y));
    for (int c = 1; c < 3; ++c)
        for (int y = 0; y < s.chroma_height; ++y)
            for (int x = 0; x < s.chroma_width; ++x)
                put(planes[c], chroma(c, x, y));
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    EXPECT_TRUE(
        yuv_planes_to_rgb(planes[0].data(), planes[1].data(), planes[2].data(), w, h, s, rgb.data(), rgb.size()));
    return rgb;
}

frame_shape shape(pixel_format f, int w, int h, colour_space cs, colour_range r)
{
    frame_view v{int32_t(f), w, h, {}, {}, int32_t(cs), int32_t(r)};
    return shape_of(v);
}

// The mean of one channel over the frame.
double mean(const std::vector<uint8_t>& rgb, int channel)
{
    double sum = 0.0;
    for (size_t i = size_t(channel); i < rgb.size(); i += 3)
        sum += rgb[i];
    return sum / double(rgb.size() / 3);
}

}  // namespace

// 10-bit samples at their own precision, worked out by hand from the BT.601 and BT.709
// formulas: limited range 64-940 (luma) and 64-960 (chroma), full range 0-1023 around 512;
// the dither's mean over its 4 x 4 pattern is the exact value to a sixteenth of a level.
TEST(DeepYuv, TenBitSamplesConvertAtTheirOwnPrecision)
{
    struct Case {
        pixel_format format;
        colour_space cs;
        colour_range range;
        int y, u, v;
        double r, g, b;
    } cases[] = {
        {pixel_format::i010, colour_space::bt709, colour_range::limited, 940, 512, 512, 255, 255, 255},
        {pixel_format::p010, colour_space::bt709, colour_range::limited, 64, 512, 512, 0, 0, 0},
        // Half way: 127.5, which 8 bits cannot hold.
        {pixel_format::i010, colour_space::bt709, colour_range::limited, 502, 512, 512, 127.5, 127.5, 127.5},
        // Y 100, U 150, V 75 in 8-bit terms: R 1.164383 * 84 + 1.596027 * -53, G and B alike.
        {pixel_format::p010, colour_space::bt601, colour_range::limited, 400, 600, 300, 13.219, 132.276, 142.187},
        {pixel_format::i010, colour_space::bt601, colour_range::full, 1023, 512, 512, 255, 255, 255},
        // Full range: Y 511 / 1023, Cr 102 / 1023: R = Y + 1.402 Cr, G = Y - 0.714136 Cr (BT.601).
        {pixel_format::i010, colour_space::bt601, colour_range::full, 511, 512, 614, 163.022, 109.218, 127.375},
    };
    for (const Case& c : cases) {
        const frame_shape s = shape(c.format, 4, 4, c.cs, c.range);
        const auto rgb =
            convert(s, 4, 4, [&](int, int) { return c.y; }, [&](int p, int, int) { return p == 1 ? c.u : c.v; });
        EXPECT_NEAR(mean(rgb, 0), c.r, 0.07) << c.y << " " << c.u << " " << c.v;
        EXPECT_NEAR(mean(rgb, 1), c.g, 0.07) << c.y << " " << c.u << " " << c.v;
        EXPECT_NEAR(mean(rgb, 2), c.b, 0.07) << c.y << " " << c.u << " " << c.v;
    }

    // A 10-bit ramp across 1024 pixels of limited-range luma (64..940): truncated to 8 bits
    // before the matrix it would show 220 levels, at most every 1.16 levels (bands); here every
    // output level 0..255 shows.
    const frame_shape s = shape(pixel_format::i010, 1024, 4, colour_space::bt709, colour_range::limited);
    const auto ramp = convert(s, 1024, 4, [](int x, int) { return 64 + x * 876 / 1023; },
                              [](int, int, int) { return 512; });
    std::vector<bool> seen(256, false);
    for (size_t i = 0; i < ramp.size(); i += 3)
        seen[ramp[i]] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

// 4:2:2 interpolates chroma across only, 4:4:4 takes each pixel's own; 8-bit values by hand
// (BT.601 full range: R = Y + 1.402 (V - 128), B = Y + 1.772 (U - 128)).
TEST(DeepYuv, FullerChromaLiesWhereItsSamplesAre)
{
    // 4:4:4: V differs in every pixel, so does R.
    frame_shape s = shape(pixel_format::i444, 3, 2, colour_space::bt601, colour_range::full);
    auto rgb = convert(s, 3, 2, [](int, int) { return 100; },
                       [](int p, int x, int y) { return p == 1 ? 128 : 128 + 10 * x + 30 * y; });
    const int r444[6] = {100, 114, 128, 142, 156, 170};  // 100 + 1.402 * (10x + 30y), rounded
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(rgb[size_t(i) * 3], r444[i]) << i;

    // 4:2:2, 4 x 2: chroma columns 0 and 1 (U 128 + 40 and 128 - 40), rows of their own. Luma
    // column 1 takes 3/4 of chroma 0 and 1/4 of chroma 1, column 2 the other way round.
    s = shape(pixel_format::i422, 4, 2, colour_space::bt601, colour_range::full);
    EXPECT_EQ(s.chroma_width, 2);
    EXPECT_EQ(s.chroma_height, 2);
    rgb = convert(s, 4, 2, [](int, int) { return 100; },
                  [](int p, int x, int y) { return p == 2 ? 128 : (x == 0 ? 168 : 88) - 20 * y; });
    // B = 100 + 1.772 * (U - 128): U per column 168, 148, 108, 88 in row 0; 20 less in row 1
    // (the last one clamped to 0).
    const int b422[8] = {171, 135, 65, 29, 135, 100, 29, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(rgb[size_t(i) * 3 + 2], b422[i]) << i;
}

// Large frames are converted in bands of rows on several threads: every row as a single band
// gives it, with light converted on the way and without, in two, three (of unequal heights) and
// four bands; planes that vary across and down, so that a row from another band's luma or
// chroma shows. And by default a large frame is converted alike (in a band per processor).
TEST(DeepYuv, LargeFramesInBandsAsInOne)
{
    const int w = 1280, h = 723;
    const frame_shape s = shape(pixel_format::i010, w, h, colour_space::bt2020, colour_range::limited);
    std::vector<uint16_t> planes[3];
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            planes[0].push_back(uint16_t((64 + (x * 3 + y * 5) % 877) << s.sample_shift));
    for (int y = 0; y < s.chroma_height; ++y)
        for (int x = 0; x < s.chroma_width; ++x) {
            planes[1].push_back(uint16_t((64 + (x * 7 + y * 3) % 897) << s.sample_shift));
            planes[2].push_back(uint16_t((960 - (x * 2 + y * 11) % 897) << s.sample_shift));
        }
    light_params pq;
    pq.transfer = transfer_fn::pq;
    pq.primaries = colour_primaries::bt2020;
    pq.max_luminance = 1000;
    light_tables tables;
    tables.prepare(pq);
    auto convert_in = [&](int bands, const light_tables* light) {
        set_conversion_bands_for_testing(bands);
        std::vector<uint8_t> rgb(size_t(w) * h * 3, 0xAB);
        EXPECT_TRUE(yuv_planes_to_rgb(reinterpret_cast<const uint8_t*>(planes[0].data()),
                                      reinterpret_cast<const uint8_t*>(planes[1].data()),
                                      reinterpret_cast<const uint8_t*>(planes[2].data()), w, h, s, rgb.data(),
                                      rgb.size(), light));
        set_conversion_bands_for_testing(0);
        return rgb;
    };
    const light_tables* const lights[2] = {nullptr, &tables};
    for (const light_tables* light : lights) {
        const std::vector<uint8_t> one = convert_in(1, light);
        for (int bands : {0, 2, 3, 4}) {
            const std::vector<uint8_t> banded = convert_in(bands, light);
            size_t first_difference = banded.size();
            for (size_t i = 0; i < banded.size() && first_difference == banded.size(); ++i)
                if (banded[i] != one[i])
                    first_difference = i;
            EXPECT_EQ(first_difference, banded.size())
                << bands << " bands, " << (light ? "with light" : "without") << ": first at row "
                << first_difference / (size_t(w) * 3);
        }
    }
    // The light made a difference, and so did the content: a row shows many colours.
    EXPECT_NE(convert_in(1, nullptr), convert_in(1, &tables));
    const std::vector<uint8_t> one = convert_in(1, &tables);
    std::set<uint32_t> colours;
    for (int x = 0; x < w; ++x)
        colours.insert(uint32_t(one[size_t(x) * 3]) << 16 | uint32_t(one[size_t(x) * 3 + 1]) << 8 |
                       one[size_t(x) * 3 + 2]);
    EXPECT_GT(colours.size(), 100u);
}
