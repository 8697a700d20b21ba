// Frames shown at their time, on every backend: a host pushes frames whose pictures tell their
// index, steers the clock (paused at known times, seeks both ways, double speed) and checks
// with snapshots and the statistics which frame is on screen, which ones were late, and that
// frames never appear out of order. Also what the timed push, the clock and the queue wait
// refuse.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "host_window.h"
#include "kel_vout.h"
#include "test_support.h"

namespace {

const int kW = 64, kH = 48;

// An I420 frame whose top half is one grey level telling `index` (luma 40 + 8 * (index % 24),
// neutral chroma), over a bottom half that varies per pixel in every plane.
std::vector<uint8_t> indexed_frame(int index)
{
    const int cw = kW / 2, ch = kH / 2;
    std::vector<uint8_t> f(size_t(kW) * kH + 2 * size_t(cw) * ch);
    uint8_t* y = f.data();
    uint8_t* u = y + kW * kH;
    uint8_t* v = u + cw * ch;
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c)
            y[r * kW + c] = r < kH / 2 ? uint8_t(40 + 8 * (index % 24)) : uint8_t(30 + c * 2 + r);
    for (int r = 0; r < ch; ++r)
        for (int c = 0; c < cw; ++c) {
            u[r * cw + c] = r < ch / 2 ? 128 : uint8_t(60 + c * 4);
            v[r * cw + c] = r < ch / 2 ? 128 : uint8_t(200 - c * 3 - r);
        }
    return f;
}

// The index a snapshot shows: the grey of the top half's middle, as BT.601 limited range maps it.
int shown_index(const Snapshot& s)
{
    double sum = 0;
    int n = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            const uint8_t* p = s.at(s.width / 2 + dx, s.height / 4 + dy);
            sum += p[1];
            ++n;
        }
    const double luma = sum / n * 219.0 / 255.0 + 16.0;
    return int(std::lround((luma - 40.0) / 8.0));
}

KEL_VOUT_STATS_T stats_of(KEL_VOUT_HANDLE h)
{
    KEL_VOUT_STATS_T s{};
    s.size = sizeof(s);
    EXPECT_EQ(kel_vout_get_stats(h, &s), 0);
    return s;
}

bool push_at(KEL_VOUT_HANDLE h, int index, int64_t pts)
{
    const std::vector<uint8_t> f = indexed_frame(index);
    const KEL_VOUT_FRAME_T frame = packed_i420(f, kW, kH);
    KEL_VOUT_FRAME_INFO_T info{};
    info.size = sizeof(info);
    info.pts_us = pts;
    return kel_vout_put_frame_ex(h, &frame, &info) == 0;
}

bool shows_pts(KEL_VOUT_HANDLE h, int64_t pts)
{
    return HostWindow::pump_until([&] { return stats_of(h).shown_pts_us == pts; }, kPatienceMs);
}

int snapshot_index(KEL_VOUT_HANDLE h)
{
    Snapshot s;
    return take_snapshot(h, s) ? shown_index(s) : -1;
}

class Timing : public ::testing::TestWithParam<VOUT_MODE> {
protected:
    void SetUp() override
    {
        host = std::make_unique<HostWindow>(160, 120);
        h = create_vout(host->hwnd, GetParam(), VOUT_NORMAL);
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override
    {
        if (h) {
            // Once the render thread is done with the frame it took last, every push is counted.
            EXPECT_TRUE(HostWindow::pump_until(
                [&] {
                    const KEL_VOUT_STATS_T s = stats_of(h);
                    return s.pushed == s.presented + s.dropped + s.queued;
                },
                kPatienceMs));
            EXPECT_EQ(kel_vout_destroy(&h), 0);
        }
        host.reset();
    }
    std::unique_ptr<HostWindow> host;
    KEL_VOUT_HANDLE h = nullptr;
};

}  // namespace

