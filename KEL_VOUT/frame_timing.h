// frame_timing: when timed frames are shown. The host's clock (set, rate, small corrections
// slewed), the refresh grid the render thread presents on, which waiting frame a refresh
// shows, and the window of timing errors the statistics report. Platform-free: every time is
// passed in, in microseconds of the render thread's steady clock ("local" time) or of the
// host's clock ("media" time, the frames' pts).
#ifndef KEL_VOUT_FRAME_TIMING_H
#define KEL_VOUT_FRAME_TIMING_H

#include <cstdint>

// A frame without a time: shown as soon as the render thread takes it.
const int64_t kPtsNone = INT64_MIN;
// A local time that never comes.
const int64_t kNever = INT64_MAX;

// The instance's clock: media time as a function of local time. Until it is set or started it
// reads nothing (started() false).
class media_clock {
public:
    // How fast a small correction is worked off: 5 % of the elapsed time, so that a correction
    // of one refresh at 60 Hz takes a third of a second and moves no frame by more than a
    // twentieth of a refresh per refresh.
    static constexpr double kSlewSpeed = 0.05;
    // Rates the host may set; others read as 1.
    static constexpr double kMinRate = 0.25;
    static constexpr double kMaxRate = 4.0;

    bool started() const { return m_started; }
    // From `local` on the clock reads now + rate * elapsed. With the rate unchanged (and not
    // paused), a correction smaller than `slew_below` microseconds of wall time is slewed
    // instead: the clock keeps reading on from where it was and closes the gap at kSlewSpeed.
    // A rate outside 0 and 0.25..4 is taken as 1. Anything else is a jump (generation() grows).
    void set(int64_t local, int64_t now, double rate, int64_t slew_below);
    // Starts a clock never set at `pts`, now, at rate 1 (the first timed frame's push).
    void start(int64_t local, int64_t pts);
    // Media time at local time `local` (>= the last set); kPtsNone before the clock started.
    int64_t media_at(int64_t local) const;
    double rate() const { return m_rate; }
    // Media microseconds per local microsecond at `local`, the slew included.
    double speed_at(int64_t local) const;
    // The local time at which the clock, read at `local`, reaches `pts` (earlier than `local`
    // when it has already). Paused: `local` when it has, kNever when it has not (and before the
    // clock started).
    int64_t due_at(int64_t pts, int64_t local) const;
    // Grows with every jump (set beyond a slew, start); frames scheduled before it are judged anew.
    uint32_t generation() const { return m_generation; }

private:
    int64_t slew_left(int64_t local) const;

    bool m_started = false;
    int64_t m_local0 = 0;   // when it was set
    int64_t m_media0 = 0;   // what it read then, without the slew
    double m_rate = 1.0;
    int64_t m_slew0 = 0;    // the correction still to work off at m_local0 (reading minus target)
    uint32_t m_generation = 0;
};

// The display's refreshes: every period_us from phase_us on. A period of 0: none known.
struct refresh_grid {
    int64_t period_us = 0;
    int64_t phase_us = 0;       // the local time of one refresh
    bool phase_known = false;   // the system said when its refreshes are (else an assumed phase)
    // The first refresh at or after `local`.
    int64_t next(int64_t local) const;
};

// What the render thread keeps between its choices, for the cadence.
struct schedule_memory {
    uint32_t generation = 0;     // the clock's, when the last timed frame was shown
    bool shown = false;          // a timed frame was shown since the clock's last jump
    int64_t refresh = 0;         // the refresh it was shown at
    int64_t due = 0;             // and when it was due
};

// How much before a frame must be taken the render thread is told to look again: a wake-up a
// little late (timers under Wine end about a millisecond late, more on busy cores) still makes
// the refresh.
const int64_t kWakeSlackUs = 3000;

// What one look at the waiting frames decides.
struct schedule_choice {
    int drop = 0;     // the oldest frames to let go without showing them
    int late = 0;     // of those, timed frames past due or due at the same refresh as a later one
    bool take = false;        // the frame after the dropped ones is shown next
    int64_t show_at = 0;      // at this refresh (local time); 0 for an untimed frame: at once
    int64_t due = 0;          // the taken frame's due time (local), for its cadence
    int64_t look_again = kNever;  // nothing taken: when a waiting frame may be taken
};

// Chooses among `count` waiting frames, oldest first, by their pts (kPtsNone: untimed):
//  - a timed frame with a lower pts than the timed frame before it starts anew (a seek): the
//    frames before it are let go (not late);
//  - an untimed frame is shown at once, the frames before it let go;
//  - a timed frame is shown at the refresh nearest its due time, never more than half a refresh
//    early; where the previous frame's cadence puts it one refresh later, within half a refresh
//    and `hysteresis_us` of its due time, there (a jittery clock or pts near the middle between
//    two refreshes makes no frame skip or repeat);
//  - of several frames due by one refresh, the latest is shown and the others are late;
//  - a frame more than one refresh past due now is late, unless it is the newest waiting one.
// `now` is the render thread's time and `lead_us` how long drawing takes: the frame is chosen
// for the first refresh at or after now + lead_us.
schedule_choice choose_frame(const int64_t* pts, int count, const media_clock& clock, const refresh_grid& grid,
                             const schedule_memory& memory, int64_t now, int64_t lead_us, int64_t hysteresis_us);

// The last kSize timing errors, in microseconds, and their percentiles.
class timing_window {
public:
    static const int kSize = 600;
    void add(int64_t error_us);
    int count() const { return m_count; }
    // The p-th percentile (0..100) of the errors held, nearest rank; 0 when none.
    int64_t percentile(double p) const;

private:
    int64_t m_errors[kSize] = {};
    int m_next = 0;
    int m_count = 0;
};

// The refresh period as presents show it where the system reports none: presents that waited
// for the display (the call took at least kBlockedUs) come whole periods apart; the longest
// period of which the last kSamples such intervals are multiples, once there are that many.
class refresh_meter {
public:
    static const int kSamples = 31;
    static const int64_t kBlockedUs = 1000;
    // A present that began at `begin` and returned at `end`.
    void present(int64_t begin, int64_t end);
    // The measured period, or 0.
    int64_t period_us() const;

private:
    int64_t m_last_end = -1;
    int64_t m_intervals[kSamples] = {};
    int m_next = 0;
    int m_count = 0;
};

#endif
