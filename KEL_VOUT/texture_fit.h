// texture_fit: how a picture goes into the textures an OpenGL context offers. Contexts of the
// software kind (Windows' own OpenGL 1.1, found under remote desktop and in virtual machines)
// take only power-of-two sizes up to a small limit. Platform-free.
#ifndef KEL_VOUT_TEXTURE_FIT_H
#define KEL_VOUT_TEXTURE_FIT_H

#include <cstddef>
#include <cstdint>

// The smallest power of two at or above v (1 for v <= 1); v above 2^30 gives 2^30.
int next_power_of_two(int v);

// The size of the texture that holds a w x h image: the image's own size, or the next powers of
// two when the context needs them.
void texture_size_for(int w, int h, bool power_of_two, int* tex_w, int* tex_h);

// Reduces packed RGB (sw x sh, rows src_stride bytes apart) to dw x dh (rows of dw * 3 bytes,
// dst of dst_size bytes) with a box filter: every output pixel is the rounded mean of the
// source pixels under it. False, with nothing written, for sizes that do not reduce (dw > sw,
// dh > sh, or a side not positive) or a dst too small.
bool downscale_rgb(const uint8_t* src, int sw, int sh, size_t src_stride, uint8_t* dst, int dw, int dh,
                   size_t dst_size);

#endif
