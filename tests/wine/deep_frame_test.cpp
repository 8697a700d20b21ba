// Frames beyond 8-bit 4:2:0 through the frame export: P010 and I010 (10 bits), I422 and I444,
// every matrix and range at an even and an odd size with padded strides, against ffmpeg's
// conversion of the same samples (make_reference.sh), on every backend and the processor
// fallbacks; and a 10-bit ramp that 8 bits would band.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_direct3d11.h"
#include "kel_opengl.h"
#include "kel_vout.h"
#include "reference_frames.h"
#include "test_support.h"
#include "tone_map.h"
#include "yuv_convert.h"

namespace {

using reference::Case;
using reference::case_name;

const char* const kMatrices[] = {"bt601", "bt709", "bt2020"};
const char* const kRanges[] = {"tv", "pc"};

// A host's frame of one of the newer formats, from ffmpeg's planar samples (yuv420p10le for
// P010 and I010, yuv422p, yuv444p): each plane at a 32-byte-aligned stride, the padding 0xEE
// (as 16-bit samples 0xEEEE, far out of range: it must never show).
struct DeepFrame {
    std::vector<uint8_t> planes[3];
    KEL_VOUT_FRAME_T frame{};

    DeepFrame(const std::vector<uint8_t>& src, int w, int h, int format, int colorspace, int range)
    {
        const bool deep = format == KEL_VOUT_FMT_P010 || format == KEL_VOUT_FMT_I010;
        const int bytes = deep ? 2 : 1;
        const int cw = format == KEL_VOUT_FMT_I444 ? w : (w + 1) / 2;
        const int ch = format == KEL_VOUT_FMT_I444 || format == KEL_VOUT_FMT_I422 ? h : (h + 1) / 2;
        frame.format = format;
        frame.width = w;
        frame.height = h;
        frame.colorspace = colorspace;
        frame.range = range;
        const uint8_t* y = src.data();
        const uint8_t* u = y + size_t(w) * h * bytes;
        const uint8_t* v = u + size_t(cw) * ch * bytes;
        if (format != KEL_VOUT_FMT_P010) {
            add(0, y, w * bytes, h);
            add(1, u, cw * bytes, ch);
            add(2, v, cw * bytes, ch);
            return;
        }
        // P010: the 10-bit values moved to the top bits, U and V interleaved.
        std::vector<uint8_t> luma(size_t(w) * h * 2), uv(size_t(cw) * ch * 4);
        auto top = [](const uint8_t* s, uint8_t* d) {
            const unsigned value = (unsigned(s[0]) | unsigned(s[1]) << 8) << 6;
            d[0] = uint8_t(value);
            d[1] = uint8_t(value >> 8);
        };
        for (size_t i = 0; i < size_t(w) * h; ++i)
            top(y + 2 * i, &luma[2 * i]);
        for (size_t i = 0; i < size_t(cw) * ch; ++i) {
            top(u + 2 * i, &uv[4 * i]);
            top(v + 2 * i, &uv[4 * i + 2]);
        }
        add(0, luma.data(), w * 2, h);
        add(1, uv.data(), cw * 4, ch);
    }
    void add(int p, const uint8_t* src, int row, int rows)
    {
        const int stride = align32(row + 1);  // always some padding
        planes[p].assign(size_t(stride) * size_t(rows), 0xEE);
        for (int r = 0; r < rows; ++r)
            std::memcpy(&planes[p][size_t(r) * size_t(stride)], src + size_t(r) * size_t(row), size_t(row));
        frame.planes[p] = planes[p].data();
        frame.strides[p] = stride;
    }
};


const char* format_name(int format)
{
    switch (format) {
    case KEL_VOUT_FMT_P010:
        return "P010";
    case KEL_VOUT_FMT_I010:
        return "I010";
    case KEL_VOUT_FMT_I422:
        return "I422";
    default:
        return "I444";
    }
}

// Directs Direct3D 9 to make its device without the shader, for the instance's lifetime.
struct ShaderSeam {
    explicit ShaderSeam(bool allowed) { kel_direct3d::set_shader_allowed_for_testing(allowed); }
    ~ShaderSeam() { kel_direct3d::set_shader_allowed_for_testing(true); }
};

class DeepFrames : public ::testing::TestWithParam<Case> {};

}  // namespace

