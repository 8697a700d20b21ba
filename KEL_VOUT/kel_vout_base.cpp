// kel_vout_base: instance base, frame pushes and factory. Runs on the host's thread; the
// render thread shares m_obj.
#include "kel_vout_base.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "handle_registry.h"
#include "kel_vout_d3d.h"
#include "kel_vout_d3d11.h"
#include "kel_vout_log.h"
#include "kel_vout_wgl.h"
#include "msg_wait.h"
#include "render_loop.h"
#include "frame_pack.h"
#include "plane_pack.h"

void kel_vout_logInfo(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    kel_log_v(KEL_LOG_DEBUG, format, args);
    va_end(args);
}

namespace {
std::atomic<int> g_render_threads{0};  // render threads holding their instance
std::atomic<int> g_teardowns{0};       // of them, those whose instance was stopped

struct exclusive_lock {
    explicit exclusive_lock(SRWLOCK* lock) : m_lock(lock) { AcquireSRWLockExclusive(m_lock); }
    ~exclusive_lock() { ReleaseSRWLockExclusive(m_lock); }
    exclusive_lock(const exclusive_lock&) = delete;
    exclusive_lock& operator=(const exclusive_lock&) = delete;
    SRWLOCK* m_lock;
};
}  // namespace

kel_vout_abstract::kel_vout_abstract() = default;

kel_vout_abstract::~kel_vout_abstract()
{
    kel_vout_logInfo("~kel_vout_abstract");
}

kel_vout_base::kel_vout_base() = default;

kel_vout_base::~kel_vout_base()
{
    kel_vout_logInfo("~kel_vout_base");
}

kel_vout_base* kel_vout_base::create_instance(KEL_VOUT_CFG_T* cfg)
{
    if (!cfg) {
        kel_log(KEL_LOG_ERROR, "kel_vout_create: no configuration (null cfg)");
        return nullptr;
    }
    kel_vout_base* instance = nullptr;
    switch (cfg->vout_mode) {
    case VOUT_WGL:
        instance = new (std::nothrow) kel_vout_wgl();
        break;
    case VOUT_D3D:
        instance = new (std::nothrow) kel_vout_d3d();
        break;
    case VOUT_D3D11:
        instance = new (std::nothrow) kel_vout_d3d11();
        break;
    default:
        kel_log(KEL_LOG_ERROR, "kel_vout_create: vout_mode %d has no backend on Windows (VOUT_WGL 3, VOUT_D3D 4, VOUT_D3D11 5)",
                int(cfg->vout_mode));
        return nullptr;
    }
    if (!instance) {
        kel_log(KEL_LOG_ERROR, "kel_vout_create: out of memory for the instance");
        return nullptr;
    }
    instance->m_obj.vout_mode = cfg->vout_mode;
    if (!cfg->windowId || !IsWindow(static_cast<HWND>(cfg->windowId))) {
        // No thread is started for a window that is not one: it could only fail to open its own.
        kel_log(KEL_LOG_ERROR, "kel_vout_create: windowId %p is not a window; the render thread will not start", cfg->windowId);
        destroy_instance(instance);
        return nullptr;
    }
    if (!instance->start(cfg)) {
        // A render thread that started lets go of the instance as it ends.
        instance->stop(INFINITE);
        release_instance(instance);
        return nullptr;
    }
    return instance;
}

void kel_vout_base::release_instance(kel_vout_base* instance)
{
    if (instance && instance->m_holds.fetch_sub(1, std::memory_order_acq_rel) == 1)
        destroy_instance(instance);
}

int kel_vout_base::running_render_threads()
{
    return g_render_threads.load();
}

int kel_vout_base::teardowns_in_flight()
{
    return g_teardowns.load();
}

bool kel_vout_base::destroy_instance(kel_vout_base* instance)
{
    if (!instance)
        return false;
    switch (instance->m_obj.vout_mode) {
    case VOUT_WGL:
        instance->destroy_window();
        delete static_cast<kel_vout_wgl*>(instance);
        return true;
    case VOUT_D3D:
        instance->destroy_window();
        delete static_cast<kel_vout_d3d*>(instance);
        return true;
    case VOUT_D3D11:
        instance->destroy_window();
        delete static_cast<kel_vout_d3d11*>(instance);
        return true;
    default:
        return false;
    }
}

kel_vout_base* kel_vout_base::find_for_testing(void* handle)
{
    kel_vout_base* instance = registry_acquire(handle);
    if (instance)
        registry_release(instance);
    return instance;
}

