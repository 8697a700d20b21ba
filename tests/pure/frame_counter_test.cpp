#include <gtest/gtest.h>

#include "frame_counter.h"
#include "vout_stats.h"

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

// The statistics' frame rate counts the presentations of the last second, whatever came before.
TEST(FpsWindow, CountsThePresentationsOfTheLastSecond)
{
    fps_window fps;
    int last = 0;
    for (int i = 0; i < 300; ++i)  // a burst: 300 in 0.3 s (more than the window holds)
        last = fps.presented(int64_t(i) * 1000);
    EXPECT_EQ(last, fps_window::kMax);
    for (int i = 0; i < 60; ++i)  // then one every 34 ms for two seconds: 30 in any second
        last = fps.presented(300000 + int64_t(i + 1) * 34000);
    EXPECT_EQ(last, 30);
    EXPECT_EQ(fps.presented(10000000), 1);  // after a pause: this one alone
}
