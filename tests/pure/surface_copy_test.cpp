// Copies into and out of locked Direct3D surfaces: plane order, pitch and bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "surface_copy.h"

namespace {

const uint8_t kUntouched = 0xEE;

uint8_t sample(uint8_t tag, int x, int y)
{
    return uint8_t(tag + 7 * x + 13 * y);
}

// Tightly packed planes whose bytes tell plane, column and row apart.
struct Frame {
    Frame(int w, int h) : w(w), h(h), y(size_t(w) * h), u(size_t(w / 2) * (h / 2)), v(u.size())
    {
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                y[size_t(r) * w + c] = sample(1, c, r);
        for (int r = 0; r < h / 2; ++r)
            for (int c = 0; c < w / 2; ++c) {
                u[size_t(r) * (w / 2) + c] = sample(100, c, r);
                v[size_t(r) * (w / 2) + c] = sample(200, c, r);
            }
    }
    int w, h;
    std::vector<uint8_t> y, u, v;
};

// One past the last byte of a YV12 surface of sw x sh at `pitch`: the end of its last U row.
// The buffers below end exactly there, so that the sanitizer catches a single byte too many.
size_t yv12_end(int sw, int sh, int pitch)
{
    const size_t luma = size_t(pitch) * sh;
    return luma + luma / 4 + (size_t(sh / 2 - 1) * pitch) / 2 + size_t(sw / 2);
}

}  // namespace

TEST(SurfaceCopy, Yv12SurfacesArePaddedToMultiplesOfFour)
{
    struct Case {
        int w, h, sw, sh;
    };
    const Case cases[] = {{98, 60, 104, 60},        {101, 61, 108, 64}, {1280, 720, 1284, 720},
                          {1919, 1079, 1924, 1080}, {1, 1, 8, 4},       {4, 2, 8, 4}};
    for (const Case& c : cases) {
        int sw = 0, sh = 0;
        yv12_surface_size(c.w, c.h, &sw, &sh);
        EXPECT_EQ(sw, c.sw) << c.w << "x" << c.h;
        EXPECT_EQ(sh, c.sh) << c.w << "x" << c.h;
    }
}

TEST(SurfaceCopy, Yv12PlanesLandAtThePitchWithVBeforeU)
{
    struct Case {
        int w, h, pitch;
    };
    // Pitches equal to the surface width (as this stack's driver gives them), larger ones (as
    // drivers with 64-byte rows give them), and odd frames, whose last chroma row and column
    // repeat the one before.
    const Case cases[] = {{98, 60, 104},   {101, 61, 108}, {130, 70, 192}, {1280, 720, 1344},
                          {64, 48, 68},    {5, 3, 12},     {2, 2, 8},      {7, 5, 13}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " pitch " << c.pitch);
        int sw = 0, sh = 0;
        yv12_surface_size(c.w, c.h, &sw, &sh);
        ASSERT_GE(c.pitch, sw);
        const Frame f(c.w, c.h);
        std::vector<uint8_t> surface(yv12_end(sw, sh, c.pitch), kUntouched);
        copy_yuv420_to_yv12(surface.data(), c.pitch, sw, sh, f.y.data(), f.u.data(), f.v.data(), c.w, c.h);

        for (int r = 0; r < sh; ++r)
            for (int x = 0; x < c.pitch && size_t(r) * c.pitch + x < surface.size(); ++x) {
                const uint8_t want =
                    x < sw ? sample(1, std::min(x, c.w - 1), std::min(r, c.h - 1)) : kUntouched;
                ASSERT_EQ(surface[size_t(r) * c.pitch + x], want) << "Y row " << r << " byte " << x;
            }
        const size_t luma = size_t(c.pitch) * sh;
        const size_t v_start = luma, u_start = luma + luma / 4;
        const int cw = c.w / 2, ch = c.h / 2, scw = sw / 2, sch = sh / 2;
        for (int r = 0; r < sch; ++r)
            for (int x = 0; x < scw; ++x) {
                // The last padding sample holds the next row's first, the rest repeat the last.
                const bool seam = x == scw - 1 && r + 1 < sch;
                const int sx = seam ? 0 : std::min(x, cw - 1);
                const int sy = std::min(seam ? r + 1 : r, ch - 1);
                const size_t at = (size_t(r) * c.pitch) / 2 + x;
                ASSERT_EQ(surface[v_start + at], sample(200, sx, sy)) << "V " << x << "," << r;
                ASSERT_EQ(surface[u_start + at], sample(100, sx, sy)) << "U " << x << "," << r;
            }
        if (c.pitch / 2 > sw / 2) {
            EXPECT_EQ(surface[v_start + sw / 2], kUntouched) << "chroma padding";
        }
    }
}

TEST(SurfaceCopy, TheWorkedExampleOfAPaddedHdSurface)
{
    // 1280 x 720 in a 1280 x 720 surface at a pitch of 1344: V starts at 1344 * 720, U
    // 1344 * 720 / 4 after it, chroma rows 672 bytes apart.
    const Frame f(1280, 720);
    std::vector<uint8_t> surface(yv12_end(1280, 720, 1344), kUntouched);
    copy_yuv420_to_yv12(surface.data(), 1344, 1280, 720, f.y.data(), f.u.data(), f.v.data(), 1280, 720);
    EXPECT_EQ(surface[1344], sample(1, 0, 1));
    EXPECT_EQ(surface[1280], kUntouched);
    EXPECT_EQ(surface[967680], sample(200, 0, 0));
    EXPECT_EQ(surface[967680 + 672], sample(200, 0, 1));
    EXPECT_EQ(surface[967680 + 241920], sample(100, 0, 0));
    EXPECT_EQ(surface[967680 + 241920 + 672 * 359 + 639], sample(100, 639, 359));
}