void kel_vout_base::stop(DWORD wait_ms)
{
    kel_vout_display_t* obj = &m_obj;
    obj->done = true;
    int running = 0;
    if (obj->vot_pid && obj->owner && obj->teardown.compare_exchange_strong(running, 1))
        g_teardowns.fetch_add(1);
    if (obj->picture_pool)
        obj->picture_pool->wake();
    if (obj->snapshot.ready)
        SetEvent(obj->snapshot.ready);  // a snapshot waiting for a picture answers now
    if (obj->vot_pid && GetThreadId(obj->vot_pid) != GetCurrentThreadId())
        wait_handling_sent_messages(obj->vot_pid, wait_ms);
}

void kel_vout_base::limit_teardowns()
{
    // A render thread (a log callback destroying an instance) could be waiting for itself.
    while (!on_render_thread() && g_teardowns.load() > kMaxTeardowns)
        wait_handling_sent_messages(nullptr, 5);
}

DWORD kel_vout_base::render_thread_exit(kel_vout_display_t* obj, int32_t code)
{
    HMODULE module = obj->module;
    obj->module = nullptr;
    if (obj->teardown.exchange(2) == 1)
        g_teardowns.fetch_sub(1);
    release_instance(obj->owner);  // may free obj
    g_render_threads.fetch_sub(1);
    if (module)
        FreeLibraryAndExitThread(module, DWORD(code));
    return DWORD(code);
}

int32_t kel_vout_base::snapshot(uint8_t* rgb, int32_t bufsize, int32_t* width, int32_t* height, int32_t timeout_ms)
{
    vout_snapshot_t& snap = m_obj.snapshot;
    if (m_obj.done || !snap.mutex)
        return 1;
    if (!rgb) {
        RECT rc{};
        if (!GetClientRect(static_cast<HWND>(m_obj.embed_xid), &rc))
            return 1;
        if (width)
            *width = rc.right - rc.left;
        if (height)
            *height = rc.bottom - rc.top;
        return 0;
    }
    if (bufsize <= 0)
        return 1;

    WaitForSingleObject(snap.call_lock, INFINITE);
    WaitForSingleObject(snap.mutex, INFINITE);
    ResetEvent(snap.ready);
    snap.pending = true;
    ReleaseMutex(snap.mutex);
    if (m_obj.picture_pool)
        m_obj.picture_pool->wake();  // an idle render thread paints now rather than in 40 ms

    const bool answered = wait_handling_sent_messages(snap.ready, timeout_ms < 0 ? 0 : DWORD(timeout_ms));

    std::vector<uint8_t> pixels;
    WaitForSingleObject(snap.mutex, INFINITE);
    snap.pending = false;
    pixels.swap(snap.pixels);
    const int32_t w = snap.width, h = snap.height;
    const bool ok = snap.ok;
    ReleaseMutex(snap.mutex);
    ReleaseMutex(snap.call_lock);

    if (!answered || m_obj.done || !ok)
        return 1;
    if (width)
        *width = w;
    if (height)
        *height = h;
    if (pixels.size() > size_t(bufsize))
        return 1;
    std::memcpy(rgb, pixels.data(), pixels.size());
    return 0;
}

