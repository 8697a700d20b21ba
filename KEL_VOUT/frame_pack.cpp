// Checks and packing of the frame export's frames. Platform-free.
#include "frame_pack.h"

#include <limits>

#include "stream_copy.h"

namespace {

// Luma samples per chroma sample across and down (2 or 1), and bytes per sample.
int step_x(pixel_format f)
{
    return f == pixel_format::i444 ? 1 : 2;
}
int step_y(pixel_format f)
{
    return f == pixel_format::i422 || f == pixel_format::i444 ? 1 : 2;
}
int sample_bytes_of(pixel_format f)
{
    return f == pixel_format::p010 || f == pixel_format::i010 ? 2 : 1;
}
bool interleaved(pixel_format f)
{
    return f == pixel_format::nv12 || f == pixel_format::p010;
}

// The planes a format needs, and the bytes of one row of each.
int plane_count(int32_t format)
{
    if (!is_yuv_format(format))
        return 1;
    return interleaved(pixel_format(format)) ? 2 : 3;
}

int64_t row_bytes(int32_t format, int plane, int64_t width)
{
    const pixel_format f = pixel_format(format);
    switch (f) {
    case pixel_format::rgb24:
        return 3 * width;
    case pixel_format::bgra:
        return 4 * width;
    default: {
        const int64_t samples = plane == 0 ? width : (width + step_x(f) - 1) / step_x(f);
        return samples * sample_bytes_of(f) * (plane > 0 && interleaved(f) ? 2 : 1);
    }
    }
}

int64_t plane_rows(int32_t format, int plane, int64_t height)
{
    if (plane == 0 || !is_yuv_format(format))
        return height;
    const int step = step_y(pixel_format(format));
    return (height + step - 1) / step;
}

}  // namespace

bool is_yuv_format(int32_t format)
{
    return format == int32_t(pixel_format::i420) || format == int32_t(pixel_format::nv12) ||
           (format >= int32_t(pixel_format::p010) && format <= int32_t(pixel_format::i444));
}

frame_check check_frame(const frame_view& f)
{
    if (f.format < int32_t(pixel_format::i420) || f.format > int32_t(pixel_format::i444))
        return frame_check::bad_format;
    // Colour space and range mean something for YUV only; RGB frames may leave them as they are.
    if (is_yuv_format(f.format) &&
        (f.colorspace < int32_t(colour_space::bt601) || f.colorspace > int32_t(colour_space::bt2020) ||
         f.range < int32_t(colour_range::limited) || f.range > int32_t(colour_range::full)))
        return frame_check::bad_colour;
    if (f.width <= 0 || f.height <= 0)
        return frame_check::bad_size;
    if (f.width > kMaxFrameSide || f.height > kMaxFrameSide || int64_t{f.width} * f.height > kMaxFramePixels)
        return frame_check::too_large;
    for (int p = 0; p < plane_count(f.format); ++p) {
        if (!f.planes[p])
            return frame_check::null_plane;
        const int64_t row = row_bytes(f.format, p, f.width);
        if (f.strides[p] < row)
            return frame_check::bad_stride;
        // The plane's last byte must lie within the address space: the reads below go that far.
        const uint64_t span = uint64_t(int64_t{f.strides[p]} * (plane_rows(f.format, p, f.height) - 1) + row);
        const uint64_t start = uint64_t(reinterpret_cast<uintptr_t>(f.planes[p]));
        if (span > uint64_t(std::numeric_limits<uintptr_t>::max()) - start)
            return frame_check::bad_stride;
    }
    return frame_check::ok;
}

frame_shape shape_of(const frame_view& f)
{
    frame_shape s{};
    s.colorspace = colour_space(f.colorspace);
    s.range = colour_range(f.range);
    const pixel_format format = pixel_format(f.format);
    switch (format) {
    case pixel_format::rgb24:
        s.format = pixel_format::rgb24;
        s.stride = 3 * f.width;
        s.colorspace = colour_space::bt601;
        s.range = colour_range::full;
        break;
    case pixel_format::bgra:
        s.format = pixel_format::bgra;
        s.stride = 4 * f.width;
        s.colorspace = colour_space::bt601;
        s.range = colour_range::full;
        break;
    default:
        s.format = pixel_format::i420;
        s.chroma_step_x = step_x(format);
        s.chroma_step_y = step_y(format);
        s.chroma_width = int32_t(row_bytes(f.format, 1, f.width) / sample_bytes_of(format) /
                                 (interleaved(format) ? 2 : 1));
        s.chroma_height = int32_t(plane_rows(f.format, 1, f.height));
        s.bits = sample_bytes_of(format) == 2 ? 10 : 8;
        s.sample_shift = format == pixel_format::p010 ? 6 : 0;
        break;
    }
    return s;
}

