// The frame plan: which route a frame takes on each kind of renderer, the textures and bytes it
// names, texture coordinates, colour constants and the target, against values worked out by hand.
#include <gtest/gtest.h>

#include "frame_plan.h"

namespace {

// What the three renderers offer on this stack (and on a small software context).
renderer_caps opengl_caps()
{
    renderer_caps c;
    c.yuv_shader = true;
    c.max_texture_width = c.max_texture_height = 8192;
    c.rgb_in_texture = true;
    c.bgra_upload = true;
    return c;
}
renderer_caps opengl_without_shader(bool power_of_two, int max_texture)
{
    renderer_caps c = opengl_caps();
    c.yuv_shader = false;
    c.power_of_two = power_of_two;
    c.max_texture_width = c.max_texture_height = max_texture;
    return c;
}
renderer_caps d3d9_caps(bool shader)
{
    renderer_caps c;
    c.yuv_shader = shader;
    c.yv12_surfaces = true;
    c.max_texture_width = c.max_texture_height = 2048;
    return c;
}

frame_shape export_shape(pixel_format f, int w, int h, colour_space cs = colour_space::bt601,
                         colour_range r = colour_range::limited)
{
    frame_view v{int32_t(f), w, h, {}, {}, int32_t(cs), int32_t(r)};
    return shape_of(v);
}

void expect_corners(const plan_corners& c, float s, float t, const char* what)
{
    const float want_s[4] = {0.0f, s, 0.0f, s}, want_t[4] = {0.0f, 0.0f, t, t};
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(c.s[i], want_s[i]) << what << " corner " << i;
        EXPECT_FLOAT_EQ(c.t[i], want_t[i]) << what << " corner " << i;
    }
}

}  // namespace

// An older push's 640x360 frame on a renderer with the shader: three one-channel textures at the
// planes' sizes, packed Y | U | V, the whole of each drawn over the whole back buffer, with the
// BT.601 limited-range matrix (255/219 = 1.1643836, the published coefficients).
TEST(FramePlan, PlanesRouteTakesEachPlaneAtItsSizeWithTheFramesMatrix)
{
    const frame_plan p = plan_frame(legacy_yuv_shape(640, 360), 640, 360, 1280, 720, opengl_caps());
    EXPECT_EQ(p.route, draw_route::planes);
    ASSERT_EQ(p.plane_count, 3);
    const size_t offsets[3] = {0, 230400, 288000};
    const int sizes[3][2] = {{640, 360}, {320, 180}, {320, 180}};
    ASSERT_EQ(p.texture_count, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p.planes[i].offset, offsets[i]) << i;
        EXPECT_EQ(p.planes[i].stride, sizes[i][0]) << i;
        EXPECT_EQ(p.textures[i].format, texel_format::r8) << i;
        EXPECT_EQ(p.textures[i].width, sizes[i][0]) << i;
        EXPECT_EQ(p.textures[i].height, sizes[i][1]) << i;
        EXPECT_FALSE(p.textures[i].grey) << i;
        expect_corners(p.textures[i].corners, 1.0f, 1.0f, "plane");
    }
    const float c[4][4] = {{1.1643836f, 1.1643836f, 1.1643836f, 0.0f},
                           {0.0f, -0.3917623f, 2.0172322f, 0.0f},
                           {1.5960268f, -0.8129677f, 0.0f, 0.0f},
                           {-0.8742022f, 0.5316678f, -1.0856308f, 1.0f}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(p.constants[i][j], c[i][j], 2e-6) << i << "," << j;
    EXPECT_EQ(p.source.x, 0);
    EXPECT_EQ(p.source.width, 640);
    EXPECT_EQ(p.source.height, 360);
    EXPECT_EQ(p.target.x, 0);
    EXPECT_EQ(p.target.y, 0);
    EXPECT_EQ(p.target.width, 1280);
    EXPECT_EQ(p.target.height, 720);
    EXPECT_EQ(p.quad_count, 0);
}

