// Overlays: which records are refused, what an instance keeps of them within its budget, and the
// quads the frame plan draws them as, against values worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame_plan.h"
#include "overlay.h"

namespace {

const uint8_t kPixel[4] = {1, 2, 3, 4};

overlay_spec spec(int32_t w, int32_t h, int32_t coords = kOverlayWindow)
{
    return overlay_spec{w, h, w * 4, kPixel, coords, 0, 0, 0, 0, 255};
}

// A bitmap of a size, without pixels: plans and budgets only look at the size.
std::shared_ptr<const overlay_bitmap> bitmap_of(int32_t w, int32_t h)
{
    auto b = std::make_shared<overlay_bitmap>();
    b->width = w;
    b->height = h;
    b->content = plan_rect{0, 0, w, h};
    b->serial = 1;
    return b;
}

overlay_entry entry(int32_t coords, int32_t x, int32_t y, int32_t bw, int32_t bh, int32_t w = 0, int32_t h = 0,
                    int32_t opacity = 255)
{
    overlay_entry e;
    e.bitmap = bitmap_of(bw, bh);
    e.coords = coords;
    e.x = x;
    e.y = y;
    e.w = w;
    e.h = h;
    e.opacity = opacity;
    return e;
}

frame_plan plan_with(int32_t frame_w, int32_t frame_h, int32_t target_w, int32_t target_h,
                     const overlay_entry (&overlays)[kMaxOverlays], const renderer_caps& caps = renderer_caps{},
                     const picture_transform& t = {})
{
    frame_view v{int32_t(pixel_format::i420), frame_w, frame_h, {}, {}, 0, 0};
    frame_plan p = plan_frame(shape_of(v), frame_w, frame_h, target_w, target_h, caps, t);
    plan_overlays(&p, overlays, caps);
    return p;
}

void expect_rect(const plan_rect& r, int32_t x, int32_t y, int32_t w, int32_t h)
{
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}

void expect_span(const plan_quad& q, float s0, float s1, float t0, float t1)
{
    EXPECT_FLOAT_EQ(q.corners.s[0], s0);
    EXPECT_FLOAT_EQ(q.corners.s[1], s1);
    EXPECT_FLOAT_EQ(q.corners.s[2], s0);
    EXPECT_FLOAT_EQ(q.corners.s[3], s1);
    EXPECT_FLOAT_EQ(q.corners.t[0], t0);
    EXPECT_FLOAT_EQ(q.corners.t[1], t0);
    EXPECT_FLOAT_EQ(q.corners.t[2], t1);
    EXPECT_FLOAT_EQ(q.corners.t[3], t1);
}

}  // namespace

TEST(OverlayCheck, RefusesEveryFieldOutsideItsRange)
{
    EXPECT_EQ(check_overlay(spec(1, 1)), overlay_check::ok);
    EXPECT_EQ(check_overlay(spec(4096, 4096)), overlay_check::ok);
    overlay_spec s = spec(8, 8, kOverlayPicture);
    EXPECT_EQ(check_overlay(s), overlay_check::ok);
    struct {
        void (*change)(overlay_spec&);
        overlay_check why;
    } const cases[] = {
        {[](overlay_spec& s) { s.bgra = nullptr; }, overlay_check::no_bitmap},
        {[](overlay_spec& s) { s.width = 0; }, overlay_check::bad_size},
        {[](overlay_spec& s) { s.height = -1; }, overlay_check::bad_size},
        {[](overlay_spec& s) { s.width = 4097; s.stride = 4097 * 4; }, overlay_check::bad_size},
        {[](overlay_spec& s) { s.height = 4097; }, overlay_check::bad_size},
        {[](overlay_spec& s) { s.stride = 31; }, overlay_check::bad_stride},
        {[](overlay_spec& s) { s.stride = -32; }, overlay_check::bad_stride},
        {[](overlay_spec& s) { s.stride = (1 << 24) + 4; }, overlay_check::bad_stride},
        {[](overlay_spec& s) { s.w = -1; }, overlay_check::bad_dest},
        {[](overlay_spec& s) { s.h = -5; }, overlay_check::bad_dest},
        {[](overlay_spec& s) { s.coords = 2; }, overlay_check::bad_coords},
        {[](overlay_spec& s) { s.coords = -1; }, overlay_check::bad_coords},
        {[](overlay_spec& s) { s.opacity = 256; }, overlay_check::bad_opacity},
        {[](overlay_spec& s) { s.opacity = -1; }, overlay_check::bad_opacity},
    };
    for (const auto& c : cases) {
        overlay_spec changed = s;
        c.change(changed);
        EXPECT_EQ(check_overlay(changed), c.why);
    }
    // Any position, and a stride with padding, are taken.
    s.x = -100000;
    s.y = 2000000000;
    s.stride = 1 << 24;
    EXPECT_EQ(check_overlay(s), overlay_check::ok);
}

