// vout_stats: what an instance counts for the statistics export. Written by the pushing threads
// and the render thread, read by any thread; every field is one atomic, so reading never waits.
// Platform-free.
#ifndef KEL_VOUT_VOUT_STATS_H
#define KEL_VOUT_VOUT_STATS_H

#include <atomic>
#include <cstdint>

struct vout_stats {
    std::atomic<uint64_t> pushed{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> dropped{0};  // by the render thread; the ring counts its own
    std::atomic<uint64_t> presented{0};
    std::atomic<uint64_t> repaints{0};
    std::atomic<uint64_t> device_resets{0};
    std::atomic<uint32_t> fps_milli{0};        // first presentations a second, x 1000, as the frame
                                               // counter's last closed window saw them
    std::atomic<uint32_t> latency_us{0};       // push to present of the last presented frame
    std::atomic<int64_t> last_presented_us{-1};  // clock time of the last first presentation
    // Timed frames: those dropped as late (also counted in dropped), the refresh presented
    // against, the timing error's percentiles over the last frames, and the pts on screen.
    std::atomic<uint64_t> late{0};
    std::atomic<uint32_t> refresh_millihz{60000};
    std::atomic<uint32_t> error_p50_us{0};
    std::atomic<uint32_t> error_p99_us{0};
    std::atomic<int64_t> shown_pts_us{INT64_MIN};
};

#endif
