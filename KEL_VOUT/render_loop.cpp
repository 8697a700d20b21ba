// render_loop: the render thread shared by every backend. Runs on the instance's render thread.
#include "render_loop.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "frame_counter.h"
#include "frame_timing.h"
#include "kel_vout_log.h"
#include "kel_vout_window.h"
#include "plane_pack.h"
#include "present_pacing.h"

namespace {

thread_local bool t_render_thread = false;

// Test seam: what keeps the display awake (SetThreadExecutionState).
std::atomic<execution_state_fn> g_execution_state{nullptr};

EXECUTION_STATE set_execution_state(EXECUTION_STATE state)
{
    const execution_state_fn hook = g_execution_state.load();
    return hook ? hook(state) : SetThreadExecutionState(state);
}

// While frames flow the display stays on (no screen saver, no power-down): what the child
// window's refusal of SC_SCREENSAVE meant, which never reaches a child. Idle for this long, the
// system may sleep the display again.
const DWORD kAwakeAfterLastFrameMs = 2000;

// How long a new child size, or an exposure, is painted again on every pass.
const DWORD kSettleMs = 250;

class display_keeper {
public:
    void frame(DWORD now)
    {
        m_last = now;
        if (!m_awake && set_execution_state(ES_CONTINUOUS | ES_DISPLAY_REQUIRED))
            m_awake = true;
    }
    void pass(DWORD now)
    {
        if (m_awake && now - m_last >= kAwakeAfterLastFrameMs)
            release();
    }
    void release()
    {
        if (m_awake)
            set_execution_state(ES_CONTINUOUS);
        m_awake = false;
    }
    ~display_keeper() { release(); }

private:
    bool m_awake = false;
    DWORD m_last = 0;
};

// Answers a pending snapshot request with what the back buffer holds now (drawn, not yet
// presented). The host's thread waits for the answer; this thread never waits for the host.
void deliver_snapshot(kel_vout_display_t* obj, render_steps& steps)
{
    vout_snapshot_t& snap = obj->snapshot;
    if (!snap.pending.load(std::memory_order_acquire))
        return;
    RECT rc{};
    GetClientRect(static_cast<HWND>(obj->embed_xid), &rc);
    const int32_t w = rc.right - rc.left, h = rc.bottom - rc.top;
    std::vector<uint8_t> pixels;
    bool ok = true;
    try {
        pixels.resize(size_t(w > 0 ? w : 0) * size_t(h > 0 ? h : 0) * 3);
    } catch (const std::bad_alloc&) {
        ok = false;  // the request fails; the instance goes on
    }
    if (ok && !pixels.empty())
        steps.read_back(obj, pixels.data(), w, h);
    WaitForSingleObject(snap.mutex, INFINITE);
    if (snap.pending) {
        snap.pixels.swap(pixels);
        snap.width = w;
        snap.height = h;
        snap.ok = ok;
        snap.pending = false;
        SetEvent(snap.ready);
    }
    ReleaseMutex(snap.mutex);
}

// Answers a pending snapshot request with a failure (no picture will come).
void refuse_snapshot(kel_vout_display_t* obj)
{
    vout_snapshot_t& snap = obj->snapshot;
    if (!snap.pending.load(std::memory_order_acquire))
        return;
    WaitForSingleObject(snap.mutex, INFINITE);
    if (snap.pending) {
        snap.ok = false;
        snap.pending = false;
        SetEvent(snap.ready);
    }
    ReleaseMutex(snap.mutex);
}

bool open_window(kel_vout_display_t* obj, vout_window_class* window_class, render_steps& steps)
{
    if (!wglRegisterClass(window_class) || !createEmbedWindow(obj, window_class->name))
        return false;
    if (!steps.attach(obj)) {
        steps.detach(obj);
        closeEmbedWindow(obj);
        return false;
    }
    const RECT& rc = obj->child_rect;
    steps.resize(obj, rc.right - rc.left, rc.bottom - rc.top);
    return true;
}

// The window leaves the host's sight first; the device goes while the window it presents into
// still exists, and then the window.
void close_window(kel_vout_display_t* obj, render_steps& steps)
{
    HWND child = static_cast<HWND>(obj->embed_xid);
    if (child && IsWindow(child))
        ShowWindow(child, SW_HIDE);
    steps.detach(obj);
    closeEmbedWindow(obj);
}

// The host destroyed its window, and ours with it, before the instance: nothing is drawn any
// more and the device goes now; the instance waits for the host to destroy it, taking the
// frames still pushed so that nothing piles up.
void wait_as_orphan(kel_vout_display_t* obj, render_steps& steps)
{
    kel_log(KEL_LOG_WARNING, "the host's window %p is gone: the instance stops drawing until it is destroyed",
            obj->window_xid);
    close_window(obj, steps);
    while (!obj->done) {
        refuse_snapshot(obj);
        if (!obj->picture_pool)
            Sleep(40);
        else if (obj->picture_pool->get_pool(&obj->picture) == 0)
            obj->stats.dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

// What the render thread keeps from one pass to the next.
struct loop_state {
    bool size_announced = false;  // the host said how large pictures will be: the start picture
                                  // keeps that placement
    bool start_picture = true;    // no frame has come yet
    bool upload = true;           // obj->picture has not been drawn yet
    bool placed = false;          // this pass placed the child window
    bool resized = false;         // and gave it a new size, which the device takes at the pass's end
    bool retransformed = false;   // this pass gave the still picture the host's newer transform
    bool overlays_changed = false;  // this pass took the host's newer overlays
    uint32_t overlay_version = 0;   // of those in `overlays`
    uint32_t tone_setting = uint32_t(kDefaultSdrWhite);  // the host's, as this pass draws with it
    overlay_entry overlays[kMaxOverlays];
    DISPLAY_MODE mode = VOUT_NORMAL;
    uint64_t resets_seen = 0;
    DWORD settle_until = 0;       // repaint until then: a new size settling
    double t0 = -1.0;             // the frame counter's window (freamrate_count)
    int frames = 0;
    bool first_window = true;     // the counter's window is its first (it counted its opener)
    bool reported = false;        // an exception was logged already
    display_keeper awake;

    // Timed frames.
    media_clock clock;             // the instance's, as the last choice read it
    refresh_grid grid{16667, 0, false};  // the display's refreshes (60 Hz until the system says)
    DWORD grid_checked = 0;        // when the system was last asked
    bool grid_asked = false;
    refresh_source refreshes;
    refresh_meter meter;
    precise_wait waiter;
    schedule_memory memory;        // the last timed frame shown, for the cadence
    timing_window errors;
    int64_t show_at = 0;           // the refresh the frame taken is for; 0: at once
    int64_t due = 0;               // and its due time
    uint32_t show_generation = 0;  // of the clock that chose it
    int64_t taken_us = 0;          // when it was taken
    int64_t draws_us[16] = {4000}; // take to ready-to-present of the last timed frames
    int draw_next = 0;

    // How long before its refresh a frame is taken: the longest of the last draws, the present's
    // lead and a millisecond (drawing times vary; a frame ready early only waits).
    int64_t lead_us() const
    {
        const int64_t longest = *std::max_element(std::begin(draws_us), std::end(draws_us));
        return std::min<int64_t>(grid.period_us, std::max<int64_t>(2000, longest + present_lead_us() + 1000));
    }
    void drew(int64_t us)
    {
        draws_us[draw_next] = std::min<int64_t>(us, 100000);
        draw_next = (draw_next + 1) % 16;
    }
    int64_t presents_us[16] = {};  // how long the last presents took
    int present_next = 0;

    // How much before its refresh a present starts: the median of the last presents' durations,
    // so that a present that takes a while (a copy to the screen) ends at the refresh. At most a
    // quarter of a refresh: a present on the real refreshes' phase that waits for the refresh
    // itself is still shown at it.
    int64_t present_lead_us() const
    {
        // Where the refreshes' phase is not known, a present that waits for the refresh itself
        // would make its duration grow into an early present: none then.
        if (!grid.phase_known)
            return 0;
        int64_t sorted[16];
        std::copy(std::begin(presents_us), std::end(presents_us), sorted);
        std::nth_element(sorted, sorted + 8, sorted + 16);
        return std::min<int64_t>(sorted[8], grid.period_us / 4);
    }
    void presented(int64_t us)
    {
        presents_us[present_next] = std::min<int64_t>(std::max<int64_t>(us, 0), 100000);
        present_next = (present_next + 1) % 16;
    }
};

// Past half a refresh, how much later a frame may be shown to keep its predecessor's cadence.
const int64_t kHysteresisUs = 2000;

// Asks the system for the display's refreshes about once a second (the window may move to
// another display); where it tells nothing, the presents' own measure, else 60 Hz.
void follow_refresh(kel_vout_display_t* obj, loop_state& st)
{
    const DWORD now = GetTickCount();
    if (st.grid_asked && now - st.grid_checked < 1000)
        return;
    st.grid_asked = true;
    st.grid_checked = now;
    refresh_grid grid;
    if (!st.refreshes.query(static_cast<HWND>(obj->embed_xid), &grid)) {
        grid.period_us = st.meter.period_us();
        if (grid.period_us <= 0)
            grid.period_us = 16667;
        grid.phase_us = 0;
        grid.phase_known = false;
    }
    st.grid = grid;
    obj->refresh_period_us.store(grid.period_us, std::memory_order_relaxed);
    obj->stats.refresh_millihz.store(uint32_t(1.0e9 / double(grid.period_us) + 0.5), std::memory_order_relaxed);
}

struct choice_context {
    kel_vout_display_t* obj;
    loop_state* st;
};

// Runs under the ring's lock: reads the host's clock as it is now (a set_clock wakes the wait).
schedule_choice choose_with_clock(const int64_t* pts, int count, void* context)
{
    const choice_context* c = static_cast<const choice_context*>(context);
    AcquireSRWLockShared(&c->obj->clock_lock);
    c->st->clock = c->obj->clock;
    ReleaseSRWLockShared(&c->obj->clock_lock);
    return choose_frame(pts, count, c->st->clock, c->st->grid, c->st->memory, clock_us(), c->st->lead_us(),
                        kHysteresisUs);
}

// Places the child for the mode inside the parent's client area, at once; a new size goes to
// the device once the pass has placed the child for good (resize_device).
void place_child(kel_vout_display_t* obj, loop_state& st)
{
    st.placed = true;
    if (adjust_vout_region(obj, st.mode))
        st.resized = true;
}

// The device takes the child's new size right after the window has it, before anything is drawn.
void resize_device(kel_vout_display_t* obj, render_steps& steps, loop_state& st)
{
    if (!st.resized)
        return;
    st.resized = false;
    const RECT& rc = obj->child_rect;
    steps.resize(obj, rc.right - rc.left, rc.bottom - rc.top);
    // HACK: under Wine an OpenGL drawable takes the window's new size some passes after the
    // window: the picture is painted again while that settles, so that a paused picture does
    // not stay drawn at the old size.
    st.settle_until = GetTickCount() + kSettleMs;
}

enum class followed { parent, orphaned, failed };

// Follows the host's window before anything else in a pass, so that a new client size is taken
// before any wait for a frame or any drawing: a request to make the child window again, the
// thread's messages, the parent's client area and the host's display mode.
followed follow_parent(kel_vout_display_t* obj, vout_window_class* window_class, render_steps& steps,
                       loop_state& st)
{
    if (obj->cfg.is_fullscreen) {
        // Re-create the child window (nothing in the library asks for it).
        obj->lock(&obj->locker);
        close_window(obj, steps);
        const bool reopened = open_window(obj, window_class, steps);
        obj->cfg.is_fullscreen = false;
        obj->unlock(&obj->locker);
        if (!reopened)
            return followed::failed;
        obj->stats.device_resets.fetch_add(1, std::memory_order_relaxed);
        st.upload = true;
    }
    const bool quit = ManageEvent(obj) == -255;
    if ((quit && !IsWindow(static_cast<HWND>(obj->embed_xid))) || !IsWindow(static_cast<HWND>(obj->window_xid)))
        return followed::orphaned;
    bool place = UpdateEmbedWinRect(obj);
    // The mode and the request to place again are the host's to write, under the lock.
    obj->lock(&obj->locker);
    place = place || obj->cfg.is_ch_display_size;
    obj->cfg.is_ch_display_size = false;
    st.mode = obj->cfg.display_mode;
    obj->unlock(&obj->locker);
    if (place)
        place_child(obj, st);
    return followed::parent;
}

// The next frame, when one comes within the idle wait. Without one, the picture shown stays, with
// the transform the host set last.
bool take_frame(kel_vout_display_t* obj, loop_state& st)
{
    if (obj->picture_pool) {
        choice_context context{obj, &st};
        schedule_choice choice;
        // The frames let go are counted by the ring as they go; the late ones among them here.
        int taken = obj->picture_pool->get_pool_chosen(&obj->picture, &choose_with_clock, &context, kIdleWaitMs, &choice);
        if (choice.late > 0)
            obj->stats.late.fetch_add(uint64_t(choice.late), std::memory_order_relaxed);
        // A frame due soon: the rest of the wait is timed precisely, then chosen again.
        if (taken != 0 && choice.look_again != kNever && !obj->done &&
            choice.look_again - clock_us() <= Picture_Pool::kCoarseUs + 1000) {
            st.waiter.until(choice.look_again, Picture_Pool::kCoarseUs + 1000);
            taken = obj->picture_pool->get_pool_chosen(&obj->picture, &choose_with_clock, &context, 0, &choice);
            if (choice.late > 0)
                obj->stats.late.fetch_add(uint64_t(choice.late), std::memory_order_relaxed);
        }
        if (taken == 0) {
            st.upload = true;
            st.start_picture = false;
            st.show_at = choice.show_at;
            st.due = choice.due;
            st.show_generation = st.clock.generation();
            st.taken_us = clock_us();
            return true;
        }
    }
    PICTURE_T& pic = obj->picture;
    if (pic.transform_version != obj->transform_version.load(std::memory_order_acquire)) {
        AcquireSRWLockShared(&obj->transform_lock);
        pic.transform = obj->transform;
        pic.transform_version = obj->transform_version.load(std::memory_order_relaxed);
        ReleaseSRWLockShared(&obj->transform_lock);
        st.retransformed = true;
    }
    return false;
}

// The host's overlays, when they changed since the last pass: a still picture is painted again
// with them.
void follow_overlays(kel_vout_display_t* obj, loop_state& st)
{
    if (obj->overlay_version.load(std::memory_order_acquire) == st.overlay_version)
        return;
    AcquireSRWLockShared(&obj->overlay_lock);
    obj->overlays.copy_to(st.overlays);
    st.overlay_version = obj->overlays.version();
    ReleaseSRWLockShared(&obj->overlay_lock);
    st.overlays_changed = true;
}

// The host's tone mapping, when it changed: a still picture is converted and painted again.
void follow_tone(kel_vout_display_t* obj, loop_state& st)
{
    const uint32_t setting = obj->tone_setting.load(std::memory_order_acquire);
    if (setting == st.tone_setting)
        return;
    st.tone_setting = setting;
    st.upload = true;  // the processor's conversions are made again with it
}

tone_choice tone_of(uint32_t setting)
{
    tone_choice t;
    t.curve = tone_curve(setting >> 16);
    t.sdr_white = int32_t(setting & 0xFFFF);
    return t;
}

// A picture of new proportions (a new size, crop, pixel shape or rotation) is placed before it
// is drawn, so that no frame shows it stretched to the previous one's.
void place_picture(kel_vout_display_t* obj, loop_state& st)
{
    const PICTURE_T& pic = obj->picture;
    if (!(st.upload || st.retransformed) || (st.start_picture && st.size_announced))
        return;
    uint32_t num = 0, den = 0;
    shown_aspect(pic.transform, pic.pix_width, pic.pix_height, &num, &den);
    if (num == obj->place.pix_width && den == obj->place.pix_height)
        return;
    obj->place.pix_width = num;
    obj->place.pix_height = den;
    if (st.mode == VOUT_PREFERRED)
        place_child(obj, st);
}

// Paint only when something changed: a new frame (or the start picture), a placement, a
// snapshot request, a device made or reset again, or the window system asking (an exposure).
// An idle instance only follows its parent.
bool needs_paint(kel_vout_display_t* obj, render_steps& steps, loop_state& st)
{
    const uint64_t resets = steps.device_resets(obj);
    const bool reset = resets != st.resets_seen;
    if (reset) {
        obj->stats.device_resets.fetch_add(resets - st.resets_seen, std::memory_order_relaxed);
        st.resets_seen = resets;
    }
    const bool exposed = obj->exposed;
    obj->exposed = false;
    if (exposed)
        st.settle_until = GetTickCount() + kSettleMs;  // the host may paint around us meanwhile
    const bool settling = int32_t(st.settle_until - GetTickCount()) > 0;
    return st.upload || st.placed || st.retransformed || st.overlays_changed || reset || exposed || settling || steps.recovering(obj) ||
           obj->snapshot.pending.load(std::memory_order_acquire);
}

// A presentation after more than this long without one opens a new window of the frame counter:
// a window across a pause would give a rate that no frame was shown at.
const int64_t kPauseUs = 1000000;

// What reached the screen, for the statistics; the frame counter's closed windows give the rate.
void count(kel_vout_display_t* obj, loop_state& st, bool new_frame, bool shown)
{
    vout_stats& stats = obj->stats;
    if (new_frame && shown) {
        const int64_t now_us = clock_us();
        const int64_t last_us = stats.last_presented_us.load(std::memory_order_relaxed);
        stats.presented.fetch_add(1, std::memory_order_relaxed);
        stats.latency_us.store(uint32_t(std::min<int64_t>(now_us - obj->picture.pushed_us, UINT32_MAX)),
                               std::memory_order_relaxed);
        stats.last_presented_us.store(now_us, std::memory_order_relaxed);
        if (last_us >= 0 && now_us - last_us > kPauseUs) {
            st.t0 = -1.0;
            st.frames = 0;
            st.first_window = true;
            stats.fps_milli.store(0, std::memory_order_relaxed);
        }
        const double t0 = st.t0;
        const int frames = st.frames;
        freamrate_count(st.t0, st.frames);
        const double rate = closed_window_rate(t0, frames, st.t0, st.first_window);
        if (rate >= 0) {
            stats.fps_milli.store(uint32_t(rate * 1000.0 + 0.5), std::memory_order_relaxed);
            st.first_window = false;
        }
    } else if (new_frame) {
        stats.dropped.fetch_add(1, std::memory_order_relaxed);  // a device not ready
    } else if (shown) {
        stats.repaints.fetch_add(1, std::memory_order_relaxed);
    }
}

// A timed frame reached the screen: its cadence, the pts on screen and its timing error.
void count_timed(kel_vout_display_t* obj, loop_state& st, int64_t shown_us)
{
    vout_stats& stats = obj->stats;
    const int64_t pts = obj->picture.pts_us;
    stats.shown_pts_us.store(pts, std::memory_order_relaxed);
    if (pts == kPtsNone || st.show_at == 0) {
        st.memory.shown = false;
        return;
    }
    AcquireSRWLockShared(&obj->clock_lock);
    const media_clock clock = obj->clock;
    ReleaseSRWLockShared(&obj->clock_lock);
    st.memory = schedule_memory{st.show_generation, true, st.show_at, st.due};
    if (clock.rate() <= 0.0)
        return;  // a paused clock: no time to be late for
    const double error = (double(clock.media_at(shown_us)) - double(pts)) / clock.speed_at(shown_us);
    st.errors.add(int64_t(std::min(std::fabs(error), 4.0e9)));
    stats.error_p50_us.store(uint32_t(st.errors.percentile(50)), std::memory_order_relaxed);
    stats.error_p99_us.store(uint32_t(st.errors.percentile(99)), std::memory_order_relaxed);
}

// Plans the picture for what the renderer offers now, draws it, answers a snapshot request with
// it and presents it; a new timed frame at the refresh it is for.
bool draw_and_present(kel_vout_display_t* obj, render_steps& steps, loop_state& st, bool new_frame)
{
    renderer_caps caps;
    int width = 0, height = 0;
    // Making a device may take a while; an instance stopped meanwhile draws nothing more.
    if (steps.ready(obj, &caps, &width, &height) && !obj->done) {
        const PICTURE_T& pic = obj->picture;
        frame_plan plan = plan_frame(pic.shape, pic.pix_width, pic.pix_height, width, height, caps, pic.transform,
                                     tone_of(st.tone_setting));
        plan_overlays(&plan, st.overlays, caps, !st.start_picture);
        steps.draw(obj, plan, st.upload);
        st.upload = false;
    }
    deliver_snapshot(obj, steps);
    const bool timed = new_frame && st.show_at != 0;
    if (timed) {
        st.drew(clock_us() - st.taken_us);
        st.waiter.until(st.show_at - st.present_lead_us(), std::min<int64_t>(st.grid.period_us + 5000, 60000));
    }
    const int64_t begin = clock_us();
    const bool shown = steps.present(obj);
    const int64_t end = clock_us();
    st.meter.present(begin, end);
    if (timed)
        st.presented(end - begin);
    if (new_frame && shown)
        count_timed(obj, st, end);
    return shown;
}

enum class pass_end { next, orphaned, failed };

pass_end run_pass(kel_vout_display_t* obj, vout_window_class* window_class, render_steps& steps, loop_state& st)
{
    bool new_frame = false;
    bool counted = false;
    try {
        st.placed = false;
        st.retransformed = false;
        st.overlays_changed = false;
        const followed f = follow_parent(obj, window_class, steps, st);
        if (f != followed::parent)
            return f == followed::orphaned ? pass_end::orphaned : pass_end::failed;
        follow_refresh(obj, st);
        new_frame = take_frame(obj, st);
        follow_overlays(obj, st);
        follow_tone(obj, st);
        place_picture(obj, st);
        resize_device(obj, steps, st);
        if (!obj->done && needs_paint(obj, steps, st)) {
            const bool shown = draw_and_present(obj, steps, st, new_frame);
            count(obj, st, new_frame, shown);
            counted = true;
        }
        const DWORD now = GetTickCount();
        if (new_frame)
            st.awake.frame(now);
        st.awake.pass(now);
    } catch (...) {
        // Nothing may end the host's process from here; the pass is lost, the next one tries
        // again (the only throwing code allocates, and memory may come back).
        if (new_frame && !counted)
            obj->stats.dropped.fetch_add(1, std::memory_order_relaxed);
        if (!st.reported)
            kel_log(KEL_LOG_ERROR, "the render thread caught an exception (out of memory?); it goes on");
        st.reported = true;
        Sleep(10);
    }
    return pass_end::next;
}

}  // namespace

void set_execution_state_hook_for_testing(execution_state_fn hook)
{
    g_execution_state.store(hook);
}

void prepare_start_picture(kel_vout_display_t* obj)
{
    PICTURE_T& pic = obj->picture;
    if (obj->source_format == VOUT_YUV420) {
        std::memset(pic.buf, 0, 192);
        std::memset(pic.buf + 192, 0x80, 96);
        pic.pix_width = 16;
        pic.pix_height = 12;
        pic.bufsize = 288;
        pic.shape = legacy_yuv_shape(16, 12);
        return;
    }
    int w = int(obj->place.width), h = int(obj->place.height);
    if (w <= 0 || h <= 0) {
        w = 16;
        h = 12;
    }
    while (rgb_frame_bytes(w, h) > staging_capacity(obj->source_format)) {
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
    pic.pix_width = w;
    pic.pix_height = h;
    pic.bufsize = int32_t(rgb_frame_bytes(w, h));
    pic.shape = legacy_rgb_shape(w);
    std::memset(pic.buf, 0, size_t(pic.bufsize));
}

bool on_render_thread()
{
    return t_render_thread;
}

int32_t render_loop(kel_vout_display_t* obj, vout_window_class* window_class, render_steps& steps)
{
    t_render_thread = true;
    if (!open_window(obj, window_class, steps)) {
        obj->created = false;
        return -2;
    }
    prepare_start_picture(obj);
    loop_state st;
    st.size_announced = obj->place.pix_width != 0 && obj->place.pix_height != 0;
    if (!st.size_announced) {
        // The first placement, before anything else, takes the start picture's proportions.
        shown_aspect(obj->picture.transform, obj->picture.pix_width, obj->picture.pix_height, &obj->place.pix_width,
                     &obj->place.pix_height);
    }
    st.resets_seen = steps.device_resets(obj);
    st.settle_until = GetTickCount();
    while (!obj->done) {
        if (!obj->created)
            obj->created = true;
        const pass_end end = run_pass(obj, window_class, steps, st);
        if (end == pass_end::failed)
            return -2;
        if (end == pass_end::orphaned) {
            st.awake.release();
            wait_as_orphan(obj, steps);
            break;
        }
    }
    close_window(obj, steps);
    obj->window_xid = nullptr;
    return 0;
}
