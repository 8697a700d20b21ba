// Row copies between frames and locked Direct3D surfaces. Platform-free.
#include "surface_copy.h"

#include <algorithm>
#include <cstring>

void yv12_surface_size(int w, int h, int* surface_w, int* surface_h)
{
    *surface_w = (w + 7) / 4 * 4;
    *surface_h = (h + 3) / 4 * 4;
}

namespace {

// Copies `rows` rows of `width` bytes at src_stride into rows of `surface_w` bytes at
// dst_stride, repeating the last byte of each row and the last row to fill the surface.
void copy_plane(uint8_t* dst, size_t dst_stride, int surface_w, int surface_h, const uint8_t* src,
                size_t src_stride, int width, int rows)
{
    for (int i = 0; i < surface_h; ++i) {
        uint8_t* d = dst + (size_t(i) * dst_stride);
        if (i >= rows) {
            std::memcpy(d, dst + (size_t(rows - 1) * dst_stride), size_t(surface_w));
            continue;
        }
        const uint8_t* s = src + size_t(i) * src_stride;
        std::memcpy(d, s, size_t(width));
        std::memset(d + width, s[width - 1], size_t(surface_w - width));
    }
}

}  // namespace

void copy_yuv420_to_yv12(uint8_t* bits, int pitch, int surface_w, int surface_h, const uint8_t* ybuf,
                         const uint8_t* ubuf, const uint8_t* vbuf, int w, int h)
{
    if (w <= 0 || h <= 0 || surface_w < w || surface_h < h || pitch < surface_w)
        return;
    const size_t stride = size_t(pitch);
    copy_plane(bits, stride, surface_w, surface_h, ybuf, size_t(w), w, h);

    // Chroma rows lie at half the luma pitch; (i * pitch) / 2 keeps an odd pitch exact.
    const int cw = w / 2, ch = h / 2, scw = surface_w / 2, sch = surface_h / 2;
    uint8_t* planes[2] = {bits + stride * size_t(surface_h), nullptr};
    planes[1] = planes[0] + (stride * size_t(surface_h)) / 4;
    const uint8_t* sources[2] = {vbuf, ubuf};
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < sch; ++i) {
            uint8_t* d = planes[p] + (size_t(i) * stride) / 2;
            if (cw == 0 || ch == 0) {
                std::memset(d, 0x80, size_t(scw));
                continue;
            }
            const uint8_t* row = sources[p] + size_t(std::min(i, ch - 1)) * size_t(cw);
            std::memcpy(d, row, size_t(cw));
            std::memset(d + cw, row[cw - 1], size_t(scw - cw));
            // HACK: wined3d keeps YV12 chroma in one texture whose lines hold two chroma rows
            // side by side, and its filter reads across the seam between them; the padding
            // after a row therefore ends with the first sample of the row that follows.
            if (scw - cw >= 2 && i + 1 < sch)
                d[scw - 1] = sources[p][size_t(std::min(i + 1, ch - 1)) * size_t(cw)];
        }
}

void copy_plane_rows(uint8_t* bits, int pitch, const uint8_t* src, size_t src_stride, int width, int rows)
{
    if (width <= 0 || rows <= 0 || pitch < width)
        return;
    for (int i = 0; i < rows; ++i)
        std::memcpy(bits + size_t(i) * size_t(pitch), src + size_t(i) * src_stride, size_t(width));
}

void copy_rgb_to_xrgb(uint8_t* bits, int pitch, const uint8_t* rgb, int w, int h)
{
    copy_rgb_to_xrgb(bits, pitch, rgb, (size_t(w) * 3 + 3) / 4 * 4, false, w, h);
}

void copy_rgb_to_xrgb(uint8_t* bits, int pitch, const uint8_t* rgb, size_t src_stride, bool bgra, int w, int h)
{
    if (w <= 0 || h <= 0 || int64_t{pitch} < int64_t{w} * 4 || src_stride < size_t(w) * (bgra ? 4 : 3))
        return;
    if (bgra) {
        copy_plane_rows(bits, pitch, rgb, src_stride, w * 4, h);
        return;
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = rgb + size_t(y) * src_stride;
        uint8_t* d = bits + size_t(y) * size_t(pitch);
        for (int x = 0; x < w; ++x, s += 3, d += 4) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            d[3] = 0xFF;
        }
    }
}

void copy_xrgb_to_rgb(uint8_t* dst, int w, int h, const uint8_t* bits, int pitch, int src_w, int src_h)
{
    if (w <= 0 || h <= 0)
        return;
    std::memset(dst, 0, size_t(w) * size_t(h) * 3);
    const int cols = std::min(w, std::max(src_w, 0)), rows = std::min(h, std::max(src_h, 0));
    for (int y = 0; y < rows; ++y) {
        const uint8_t* s = bits + size_t(y) * size_t(pitch);
        uint8_t* d = dst + size_t(y) * size_t(w) * 3;
        for (int x = 0; x < cols; ++x, s += 4, d += 3) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    }
}

void bgra_to_rgb(const uint8_t* bgra, size_t stride, int w, int h, uint8_t* dst)
{
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = bgra + size_t(y) * stride;
        uint8_t* d = dst + size_t(y) * size_t(w) * 3;
        for (int x = 0; x < w; ++x, s += 4, d += 3) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    }
}
