// Frame geometry and plane packing for the pushes. Platform-free.
#include "plane_pack.h"

#include <cstring>

#include "kel_vout_global.h"
#include "stream_copy.h"

int64_t staging_capacity(int source_format)
{
    return source_format == VOUT_YUV420 ? int64_t{1920} * 1080 * 2 : int64_t{1920} * 1080 * 4;
}

int64_t yuv420_frame_bytes(int pix_width, int pix_height)
{
    return int64_t{pix_width} * pix_height * 3 / 2;
}

yuv420_layout yuv420_planes(int pix_width, int pix_height)
{
    yuv420_layout l{};
    if (pix_width <= 0 || pix_height <= 0)
        return l;
    l.chroma_width = pix_width / 2;
    l.chroma_height = pix_height / 2;
    const size_t luma = size_t(pix_width) * size_t(pix_height);
    const size_t chroma = size_t(l.chroma_width) * size_t(l.chroma_height);
    l.u = luma;
    l.v = luma + chroma;
    l.bytes = luma + 2 * chroma;
    return l;
}

int64_t rgb_frame_bytes(int pix_width, int pix_height)
{
    const int64_t row = int64_t{pix_width} * 3;
    const int64_t stride = (row + 3) / 4 * 4;
    return stride * (pix_height - 1) + row;
}

push_check check_packed_push(const uint8_t* buf, int bufsize, int pix_width, int pix_height,
                             int source_format)
{
    if (!buf)
        return push_check::null_buffer;
    if (bufsize <= 0 || pix_width <= 0 || pix_height <= 0)
        return push_check::bad_size;
    // Width x height fits 64 bits; every format takes at least a byte per pixel, so bounding the
    // pixel count first keeps the byte counts below from overflowing.
    if (bufsize > staging_capacity(source_format) ||
        int64_t{pix_width} * pix_height > staging_capacity(source_format))
        return push_check::too_large;
    const int64_t needed = source_format == VOUT_YUV420 ? yuv420_frame_bytes(pix_width, pix_height)
                                                        : rgb_frame_bytes(pix_width, pix_height);
    if (bufsize < needed)
        return push_check::short_buffer;
    return push_check::ok;
}

push_check check_yuv_push(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int linesize,
                          int pix_width, int pix_height, int source_format)
{
    if (source_format != VOUT_YUV420)
        return push_check::wrong_format;
    if (!ybuf)
        return push_check::null_buffer;
    if (linesize <= 0 || pix_width <= 0 || pix_height <= 0)
        return push_check::bad_size;
    if (linesize < pix_width)
        return push_check::bad_stride;
    if (!ubuf != !vbuf || (!ubuf && linesize != pix_width))
        return push_check::bad_planes;
    if (int64_t{pix_width} * pix_height > staging_capacity(source_format) ||
        yuv420_frame_bytes(pix_width, pix_height) > staging_capacity(source_format))
        return push_check::too_large;
    return push_check::ok;
}

static size_t copy_rows(frame_writer& out, uint8_t* dst, const uint8_t* src, int rows, int width, int stride)
{
    out.copy_rows(dst, src, size_t(stride), size_t(width), size_t(rows));
    return size_t(rows) * size_t(width);
}

int64_t pack_yuv420(uint8_t* dst, size_t dst_size, const uint8_t* ybuf, const uint8_t* ubuf,
                    const uint8_t* vbuf, int linesize, int pix_width, int pix_height, bool reused_dst)
{
    const int64_t bytes = yuv420_frame_bytes(pix_width, pix_height);
    if (bytes < 0 || uint64_t(bytes) > dst_size)
        return -1;
    frame_writer out(size_t(bytes), reused_dst);
    if (!ubuf && !vbuf) {
        out.copy(dst, ybuf, size_t(bytes));
        return bytes;
    }
    size_t off = copy_rows(out, dst, ybuf, pix_height, pix_width, linesize);
    off += copy_rows(out, dst + off, ubuf, pix_height / 2, pix_width / 2, linesize / 2);
    copy_rows(out, dst + off, vbuf, pix_height / 2, pix_width / 2, linesize / 2);
    return bytes;
}
