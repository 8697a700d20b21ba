// YCbCr to RGB coefficients and the processor conversion. Platform-free.
#include "yuv_convert.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>

namespace {

// Frames from this many pixels on are converted on several threads: a thread starts in well under
// a millisecond, and a quarter of a megapixel takes tens of them.
const size_t kBandedPixels = size_t(1) << 18;
const int kMaxBands = 4;
std::atomic<int> g_bands_for_testing{0};

// rows(first, end) over 0..h, in bands on up to four threads (the caller's one of them) where a
// frame has enough pixels to pay for starting them; a band whose thread cannot be started is
// done on the caller's, after its own. Every band has ended when this returns; nothing here
// throws (rows must not either).
template <typename Rows>
void in_row_bands(int w, int h, const Rows& rows)
{
    const int forced = g_bands_for_testing.load();
    const int processors = int(std::min(std::max(std::thread::hardware_concurrency(), 1u), unsigned(kMaxBands)));
    const int bands = forced > 0                                 ? std::min(forced, kMaxBands)
                      : size_t(w) * size_t(h) < kBandedPixels ? 1
                                                                 : processors;
    auto start = [h, bands](int b) { return int(int64_t(h) * b / bands); };
    std::thread threads[kMaxBands];  // not started: no resources
    for (int b = 1; b < bands; ++b) {
        try {
            threads[b] = std::thread([&rows, first = start(b), end = start(b + 1)] { rows(first, end); });
        } catch (...) {  // no thread (or no memory for one): the band is done below
        }
    }
    rows(0, start(1));
    for (int b = 1; b < bands; ++b) {
        if (threads[b].joinable())
            threads[b].join();
        else
            rows(start(b), start(b + 1));
    }
}

}  // namespace

void set_conversion_bands_for_testing(int bands)
{
    g_bands_for_testing.store(bands);
}

namespace {

// The luma weights of red and blue of each colour space (ITU-R BT.601, BT.709, BT.2020).
struct luma_weights {
    double kr, kb;
};
luma_weights weights_of(colour_space space)
{
    switch (space) {
    case colour_space::bt709:
        return {0.2126, 0.0722};
    case colour_space::bt2020:
        return {0.2627, 0.0593};
    default:
        return {0.299, 0.114};
    }
}

// 16.16 fixed point of a coefficient.
int fixed(double v)
{
    return int(std::lround(v * 65536.0));
}

uint8_t clamp_round(int v16)
{
    const int v = (v16 + 32768) >> 16;
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The coefficients in fixed point; chroma arrives in 1/16 steps (interpolated, not rounded).
struct fixed_coefficients {
    int y, y_offset, rv, gu, gv, bu;
    explicit fixed_coefficients(const yuv_coefficients& k)
        : y(fixed(k.y)), y_offset(int(k.y_offset)), rv(fixed(k.rv)), gu(fixed(k.gu)), gv(fixed(k.gv)), bu(fixed(k.bu))
    {
    }
    void convert16(int luma, int u16, int v16, uint8_t* rgb) const
    {
        const int yy = (luma - y_offset) * y;
        const int cu = u16 - 128 * 16;
        const int cv = v16 - 128 * 16;
        rgb[0] = clamp_round(yy + rv * cv / 16);
        rgb[1] = clamp_round(yy - (gu * cu + gv * cv) / 16);
        rgb[2] = clamp_round(yy + bu * cu / 16);
    }
};

}  // namespace

yuv_coefficients yuv_coefficients_for(colour_space space, colour_range range)
{
    const luma_weights w = weights_of(space);
    const double kg = 1.0 - w.kr - w.kb;
    const bool limited = range != colour_range::full;
    const double c = limited ? 255.0 / 224.0 : 1.0;
    yuv_coefficients k;
    k.y = limited ? 255.0 / 219.0 : 1.0;
    k.y_offset = limited ? 16.0 : 0.0;
    k.rv = 2.0 * (1.0 - w.kr) * c;
    k.bu = 2.0 * (1.0 - w.kb) * c;
    k.gu = 2.0 * w.kb * (1.0 - w.kb) / kg * c;
    k.gv = 2.0 * w.kr * (1.0 - w.kr) / kg * c;
    return k;
}

void yuv_matrix(const yuv_coefficients& k, float m[3][4])
{
    const double half = 128.0 / 255.0, offset = k.y_offset / 255.0;
    const double rows[3][3] = {{k.y, 0.0, k.rv}, {k.y, -k.gu, -k.gv}, {k.y, k.bu, 0.0}};
    for (int r = 0; r < 3; ++r) {
        m[r][0] = float(rows[r][0]);
        m[r][1] = float(rows[r][1]);
        m[r][2] = float(rows[r][2]);
        m[r][3] = float(-rows[r][0] * offset - (rows[r][1] + rows[r][2]) * half);
    }
}

void yuv_shader_constants(colour_space space, colour_range range, float c[4][4])
{
    float m[3][4];
    yuv_matrix(yuv_coefficients_for(space, range), m);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j)
            c[i][j] = m[j][i];
        c[i][3] = i == 3 ? 1.0f : 0.0f;
    }
}