void kel_vout_base::init_snapshot(vout_snapshot_t* snap)
{
    snap->call_lock = CreateMutexA(nullptr, FALSE, nullptr);
    snap->mutex = CreateMutexA(nullptr, FALSE, nullptr);
    snap->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void kel_vout_base::release_snapshot(vout_snapshot_t* snap)
{
    for (HANDLE* h : {&snap->call_lock, &snap->mutex, &snap->ready}) {
        if (*h)
            CloseHandle(*h);
        *h = nullptr;
    }
    std::vector<uint8_t>().swap(snap->pixels);
}

bool kel_vout_base::init_display_common(kel_vout_display_t* obj)
{
    init_locker(&obj->locker);
    init_locker(&obj->release_locker);
    obj->created = false;
    obj->done = false;
    obj->lock = &kel_vout_base::lock;
    obj->unlock = &kel_vout_base::unlock;
    init_snapshot(&obj->snapshot);
    // The render thread's first buffer holds the start picture (for RGB up to the window's
    // size); frames then arrive in buffers of the pool, which takes this one in exchange.
    const int32_t capacity = int32_t(staging_capacity(obj->source_format));
    obj->picture_pool = new (std::nothrow) Picture_Pool();
    obj->picture.buf = Picture_Pool::alloc_frame(size_t(capacity));
    obj->picture.capacity = obj->picture.buf ? capacity : 0;
    obj->picture.bufsize = obj->picture.capacity;
    return obj->picture_pool && obj->picture.buf && obj->locker.mutex && obj->release_locker.mutex &&
           obj->snapshot.ready &&
           obj->picture_pool->init_pool(kQueueFrames, int32_t(std::max(int64_t{capacity}, kMaxPackedFrameBytes)));
}

bool kel_vout_base::release_display_common(kel_vout_display_t* obj, void (*release_renderer)(kel_vout_display_t*))
{
    if (!obj)
        return false;
    // The record's own lock functions may not be set: the display state may have failed early.
    // The render thread has let go of the instance (or never held it): it touches none of this
    // any more, and may only be on its way out.
    lock(&obj->release_locker);
    stop(0);
    if (obj->vot_pid)
        CloseHandle(obj->vot_pid);
    obj->vot_pid = nullptr;
    release_renderer(obj);
    delete obj->picture_pool;
    obj->picture_pool = nullptr;
    Picture_Pool::free_frame(obj->picture.buf);
    obj->picture.buf = nullptr;
    release_snapshot(&obj->snapshot);
    if (obj->locker.mutex)
        destroy_locker(&obj->locker);
    obj->locker.mutex = nullptr;
    unlock(&obj->release_locker);
    if (obj->release_locker.mutex)
        destroy_locker(&obj->release_locker);
    obj->release_locker.mutex = nullptr;
    return true;
}

bool kel_vout_base::start_render_thread(DWORD(WINAPI* loop)(PVOID*))
{
    // Taken here, before the thread exists, so that an unload cannot come in between.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(loop), &m_obj.module)) {
        kel_log_last_error("GetModuleHandleExW (the render thread's reference on the library)");
        m_obj.module = nullptr;
    }
    m_obj.owner = this;
    m_holds.fetch_add(1);
    g_render_threads.fetch_add(1);
    m_obj.vot_pid = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(loop), &m_obj, 0, nullptr);
    if (!m_obj.vot_pid) {
        kel_log_last_error("CreateThread (the render thread)");
        g_render_threads.fetch_sub(1);
        m_holds.fetch_sub(1);
        if (m_obj.module)
            FreeLibrary(m_obj.module);
        m_obj.module = nullptr;
        return false;
    }
    // The new child window talks to its parent's thread, which may be this one.
    wait_handling_sent_messages(nullptr, 20);
    return true;
}

bool kel_vout_base::start(const KEL_VOUT_CFG_T* cfg)
{
    m_obj.source_format = cfg->source_format;
    if (!init_kel_vout_display_t(&m_obj)) {
        kel_log(KEL_LOG_ERROR, "kel_vout_create: the instance could not be prepared (out of memory or handles, or what its backend needs is missing: see the line before)");
        return false;
    }
    m_obj.vout_mode = cfg->vout_mode;
    m_obj.cfg.display_mode = cfg->display_mode;
    m_obj.place = cfg->place;
    m_obj.window_xid = cfg->windowId;
    m_obj.source_format = cfg->source_format;

    if (!create_window())
        return false;
    // The render thread sets `created` once its window exists and its loop runs.
    for (int i = 70; i > 0 && !m_obj.created; --i)
        wait_handling_sent_messages(nullptr, 10);
    if (!m_obj.created)
        kel_log(KEL_LOG_ERROR, "kel_vout_create: the render thread did not report a running window within 700 ms");
    return m_obj.created;
}

bool kel_vout_base::kel_vout_set_display_mode(DISPLAY_MODE display_mode)
{
    // Compared under the lock it is written under: host threads may set modes at once.
    m_obj.lock(&m_obj.locker);
    if (display_mode != m_obj.cfg.display_mode) {
        m_obj.cfg.display_mode = display_mode;
        m_obj.cfg.is_ch_display_size = true;
    }
    m_obj.unlock(&m_obj.locker);
    return true;
}

DISPLAY_MODE kel_vout_base::kel_vout_get_display_mode()
{
    m_obj.lock(&m_obj.locker);
    const DISPLAY_MODE mode = m_obj.cfg.display_mode;
    m_obj.unlock(&m_obj.locker);
    return mode;
}

namespace {
struct yuv_push {
    const uint8_t *y, *u, *v;
    int linesize, width, height;
};

bool fill_yuv(uint8_t* dst, size_t bytes, bool reused, void* context)
{
    const yuv_push& p = *static_cast<const yuv_push*>(context);
    return pack_yuv420(dst, bytes, p.y, p.u, p.v, p.linesize, p.width, p.height, reused) >= 0;
}

bool fill_frame(uint8_t* dst, size_t bytes, bool reused, void* context)
{
    return pack_frame(dst, bytes, *static_cast<const frame_view*>(context), reused) >= 0;
}
}  // namespace

