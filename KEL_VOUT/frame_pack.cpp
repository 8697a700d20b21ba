// Checks and packing of the frame export's frames. Platform-free.
#include "frame_pack.h"

#include <limits>

#include "stream_copy.h"

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KEL_VOUT_SSE2 1
#endif

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

// Splits one row of interleaved chroma pairs (U, V; `bytes` each) into a U and a V row.
void split_pairs(const uint8_t* uv, uint8_t* u, uint8_t* v, int32_t count, int bytes)
{
    int32_t x = 0;
#ifdef KEL_VOUT_SSE2
    if (bytes == 1) {
        const __m128i low = _mm_set1_epi16(0x00FF);
        for (; x + 16 <= count; x += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * x + 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x),
                             _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x),
                             _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
        }
    } else {
        // Each 32-bit lane holds a U and a V sample; sign-extended to 32 bits, the signed pack
        // gives their 16 bits back unchanged.
        for (; x + 8 <= count; x += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 4 * x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 4 * x + 16));
            const __m128i ua = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16), ub = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u + 2 * x), _mm_packs_epi32(ua, ub));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(v + 2 * x),
                             _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16)));
        }
    }
#endif
    for (; x < count; ++x)
        for (int k = 0; k < bytes; ++k) {
            u[size_t(x) * size_t(bytes) + size_t(k)] = uv[size_t(x) * 2 * size_t(bytes) + size_t(k)];
            v[size_t(x) * size_t(bytes) + size_t(k)] = uv[size_t(x) * 2 * size_t(bytes) + size_t(bytes + k)];
        }
}

// Copies `rows` rows of `samples` 16-bit samples, src_stride bytes apart, into tight rows, each
// sample moved up by 6 bits (I010's low-bit values to the top bits, as P010 has them).
void copy_rows_to_top_bits(uint8_t* dst, const uint8_t* src, size_t src_stride, int32_t samples, int32_t rows)
{
    for (int32_t r = 0; r < rows; ++r) {
        const uint8_t* s = src + size_t(r) * src_stride;
        uint8_t* d = dst + size_t(r) * size_t(samples) * 2;
        int32_t x = 0;
#ifdef KEL_VOUT_SSE2
        for (; x + 8 <= samples; x += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x),
                             _mm_slli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * x)), 6));
#endif
        for (; x < samples; ++x) {
            const unsigned v = (unsigned(s[2 * x]) | unsigned(s[2 * x + 1]) << 8) << 6;
            d[2 * x] = uint8_t(v);
            d[2 * x + 1] = uint8_t(v >> 8);
        }
    }
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
        s.sample_shift = s.bits > 8 ? 6 : 0;  // I010 is packed as P010 holds its samples
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
    if (format == pixel_format::i010) {
        // The value in the top bits, as in P010: a texture that filters 16-bit samples at less
        // than 16 bits still keeps the most significant ones.
        copy_rows_to_top_bits(dst, f.planes[0], size_t(f.strides[0]), f.width, f.height);
        copy_rows_to_top_bits(dst + p.u, f.planes[1], size_t(f.strides[1]), s.chroma_width, s.chroma_height);
        copy_rows_to_top_bits(dst + p.v, f.planes[2], size_t(f.strides[2]), s.chroma_width, s.chroma_height);
        return int64_t(p.bytes);
    }
    out.copy_rows(dst, f.planes[0], size_t(f.strides[0]), size_t(f.width) * sample, size_t(f.height));
    if (!interleaved(format)) {
        out.copy_rows(dst + p.u, f.planes[1], size_t(f.strides[1]), chroma_row, size_t(s.chroma_height));
        out.copy_rows(dst + p.v, f.planes[2], size_t(f.strides[2]), chroma_row, size_t(s.chroma_height));
    } else {  // NV12 and P010: pairs of samples, U first
        for (int32_t row = 0; row < s.chroma_height; ++row)
            split_pairs(f.planes[1] + size_t(int64_t{row} * f.strides[1]), dst + p.u + size_t(row) * chroma_row,
                        dst + p.v + size_t(row) * chroma_row, s.chroma_width, int(sample));
    }
    return int64_t(p.bytes);
}

