// frame_timing: the clock, the refresh grid, the choice of the frame a refresh shows, and the
// timing statistics. Platform-free.
#include "frame_timing.h"

#include <algorithm>
#include <cmath>

namespace {

// Local and media times stay well inside int64 whatever pts a host sends.
const double kTimeLimit = 4.0e18;

int64_t clamped(double t)
{
    if (!(t > -kTimeLimit))  // NaN included
        return int64_t(-kTimeLimit);
    return t < kTimeLimit ? int64_t(std::llround(t)) : int64_t(kTimeLimit);
}

bool usable_rate(double rate)
{
    return rate == 0.0 || (rate >= media_clock::kMinRate && rate <= media_clock::kMaxRate);
}

}  // namespace

void media_clock::set(int64_t local, int64_t now, double rate, int64_t slew_below)
{
    if (!usable_rate(rate))
        rate = 1.0;
    if (m_started && rate == m_rate && rate > 0.0) {
        const double gap = double(media_at(local)) - double(now);  // reading minus target
        if (std::fabs(gap) / rate < double(slew_below)) {
            m_local0 = local;
            m_media0 = now;
            m_slew0 = clamped(gap);
            return;
        }
    }
    m_started = true;
    m_local0 = local;
    m_media0 = now;
    m_rate = rate;
    m_slew0 = 0;
    ++m_generation;
}

void media_clock::start(int64_t local, int64_t pts)
{
    if (!m_started)
        set(local, pts, 1.0, 0);
}

int64_t media_clock::slew_left(int64_t local) const
{
    if (m_slew0 == 0)
        return 0;
    const double worked = kSlewSpeed * m_rate * double(std::max<int64_t>(local - m_local0, 0));
    const double left = std::fabs(double(m_slew0)) - worked;
    if (left <= 0.0)
        return 0;
    return m_slew0 > 0 ? clamped(left) : -clamped(left);
}

int64_t media_clock::media_at(int64_t local) const
{
    if (!m_started)
        return kPtsNone;
    const double elapsed = double(local) - double(m_local0);
    return clamped(double(m_media0) + m_rate * elapsed + double(slew_left(local)));
}

double media_clock::speed_at(int64_t local) const
{
    const int64_t left = slew_left(local);
    if (left == 0)
        return m_rate;
    // The reading is ahead of the target (left > 0): it runs slower until it is not.
    return m_rate * (left > 0 ? 1.0 - kSlewSpeed : 1.0 + kSlewSpeed);
}

int64_t media_clock::due_at(int64_t pts, int64_t local) const
{
    if (!m_started)
        return kNever;
    const int64_t media = media_at(local);
    if (m_rate == 0.0)
        return pts <= media ? local : kNever;
    return clamped(double(local) + (double(pts) - double(media)) / speed_at(local));
}

int64_t refresh_grid::next(int64_t local) const
{
    if (period_us <= 0)
        return local;
    const int64_t diff = local - phase_us;
    const int64_t steps = diff >= 0 ? (diff + period_us - 1) / period_us : -((-diff) / period_us);
    return phase_us + steps * period_us;
}

namespace {

// Where the cadence of the frame shown before (at `refresh`, due at `due`) puts a frame due at
// `d`: the refresh as many periods on as the two due times are apart, rounded.
int64_t cadence_refresh(int64_t refresh, int64_t due, int64_t d, int64_t period)
{
    const double steps = std::round((double(d) - double(due)) / double(period));
    return clamped(double(refresh) + steps * double(period));
}

}  // namespace

