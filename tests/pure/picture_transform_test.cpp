// The picture transform: what a host may set, the crop as it is clipped, the proportions shown,
// the corners each turn and mirror shows, and the placement and texture coordinates that follow,
// against values worked out by hand.
#include <gtest/gtest.h>

#include "display_placement.h"
#include "frame_plan.h"
#include "picture_transform.h"

namespace {

picture_transform turned(int rotation, int flip = 0)
{
    picture_transform t{};
    t.rotation = rotation;
    t.flip = flip;
    return t;
}

picture_transform with_sar(int num, int den)
{
    picture_transform t{};
    t.sar_num = num;
    t.sar_den = den;
    return t;
}

}  // namespace

TEST(PictureTransform, WhatAHostMaySet)
{
    const struct {
        picture_transform t;
        transform_check want;
    } cases[] = {
        {{}, transform_check::ok},
        {turned(270, kFlipH | kFlipV), transform_check::ok},
        {turned(45), transform_check::bad_rotation},
        {turned(-90), transform_check::bad_rotation},
        {turned(360), transform_check::bad_rotation},
        {turned(0, 4), transform_check::bad_flip},
        {with_sar(64, 45), transform_check::ok},
        {with_sar(0, 1), transform_check::ok},  // FFmpeg's unknown sample aspect ratio
        {with_sar(0, 0), transform_check::ok},
        {with_sar(1, 0), transform_check::bad_ratio},
        {with_sar(-1, 1), transform_check::bad_ratio},
        {with_sar(65535, 65535), transform_check::ok},
        {with_sar(65536, 1), transform_check::bad_ratio},
        {{0, 0, 0, 0, -1, 0, 0, 0, 0, 0}, transform_check::bad_crop},
        {{0, 0, 0, 0, 0, 0, 0, -5, 0, 0}, transform_check::bad_crop},
        {{0, 0, 0, 0, 0, 0, 0, 0, 239, 100}, transform_check::ok},
        {{0, 0, 0, 0, 0, 0, 0, 0, 16, 0}, transform_check::bad_ratio},
        {{0, 0, 0, 0, 0, 0, 0, 0, 70000, 1}, transform_check::bad_ratio},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check_transform(c.t), c.want) << c.t.rotation << " " << c.t.flip << " " << c.t.sar_num << "/"
                                               << c.t.sar_den << " " << c.t.crop_x;
}

// A crop reaching past the frame is clipped to it; one with nothing inside shows the whole frame.
TEST(PictureTransform, TheCropIsClippedNeverRefused)
{
    const struct {
        int x, y, w, h;
        plan_rect want;
    } cases[] = {
        {0, 0, 0, 0, {0, 0, 1920, 1088}},
        {0, 0, 1920, 1080, {0, 0, 1920, 1080}},  // a decoder's padding cut
        {13, 7, 601, 451, {13, 7, 601, 451}},
        {1800, 1000, 500, 500, {1800, 1000, 120, 88}},
        {2000, 0, 100, 100, {0, 0, 1920, 1088}},
        {10, 10, 0, 100, {0, 0, 1920, 1088}},
        {0, 0, 2147483647, 2147483647, {0, 0, 1920, 1088}},
    };
    for (const auto& c : cases) {
        picture_transform t{};
        t.crop_x = c.x;
        t.crop_y = c.y;
        t.crop_width = c.w;
        t.crop_height = c.h;
        const plan_rect r = crop_of(t, 1920, 1088);
        EXPECT_EQ(r.x, c.want.x) << c.x << "," << c.y << " " << c.w << "x" << c.h;
        EXPECT_EQ(r.y, c.want.y);
        EXPECT_EQ(r.width, c.want.width);
        EXPECT_EQ(r.height, c.want.height);
    }
}

