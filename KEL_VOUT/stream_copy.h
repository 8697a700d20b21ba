// Copies into a frame that another thread reads later (a push into the ring). A large frame
// going into a buffer that held an earlier frame is written past the processor's caches: with
// frames queued that buffer was last touched many frames ago, and an ordinary store would first
// read every line of it back from memory (a 1080p push into a full ring took twice a cached
// memcpy for that alone; streamed, 1.25x). Fresh pages are written the ordinary way: the system
// hands them over zeroed and in the cache, and streaming into them took twice as long.
// Platform-free.
#ifndef KEL_VOUT_STREAM_COPY_H
#define KEL_VOUT_STREAM_COPY_H

#include <cstddef>
#include <cstdint>

// Frames of this many bytes and more are streamed into reused buffers: beyond a core's share
// of the cache they rarely stay in it until the render thread reads them.
constexpr size_t kStreamFrameBytes = size_t(1) << 20;

// Writes one frame's bytes, in as many copies as it takes. Streamed stores are ordered before
// what follows once the writer is gone (or finish() was called): the frame may then be handed
// to another thread.
class frame_writer {
public:
    // reused: dst held data before (not newly allocated memory).
    frame_writer(size_t frame_bytes, bool reused);
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
