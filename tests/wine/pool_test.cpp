// The picture pool with real Win32 events and threads: order, overflow, wrap-around, the idle
// wait and the wake-up by a push; and the timing helpers.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "Timer.h"
#include "picture_pool.h"

namespace {

constexpr int kCapacity = 64;

struct Pool {
    // The reader starts with a buffer of its own, as the render thread does (its start picture's).
    explicit Pool(int slots = 75)
    {
        EXPECT_TRUE(pool.init_pool(slots, kCapacity));
        out.buf = Picture_Pool::alloc_frame(kCapacity);
        out.capacity = kCapacity;
    }
    // Pushes a frame whose bytes and size fields all carry `id`.
    bool put(int id)
    {
        uint8_t bytes[8];
        std::memset(bytes, id & 0xFF, sizeof(bytes));
        PICTURE_T p{bytes, 1 + id % 8, id, id / 256, false, 0, {}, 0, {}, 0, kPtsNone};
        return pool.put_pool(&p);
    }
    // The id of the next frame taken, or -1 when get_pool answers 1. The reader's record takes
    // the frame's buffer and hands the one it held back, as the render thread's does.
    int get()
    {
        if (pool.get_pool(&out) != 0)
            return -1;
        EXPECT_EQ(out.bufsize, 1 + out.pix_width % 8);
        EXPECT_EQ(out.buf[0], uint8_t(out.pix_width & 0xFF));
        EXPECT_GE(out.capacity, out.bufsize);
        return out.pix_width;
    }
    ~Pool() { Picture_Pool::free_frame(out.buf); }
    Picture_Pool pool;
    PICTURE_T out{};
};

DWORD elapsed_ms(const Timer& start_copy)
{
    Timer t = start_copy;
    return DWORD(t.getElapsedTimeInMilliSec());
}

// The shortest of a few runs of a timed scenario: a machine busy with other work may delay any
// one run, but a wait that really ends early does so in most of them.
template <typename F>
double best_of(int runs, F scenario)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, double(scenario()));
    return best;
}

}  // namespace

TEST(PicturePool, FreshPoolWaitsFortyMillisecondsAndLeavesThePictureAlone)
{
    Pool p;
    p.out.bufsize = 123;
    Timer t;
    t.start();
    EXPECT_EQ(p.get(), -1);
    const DWORD waited = elapsed_ms(t);
    EXPECT_GE(waited, 35u);
    EXPECT_LT(waited, 500u);
    EXPECT_EQ(p.out.bufsize, 123);
}

TEST(PicturePool, FramesComeOutOnceInPushOrderUpToAFullRing)
{
    for (int n : {1, 2, 74, 75}) {
        Pool p;
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(p.put(i));
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(p.get(), i) << "after " << n << " puts";
        EXPECT_EQ(p.get(), -1);
    }
}

TEST(PicturePool, AFullRingDiscardsTheOldestFrames)
{
    for (int n : {76, 80, 75 * 3 + 1}) {
        Pool p;
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(p.put(i));
        EXPECT_EQ(p.pool.waiting(), 75);
        for (int i = n - 75; i < n; ++i)
            ASSERT_EQ(p.get(), i) << "after " << n << " puts";
        EXPECT_EQ(p.get(), -1);
    }
}

TEST(PicturePool, SmallRingsKeepTheNewestFrames)
{
    Pool one(1);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(one.put(i));
    EXPECT_EQ(one.get(), 4);
    EXPECT_EQ(one.get(), -1);

    Pool two(2);
    ASSERT_TRUE(two.put(1));
    EXPECT_EQ(two.get(), 1);
    ASSERT_TRUE(two.put(2));
    ASSERT_TRUE(two.put(3));
    ASSERT_TRUE(two.put(4));
    EXPECT_EQ(two.get(), 3);
    EXPECT_EQ(two.get(), 4);
}

TEST(PicturePool, InterleavedUseStaysInOrderOverManyLaps)
{
    Pool p;
    int next_put = 0, next_get = 0;
    // Varying batch sizes walk both indices around the ring many times.
    for (int lap = 0; lap < 400; ++lap) {
        const int batch = 1 + lap * 7 % 60;
        for (int i = 0; i < batch && next_put - next_get < 75; ++i)
            ASSERT_TRUE(p.put(next_put++));
        const int take = lap % 3 == 0 ? batch : batch - 1 + lap % 2;
        for (int i = 0; i < take && next_get < next_put; ++i)
            ASSERT_EQ(p.get(), next_get++);
    }
    while (next_get < next_put)
        ASSERT_EQ(p.get(), next_get++);
    EXPECT_EQ(p.get(), -1);
    EXPECT_GT(next_put, 75 * 100);
}