TEST_P(Timing, APausedClockShowsTheFrameOfItsTimeAndSeeksGoBothWays)
{
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(push_at(h, i, i * 40000));
    ASSERT_TRUE(shows_pts(h, 0));
    EXPECT_EQ(snapshot_index(h), 0);
    KEL_VOUT_STATS_T s = stats_of(h);
    EXPECT_EQ(s.queued, 9u);  // the rest wait for their time
    EXPECT_EQ(s.late, 0u);

    // Paused at 0.1 s: frames 1 (40 ms) and 2 (80 ms) are due; the later is shown.
    ASSERT_EQ(kel_vout_set_clock(h, 100000, 0.0), 0);
    ASSERT_TRUE(shows_pts(h, 80000));
    EXPECT_EQ(snapshot_index(h), 2);
    s = stats_of(h);
    EXPECT_EQ(s.late, 1u);
    EXPECT_EQ(s.queued, 7u);

    // A seek forward to 0.33 s: frames 3 to 8 are due, 8 is shown and 3 to 7 are late.
    ASSERT_EQ(kel_vout_set_clock(h, 330000, 0.0), 0);
    ASSERT_TRUE(shows_pts(h, 320000));
    EXPECT_EQ(snapshot_index(h), 8);
    EXPECT_EQ(stats_of(h).late, 6u);

    // Back to 0: frame 9 (0.36 s) waits, and while paused nothing goes.
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    HostWindow::pump(200);
    s = stats_of(h);
    EXPECT_EQ(s.shown_pts_us, 320000);
    EXPECT_EQ(s.queued, 1u);
    EXPECT_EQ(s.late, 6u);
    EXPECT_EQ(snapshot_index(h), 8);

    // The frames of the new time: the first one earlier than frame 9 lets it go (not late).
    ASSERT_TRUE(push_at(h, 10, 0));
    ASSERT_TRUE(push_at(h, 11, 40000));
    ASSERT_TRUE(shows_pts(h, 0));
    EXPECT_EQ(snapshot_index(h), 10);
    s = stats_of(h);
    EXPECT_EQ(s.late, 6u);
    EXPECT_EQ(s.dropped, 7u);
    EXPECT_EQ(s.presented, 4u);  // frames 0, 2, 8 and 10
    EXPECT_EQ(s.queued, 1u);
    EXPECT_EQ(s.pushed, 12u);
}

TEST_P(Timing, ARunningClockShowsFramesInOrderAtTheirTimeAndRate)
{
    const int kFrames = 30;
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    for (int i = 0; i < kFrames; ++i)
        ASSERT_TRUE(push_at(h, i, i * 40000));
    ASSERT_TRUE(shows_pts(h, 0));
    // Double speed: 1.16 s of frames in 0.58 s.
    ASSERT_EQ(kel_vout_set_clock(h, 0, 2.0), 0);
    const int64_t start = clock_us();
    std::vector<int64_t> seen{0};
    int64_t last_at = 0;
    const int64_t last_pts = (kFrames - 1) * 40000;
    while (seen.back() != last_pts && clock_us() - start < int64_t(kPatienceMs) * 1000) {
        const int64_t pts = stats_of(h).shown_pts_us;
        if (pts != seen.back()) {
            seen.push_back(pts);
            last_at = clock_us() - start;
        }
        HostWindow::pump(1);
    }
    ASSERT_EQ(seen.back(), last_pts);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_GT(seen[i], seen[i - 1]) << "frames shown out of order";
    // Never more than half a refresh early (8.3 ms at 60 Hz, 10 ms at 50) and a quarter for the
    // present's own lead, however fast the machine; at rate 1 the last frame would need 1.16 s.
    EXPECT_GE(last_at, 580000 - 25000);
    EXPECT_LT(last_at, 1100000);
    EXPECT_EQ(snapshot_index(h), (kFrames - 1) % 24);
    const KEL_VOUT_STATS_T s = stats_of(h);
    EXPECT_EQ(s.presented + s.late, uint64_t(kFrames));
    EXPECT_GT(s.timing_error_p99_ms, 0.0);
    EXPECT_GE(s.timing_error_p99_ms, s.timing_error_p50_ms);
    EXPECT_GE(s.refresh_hz, 10.0);
    EXPECT_LE(s.refresh_hz, 500.0);
}