void yuv_matrix(const frame_shape& shape, double texel_max, float m[3][4])
{
    const yuv_coefficients k = yuv_coefficients_for(shape.colorspace, shape.range);
    const bool limited = shape.range != colour_range::full;
    const int bits = shape.bits > 8 ? shape.bits : 8;
    const double code_max = double((1 << bits) - 1);
    const double scale = double(1 << (bits - 8));  // codes per 8-bit step
    // On codes: R = a * code + b. Limited range steps as 8 bits do, scaled; full range spans
    // the depth's own full scale.
    const double per_code = limited ? 1.0 / (255.0 * scale) : 1.0 / code_max;
    const double half = limited ? 128.0 / 255.0 : 128.0 * scale / code_max;
    const double offset = limited ? k.y_offset / 255.0 : 0.0;
    const double read = texel_max / double(1 << shape.sample_shift);  // codes per unit of t
    const double rows[3][3] = {{k.y, 0.0, k.rv}, {k.y, -k.gu, -k.gv}, {k.y, k.bu, 0.0}};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            m[r][c] = float(rows[r][c] * per_code * read);
        m[r][3] = float(-rows[r][0] * offset - (rows[r][1] + rows[r][2]) * half);
    }
}

void yuv_shader_constants(const frame_shape& shape, double texel_max, float c[4][4])
{
    float m[3][4];
    yuv_matrix(shape, texel_max, m);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j)
            c[i][j] = m[j][i];
        c[i][3] = i == 3 ? 1.0f : 0.0f;
    }
}

void yuv_to_rgb(const yuv_coefficients& k, uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3])
{
    fixed_coefficients(k).convert16(y, 16 * u, 16 * v, rgb);
}

// Chroma sample i sits between luma samples 2i and 2i+1 (in both directions), so luma sample x
// takes 3/4 of chroma sample x/2 and 1/4 of its neighbour on x's side, as a bilinear filter
// would; indices past the plane repeat its edge (odd sizes).
bool yuv420_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h, int cw, int ch,
                   const yuv_coefficients& k, uint8_t* dst, size_t dst_size)
{
    if (w <= 0 || h <= 0 || cw < 0 || ch < 0 || cw > (w + 1) / 2 || ch > (h + 1) / 2 ||
        size_t(w) * size_t(h) * 3 > dst_size)
        return false;
    const fixed_coefficients f(k);
    auto clamp = [](int i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : i; };
    for (int row = 0; row < h; ++row) {
        const uint8_t* yrow = ybuf + size_t(row) * size_t(w);
        uint8_t* out = dst + size_t(row) * size_t(w) * 3;
        if (cw == 0 || ch == 0) {  // no chroma at all: grey
            for (int x = 0; x < w; ++x)
                f.convert16(yrow[x], 128 * 16, 128 * 16, out + size_t(x) * 3);
            continue;
        }
        const int near_row = clamp(row / 2, ch), far_row = clamp(row % 2 ? row / 2 + 1 : row / 2 - 1, ch);
        const uint8_t* un = ubuf + size_t(near_row) * size_t(cw);
        const uint8_t* uf = ubuf + size_t(far_row) * size_t(cw);
        const uint8_t* vn = vbuf + size_t(near_row) * size_t(cw);
        const uint8_t* vf = vbuf + size_t(far_row) * size_t(cw);
        for (int x = 0; x < w; ++x) {
            const int n = clamp(x / 2, cw), fa = clamp(x % 2 ? x / 2 + 1 : x / 2 - 1, cw);
            const int u16 = 9 * un[n] + 3 * un[fa] + 3 * uf[n] + uf[fa];
            const int v16 = 9 * vn[n] + 3 * vn[fa] + 3 * vf[n] + vf[fa];
            f.convert16(yrow[x], u16, v16, out + size_t(x) * 3);
        }
    }
    return true;
}

