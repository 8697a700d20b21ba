// Light: the transfer functions, BT.2020 to BT.709, the tone curves at literal points worked out
// apart from the library, whole pixels against what ffmpeg's zscale and tonemap chain gives for
// them, and the processor's tables against the direct functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tone_map.h"

TEST(Light, TransferFunctionsAndPrimariesAtKnownPoints)
{
    // PQ: 0.5 is 92.2 cd/m2, 100 cd/m2 is 0.508078, 1000 cd/m2 0.751827.
    EXPECT_NEAR(pq_eotf(0.5), 0.0092245709, 1e-9);
    EXPECT_NEAR(pq_inverse_eotf(0.01), 0.5080784215, 1e-9);
    EXPECT_NEAR(pq_inverse_eotf(0.1), 0.7518270962, 1e-9);
    EXPECT_NEAR(pq_eotf(1.0), 1.0, 1e-12);
    EXPECT_EQ(pq_eotf(0.0), 0.0);
    // HLG: the square law below 1/2, the logarithm above; 1 is 1.
    EXPECT_NEAR(hlg_inverse_oetf(0.5), 1.0 / 12.0, 1e-12);
    EXPECT_NEAR(hlg_inverse_oetf(0.25), 0.0625 / 3.0, 1e-12);
    EXPECT_NEAR(hlg_inverse_oetf(1.0), 1.0, 1e-6);
    // BT.2020 to BT.709 in linear light (BT.2087's matrix, four decimals).
    const double expected[3][3] = {{1.6605, -0.5876, -0.0728}, {-0.1246, 1.1329, -0.0083}, {-0.0182, -0.1006, 1.1187}};
    double m[3][3];
    primaries_matrix(colour_primaries::bt2020, m);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(m[r][c], expected[r][c], 1e-4) << r << "," << c;
    primaries_matrix(colour_primaries::bt709, m);
    EXPECT_EQ(m[0][0], 1.0);
    EXPECT_EQ(m[0][1], 0.0);
}

// BT.2390 for a 1000 cd/m2 source on a 100 cd/m2 white: below the knee (PQ 0.5137 of the
// source's range, 23.6 cd/m2) as it is; above it the spline, reaching white at the source's peak
// and holding it beyond. For a 4000 cd/m2 source on a 203 cd/m2 white the knee is lower. Hable
// and clip as the reference filter has them (Hable's curve over its value at the peak).
TEST(Light, ToneCurvesAtLiteralPoints)
{
    struct Point {
        double sig, peak, white, bt2390;
    } points[] = {
        {0.1, 10.0, 100.0, 0.1},
        {0.5, 10.0, 100.0, 0.4614295475},
        {1.0, 10.0, 100.0, 0.6945440304},
        {2.0, 10.0, 100.0, 0.8793908541},
        {5.0, 10.0, 100.0, 0.9894687132},
        {10.0, 10.0, 100.0, 1.0},
        {20.0, 10.0, 100.0, 1.0},
        {0.1, 4000.0 / 203.0, 203.0, 0.1},
        {1.0, 4000.0 / 203.0, 203.0, 0.6302189866},
        {5.0, 4000.0 / 203.0, 203.0, 0.9556018566},
        // A source no brighter than white: nothing to compress.
        {0.7, 0.8, 100.0, 0.7},
    };
    for (const Point& p : points)
        EXPECT_NEAR(tone_curve_value(tone_curve::bt2390, p.sig, p.peak, p.white), p.bt2390, 1e-7)
            << p.sig << " of " << p.peak;
    const double hable[][2] = {{0.5, 0.1765755396}, {1.0, 0.3124507042}, {4.0, 0.7323408072}, {10.0, 1.0}};
    for (const auto& h : hable)
        EXPECT_NEAR(tone_curve_value(tone_curve::hable, h[0], 10.0, 100.0), h[1], 1e-9) << h[0];
    EXPECT_EQ(tone_curve_value(tone_curve::clip, 0.25, 10.0, 100.0), 0.25);
    EXPECT_EQ(tone_curve_value(tone_curve::clip, 3.0, 10.0, 100.0), 1.0);
}

