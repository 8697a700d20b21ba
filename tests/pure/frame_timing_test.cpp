// Timed frames: the host's clock with its rates, pause and slewed corrections, the refresh grid,
// which waiting frame a refresh shows, and the timing statistics, against values worked out by
// hand. The choices use a 20 ms refresh (50 Hz) on a grid through 0, a clock at rate 1 that
// reads 0 at local time 0 (a frame is due at its pts), no drawing lead and 2 ms of hysteresis.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "frame_timing.h"

namespace {

media_clock clock_at(int64_t local, int64_t now, double rate)
{
    media_clock c;
    c.set(local, now, rate, 0);
    return c;
}

struct chooser {
    media_clock clock = clock_at(0, 0, 1.0);
    refresh_grid grid{20000, 0};
    schedule_memory memory;
    int64_t hysteresis = 2000;

    schedule_choice operator()(std::vector<int64_t> pts, int64_t now) const
    {
        return choose_frame(pts.data(), int(pts.size()), clock, grid, memory, now, 0, hysteresis);
    }
};

}  // namespace

TEST(MediaClock, ReadsTheSetTimeOnAtItsRateAndPaused)
{
    media_clock c;
    EXPECT_FALSE(c.started());
    EXPECT_EQ(c.media_at(5), kPtsNone);
    EXPECT_EQ(c.due_at(0, 5), kNever);

    c.set(1000, 5000000, 1.0, 0);
    EXPECT_TRUE(c.started());
    EXPECT_EQ(c.generation(), 1u);
    EXPECT_EQ(c.media_at(1000), 5000000);
    EXPECT_EQ(c.media_at(11000), 5010000);
    EXPECT_EQ(c.due_at(5030000, 11000), 31000);
    EXPECT_EQ(c.due_at(4995000, 11000), -4000);  // past due: before now

    c.set(0, 0, 2.0, 0);
    EXPECT_EQ(c.media_at(1000), 2000);
    EXPECT_EQ(c.due_at(10000, 0), 5000);
    c.set(0, 0, 0.25, 0);
    EXPECT_EQ(c.media_at(4000), 1000);
    c.set(0, 0, 4.0, 0);
    EXPECT_EQ(c.media_at(1000), 4000);

    c.set(0, 100000, 0.0, 0);  // paused
    EXPECT_EQ(c.media_at(900000), 100000);
    EXPECT_EQ(c.due_at(100000, 700), 700);
    EXPECT_EQ(c.due_at(40000, 700), 700);
    EXPECT_EQ(c.due_at(100001, 700), kNever);
}

TEST(MediaClock, RatesOutsideReadAsOneAndAStartOnlyStartsAClockNeverSet)
{
    for (double rate : {7.0, 0.1, -1.0, 4.01, 0.2499}) {
        media_clock c;
        c.set(0, 0, rate, 0);
        EXPECT_EQ(c.rate(), 1.0) << rate;
        EXPECT_EQ(c.media_at(1000), 1000) << rate;
    }
    media_clock nan_rate;
    nan_rate.set(0, 0, std::nan(""), 0);
    EXPECT_EQ(nan_rate.rate(), 1.0);

    media_clock c;
    c.start(500, 90000);
    EXPECT_EQ(c.media_at(1500), 91000);
    EXPECT_EQ(c.rate(), 1.0);
    c.start(2000, 0);  // started already: no effect
    EXPECT_EQ(c.media_at(1500), 91000);
    EXPECT_EQ(c.generation(), 1u);
}

TEST(MediaClock, SmallCorrectionsAreSlewedAndLargeOnesJump)
{
    media_clock c = clock_at(0, 0, 1.0);
    // At 1 s the host says 1.010 s: 10 ms, under the 16.667 ms limit, is worked off at 5 %.
    c.set(1000000, 1010000, 1.0, 16667);
    EXPECT_EQ(c.generation(), 1u);               // no jump
    EXPECT_EQ(c.media_at(1000000), 1000000);     // the reading goes on from where it was
    EXPECT_DOUBLE_EQ(c.speed_at(1000000), 1.05);
    EXPECT_EQ(c.media_at(1100000), 1105000);     // half the gap worked off after 100 ms
    EXPECT_EQ(c.media_at(1200000), 1210000);     // all of it after 200 ms
    EXPECT_DOUBLE_EQ(c.speed_at(1200000), 1.0);
    EXPECT_EQ(c.media_at(1300000), 1310000);

    // Behind by 8 ms at rate 2 is 4 ms of wall time: slewed at 5 % of the rate (0.1).
    media_clock fast = clock_at(0, 0, 2.0);
    fast.set(0, -8000, 2.0, 16667);
    EXPECT_EQ(fast.media_at(0), 0);
    EXPECT_DOUBLE_EQ(fast.speed_at(0), 1.9);
    EXPECT_EQ(fast.media_at(40000), -8000 + 80000 + 4000);

    // 20 ms is more than the limit: a jump, the reading is the host's at once.
    c.set(2000000, 2030000, 1.0, 16667);
    EXPECT_EQ(c.generation(), 2u);
    EXPECT_EQ(c.media_at(2000000), 2030000);
    // A new rate, or a paused clock, always jumps.
    c.set(2000000, 2030000, 0.5, 16667);
    EXPECT_EQ(c.generation(), 3u);
    c.set(2000000, 2030000, 0.0, 16667);
    c.set(2000000, 2030001, 0.0, 16667);
    EXPECT_EQ(c.generation(), 5u);
    EXPECT_EQ(c.media_at(9000000), 2030001);
}

