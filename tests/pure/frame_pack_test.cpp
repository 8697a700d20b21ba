// The frame export's checks and packing: every refusal rule, strides per plane, NV12's
// interleaved chroma, odd sizes, RGB rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <limits>
#include <numeric>
#include <vector>

#include "frame_pack.h"

namespace {

// A frame whose every byte of every plane differs from its neighbours: value = plane * 64 +
// row * 7 + column * 3 (mod 256); the padding past each row holds 0xEE, which must never show.
struct TestFrame {
    std::vector<uint8_t> bytes[3];
    frame_view view{};

    TestFrame(pixel_format format, int w, int h, const int32_t strides[3], colour_space cs = colour_space::bt709,
              colour_range range = colour_range::full)
    {
        view.format = int32_t(format);
        view.width = w;
        view.height = h;
        view.colorspace = int32_t(cs);
        view.range = int32_t(range);
        const bool full_x = format == pixel_format::i444;
        const bool full_y = full_x || format == pixel_format::i422;
        const int cw = full_x ? w : (w + 1) / 2, ch = full_y ? h : (h + 1) / 2;
        const bool planar =
            format == pixel_format::i420 || format == pixel_format::i422 || format == pixel_format::i444;
        const int planes = planar ? 3 : format == pixel_format::nv12 ? 2 : 1;
        for (int p = 0; p < planes; ++p) {
            const int rows = p == 0 ? h : ch;
            const int row = format == pixel_format::rgb24 ? 3 * w
                            : format == pixel_format::bgra ? 4 * w
                            : p == 0                       ? w
                            : format == pixel_format::nv12 ? 2 * cw
                                                           : cw;
            bytes[p].assign(size_t(strides[p]) * size_t(rows), 0xEE);
            for (int r = 0; r < rows; ++r)
                for (int x = 0; x < row; ++x)
                    bytes[p][size_t(r) * size_t(strides[p]) + size_t(x)] = uint8_t(p * 64 + r * 7 + x * 3);
            view.planes[p] = bytes[p].data();
            view.strides[p] = strides[p];
        }
    }
    uint8_t at(int plane, int row, int x) const { return uint8_t(plane * 64 + row * 7 + x * 3); }
};

}  // namespace