TEST(PicturePool, OversizedOrEmptyFramesAreRefused)
{
    Pool p;
    uint8_t big[kCapacity + 1] = {};
    PICTURE_T too_big{big, kCapacity + 1, 1, 1, false, 0, {}, 0, {}, 0, kPtsNone};
    PICTURE_T empty{big, 0, 1, 1, false, 0, {}, 0, {}, 0, kPtsNone};
    PICTURE_T no_bytes{nullptr, 4, 1, 1, false, 0, {}, 0, {}, 0, kPtsNone};
    EXPECT_FALSE(p.pool.put_pool(&too_big));
    EXPECT_FALSE(p.pool.put_pool(&empty));
    EXPECT_FALSE(p.pool.put_pool(&no_bytes));
    EXPECT_FALSE(p.pool.put_pool(nullptr));
    EXPECT_EQ(p.pool.waiting(), 0);
}

TEST(PicturePool, APushEndsTheIdleWaitAndIsDeliveredByThatCall)
{
    const double waited = best_of(5, [] {
        Pool p;
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread writer([&] {
            WaitForSingleObject(go, INFINITE);
            Sleep(5);
            p.put(7);
        });
        Timer t;
        t.start();
        SetEvent(go);
        const int got = p.get();
        const DWORD ms = elapsed_ms(t);
        writer.join();
        CloseHandle(go);
        EXPECT_EQ(got, 7);
        return ms;
    });
    EXPECT_LT(waited, 35.0);
}

TEST(PicturePool, AFrameWaitingAlreadyIsTakenWithoutWaiting)
{
    const double waited = best_of(5, [] {
        Pool p;
        p.put(3);
        Timer t;
        t.start();
        EXPECT_EQ(p.get(), 3);
        return elapsed_ms(t);
    });
    EXPECT_LT(waited, 20.0);
}

TEST(PicturePool, SteadyWriterAndReaderLoseNothing)
{
    Pool p;
    const int frames = 3000;
    std::thread writer([&] {
        for (int i = 0; i < frames; ++i) {
            while (p.pool.waiting() >= 70)
                Sleep(0);
            p.put(i);
        }
    });
    int expected = 0;
    while (expected < frames) {
        const int got = p.get();
        if (got < 0)
            continue;
        ASSERT_EQ(got, expected);
        ++expected;
    }
    writer.join();
}

TEST(PicturePool, FreeingReleasesEverythingAndIsIdempotent)
{
    Pool p;
    for (int i = 0; i < 10; ++i)
        p.put(i);
    p.pool.free_pool();
    EXPECT_EQ(p.get(), -1);
    EXPECT_FALSE(p.put(1));
    p.pool.free_pool();
}

TEST(Timing, MillisecondSleepTruncates)
{
    Timer t;
    t.start();
    _msleep(10.0f);
    const double slept = t.getElapsedTimeInMilliSec();
    EXPECT_GE(slept, 9.0);
    // Below a millisecond is no sleep at all.
    EXPECT_LT(best_of(5,
                      [] {
                          Timer u;
                          u.start();
                          _msleep(0.9f);
                          return u.getElapsedTimeInMilliSec();
                      }),
              5.0);
}

TEST(Timing, RunningTimerGrowsStoppedTimerHolds)
{
    Timer t;
    t.start();
    const double a = t.getElapsedTimeInMicroSec();
    Sleep(2);
    const double b = t.getElapsedTimeInMicroSec();
    EXPECT_GT(b, a);
    t.stop();
    const double c = t.getElapsedTimeInMicroSec();
    Sleep(2);
    EXPECT_EQ(t.getElapsedTimeInMicroSec(), c);
    EXPECT_DOUBLE_EQ(t.getElapsedTimeInMilliSec(), c * 0.001);
    EXPECT_DOUBLE_EQ(t.getElapsedTime(), c * 0.000001);
}