namespace {
// R', G', B' of 10-bit limited-range BT.2020 (non-constant luminance) Y, U, V.
void bt2020_rgb(int y, int u, int v, double rgb[3])
{
    const double yy = (y - 64) / 876.0, cb = (u - 512) / 896.0, cr = (v - 512) / 896.0;
    rgb[0] = yy + 1.4746 * cr;
    rgb[1] = yy - 0.16455 * cb - 0.57135 * cr;
    rgb[2] = yy + 1.8814 * cb;
}
}  // namespace

// What ffmpeg's chain (zscale to linear light at npl 100, BT.709 primaries, tonemap with desat=0
// and peak 10, zscale to BT.709, rgb24) made of these samples, one frame of each: within
// a level and a half (zimg computes the curves in single precision, some by approximation).
TEST(Light, PixelsAsTheReferenceChainShowsThem)
{
    struct Case {
        transfer_fn transfer;
        tone_curve curve;
        int y, u, v;
        int r, g, b;
    } cases[] = {
        {transfer_fn::pq, tone_curve::hable, 500, 512, 512, 152, 152, 152},
        {transfer_fn::pq, tone_curve::hable, 300, 600, 450, 0, 62, 136},
        {transfer_fn::pq, tone_curve::hable, 900, 400, 600, 255, 82, 0},  // R' above 1 stays above
        {transfer_fn::pq, tone_curve::clip, 500, 512, 512, 245, 245, 245},
        {transfer_fn::pq, tone_curve::clip, 300, 600, 450, 0, 97, 212},
        {transfer_fn::hlg, tone_curve::hable, 500, 512, 512, 124, 124, 124},
        {transfer_fn::hlg, tone_curve::hable, 900, 400, 600, 255, 125, 67},
        {transfer_fn::hlg, tone_curve::clip, 500, 512, 512, 192, 192, 192},
        {transfer_fn::hlg, tone_curve::clip, 300, 600, 450, 0, 116, 181},
    };
    for (const Case& c : cases) {
        light_params p;
        p.transfer = c.transfer;
        p.primaries = colour_primaries::bt2020;
        p.max_luminance = 1000;
        p.curve = c.curve;
        double in[3], out[3];
        bt2020_rgb(c.y, c.u, c.v, in);
        map_light(p, in, out);
        const int expected[3] = {c.r, c.g, c.b};
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(out[i] * 255.0, expected[i], 1.5) << c.y << "," << c.u << "," << c.v << " channel " << i;
    }
}

// Every transfer x curve x SDR white (BT.2020 primaries). PQ at three peaks: 4000 and 1000 cd/m2,
// whose gain tables end at four times the peak, within what the sweeps' colours reach (more of
// them at 1000), and 300 cd/m2, which at an SDR white of 400 is no brighter than white (BT.2390
// then clips).
std::vector<light_params> light_sweep()
{
    std::vector<light_params> sweep;
    for (transfer_fn t : {transfer_fn::sdr, transfer_fn::pq, transfer_fn::hlg})
        for (int peak : {0, 300, 1000, 4000}) {
            if ((peak == 0) != (t != transfer_fn::pq))
                continue;
            for (tone_curve curve : {tone_curve::bt2390, tone_curve::hable, tone_curve::clip})
                for (int white : {80, 100, 400}) {
                    light_params p;
                    p.transfer = t;
                    p.primaries = colour_primaries::bt2020;
                    p.max_luminance = peak;
                    p.curve = curve;
                    p.sdr_white = white;
                    sweep.push_back(p);
                }
        }
    return sweep;
}

// The processor's tables give map_light's values within a hundredth of a level over a sweep of
// colours, for every transfer and curve, on their ranges' edges too.
TEST(Light, TablesFollowTheFunctions)
{
    for (const light_params& p : light_sweep()) {
        light_tables tables;
        tables.prepare(p);
        double worst = 0.0;
        for (int i = 0; i <= 40; ++i)
            for (int j = 0; j <= 10; ++j) {
                const double in[3] = {i / 36.0 - 0.05, j / 9.0, 1.0 - i / 40.0};
                double out[3];
                map_light(p, in, out);
                float f[3] = {float(in[0]), float(in[1]), float(in[2])};
                tables.map(f);
                for (int c = 0; c < 3; ++c)
                    worst = std::fmax(worst, std::fabs(double(f[c]) - out[c]) * 255.0);
            }
        EXPECT_LT(worst, 0.05) << int(p.transfer) << " " << int(p.curve) << " " << p.sdr_white << " "
                               << p.max_luminance;
    }
}

