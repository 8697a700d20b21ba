// The picture as the stream means it, on every backend: frames cropped at an odd offset,
// mirrored and turned, against ffmpeg's own crop, hflip, vflip and transpose of the same frames
// (make_reference.sh), for I420, NV12 and RGB; a still picture shown again with a new transform;
// the child placed with the shown proportions; the transform travelling with the frames through
// the queue; and what a host may not set.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host_window.h"
#include "kel_direct3d.h"
#include "kel_vout.h"
#include "kel_vout_base.h"
#include "reference_frames.h"
#include "test_colours.h"
#include "test_support.h"

namespace {

struct Case {
    VOUT_MODE backend;
    bool shaderless;  // Direct3D 9 as on a device without pixel shaders: the processor converts
};

std::string case_name(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.shaderless ? "D3dShaderless" : backend_label(info.param.backend);
}

KEL_VOUT_TRANSFORM_T transform_of(int rotation, int flip, int crop_x = 0, int crop_y = 0, int crop_w = 0,
                                  int crop_h = 0)
{
    KEL_VOUT_TRANSFORM_T t{};
    t.size = sizeof(t);
    t.rotation = rotation;
    t.flip = flip;
    t.crop_x = crop_x;
    t.crop_y = crop_y;
    t.crop_width = crop_w;
    t.crop_height = crop_h;
    return t;
}

class Transforms : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { kel_direct3d::set_shader_allowed_for_testing(!GetParam().shaderless); }
    void TearDown() override { kel_direct3d::set_shader_allowed_for_testing(true); }
};

}  // namespace

// Every rotation and flip of a 601 x 451 crop at (13, 7) of a 641 x 481 frame, in a child of
// exactly the shown size (landscape or portrait): the picture is ffmpeg's within 35 dB (a photo
// through I420, NV12 and RGB24; ffmpeg's test pattern, whose chroma varies at every pixel,
// through I420); and the plain crop scaled to 902 x 677.
TEST_P(Transforms, EveryTurnAndMirrorOfAnOddCropMatchesTheReference)
{
    const std::string dir = reference_dir();
    ASSERT_FALSE(dir.empty()) << "KEL_VOUT_REFERENCE is not set";
    HostWindow landscape(601, 451, 20, 20), portrait(451, 601, 640, 20);
    KEL_VOUT_HANDLE wide = create_vout(landscape.hwnd, GetParam().backend, VOUT_NORMAL);
    KEL_VOUT_HANDLE tall = create_vout(portrait.hwnd, GetParam().backend, VOUT_NORMAL);
    ASSERT_NE(wide, nullptr);
    ASSERT_NE(tall, nullptr);
    const struct {
        const char* content;
        int format;
    } inputs[] = {{"photo", KEL_VOUT_FMT_I420},
                  {"photo", KEL_VOUT_FMT_NV12},
                  {"photo", KEL_VOUT_FMT_RGB24},
                  {"testsrc2", KEL_VOUT_FMT_I420}};
    double lowest = 1e9;
    for (const auto& in : inputs) {
        const std::string name = std::string(in.content) + "_641x481";
        const std::vector<uint8_t> yuv = read_file(dir + name + ".yuv"), rgb = read_file(dir + name + ".tv.rgb");
        ASSERT_FALSE(yuv.empty());
        ASSERT_FALSE(rgb.empty());
        const HostFrame f = in.format == KEL_VOUT_FMT_RGB24
                                ? HostFrame(rgb, 641, 481, KEL_VOUT_FMT_RGB24)
                                : HostFrame(yuv, 641, 481, in.format, KEL_VOUT_CS_BT601, KEL_VOUT_RANGE_LIMITED);
        for (int rotation : {0, 90, 180, 270})
            for (int flip : {0, 1, 2, 3}) {
                const std::string which = name + ".r" + std::to_string(rotation) + "-f" + std::to_string(flip);
                const KEL_VOUT_HANDLE h = rotation % 180 ? tall : wide;
                const KEL_VOUT_TRANSFORM_T t = transform_of(rotation, flip, 13, 7, 601, 451);
                ASSERT_EQ(kel_vout_set_transform(h, &t), 0);
                ASSERT_EQ(kel_vout_put_frame(h, &f.frame), 0);
                const std::vector<uint8_t> reference = read_file(dir + which + ".rgb");
                ASSERT_EQ(reference.size(), size_t(601) * 451 * 3) << which;
                Snapshot s;
                const double db = presented_psnr(h, reference, s);
                lowest = std::min(lowest, db);
                EXPECT_GE(db, 35.0) << which << " format " << in.format;
                if (db < 35.0)
                    keep_picture(s, which + "." + std::to_string(in.format) + "." + case_name({GetParam(), 0}));
            }
    }
    std::printf("[ psnr     ] %s: 64 pictures, the lowest %.1f dB (each taken once it reaches 35)\n",
                case_name({GetParam(), 0}).c_str(), lowest);
    EXPECT_EQ(kel_vout_destroy(&tall), 0);
    // The crop scaled up by half, bilinearly.
    landscape.resize_client(902, 677);
    HostWindow::pump(100);
    const std::vector<uint8_t> yuv = read_file(dir + "photo_641x481.yuv");
    const HostFrame f(yuv, 641, 481, KEL_VOUT_FMT_I420, KEL_VOUT_CS_BT601, KEL_VOUT_RANGE_LIMITED);
    const KEL_VOUT_TRANSFORM_T t = transform_of(0, 0, 13, 7, 601, 451);
    ASSERT_EQ(kel_vout_set_transform(wide, &t), 0);
    ASSERT_EQ(kel_vout_put_frame(wide, &f.frame), 0);
    Snapshot s;
    EXPECT_GE(presented_psnr(wide, read_file(dir + "photo_641x481.r0-f0.902x677.rgb"), s), 35.0);
    EXPECT_EQ(kel_vout_destroy(&wide), 0);
}

