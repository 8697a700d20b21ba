// The frame export: every format, matrix and range on both backends against ffmpeg's conversion
// of the same frames (make_reference.sh), frames with their own strides per plane, a 4K frame,
// every refusal rule, and the bound on the memory waiting frames hold.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_vout.h"
#include "reference_frames.h"
#include "test_support.h"

namespace {

using reference::Case;
using reference::case_name;

const char* const kMatrices[] = {"bt601", "bt709", "bt2020"};
const char* const kRanges[] = {"tv", "pc"};

class Frames : public ::testing::TestWithParam<Case> {};

}  // namespace

// Each matrix in both ranges, as I420 and as NV12, then the same picture as RGB24 and BGRA: each
// within 35 dB of ffmpeg's conversion, in a window of the frame's size (every pixel shown once).
TEST_P(Frames, EveryFormatMatrixAndRangeMatchesTheReference)
{
    const Case c = GetParam();
    const std::string base = reference_dir() + c.content + "_" + std::to_string(c.w) + "x" + std::to_string(c.h);
    const std::vector<uint8_t> yuv = read_file(base + ".yuv");
    const int cw = (c.w + 1) / 2, ch = (c.h + 1) / 2;
    ASSERT_EQ(yuv.size(), size_t(c.w) * c.h + 2 * size_t(cw) * ch)
        << "no reference data in '" << reference_dir() << "' (KEL_VOUT_REFERENCE)";

    HostWindow host(c.w, c.h);
    // Devices are made with the first frame: the seam holds until the instance is gone.
    kel_direct3d::set_shader_allowed_for_testing(!c.shaderless);
    struct restore {
        ~restore() { kel_direct3d::set_shader_allowed_for_testing(true); }
    } restore_shaders;
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, c.backend, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    Snapshot s;
    for (int cs = 0; cs < 3; ++cs)
        for (int range = 0; range < 2; ++range) {
            const std::vector<uint8_t> reference = read_file(base + "." + kMatrices[cs] + "-" + kRanges[range] + ".rgb");
            ASSERT_EQ(reference.size(), size_t(c.w) * c.h * 3);
            for (int format : {KEL_VOUT_FMT_I420, KEL_VOUT_FMT_NV12}) {
                show_black(h, c.w, c.h);
                HostFrame f(yuv, c.w, c.h, format, cs, range);
                ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
                const double db = presented_psnr(h, reference, s);
                const std::string name = case_name({c, 0}) + (format == KEL_VOUT_FMT_I420 ? "I420" : "NV12") + "." +
                                         kMatrices[cs] + "-" + kRanges[range];
                std::printf("[ psnr     ] %s: %.1f dB\n", name.c_str(), db);
                EXPECT_GE(db, 35.0) << name;
                if (db < 35.0)
                    keep_picture(s, name);
            }
        }
    if (c.backend == VOUT_D3D) {
        EXPECT_EQ(kel_vout_base::find_for_testing(h)->display_state().kel_d3d->convertsWithShader(), !c.shaderless);
    }
    // RGB frames are shown as they are.
    const std::vector<uint8_t> rgb = read_file(base + ".bt709-tv.rgb");
    for (int format : {KEL_VOUT_FMT_RGB24, KEL_VOUT_FMT_BGRA}) {
        show_black(h, c.w, c.h);
        HostFrame f(rgb, c.w, c.h, format);
        ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
        const double db = presented_psnr(h, rgb, s);
        std::printf("[ psnr     ] %s%s: %.1f dB\n", case_name({c, 0}).c_str(),
                    format == KEL_VOUT_FMT_RGB24 ? "RGB24" : "BGRA", db);
        EXPECT_GE(db, 35.0);
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

namespace {
std::vector<Case> all_cases()
{
    std::vector<Case> cases;
    for (VOUT_MODE backend : {VOUT_WGL, VOUT_D3D, VOUT_D3D11})
        for (const char* content : {"photo", "testsrc2", "smptehdbars"})
            for (auto [w, h] : {std::pair{640, 360}, {1366, 768}, {641, 481}})
                cases.push_back({backend, content, w, h, false});
    for (const char* content : {"photo", "smptehdbars"})
        for (auto [w, h] : {std::pair{640, 360}, {641, 481}})
            cases.push_back({VOUT_D3D, content, w, h, true});
    return cases;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Content, Frames, ::testing::ValuesIn(all_cases()), case_name);

// A 4K UHD frame (BT.709, limited range) in a 960 x 540 window: the whole frame, reduced by the
// bilinear filter, against ffmpeg's reduction of the same frame.
TEST(LargeFrames, A4kFrameShowsOnEveryBackend)
{
    const std::vector<uint8_t> yuv = read_file(reference_dir() + "photo_3840x2160.yuv");
    const std::vector<uint8_t> reference = read_file(reference_dir() + "photo_3840x2160.bt709-tv.960x540.rgb");
    ASSERT_EQ(yuv.size(), size_t(3840) * 2160 * 3 / 2);
    ASSERT_EQ(reference.size(), size_t(960) * 540 * 3);
    for (VOUT_MODE backend : {VOUT_WGL, VOUT_D3D, VOUT_D3D11}) {
        HostWindow host(960, 540);
        KEL_VOUT_HANDLE h = create_vout(host.hwnd, backend, VOUT_NORMAL);
        ASSERT_NE(h, nullptr);
        HostFrame f(yuv, 3840, 2160, KEL_VOUT_FMT_I420, KEL_VOUT_CS_BT709, KEL_VOUT_RANGE_LIMITED);
        ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
        Snapshot s;
        double best = 0.0;
        snapshot_until(h, s, [&](const Snapshot& sn) {
            best = std::max(best, psnr(sn, reference));
            return best >= 30.0;
        });
        std::printf("[ psnr     ] 3840x2160 into 960x540, %s: %.1f dB\n", backend_title(backend),
                    best);
        EXPECT_GE(best, 30.0);
        EXPECT_EQ(kel_vout_destroy(&h), 0);
    }
}

namespace {
KEL_VOUT_CFG_T default_cfg()
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    return cfg;
}
}  // namespace

// Every refusal answers 1 with nothing queued and the host's planes untouched; the frame then
// made right is queued. Frames stay in the pool of an instance without a render thread.
TEST(FrameRefusals, NothingIsQueuedAndTheHostsPlanesAreOnlyRead)
{
    test_vout* vout = test_vout::create(default_cfg());
    ASSERT_NE(vout, nullptr);
    const KEL_VOUT_HANDLE h = vout->handle();
    std::vector<uint8_t> yuv(size_t(64) * 48 * 3 / 2);
    for (size_t i = 0; i < yuv.size(); ++i)
        yuv[i] = uint8_t(i * 7);
    HostFrame good(yuv, 64, 48, KEL_VOUT_FMT_I420, KEL_VOUT_CS_BT709, KEL_VOUT_RANGE_FULL);
    const std::vector<uint8_t> before[3] = {good.planes[0], good.planes[1], good.planes[2]};

    struct Case {
        const char* what;
        void (*change)(KEL_VOUT_FRAME_T&);
    } const cases[] = {
        {"unknown format", [](KEL_VOUT_FRAME_T& f) { f.format = 4; }},
        {"unknown colour space", [](KEL_VOUT_FRAME_T& f) { f.colorspace = 3; }},
        {"unknown range", [](KEL_VOUT_FRAME_T& f) { f.range = -1; }},
        {"zero width", [](KEL_VOUT_FRAME_T& f) { f.width = 0; }},
        {"negative height", [](KEL_VOUT_FRAME_T& f) { f.height = -48; }},
        {"wider than 4096", [](KEL_VOUT_FRAME_T& f) { f.width = 4097; }},
        {"above 4096 x 2160 pixels", [](KEL_VOUT_FRAME_T& f) { f.width = 4096, f.height = 2161; }},
        {"null luma", [](KEL_VOUT_FRAME_T& f) { f.planes[0] = nullptr; }},
        {"null V", [](KEL_VOUT_FRAME_T& f) { f.planes[2] = nullptr; }},
        {"luma stride short", [](KEL_VOUT_FRAME_T& f) { f.strides[0] = 63; }},
        {"chroma stride short", [](KEL_VOUT_FRAME_T& f) { f.strides[1] = 31; }},
        {"negative stride", [](KEL_VOUT_FRAME_T& f) { f.strides[2] = -32; }},
        {"NV12 chroma rows short", [](KEL_VOUT_FRAME_T& f) { f.format = KEL_VOUT_FMT_NV12, f.strides[1] = 63; }},
        {"BGRA rows short", [](KEL_VOUT_FRAME_T& f) { f.format = KEL_VOUT_FMT_BGRA, f.strides[0] = 255; }},
        {"luma past the end of the address space",
         [](KEL_VOUT_FRAME_T& f) {
             f.planes[0] = reinterpret_cast<const uint8_t*>(~uintptr_t(0) - 4095);
             f.strides[0] = 0x7FFFFFFF;
         }},
    };
    for (const Case& c : cases) {
        KEL_VOUT_FRAME_T f = good.frame;
        c.change(f);
        EXPECT_EQ(kel_vout_put_frame(h, &f), 1) << c.what;
    }
    EXPECT_EQ(kel_vout_put_frame(h, nullptr), 1);
    EXPECT_EQ(kel_vout_put_frame(nullptr, &good.frame), 1);
    EXPECT_EQ(vout->pool().waiting(), 0);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(good.planes[p], before[p]);

    EXPECT_EQ(kel_vout_put_frame(h, &good.frame), 0);
    EXPECT_EQ(vout->pool().waiting(), 1);
    // RGB frames may leave the colour fields as they are, and any instance takes any format.
    KEL_VOUT_FRAME_T rgb = good.frame;
    rgb.format = KEL_VOUT_FMT_RGB24;
    rgb.width = 21;  // 63 bytes a row within the 64-byte stride
    rgb.colorspace = 12345;
    EXPECT_EQ(kel_vout_put_frame(h, &rgb), 0);
    EXPECT_EQ(vout->pool().waiting(), 2);

    KEL_VOUT_HANDLE stale = h;
    vout->destroy();
    EXPECT_EQ(kel_vout_put_frame(stale, &good.frame), 1);
}

// A host pushing 4K frames faster than they are shown: the waiting frames stay within 256 MiB
// (21 frames of 12.4 MB), not 75 frames (930 MB, most of a 32-bit process), and the private
// memory of the process grows by no more than that and a few frames.
TEST(FrameMemory, WaitingFramesAreBoundedInBytes)
{
    const size_t before = private_bytes();
    test_vout* vout = test_vout::create(default_cfg());
    ASSERT_NE(vout, nullptr);
    std::vector<uint8_t> yuv(size_t(3840) * 2160 * 3 / 2);
    for (size_t i = 0; i < yuv.size(); ++i)
        yuv[i] = uint8_t(i);
    HostFrame f(yuv, 3840, 2160, KEL_VOUT_FMT_I420, KEL_VOUT_CS_BT709, KEL_VOUT_RANGE_LIMITED);
    std::vector<uint8_t>().swap(yuv);
    for (int i = 0; i < 75; ++i)
        ASSERT_EQ(kel_vout_put_frame(vout->handle(), &f.frame), 0) << i;
    const int frame_bytes = 3840 * 2160 * 3 / 2;
    EXPECT_EQ(vout->pool().waiting(), int((int64_t{256} << 20) / frame_bytes));
    const double grown_mb = (double(private_bytes()) - double(before)) / 1048576.0;
    std::printf("[ memory   ] 75 pushes of 4K I420 frames: %d waiting, private memory +%.0f MB\n",
                vout->pool().waiting(), grown_mb);
    EXPECT_LT(grown_mb, 256.0 + 6 * frame_bytes / 1048576.0 + 40.0);
    vout->destroy();
}
