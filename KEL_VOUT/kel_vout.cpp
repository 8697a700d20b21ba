// The exported C functions: argument checks, then the instance. Called on the host's threads.
#include "kel_vout.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "glInfo.h"
#include "handle_registry.h"
#include "kel_vout_base.h"
#include "kel_vout_log.h"
#include "locker.h"

static Locker global_lock;

namespace {

// No exception crosses into the host: a call that throws (only allocations can) answers as a
// failure.
template <typename R, typename F>
R guarded(R failure, F body)
{
    try {
        return body();
    } catch (...) {
        kel_log(KEL_LOG_ERROR, "a call failed with an exception (out of memory?)");
        return failure;
    }
}

void free_instance(kel_vout_base* instance)
{
    kel_vout_base::release_instance(instance);
}

}  // namespace

extern "C" {

int32_t KEL_VOUT_CALL kel_vout_init(void)
{
    static int32_t init = 0;
    global_lock.lock();
    if (init != 1)
        init = 1;
    global_lock.unlock();
    return 0;
}

void KEL_VOUT_CALL kel_vout_get_default_param(KEL_VOUT_CFG_T* cfg)
{
    if (!cfg)
        return;
    std::memset(cfg, 0, sizeof(*cfg));
    cfg->vout_mode = VOUT_WGL;
    cfg->display_mode = VOUT_PREFERRED;
    cfg->source_format = VOUT_YUV420;
}

KEL_VOUT_HANDLE KEL_VOUT_CALL kel_vout_create(KEL_VOUT_CFG_T* cfg)
{
    return guarded<KEL_VOUT_HANDLE>(nullptr, [&]() -> KEL_VOUT_HANDLE {
        kel_vout_base* instance = kel_vout_base::create_instance(cfg);
        if (!instance)
            return nullptr;
        void* handle = registry_add(instance, &free_instance);
        if (!handle) {
            kel_log(KEL_LOG_ERROR, "kel_vout_create: out of memory for the handle");
            instance->stop(INFINITE);
            kel_vout_base::release_instance(instance);
        }
        return handle;
    });
}

int32_t KEL_VOUT_CALL kel_vout_destroy(KEL_VOUT_HANDLE* handle)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        if (!handle || !*handle)
            return 1;
        // Out of the registry first: from here on no call finds the instance, and a destroy of
        // the same handle (a copy of it, or one re-entered from a message this call handles while
        // it waits) answers 1.
        kel_vout_base* instance = registry_remove(*handle);
        if (!instance)
            return 1;
        // Cleared before the instance may be freed: the handle may live in memory that goes with
        // it (a wrapper object destroyed from its own handle).
        *handle = nullptr;
        // The render thread finishes on its own (hides and destroys the child window, releases
        // the device) when it needs longer than the wait: a destroy never keeps the host waiting.
        instance->stop(kel_vout_base::kStopWaitMs);
        registry_release(instance);  // lets go of it; the last holder frees it
        kel_vout_base::limit_teardowns();
        return 0;
    });
}

int32_t KEL_VOUT_CALL kel_vout_put_buffer_pool(KEL_VOUT_HANDLE handle, const uint8_t* buf, int bufsize,
                                               int pix_width, int pix_height)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->kel_put_pool(buf, bufsize, pix_width, pix_height) ? 0 : 1;
    });
}

int32_t KEL_VOUT_CALL kel_vout_put_buffer_pool_yuv(KEL_VOUT_HANDLE handle, const uint8_t* ybuf, const uint8_t* ubuf,
                                                   const uint8_t* vbuf, int linesize, int pix_width, int pix_height)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->kel_put_pool_yuv(ybuf, ubuf, vbuf, linesize, pix_width, pix_height) ? 0 : 1;
    });
}

static_assert(KEL_VOUT_FMT_I420 == int(pixel_format::i420) && KEL_VOUT_FMT_NV12 == int(pixel_format::nv12) &&
                  KEL_VOUT_FMT_RGB24 == int(pixel_format::rgb24) && KEL_VOUT_FMT_BGRA == int(pixel_format::bgra),
              "pixel formats");
static_assert(KEL_VOUT_CS_BT601 == int(colour_space::bt601) && KEL_VOUT_CS_BT709 == int(colour_space::bt709) &&
                  KEL_VOUT_CS_BT2020 == int(colour_space::bt2020) &&
                  KEL_VOUT_RANGE_LIMITED == int(colour_range::limited) && KEL_VOUT_RANGE_FULL == int(colour_range::full),
              "colours");
static_assert(KEL_VOUT_MAX_FRAME_SIDE == kMaxFrameSide && KEL_VOUT_MAX_FRAME_PIXELS == kMaxFramePixels, "limits");

