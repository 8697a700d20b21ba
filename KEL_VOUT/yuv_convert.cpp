// YCbCr to RGB coefficients and the processor conversion. Platform-free.
#include "yuv_convert.h"

#include <cmath>

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
