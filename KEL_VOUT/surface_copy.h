// Row copies between our frames and locked Direct3D surfaces, whose rows lie `pitch` bytes
// apart (the pitch may exceed the width). Platform-free; runs on the render thread.
#ifndef KEL_VOUT_SURFACE_COPY_H
#define KEL_VOUT_SURFACE_COPY_H

#include <cstddef>
#include <cstdint>

// The YV12 surface that takes a w x h frame: at least 4 columns wider, rounded up to a multiple
// of 4, and h rounded up to a multiple of 4. Drivers that align rows to 4 bytes (wined3d does)
// give it a pitch equal to its width, where they cannot misread the chroma layout; the frame is
// drawn from its top-left w x h, and the padding keeps the filter away from foreign samples.
void yv12_surface_size(int w, int h, int* surface_w, int* surface_h);

// Copies tightly packed 4:2:0 planes (Y w x h, U and V (w/2) x (h/2)) into a locked YV12
// surface of surface_w x surface_h (yv12_surface_size): Y rows at `pitch`, then the V plane at
// bits + pitch * surface_h, then the U plane (pitch * surface_h) / 4 bytes after it, chroma rows
// (i * pitch) / 2 apart. Past the frame's last row and column the surface repeats them (an odd
// last chroma row or column is such a repeat), except that the last padding sample of a chroma
// row holds the first sample of the next row. A frame without chroma (1 pixel wide or high)
// comes out grey. Nothing is written when a size is not positive, the surface is smaller than
// the frame or pitch is below surface_w.
void copy_yuv420_to_yv12(uint8_t* bits, int pitch, int surface_w, int surface_h, const uint8_t* ybuf,
                         const uint8_t* ubuf, const uint8_t* vbuf, int w, int h);

// Copies `rows` rows of `width` bytes, src_stride bytes apart, into rows `pitch` bytes apart (a
// locked texture's). Nothing is written when a size is not positive or pitch < width.
void copy_plane_rows(uint8_t* bits, int pitch, const uint8_t* src, size_t src_stride, int width, int rows);

// Copies packed RGB (3 bytes per pixel in the order R, G, B, rows starting at multiples of 4
// bytes, top row first) into a locked X8R8G8B8 surface: 4 bytes per pixel, B, G, R, 0xFF in
// memory. Nothing is written when pitch < w * 4 or a size is not positive.
void copy_rgb_to_xrgb(uint8_t* bits, int pitch, const uint8_t* rgb, int w, int h);
// The same from rows `stride` bytes apart: R, G, B, or with `bgra` B, G, R, A (the surface's own
// order; alpha is copied and ignored by the surface). Nothing is written when pitch < w * 4,
// stride is below the row or a size is not positive.
void copy_rgb_to_xrgb(uint8_t* bits, int pitch, const uint8_t* pixels, size_t stride, bool bgra, int w, int h);

// B, G, R, A rows `stride` bytes apart into packed R, G, B rows of w * 3 bytes (dst holds
// w * h * 3 bytes).
void bgra_to_rgb(const uint8_t* bgra, size_t stride, int w, int h, uint8_t* dst);

// Reads the top-left w x h pixels of a locked X8R8G8B8 (or A8R8G8B8) surface of src_w x src_h
// into packed RGB rows of w * 3 bytes, top row first; pixels outside the surface come out
// black.
void copy_xrgb_to_rgb(uint8_t* dst, int w, int h, const uint8_t* bits, int pitch, int src_w, int src_h);

#endif