schedule_choice choose_frame(const int64_t* pts, int count, const media_clock& clock, const refresh_grid& grid,
                             const schedule_memory& memory, int64_t now, int64_t lead_us, int64_t hysteresis_us)
{
    schedule_choice c;
    if (!pts || count <= 0)
        return c;
    // A timed frame earlier than the timed one pushed before it begins anew (a seek): what was
    // pushed before it goes.
    int start = 0;
    int64_t previous = kPtsNone;
    for (int i = 0; i < count; ++i) {
        if (pts[i] == kPtsNone)
            continue;
        if (previous != kPtsNone && pts[i] < previous)
            start = i;
        previous = pts[i];
    }
    const int64_t period = grid.period_us > 0 ? grid.period_us : 1;
    const int64_t half = period / 2;
    // The refresh a frame taken now is for; never the one a frame was last shown at.
    int64_t refresh = grid.next(now + lead_us);
    if (memory.shown)
        refresh = std::max(refresh, grid.next(memory.refresh + period - half));
    // Due by `refresh`: its nearest refresh is that one or an earlier one.
    auto due_by_refresh = [&](int64_t d) { return d != kNever && d - half <= refresh; };
    // When to look again for a frame due by refresh `r`: a little early, but never before it
    // can be chosen (a refresh shorter than the slack would have the thread look in vain).
    auto look_again_for = [&](int64_t r) { return std::max(r - lead_us - kWakeSlackUs, r - period - lead_us + 1); };

    // An untimed frame is shown at once; the timed ones before it go (late when they were due).
    for (int i = start; i < count; ++i) {
        if (pts[i] != kPtsNone && clock.started())
            continue;
        c.drop = i;
        for (int j = start; j < i; ++j)
            c.late += pts[j] != kPtsNone && due_by_refresh(clock.due_at(pts[j], now)) ? 1 : 0;
        c.take = true;
        return c;
    }

    // The timed frames due by this refresh, in order; the last of them is shown.
    const bool paused = clock.rate() == 0.0;
    bool have_ref = memory.shown && memory.generation == clock.generation();
    int64_t ref_refresh = memory.refresh, ref_due = memory.due;
    int chosen = -1;
    int64_t chosen_due = 0;
    int i = start;
    for (; i < count; ++i) {
        const int64_t d = clock.due_at(pts[i], now);
        if (!due_by_refresh(d)) {
            if (d != kNever)
                c.look_again = look_again_for(grid.next(d - half));
            break;
        }
        if (have_ref && !paused) {
            // On the grid as it is now (the system's refreshes are asked for again now and then).
            const int64_t expected = grid.next(cadence_refresh(ref_refresh, ref_due, d, period) - half);
            if (expected > refresh && expected - d <= half + hysteresis_us) {
                c.look_again = look_again_for(expected);
                break;
            }
        }
        chosen = i;
        chosen_due = d;
        have_ref = true;
        ref_refresh = refresh;
        ref_due = d;
    }
    if (chosen < 0) {
        c.drop = start;  // only what a seek left behind
        return c;
    }
    if (!paused && chosen_due < now - period && chosen < count - 1) {
        // Too late to be worth a refresh while a newer frame waits: it goes too.
        c.drop = chosen + 1;
        c.late = chosen + 1 - start;
        if (c.look_again < now)
            c.look_again = now;
        return c;
    }
    c.drop = chosen;
    c.late = chosen - start;
    c.take = true;
    c.show_at = refresh;
    c.due = chosen_due;
    c.look_again = kNever;
    return c;
}

void timing_window::add(int64_t error_us)
{
    m_errors[m_next] = error_us < 0 ? -error_us : error_us;
    m_next = (m_next + 1) % kSize;
    if (m_count < kSize)
        ++m_count;
}

int64_t timing_window::percentile(double p) const
{
    if (m_count == 0)
        return 0;
    int64_t sorted[kSize];
    std::copy(m_errors, m_errors + m_count, sorted);
    const double rank = std::ceil(std::min(std::max(p, 0.0), 100.0) / 100.0 * m_count);
    const int index = std::min(std::max(int(rank) - 1, 0), m_count - 1);
    std::nth_element(sorted, sorted + index, sorted + m_count);
    return sorted[index];
}

void refresh_meter::present(int64_t begin, int64_t end)
{
    const int64_t last = m_last_end;
    m_last_end = end;
    if (last < 0 || end - begin < kBlockedUs)
        return;
    const int64_t interval = end - last;
    if (interval < 2000 || interval > 100000)  // 10 to 500 Hz
        return;
    m_intervals[m_next] = interval;
    m_next = (m_next + 1) % kSamples;
    if (m_count < kSamples)
        ++m_count;
}

int64_t refresh_meter::period_us() const
{
    if (m_count < kSamples)
        return 0;
    // Presents spaced more than one refresh apart give multiples of the period (two and three
    // for 24 frames a second on 60 Hz): the shortest interval, divided by the smallest whole
    // number that makes nearly all of them (within a tenth of the period) its multiples.
    int64_t sorted[kSamples];
    std::copy(m_intervals, m_intervals + kSamples, sorted);
    std::sort(sorted, sorted + kSamples);
    const int64_t shortest = sorted[kSamples / 10];  // past the odd early return
    for (int k = 1; k <= 4; ++k) {
        const double p = double(shortest) / k;
        int fitting = 0;
        double sum = 0;
        for (int i = 0; i < kSamples; ++i) {
            const double n = std::round(double(sorted[i]) / p);
            if (n >= 1 && std::fabs(double(sorted[i]) - n * p) <= p / 10) {
                ++fitting;
                sum += double(sorted[i]) / n;
            }
        }
        if (fitting * 10 >= kSamples * 9)
            return int64_t(std::llround(sum / fitting));
    }
    return 0;
}
