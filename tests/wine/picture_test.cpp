// Pictures of real content through both backends and both push exports, compared with what
// ffmpeg's own conversion makes of the same frames (make_reference.sh writes both). A window of
// the frame's own size in VOUT_NORMAL shows every pixel once, so the snapshot and the reference
// compare pixel for pixel, the last column and row of odd sizes included.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_window.h"
#include "reference_frames.h"
#include "kel_vout.h"
#include "kel_vout_base.h"
#include "kel_opengl.h"

namespace {

// A frame as a decoder hands it over: planar 4:2:0 with chroma planes of (w+1)/2 x (h+1)/2.
struct DecodedFrame {
    int w = 0, h = 0;
    std::vector<uint8_t> yuv;
    std::vector<uint8_t> reference;  // ffmpeg's RGB of it
    int cw() const { return (w + 1) / 2; }
    int ch() const { return (h + 1) / 2; }
    const uint8_t* y() const { return yuv.data(); }
    const uint8_t* u() const { return yuv.data() + size_t(w) * h; }
    const uint8_t* v() const { return u() + size_t(cw()) * ch(); }
};

DecodedFrame load(const std::string& content, int w, int h, const char* range)
{
    DecodedFrame f;
    f.w = w;
    f.h = h;
    const std::string base = reference_dir() + content + "_" + std::to_string(w) + "x" + std::to_string(h);
    f.yuv = read_file(base + ".yuv");
    f.reference = read_file(base + "." + range + ".rgb");
    if (f.yuv.size() != size_t(w) * h + 2 * size_t(f.cw()) * f.ch() || f.reference.size() != size_t(w) * h * 3)
        f.yuv.clear();
    return f;
}

enum class Export { planes, packed };

// Pushes through kel_vout_put_buffer_pool_yuv with the decoder's own planes: luma rows at a
// stride of twice the chroma stride, as that export reads chroma at half the luma stride.
bool push_planes(KEL_VOUT_HANDLE h, const DecodedFrame& f, std::vector<uint8_t>& luma)
{
    const int stride = 2 * f.cw();
    luma.assign(size_t(stride) * f.h, 0);
    for (int row = 0; row < f.h; ++row)
        std::copy(f.y() + size_t(row) * f.w, f.y() + size_t(row + 1) * f.w, luma.begin() + ptrdiff_t(row) * stride);
    return kel_vout_put_buffer_pool_yuv(h, luma.data(), f.u(), f.v(), stride, f.w, f.h) == 0;
}

// Pushes through kel_vout_put_buffer_pool: Y, then U and V of (w/2) x (h/2), no gaps. An odd
// last chroma column and row are not part of that layout.
bool push_packed(KEL_VOUT_HANDLE h, const DecodedFrame& f, std::vector<uint8_t>& packed)
{
    const int cw = f.w / 2, ch = f.h / 2;
    packed.assign(size_t(f.w) * f.h * 3 / 2, 0);
    std::copy(f.y(), f.y() + size_t(f.w) * f.h, packed.begin());
    size_t at = size_t(f.w) * f.h;
    for (const uint8_t* plane : {f.u(), f.v()})
        for (int row = 0; row < ch; ++row, at += size_t(cw))
            std::copy(plane + size_t(row) * f.cw(), plane + size_t(row) * f.cw() + cw, packed.begin() + ptrdiff_t(at));
    return kel_vout_put_buffer_pool(h, packed.data(), int(packed.size()), f.w, f.h) == 0;
}

struct Case {
    VOUT_MODE backend;
    Export via;
    const char* content;
    int w, h;
};

std::string case_name(const ::testing::TestParamInfo<Case>& info)
{
    const Case& c = info.param;
    return std::string(backend_label(c.backend)) + (c.via == Export::planes ? "Planes" : "Packed") +
           (c.content[0] == 'p' ? "Photo" : "Testsrc") + std::to_string(c.w) + "x" + std::to_string(c.h);
}

class Pictures : public ::testing::TestWithParam<Case> {};

}  // namespace

