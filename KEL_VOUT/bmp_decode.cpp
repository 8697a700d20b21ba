// BMP decoding for the exported loader. Platform-free, no I/O; any thread.
// Nothing is read before the bytes it needs are known to be there, and every byte count is
// worked out in 64 bits and compared with the file's length before any row is touched.
#include "bmp_decode.h"

#include <climits>
#include <cstring>

namespace {

constexpr size_t file_header_size = 14;

// Offsets inside the file; the info header starts right after the 14-byte file header.
constexpr size_t off_pixel_start = 10;
constexpr size_t off_header_size = 14;
constexpr size_t off_width = 18;
constexpr size_t off_height = 22;
constexpr size_t off_bit_count = 28;
constexpr size_t off_compression = 30;
constexpr size_t off_colours_used = 46;
constexpr size_t off_masks = 54;  // after a 40-byte header, inside the larger ones

constexpr uint32_t bi_rgb = 0;
constexpr uint32_t bi_bitfields = 3;
constexpr uint32_t bi_alphabitfields = 6;

constexpr uint32_t red_mask = 0x00FF0000;
constexpr uint32_t green_mask = 0x0000FF00;
constexpr uint32_t blue_mask = 0x000000FF;

uint16_t read_u16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t read_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int32_t read_s32(const uint8_t* p)
{
    const uint32_t u = read_u32(p);
    int32_t s;
    std::memcpy(&s, &u, sizeof(s));
    return s;
}

// Info headers whose first 40 bytes share one layout: the classic one, the two that add colour
// masks, and the two later ones (colour space; then profile and intent).
bool is_known_header(uint32_t size)
{
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

// Whether `rows` rows of `row_bytes` bytes each, `stride` bytes apart, lie inside `avail` bytes.
// The last row's fill bytes are not needed: some writers leave them out.
bool rows_fit(uint64_t avail, uint64_t stride, uint64_t row_bytes, uint64_t rows)
{
    if (rows == 0 || row_bytes > avail)
        return false;
    return stride == 0 || rows - 1 <= (avail - row_bytes) / stride;
}

// Rows of blue, green, red[, unused] to packed red, green, blue rows, top row first.
bool convert_rows(const bmp_info& info, const uint8_t* src, size_t avail, uint8_t* out, size_t in_pixel)
{
    const size_t width = size_t(info.width);
    const size_t height = size_t(info.height);
    const uint64_t row_in = uint64_t(width) * in_pixel;
    const uint64_t row_out = uint64_t(width) * 3;
    if (uint64_t(info.buf_size) != row_out * height || info.stride < row_in ||
        !rows_fit(avail, info.stride, row_in, height))
        return false;
    for (size_t y = 0; y < height; ++y) {
        const size_t stored = info.top_down ? y : height - 1 - y;
        const uint8_t* in = src + stored * info.stride;
        uint8_t* o = out + y * size_t(row_out);
        for (size_t x = 0; x < width; ++x, in += in_pixel, o += 3) {
            o[0] = in[2];
            o[1] = in[1];
            o[2] = in[0];
        }
    }
    return true;
}

}  // namespace

bmp_info bmp_probe(const uint8_t* file, size_t size)
{
    bmp_info info;
    if (!file || size < file_header_size + 4 || size > bmp_max_file_size)
        return info;
    if (file[0] != 'B' || file[1] != 'M')
        return info;
    const uint32_t header_size = read_u32(file + off_header_size);
    if (!is_known_header(header_size) || size < file_header_size + header_size)
        return info;

    const int32_t width = read_s32(file + off_width);
    const int32_t stored_height = read_s32(file + off_height);
    const uint16_t bit_count = read_u16(file + off_bit_count);
    const uint32_t compression = read_u32(file + off_compression);
    const uint32_t colours_used = read_u32(file + off_colours_used);
    const uint32_t pixel_start = read_u32(file + off_pixel_start);

    // A negative height marks rows stored top row first.
    if (width <= 0 || stored_height == 0)
        return info;
    const int64_t height = stored_height < 0 ? -int64_t{stored_height} : int64_t{stored_height};
    if (width > bmp_max_dimension || height > bmp_max_dimension || int64_t{width} * height * 3 > INT_MAX)
        return info;

    // What must precede the pixels: the headers, the colour masks that follow a 40-byte header,
    // and for 1 to 8 bits the palette (its stated length, or a full one when none is stated).
    // A bit count of 0 leaves the depth to embedded compressed data, which has no palette.
    uint64_t headers_end = file_header_size + header_size;
    if (header_size == 40 && compression == bi_bitfields)
        headers_end += 12;
    else if (header_size == 40 && compression == bi_alphabitfields)
        headers_end += 16;
    if (headers_end > size)
        return info;
    if (bit_count >= 1 && bit_count <= 8)
        headers_end += 4 * (colours_used != 0 ? uint64_t{colours_used} : uint64_t{1} << bit_count);
    if (pixel_start < headers_end || pixel_start >= size)
        return info;
    const uint64_t avail = size - pixel_start;

    // Uncompressed rows start at multiples of 4 bytes; they must all be there, whatever the depth.
    const uint64_t row_bits = uint64_t(width) * bit_count;
    const uint64_t stride = (row_bits + 31) / 32 * 4;
    const bool raw_rows = compression == bi_rgb || compression == bi_bitfields || compression == bi_alphabitfields;
    if (raw_rows && !rows_fit(avail, stride, (row_bits + 7) / 8, uint64_t(height)))
        return info;

    info.status = bmp_status::size_only;
    info.width = width;
    info.height = int(height);
    info.buf_size = int(avail);  // below 256 MiB
    info.pixel_offset = pixel_start;
    info.top_down = stored_height < 0;

    const int pixel_bytes = width * int(height) * 3;  // bounded above
    if (bit_count == 8 && compression == bi_rgb) {
        info.pixels = bmp_pixels::indices8;
    } else if (bit_count == 24 && compression == bi_rgb) {
        info.pixels = bmp_pixels::bgr24;
        info.buf_size = pixel_bytes;
    } else if (bit_count == 32 &&
               (compression == bi_rgb ||
                (compression == bi_bitfields && read_u32(file + off_masks) == red_mask &&
                 read_u32(file + off_masks + 4) == green_mask && read_u32(file + off_masks + 8) == blue_mask))) {
        info.pixels = bmp_pixels::bgrx32;
        info.buf_size = pixel_bytes;
    } else {
        return info;
    }
    info.stride = size_t(stride);  // at most 4 x bmp_max_dimension for these depths
    info.status = bmp_status::decoded;
    return info;
}

bool bmp_decode(const bmp_info& info, const uint8_t* file, size_t size, uint8_t* out, size_t out_size)
{
    if (info.status != bmp_status::decoded || !file || !out || info.width <= 0 || info.height <= 0 ||
        info.buf_size <= 0 || out_size < size_t(info.buf_size) || info.pixel_offset >= size)
        return false;
    const uint8_t* src = file + info.pixel_offset;
    const size_t avail = size - info.pixel_offset;
    switch (info.pixels) {
    case bmp_pixels::indices8:
        if (size_t(info.buf_size) != avail)
            return false;
        std::memcpy(out, src, avail);
        return true;
    case bmp_pixels::bgr24:
        return convert_rows(info, src, avail, out, 3);
    case bmp_pixels::bgrx32:
        return convert_rows(info, src, avail, out, 4);
    case bmp_pixels::none:
        break;
    }
    return false;
}