// The proportions shown, in lowest terms: DVDs of 720 x 576 are 16:9 at a sample aspect ratio of
// 64:45 (720 x 64 : 576 x 45 = 46080 : 25920) and 4:3 at 16:15; a phone's 1920 x 1080 turned a
// quarter is 9:16; an override is taken as it is.
TEST(PictureTransform, TheShownProportions)
{
    picture_transform rot90 = turned(90), rot180 = turned(180), rot270 = turned(270, kFlipH);
    picture_transform scope{};
    scope.dar_num = 239;
    scope.dar_den = 100;
    picture_transform scope_turned = scope;
    scope_turned.rotation = 90;
    picture_transform cropped{};
    cropped.crop_width = 1440;
    cropped.crop_height = 1080;
    const struct {
        picture_transform t;
        int w, h;
        uint32_t num, den;
    } cases[] = {
        {with_sar(64, 45), 720, 576, 16, 9},  {with_sar(16, 15), 720, 576, 4, 3},
        {with_sar(4, 3), 1440, 1080, 16, 9},  {with_sar(0, 1), 720, 576, 5, 4},
        {with_sar(11, 11), 640, 480, 4, 3},   {rot90, 1920, 1080, 9, 16},
        {rot180, 1920, 1080, 16, 9},          {rot270, 1280, 720, 9, 16},
        {scope, 1920, 1080, 239, 100},        {scope_turned, 1920, 1080, 239, 100},
        {cropped, 1920, 1080, 4, 3},
    };
    for (const auto& c : cases) {
        uint32_t num = 0, den = 0;
        shown_aspect(c.t, c.w, c.h, &num, &den);
        EXPECT_EQ(num, c.num) << c.w << "x" << c.h << " rotation " << c.t.rotation;
        EXPECT_EQ(den, c.den) << c.w << "x" << c.h << " rotation " << c.t.rotation;
    }
    // An older push's 3,000,017 x 7 frame of pixels 65521 : 65519: neither term fits 32 bits
    // (196,564,113,857 : 458,633), the proportions (428,588.6 : 1) still come out. Pixels 65521
    // times wider than tall on a single row are beyond 32-bit terms: held at 4294967295 : 1.
    uint32_t num = 0, den = 0;
    shown_aspect(with_sar(65521, 65519), 3000017, 7, &num, &den);
    ASSERT_GT(den, 0u);
    EXPECT_NEAR(double(num) / double(den) / (196564113857.0 / 458633.0), 1.0, 1e-3);
    shown_aspect(with_sar(65521, 1), 3000017, 1, &num, &den);
    EXPECT_EQ(num, 4294967295u);
    EXPECT_EQ(den, 1u);
    int32_t w = 0, h = 0;
    shown_size(rot90, 1920, 1080, &w, &h);
    EXPECT_EQ(w, 1080);
    EXPECT_EQ(h, 1920);
}

// Which corner of the crop (TL, TR, BL, BR) each corner of the shown picture shows: the flip
// first, then the turn clockwise. A quarter turn shows the bottom-left corner at the top left; a
// flip left-right the top-right one.
TEST(PictureTransform, EveryTurnAndMirrorShowsItsCorners)
{
    const struct {
        int rotation, flip;
        int source[4];
    } cases[] = {
        {0, 0, {0, 1, 2, 3}},           {90, 0, {2, 0, 3, 1}},          {180, 0, {3, 2, 1, 0}},
        {270, 0, {1, 3, 0, 2}},         {0, kFlipH, {1, 0, 3, 2}},      {0, kFlipV, {2, 3, 0, 1}},
        {0, kFlipH | kFlipV, {3, 2, 1, 0}}, {90, kFlipH, {3, 1, 2, 0}}, {90, kFlipV, {0, 2, 1, 3}},
        {180, kFlipH, {2, 3, 0, 1}},    {270, kFlipH, {0, 2, 1, 3}},    {270, kFlipV, {3, 1, 2, 0}},
    };
    for (const auto& c : cases) {
        int source[4];
        corner_sources(turned(c.rotation, c.flip), source);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(source[k], c.source[k]) << "rotation " << c.rotation << ", flip " << c.flip << ", corner " << k;
    }
}

