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
    std::atomic<uint32_t> fps_milli{0};        // first presentations in the last second, x 1000
    std::atomic<uint32_t> latency_us{0};       // push to present of the last presented frame
    std::atomic<int64_t> last_presented_us{-1};  // clock time of the last first presentation
};

// Frames per second over the last second, from the times (microseconds) of first
// presentations; render thread only. Counts up to kMax frames a second.
class fps_window {
public:
    static constexpr int kMax = 256;
    // Counts a presentation at `now_us`; returns the presentations of the second up to it.
    int presented(int64_t now_us)
    {
        m_times[m_next] = now_us;
        m_next = (m_next + 1) % kMax;
        if (m_count < kMax)
            ++m_count;
        int n = 0;
        for (int i = 1; i <= m_count; ++i) {
            const int64_t t = m_times[(m_next - i + kMax) % kMax];
            if (now_us - t >= 1000000)
                break;
            ++n;
        }
        return n;
    }

private:
    int64_t m_times[kMax] = {};
    int m_next = 0;
    int m_count = 0;
};

#endif