TEST(MediaClock, ExtremeTimesStayInRange)
{
    media_clock c = clock_at(0, INT64_MAX - 10, 4.0);
    EXPECT_GT(c.media_at(INT64_MAX / 2), 0);
    EXPECT_LT(c.due_at(INT64_MIN + 1, 0), 0);
    EXPECT_GT(c.due_at(INT64_MAX, 0), 0);
}

TEST(RefreshGrid, NextIsTheFirstRefreshAtOrAfter)
{
    const refresh_grid g{16667, 1000};
    EXPECT_EQ(g.next(1000), 1000);
    EXPECT_EQ(g.next(1001), 17667);
    EXPECT_EQ(g.next(17667), 17667);
    EXPECT_EQ(g.next(-20000), -15667);
    EXPECT_EQ(g.next(-32334), -32334);
    const refresh_grid none{};
    EXPECT_EQ(none.next(1234), 1234);
}

TEST(ChooseFrame, ARefreshShowsTheLatestFrameDueByItNeverMoreThanHalfARefreshEarly)
{
    const chooser choose;
    schedule_choice c = choose({0, 40000, 80000}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 0);
    EXPECT_EQ(c.show_at, 0);
    EXPECT_EQ(c.due, 0);

    // At 5 ms the next refresh is at 20 ms: due by then are 0, 10 and 25 ms (half a refresh
    // early); the latest is shown and the two before it are late.
    c = choose({0, 10000, 25000, 40000}, 5000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 2);
    EXPECT_EQ(c.late, 2);
    EXPECT_EQ(c.show_at, 20000);
    EXPECT_EQ(c.due, 25000);

    // Exactly half a refresh early is shown; a microsecond more is not, and is looked at again
    // for the next refresh.
    c = choose({10000}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.show_at, 0);
    c = choose({10001}, 0);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.drop, 0);
    EXPECT_EQ(c.look_again, 20000 - kWakeSlackUs);

    // The drawing lead: at 15 ms with 6 ms to draw, the frame is for the refresh at 40 ms.
    chooser slow = choose;
    c = choose_frame(std::vector<int64_t>{30000}.data(), 1, slow.clock, slow.grid, slow.memory, 15000, 6000, 2000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.show_at, 40000);
    c = choose_frame(std::vector<int64_t>{60000}.data(), 1, slow.clock, slow.grid, slow.memory, 15000, 6000, 2000);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.look_again, 60000 - 6000 - kWakeSlackUs);
}

TEST(ChooseFrame, AShortRefreshIsLookedAtAgainOnlyOnceAFrameCanBeChosen)
{
    // 480 Hz (2.083 ms): the slack before the refresh of a frame due at 10 ms would fall before
    // the refresh it can be chosen at; looked at again one microsecond after that instead.
    chooser choose;
    choose.grid = refresh_grid{2083, 0};
    const schedule_choice c = choose({10000}, 0);
    EXPECT_FALSE(c.take);
    const int64_t refresh = 10415;  // the first refresh at or after 10 ms less half a refresh
    EXPECT_EQ(c.look_again, refresh - 2083 + 1);
    const schedule_choice then = choose({10000}, c.look_again);
    EXPECT_TRUE(then.take);
    EXPECT_EQ(then.show_at, refresh);
}