// VOUT_PREFERRED with the shown proportions, in a 1280 x 720 area: a 16:9 DVD fills it, a 4:3 one
// is 960 wide at 640 - 480, a portrait clip stored 1920 x 1080 with a quarter turn is 405 wide
// (720 x 0.5625) at 640 - 202; a 1920 x 1088 frame cropped to 1080 rows fills it, and a 2.39
// override is a letterbox.
TEST(PictureTransform, PlacementTakesTheShownProportions)
{
    picture_transform coded_1080{};  // a decoder's 1920 x 1088, cropped to what it shows
    coded_1080.crop_width = 1920;
    coded_1080.crop_height = 1080;
    picture_transform scope{};
    scope.dar_num = 239;
    scope.dar_den = 100;
    const struct {
        picture_transform t;
        int w, h;
        vout_display_place_t want;
    } cases[] = {
        {with_sar(64, 45), 720, 576, {0, 0, 1280, 720, 0, 0}},
        {with_sar(16, 15), 720, 576, {160, 0, 960, 720, 0, 0}},
        {turned(90), 1920, 1080, {438, 0, 405, 720, 0, 0}},
        {turned(270, kFlipV), 1080, 1920, {0, 0, 1280, 720, 0, 0}},
        {coded_1080, 1920, 1088, {0, 0, 1280, 720, 0, 0}},
        {scope, 1920, 1080, {0, 93, 1280, 535, 0, 0}},  // 1280 / 2.39 = 535.6, centred at 360 - 267
    };
    for (const auto& c : cases) {
        uint32_t num = 0, den = 0;
        shown_aspect(c.t, c.w, c.h, &num, &den);
        const vout_display_place_t r = fit_display_rect(VOUT_PREFERRED, 1280, 720, num, den);
        EXPECT_EQ(r.x, c.want.x) << c.w << "x" << c.h;
        EXPECT_EQ(r.y, c.want.y) << c.w << "x" << c.h;
        EXPECT_EQ(r.width, c.want.width) << c.w << "x" << c.h;
        EXPECT_EQ(r.height, c.want.height) << c.w << "x" << c.h;
    }
}

// The plan's corners reach the crop, mirrored and turned, on every texture: luma at x / w, chroma
// at x / (2 cw) (so an odd offset samples chroma where the whole frame does). An older push's
// 641 x 481 frame (chroma 320 x 240), cropped to 601 x 451 at (13, 7), mirrored and turned a quarter:
// the top-left corner shows the crop's bottom-right.
TEST(PictureTransform, ThePlansCornersReachTheCropMirroredAndTurned)
{
    renderer_caps caps;
    caps.yuv_shader = true;
    caps.rgb_in_texture = true;
    picture_transform t = turned(90, kFlipH);
    t.crop_x = 13;
    t.crop_y = 7;
    t.crop_width = 601;
    t.crop_height = 451;
    const frame_plan p = plan_frame(legacy_yuv_shape(641, 481), 641, 481, 451, 601, caps, t);
    ASSERT_EQ(p.route, draw_route::planes);
    EXPECT_EQ(p.source.x, 13);
    EXPECT_EQ(p.source.width, 601);
    const float lx[2] = {13.0f / 641.0f, 614.0f / 641.0f}, ly[2] = {7.0f / 481.0f, 458.0f / 481.0f};
    const float cx[2] = {13.0f / 640.0f, 614.0f / 640.0f}, cy[2] = {7.0f / 480.0f, 458.0f / 480.0f};
    // Target TL, TR, BL, BR show the crop's BR, TR, BL, TL.
    const int at[4][2] = {{1, 1}, {1, 0}, {0, 1}, {0, 0}};
    for (int k = 0; k < 4; ++k) {
        EXPECT_FLOAT_EQ(p.textures[0].corners.s[k], lx[at[k][0]]) << k;
        EXPECT_FLOAT_EQ(p.textures[0].corners.t[k], ly[at[k][1]]) << k;
        for (int i = 1; i < 3; ++i) {
            EXPECT_FLOAT_EQ(p.textures[i].corners.s[k], cx[at[k][0]]) << k;
            EXPECT_FLOAT_EQ(p.textures[i].corners.t[k], cy[at[k][1]]) << k;
        }
    }
    // A picture at powers of two (641 -> 1024 across) reaches the crop within its corner.
    caps.yuv_shader = false;
    caps.power_of_two = true;
    const frame_plan q = plan_frame(legacy_yuv_shape(641, 481), 641, 481, 451, 601, caps, turned(180));
    EXPECT_FLOAT_EQ(q.textures[0].corners.s[0], 641.0f / 1024.0f);
    EXPECT_FLOAT_EQ(q.textures[0].corners.t[0], 481.0f / 512.0f);
    EXPECT_FLOAT_EQ(q.textures[0].corners.s[3], 0.0f);
    EXPECT_FLOAT_EQ(q.textures[0].corners.t[3], 0.0f);
}