// Chroma reaches w / (2 cw) across and h / (2 ch) down: the older pushes' (w/2) planes leave an odd
// last column to the edge clamp, the frame export's ((w+1)/2) ones end half a sample early. A
// frame 1 pixel high has no chroma: one grey texel stands in.
TEST(FramePlan, ChromaCoordinatesKeepSamplesCentredAtOddSizes)
{
    const struct {
        frame_shape shape;
        int w, h;
        int cw, ch;
        float s, t;
    } cases[] = {
        {legacy_yuv_shape(641, 481), 641, 481, 320, 240, 641.0f / 640.0f, 481.0f / 480.0f},
        {export_shape(pixel_format::i420, 641, 481), 641, 481, 321, 241, 641.0f / 642.0f, 481.0f / 482.0f},
        {export_shape(pixel_format::nv12, 5, 3), 5, 3, 3, 2, 5.0f / 6.0f, 3.0f / 4.0f},
    };
    for (const auto& c : cases) {
        const frame_plan p = plan_frame(c.shape, c.w, c.h, 100, 100, opengl_caps());
        ASSERT_EQ(p.route, draw_route::planes);
        for (int i = 1; i < 3; ++i) {
            EXPECT_EQ(p.textures[i].width, c.cw);
            EXPECT_EQ(p.textures[i].height, c.ch);
            expect_corners(p.textures[i].corners, c.s, c.t, "chroma");
        }
        expect_corners(p.textures[0].corners, 1.0f, 1.0f, "luma");
    }
    const frame_plan line = plan_frame(legacy_yuv_shape(7, 1), 7, 1, 100, 100, opengl_caps());
    for (int i = 1; i < 3; ++i) {
        EXPECT_TRUE(line.textures[i].grey);
        EXPECT_EQ(line.textures[i].width, 1);
        EXPECT_EQ(line.textures[i].height, 1);
    }
}

// Without the shader, or beyond the largest texture, YUV goes the processor's way into one RGB
// texture; powers of two put the picture in the texture's top-left corner; a small texture limit
// reduces the picture first.
TEST(FramePlan, ContextsWithoutTheShaderTakeOnePictureConvertedOnTheProcessor)
{
    const struct {
        renderer_caps caps;
        frame_shape shape;
        int w, h;
        bool convert, reduce;
        int tw, th, cw, ch;
        float s, t;
    } cases[] = {
        {opengl_without_shader(false, 8192), legacy_yuv_shape(1920, 1080), 1920, 1080, true, false, 1920, 1080, 1920,
         1080, 1.0f, 1.0f},
        {opengl_without_shader(true, 8192), legacy_yuv_shape(641, 481), 641, 481, true, false, 1024, 512, 641, 481,
         0.6259765625f, 0.939453125f},
        {opengl_without_shader(false, 256), export_shape(pixel_format::rgb24, 641, 481), 641, 481, false, true, 256,
         256, 256, 256, 1.0f, 1.0f},
        {opengl_without_shader(true, 256), export_shape(pixel_format::i420, 200, 700), 200, 700, true, true, 256, 256,
         200, 256, 0.78125f, 1.0f},
    };
    for (const auto& c : cases) {
        const frame_plan p = plan_frame(c.shape, c.w, c.h, 640, 480, c.caps);
        EXPECT_EQ(p.route, draw_route::rgb);
        EXPECT_EQ(p.convert_yuv, c.convert) << c.w;
        EXPECT_EQ(p.reduce, c.reduce) << c.w;
        ASSERT_EQ(p.texture_count, 1);
        EXPECT_EQ(p.textures[0].format, texel_format::rgb24);
        EXPECT_EQ(p.textures[0].width, c.tw) << c.w;
        EXPECT_EQ(p.textures[0].height, c.th) << c.w;
        EXPECT_EQ(p.textures[0].content_width, c.cw) << c.w;
        EXPECT_EQ(p.textures[0].content_height, c.ch) << c.w;
        expect_corners(p.textures[0].corners, c.s, c.t, "picture");
    }
    // A frame above the largest texture goes the processor's way even with the shader.
    const frame_plan big = plan_frame(export_shape(pixel_format::i420, 4096, 2160), 4096, 2160, 640, 480,
                                      d3d9_caps(true));
    EXPECT_EQ(big.route, draw_route::rgb);
    EXPECT_TRUE(big.convert_yuv);
    EXPECT_FALSE(big.reduce);  // a surface of any size
    EXPECT_EQ(big.textures[0].width, 4096);
}