TEST(ChooseFrame, AFrameMoreThanARefreshPastDueIsLateUnlessItIsTheNewest)
{
    const chooser choose;
    schedule_choice c = choose({60000, 130000}, 100000);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.drop, 1);
    EXPECT_EQ(c.late, 1);
    EXPECT_EQ(c.look_again, 120000 - kWakeSlackUs);

    c = choose({60000}, 100000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.late, 0);
    EXPECT_EQ(c.show_at, 100000);

    // One refresh past due exactly is still shown; so is a frame that a late wake-up put past
    // its refresh (due at 90 ms, now 101 ms: for the refresh at 120 ms).
    c = choose({80000, 130000}, 100000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 0);
    c = choose({90000, 140000}, 101000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 0);
    EXPECT_EQ(c.show_at, 120000);
}

TEST(ChooseFrame, ASeekLetsGoOfWhatCameBeforeAndUntimedFramesGoAtOnce)
{
    const chooser choose;
    // Frames of 0.5 s, then the frames from 0 of a seek back.
    schedule_choice c = choose({500000, 520000, 0, 20000}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 2);
    EXPECT_EQ(c.late, 0);
    EXPECT_EQ(c.show_at, 0);
    // A seek whose first frame is not due yet still lets go of the old ones now.
    c = choose({500000, 30000}, 0);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.drop, 1);
    EXPECT_EQ(c.late, 0);
    EXPECT_EQ(c.look_again, 20000 - kWakeSlackUs);

    // An untimed frame is shown at once; timed ones before it go, late only when they were due.
    c = choose({40000, kPtsNone}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 1);
    EXPECT_EQ(c.late, 0);
    EXPECT_EQ(c.show_at, 0);
    c = choose({0, kPtsNone, 5000}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 1);
    EXPECT_EQ(c.late, 1);
    c = choose({kPtsNone, kPtsNone}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 0);

    // Timed frames before the clock started are shown as they come.
    chooser unset = choose;
    unset.clock = media_clock{};
    c = unset({900000, 950000}, 0);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 0);
}

TEST(ChooseFrame, WhilePausedThePictureStaysAndNothingAheadGoes)
{
    chooser choose;
    choose.clock = clock_at(0, 100000, 0.0);
    // After a seek while paused: of the frames up to the paused time the latest is shown.
    schedule_choice c = choose({40000, 80000, 120000}, 5000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 1);
    EXPECT_EQ(c.late, 1);
    EXPECT_EQ(c.show_at, 20000);
    // Frames ahead of the paused time wait, however long.
    c = choose({120000, 160000}, 5000000);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.drop, 0);
    EXPECT_EQ(c.look_again, kNever);
}

TEST(ChooseFrame, TheCadenceHoldsAFrameNearTheMiddleBetweenTwoRefreshes)
{
    // 50 frames a second on 50 Hz, each due 10.4 ms after a refresh: the second one's pts came
    // out 0.8 ms early (29.6 ms), which puts it nearer the refresh at 20 ms than at 40 ms.
    chooser choose;
    schedule_choice c = choose({10400, 29600, 50400}, 5000);
    EXPECT_TRUE(c.take);  // the cadence keeps 29.6 for 40 ms: nothing skips
    EXPECT_EQ(c.drop, 0);
    EXPECT_EQ(c.show_at, 20000);
    EXPECT_EQ(c.due, 10400);

    choose.memory = schedule_memory{choose.clock.generation(), true, 20000, 10400};
    c = choose({29600, 50400}, 21000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.drop, 0);
    EXPECT_EQ(c.show_at, 40000);
    // Two refreshes on from the frame shown: 49.6 ms is held for 60 ms ...
    c = choose({49600}, 21000);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.look_again, 60000 - kWakeSlackUs);
    // ... but not 47 ms, which would be more than half a refresh and the hysteresis late there.
    c = choose({47000}, 21000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.show_at, 40000);
    // The refresh just shown is never presented again: at 20 ms itself the next one is 40 ms.
    c = choose({20000}, 20000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.show_at, 40000);

    // A grid asked for again lies a few microseconds off the one the frame before was shown on:
    // the cadence is taken on the new grid (held for 59.995 ms, not the 60 ms off it).
    chooser moved = choose;
    moved.grid = refresh_grid{20000, -5};
    c = moved({49600}, 21000);
    EXPECT_FALSE(c.take);
    EXPECT_EQ(c.look_again, 59995 - kWakeSlackUs);
    c = moved({49600}, 59995 - kWakeSlackUs);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.show_at, 59995);

    // Without the hysteresis (or after a jump of the clock) the nearest refresh wins: the frame
    // before is late.
    chooser bare;
    bare.hysteresis = 0;
    c = bare({10400, 29600, 50400}, 5000);
    EXPECT_EQ(c.drop, 1);
    EXPECT_EQ(c.late, 1);
    choose.clock.set(0, 0, 1.0, 0);  // a jump: a new generation
    c = choose({49600}, 21000);
    EXPECT_TRUE(c.take);
    EXPECT_EQ(c.show_at, 40000);
}