namespace {

frame_view view_of(const KEL_VOUT_FRAME_T& frame)
{
    return frame_view{frame.format,
                      frame.width,
                      frame.height,
                      {frame.planes[0], frame.planes[1], frame.planes[2]},
                      {frame.strides[0], frame.strides[1], frame.strides[2]},
                      frame.colorspace,
                      frame.range};
}

// A pushed frame counts as refused also when its record is.
int32_t refused(KEL_VOUT_HANDLE handle)
{
    pinned_instance instance(handle);
    if (instance)
        instance->count_refusal();
    return 1;
}

}  // namespace

int32_t KEL_VOUT_CALL kel_vout_put_frame(KEL_VOUT_HANDLE handle, const KEL_VOUT_FRAME_T* frame)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        if (!frame)
            return refused(handle);
        pinned_instance instance(handle);
        return instance && instance->put_frame(view_of(*frame)) ? 0 : 1;
    });
}

static_assert(KEL_VOUT_PTS_NONE == kPtsNone, "no time");
static_assert(sizeof(KEL_VOUT_FRAME_INFO_T) == 24 && offsetof(KEL_VOUT_FRAME_INFO_T, pts_us) == 8 &&
                  offsetof(KEL_VOUT_FRAME_INFO_T, max_luminance) == 20,
              "the frame information record is 24 bytes on both architectures");

int32_t KEL_VOUT_CALL kel_vout_put_frame_ex(KEL_VOUT_HANDLE handle, const KEL_VOUT_FRAME_T* frame,
                                            const KEL_VOUT_FRAME_INFO_T* info)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        if (!frame)
            return refused(handle);
        KEL_VOUT_FRAME_INFO_T full{};
        full.pts_us = KEL_VOUT_PTS_NONE;
        if (info) {
            const size_t through_pts = offsetof(KEL_VOUT_FRAME_INFO_T, pts_us) + sizeof(info->pts_us);
            if (info->size < through_pts)
                return refused(handle);
            // Only what the host's record holds; the rest reads as 0.
            std::memcpy(&full, info, std::min(size_t(info->size), sizeof(full)));
            if (full.transfer < KEL_VOUT_TRC_SDR || full.transfer > KEL_VOUT_TRC_HLG ||
                full.primaries < KEL_VOUT_PRI_BT709 || full.primaries > KEL_VOUT_PRI_BT2020 || full.max_luminance < 0)
                return refused(handle);
        }
        frame_light light;
        light.transfer = full.transfer;
        light.primaries = full.primaries;
        light.max_luminance = full.max_luminance;
        pinned_instance instance(handle);
        return instance && instance->put_frame(view_of(*frame), full.pts_us, light) ? 0 : 1;
    });
}

static_assert(KEL_VOUT_TRC_PQ == int32_t(transfer_fn::pq) && KEL_VOUT_TRC_HLG == int32_t(transfer_fn::hlg) &&
                  KEL_VOUT_PRI_BT2020 == int32_t(colour_primaries::bt2020) &&
                  KEL_VOUT_TONEMAP_HABLE == int32_t(tone_curve::hable) &&
                  KEL_VOUT_TONEMAP_CLIP == int32_t(tone_curve::clip),
              "the light enumerations");

int32_t KEL_VOUT_CALL kel_vout_set_tone_mapping(KEL_VOUT_HANDLE handle, int32_t curve, int32_t sdr_white_nits)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->set_tone_mapping(curve, sdr_white_nits) ? 0 : 1;
    });
}

int32_t KEL_VOUT_CALL kel_vout_set_clock(KEL_VOUT_HANDLE handle, int64_t now_us, double rate)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->set_clock(now_us, rate) ? 0 : 1;
    });
}

int32_t KEL_VOUT_CALL kel_vout_wait_queue(KEL_VOUT_HANDLE handle, int32_t frames, int32_t timeout_ms)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->wait_queue(frames, timeout_ms < 0 ? 0 : DWORD(timeout_ms)) ? 0 : 1;
    });
}

int32_t KEL_VOUT_CALL kel_vout_get_stats(KEL_VOUT_HANDLE handle, KEL_VOUT_STATS_T* stats)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        const size_t head = offsetof(KEL_VOUT_STATS_T, queued) + sizeof(stats->queued);
        if (!stats || stats->size < head)
            return 1;
        pinned_instance instance(handle);
        if (!instance)
            return 1;
        const kel_vout_base::stats_values v = instance->statistics();
        KEL_VOUT_STATS_T full{};
        full.size = stats->size;
        full.queued = v.queued;
        full.pushed = v.pushed;
        full.refused = v.refused;
        full.dropped = v.dropped;
        full.presented = v.presented;
        full.repaints = v.repaints;
        full.device_resets = v.device_resets;
        full.render_fps = v.render_fps;
        full.last_latency_ms = v.last_latency_ms;
        full.late = v.late;
        full.refresh_hz = v.refresh_hz;
        full.timing_error_p50_ms = v.timing_error_p50_ms;
        full.timing_error_p99_ms = v.timing_error_p99_ms;
        full.shown_pts_us = v.shown_pts_us;
        // Only what the caller's record holds: an older, shorter one is filled as far as it goes.
        std::memcpy(stats, &full, std::min(size_t(stats->size), sizeof(full)));
        return 0;
    });
}

