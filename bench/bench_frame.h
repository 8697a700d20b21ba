// What the benchmark and its bare loop draw: the window arrangement and the 1080p I420 frames,
// with rows padded as decoders pad them, luma and chroma each their own way.
#ifndef KEL_VOUT_BENCH_FRAME_H
#define KEL_VOUT_BENCH_FRAME_H

#include <cstddef>
#include <cstdint>
#include <vector>

const int kFrameWidth = 1920;
const int kFrameHeight = 1080;
const int kChromaWidth = kFrameWidth / 2;
const int kChromaHeight = kFrameHeight / 2;
const int kLumaStride = 2048;
const int kChromaStride = 1024;
const int kClientWidth = 1280;
const int kClientHeight = 720;

// One I420 frame in the host's memory, each plane with its own stride.
struct host_frame {
    std::vector<uint8_t> y, u, v;
};

// A diagonal gradient moved by `phase`, so that consecutive frames differ in every pixel.
inline host_frame make_frame(int phase)
{
    host_frame f;
    f.y.resize(size_t(kLumaStride) * kFrameHeight);
    f.u.resize(size_t(kChromaStride) * kChromaHeight);
    f.v.resize(f.u.size());
    for (int r = 0; r < kFrameHeight; ++r)
        for (int c = 0; c < kFrameWidth; ++c)
            f.y[size_t(r) * kLumaStride + c] = uint8_t(16 + (r + c + phase) % 220);
    for (int r = 0; r < kChromaHeight; ++r)
        for (int c = 0; c < kChromaWidth; ++c) {
            f.u[size_t(r) * kChromaStride + c] = uint8_t(16 + (c + phase) % 225);
            f.v[size_t(r) * kChromaStride + c] = uint8_t(16 + (r + phase) % 225);
        }
    return f;
}

#endif