TEST(TimingWindow, PercentilesOfTheLastSixHundredErrors)
{
    timing_window w;
    EXPECT_EQ(w.percentile(50), 0);
    for (int i = 1; i <= 600; ++i)
        w.add(i % 2 ? i : -i);  // errors count either way
    EXPECT_EQ(w.count(), 600);
    EXPECT_EQ(w.percentile(50), 300);
    EXPECT_EQ(w.percentile(99), 594);
    EXPECT_EQ(w.percentile(100), 600);
    EXPECT_EQ(w.percentile(0), 1);
    for (int i = 601; i <= 1200; ++i)
        w.add(i);
    EXPECT_EQ(w.count(), 600);
    EXPECT_EQ(w.percentile(50), 900);
    timing_window one;
    one.add(-7);
    EXPECT_EQ(one.percentile(99), 7);
}

TEST(RefreshMeter, BlockingPresentsGiveThePeriod)
{
    refresh_meter m;
    int64_t t = 0;
    for (int i = 0; i < refresh_meter::kSamples; ++i, t += 16667)
        m.present(t - 5000, t);
    EXPECT_EQ(m.period_us(), 0);  // one interval short
    m.present(t - 5000, t);
    EXPECT_EQ(m.period_us(), 16667);

    // 24 frames a second on 60 Hz: two and three refreshes apart, which only 60 Hz explains.
    refresh_meter pulldown;
    t = 0;
    for (int i = 0; i <= refresh_meter::kSamples; ++i) {
        t += i % 2 ? 33334 : 50001;
        pulldown.present(t - 2000, t);
    }
    EXPECT_EQ(pulldown.period_us(), 16667);
    // Always two refreshes apart (30 on 60 Hz) cannot be told from 30 Hz: that is what it says.
    refresh_meter even;
    t = 0;
    for (int i = 0; i <= refresh_meter::kSamples; ++i) {
        t += 33333 + (i % 3) * 10;  // a little jitter
        even.present(t - 2000, t);
    }
    EXPECT_NEAR(double(even.period_us()), 33343.0, 10.0);

    // Presents that do not wait tell nothing.
    refresh_meter free;
    for (int i = 0; i < 100; ++i)
        free.present(i * 10000, i * 10000 + 100);
    EXPECT_EQ(free.period_us(), 0);
}

namespace {

// A render thread on an ideal 60 Hz display playing `count` frames at `fps`, 8 waiting ahead:
// it chooses, waits for the refresh chosen and presents there. Frames not shown are counted.
struct playback {
    int shown = 0, late = 0, dropped = 0;
    int64_t worst_error = 0;
};

playback play(double fps, int count, int64_t lead_us)
{
    media_clock clock = clock_at(0, 0, 1.0);
    const refresh_grid grid{16667, 0};
    schedule_memory memory;
    playback p;
    std::vector<int64_t> pts;
    int next = 0;
    int64_t now = 0;
    while (next < count || !pts.empty()) {
        while (next < count && pts.size() < 8)
            pts.push_back(200000 + int64_t(double(next++) * 1e6 / fps + 0.5));
        const schedule_choice c = choose_frame(pts.data(), int(pts.size()), clock, grid, memory, now, lead_us, 2000);
        p.late += c.late;
        p.dropped += c.drop;
        if (c.take) {
            const int64_t due = c.due;
            p.worst_error = std::max<int64_t>(p.worst_error, std::llabs(c.show_at - due));
            memory = schedule_memory{clock.generation(), true, c.show_at, due};
            ++p.shown;
            now = c.show_at + 500;  // the present returns just after the refresh
            pts.erase(pts.begin(), pts.begin() + c.drop + 1);
        } else {
            pts.erase(pts.begin(), pts.begin() + c.drop);
            now = std::max(now + 1, c.look_again);
        }
    }
    return p;
}

}  // namespace

TEST(ChooseFrame, SteadyStreamsShowEveryFrameWithinHalfARefreshAndTheHysteresis)
{
    for (double fps : {23.976, 24.0, 25.0, 29.97, 30.0, 50.0, 59.94, 60.0}) {
        for (int64_t lead : {2000, 7000, 16000}) {
            const playback p = play(fps, 600, lead);
            EXPECT_EQ(p.late, 0) << fps << " fps, lead " << lead;
            EXPECT_EQ(p.shown, 600) << fps << " fps, lead " << lead;
            EXPECT_LE(p.worst_error, 16667 / 2 + 2000) << fps << " fps, lead " << lead;
        }
    }
}