TEST(Timing, FrameCounterOpensAWindowOnItsFirstCall)
{
    double t0 = -1.0;
    int frames = 0;
    freamrate_count(t0, frames);
    EXPECT_GE(t0, 0.0);  // seconds of the performance counter
    EXPECT_EQ(frames, 1);
    const double first = t0;
    freamrate_count(t0, frames);
    EXPECT_EQ(t0, first);  // the same window, well within its second
    EXPECT_EQ(frames, 2);
}

namespace {
int g_allocations = 0;
void* counting_malloc(size_t n)
{
    ++g_allocations;
    return std::malloc(n);
}
}  // namespace

// Counts the pool's allocations while it lives (malloc again after, even when a test stops early).
struct counted_allocations {
    counted_allocations()
    {
        g_allocations = 0;
        Picture_Pool::set_allocator_for_testing(counting_malloc);
    }
    ~counted_allocations() { Picture_Pool::set_allocator_for_testing(nullptr); }
    counted_allocations(const counted_allocations&) = delete;
    counted_allocations& operator=(const counted_allocations&) = delete;
};

TEST(PicturePool, SteadyPlaybackReusesFrameBuffers)
{
    Pool p;
    counted_allocations counting;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(p.put(i % 8));  // frames of up to 8 bytes
        ASSERT_EQ(p.get(), i % 8);
    }
    const int steady = g_allocations;
    // A burst needs new buffers beyond the few that are kept.
    for (int i = 0; i < 20; ++i)
        p.put(7);
    EXPECT_LE(steady, 8);  // only while the first sizes arrive
    EXPECT_GE(g_allocations - steady, 15);
}

TEST(PicturePool, ARefillAfterADrainReusesTheBuffersAndAnIdleSecondReturnsThem)
{
    Pool p;
    counted_allocations counting;
    for (int i = 0; i < 75; ++i)
        ASSERT_TRUE(p.put(7));
    EXPECT_EQ(g_allocations, 75);
    // Drained by the reader: a refill at once allocates nothing.
    for (int i = 0; i < 75; ++i)
        ASSERT_EQ(p.get(), 7);
    for (int i = 0; i < 75; ++i)
        ASSERT_TRUE(p.put(7));
    EXPECT_EQ(g_allocations, 75);
    // Let go by a lower queue limit (as a host does at a seek): the push that lets them go
    // needs one more buffer (it is written before the oldest go), the refill none.
    ASSERT_TRUE(p.pool.set_queue_limit(1));
    ASSERT_TRUE(p.put(7));
    ASSERT_TRUE(p.pool.set_queue_limit(75));
    ASSERT_EQ(p.pool.dropped(), 75u);
    ASSERT_EQ(p.get(), 7);
    EXPECT_EQ(g_allocations, 76);
    for (int i = 0; i < 75; ++i)
        ASSERT_TRUE(p.put(7));
    EXPECT_EQ(g_allocations, 76);
    // Drained, then three seconds of the reader's idle passes (the buffers stay for one, and a
    // pass frees a few): all but a few buffers go, and the next burst allocates again.
    for (int i = 0; i < 75; ++i)
        ASSERT_EQ(p.get(), 7);
    Timer t;
    t.start();
    while (t.getElapsedTimeInMilliSec() < 3000)
        EXPECT_EQ(p.get(), -1);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(p.put(7));
    EXPECT_GE(g_allocations - 76, 15);
}

TEST(PicturePool, FrameBuffersStartOnACacheLine)
{
    for (size_t bytes : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(4096), size_t(3110400)}) {
        std::vector<uint8_t*> bufs;
        for (int i = 0; i < 8; ++i) {
            uint8_t* b = Picture_Pool::alloc_frame(bytes);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u) << bytes;
            std::memset(b, 0xA5, bytes);
            bufs.push_back(b);
        }
        for (uint8_t* b : bufs)
            Picture_Pool::free_frame(b);
    }
    Picture_Pool::free_frame(nullptr);
    EXPECT_EQ(Picture_Pool::alloc_frame(SIZE_MAX - 8), nullptr);
}

TEST(PicturePool, WakeEndsTheIdleWaitWithoutAFrame)
{
    const double waited = best_of(5, [] {
        Pool p;
        std::thread waker([&] {
            Sleep(5);
            p.pool.wake();
        });
        Timer t;
        t.start();
        EXPECT_EQ(p.get(), -1);
        const DWORD ms = elapsed_ms(t);
        waker.join();
        return ms;
    });
    EXPECT_LT(waited, 35.0);
}