// Both backends convert with our own BT.601 limited-range conversion (a fragment program, a pixel
// shader, or the processor) and must come within 35 dB of ffmpeg's.
TEST_P(Pictures, MatchTheReferenceConversion)
{
    const Case c = GetParam();
    const DecodedFrame f = load(c.content, c.w, c.h, "tv");
    ASSERT_FALSE(f.yuv.empty()) << "no reference data in '" << reference_dir() << "' (KEL_VOUT_REFERENCE)";

    HostWindow host(c.w, c.h);
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host.hwnd;
    cfg.vout_mode = c.backend;
    cfg.display_mode = VOUT_NORMAL;
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buffer;
    ASSERT_TRUE(c.via == Export::planes ? push_planes(h, f, buffer) : push_packed(h, f, buffer));

    Snapshot s;
    double best = 0.0;
    snapshot_until(h, s, [&](const Snapshot& sn) {
        best = std::max(best, psnr(sn, f.reference));
        return sn.width == c.w && sn.height == c.h && best >= 35.0;
    });
    EXPECT_EQ(s.width, c.w);
    EXPECT_EQ(s.height, c.h);
    EXPECT_GE(best, 35.0);
    std::printf("[ psnr     ] %s: %.1f dB\n", case_name({c, 0}).c_str(), best);
    // What was presented, beside the reference, for a look when it falls short (or on request).
    if (best < 35.0 || std::getenv("KEL_VOUT_KEEP_PICTURES")) {
        keep_picture(s, case_name({c, 0}));
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

namespace {
std::vector<Case> all_cases()
{
    std::vector<Case> cases;
    const std::pair<int, int> sizes[] = {{640, 360}, {641, 481}, {320, 241}, {2, 2}, {1, 1}};
    for (VOUT_MODE backend : {VOUT_WGL, VOUT_D3D, VOUT_D3D11})
        for (Export via : {Export::planes, Export::packed})
            for (const char* content : {"photo", "testsrc2"})
                for (auto [w, h] : sizes)
                    if (!(w == 1 && content[0] == 't'))
                        cases.push_back({backend, via, content, w, h});
    return cases;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(RealContent, Pictures, ::testing::ValuesIn(all_cases()), case_name);

namespace {
bool overridden(const char* extension)
{
    const char* o = std::getenv("MESA_EXTENSION_OVERRIDE");
    return o && std::strstr(o, (std::string("-") + extension).c_str());
}

KEL_VOUT_HANDLE create_wgl(HWND parent)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = parent;
    cfg.display_mode = VOUT_NORMAL;
    return kel_vout_create(&cfg);
}

const kel_opengl& renderer(KEL_VOUT_HANDLE h)
{
    return *kel_vout_base::find_for_testing(h)->display_state().kel_gl;
}
}  // namespace

// What the OpenGL renderer takes from the context: the fragment program where there is one,
// non-power-of-two textures where allowed. (The CTest entries hide them from Mesa, as Windows'
// software OpenGL 1.1 lacks them, and run the pictures above once more.)
TEST(WglTextures, FollowWhatTheContextOffers)
{
    HostWindow host(64, 48);
    KEL_VOUT_HANDLE h = create_wgl(host.hwnd);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(renderer(h).convertsOnGpu(),
              !overridden("GL_ARB_fragment_program") && !overridden("GL_ARB_texture_non_power_of_two"));
    EXPECT_EQ(renderer(h).powerOfTwoTextures(), overridden("GL_ARB_texture_non_power_of_two"));
    EXPECT_GE(renderer(h).maxTextureSize(), 1024);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

// A picture beyond the largest texture (1024 on Windows' software OpenGL; Mesa offers no way to
// lower its limit, so the test seam does) is reduced to it and stretched back: blurred, but the
// whole picture, in its colours.
TEST(WglTextures, PicturesBeyondTheTextureLimitAreReducedNotLost)
{
    const DecodedFrame f = load("photo", 641, 481, "tv");
    ASSERT_FALSE(f.yuv.empty()) << "no reference data in '" << reference_dir() << "' (KEL_VOUT_REFERENCE)";
    kel_opengl::set_texture_limit_for_testing(256);
    HostWindow host(f.w, f.h);
    KEL_VOUT_HANDLE h = create_wgl(host.hwnd);
    kel_opengl::set_texture_limit_for_testing(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(renderer(h).maxTextureSize(), 256);
    std::vector<uint8_t> buffer;
    ASSERT_TRUE(push_planes(h, f, buffer));
    Snapshot s;
    double best = 0.0;
    snapshot_until(h, s, [&](const Snapshot& sn) {
        best = std::max(best, psnr(sn, f.reference));
        return best >= 25.0;
    });
    std::printf("[ psnr     ] reduced to 256x256: %.1f dB\n", best);
    EXPECT_GE(best, 25.0);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}