frame_shape legacy_yuv_shape(int width, int height)
{
    frame_shape s{};
    s.format = pixel_format::i420;
    s.colorspace = colour_space::bt601;
    s.range = colour_range::limited;
    s.chroma_width = width / 2;
    s.chroma_height = height / 2;
    s.older_push = true;
    return s;
}

frame_shape legacy_rgb_shape(int width)
{
    frame_shape s{};
    s.format = pixel_format::rgb24;
    s.colorspace = colour_space::bt601;
    s.range = colour_range::full;
    s.stride = (3 * width + 3) / 4 * 4;
    s.older_push = true;
    return s;
}

packed_planes planes_of(const frame_shape& s, int width, int height)
{
    packed_planes p{};
    if (width <= 0 || height <= 0)
        return p;
    if (s.format == pixel_format::i420) {
        const size_t luma = size_t(width) * size_t(height) * size_t(s.sample_bytes());
        const size_t chroma = size_t(s.chroma_width) * size_t(s.chroma_height) * size_t(s.sample_bytes());
        p.u = luma;
        p.v = luma + chroma;
        p.bytes = luma + 2 * chroma;
    } else {
        const size_t row = size_t(width) * (s.format == pixel_format::bgra ? 4 : 3);
        p.bytes = size_t(s.stride) * size_t(height - 1) + row;
    }
    return p;
}

int64_t pack_frame(uint8_t* dst, size_t dst_size, const frame_view& f, bool reused_dst)
{
    const frame_shape s = shape_of(f);
    const packed_planes p = planes_of(s, f.width, f.height);
    if (p.bytes == 0 || p.bytes > dst_size)
        return -1;
    frame_writer out(p.bytes, reused_dst);
    const pixel_format format = pixel_format(f.format);
    if (s.format != pixel_format::i420) {
        out.copy_rows(dst, f.planes[0], size_t(f.strides[0]), size_t(s.stride), size_t(f.height));
        return int64_t(p.bytes);
    }
    const size_t sample = size_t(s.sample_bytes());
    const size_t chroma_row = size_t(s.chroma_width) * sample;
    out.copy_rows(dst, f.planes[0], size_t(f.strides[0]), size_t(f.width) * sample, size_t(f.height));
    if (!interleaved(format)) {
        out.copy_rows(dst + p.u, f.planes[1], size_t(f.strides[1]), chroma_row, size_t(s.chroma_height));
        out.copy_rows(dst + p.v, f.planes[2], size_t(f.strides[2]), chroma_row, size_t(s.chroma_height));
    } else if (sample == 1) {
        uint8_t* u = dst + p.u;
        uint8_t* v = dst + p.v;
        for (int32_t row = 0; row < s.chroma_height; ++row) {
            const uint8_t* uv = f.planes[1] + size_t(int64_t{row} * f.strides[1]);
            for (int32_t x = 0; x < s.chroma_width; ++x) {
                *u++ = uv[2 * x];
                *v++ = uv[2 * x + 1];
            }
        }
    } else {  // P010: pairs of 16-bit samples, bytes U0 U1 V0 V1
        uint8_t* u = dst + p.u;
        uint8_t* v = dst + p.v;
        for (int32_t row = 0; row < s.chroma_height; ++row) {
            const uint8_t* uv = f.planes[1] + size_t(int64_t{row} * f.strides[1]);
            for (int32_t x = 0; x < s.chroma_width; ++x, uv += 4) {
                u[0] = uv[0];
                u[1] = uv[1];
                v[0] = uv[2];
                v[1] = uv[3];
                u += 2;
                v += 2;
            }
        }
    }
    return int64_t(p.bytes);
}

