// Copies into a frame that another thread reads later (a push into the ring). A large frame is
// written past the processor's caches: its destination was last touched many frames ago, and an
// ordinary store would first read every line of it back from memory (a push of 1080p into a
// full ring took twice a cached memcpy for that alone). Platform-free.
#ifndef KEL_VOUT_STREAM_COPY_H
#define KEL_VOUT_STREAM_COPY_H

#include <cstddef>
#include <cstdint>

// Frames of this many bytes and more are streamed: beyond a core's share of the cache they
// rarely stay in it until the render thread reads them.
constexpr size_t kStreamFrameBytes = size_t(1) << 20;

// Writes one frame's bytes, in as many copies as it takes. Streamed stores are ordered before
// what follows once the writer is gone (or finish() was called): the frame may then be handed
// to another thread.
class frame_writer {
public:
    explicit frame_writer(size_t frame_bytes);
    ~frame_writer() { finish(); }
    frame_writer(const frame_writer&) = delete;
    frame_writer& operator=(const frame_writer&) = delete;

    // Copies `bytes` bytes from src to dst; the ranges must not overlap.
    void copy(uint8_t* dst, const uint8_t* src, size_t bytes);
    // Copies `rows` rows of `row` bytes, src_stride bytes apart, into rows `row` bytes apart.
    void copy_rows(uint8_t* dst, const uint8_t* src, size_t src_stride, size_t row, size_t rows);
    void finish();

    bool streams() const { return m_stream; }

private:
    bool m_stream;
    bool m_streamed = false;
};

#endif