bool kel_vout_base::set_transform(const picture_transform& transform)
{
    if (m_obj.done)
        return false;
    AcquireSRWLockExclusive(&m_obj.transform_lock);
    m_obj.transform = transform;
    m_obj.transform_version.fetch_add(1, std::memory_order_release);
    ReleaseSRWLockExclusive(&m_obj.transform_lock);
    if (m_obj.picture_pool)
        m_obj.picture_pool->wake();  // an idle render thread shows its picture again now
    return true;
}

bool kel_vout_base::set_tone_mapping(int32_t curve, int32_t sdr_white)
{
    if (m_obj.done || curve < int32_t(tone_curve::bt2390) || curve > int32_t(tone_curve::clip) ||
        sdr_white < kMinSdrWhite || sdr_white > kMaxSdrWhite)
        return false;
    m_obj.tone_setting.store(uint32_t(curve) << 16 | uint32_t(sdr_white), std::memory_order_release);
    if (m_obj.picture_pool)
        m_obj.picture_pool->wake();  // a still HDR picture is shown again with it now
    return true;
}

bool kel_vout_base::set_overlay(int id, const overlay_spec* spec)
{
    if (m_obj.done || id < 0 || id >= kMaxOverlays)
        return false;
    // The copy is made before the lock: the render thread never waits for it.
    overlay_entry entry;
    if (spec)
        entry = overlay_entry_of(*spec, copy_overlay_bitmap(*spec));
    AcquireSRWLockExclusive(&m_obj.overlay_lock);
    const bool taken = m_obj.overlays.set(id, std::move(entry));
    if (taken)
        m_obj.overlay_version.store(m_obj.overlays.version(), std::memory_order_release);
    ReleaseSRWLockExclusive(&m_obj.overlay_lock);
    if (taken && m_obj.picture_pool)
        m_obj.picture_pool->wake();  // a still picture is shown again with it now
    return taken;
}

void kel_vout_base::stamp_transform(PICTURE_T* frame)
{
    AcquireSRWLockShared(&m_obj.transform_lock);
    frame->transform = m_obj.transform;
    frame->transform_version = m_obj.transform_version.load(std::memory_order_relaxed);
    ReleaseSRWLockShared(&m_obj.transform_lock);
}

bool kel_vout_base::counted(bool accepted)
{
    (accepted ? m_obj.stats.pushed : m_obj.stats.refused).fetch_add(1, std::memory_order_relaxed);
    return accepted;
}

// Every push packs the host's frame straight into a buffer of the ring: one copy, and no
// allocation once the ring's buffers exist.
bool kel_vout_base::kel_put_pool(const uint8_t* buf, int bufsize, int pix_width, int pix_height)
{
    if (m_obj.done || !m_obj.picture_pool)
        return counted(false);
    exclusive_lock pushing(&m_push_lock);
    if (check_packed_push(buf, bufsize, pix_width, pix_height, m_obj.source_format) != push_check::ok)
        return counted(false);
    PICTURE_T frame{};
    frame.buf = const_cast<uint8_t*>(buf);  // copied from, never written
    frame.bufsize = bufsize;
    frame.pix_width = pix_width;
    frame.pix_height = pix_height;
    frame.shape = m_obj.source_format == VOUT_YUV420 ? legacy_yuv_shape(pix_width, pix_height)
                                                     : legacy_rgb_shape(pix_width);
    frame.pushed_us = clock_us();
    stamp_transform(&frame);
    return counted(m_obj.picture_pool->put_pool(&frame));
}

bool kel_vout_base::kel_put_pool_yuv(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int linesize,
                                     int pix_width, int pix_height)
{
    if (m_obj.done || !m_obj.picture_pool)
        return counted(false);
    exclusive_lock pushing(&m_push_lock);
    if (check_yuv_push(ybuf, ubuf, vbuf, linesize, pix_width, pix_height, m_obj.source_format) != push_check::ok)
        return counted(false);
    yuv_push push{ybuf, ubuf, vbuf, linesize, pix_width, pix_height};
    PICTURE_T frame{};
    frame.bufsize = int32_t(yuv420_frame_bytes(pix_width, pix_height));
    frame.pix_width = pix_width;
    frame.pix_height = pix_height;
    frame.shape = legacy_yuv_shape(pix_width, pix_height);
    frame.pushed_us = clock_us();
    stamp_transform(&frame);
    return counted(m_obj.picture_pool->put_pool_filled(frame, &fill_yuv, &push));
}