TEST(OverlayStore, CopiesTightRowsAndKeepsWithinTheBudget)
{
    // Two rows of 2 pixels, each row followed by 4 bytes of padding that must not be copied.
    const uint8_t rows[24] = {1, 2, 3, 4, 5, 6, 7, 8, 99, 99, 99, 99, 9, 10, 11, 12, 13, 14, 15, 16, 99, 99, 99, 99};
    overlay_spec s{2, 2, 12, rows, kOverlayWindow, 0, 0, 0, 0, 255};
    const auto a = copy_overlay_bitmap(s);
    const auto b = copy_overlay_bitmap(s);
    ASSERT_EQ(a->bgra.size(), 16u);
    const std::vector<uint8_t> tight = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(a->bgra, tight);
    EXPECT_NE(a->serial, 0u);
    EXPECT_GT(b->serial, a->serial);  // every copy is a bitmap of its own for the renderers

    // Only what is not transparent is kept, with a transparent pixel around it: of an 8 x 6
    // bitmap with two pixels drawn, at (3, 2) and (5, 3), the 5 x 4 from (2, 1).
    std::vector<uint8_t> canvas(8 * 6 * 4, 0);
    canvas[(2 * 8 + 3) * 4 + 3] = 200;
    canvas[(3 * 8 + 5) * 4 + 0] = 9;  // colour without alpha adds light: not transparent
    const auto t = copy_overlay_bitmap(overlay_spec{8, 6, 32, canvas.data(), kOverlayWindow, 0, 0, 0, 0, 255});
    EXPECT_EQ(t->width, 8);
    EXPECT_EQ(t->height, 6);
    expect_rect(t->content, 2, 1, 5, 4);
    ASSERT_EQ(t->bgra.size(), 5u * 4 * 4);
    EXPECT_EQ(t->bgra[(1 * 5 + 1) * 4 + 3], 200);
    EXPECT_EQ(t->bgra[(2 * 5 + 3) * 4 + 0], 9);
    EXPECT_EQ(t->bytes(), 8u * 6 * 4);  // the budget counts the host's bitmap
    // At the bitmap's edge there is no pixel to grow into; an empty bitmap keeps nothing.
    std::fill(canvas.begin(), canvas.end(), 0);
    canvas[3] = 1;
    expect_rect(copy_overlay_bitmap(overlay_spec{8, 6, 32, canvas.data(), kOverlayWindow, 0, 0, 0, 0, 255})->content,
                0, 0, 2, 2);
    canvas[3] = 0;
    const auto none = copy_overlay_bitmap(overlay_spec{8, 6, 32, canvas.data(), kOverlayWindow, 0, 0, 0, 0, 255});
    EXPECT_EQ(none->content.width * none->content.height, 0);
    EXPECT_TRUE(none->bgra.empty());

    overlay_store store;
    const uint32_t v0 = store.version();
    overlay_entry big;
    big.bitmap = bitmap_of(4096, 4096);  // 64 MiB: the whole budget
    EXPECT_TRUE(store.set(0, big));
    EXPECT_EQ(store.bytes(), size_t(64) << 20);
    const uint32_t v1 = store.version();
    EXPECT_NE(v1, v0);
    overlay_entry one;
    one.bitmap = bitmap_of(1, 1);
    EXPECT_FALSE(store.set(1, one));  // one pixel more: refused, nothing changed
    EXPECT_EQ(store.version(), v1);
    EXPECT_FALSE(store[1].bitmap);
    EXPECT_TRUE(store.set(0, big));   // the same id again: the old bitmap goes
    EXPECT_TRUE(store.set(0, one));
    EXPECT_FALSE(store.set(1, big));  // the budget counts every id
    EXPECT_TRUE(store.set(1, one));
    EXPECT_EQ(store.bytes(), 8u);
    EXPECT_TRUE(store.set(1, overlay_entry{}));  // removed
    EXPECT_TRUE(store.set(1, overlay_entry{}));  // removing nothing is no fault
    EXPECT_EQ(store.bytes(), 4u);
    EXPECT_FALSE(store.set(-1, one));
    EXPECT_FALSE(store.set(kMaxOverlays, one));
}

