// Plane packing and the push refusal rules.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "kel_vout_global.h"
#include "plane_pack.h"

namespace {

// A plane whose byte at (x, y) is a function of the plane tag, x and y.
std::vector<uint8_t> plane(int width, int height, int stride, uint8_t tag)
{
    std::vector<uint8_t> p(size_t(stride) * size_t(height), 0xEE);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[size_t(y) * size_t(stride) + size_t(x)] = uint8_t(tag + 7 * x + 13 * y);
    return p;
}

void expect_plane(const std::vector<uint8_t>& dst, size_t offset, int width, int height, uint8_t tag)
{
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(dst[offset + size_t(y) * size_t(width) + size_t(x)], uint8_t(tag + 7 * x + 13 * y))
                << "x=" << x << " y=" << y << " tag=" << int(tag);
}

}  // namespace

TEST(PlanePack, ContiguousFrameIsCopiedInOnePiece)
{
    const int w = 1920, h = 1080;
    std::vector<uint8_t> src(size_t(w) * h * 3 / 2);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = uint8_t(i * 31 + 7);
    ASSERT_EQ(check_yuv_push(src.data(), nullptr, nullptr, w, w, h, VOUT_YUV420), push_check::ok);
    std::vector<uint8_t> dst(size_t(staging_capacity(VOUT_YUV420)), 0);
    EXPECT_EQ(pack_yuv420(dst.data(), dst.size(), src.data(), nullptr, nullptr, w, w, h), 3110400);
    EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin()));
    EXPECT_EQ(dst[3110400], 0);
}

TEST(PlanePack, StridedPlanesArePackedWithoutGaps)
{
    struct Case {
        int w, h, linesize;
        int64_t bytes;
        size_t u_offset, v_offset;
    };
    const Case cases[] = {
        {1920, 1080, 2048, 3110400, 2073600, 2592000},
        {1920, 1080, 1920, 3110400, 2073600, 2592000},  // same stride, chroma given
        {5, 3, 5, 22, 15, 17},                          // odd: 1 chroma row of 2 bytes
        {5, 3, 8, 22, 15, 17},
        {1, 1, 1, 1, 1, 1},  // no chroma rows at all
        {641, 481, 672, 462481, 308321, 385121},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " linesize " << c.linesize);
        const auto y = plane(c.w, c.h, c.linesize, 10);
        const auto u = plane(c.w / 2, c.h / 2, c.linesize / 2, 100);
        const auto v = plane(c.w / 2, c.h / 2, c.linesize / 2, 200);
        ASSERT_EQ(check_yuv_push(y.data(), u.data(), v.data(), c.linesize, c.w, c.h, VOUT_YUV420), push_check::ok);
        std::vector<uint8_t> dst(size_t(c.bytes), 0x55);
        ASSERT_EQ(pack_yuv420(dst.data(), dst.size(), y.data(), u.data(), v.data(), c.linesize, c.w, c.h), c.bytes);
        expect_plane(dst, 0, c.w, c.h, 10);
        expect_plane(dst, c.u_offset, c.w / 2, c.h / 2, 100);
        expect_plane(dst, c.v_offset, c.w / 2, c.h / 2, 200);
        // Whatever the chroma rows do not cover at the end stays as it was.
        const size_t written = c.v_offset + size_t(c.w / 2) * size_t(c.h / 2);
        for (size_t i = written; i < dst.size(); ++i)
            EXPECT_EQ(dst[i], 0x55) << i;
    }
}

TEST(PlanePack, PackingRefusesADestinationTooSmall)
{
    const auto y = plane(16, 16, 16, 1);
    std::vector<uint8_t> dst(383);
    EXPECT_EQ(pack_yuv420(dst.data(), dst.size(), y.data(), nullptr, nullptr, 16, 16, 16), -1);
}

TEST(PushRules, YuvPushesAreRefusedForEveryUnsafeShape)
{
    static const uint8_t b[4] = {};
    const uint8_t* p = b;
    struct Case {
        const char* what;
        const uint8_t *y, *u, *v;
        int linesize, w, h, format;
        push_check expected;
    };
    const Case cases[] = {
        {"valid planar", p, p, p, 64, 64, 48, VOUT_YUV420, push_check::ok},
        {"valid contiguous", p, nullptr, nullptr, 64, 64, 48, VOUT_YUV420, push_check::ok},
        {"largest frame", p, p, p, 1920, 1920, 1440, VOUT_YUV420, push_check::ok},
        {"null luma", nullptr, p, p, 64, 64, 48, VOUT_YUV420, push_check::null_buffer},
        {"zero width", p, p, p, 64, 0, 48, VOUT_YUV420, push_check::bad_size},
        {"negative height", p, p, p, 64, 64, -2, VOUT_YUV420, push_check::bad_size},
        {"zero linesize", p, p, p, 0, 64, 48, VOUT_YUV420, push_check::bad_size},
        {"negative linesize", p, p, p, -64, 64, 48, VOUT_YUV420, push_check::bad_size},
        {"linesize below width", p, p, p, 63, 64, 48, VOUT_YUV420, push_check::bad_stride},
        {"only u null", p, nullptr, p, 64, 64, 48, VOUT_YUV420, push_check::bad_planes},
        {"only v null", p, p, nullptr, 64, 64, 48, VOUT_YUV420, push_check::bad_planes},
        {"contiguous with padding", p, nullptr, nullptr, 80, 64, 48, VOUT_YUV420, push_check::bad_planes},
        {"above capacity", p, p, p, 1920, 1920, 1441, VOUT_YUV420, push_check::too_large},
        {"overflowing size", p, p, p, INT_MAX, INT_MAX, INT_MAX, VOUT_YUV420, push_check::too_large},
        {"planar to rgb instance", p, p, p, 64, 64, 48, VOUT_RGB, push_check::wrong_format},
    };
    for (const Case& c : cases)
        EXPECT_EQ(check_yuv_push(c.y, c.u, c.v, c.linesize, c.w, c.h, c.format), c.expected) << c.what;
}

