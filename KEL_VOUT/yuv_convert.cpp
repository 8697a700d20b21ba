// BT.601 limited-range YCbCr to RGB on the processor. Platform-free.
#include "yuv_convert.h"

namespace {
// 16.16 fixed point of the conversion the fragment program applies: 255/219 for luma,
// chroma factors scaled by 255/224.
constexpr int kY = 76309;    // 1.1643835
constexpr int kRV = 104597;  // 1.5960268
constexpr int kGU = 25675;   // 0.3917623
constexpr int kGV = 53279;   // 0.81296766
constexpr int kBU = 132201;  // 2.0172322

uint8_t clamp_round(int v16)
{
    const int v = (v16 + 32768) >> 16;
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}
}  // namespace

void bt601_limited_to_rgb(uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3])
{
    const int yy = (int(y) - 16) * kY;
    const int cu = int(u) - 128;
    const int cv = int(v) - 128;
    rgb[0] = clamp_round(yy + kRV * cv);
    rgb[1] = clamp_round(yy - kGU * cu - kGV * cv);
    rgb[2] = clamp_round(yy + kBU * cu);
}

namespace {
// The pixel from luma and chroma in 1/16 steps (chroma interpolated, not yet rounded).
void convert16(int y, int u16, int v16, uint8_t* rgb)
{
    const int yy = (y - 16) * kY;
    const int cu = u16 - 128 * 16;
    const int cv = v16 - 128 * 16;
    rgb[0] = clamp_round(yy + kRV * cv / 16);
    rgb[1] = clamp_round(yy - (kGU * cu + kGV * cv) / 16);
    rgb[2] = clamp_round(yy + kBU * cu / 16);
}
}  // namespace

// Chroma sample i sits between luma samples 2i and 2i+1 (in both directions), so luma sample x
// takes 3/4 of chroma sample x/2 and 1/4 of its neighbour on x's side, as a bilinear filter
// would; indices past the plane repeat its edge (odd sizes).
bool yuv420_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h, uint8_t* dst,
                   size_t dst_size)
{
    if (w <= 0 || h <= 0 || size_t(w) * size_t(h) * 3 > dst_size)
        return false;
    const int cw = w / 2, ch = h / 2;
    auto clamp = [](int i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : i; };
    for (int row = 0; row < h; ++row) {
        const uint8_t* yrow = ybuf + size_t(row) * size_t(w);
        uint8_t* out = dst + size_t(row) * size_t(w) * 3;
        if (cw == 0 || ch == 0) {  // no chroma at all: grey
            for (int x = 0; x < w; ++x)
                convert16(yrow[x], 128 * 16, 128 * 16, out + size_t(x) * 3);
            continue;
        }
        const int near_row = clamp(row / 2, ch), far_row = clamp(row % 2 ? row / 2 + 1 : row / 2 - 1, ch);
        const uint8_t* un = ubuf + size_t(near_row) * size_t(cw);
        const uint8_t* uf = ubuf + size_t(far_row) * size_t(cw);
        const uint8_t* vn = vbuf + size_t(near_row) * size_t(cw);
        const uint8_t* vf = vbuf + size_t(far_row) * size_t(cw);
        for (int x = 0; x < w; ++x) {
            const int n = clamp(x / 2, cw), f = clamp(x % 2 ? x / 2 + 1 : x / 2 - 1, cw);
            const int u16 = 9 * un[n] + 3 * un[f] + 3 * uf[n] + uf[f];
            const int v16 = 9 * vn[n] + 3 * vn[f] + 3 * vf[n] + vf[f];
            convert16(yrow[x], u16, v16, out + size_t(x) * 3);
        }
    }
    return true;
}