TEST(OverlayPlan, WindowOverlaysKeepTheirPixelsAndPictureOverlaysScaleWithThePicture)
{
    overlay_entry o[kMaxOverlays];
    o[5] = entry(kOverlayWindow, 10, 30, 40, 20);
    o[2] = entry(kOverlayPicture, 100, 50, 100, 10, 200, 20, 128);  // drawn first: ids in order
    // A 640 x 360 picture in a 1280 x 720 window: picture pixels are 2 x 2 window pixels.
    const frame_plan p = plan_with(640, 360, 1280, 720, o);
    ASSERT_EQ(p.quad_count, 2);
    EXPECT_EQ(p.quads[0].texture, 2);
    expect_rect(p.quads[0].target, 200, 100, 400, 40);
    expect_span(p.quads[0], 0.0f, 1.0f, 0.0f, 1.0f);
    EXPECT_FLOAT_EQ(p.quads[0].opacity, 128.0f / 255.0f);
    EXPECT_EQ(p.quads[0].texture_width, 100);
    EXPECT_EQ(p.quads[0].texture_height, 10);
    EXPECT_EQ(p.quads[1].texture, 5);
    expect_rect(p.quads[1].target, 10, 30, 40, 20);
    expect_span(p.quads[1], 0.0f, 1.0f, 0.0f, 1.0f);
    EXPECT_FLOAT_EQ(p.quads[1].opacity, 1.0f);
    EXPECT_EQ(p.quads[1].bitmap, o[5].bitmap.get());

    // The same picture in a 320 x 200 window: a quarter across, 5/9 down (rounded to pixels).
    const frame_plan q = plan_with(640, 360, 320, 200, o);
    ASSERT_EQ(q.quad_count, 2);
    expect_rect(q.quads[0].target, 50, 28, 100, 11);  // 50/360*200 = 27.8; 70/360*200 = 38.9
    expect_rect(q.quads[1].target, 10, 30, 40, 20);
}

TEST(OverlayPlan, PictureCoordinatesAreThoseOfTheTransformedPicture)
{
    overlay_entry o[kMaxOverlays];
    o[0] = entry(kOverlayPicture, 0, 100, 360, 40);
    // Turned a quarter, a 640 x 360 frame shows as 360 x 640; in a 360 x 320 window its rows are
    // halved.
    picture_transform turned{};
    turned.rotation = 90;
    frame_plan p = plan_with(640, 360, 360, 320, o, renderer_caps{}, turned);
    ASSERT_EQ(p.quad_count, 1);
    expect_rect(p.quads[0].target, 0, 50, 360, 20);
    // Cropped to 320 x 180, the same frame shows its crop over 640 x 360: doubled.
    picture_transform cropped{};
    cropped.crop_x = 100;
    cropped.crop_y = 40;
    cropped.crop_width = 320;
    cropped.crop_height = 180;
    o[0] = entry(kOverlayPicture, 10, 20, 30, 10);
    p = plan_with(640, 360, 640, 360, o, renderer_caps{}, cropped);
    ASSERT_EQ(p.quad_count, 1);
    expect_rect(p.quads[0].target, 20, 40, 60, 20);
}