TEST(PushRules, PackedPushesMustHoldWhatTheRendererReads)
{
    static const uint8_t b[4] = {};
    const uint8_t* p = b;
    struct Case {
        const char* what;
        const uint8_t* buf;
        int bufsize, w, h, format;
        push_check expected;
    };
    const Case cases[] = {
        // RGB: rows of w * 3 bytes starting at multiples of 4.
        {"rgb 4x2 exact", p, 24, 4, 2, VOUT_RGB, push_check::ok},
        {"rgb 5x2 padded rows", p, 31, 5, 2, VOUT_RGB, push_check::ok},  // 16 + 15
        {"rgb 5x2 tightly packed", p, 30, 5, 2, VOUT_RGB, push_check::short_buffer},
        {"rgb 1920x1440", p, 8294400, 1920, 1440, VOUT_RGB, push_check::ok},
        {"rgb above capacity", p, 8294401, 1920, 1440, VOUT_RGB, push_check::too_large},
        {"rgb size larger than frame", p, 100, 2, 2, VOUT_RGB, push_check::ok},
        {"rgb overflowing dimensions", p, 8294400, INT_MAX, INT_MAX, VOUT_RGB, push_check::too_large},
        // A YUV instance reads a packed 4:2:0 frame.
        {"yuv packed exact", p, 6144, 64, 64, VOUT_YUV420, push_check::ok},
        {"yuv packed short", p, 6143, 64, 64, VOUT_YUV420, push_check::short_buffer},
        {"yuv packed above capacity", p, 4147201, 1920, 1440, VOUT_YUV420, push_check::too_large},
        {"yuv sized as rgb", p, 64 * 64 * 3, 64, 64, VOUT_YUV420, push_check::ok},
        // Arguments.
        {"null buffer", nullptr, 24, 4, 2, VOUT_RGB, push_check::null_buffer},
        {"zero size", p, 0, 4, 2, VOUT_RGB, push_check::bad_size},
        {"negative size", p, -24, 4, 2, VOUT_RGB, push_check::bad_size},
        {"zero width", p, 24, 0, 2, VOUT_RGB, push_check::bad_size},
        {"negative height", p, 24, 4, -2, VOUT_RGB, push_check::bad_size},
    };
    for (const Case& c : cases)
        EXPECT_EQ(check_packed_push(c.buf, c.bufsize, c.w, c.h, c.format), c.expected) << c.what;
}

TEST(PushRules, CapacityFollowsTheSourceFormat)
{
    EXPECT_EQ(staging_capacity(VOUT_YUV420), 4147200);
    EXPECT_EQ(staging_capacity(VOUT_RGB), 8294400);
    EXPECT_EQ(staging_capacity(7), 8294400);  // anything but YUV is packed RGB
}

// Where the render threads read each plane of a packed frame: Y, then U and V of (w/2) x (h/2).
// 641 x 481: 308321 luma bytes, 320 x 240 = 76800 per chroma plane.
TEST(PlanePack, PlanesLieWhereThePushPackedThem)
{
    struct Case {
        int w, h;
        size_t u, v, bytes;
        int cw, ch;
    };
    const Case cases[] = {
        {640, 360, 230400, 288000, 345600, 320, 180}, {641, 481, 308321, 385121, 461921, 320, 240},
        {320, 241, 77120, 96320, 115520, 160, 120},   {2, 2, 4, 5, 6, 1, 1},
        {1, 1, 1, 1, 1, 0, 0},                        {5, 3, 15, 17, 19, 2, 1},
    };
    for (const Case& c : cases) {
        const yuv420_layout l = yuv420_planes(c.w, c.h);
        EXPECT_EQ(l.y, 0u);
        EXPECT_EQ(l.u, c.u) << c.w << "x" << c.h;
        EXPECT_EQ(l.v, c.v) << c.w << "x" << c.h;
        EXPECT_EQ(l.bytes, c.bytes) << c.w << "x" << c.h;
        EXPECT_EQ(l.chroma_width, c.cw);
        EXPECT_EQ(l.chroma_height, c.ch);
        // The packed frame a push makes holds every plane.
        EXPECT_LE(int64_t(l.bytes), yuv420_frame_bytes(c.w, c.h));
    }
}