// A still picture is shown again with a new transform at once, without a new frame; a null
// transform restores the frame as it is. Quadrants: red, green / blue, white.
TEST_P(Transforms, AStillPictureTakesANewTransformAtOnce)
{
    HostWindow host(128, 96);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam().backend, VOUT_NORMAL);
    ASSERT_NE(h, nullptr);
    // Through the frame export: the formula's colours on every route (the older push's frames
    // would take the driver's own conversion without shaders: d3d_test.cpp checks those).
    const std::vector<uint8_t> q = quadrants(64, 48);
    const KEL_VOUT_FRAME_T f = packed_i420(q, 64, 48);
    ASSERT_EQ(kel_vout_put_frame(h, &f), 0);
    auto corners_are = [&](const Colour& tl, const Colour& tr, const Colour& bl, const Colour& br) {
        Snapshot s;
        return snapshot_until(h, s, [&](const Snapshot& sn) {
            return sn.width == 128 && close_to(sn.at(8, 8), tl.rgb) && close_to(sn.at(119, 8), tr.rgb) &&
                   close_to(sn.at(8, 87), bl.rgb) && close_to(sn.at(119, 87), br.rgb);
        });
    };
    ASSERT_TRUE(corners_are(kRed, kGreen, kBlue, kWhite));
    const struct {
        int rotation, flip;
        const Colour *tl, *tr, *bl, *br;
    } steps[] = {
        {180, 0, &kWhite, &kBlue, &kGreen, &kRed},
        {90, 0, &kBlue, &kRed, &kWhite, &kGreen},
        {270, 0, &kGreen, &kWhite, &kRed, &kBlue},
        {0, KEL_VOUT_FLIP_H, &kGreen, &kRed, &kWhite, &kBlue},
        {0, KEL_VOUT_FLIP_V, &kBlue, &kWhite, &kRed, &kGreen},
        {90, KEL_VOUT_FLIP_H, &kWhite, &kGreen, &kBlue, &kRed},
    };
    for (const auto& st : steps) {
        const KEL_VOUT_TRANSFORM_T t = transform_of(st.rotation, st.flip);
        ASSERT_EQ(kel_vout_set_transform(h, &t), 0);
        EXPECT_TRUE(corners_are(*st.tl, *st.tr, *st.bl, *st.br)) << "rotation " << st.rotation << ", flip " << st.flip;
    }
    // A crop of the bottom-right quadrant alone fills the window with white.
    const KEL_VOUT_TRANSFORM_T crop = transform_of(0, 0, 32, 24, 32, 24);
    ASSERT_EQ(kel_vout_set_transform(h, &crop), 0);
    EXPECT_TRUE(corners_are(kWhite, kWhite, kWhite, kWhite));
    ASSERT_EQ(kel_vout_set_transform(h, nullptr), 0);
    EXPECT_TRUE(corners_are(kRed, kGreen, kBlue, kWhite));
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

