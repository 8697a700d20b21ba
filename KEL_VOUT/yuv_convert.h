// BT.601 limited-range YCbCr to full-range RGB on the processor, for contexts that cannot
// convert on the graphics processor. Platform-free.
#ifndef KEL_VOUT_YUV_CONVERT_H
#define KEL_VOUT_YUV_CONVERT_H

#include <cstddef>
#include <cstdint>

// One pixel, rounded and clamped to 0..255.
void bt601_limited_to_rgb(uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3]);

// Converts tightly packed 4:2:0 planes (Y w x h, U and V (w/2) x (h/2)) into packed RGB rows of
// w * 3 bytes, top row first, into dst of dst_size bytes. Chroma is interpolated bilinearly
// between samples centred on their 2 x 2 luma blocks, as a texture filter does; an odd last row
// or column repeats the last chroma sample, and frames 1 pixel wide or high, which have no
// chroma at all, show grey. False, with nothing written, when dst is too small.
bool yuv420_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h, uint8_t* dst,
                   size_t dst_size);

#endif