// B, G, R, A goes in as it is where the texture takes it, else as R, G, B, as it does before a
// reduction (which works on R, G, B). RGB frames keep their rows' stride.
TEST(FramePlan, PackedFramesUploadTheirOwnBytes)
{
    const frame_shape bgra = export_shape(pixel_format::bgra, 100, 50);
    frame_plan p = plan_frame(bgra, 100, 50, 100, 50, opengl_caps());
    EXPECT_EQ(p.route, draw_route::rgb);
    EXPECT_EQ(p.textures[0].format, texel_format::bgra);
    EXPECT_FALSE(p.bgra_to_rgb);
    EXPECT_FALSE(p.convert_yuv);
    EXPECT_EQ(p.plane_count, 1);
    EXPECT_EQ(p.planes[0].offset, 0u);
    EXPECT_EQ(p.planes[0].stride, 400);

    renderer_caps old_context = opengl_caps();
    old_context.bgra_upload = false;
    p = plan_frame(bgra, 100, 50, 100, 50, old_context);
    EXPECT_TRUE(p.bgra_to_rgb);
    EXPECT_EQ(p.textures[0].format, texel_format::rgb24);

    p = plan_frame(bgra, 100, 50, 100, 50, opengl_without_shader(false, 64));
    EXPECT_TRUE(p.bgra_to_rgb);
    EXPECT_TRUE(p.reduce);
    EXPECT_EQ(p.textures[0].content_width, 64);
    EXPECT_EQ(p.textures[0].content_height, 50);

    // The older packed push: rows start at multiples of 4 bytes (5 pixels: 15 bytes, 16 apart).
    p = plan_frame(legacy_rgb_shape(5), 5, 2, 10, 4, d3d9_caps(true));
    EXPECT_EQ(p.route, draw_route::rgb);
    EXPECT_EQ(p.planes[0].stride, 16);
    EXPECT_EQ(p.textures[0].format, texel_format::rgb24);
}

// Direct3D 9 without the shader: the driver converts the older pushes' BT.601 limited-range
// frames from a YV12 surface at least 4 columns wider, rounded up to 4 (641 -> 648, 481 -> 484);
// any other colours are converted on the processor.
TEST(FramePlan, TheDriversYv12ConversionOnlyForTheOlderPushesColours)
{
    frame_plan p = plan_frame(legacy_yuv_shape(641, 481), 641, 481, 800, 600, d3d9_caps(false));
    EXPECT_EQ(p.route, draw_route::yv12);
    ASSERT_EQ(p.texture_count, 1);
    EXPECT_EQ(p.textures[0].format, texel_format::yv12);
    EXPECT_EQ(p.textures[0].width, 648);
    EXPECT_EQ(p.textures[0].height, 484);
    EXPECT_EQ(p.textures[0].content_width, 641);
    EXPECT_EQ(p.source.width, 641);
    EXPECT_EQ(p.source.height, 481);
    EXPECT_EQ(p.planes[1].offset, 641u * 481);
    EXPECT_EQ(p.planes[2].offset, 641u * 481 + 320 * 240);

    frame_shape bt709 = legacy_yuv_shape(641, 481);
    bt709.colorspace = colour_space::bt709;
    p = plan_frame(bt709, 641, 481, 800, 600, d3d9_caps(false));
    EXPECT_EQ(p.route, draw_route::rgb);
    EXPECT_TRUE(p.convert_yuv);
    EXPECT_EQ(p.textures[0].width, 641);
    // The frame export's BT.601 frames too (their chroma is (w+1)/2 wide).
    p = plan_frame(export_shape(pixel_format::i420, 641, 481), 641, 481, 800, 600, d3d9_caps(false));
    EXPECT_EQ(p.route, draw_route::rgb);
    // A 2048 x 1080 frame on a device whose textures stop at 2048: the surface (2052 wide) and its
    // render target would not fit, so the processor converts.
    renderer_caps small = d3d9_caps(false);
    small.max_texture_width = small.max_texture_height = 2048;
    p = plan_frame(legacy_yuv_shape(2048, 1080), 2048, 1080, 800, 600, small);
    EXPECT_EQ(p.route, draw_route::rgb);
    EXPECT_EQ(p.textures[0].width, 2048);
    p = plan_frame(legacy_yuv_shape(2040, 1080), 2040, 1080, 800, 600, small);  // 2044 wide: it fits
    EXPECT_EQ(p.route, draw_route::yv12);
}

// A renderer keeps its textures for a plan that needs the same ones: new colours or another
// target keep them; another size, chroma size, route or format needs new ones.
TEST(FramePlan, SameTexturesOnlyForTheSameLayout)
{
    const renderer_caps caps = opengl_caps();
    const frame_plan base = plan_frame(legacy_yuv_shape(640, 360), 640, 360, 1280, 720, caps);
    frame_shape colours = legacy_yuv_shape(640, 360);
    colours.colorspace = colour_space::bt709;
    colours.range = colour_range::full;
    EXPECT_TRUE(same_textures(base, plan_frame(colours, 640, 360, 320, 200, caps)));
    EXPECT_FALSE(same_textures(base, plan_frame(legacy_yuv_shape(642, 360), 642, 360, 1280, 720, caps)));
    frame_shape wider_chroma = legacy_yuv_shape(641, 360);
    wider_chroma.chroma_width = 321;
    EXPECT_FALSE(same_textures(plan_frame(legacy_yuv_shape(641, 360), 641, 360, 1280, 720, caps),
                               plan_frame(wider_chroma, 641, 360, 1280, 720, caps)));
    EXPECT_FALSE(same_textures(base, plan_frame(legacy_yuv_shape(640, 360), 640, 360, 1280, 720,
                                                opengl_without_shader(false, 8192))));
    EXPECT_FALSE(same_textures(plan_frame(export_shape(pixel_format::rgb24, 64, 64), 64, 64, 64, 64, caps),
                               plan_frame(export_shape(pixel_format::bgra, 64, 64), 64, 64, 64, 64, caps)));
    // Direct3D 9 without the shader: new colours may move a frame between the driver's surface
    // and the processor's.
    frame_shape bt709 = legacy_yuv_shape(640, 360);
    bt709.colorspace = colour_space::bt709;
    EXPECT_FALSE(same_textures(plan_frame(legacy_yuv_shape(640, 360), 640, 360, 640, 360, d3d9_caps(false)),
                               plan_frame(bt709, 640, 360, 640, 360, d3d9_caps(false))));
}