int32_t KEL_VOUT_CALL kel_vout_set_queue_limit(KEL_VOUT_HANDLE handle, int32_t frames)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->set_queue_limit(frames) ? 0 : 1;
    });
}

static_assert(KEL_VOUT_FLIP_H == kFlipH && KEL_VOUT_FLIP_V == kFlipV, "flip bits");
static_assert(sizeof(KEL_VOUT_TRANSFORM_T) == 44, "the transform record is 44 bytes on both architectures");

int32_t KEL_VOUT_CALL kel_vout_set_transform(KEL_VOUT_HANDLE handle, const KEL_VOUT_TRANSFORM_T* transform)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        picture_transform t{};  // a null transform: the identity
        if (transform) {
            if (transform->size < sizeof(KEL_VOUT_TRANSFORM_T))
                return 1;
            t = picture_transform{transform->rotation,   transform->flip,      transform->sar_num,
                                  transform->sar_den,    transform->crop_x,    transform->crop_y,
                                  transform->crop_width, transform->crop_height, transform->dar_num,
                                  transform->dar_den};
            if (check_transform(t) != transform_check::ok)
                return 1;
        }
        pinned_instance instance(handle);
        return instance && instance->set_transform(t) ? 0 : 1;
    });
}

static_assert(KEL_VOUT_OVERLAY_PICTURE == kOverlayPicture && KEL_VOUT_OVERLAY_WINDOW == kOverlayWindow &&
                  KEL_VOUT_MAX_OVERLAYS == kMaxOverlays,
              "overlay constants");
static_assert(sizeof(KEL_VOUT_OVERLAY_T) == (sizeof(void*) == 8 ? 48 : 44),
              "the overlay record: 44 bytes on 32-bit, 48 on 64-bit (the pointer's alignment)");

int32_t KEL_VOUT_CALL kel_vout_set_overlay(KEL_VOUT_HANDLE handle, int32_t id, const KEL_VOUT_OVERLAY_T* overlay)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        if (id < 0 || id >= KEL_VOUT_MAX_OVERLAYS)
            return 1;
        overlay_spec spec{};
        if (overlay) {
            if (overlay->size < sizeof(KEL_VOUT_OVERLAY_T))
                return 1;
            spec = overlay_spec{overlay->width, overlay->height, overlay->stride, overlay->bgra, overlay->coords,
                                overlay->x,     overlay->y,      overlay->w,      overlay->h,    overlay->opacity};
            if (check_overlay(spec) != overlay_check::ok)
                return 1;
        }
        pinned_instance instance(handle);
        return instance && instance->set_overlay(id, overlay ? &spec : nullptr) ? 0 : 1;
    });
}

int32_t KEL_VOUT_CALL kel_vout_set_display_mode(KEL_VOUT_HANDLE handle, DISPLAY_MODE d_mode)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance && instance->kel_vout_set_display_mode(d_mode) ? 0 : 1;
    });
}

int32_t KEL_VOUT_CALL kel_vout_get_display_mode(KEL_VOUT_HANDLE handle, DISPLAY_MODE* dmode)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        if (!dmode)
            return 1;
        pinned_instance instance(handle);
        if (!instance)
            return 1;
        *dmode = instance->kel_vout_get_display_mode();
        return 0;
    });
}

int32_t KEL_VOUT_CALL kel_vout_snapshot(KEL_VOUT_HANDLE handle, uint8_t* rgb, int32_t bufsize, int32_t* width,
                                        int32_t* height, int32_t timeout_ms)
{
    return guarded<int32_t>(1, [&]() -> int32_t {
        pinned_instance instance(handle);
        return instance ? instance->snapshot(rgb, bufsize, width, height, timeout_ms) : 1;
    });
}

void KEL_VOUT_CALL kel_vout_set_log_callback(kel_vout_log_fn fn, void* user, int32_t max_level)
{
    kel_log_set_callback(fn, user, max_level);
}

void KEL_VOUT_CALL LoadBMPData(unsigned char* pBuf, int* bufSize, int* Width, int* Height, const char* Filename)
{
    if (!bufSize || !Width || !Height)
        return;
    guarded<int>(0, [&] {
        glInfo::LoadBMPData(pBuf, *bufSize, *Width, *Height, Filename);
        return 0;
    });
}

}  // extern "C"