bool kel_vout_base::put_frame(const frame_view& f, int64_t pts_us, const frame_light& light)
{
    if (m_obj.done || !m_obj.picture_pool)
        return counted(false);
    if (check_frame(f) != frame_check::ok)
        return counted(false);
    exclusive_lock pushing(&m_push_lock);
    PICTURE_T frame{};
    frame.shape = shape_of(f);
    if (frame.shape.format == pixel_format::i420) {  // RGB frames are shown as they are
        frame.shape.transfer = light.transfer;
        frame.shape.primaries = light.primaries;
        frame.shape.max_luminance = light.max_luminance;
    }
    frame.bufsize = int32_t(planes_of(frame.shape, f.width, f.height).bytes);
    frame.pix_width = f.width;
    frame.pix_height = f.height;
    frame.pushed_us = clock_us();
    frame.pts_us = pts_us;
    stamp_transform(&frame);
    frame_view copy = f;
    if (pts_us != kPtsNone) {
        // Before the frame is queued: the render thread may choose it at once.
        exclusive_lock clock(&m_obj.clock_lock);
        m_obj.clock.start(frame.pushed_us, pts_us);
    }
    return counted(m_obj.picture_pool->put_pool_filled(frame, &fill_frame, &copy));
}

bool kel_vout_base::set_clock(int64_t now_us, double rate)
{
    if (m_obj.done || !m_obj.picture_pool)
        return false;
    bool jumped = false;
    {
        exclusive_lock clock(&m_obj.clock_lock);
        const uint32_t before = m_obj.clock.generation();
        m_obj.clock.set(clock_us(), now_us, rate, m_obj.refresh_period_us.load(std::memory_order_relaxed));
        jumped = m_obj.clock.generation() != before;
    }
    // A new time or rate: the render thread chooses again at once. A slewed correction waits
    // for its next look (a host may follow its audio clock every few milliseconds).
    if (jumped)
        m_obj.picture_pool->wake();
    return true;
}

namespace {
bool stopping(void* context)
{
    return static_cast<const kel_vout_display_t*>(context)->done.load();
}
}  // namespace

bool kel_vout_base::wait_queue(int frames, DWORD timeout_ms)
{
    if (m_obj.done || !m_obj.picture_pool || frames < 0 || frames > kQueueFrames)
        return false;
    return m_obj.picture_pool->wait_for_room(frames, timeout_ms, &stopping, &m_obj) && !m_obj.done;
}

bool kel_vout_base::set_queue_limit(int frames)
{
    return !m_obj.done && m_obj.picture_pool && frames >= 1 && frames <= kQueueFrames &&
           m_obj.picture_pool->set_queue_limit(frames);
}

kel_vout_base::stats_values kel_vout_base::statistics()
{
    const vout_stats& st = m_obj.stats;
    stats_values v{};
    // The ring's own count first: a frame it hands over is counted by the render thread later,
    // never twice.
    Picture_Pool* pool = m_obj.picture_pool;  // lives while the caller holds the instance
    v.queued = pool ? uint32_t(pool->waiting()) : 0;
    v.dropped = (pool ? pool->dropped() : 0) + st.dropped.load();
    v.presented = st.presented.load();
    v.repaints = st.repaints.load();
    v.device_resets = st.device_resets.load();
    v.pushed = st.pushed.load();
    v.refused = st.refused.load();
    const int64_t last = st.last_presented_us.load();
    const bool flowing = last >= 0 && clock_us() - last <= 1000000;
    v.render_fps = flowing ? st.fps_milli.load() / 1000.0 : 0.0;
    v.last_latency_ms = st.latency_us.load() / 1000.0;
    v.late = st.late.load();
    v.refresh_hz = st.refresh_millihz.load() / 1000.0;
    v.timing_error_p50_ms = st.error_p50_us.load() / 1000.0;
    v.timing_error_p99_ms = st.error_p99_us.load() / 1000.0;
    v.shown_pts_us = st.shown_pts_us.load();
    return v;
}

void kel_vout_base::lock(vout_lock_t* lock)
{
    if (lock)
        WaitForSingleObject(lock->mutex, INFINITE);
}

void kel_vout_base::unlock(vout_lock_t* lock)
{
    if (lock)
        ReleaseMutex(lock->mutex);
}

void kel_vout_base::init_locker(vout_lock_t* lock)
{
    lock->mutex = CreateMutexA(nullptr, FALSE, nullptr);
}

void kel_vout_base::destroy_locker(vout_lock_t* lock)
{
    CloseHandle(lock->mutex);
}