TEST(FramePack, RefusesWhatDoesNotAddUp)
{
    const int32_t strides[3] = {64, 32, 32};
    TestFrame good(pixel_format::i420, 64, 48, strides);
    EXPECT_EQ(check_frame(good.view), frame_check::ok);

    auto with = [&](auto change) {
        frame_view v = good.view;
        change(v);
        return check_frame(v);
    };
    EXPECT_EQ(with([](frame_view& v) { v.format = 8; }), frame_check::bad_format);
    EXPECT_EQ(with([](frame_view& v) { v.format = -1; }), frame_check::bad_format);
    EXPECT_EQ(with([](frame_view& v) { v.colorspace = 3; }), frame_check::bad_colour);
    EXPECT_EQ(with([](frame_view& v) { v.colorspace = -1; }), frame_check::bad_colour);
    EXPECT_EQ(with([](frame_view& v) { v.range = 2; }), frame_check::bad_colour);
    EXPECT_EQ(with([](frame_view& v) { v.width = 0; }), frame_check::bad_size);
    EXPECT_EQ(with([](frame_view& v) { v.height = -48; }), frame_check::bad_size);
    EXPECT_EQ(with([](frame_view& v) { v.planes[2] = nullptr; }), frame_check::null_plane);
    EXPECT_EQ(with([](frame_view& v) { v.planes[0] = nullptr; }), frame_check::null_plane);
    EXPECT_EQ(with([](frame_view& v) { v.strides[0] = 63; }), frame_check::bad_stride);
    EXPECT_EQ(with([](frame_view& v) { v.strides[1] = 31; }), frame_check::bad_stride);
    EXPECT_EQ(with([](frame_view& v) { v.strides[2] = -32; }), frame_check::bad_stride);
    // A stride that would take the plane past the end of the address space.
    EXPECT_EQ(with([](frame_view& v) {
                  v.strides[0] = std::numeric_limits<int32_t>::max();
                  v.height = 4096;
                  v.planes[0] = reinterpret_cast<const uint8_t*>(uintptr_t(0) - 4096);
              }),
              frame_check::bad_stride);

    // The limits: 4096 a side, 4096 x 2160 pixels; 3840 x 2160 either way up is fine.
    EXPECT_EQ(with([](frame_view& v) { v.width = 3840, v.height = 2160; }), frame_check::bad_stride);  // strides short
    for (auto [w, h, ok] : {std::tuple{3840, 2160, true}, {2160, 3840, true}, {4096, 2160, true}, {4097, 16, false},
                            {16, 4097, false}, {4096, 2161, false}, {2161, 4096, false}}) {
        const int32_t big[3] = {w, (w + 1) / 2, (w + 1) / 2};
        frame_view v = good.view;
        v.width = w;
        v.height = h;
        for (int p = 0; p < 3; ++p)
            v.strides[p] = big[p];
        EXPECT_EQ(check_frame(v), ok ? frame_check::ok : frame_check::too_large) << w << "x" << h;
    }

    // NV12 reads two planes (the third may be anything), with chroma rows of 2 * ((w+1)/2).
    const int32_t nv12_strides[3] = {65, 66, 0};
    TestFrame nv12(pixel_format::nv12, 65, 5, nv12_strides);
    nv12.view.planes[2] = nullptr;
    EXPECT_EQ(check_frame(nv12.view), frame_check::ok);
    nv12.view.strides[1] = 65;
    EXPECT_EQ(check_frame(nv12.view), frame_check::bad_stride);

    // RGB frames ignore the colour fields, and need rows of 3 or 4 bytes a pixel.
    const int32_t rgb_strides[3] = {30, 0, 0};
    TestFrame rgb(pixel_format::rgb24, 10, 2, rgb_strides);
    rgb.view.colorspace = 99;
    rgb.view.range = -7;
    EXPECT_EQ(check_frame(rgb.view), frame_check::ok);
    rgb.view.format = int32_t(pixel_format::bgra);
    EXPECT_EQ(check_frame(rgb.view), frame_check::bad_stride);
}

// 1366 x 768 as a decoder aligns it to 32 bytes: luma stride 1376, chroma stride 704 (not 688).
TEST(FramePack, I420WithIndependentStridesPacksTight)
{
    const int32_t strides[3] = {1376, 704, 704};
    TestFrame f(pixel_format::i420, 1366, 768, strides);
    ASSERT_EQ(check_frame(f.view), frame_check::ok);
    const frame_shape s = shape_of(f.view);
    EXPECT_EQ(s.format, pixel_format::i420);
    EXPECT_EQ(s.colorspace, colour_space::bt709);
    EXPECT_EQ(s.range, colour_range::full);
    EXPECT_EQ(s.chroma_width, 683);
    EXPECT_EQ(s.chroma_height, 384);
    const packed_planes p = planes_of(s, 1366, 768);
    EXPECT_EQ(p.u, 1366u * 768);
    EXPECT_EQ(p.v, 1366u * 768 + 683 * 384);
    EXPECT_EQ(p.bytes, 1366u * 768 + 2 * 683 * 384);

    // Large enough to be written past the cache, in rows that start at every alignment: every
    // byte is checked, and the byte past the frame is left alone.
    std::vector<uint8_t> out(p.bytes + 1, 0x5A);
    ASSERT_EQ(pack_frame(out.data(), p.bytes, f.view), int64_t(p.bytes));
    std::vector<uint8_t> expected;
    for (int plane = 0; plane < 3; ++plane)
        for (int row = 0; row < (plane ? 384 : 768); ++row)
            for (int x = 0; x < (plane ? 683 : 1366); ++x)
                expected.push_back(f.at(plane, row, x));
    expected.push_back(0x5A);
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(pack_frame(out.data(), p.bytes - 1, f.view), -1);
}

