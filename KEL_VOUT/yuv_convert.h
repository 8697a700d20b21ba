// YCbCr to full-range RGB: the coefficients of each colour space and range (for the GPU paths
// and the processor alike), and the conversion on the processor for contexts and devices that
// cannot convert on the graphics processor. Platform-free.
#ifndef KEL_VOUT_YUV_CONVERT_H
#define KEL_VOUT_YUV_CONVERT_H

#include <cstddef>
#include <cstdint>

#include "frame_pack.h"
#include "tone_map.h"

// On 0..255 values:
//   R = y * (Y - y_offset)                 + rv * (V - 128)
//   G = y * (Y - y_offset) - gu * (U - 128) - gv * (V - 128)
//   B = y * (Y - y_offset) + bu * (U - 128)
// Limited range stretches luma 16..235 and chroma 16..240 to the full scale; full range takes
// the values as they are (JPEG's conversion for BT.601).
struct yuv_coefficients {
    double y, y_offset, rv, gu, gv, bu;
};
yuv_coefficients yuv_coefficients_for(colour_space space, colour_range range);

// The same conversion on normalised 0..1 texture values, as a fragment program or pixel shader
// applies it: rows R, G, B; columns Y, U, V and the constant term.
void yuv_matrix(const yuv_coefficients& k, float m[3][4]);

// The same matrix as a pixel shader's four constant vectors: c[0], c[1], c[2] what Y, U and V add
// to R, G, B; c[3] the constant term, with alpha 1.
void yuv_shader_constants(colour_space space, colour_range range, float c[4][4]);

// The conversion of the samples of any YUV shape the export takes, on the values t its textures
// hold: t = sample / texel_max (255 for textures of bytes, 65535 for 16-bit ones), the sample's
// value being sample >> shape.sample_shift. Rows R, G, B on 0..1; columns Y, U, V and the
// constant term. 10-bit limited range is luma 64-940 and chroma 64-960 (the 8-bit ranges times
// four); 10-bit full range is 0-1023, chroma centred on 512.
void yuv_matrix(const frame_shape& shape, double texel_max, float m[3][4]);
// The same as a pixel shader's four constant vectors (as yuv_shader_constants above).
void yuv_shader_constants(const frame_shape& shape, double texel_max, float c[4][4]);

// One pixel, rounded and clamped to 0..255.
void yuv_to_rgb(const yuv_coefficients& k, uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3]);

// Converts tightly packed 4:2:0 planes (Y w x h, U and V cw x ch) into packed RGB rows of w * 3
// bytes, top row first, into dst of dst_size bytes. Chroma sample i is centred on luma samples
// 2i and 2i+1 and interpolated bilinearly, as a texture filter does; positions past the chroma
// planes repeat their edge. A frame without chroma (cw or ch 0) shows grey. False, with nothing
// written, when dst is too small or the chroma planes cannot belong to the frame.
bool yuv420_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h, int cw, int ch,
                   const yuv_coefficients& k, uint8_t* dst, size_t dst_size);

// Converts the packed planes of any YUV shape (frame_shape: 8 or 10 bits, chroma subsampled 2 or
// 1 each way) into packed RGB rows of w * 3 bytes, as yuv420_to_rgb does (which it is, for 8-bit
// 4:2:0): a subsampled direction interpolates chroma sample i centred on its luma samples, a
// full one takes chroma as it is. Samples deeper than 8 bits are converted at their own
// precision and the result dithered to 8 bits (an ordered 4 x 4 pattern), so that a smooth
// 10-bit gradient shows no bands. False, with nothing written, when dst is too small or the
// chroma planes cannot belong to the frame.
// With `light` (prepared for the frame), the values are decoded, converted and tone-mapped on
// the way, and dithered whatever their depth. Frames from a quarter of a megapixel on are
// converted in bands of rows on up to four threads, all ended on return.
bool yuv_planes_to_rgb(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int w, int h,
                       const frame_shape& shape, uint8_t* dst, size_t dst_size, const light_tables* light = nullptr);

// Test seam: the conversion of yuv_planes_to_rgb in this many bands of rows, one thread each
// (1-4), whatever the frame's size; 0 (the default): frames from a quarter of a megapixel on in
// a band per processor, up to four, smaller ones in one.
void set_conversion_bands_for_testing(int bands);

#endif
