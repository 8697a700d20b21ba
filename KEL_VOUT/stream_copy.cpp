// frame_writer: copies that stream past the cache where the processor has the stores for it.
#include "stream_copy.h"

#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KEL_VOUT_STREAM_STORES 1
#else
#define KEL_VOUT_STREAM_STORES 0
#endif

namespace {

#if KEL_VOUT_STREAM_STORES
// Ordinary stores up to the first 16-byte boundary of dst, streamed 16-byte stores from there,
// ordinary stores for the tail.
void stream(uint8_t* dst, const uint8_t* src, size_t bytes)
{
    size_t head = (16 - (reinterpret_cast<uintptr_t>(dst) & 15)) & 15;
    if (head > bytes)
        head = bytes;
    if (head)
        std::memcpy(dst, src, head);
    size_t i = head;
    for (; i + 64 <= bytes; i += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
    }
    for (; i + 16 <= bytes; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    if (i < bytes)
        std::memcpy(dst + i, src + i, bytes - i);
}
#endif

}  // namespace

frame_writer::frame_writer(size_t frame_bytes, bool reused)
    : m_stream(KEL_VOUT_STREAM_STORES && reused && frame_bytes >= kStreamFrameBytes)
{
}

void frame_writer::copy(uint8_t* dst, const uint8_t* src, size_t bytes)
{
    if (bytes == 0)
        return;
#if KEL_VOUT_STREAM_STORES
    if (m_stream) {
        stream(dst, src, bytes);
        m_streamed = true;
        return;
    }
#endif
    std::memcpy(dst, src, bytes);
}

void frame_writer::copy_rows(uint8_t* dst, const uint8_t* src, size_t src_stride, size_t row, size_t rows)
{
    if (src_stride == row && rows > 0) {  // one block
        copy(dst, src, row * rows);
        return;
    }
    for (size_t i = 0; i < rows; ++i)
        copy(dst + i * row, src + i * src_stride, row);
}

void frame_writer::finish()
{
#if KEL_VOUT_STREAM_STORES
    if (m_streamed)
        _mm_sfence();
#endif
    m_streamed = false;
}