TEST(SurfaceCopy, FramesWithoutChromaComeOutGrey)
{
    for (auto [w, h] : {std::pair{1, 1}, std::pair{1, 6}, std::pair{6, 1}}) {
        int sw = 0, sh = 0;
        yv12_surface_size(w, h, &sw, &sh);
        const Frame f(w, h);
        std::vector<uint8_t> surface(yv12_end(sw, sh, sw), kUntouched);
        copy_yuv420_to_yv12(surface.data(), sw, sw, sh, f.y.data(), f.u.data(), f.v.data(), w, h);
        const size_t luma = size_t(sw) * sh;
        for (size_t i = luma; i < surface.size(); ++i)
            ASSERT_EQ(surface[i], 0x80) << w << "x" << h << " byte " << i;
        EXPECT_EQ(surface[luma - 1], sample(1, w - 1, h - 1));
        EXPECT_EQ(surface[sw - 1], sample(1, w - 1, 0));
    }
}

TEST(SurfaceCopy, Yv12CopyRefusesBadSizes)
{
    const Frame f(8, 4);
    std::vector<uint8_t> surface(256, kUntouched);
    copy_yuv420_to_yv12(surface.data(), 7, 8, 4, f.y.data(), f.u.data(), f.v.data(), 8, 4);  // pitch < width
    copy_yuv420_to_yv12(surface.data(), 8, 8, 2, f.y.data(), f.u.data(), f.v.data(), 8, 4);  // surface too small
    copy_yuv420_to_yv12(surface.data(), 8, 8, 4, f.y.data(), f.u.data(), f.v.data(), 0, 4);
    copy_yuv420_to_yv12(surface.data(), 8, 8, 4, f.y.data(), f.u.data(), f.v.data(), 8, -1);
    EXPECT_TRUE(std::all_of(surface.begin(), surface.end(), [](uint8_t b) { return b == kUntouched; }));
}

TEST(SurfaceCopy, PackedRgbBecomesOpaqueBgrxRowsAtThePitch)
{
    for (int w : {5, 4, 1, 33}) {
        const int h = 3, stride = (w * 3 + 3) / 4 * 4, pitch = w * 4 + 8;
        SCOPED_TRACE(w);
        // Rows at multiples of 4 bytes; the last row ends at its last pixel.
        std::vector<uint8_t> rgb(size_t(stride) * (h - 1) + size_t(w) * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    rgb[size_t(y) * stride + size_t(x) * 3 + c] = sample(uint8_t(50 * c), x, y);
        std::vector<uint8_t> surface(size_t(pitch) * (h - 1) + size_t(w) * 4, kUntouched);
        copy_rgb_to_xrgb(surface.data(), pitch, rgb.data(), w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t* px = &surface[size_t(y) * pitch + size_t(x) * 4];
                EXPECT_EQ(px[0], sample(100, x, y));  // blue
                EXPECT_EQ(px[1], sample(50, x, y));   // green
                EXPECT_EQ(px[2], sample(0, x, y));    // red
                EXPECT_EQ(px[3], 0xFF);
            }
            if (y + 1 < h) {
                EXPECT_EQ(surface[size_t(y) * pitch + size_t(w) * 4], kUntouched);
            }
        }
    }
}

TEST(SurfaceCopy, RgbCopyRefusesANarrowPitch)
{
    std::vector<uint8_t> rgb(64, 1), surface(64, kUntouched);
    copy_rgb_to_xrgb(surface.data(), 15, rgb.data(), 4, 2);
    EXPECT_TRUE(std::all_of(surface.begin(), surface.end(), [](uint8_t b) { return b == kUntouched; }));
}

TEST(SurfaceCopy, ReadBackGivesTopDownRgbAndBlackOutsideTheSurface)
{
    const int src_w = 3, src_h = 2, pitch = 16;
    std::vector<uint8_t> surface(size_t(pitch) * src_h, kUntouched);
    for (int y = 0; y < src_h; ++y)
        for (int x = 0; x < src_w; ++x) {
            uint8_t* px = &surface[size_t(y) * pitch + size_t(x) * 4];
            px[0] = sample(2, x, y);  // blue
            px[1] = sample(1, x, y);  // green
            px[2] = sample(0, x, y);  // red
            px[3] = 0;
        }
    const int w = 4, h = 3;  // larger than the surface: the window grew since the device was made
    std::vector<uint8_t> rgb(size_t(w) * h * 3, kUntouched);
    copy_xrgb_to_rgb(rgb.data(), w, h, surface.data(), pitch, src_w, src_h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const uint8_t want = x < src_w && y < src_h ? sample(uint8_t(c), x, y) : 0;
                EXPECT_EQ(rgb[(size_t(y) * w + x) * 3 + c], want) << x << "," << y << " channel " << c;
            }

    std::vector<uint8_t> small(2 * 1 * 3, kUntouched);  // smaller than the surface
    copy_xrgb_to_rgb(small.data(), 2, 1, surface.data(), pitch, src_w, src_h);
    EXPECT_EQ(small[3], sample(0, 1, 0));
}