TEST_P(Timing, LateFramesGoUnlessNewestAndUntimedFramesShowAtOnce)
{
    // Pushed while the clock stands at -1 s: nothing is due, nothing is shown.
    ASSERT_EQ(kel_vout_set_clock(h, -1000000, 0.0), 0);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(push_at(h, i, i * 40000));
    HostWindow::pump(150);
    KEL_VOUT_STATS_T s = stats_of(h);
    EXPECT_EQ(s.shown_pts_us, KEL_VOUT_PTS_NONE);
    EXPECT_EQ(s.queued, 5u);

    // Running from 1 s: all five are past due; the newest is shown, the others are late.
    ASSERT_EQ(kel_vout_set_clock(h, 1000000, 1.0), 0);
    ASSERT_TRUE(shows_pts(h, 160000));
    EXPECT_EQ(snapshot_index(h), 4);
    EXPECT_EQ(stats_of(h).late, 4u);

    // A frame 1.5 s past due with a newer one waiting goes; the newer one comes at its time.
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    ASSERT_TRUE(push_at(h, 5, 500000));
    ASSERT_TRUE(push_at(h, 6, 2300000));
    ASSERT_EQ(kel_vout_set_clock(h, 2000000, 1.0), 0);
    ASSERT_TRUE(HostWindow::pump_until([&] { return stats_of(h).late == 5u; }, kPatienceMs));
    EXPECT_EQ(stats_of(h).shown_pts_us, 160000);
    ASSERT_TRUE(shows_pts(h, 2300000));
    EXPECT_EQ(snapshot_index(h), 6);

    // An untimed frame is shown at once; a timed one waiting before it goes, not late.
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    ASSERT_TRUE(push_at(h, 7, 5000000));
    const std::vector<uint8_t> f = indexed_frame(8);
    const KEL_VOUT_FRAME_T frame = packed_i420(f, kW, kH);
    ASSERT_EQ(kel_vout_put_frame(h, &frame), 0);
    ASSERT_TRUE(shows_pts(h, KEL_VOUT_PTS_NONE));
    EXPECT_EQ(snapshot_index(h), 8);
    s = stats_of(h);
    EXPECT_EQ(s.late, 5u);
    EXPECT_EQ(s.queued, 0u);
}

TEST_P(Timing, TheQueueWaitReturnsAsFramesAreShown)
{
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(push_at(h, i, (i + 1) * 20000));
    // Paused short of them all: nothing leaves, the wait times out.
    const int64_t begin = clock_us();
    EXPECT_EQ(kel_vout_wait_queue(h, 8, 150), 1);
    EXPECT_GE(clock_us() - begin, 140000);
    EXPECT_EQ(kel_vout_wait_queue(h, 12, 0), 0);
    // Running: they are shown one by one and the wait returns as the queue gets short.
    ASSERT_EQ(kel_vout_set_clock(h, 0, 1.0), 0);
    EXPECT_EQ(kel_vout_wait_queue(h, 8, int32_t(kPatienceMs)), 0);
    EXPECT_LE(stats_of(h).queued, 8u);
    EXPECT_EQ(kel_vout_wait_queue(h, 0, int32_t(kPatienceMs)), 0);
    EXPECT_EQ(stats_of(h).queued, 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Timing, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& info) { return backend_label(info.param); });

