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

bool yuv420_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h, uint8_t* dst,
                   size_t dst_size)
{
    if (w <= 0 || h <= 0 || size_t(w) * size_t(h) * 3 > dst_size)
        return false;
    const int cw = w / 2, ch = h / 2;
    for (int row = 0; row < h; ++row) {
        const uint8_t* yrow = ybuf + size_t(row) * size_t(w);
        uint8_t* out = dst + size_t(row) * size_t(w) * 3;
        const int crow = ch ? (row / 2 < ch ? row / 2 : ch - 1) : 0;
        for (int x = 0; x < w; ++x) {
            uint8_t u = 128, v = 128;
            if (cw && ch) {
                const int cx = x / 2 < cw ? x / 2 : cw - 1;
                u = ubuf[size_t(crow) * size_t(cw) + size_t(cx)];
                v = vbuf[size_t(crow) * size_t(cw) + size_t(cx)];
            }
            bt601_limited_to_rgb(yrow[x], u, v, out + size_t(x) * 3);
        }
    }
    return true;
}