// Each newer format in every matrix and range, within 35 dB of ffmpeg's conversion, in a window
// of the frame's size (every pixel shown once).
TEST_P(DeepFrames, EveryNewFormatMatrixAndRangeMatchesTheReference)
{
    const Case c = GetParam();
    const std::string base = reference_dir() + c.content + "_" + std::to_string(c.w) + "x" + std::to_string(c.h);
    HostWindow host(c.w, c.h);
    ShaderSeam seam(!c.shaderless);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, c.backend, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    Snapshot s;
    for (int format : {KEL_VOUT_FMT_P010, KEL_VOUT_FMT_I010, KEL_VOUT_FMT_I422, KEL_VOUT_FMT_I444}) {
        const char* kind = format == KEL_VOUT_FMT_I422 ? "422p" : format == KEL_VOUT_FMT_I444 ? "444p" : "420p10";
        const std::vector<uint8_t> samples = read_file(base + "." + kind + ".yuv");
        ASSERT_FALSE(samples.empty()) << "no reference data in '" << reference_dir() << "' (KEL_VOUT_REFERENCE)";
        for (int cs = 0; cs < 3; ++cs)
            for (int range = 0; range < 2; ++range) {
                const std::string ref = base + "." + kind + "." + kMatrices[cs] + "-" + kRanges[range] + ".rgb";
                const std::vector<uint8_t> reference = read_file(ref);
                ASSERT_EQ(reference.size(), size_t(c.w) * c.h * 3) << ref;
                show_black(h, c.w, c.h);
                DeepFrame f(samples, c.w, c.h, format, cs, range);
                ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
                const double db = presented_psnr(h, reference, s);
                const std::string name =
                    case_name({c, 0}) + format_name(format) + "." + kMatrices[cs] + "-" + kRanges[range];
                std::printf("[ psnr     ] %s: %.1f dB\n", name.c_str(), db);
                EXPECT_GE(db, 35.0) << name;
                if (db < 35.0)
                    keep_picture(s, name);
            }
        if (c.backend == VOUT_D3D) {  // the shader takes every newer format where it runs
            EXPECT_EQ(kel_vout_base::find_for_testing(h)->display_state().kel_d3d->convertsWithShader(),
                      !c.shaderless)
                << format_name(format);
        }
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

namespace {
std::vector<Case> all_cases()
{
    std::vector<Case> cases;
    for (VOUT_MODE backend : {VOUT_WGL, VOUT_D3D, VOUT_D3D11}) {
        cases.push_back({backend, "photo", 640, 360, false});
        cases.push_back({backend, "photo", 641, 481, false});
        cases.push_back({backend, "testsrc2", 641, 481, false});
    }
    cases.push_back({VOUT_D3D, "photo", 641, 481, true});
    return cases;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Content, DeepFrames, ::testing::ValuesIn(all_cases()), case_name);

namespace {
class TenBitRamp : public ::testing::TestWithParam<VOUT_MODE> {};
}  // namespace

// A ramp of limited-range 10-bit luma (64..940) over 1024 columns, chroma changing down the rows
// (U and V a little off neutral, differently in each row): 8 bits before the matrix would leave
// 220 luma levels, stretched to every 1.16th output level, so at most 220 distinct levels in a
// row. Converted at 10 bits every output level the row reaches shows: at least 240 in each row.
TEST_P(TenBitRamp, ShowsEveryOutputLevelWhereEightBitsWouldBand)
{
    const int w = 1024, hgt = 16, cw = w / 2, ch = hgt / 2;
    std::vector<uint8_t> samples;
    auto put = [&](int value) {
        samples.push_back(uint8_t(value));
        samples.push_back(uint8_t(value >> 8));
    };
    for (int y = 0; y < hgt; ++y)
        for (int x = 0; x < w; ++x)
            put(64 + x * 876 / 1023);
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
            put(500 + y);
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
            put(524 - y);
    HostWindow host(w, hgt);
    ShaderSeam seam(true);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    for (int format : {KEL_VOUT_FMT_I010, KEL_VOUT_FMT_P010}) {
        show_black(h, w, hgt);
        DeepFrame f(samples, w, hgt, format, KEL_VOUT_CS_BT709, KEL_VOUT_RANGE_LIMITED);
        ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
        Snapshot s;
        int taken = 0;
        ASSERT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) { return ++taken >= 2 && !sn.rgb.empty(); }));
        ASSERT_EQ(s.rgb.size(), size_t(w) * hgt * 3);
        for (int row : {1, 7, 14}) {
            for (int channel = 0; channel < 3; ++channel) {
                std::vector<bool> seen(256, false);
                for (int x = 0; x < w; ++x)
                    seen[s.rgb[(size_t(row) * w + size_t(x)) * 3 + size_t(channel)]] = true;
                const long levels = long(std::count(seen.begin(), seen.end(), true));
                EXPECT_GE(levels, 240) << format_name(format) << " row " << row << " channel " << channel;
            }
        }
        // Against the exact values (BT.709 limited range by hand, in 8-bit steps: Y' = Y/4, chroma
        // interpolated 3/4 : 1/4 between its rows) the output has no bias: rounding and dither
        // average out, where samples cut to 8 bits before the matrix would leave the picture some
        // 0.44 of a level too dark (the dropped quarter codes, times 255/219).
        double bias = 0.0;
        long counted = 0;
        for (int y = 0; y < hgt; ++y) {
            // Chroma rows: the nearer and the farther of the two around luma row y.
            const int c0 = y / 2, c1 = std::min(std::max(y % 2 ? y / 2 + 1 : y / 2 - 1, 0), ch - 1);
            const double u = 0.75 * (500 + c0) + 0.25 * (500 + c1), v = 0.75 * (524 - c0) + 0.25 * (524 - c1);
            for (int x = 0; x < w; ++x) {
                const double luma = 1.164383562 * ((64 + x * 876 / 1023) / 4.0 - 16.0);
                const double cb = u / 4.0 - 128.0, cr = v / 4.0 - 128.0;
                const double exact[3] = {luma + 1.792741071 * cr, luma - 0.213248614 * cb - 0.532909329 * cr,
                                         luma + 2.112401786 * cb};
                for (int c = 0; c < 3; ++c) {
                    if (exact[c] < 1.0 || exact[c] > 254.0)
                        continue;  // clipped
                    bias += double(s.rgb[(size_t(y) * w + size_t(x)) * 3 + size_t(c)]) - exact[c];
                    ++counted;
                }
            }
        }
        bias /= double(counted);
        std::printf("[ bias     ] %s %s: %+.3f levels\n", backend_label(GetParam()), format_name(format), bias);
        EXPECT_LT(std::fabs(bias), 0.2) << format_name(format);
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

// A flat 10-bit grey half way between two 8-bit levels (luma 502: 127.5 of 255) is dithered:
// both neighbours show, each on about half the pixels, where rounding would show one.
TEST_P(TenBitRamp, FlatTenBitValuesBetweenTwoLevelsAreDithered)
{
    const int w = 64, hgt = 32;
    std::vector<uint8_t> samples;
    auto put = [&](int value, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            samples.push_back(uint8_t(value));
            samples.push_back(uint8_t(value >> 8));
        }
    };
    put(502, size_t(w) * hgt);
    put(512, size_t(w / 2) * (hgt / 2) * 2);
    HostWindow host(w, hgt);
    ShaderSeam seam(true);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam(), VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    show_black(h, w, hgt);
    DeepFrame f(samples, w, hgt, KEL_VOUT_FMT_P010, KEL_VOUT_CS_BT709, KEL_VOUT_RANGE_LIMITED);
    ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
    Snapshot s;
    int taken = 0;
    ASSERT_TRUE(snapshot_until(h, s, [&](const Snapshot& sn) { return ++taken >= 2 && !sn.rgb.empty(); }));
    ASSERT_EQ(s.rgb.size(), size_t(w) * hgt * 3);
    size_t low = 0, high = 0;
    for (uint8_t v : s.rgb) {
        low += v == 127;
        high += v == 128;
    }
    EXPECT_EQ(low + high, s.rgb.size());
    EXPECT_GT(low, s.rgb.size() / 4);
    EXPECT_GT(high, s.rgb.size() / 4);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, TenBitRamp, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& info) { return backend_label(info.param); });