// A texture's linear filtering at coordinate x, clamped at its edges, as a GPU samples it.
float sampled(const float* table, int n, float x)
{
    const float pos = std::fmin(std::fmax(x * float(n) - 0.5f, 0.0f), float(n - 1));
    const int i = std::min(int(pos), n - 2);
    return table[i] + (table[i + 1] - table[i]) * (pos - float(i));
}

// The shaders' tables, read the way the shaders read them, give map_light's values within half
// a level, for every transfer and curve: on a sweep of colours that crosses the gamut's edges
// and on greys (where a wrong table coordinate shows first).
TEST(Light, ShaderTablesFollowTheFunctions)
{
    for (const light_params& p : light_sweep()) {
        light_lut lut;
        make_light_lut(p, &lut);
        double m[3][3];
        primaries_matrix(p.primaries, m);
        const int n = kLightLutEntries;
        double worst = 0.0;
        auto check = [&](const double in[3]) {
            double out[3];
            map_light(p, in, out);
            float lin[3], v[3];
            for (int c = 0; c < 3; ++c)
                lin[c] = sampled(lut.decode, n, float(in[c]) * lut.coords[0] + lut.coords[1]);
            for (int r = 0; r < 3; ++r)
                v[r] = float(m[r][0]) * lin[0] + float(m[r][1]) * lin[1] + float(m[r][2]) * lin[2];
            const float sig = std::fmax(std::fmax(v[0], std::fmax(v[1], v[2])), 1e-6f);
            const float gain = std::fmin(
                sampled(lut.gain, n, std::sqrt(sig * lut.coords[2]) * lut.coords[3] + lut.coords[1]),
                lut.gain_limit / sig);
            for (int c = 0; c < 3; ++c) {
                const float x = std::fmin(std::fmax(v[c] * gain, 0.0f), 1.0f);
                const float shown = sampled(lut.encode, n, std::sqrt(x) * lut.coords[3] + lut.coords[1]);
                worst = std::fmax(worst, std::fabs(double(shown) - out[c]) * 255.0);
            }
        };
        for (int i = 0; i <= 40; ++i)
            for (int j = 0; j <= 10; ++j) {
                const double in[3] = {i / 36.0 - 0.05, j / 9.0, 1.0 - i / 40.0};
                check(in);
            }
        for (int i = 0; i <= 1023; ++i) {
            const double in[3] = {i / 1023.0, i / 1023.0, i / 1023.0};
            check(in);
        }
        EXPECT_LT(worst, 0.5) << int(p.transfer) << " " << int(p.curve) << " " << p.sdr_white << " " << p.max_luminance;
    }
    light_lut lut;
    make_light_lut(light_params{}, &lut);
    EXPECT_FLOAT_EQ(lut.coords[0], 2047.0f / 2048.0f / 1.5f);
    EXPECT_FLOAT_EQ(lut.coords[1], 1.0f / 4096.0f);
    EXPECT_FLOAT_EQ(lut.coords[2], 0.025f);  // gains over four times the peak, 1000 / 100 cd/m2
    EXPECT_FLOAT_EQ(lut.gain[500], 1.0f);
}

// Half floats for tables in R16F textures: the encodings of IEEE 754's binary16, rounded to
// nearest with ties to even.
TEST(Light, HalfFloats)
{
    const struct {
        float f;
        uint16_t h;
    } cases[] = {
        {0.0f, 0x0000},        {-0.0f, 0x8000},       {1.0f, 0x3C00},          {-2.0f, 0xC000},
        {0.5f, 0x3800},        {65504.0f, 0x7BFF},    {65520.0f, 0x7C00},      {1e6f, 0x7C00},
        {6.1035156e-5f, 0x0400},  // the smallest normal
        {5.9604645e-8f, 0x0001},  // the smallest subnormal
        {3.0517578e-5f, 0x0200},  {1e-9f, 0x0000},
        {1.0009766f, 0x3C01},     // one step above 1
        {1.00048828f, 0x3C00},    // half a step: the tie goes to the even
        {1.00146484f, 0x3C02},    // one and a half: to the even above
        {0.33325195f, 0x3555},
    };
    for (const auto& c : cases)
        EXPECT_EQ(half_float(c.f), c.h) << c.f;
}
