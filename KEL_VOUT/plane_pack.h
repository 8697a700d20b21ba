// Frame geometry and plane packing for the pushes: what a frame needs, whether a push may be
// taken, and packing planar 4:2:0 rows into one buffer. Platform-free; runs on the host's thread.
#ifndef KEL_VOUT_PLANE_PACK_H
#define KEL_VOUT_PLANE_PACK_H

#include <cstddef>
#include <cstdint>

// Why a push was refused; push_check::ok means it may be taken.
enum class push_check {
    ok,
    null_buffer,   // a required buffer pointer is null
    bad_size,      // a size, width, height or linesize is zero or negative
    too_large,     // the frame exceeds the instance's staging capacity
    short_buffer,  // fewer bytes than the render thread reads for this frame
    bad_stride,    // linesize below pix_width
    bad_planes,    // one chroma pointer null, or both null with linesize != pix_width
    wrong_format,  // planar YUV pushed to a packed-RGB instance
};

// Staging capacity of an instance: 1920 x 1080 x 2 for YUV 4:2:0, 1920 x 1080 x 4 otherwise.
int64_t staging_capacity(int source_format);

// Bytes of a tightly packed 4:2:0 frame: w * h * 3 / 2 (truncated). Sizes must be positive.
int64_t yuv420_frame_bytes(int pix_width, int pix_height);

// Where the planes of a packed 4:2:0 frame lie: Y (w x h) at 0, then U and V of (w/2) x (h/2)
// each, without gaps. An odd last column or row has no chroma sample of its own; a frame 1
// pixel wide or high has no chroma at all.
struct yuv420_layout {
    size_t y, u, v;     // plane offsets
    size_t bytes;       // y + both chroma planes
    int chroma_width;   // w / 2
    int chroma_height;  // h / 2
};
yuv420_layout yuv420_planes(int pix_width, int pix_height);

// Bytes the packed-RGB paint reads: rows of w * 3 bytes starting at multiples of 4.
int64_t rgb_frame_bytes(int pix_width, int pix_height);

push_check check_packed_push(const uint8_t* buf, int bufsize, int pix_width, int pix_height,
                             int source_format);

push_check check_yuv_push(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int linesize,
                          int pix_width, int pix_height, int source_format);

// Packs a frame that check_yuv_push accepted into dst (capacity dst_size): Y rows of pix_width
// bytes at stride linesize, then U and V rows of pix_width / 2 bytes at stride linesize / 2;
// a contiguous frame (no chroma pointers) is copied in one piece. Returns the frame's byte
// count (w * h * 3 / 2), or -1 when it would not fit dst. reused_dst: dst held data before
// (frame_writer streams large frames only into such memory).
int64_t pack_yuv420(uint8_t* dst, size_t dst_size, const uint8_t* ybuf, const uint8_t* ubuf,
                    const uint8_t* vbuf, int linesize, int pix_width, int pix_height, bool reused_dst = true);

#endif