// VOUT_PREFERRED places the child with the shown proportions, in a 1280 x 720 area: a 720 x 576
// DVD frame at 64:45 is 16:9 and fills it, at 16:15 it is 4:3 (960 wide at 160), a 1920 x 1080
// frame turned a quarter is 405 wide (720 x 0.5625) at 640 - 202, and an override of 2.39:1 is
// 1280 x 535 (1280 / 2.39 truncated) at 360 - 267; the 4:3 mode keeps its window shape.
TEST_P(Transforms, TheChildTakesTheShownProportions)
{
    HostWindow host(1280, 720);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, GetParam().backend, VOUT_PREFERRED);
    ASSERT_NE(h, nullptr);
    const char* cls = backend_class(GetParam().backend);
    const std::vector<uint8_t> dvd(size_t(720) * 576 * 3 / 2, 0x80), hd(size_t(1920) * 1080 * 3 / 2, 0x80);
    KEL_VOUT_TRANSFORM_T sar16_9 = transform_of(0, 0), sar4_3 = transform_of(0, 0), turned = transform_of(90, 0),
                         scope = transform_of(0, 0);
    sar16_9.sar_num = 64;
    sar16_9.sar_den = 45;
    sar4_3.sar_num = 16;
    sar4_3.sar_den = 15;
    scope.dar_num = 239;
    scope.dar_den = 100;
    const struct {
        const KEL_VOUT_TRANSFORM_T* t;
        const std::vector<uint8_t>* frame;
        int w, hgt;
        DISPLAY_MODE mode;
        RECT want;
    } cases[] = {
        {&sar16_9, &dvd, 720, 576, VOUT_PREFERRED, {0, 0, 1280, 720}},
        {&sar4_3, &dvd, 720, 576, VOUT_PREFERRED, {160, 0, 1120, 720}},
        {&turned, &hd, 1920, 1080, VOUT_PREFERRED, {438, 0, 843, 720}},
        {&scope, &hd, 1920, 1080, VOUT_PREFERRED, {0, 93, 1280, 628}},
        {&turned, &hd, 1920, 1080, VOUT_4_3, {160, 0, 1120, 720}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(kel_vout_set_display_mode(h, c.mode), 0);
        ASSERT_EQ(kel_vout_set_transform(h, c.t), 0);
        ASSERT_TRUE(push_packed_yuv(h, *c.frame, c.w, c.hgt));
        EXPECT_TRUE(HostWindow::pump_until(
            [&] {
                const RECT r = host.child_rect(cls);
                return EqualRect(&r, &c.want) != FALSE;
            },
            kPatienceMs))
            << c.w << "x" << c.hgt << ": " << host.child_rect(cls).left << "," << host.child_rect(cls).top << " "
            << host.child_rect(cls).right << "," << host.child_rect(cls).bottom;
    }
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, Transforms,
                         ::testing::Values(Case{VOUT_WGL, false}, Case{VOUT_D3D, false}, Case{VOUT_D3D11, false},
                                           Case{VOUT_D3D, true}),
                         case_name);

// The transform travels with each frame: frames already waiting keep the one they were pushed
// with, the next ones take the new one. (Frames stay in the ring of an instance whose render
// thread draws nothing, for the test to read.)
TEST(TransformQueue, FramesKeepTheTransformTheyWerePushedWith)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = GetDesktopWindow();
    test_vout* v = test_vout::create(cfg);
    ASSERT_NE(v, nullptr);
    const std::vector<uint8_t> frame(size_t(16) * 8 * 3 / 2, 0x80);
    ASSERT_TRUE(push_packed_yuv(v->handle(), frame, 16, 8));
    const KEL_VOUT_TRANSFORM_T turned = transform_of(90, KEL_VOUT_FLIP_V, 2, 2, 8, 4);
    ASSERT_EQ(kel_vout_set_transform(v->handle(), &turned), 0);
    ASSERT_TRUE(push_packed_yuv(v->handle(), frame, 16, 8));
    ASSERT_EQ(kel_vout_set_transform(v->handle(), nullptr), 0);
    ASSERT_TRUE(push_packed_yuv(v->handle(), frame, 16, 8));
    PICTURE_T& pic = v->display().picture;
    const int rotations[3] = {0, 90, 0}, flips[3] = {0, KEL_VOUT_FLIP_V, 0}, crops[3] = {0, 8, 0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(v->pool().get_pool(&pic), 0);
        EXPECT_EQ(pic.transform.rotation, rotations[i]) << i;
        EXPECT_EQ(pic.transform.flip, flips[i]) << i;
        EXPECT_EQ(pic.transform.crop_width, crops[i]) << i;
    }
    v->destroy();
}

// What a host may not set answers 1 and changes nothing.
TEST(TransformRefusals, EveryBadRecordAnswersOneAndChangesNothing)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = GetDesktopWindow();
    test_vout* v = test_vout::create(cfg);
    ASSERT_NE(v, nullptr);
    const KEL_VOUT_TRANSFORM_T good = transform_of(270, KEL_VOUT_FLIP_H);
    EXPECT_EQ(kel_vout_set_transform(nullptr, &good), 1);
    EXPECT_EQ(kel_vout_set_transform(nullptr, nullptr), 1);
    const uint32_t version = v->display().transform_version.load();
    auto bad = [](void (*spoil)(KEL_VOUT_TRANSFORM_T&)) {
        KEL_VOUT_TRANSFORM_T t = transform_of(0, 0);
        spoil(t);
        return t;
    };
    const KEL_VOUT_TRANSFORM_T refused[] = {
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.size = sizeof(t) - 4; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.rotation = 45; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.rotation = -90; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.flip = 4; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.sar_num = 1; }),  // n/0
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.sar_num = -1, t.sar_den = 1; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.sar_num = 65536, t.sar_den = 1; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.dar_num = 16; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.dar_num = 1, t.dar_den = 70000; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.crop_x = -1; }),
        bad([](KEL_VOUT_TRANSFORM_T& t) { t.crop_height = -2; }),
    };
    for (const KEL_VOUT_TRANSFORM_T& t : refused)
        EXPECT_EQ(kel_vout_set_transform(v->handle(), &t), 1)
            << t.size << " " << t.rotation << " " << t.flip << " " << t.sar_num << " " << t.dar_num << " " << t.crop_x;
    EXPECT_EQ(v->display().transform_version.load(), version);
    EXPECT_EQ(kel_vout_set_transform(v->handle(), &good), 0);
    EXPECT_EQ(v->display().transform.rotation, 270);
    v->destroy();
}