namespace {

// One plane's samples as codes (8-bit, or 16-bit little-endian shifted), in float.
struct plane_reader {
    const uint8_t* base;
    int width;
    int bytes;
    int shift;
    float at(int x, int y) const
    {
        const size_t i = (size_t(y) * size_t(width) + size_t(x)) * size_t(bytes);
        if (bytes == 1)
            return float(base[i]);
        return float((unsigned(base[i]) | unsigned(base[i + 1]) << 8) >> shift);
    }
};

// Where luma sample x finds its chroma along one direction: the nearer and the farther chroma
// sample and the weight of the nearer one (3/4 for a subsampled direction, 1 for a full one).
struct chroma_tap {
    int near_i, far_i;
    float near_w;
};
chroma_tap tap(int x, int step, int n)
{
    auto clamp = [n](int i) { return i < 0 ? 0 : i >= n ? n - 1 : i; };
    if (step == 1)
        return {clamp(x), clamp(x), 1.0f};
    return {clamp(x / 2), clamp(x % 2 ? x / 2 + 1 : x / 2 - 1), 0.75f};
}

// 4 x 4 ordered dither thresholds, centred on 0, in 8-bit steps.
const float kDither[4][4] = {{0.0f, 8.0f, 2.0f, 10.0f}, {12.0f, 4.0f, 14.0f, 6.0f}, {3.0f, 11.0f, 1.0f, 9.0f},
                             {15.0f, 7.0f, 13.0f, 5.0f}};

uint8_t to_byte(float v)
{
    return uint8_t(v <= 0.0f ? 0 : v >= 255.0f ? 255 : int(v));
}

}  // namespace

bool yuv_planes_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h,
                       const frame_shape& shape, uint8_t* dst, size_t dst_size, const light_tables* light)
{
    const int sx = shape.chroma_step_x == 1 ? 1 : 2, sy = shape.chroma_step_y == 1 ? 1 : 2;
    const int cw = shape.chroma_width, ch = shape.chroma_height;
    if (shape.bits <= 8 && sx == 2 && sy == 2 && !light)
        return yuv420_to_rgb(ybuf, ubuf, vbuf, w, h, cw, ch, yuv_coefficients_for(shape.colorspace, shape.range),
                             dst, dst_size);
    if (w <= 0 || h <= 0 || cw < 0 || ch < 0 || cw > (w + sx - 1) / sx || ch > (h + sy - 1) / sy ||
        size_t(w) * size_t(h) * 3 > dst_size)
        return false;
    const int bytes = shape.sample_bytes();
    const int shift = bytes == 2 ? shape.sample_shift : 0;
    const plane_reader yr{ybuf, w, bytes, shift}, ur{ubuf, cw, bytes, shift}, vr{vbuf, cw, bytes, shift};
    // The matrix on codes, scaled to 0..255 output.
    float m[3][4];
    yuv_matrix(shape, double(1 << shift), m);
    for (auto& row : m)
        for (float& v : row)
            v *= 255.0f;
    const float grey = float(128 << (shape.bits > 8 ? shape.bits - 8 : 0));
    const bool dither = shape.bits > 8 || light;
    in_row_bands(w, h, [&](int first_row, int end_row) {
        for (int row = first_row; row < end_row; ++row) {
            uint8_t* out = dst + size_t(row) * size_t(w) * 3;
            const chroma_tap ty = tap(row, sy, ch > 0 ? ch : 1);
            for (int x = 0; x < w; ++x) {
                float u = grey, v = grey;
                if (cw > 0 && ch > 0) {
                    const chroma_tap tx = tap(x, sx, cw);
                    const float wn = tx.near_w * ty.near_w, wx = (1.0f - tx.near_w) * ty.near_w;
                    const float wy = tx.near_w * (1.0f - ty.near_w), wf = (1.0f - tx.near_w) * (1.0f - ty.near_w);
                    u = wn * ur.at(tx.near_i, ty.near_i) + wx * ur.at(tx.far_i, ty.near_i) +
                        wy * ur.at(tx.near_i, ty.far_i) + wf * ur.at(tx.far_i, ty.far_i);
                    v = wn * vr.at(tx.near_i, ty.near_i) + wx * vr.at(tx.far_i, ty.near_i) +
                        wy * vr.at(tx.near_i, ty.far_i) + wf * vr.at(tx.far_i, ty.far_i);
                }
                const float luma = yr.at(x, row);
                // Rounding, or the dither's threshold in its place.
                const float bias = dither ? (kDither[row & 3][x & 3] + 0.5f) / 16.0f : 0.5f;
                float rgb[3];
                for (int c = 0; c < 3; ++c)
                    rgb[c] = m[c][0] * luma + m[c][1] * u + m[c][2] * v + m[c][3];
                if (light) {
                    for (float& value : rgb)
                        value *= 1.0f / 255.0f;
                    light->map(rgb);
                    for (float& value : rgb)
                        value *= 255.0f;
                }
                for (int c = 0; c < 3; ++c)
                    out[size_t(x) * 3 + size_t(c)] = to_byte(rgb[c] + bias);
            }
        }
    });
    return true;
}
