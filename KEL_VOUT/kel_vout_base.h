// kel_vout_base: what every output instance has whatever draws it: the display state shared
// with the render thread, the staging frame, the aspect-mode calls, the frame pushes and the
// factory. Runs on the host's thread.
#ifndef KEL_VOUT_BASE_H
#define KEL_VOUT_BASE_H

#include "frame_pack.h"
#include "kel_vout_abstract.h"

class kel_vout_base : public kel_vout_abstract {
public:
    // The instance for cfg->vout_mode with its render thread running, or null.
    static kel_vout_base* create_instance(KEL_VOUT_CFG_T* cfg);
    // Frees everything and deletes the instance by its concrete class; its render thread has
    // ended, or never ran.
    static bool destroy_instance(kel_vout_base* instance);
    // An instance is held by its creator (the handle's registry entry) and by its render thread
    // while that runs; this drops one hold, and the last destroys the instance, on whichever
    // thread drops it.
    static void release_instance(kel_vout_base* instance);

    // Asks the render thread to stop and waits for it at most wait_ms, answering the messages it
    // sends meanwhile: pushes and snapshots answer 1 at once, and a snapshot waiting for a
    // picture returns. The thread hides the child window, releases its device, destroys the
    // window and lets go of the instance on its own, also after this returns (a device still being
    // made, or a driver's release, may take longer). Idempotent; any thread but the render thread.
    void stop(DWORD wait_ms);
    // How long kel_vout_destroy waits for the render thread: long enough for an idle one to end
    // (the usual case), short enough that a destroy answers within 50 ms.
    static const DWORD kStopWaitMs = 40;
    // The most render threads that may still be tearing down after their destroy returned, in
    // the whole process: a host that makes and drops instances faster than their devices go
    // waits in its destroy beyond that, so that what they hold (under Wine about 130 MB of a
    // 32-bit process's address space per Direct3D device) cannot pile up.
    static const int kMaxTeardowns = 4;
    // Waits, answering sent messages, until at most kMaxTeardowns render threads are tearing down.
    static void limit_teardowns();

    // Render threads hold a reference on the module that holds this code while they run, so that
    // a host that unloads the library with instances alive does not unmap their code, and a hold
    // on their instance. The thread's entry ends through this, which lets go of both as the
    // thread ends.
    static DWORD render_thread_exit(kel_vout_display_t* obj, int32_t code);
    // Test seam: render threads whose instance is still held by them, in the whole process.
    static int running_render_threads();
    // Test seam: render threads of destroyed instances still tearing down, in the whole process.
    static int teardowns_in_flight();

    // Test seam: the instance behind a live handle, not pinned (the caller keeps the handle
    // alive), or null.
    static kel_vout_base* find_for_testing(void* handle);

    bool kel_vout_set_display_mode(DISPLAY_MODE display_mode) override;
    DISPLAY_MODE kel_vout_get_display_mode() override;

    // Queue one frame; false (nothing queued) when the push is refused or the instance stops.
    bool kel_put_pool(const uint8_t* buf, int bufsize, int pix_width, int pix_height);
    bool kel_put_pool_yuv(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int linesize,
                          int pix_width, int pix_height);
    // Queue one frame of the frame export (any format, its own strides and colours), due at
    // pts_us on the instance's clock (kPtsNone: at once). The first timed frame starts a clock
    // never set.
    bool put_frame(const frame_view& frame, int64_t pts_us = kPtsNone, const frame_light& light = {});
    // How HDR frames are brought to SDR; false (nothing changed) for a curve or luminance outside.
    bool set_tone_mapping(int32_t curve, int32_t sdr_white);

    // A push refused before it reached the instance (its record was), for the statistics.
    void count_refusal() { counted(false); }

    // The instance's clock reads now_us from now on, at `rate` (media_clock::set). False when
    // the instance stops.
    bool set_clock(int64_t now_us, double rate);
    // Waits until at most `frames` frames wait or timeout_ms pass, handling sent messages.
    // False on a timeout, frames outside 0..kQueueFrames or an instance that stops.
    bool wait_queue(int frames, DWORD timeout_ms);

    // How the frames pushed from now on are shown (checked by the caller); a still picture is
    // shown again with it. False when the instance stops.
    bool set_transform(const picture_transform& transform);

    // Sets (a checked spec) or removes (null) overlay id, 0..kMaxOverlays - 1; the bitmap is
    // copied first. False, with nothing changed, beyond the instance's budget for bitmaps or when
    // the instance stops.
    bool set_overlay(int id, const overlay_spec* spec);

    // Frames that may wait for the render thread.
    static const int kQueueFrames = 75;
    bool set_queue_limit(int frames);

    // The statistics as the export reports them; any thread, never waits for the render thread.
    struct stats_values {
        uint32_t queued;
        uint64_t pushed, refused, dropped, presented, repaints, device_resets;
        double render_fps, last_latency_ms;
        uint64_t late;
        double refresh_hz, timing_error_p50_ms, timing_error_p99_ms;
        int64_t shown_pts_us;
    };
    stats_values statistics();

    // Copies the picture presented by the render thread's next paint into rgb (packed RGB, top
    // row first) and reports its size; with a null rgb only reports the child window's size.
    // 0 on success; 1 when rgb is too small (the size is still reported), no paint comes within
    // timeout_ms, or the instance stops.
    int32_t snapshot(uint8_t* rgb, int32_t bufsize, int32_t* width, int32_t* height, int32_t timeout_ms);

    // The state shared with the render thread, for inspection (tests, diagnostics).
    const kel_vout_display_t& display_state() const { return m_obj; }

protected:
    kel_vout_base();
    ~kel_vout_base();

    // Everything the factory does once the backend object exists: staging buffer, display
    // state, configuration, render thread, and the wait for it. On false the caller destroys
    // the object (destroy_window, then its destructor).
    bool start(const KEL_VOUT_CFG_T* cfg);

    // What every backend's display state holds besides its renderer: the two locks, the
    // snapshot's handles, the picture pool and the render thread's picture buffer. False when
    // any of them could not be made; release_display_common frees what was.
    bool init_display_common(kel_vout_display_t* obj);
    // Host's thread: stops the render thread, waiting for it while answering the messages it
    // sends here (it hides and destroys a child of the host's window, and a host calling from
    // its UI thread would otherwise wait forever), then frees the display state.
    // release_renderer frees the backend's renderer once the thread that used it has ended.
    bool release_display_common(kel_vout_display_t* obj, void (*release_renderer)(kel_vout_display_t*));
    // Host's thread: starts the render thread on m_obj, with its reference on the module.
    bool start_render_thread(DWORD(WINAPI* loop)(PVOID*));

    // The snapshot's handles, made and closed with the display state.
    static void init_snapshot(vout_snapshot_t* snap);
    static void release_snapshot(vout_snapshot_t* snap);

    static void lock(vout_lock_t* lock);
    static void unlock(vout_lock_t* lock);
    void init_locker(vout_lock_t* lock);
    void destroy_locker(vout_lock_t* lock);

    // Counts a push's outcome in the statistics and returns it.
    bool counted(bool accepted);
    // Gives a frame being pushed the instance's transform.
    void stamp_transform(PICTURE_T* frame);

    kel_vout_display_t m_obj;
    SRWLOCK m_push_lock = SRWLOCK_INIT;  // pushes from several threads take turns
    std::atomic<int> m_holds{1};         // the creator's, and the render thread's while it runs
};

#endif