TEST(TimingApi, WhatTheTimedPushRefuses)
{
    HostWindow host(160, 120);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_WGL);
    ASSERT_NE(h, nullptr);
    const std::vector<uint8_t> f = indexed_frame(1);
    const KEL_VOUT_FRAME_T frame = packed_i420(f, kW, kH);
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);

    struct case_t {
        const char* what;
        uint32_t size;
        int32_t transfer, primaries, max_luminance;
        int32_t expected;
    };
    const case_t cases[] = {
        {"the whole record", 24, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT709, 0, 0},
        {"a mastering peak", 24, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT709, 1000, 0},
        {"through pts only: the rest reads as 0", 16, KEL_VOUT_TRC_SDR, 77, -5, 0},
        {"a larger record of a newer host", 64, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT709, 0, 0},
        {"short of pts", 15, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT709, 0, 1},
        {"no size", 0, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT709, 0, 1},
        {"PQ", 24, KEL_VOUT_TRC_PQ, KEL_VOUT_PRI_BT2020, 1000, 0},
        {"HLG", 24, KEL_VOUT_TRC_HLG, KEL_VOUT_PRI_BT709, 0, 0},
        {"an unknown transfer", 24, -1, KEL_VOUT_PRI_BT709, 0, 1},
        {"a transfer past HLG", 24, KEL_VOUT_TRC_HLG + 1, KEL_VOUT_PRI_BT709, 0, 1},
        {"BT.2020 primaries", 24, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT2020, 0, 0},
        {"unknown primaries", 24, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT2020 + 1, 0, 1},
        {"a negative peak", 24, KEL_VOUT_TRC_SDR, KEL_VOUT_PRI_BT709, -1, 1},
    };
    uint64_t accepted = 0, refused = 0;
    int64_t pts = 1000000;
    for (const case_t& c : cases) {
        // A record inside a larger block, as a newer host's would be.
        unsigned char block[64];
        std::memset(block, 0, sizeof(block));
        KEL_VOUT_FRAME_INFO_T info{};
        info.size = c.size;
        info.transfer = c.transfer;
        info.pts_us = pts;
        info.primaries = c.primaries;
        info.max_luminance = c.max_luminance;
        std::memcpy(block, &info, sizeof(info));
        pts += 40000;
        EXPECT_EQ(kel_vout_put_frame_ex(h, &frame, reinterpret_cast<const KEL_VOUT_FRAME_INFO_T*>(block)), c.expected)
            << c.what;
        (c.expected == 0 ? accepted : refused)++;
    }
    EXPECT_EQ(kel_vout_put_frame_ex(h, nullptr, nullptr), 1);
    EXPECT_EQ(kel_vout_put_frame_ex(nullptr, &frame, nullptr), 1);
    KEL_VOUT_FRAME_T bad = frame;
    bad.width = 0;
    EXPECT_EQ(kel_vout_put_frame_ex(h, &bad, nullptr), 1);
    refused += 2;
    EXPECT_EQ(kel_vout_put_frame_ex(h, &frame, nullptr), 0);  // untimed, as kel_vout_put_frame
    ++accepted;
    KEL_VOUT_STATS_T s = stats_of(h);
    EXPECT_EQ(s.pushed, accepted);
    EXPECT_EQ(s.refused, refused);

    // The clock and the wait refuse what they cannot take.
    EXPECT_EQ(kel_vout_set_clock(nullptr, 0, 1.0), 1);
    EXPECT_EQ(kel_vout_set_clock(h, 0, 9.0), 0);  // taken as 1
    EXPECT_EQ(kel_vout_wait_queue(nullptr, 8, 10), 1);
    EXPECT_EQ(kel_vout_wait_queue(h, -1, 10), 1);
    EXPECT_EQ(kel_vout_wait_queue(h, 76, 10), 1);
    EXPECT_EQ(kel_vout_wait_queue(h, 75, 10), 0);

    // A record of the statistics from before the timing fields gets none of them.
    std::memset(&s, 0xA5, sizeof(s));
    s.size = offsetof(KEL_VOUT_STATS_T, late);
    EXPECT_EQ(kel_vout_get_stats(h, &s), 0);
    EXPECT_EQ(s.late, 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(kel_vout_destroy(&h), 0);
}

TEST(TimingApi, AQueueWaitEndsWhenTheInstanceIsDestroyed)
{
    HostWindow host(160, 120);
    KEL_VOUT_HANDLE h = create_vout(host.hwnd, VOUT_WGL);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(kel_vout_set_clock(h, 0, 0.0), 0);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(push_at(h, i, (i + 1) * 1000000));
    KEL_VOUT_HANDLE copy = h;
    std::thread destroyer([&copy] {
        Sleep(100);
        kel_vout_destroy(&copy);
    });
    const int64_t begin = clock_us();
    EXPECT_EQ(kel_vout_wait_queue(h, 0, 8000), 1);
    EXPECT_LT(clock_us() - begin, 4000000);
    destroyer.join();
    EXPECT_EQ(copy, nullptr);
    EXPECT_TRUE(render_threads_end());
}