// 10-bit planes go to the shader in 16-bit textures where the renderer has them, with the
// matrix scaled to what those textures hold (I010's value in the low bits of 65535, P010's in
// the top ones), and to the processor where it has not; 4:2:2 and 4:4:4 chroma textures lie
// over luma at their own steps.
TEST(FramePlan, DeepAndFullerChromaFramesKeepTheirPrecisionAndPlaces)
{
    renderer_caps caps = opengl_caps();
    caps.r16_textures = true;
    frame_plan p =
        plan_frame(export_shape(pixel_format::i010, 641, 481, colour_space::bt709), 641, 481, 641, 481, caps);
    ASSERT_EQ(p.route, draw_route::planes);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(p.textures[i].format, texel_format::r16);
    EXPECT_EQ(p.planes[0].stride, 1282);
    EXPECT_EQ(p.planes[1].stride, 642);
    EXPECT_EQ(p.planes[1].offset, 641u * 481 * 2);
    EXPECT_EQ(p.shape.sample_shift, 6);
    // Luma: 255/219 per 8-bit step, four codes a step, the codes in the top bits of 65535:
    // 1.164383 * 65535 / (1020 * 64) (I010 is packed as P010).
    EXPECT_NEAR(p.constants[0][0], 1.164383 * 65535.0 / 65280.0, 1e-5);
    // The constant term is the 8-bit one: -16/219 for luma, -128 * 1.792741 / 255 for R's chroma.
    EXPECT_NEAR(p.constants[3][0], -0.0730594 - 0.8998870, 1e-5);
    p = plan_frame(export_shape(pixel_format::p010, 640, 360, colour_space::bt709), 640, 360, 640, 360, caps);
    EXPECT_NEAR(p.constants[0][0], 1.164383 * 65535.0 / 65280.0, 1e-5);
    // Red per unit of V: 1.792741 (BT.709 limited, 8 bits) times 65535 / 65280.
    EXPECT_NEAR(p.constants[2][0], 1.792741 * 65535.0 / 65280.0, 1e-5);
    caps.r16_textures = false;
    p = plan_frame(export_shape(pixel_format::p010, 640, 360), 640, 360, 640, 360, caps);
    EXPECT_EQ(p.route, draw_route::rgb);
    EXPECT_TRUE(p.convert_yuv);
    // Nor does the driver's YV12 conversion take them.
    EXPECT_EQ(plan_frame(export_shape(pixel_format::p010, 640, 360), 640, 360, 640, 360, d3d9_caps(false)).route,
              draw_route::rgb);

    // 4:4:4: chroma at luma's size and coordinates; 4:2:2 across as 4:2:0, down as luma.
    p = plan_frame(export_shape(pixel_format::i444, 641, 481), 641, 481, 641, 481, caps);
    ASSERT_EQ(p.route, draw_route::planes);
    EXPECT_EQ(p.textures[1].format, texel_format::r8);
    EXPECT_EQ(p.textures[1].width, 641);
    EXPECT_EQ(p.textures[1].height, 481);
    EXPECT_FLOAT_EQ(p.textures[1].corners.s[3], 1.0f);
    EXPECT_FLOAT_EQ(p.textures[1].corners.t[3], 1.0f);
    p = plan_frame(export_shape(pixel_format::i422, 641, 481), 641, 481, 641, 481, caps);
    EXPECT_EQ(p.textures[2].width, 321);
    EXPECT_EQ(p.textures[2].height, 481);
    EXPECT_FLOAT_EQ(p.textures[2].corners.s[3], 641.0f / 642.0f);
    EXPECT_FLOAT_EQ(p.textures[2].corners.t[3], 1.0f);
    EXPECT_EQ(p.planes[2].offset, 641u * 481 + 321u * 481);
}