TEST(OverlayPlan, ClipsToTheWindowWithTheMatchingPartOfTheBitmap)
{
    overlay_entry o[kMaxOverlays];
    o[0] = entry(kOverlayWindow, -10, -5, 20, 10);  // its right and bottom halves show
    o[1] = entry(kOverlayWindow, 90, 95, 20, 10);   // its left and top halves
    o[2] = entry(kOverlayWindow, 100, 0, 20, 10);   // beside the window: nothing
    o[3] = entry(kOverlayWindow, -2000000000, 0, 20, 10);
    o[4] = entry(kOverlayWindow, 0, 0, 20, 10, 0, 0, 0);  // transparent: nothing to draw
    o[5] = entry(kOverlayWindow, 50, 50, 4, 4, 60, 8);    // stretched to 60 x 8, clipped at 100
    const frame_plan p = plan_with(100, 100, 100, 100, o);
    ASSERT_EQ(p.quad_count, 3);
    EXPECT_EQ(p.overlay_ids, 0x3Fu);  // the hidden ones too: their textures may stay
    expect_rect(p.quads[0].target, 0, 0, 10, 5);
    expect_span(p.quads[0], 0.5f, 1.0f, 0.5f, 1.0f);
    expect_rect(p.quads[1].target, 90, 95, 10, 5);
    expect_span(p.quads[1], 0.0f, 0.5f, 0.0f, 0.5f);
    EXPECT_EQ(p.quads[2].texture, 5);
    expect_rect(p.quads[2].target, 50, 50, 50, 8);
    expect_span(p.quads[2], 0.0f, 50.0f / 60.0f, 0.0f, 1.0f);

    // An empty window shows none.
    EXPECT_EQ(plan_with(100, 100, 0, 0, o).quad_count, 0);
    // Before the host's first picture, only the WINDOW ones.
    o[6] = entry(kOverlayPicture, 0, 0, 10, 10);
    frame_view v{int32_t(pixel_format::i420), 16, 12, {}, {}, 0, 0};
    frame_plan start = plan_frame(shape_of(v), 16, 12, 100, 100, renderer_caps{});
    plan_overlays(&start, o, renderer_caps{}, false);
    EXPECT_EQ(start.quad_count, 3);
    EXPECT_EQ(start.overlay_ids, 0x7Fu);
}

TEST(OverlayPlan, OnlyTheContentIsDrawnWhereTheWholeBitmapWouldBe)
{
    overlay_entry o[kMaxOverlays];
    // A 100 x 40 bitmap whose content is the 20 x 10 from (30, 20), at (10, 10) at its own size:
    // the content's pixels, its texture whole.
    o[0] = entry(kOverlayWindow, 10, 10, 100, 40);
    auto b = std::make_shared<overlay_bitmap>(*o[0].bitmap);
    b->content = plan_rect{30, 20, 20, 10};
    o[0].bitmap = b;
    // The same drawn at twice its size, and at 0.75: the content from 32.5 to 47.5 across and 25
    // to 32.5 down, grown to whole pixels, 32..48 and 25..33 (its texture reaching a little past
    // both ends: its own transparent edge).
    o[1] = o[0];
    o[1].w = 200;
    o[1].h = 80;
    o[2] = o[0];
    o[2].w = 75;
    o[2].h = 30;
    // An empty content draws nothing.
    o[3] = o[0];
    auto e = std::make_shared<overlay_bitmap>(*b);
    e->content = plan_rect{0, 0, 0, 0};
    o[3].bitmap = e;
    const frame_plan p = plan_with(320, 240, 320, 240, o);
    ASSERT_EQ(p.quad_count, 3);
    expect_rect(p.quads[0].target, 40, 30, 20, 10);
    expect_span(p.quads[0], 0.0f, 1.0f, 0.0f, 1.0f);
    EXPECT_EQ(p.quads[0].texture_width, 20);
    EXPECT_EQ(p.quads[0].texture_height, 10);
    expect_rect(p.quads[1].target, 70, 50, 40, 20);
    expect_span(p.quads[1], 0.0f, 1.0f, 0.0f, 1.0f);
    expect_rect(p.quads[2].target, 32, 25, 16, 8);
    expect_span(p.quads[2], -0.5f / 15.0f, 15.5f / 15.0f, 0.0f, 16.0f / 15.0f);
}

TEST(OverlayPlan, TexturesAtPowersOfTwoAndWithinTheLargest)
{
    overlay_entry o[kMaxOverlays];
    o[0] = entry(kOverlayWindow, 0, 0, 100, 50);
    o[1] = entry(kOverlayWindow, 0, 0, 300, 10);
    renderer_caps c;
    c.power_of_two = true;
    c.max_texture_width = c.max_texture_height = 256;
    const frame_plan p = plan_with(320, 240, 320, 240, o, c);
    ASSERT_EQ(p.quad_count, 1);  // 300 pixels need a 512 texture: beyond this renderer's
    EXPECT_EQ(p.quads[0].texture_width, 128);
    EXPECT_EQ(p.quads[0].texture_height, 64);
    expect_span(p.quads[0], 0.0f, 100.0f / 128.0f, 0.0f, 50.0f / 64.0f);
}