TEST(FramePack, Nv12ChromaIsSplitIntoPlanes)
{
    for (auto [w, h] : {std::pair{641, 481}, {2, 2}, {1, 1}, {3, 1}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        const int32_t strides[3] = {w + 5, 2 * cw + 6, 0};
        TestFrame f(pixel_format::nv12, w, h, strides);
        const frame_shape s = shape_of(f.view);
        EXPECT_EQ(s.format, pixel_format::i420);
        const packed_planes p = planes_of(s, w, h);
        std::vector<uint8_t> out(p.bytes);
        ASSERT_EQ(pack_frame(out.data(), out.size(), f.view), int64_t(p.bytes));
        for (int row = 0; row < ch; ++row)
            for (int x = 0; x < cw; ++x) {
                ASSERT_EQ(out[p.u + size_t(row) * size_t(cw) + size_t(x)], f.at(1, row, 2 * x));
                ASSERT_EQ(out[p.v + size_t(row) * size_t(cw) + size_t(x)], f.at(1, row, 2 * x + 1));
            }
        EXPECT_EQ(out[size_t(h - 1) * size_t(w) + size_t(w - 1)], f.at(0, h - 1, w - 1));
    }
}

TEST(FramePack, RgbRowsKeepTheirOrder)
{
    for (pixel_format format : {pixel_format::rgb24, pixel_format::bgra}) {
        const int bpp = format == pixel_format::rgb24 ? 3 : 4;
        const int32_t strides[3] = {5 * bpp + 9, 0, 0};
        TestFrame f(format, 5, 3, strides);
        const frame_shape s = shape_of(f.view);
        EXPECT_EQ(s.format, format);
        EXPECT_EQ(s.stride, 5 * bpp);
        const packed_planes p = planes_of(s, 5, 3);
        EXPECT_EQ(p.bytes, size_t(15 * bpp));
        std::vector<uint8_t> out(p.bytes);
        ASSERT_EQ(pack_frame(out.data(), out.size(), f.view), int64_t(p.bytes));
        for (int row = 0; row < 3; ++row)
            for (int x = 0; x < 5 * bpp; ++x)
                ASSERT_EQ(out[size_t(row * 5 * bpp + x)], f.at(0, row, x));
    }
}

// The older pushes' layouts: chroma (w/2) x (h/2), RGB rows at multiples of 4 bytes, BT.601
// limited range.
TEST(FramePack, OlderPushesKeepTheirLayouts)
{
    const frame_shape yuv = legacy_yuv_shape(641, 481);
    EXPECT_EQ(yuv.chroma_width, 320);
    EXPECT_EQ(yuv.chroma_height, 240);
    EXPECT_EQ(yuv.colorspace, colour_space::bt601);
    EXPECT_EQ(yuv.range, colour_range::limited);
    EXPECT_EQ(planes_of(yuv, 641, 481).v, 641u * 481 + 320 * 240);
    const frame_shape rgb = legacy_rgb_shape(5);
    EXPECT_EQ(rgb.stride, 16);
    EXPECT_EQ(planes_of(rgb, 5, 2).bytes, 16u + 15);
}


// The 10-bit and the 4:2:2 and 4:4:4 formats: the rows each plane needs, the shape, and the
// packing (P010's U, V pairs of 16-bit samples split, every other plane copied row by row).
TEST(FramePack, DeepAndFullerChromaFormatsPackTheirOwnPlanes)
{
    // 3 x 3 frames with padded rows; sample bytes are literal.
    const uint8_t y16[3][8] = {{0x00, 0x01, 0x40, 0x02, 0xC0, 0xFF, 0xEE, 0xEE},
                               {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0xEE, 0xEE},
                               {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0xEE, 0xEE}};
    const uint8_t uv16[2][10] = {{0xA0, 0xA1, 0xB0, 0xB1, 0xA2, 0xA3, 0xB2, 0xB3, 0xEE, 0xEE},
                                 {0xA4, 0xA5, 0xB4, 0xB5, 0xA6, 0xA7, 0xB6, 0xB7, 0xEE, 0xEE}};
    frame_view p010{int32_t(pixel_format::p010), 3, 3, {y16[0], uv16[0], nullptr}, {8, 10, 0}, 2, 0};
    ASSERT_EQ(check_frame(p010), frame_check::ok);
    frame_shape s = shape_of(p010);
    EXPECT_EQ(s.format, pixel_format::i420);
    EXPECT_EQ(s.bits, 10);
    EXPECT_EQ(s.sample_shift, 6);
    EXPECT_EQ(s.chroma_width, 2);
    EXPECT_EQ(s.chroma_height, 2);
    packed_planes l = planes_of(s, 3, 3);
    EXPECT_EQ(l.u, 18u);
    EXPECT_EQ(l.v, 26u);
    EXPECT_EQ(l.bytes, 34u);
    std::vector<uint8_t> out(35, 0x5A);
    ASSERT_EQ(pack_frame(out.data(), 34, p010), 34);
    const std::vector<uint8_t> expected = {
        0x00, 0x01, 0x40, 0x02, 0xC0, 0xFF, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25,
        0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,  // U
        0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,  // V
        0x5A};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(pack_frame(out.data(), 33, p010), -1);
    // Rows of 2 bytes a sample: luma 6, interleaved chroma 8.
    frame_view bad = p010;
    bad.strides[0] = 5;
    EXPECT_EQ(check_frame(bad), frame_check::bad_stride);
    bad = p010;
    bad.strides[1] = 7;
    EXPECT_EQ(check_frame(bad), frame_check::bad_stride);
    bad.strides[1] = 8;
    EXPECT_EQ(check_frame(bad), frame_check::ok);

    // A row wide enough for the vector path and a tail: every U and V sample its own, many with
    // the top bit set (as P010's bright values have).
    {
        const int w = 37, cw = 19;
        std::vector<uint8_t> luma(size_t(w) * 2 * 2, 0), uv(size_t(cw) * 4 * 1 + 6, 0xEE);
        for (int x = 0; x < cw; ++x) {
            const unsigned uval = (0xFFC0u - unsigned(x) * 0x0AC0u) & 0xFFFFu, vval = unsigned(x) * 0x0D40u + 0x40u;
            uv[size_t(x) * 4] = uint8_t(uval);
            uv[size_t(x) * 4 + 1] = uint8_t(uval >> 8);
            uv[size_t(x) * 4 + 2] = uint8_t(vval);
            uv[size_t(x) * 4 + 3] = uint8_t(vval >> 8);
        }
        frame_view wide{int32_t(pixel_format::p010), w, 2, {luma.data(), uv.data(), nullptr}, {w * 2, cw * 4 + 6, 0}, 0, 0};
        ASSERT_EQ(check_frame(wide), frame_check::ok);
        const packed_planes wl = planes_of(shape_of(wide), w, 2);
        std::vector<uint8_t> packed(wl.bytes);
        ASSERT_EQ(pack_frame(packed.data(), packed.size(), wide), int64_t(wl.bytes));
        for (int x = 0; x < cw; ++x) {
            const unsigned u = unsigned(packed[wl.u + 2 * size_t(x)]) | unsigned(packed[wl.u + 2 * size_t(x) + 1]) << 8;
            const unsigned v = unsigned(packed[wl.v + 2 * size_t(x)]) | unsigned(packed[wl.v + 2 * size_t(x) + 1]) << 8;
            EXPECT_EQ(u, (0xFFC0u - unsigned(x) * 0x0AC0u) & 0xFFFFu) << x;
            EXPECT_EQ(v, unsigned(x) * 0x0D40u + 0x40u) << x;
        }
    }

    // I010 as I420 with 2-byte samples, the value in the low bits: packed moved to the top bits,
    // as P010 holds them (1023 -> 0xFFC0, 1 -> 0x0040, 512 -> 0x8000).
    const uint8_t u16[2][4] = {{0xFF, 0x03, 0x01, 0x00}, {0x00, 0x02, 0x55, 0x01}};
    const uint8_t v16[2][6] = {{0x10, 0x00, 0x00, 0x01, 0xEE, 0xEE}, {0xAA, 0x02, 0x3F, 0x00, 0xEE, 0xEE}};
    frame_view i010{int32_t(pixel_format::i010), 3, 3, {y16[0], u16[0], v16[0]}, {8, 4, 6}, 1, 1};
    ASSERT_EQ(check_frame(i010), frame_check::ok);
    s = shape_of(i010);
    EXPECT_EQ(s.bits, 10);
    EXPECT_EQ(s.sample_shift, 6);
    ASSERT_EQ(pack_frame(out.data(), 34, i010), 34);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 18, out.begin() + 34),
              (std::vector<uint8_t>{0xC0, 0xFF, 0x40, 0x00, 0x00, 0x80, 0x40, 0x55,    // U: 1023, 1, 512, 341
                                    0x00, 0x04, 0x00, 0x40, 0x80, 0xAA, 0xC0, 0x0F}));  // V: 16, 256, 682, 63
    i010.strides[1] = 3;
    EXPECT_EQ(check_frame(i010), frame_check::bad_stride);
    // A row long enough for the vector path, with a tail.
    {
        std::vector<uint8_t> row(2 * 21 + 4, 0xEE), chroma(2 * 11, 0);
        for (int x = 0; x < 21; ++x) {
            row[2 * size_t(x)] = uint8_t(x * 49);
            row[2 * size_t(x) + 1] = uint8_t(x % 4);
        }
        frame_view wide{
            int32_t(pixel_format::i010), 21, 1, {row.data(), chroma.data(), chroma.data()}, {46, 22, 22}, 1, 1};
        ASSERT_EQ(check_frame(wide), frame_check::ok);
        std::vector<uint8_t> packed(planes_of(shape_of(wide), 21, 1).bytes);
        ASSERT_GT(pack_frame(packed.data(), packed.size(), wide), 0);
        for (int x = 0; x < 21; ++x)
            EXPECT_EQ(unsigned(packed[2 * size_t(x)]) | unsigned(packed[2 * size_t(x) + 1]) << 8,
                      ((unsigned(x * 49) & 0xFF) | unsigned(x % 4) << 8) << 6)
                << x;
    }

    // I422: chroma (w+1)/2 x h; I444: w x h. Each chroma plane must hold all its rows.
    const int32_t strides422[3] = {4, 2, 3};
    TestFrame f422(pixel_format::i422, 3, 3, strides422);
    s = shape_of(f422.view);
    EXPECT_EQ(s.bits, 8);
    EXPECT_EQ(s.chroma_width, 2);
    EXPECT_EQ(s.chroma_height, 3);
    EXPECT_EQ(s.chroma_step_x, 2);
    EXPECT_EQ(s.chroma_step_y, 1);
    const int32_t strides444[3] = {3, 4, 3};
    TestFrame f444(pixel_format::i444, 3, 3, strides444);
    s = shape_of(f444.view);
    EXPECT_EQ(s.chroma_width, 3);
    EXPECT_EQ(s.chroma_height, 3);
    EXPECT_EQ(s.chroma_step_x, 1);
    EXPECT_EQ(s.chroma_step_y, 1);
    l = planes_of(s, 3, 3);
    EXPECT_EQ(l.bytes, 27u);
    ASSERT_EQ(pack_frame(out.data(), out.size(), f444.view), 27);
    for (int plane = 0; plane < 3; ++plane)
        for (int row = 0; row < 3; ++row)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(out[size_t(plane * 9 + row * 3 + x)], f444.at(plane, row, x)) << plane << row << x;
    f444.view.strides[1] = 2;
    EXPECT_EQ(check_frame(f444.view), frame_check::bad_stride);
}