namespace {
class HdrFrames : public ::testing::TestWithParam<Case> {};

// A 10-bit 4:2:0 frame with its light, through kel_vout_put_frame_ex.
void push_light(KEL_VOUT_HANDLE h, const DeepFrame& f, int transfer, int primaries, int max_luminance)
{
    KEL_VOUT_FRAME_INFO_T info{};
    info.size = sizeof(info);
    info.transfer = transfer;
    info.pts_us = KEL_VOUT_PTS_NONE;
    info.primaries = primaries;
    info.max_luminance = max_luminance;
    ASSERT_EQ(kel_vout_put_frame_ex(h, &f.frame, &info), 0);
}
}  // namespace

// PQ and HLG frames (BT.2020, their white at 1000 cd/m2) tone-mapped with Hable and clip against
// ffmpeg's chain (zscale to linear light, BT.709 primaries, tonemap with desat=0, zscale to
// BT.709), at least 30 dB: pushed with each curve, and a still picture shown again when only
// the curve changes; a brighter SDR white and peak; and an SDR frame with BT.2020 primaries.
TEST_P(HdrFrames, ToneMappedAsTheReferenceChainShowsThem)
{
    const Case c = GetParam();
    const std::string base = reference_dir() + c.content + "_" + std::to_string(c.w) + "x" + std::to_string(c.h);
    HostWindow host(c.w, c.h);
    ShaderSeam seam(!c.shaderless);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, c.backend, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    Snapshot s;
    auto expect_reference = [&](const std::string& what, const std::string& file) {
        const std::vector<uint8_t> reference = read_file(base + "." + file + ".rgb");
        ASSERT_EQ(reference.size(), size_t(c.w) * c.h * 3) << file;
        const double db = presented_psnr(h, reference, s, 30.0);
        const std::string name = case_name({c, 0}) + "." + what;
        std::printf("[ psnr     ] %s: %.1f dB\n", name.c_str(), db);
        EXPECT_GE(db, 30.0) << name;
        if (db < 30.0)
            keep_picture(s, name);
    };
    const struct {
        const char* name;
        int transfer;
        int format;  // P010 for PQ (as hardware decoders give it), I010 for HLG
    } transfers[] = {{"pq", KEL_VOUT_TRC_PQ, KEL_VOUT_FMT_P010}, {"hlg", KEL_VOUT_TRC_HLG, KEL_VOUT_FMT_I010}};
    for (const auto& t : transfers) {
        const std::vector<uint8_t> samples = read_file(base + "." + t.name + ".yuv");
        ASSERT_FALSE(samples.empty()) << "no reference data in '" << reference_dir() << "' (KEL_VOUT_REFERENCE)";
        const DeepFrame f(samples, c.w, c.h, t.format, KEL_VOUT_CS_BT2020, KEL_VOUT_RANGE_LIMITED);
        for (int curve : {KEL_VOUT_TONEMAP_HABLE, KEL_VOUT_TONEMAP_CLIP}) {
            const char* curve_name = curve == KEL_VOUT_TONEMAP_HABLE ? "hable" : "clip";
            ASSERT_EQ(kel_vout_set_tone_mapping(h, curve, 100), 0);
            show_black(h, c.w, c.h);
            push_light(h, f, t.transfer, KEL_VOUT_PRI_BT2020, 1000);
            expect_reference(std::string(t.name) + "-" + curve_name, std::string(t.name) + "." + curve_name + "-100-1000");
            const kel_vout_display_t& d = kel_vout_base::find_for_testing(h)->display_state();
            if (c.backend == VOUT_D3D11) {  // where the shader converts light
                EXPECT_TRUE(d.kel_d3d11->lightOnGpu());
            }
            if (c.backend == VOUT_D3D) {
                EXPECT_EQ(d.kel_d3d->lightOnGpu(), !c.shaderless);
            }
            if (c.backend == VOUT_WGL && d.kel_gl->convertsOnGpu()) {
                EXPECT_TRUE(d.kel_gl->lightOnGpu());
                // From the tables where the context has float textures (this Mesa has), else by
                // the light programs.
                const char* ext = std::getenv("MESA_EXTENSION_OVERRIDE");
                EXPECT_EQ(d.kel_gl->lightFromTables(), !(ext && std::strstr(ext, "-GL_ARB_texture_float")));
            }
        }
        // The still picture again, with only the curve changed.
        ASSERT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_HABLE, 100), 0);
        expect_reference(std::string(t.name) + "-hable-still", std::string(t.name) + ".hable-100-1000");
        // BT.2390 (which the chain has not): as the processor's tables give it, whose curve the
        // pure tests hold to literal points; the shaders read it from tables of their own.
        {
            frame_view v{};
            v.format = t.format;
            v.width = c.w;
            v.height = c.h;
            for (int p = 0; p < 3; ++p) {
                v.planes[p] = f.frame.planes[p];
                v.strides[p] = f.frame.strides[p];
            }
            v.colorspace = KEL_VOUT_CS_BT2020;
            v.range = KEL_VOUT_RANGE_LIMITED;
            frame_shape shape = shape_of(v);
            std::vector<uint8_t> packed(planes_of(shape, c.w, c.h).bytes);
            ASSERT_GT(pack_frame(packed.data(), packed.size(), v), 0);
            const packed_planes l = planes_of(shape, c.w, c.h);
            light_params light;
            light.transfer = transfer_fn(t.transfer);
            light.primaries = colour_primaries::bt2020;
            light.max_luminance = 1000;
            light_tables tables;
            tables.prepare(light);
            std::vector<uint8_t> expected(size_t(c.w) * c.h * 3);
            ASSERT_TRUE(yuv_planes_to_rgb(packed.data(), packed.data() + l.u, packed.data() + l.v, c.w, c.h, shape,
                                          expected.data(), expected.size(), &tables));
            ASSERT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_BT2390, 100), 0);
            show_black(h, c.w, c.h);
            push_light(h, f, t.transfer, KEL_VOUT_PRI_BT2020, 1000);
            const double db = presented_psnr(h, expected, s, 40.0);
            std::printf("[ psnr     ] %s.%s-bt2390 (against the processor's): %.1f dB\n", case_name({c, 0}).c_str(),
                        t.name, db);
            EXPECT_GE(db, 40.0);
        }
        // SDR white at 203 cd/m2, a 4000 cd/m2 mastering peak.
        ASSERT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_HABLE, 203), 0);
        show_black(h, c.w, c.h);
        push_light(h, f, t.transfer, KEL_VOUT_PRI_BT2020, 4000);
        expect_reference(std::string(t.name) + "-hable-203-4000", std::string(t.name) + ".hable-203-4000");
    }
    const std::vector<uint8_t> sdr = read_file(base + ".sdr2020.yuv");
    ASSERT_FALSE(sdr.empty());
    const DeepFrame f(sdr, c.w, c.h, KEL_VOUT_FMT_I010, KEL_VOUT_CS_BT2020, KEL_VOUT_RANGE_LIMITED);
    show_black(h, c.w, c.h);
    push_light(h, f, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT2020, 0);
    expect_reference("sdr-bt2020", "sdr2020");
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

