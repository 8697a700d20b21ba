// Texture sizes and the reduction of pictures above a context's limit. Platform-free.
#include "texture_fit.h"

int next_power_of_two(int v)
{
    int p = 1;
    while (p < v && p < (1 << 30))
        p <<= 1;
    return p;
}

void texture_size_for(int w, int h, bool power_of_two, int* tex_w, int* tex_h)
{
    *tex_w = power_of_two ? next_power_of_two(w) : w;
    *tex_h = power_of_two ? next_power_of_two(h) : h;
}


bool downscale_rgb(const uint8_t* src, int sw, int sh, size_t src_stride, uint8_t* dst, int dw, int dh,
                   size_t dst_size)
{
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || dw > sw || dh > sh || src_stride < size_t(sw) * 3 ||
        size_t(dw) * size_t(dh) * 3 > dst_size)
        return false;
    for (int y = 0; y < dh; ++y) {
        const int y0 = int(int64_t{y} * sh / dh), y1 = int(int64_t{y + 1} * sh / dh);
        for (int x = 0; x < dw; ++x) {
            const int x0 = int(int64_t{x} * sw / dw), x1 = int(int64_t{x + 1} * sw / dw);
            uint64_t sum[3] = {0, 0, 0};
            for (int sy = y0; sy < y1; ++sy) {
                const uint8_t* p = src + size_t(sy) * src_stride + size_t(x0) * 3;
                for (int sx = x0; sx < x1; ++sx, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            const uint64_t n = uint64_t(y1 - y0) * uint64_t(x1 - x0);
            uint8_t* d = dst + (size_t(y) * size_t(dw) + size_t(x)) * 3;
            for (int c = 0; c < 3; ++c)
                d[c] = uint8_t((sum[c] + n / 2) / n);
        }
    }
    return true;
}
