// Frames of the frame export (any format, per-plane strides, a colour space per frame): the
// checks a frame must pass and its packing into the layout the render thread reads.
// Platform-free; runs on the host's thread.
#ifndef KEL_VOUT_FRAME_PACK_H
#define KEL_VOUT_FRAME_PACK_H

#include <cstddef>
#include <cstdint>

// The values of the public enumerations.
enum class pixel_format : int32_t { i420 = 0, nv12 = 1, rgb24 = 2, bgra = 3, p010 = 4, i010 = 5, i422 = 6, i444 = 7 };
enum class colour_space : int32_t { bt601 = 0, bt709 = 1, bt2020 = 2 };
enum class colour_range : int32_t { limited = 0, full = 1 };

// The largest frame: no side above 4096 pixels and at most 4096 x 2160 pixels (4K UHD and DCI
// 4K, either way up).
constexpr int32_t kMaxFrameSide = 4096;
constexpr int64_t kMaxFramePixels = int64_t{4096} * 2160;
// The most bytes a packed frame takes (BGRA at the largest size).
constexpr int64_t kMaxPackedFrameBytes = kMaxFramePixels * 4;

// A frame as the host hands it over (the public record's fields).
struct frame_view {
    int32_t format;
    int32_t width, height;
    const uint8_t* planes[3];
    int32_t strides[3];
    int32_t colorspace;
    int32_t range;
};

// Why a frame was refused; frame_check::ok means it may be taken.
enum class frame_check {
    ok,
    bad_format,      // not one of pixel_format
    bad_colour,      // a YUV frame with an unknown colour space or range
    bad_size,        // width or height not positive
    too_large,       // above kMaxFrameSide or kMaxFramePixels
    null_plane,      // a plane the format needs is null
    bad_stride,      // a stride below its plane's row, or a plane beyond the address space
};
frame_check check_frame(const frame_view& f);

// What the render thread needs to read a packed frame. YUV frames (every YUV format alike) are
// packed planar: Y (width x height), then U and V (chroma_width x chroma_height each), no gaps,
// in samples of one byte (8 bits) or two (10 bits, little-endian, the value in the top bits:
// P010 as the host gave it, I010 moved up). RGB24 and BGRA frames keep their byte order, rows
// `stride` bytes apart.
struct frame_shape {
    pixel_format format;  // i420 (planar YUV of any depth and subsampling), rgb24 or bgra
    colour_space colorspace;
    colour_range range;
    int32_t chroma_width;   // the chroma planes' size (0 when there is no chroma)
    int32_t chroma_height;
    int32_t stride;         // RGB24 and BGRA: bytes from one row to the next
    bool older_push;        // from the older pushes, whose colours a driver's own conversion may show
    int32_t bits = 8;          // YUV: the samples' depth, 8 or 10
    int32_t sample_shift = 0;  // 10 bits: the value is sample >> sample_shift (6)
    int32_t chroma_step_x = 2;  // luma samples per chroma sample across: 2 (4:2:x) or 1 (4:4:4)
    int32_t chroma_step_y = 2;  // and down: 2 (4:2:0) or 1 (4:2:2, 4:4:4)
    // YUV, from the frame's information (the public enumerations' values): its transfer
    // function, primaries and mastering peak (cd/m2, 0: unknown).
    int32_t transfer = 0;
    int32_t primaries = 0;
    int32_t max_luminance = 0;

    int32_t sample_bytes() const { return bits > 8 ? 2 : 1; }
};

// True for the YUV formats of the frame export.
bool is_yuv_format(int32_t format);

// What a frame's information says of its light (the public enumerations' values).
struct frame_light {
    int32_t transfer = 0;
    int32_t primaries = 0;
    int32_t max_luminance = 0;
};

// The shape of a frame the export took: chroma planes (w+1)/2 x (h+1)/2 for 4:2:0, (w+1)/2 x h
// for 4:2:2, w x h for 4:4:4.
frame_shape shape_of(const frame_view& f);
// The shapes of the two older pushes: BT.601 limited range; chroma (w/2) x (h/2) (an odd last
// column or row has none of its own); RGB rows starting at multiples of 4 bytes.
frame_shape legacy_yuv_shape(int width, int height);
frame_shape legacy_rgb_shape(int width);

// Where the planes of a packed YUV frame lie, and how many bytes a packed frame of this shape
// takes.
struct packed_planes {
    size_t y, u, v;
    size_t bytes;
};
packed_planes planes_of(const frame_shape& s, int width, int height);

// Packs a frame that check_frame accepted into dst (capacity dst_size): planar YUV row by row,
// NV12's and P010's interleaved chroma split into U and V, RGB rows one after the other. Returns the bytes
// written, or -1 (nothing written) when they would not fit. reused_dst: dst held data before
// (frame_writer streams large frames only into such memory).
int64_t pack_frame(uint8_t* dst, size_t dst_size, const frame_view& f, bool reused_dst = true);

#endif