namespace {
std::vector<Case> hdr_cases()
{
    std::vector<Case> cases;
    for (VOUT_MODE backend : {VOUT_WGL, VOUT_D3D, VOUT_D3D11}) {
        cases.push_back({backend, "photo", 640, 360, false});
        cases.push_back({backend, "testsrc2", 641, 481, false});
    }
    cases.push_back({VOUT_D3D, "photo", 641, 481, true});
    return cases;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Content, HdrFrames, ::testing::ValuesIn(hdr_cases()), case_name);

// Direct3D 9 light tables that cannot be written: the frame is planned again for the processor's
// light and shown with the reference chain's colours, and so is the frame right after it; once
// the tables can be written again, a later frame's light is converted by the light shader.
TEST(HdrFallback, Direct3D9TablesThatCannotBeWritten)
{
    const int w = 640, h = 360;
    const std::string base = reference_dir() + "photo_" + std::to_string(w) + "x" + std::to_string(h);
    const std::vector<uint8_t> samples = read_file(base + ".pq.yuv");
    const std::vector<uint8_t> reference = read_file(base + ".pq.hable-100-1000.rgb");
    ASSERT_FALSE(samples.empty()) << "no reference data in '" << reference_dir() << "' (KEL_VOUT_REFERENCE)";
    ASSERT_EQ(reference.size(), size_t(w) * h * 3);
    HostWindow host(w, h);
    KEL_VOUT_HANDLE v = create_vout(host.hwnd, VOUT_D3D, VOUT_NORMAL);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(kel_vout_set_tone_mapping(v, KEL_VOUT_TONEMAP_HABLE, 100), 0);
    const DeepFrame f(samples, w, h, KEL_VOUT_FMT_P010, KEL_VOUT_CS_BT2020, KEL_VOUT_RANGE_LIMITED);
    Snapshot s;
    const kel_direct3d* const d3d = kel_vout_base::find_for_testing(v)->display_state().kel_d3d;
    kel_direct3d::set_light_tables_fail_for_testing(true);
    const ULONGLONG pushed_at = GetTickCount64();  // the tables are refused after this
    push_light(v, f, KEL_VOUT_TRC_PQ, KEL_VOUT_PRI_BT2020, 1000);
    const double first = presented_psnr(v, reference, s, 30.0);
    EXPECT_FALSE(d3d->lightOnGpu());
    kel_direct3d::set_light_tables_fail_for_testing(false);
    // The next frame, at once: the tables are not tried again yet (within the half second).
    show_black(v, w, h);
    push_light(v, f, KEL_VOUT_TRC_PQ, KEL_VOUT_PRI_BT2020, 1000);
    const double next = presented_psnr(v, reference, s, 30.0);
    const ULONGLONG since = GetTickCount64() - pushed_at;
    if (since < 450)
        EXPECT_FALSE(d3d->lightOnGpu());
    else
        std::printf("[ note     ] the frame after came %llu ms after the refusal: not checked that the tables "
                    "waited\n",
                    static_cast<unsigned long long>(since));
    // A frame a second later: they are written, and the light shader converts it.
    Sleep(1000);
    show_black(v, w, h);
    push_light(v, f, KEL_VOUT_TRC_PQ, KEL_VOUT_PRI_BT2020, 1000);
    const double later = presented_psnr(v, reference, s, 30.0);
    std::printf("[ psnr     ] tables refused: %.1f dB, the frame after: %.1f dB, a second later: %.1f dB\n", first,
                next, later);
    EXPECT_GE(first, 30.0);
    EXPECT_GE(next, 30.0);
    EXPECT_GE(later, 30.0);
    EXPECT_TRUE(d3d->lightOnGpu());
    EXPECT_EQ(kel_vout_destroy(&v), 0);
}

// What the tone mapping refuses, with nothing changed; any instance takes every curve.
TEST(ToneMappingApi, RefusesWhatItDoesNotKnow)
{
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_WGL, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(kel_vout_set_tone_mapping(nullptr, KEL_VOUT_TONEMAP_HABLE, 100), 1);
    EXPECT_EQ(kel_vout_set_tone_mapping(h, -1, 100), 1);
    EXPECT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_CLIP + 1, 100), 1);
    EXPECT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_HABLE, 79), 1);
    EXPECT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_HABLE, 401), 1);
    for (int curve : {KEL_VOUT_TONEMAP_BT2390, KEL_VOUT_TONEMAP_HABLE, KEL_VOUT_TONEMAP_CLIP})
        for (int white : {80, 100, 400})
            EXPECT_EQ(kel_vout_set_tone_mapping(h, curve, white), 0) << curve << " " << white;
    EXPECT_EQ(kel_vout_destroy(&h), 0);
    EXPECT_EQ(kel_vout_set_tone_mapping(h, KEL_VOUT_TONEMAP_HABLE, 100), 1);  // h is null now
}
