#include <gtest/gtest.h>

#include <vector>

#include "frame_counter.h"

TEST(FrameCounter, FirstCallOpensTheWindowAndCountsOne)
{
    double t0 = -1.0;
    int frames = 0;
    freamrate_step(1000.25, t0, frames);
    EXPECT_EQ(t0, 1000.25);
    EXPECT_EQ(frames, 1);
}

TEST(FrameCounter, WindowClosesAtOneSecondNotBefore)
{
    struct Case {
        double second_call;
        bool resets;
    };
    for (const Case c : {Case{1000.5, false}, Case{1000.999, false}, Case{1001.0, true}, Case{1003.0, true}}) {
        double t0 = -1.0;
        int frames = 0;
        freamrate_step(1000.0, t0, frames);
        freamrate_step(c.second_call, t0, frames);
        EXPECT_EQ(frames, c.resets ? 0 : 2) << c.second_call;
        EXPECT_EQ(t0, c.resets ? c.second_call : 1000.0) << c.second_call;
    }
}

TEST(FrameCounter, ThirdCallHalfSecondsApartResets)
{
    double t0 = -1.0;
    int frames = 0;
    for (double t : {10.0, 10.5, 11.0})
        freamrate_step(t, t0, frames);
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(t0, 11.0);
}

TEST(FrameCounter, ClockSetBackDoesNotResetUntilItPassesTheWindow)
{
    double t0 = -1.0;
    int frames = 0;
    freamrate_step(100.0, t0, frames);
    freamrate_step(50.0, t0, frames);  // set back
    freamrate_step(100.9, t0, frames);
    EXPECT_EQ(frames, 3);
    freamrate_step(101.0, t0, frames);
    EXPECT_EQ(frames, 0);
}

// The statistics' frame rate: what each closed window of the counter saw, over its length.
TEST(FrameCounter, AClosedWindowGivesItsFramesOverItsLength)
{
    struct Case {
        double t0_before;
        int frames_before;
        double t0_after;
        bool first;
        double rate;
    };
    const Case cases[] = {
        {-1.0, 0, 5.0, true, -1.0},  // the first call opens the first window
        {5.0, 3, 5.0, true, -1.0},   // a call inside the window closes nothing
        {10.0, 30, 11.0, true, 30.0},
        {10.0, 29, 11.0, false, 30.0},  // the opener was counted in the window before
        {10.0, 1, 13.0, true, 1.0 / 3.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(closed_window_rate(c.t0_before, c.frames_before, c.t0_after, c.first), c.rate)
            << c.t0_before << " " << c.frames_before;

    // 32 frames a second for three seconds, driven through the counter: the 33rd frame closes the
    // window of the first 32, and every window after it holds 32 too.
    double t0 = -1.0;
    int frames = 0;
    bool first = true;
    std::vector<double> rates;
    for (int i = 0; i <= 96; ++i) {
        const double before = t0;
        const int counted = frames;
        freamrate_step(100.0 + i / 32.0, t0, frames);
        const double rate = closed_window_rate(before, counted, t0, first);
        if (rate >= 0) {
            rates.push_back(rate);
            first = false;
        }
    }
    ASSERT_EQ(rates.size(), 3u);
    for (double r : rates)
        EXPECT_DOUBLE_EQ(r, 32.0);
}
