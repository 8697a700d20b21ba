/* kel_vout: video output into a child window of the host's window.
 *
 * The host decodes video and pushes finished frames; every instance owns a child window
 * inside the host's window and a render thread that draws the frames into it.
 *
 *   KEL_VOUT_CFG_T cfg;
 *   kel_vout_get_default_param(&cfg);
 *   cfg.windowId = hwnd;                        // the host's window
 *   KEL_VOUT_HANDLE h = kel_vout_create(&cfg);  // null: no instance, nothing to release
 *   kel_vout_put_buffer_pool_yuv(h, y, u, v, stride, 1280, 720);
 *   kel_vout_destroy(&h);                       // h is null afterwards
 *
 * Status results: 0 for success, 1 for failure. No function throws.
 * Define KEL_VOUT_STATIC when linking the library's objects statically. */
#ifndef KEL_VOUT_H
#define KEL_VOUT_H

#include "kel_vout_global.h"
#include "kel_vout_version.h"

#if defined(KEL_VOUT_STATIC) || defined(KEL_VOUT_BUILDING)
#define KEL_VOUT_API
#else
#define KEL_VOUT_API __declspec(dllimport)
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define KEL_VOUT_CALL __cdecl
#else
#define KEL_VOUT_CALL
#endif

/* Output arguments are references for C++ hosts and pointers for C hosts; both pass the
 * address of the caller's variable. The library itself takes them as pointers so that it
 * can refuse a null one. */
#if defined(__cplusplus) && !defined(KEL_VOUT_BUILDING)
#define KEL_VOUT_OUT(T) T&
#else
#define KEL_VOUT_OUT(T) T*
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque instance handle; null means "no instance". A handle is never given out twice: every
 * function given a handle that is not a live instance (destroyed, also through a copy of the
 * handle, or never created) answers 1 and touches nothing. */
typedef void* KEL_VOUT_HANDLE;

/* Largest frame an instance takes, in bytes: a YUV 4:2:0 instance 4147200 (for example
 * 1920x1440 or 2560x1080), an RGB instance 8294400 (any frame of up to 2764800 pixels). */
#define KEL_VOUT_YUV420_CAPACITY 4147200
#define KEL_VOUT_RGB_CAPACITY 8294400

/* Optional one-time initialisation. Nothing depends on it.
 * Result: always 0.
 * Thread safety: any thread, concurrently. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_init(void);

/* Fills *cfg with the defaults: VOUT_WGL, VOUT_PREFERRED, VOUT_YUV420, everything else zero
 * (windowId null). A null cfg is ignored.
 * Thread safety: any thread. */
KEL_VOUT_API void KEL_VOUT_CALL kel_vout_get_default_param(KEL_VOUT_CFG_T* cfg);

/* Creates an instance drawing into a new child window of cfg->windowId. Waits until the
 * instance's render thread runs (at most about 720 ms), dispatching messages sent to the
 * calling thread meanwhile, so it may be called from the thread that owns the parent.
 * Result: the handle, or null for a null cfg, a vout_mode without a backend, a windowId that
 * is not a window (at once, without a thread), or a render thread that could not start;
 * nothing is left behind in that case. cfg is only read, during the call.
 * Backends: VOUT_WGL draws through OpenGL (YUV converted to RGB on the GPU where the driver
 * runs fragment programs, on the render thread otherwise; contexts that take only power-of-two
 * textures, or smaller ones than the picture, such as Windows' own software OpenGL, are served
 * too). VOUT_D3D draws through Direct3D 9 (YUV converted by our own pixel shader, or by the
 * driver's YV12 conversion on devices without pixel shaders 2.0; RGB through an X8R8G8B8
 * surface); when the device is lost (a locked session, another program taking the screen)
 * frames are skipped until it can be reset, and the device is brought back without any call
 * from the host. VOUT_D3D11 draws through Direct3D 11 into a flip-model swap chain (the
 * blit model where the system has no flip model), a hardware device or else WARP, YUV planes
 * converted by one pixel shader; its shaders are compiled while the process's first instance is
 * created, by the system's d3dcompiler_47.dll (creation fails, saying so in the log,
 * where that DLL is missing); a removed or reset device (driver update, GPU reset) is made
 * again without any call from the host. The older pushes' frames are BT.601 limited range; an
 * odd last column or row of a planar frame takes the chroma next to it.
 * Thread safety: any thread. */
KEL_VOUT_API KEL_VOUT_HANDLE KEL_VOUT_CALL kel_vout_create(KEL_VOUT_CFG_T* cfg);

/* Stops the instance and sets *handle to null. Answers at once (within about 40 ms,
 * dispatching messages sent to the calling thread meanwhile): the render thread stops drawing
 * at the end of its pass, hides and destroys the child window, releases its device and frees
 * everything on its own, usually before this returns; where that takes longer (a device still
 * being made, a driver's slow release) it finishes soon after. The host may destroy its window,
 * unload the library or exit meanwhile. At most four such teardowns run at once in a process: a
 * destroy beyond that waits until one is done. Calls on the instance still running on other
 * threads answer 1 from now on; the memory goes when the last of them, and the render thread,
 * are done.
 * Result: 0 on success; 1 when handle or *handle is null or not a live instance (destroyed
 * already, or being destroyed by another call); nothing is changed then.
 * Thread safety: any thread, also while other calls on the instance run. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_destroy(KEL_VOUT_HANDLE* handle);

/* Pushes one packed frame of pix_width x pix_height. For a VOUT_RGB instance: 3 bytes per
 * pixel in the order R, G, B, top row first, each row starting at a multiple of 4 bytes.
 * For a VOUT_YUV420 instance: a ready-packed 4:2:0 frame (Y, then U, then V, no gaps).
 * The frame is copied; buf may be reused when the call returns. Waiting frames are bounded as
 * for kel_vout_put_frame (75 frames, 256 MiB; the oldest are dropped).
 * Result: 0 when the frame was queued; 1 for a null handle or buf, a size that is zero or
 * negative, a frame larger than the instance takes, a buf shorter than the frame it
 * describes, or an instance that is being destroyed. Nothing is queued on failure.
 * Thread safety: any thread; pushes from several threads take turns. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_put_buffer_pool(KEL_VOUT_HANDLE handle, const uint8_t* buf,
                                                          int bufsize, int pix_width, int pix_height);

/* Pushes one planar 4:2:0 frame to a VOUT_YUV420 instance: ybuf with rows of linesize bytes,
 * ubuf and vbuf with rows of linesize / 2 bytes. With both chroma pointers null and linesize
 * equal to pix_width, ybuf holds the whole packed frame (Y, U, V without gaps). The planes
 * are copied; they may be reused when the call returns. Waiting frames are bounded as for
 * kel_vout_put_frame (75 frames, 256 MiB; the oldest are dropped).
 * Result: 0 when the frame was queued; 1 for a null handle or ybuf, a size or linesize that
 * is zero or negative, linesize below pix_width, only one chroma pointer null, both null
 * with linesize != pix_width, a frame larger than the instance takes, a VOUT_RGB instance,
 * or an instance that is being destroyed. Nothing is queued on failure.
 * Thread safety: any thread; pushes from several threads take turns. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_put_buffer_pool_yuv(KEL_VOUT_HANDLE handle, const uint8_t* ybuf,
                                                              const uint8_t* ubuf, const uint8_t* vbuf,
                                                              int linesize, int pix_width, int pix_height);

/* Frames as decoders hand them over, for kel_vout_put_frame. */
typedef enum {
    KEL_VOUT_FMT_I420 = 0,  /* planes Y, U, V; chroma (width+1)/2 x (height+1)/2 */
    KEL_VOUT_FMT_NV12 = 1,  /* planes Y and UV (U, V interleaved); chroma as I420 */
    KEL_VOUT_FMT_RGB24 = 2, /* one plane, R, G, B in memory */
    KEL_VOUT_FMT_BGRA = 3,  /* one plane, B, G, R, A in memory (Windows bitmaps); alpha ignored */
    KEL_VOUT_FMT_P010 = 4,  /* planes Y and UV (as NV12), 16-bit little-endian samples, the value
                               in the top 10 bits */
    KEL_VOUT_FMT_I010 = 5,  /* planes Y, U, V (as I420), 16-bit little-endian samples, the value
                               in the low 10 bits */
    KEL_VOUT_FMT_I422 = 6,  /* planes Y, U, V, 8-bit; chroma (width+1)/2 x height */
    KEL_VOUT_FMT_I444 = 7   /* planes Y, U, V, 8-bit; chroma width x height */
} KEL_VOUT_PIXEL_FORMAT;
typedef enum { KEL_VOUT_CS_BT601 = 0, KEL_VOUT_CS_BT709 = 1, KEL_VOUT_CS_BT2020 = 2 } KEL_VOUT_COLORSPACE;
typedef enum { KEL_VOUT_RANGE_LIMITED = 0, KEL_VOUT_RANGE_FULL = 1 } KEL_VOUT_RANGE;
typedef struct kel_vout_frame_t {
    int32_t format;            /* KEL_VOUT_PIXEL_FORMAT */
    int32_t width, height;     /* pixels; odd sizes allowed */
    const uint8_t* planes[3];  /* I420, I010, I422, I444: Y, U, V; NV12, P010: Y, UV; RGB24 / BGRA: one plane */
    int32_t strides[3];        /* bytes per row of each plane, >= that plane's row */
    int32_t colorspace;        /* KEL_VOUT_COLORSPACE, YUV formats only */
    int32_t range;             /* KEL_VOUT_RANGE, YUV formats only */
} KEL_VOUT_FRAME_T;

/* The largest frame kel_vout_put_frame takes: no side above 4096 pixels, at most 4096 x 2160
 * pixels (4K UHD 3840 x 2160 and DCI 4K, either way up). */
#define KEL_VOUT_MAX_FRAME_SIDE 4096
#define KEL_VOUT_MAX_FRAME_PIXELS 8847360

/* Pushes one frame of any format to any instance (the instance's source_format rules only the
 * two older pushes). Each plane's rows are `strides` bytes apart, chosen per plane (chroma often
 * aligned independently of luma), also for 16-bit samples; planes the format does not use are
 * not read. YUV frames are converted with their own colour space and range (limited: luma
 * 16-235, chroma 16-240; full: 0-255; for 10 bits, limited 64-940 and 64-960, full 0-1023);
 * RGB frames ignore both fields. Scaling is bilinear; subsampled chroma samples are centred
 * between their two luma columns (and rows, for 4:2:0). 10-bit frames are converted with at
 * least 10 bits of precision all the way, and dithered to the 8 bits of the picture (on every
 * backend and by the processor fallbacks alike).
 * Where a device cannot show a frame as such (no pixel shaders or fragment programs, a frame
 * beyond its largest texture), the render thread converts it on the processor once per frame,
 * with the same colours; a frame beyond the largest texture of an OpenGL context is reduced.
 * The planes are copied before the call returns.
 * Frames waiting for the render thread hold at most 75 frames and 256 MiB together; a push
 * beyond either drops the oldest waiting frames (a single larger frame waits alone). With the
 * frame being drawn and a few buffers kept for reuse, an instance holds at most about 256 MiB
 * plus six frames: a 4K I420 frame is 12.4 MB, a 4K BGRA frame 33.2 MB.
 * Result: 0 when the frame was queued; 1 for a null handle or frame, an unknown format (or, for
 * YUV, colour space or range), a width or height that is zero or negative or above the limits
 * above, a null plane the format needs, a stride below its plane's row or a plane that would
 * run past the end of the address space, or an instance being destroyed. Nothing is queued
 * on failure, and the planes are only read.
 * Thread safety: any thread; pushes from several threads take turns. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_put_frame(KEL_VOUT_HANDLE handle, const KEL_VOUT_FRAME_T* frame);

/* Frames shown at their time, for kel_vout_put_frame_ex. */
#define KEL_VOUT_PTS_NONE INT64_MIN   /* no time: show as soon as possible */
typedef enum { KEL_VOUT_TRC_SDR = 0, KEL_VOUT_TRC_PQ = 1, KEL_VOUT_TRC_HLG = 2 } KEL_VOUT_TRANSFER;
typedef enum { KEL_VOUT_PRI_BT709 = 0, KEL_VOUT_PRI_BT2020 = 1 } KEL_VOUT_PRIMARIES;
typedef struct kel_vout_frame_info_t {
    uint32_t size;           /* sizeof(KEL_VOUT_FRAME_INFO_T) as the host was built with */
    int32_t  transfer;       /* KEL_VOUT_TRANSFER */
    int64_t  pts_us;         /* when to show the frame, microseconds on the instance's clock */
    int32_t  primaries;      /* KEL_VOUT_PRIMARIES */
    int32_t  max_luminance;  /* mastering display peak in cd/m2; 0 = unknown */
} KEL_VOUT_FRAME_INFO_T;     /* 24 bytes on both architectures */

/* Pushes a frame as kel_vout_put_frame does, with its time: the frame is shown at the display
 * refresh nearest the moment the instance's clock (kel_vout_set_clock) reads pts_us, never more
 * than half a refresh early. Of several frames due by one refresh only the latest is shown, the
 * others count as late (and dropped); a frame more than one refresh past due when the render
 * thread comes to it is dropped as late unless it is the newest one waiting. A timed frame with
 * an earlier pts than the timed frame pushed before it begins anew (a seek): the frames still
 * waiting from before it are dropped. While the clock is paused the picture stays and only
 * frames up to the paused time are shown (the latest of them). An untimed frame (a null info,
 * or pts_us KEL_VOUT_PTS_NONE) is shown as soon as the render thread takes it, as with
 * kel_vout_put_frame; frames waiting before it are dropped.
 * A frame near the middle between two refreshes keeps the cadence of the frame before (up to
 * 2 ms past half a refresh late), so that a jittery clock or rounded pts make no frame skip.
 * info->size: at least 16 (through pts_us); fields beyond size read as 0, so a host built with
 * a shorter record keeps working.
 * The light of a YUV frame (RGB frames are shown as they are): SDR frames with BT.709 primaries
 * are shown as their values are. PQ (SMPTE ST 2084) and HLG (ARIB STD-B67, as a 1000 cd/m2
 * display shows it: the inverse OETF, then the system gamma of 1.2 on each of R, G and B) frames
 * are decoded to linear light, converted from their primaries to BT.709, tone-mapped into SDR by
 * the instance's curve (kel_vout_set_tone_mapping) from a peak of max_luminance (1000 cd/m2 when
 * 0; for HLG too), and encoded for an SDR display with the inverse of BT.1886 (a 1/2.4 power).
 * SDR frames with BT.2020 primaries go through BT.1886, the primaries' conversion and back,
 * without a tone curve. Every backend does this on the graphics processor, in its YUV shader,
 * from three tables in float textures (OpenGL without float textures computes it in its
 * fragment program). The processor fallbacks do it on the render thread, from tables, which at
 * 4K takes a second or more per frame: devices without shaders, frames beyond the largest
 * texture, Direct3D 9 devices without filtered float textures (or, for 10-bit frames, without
 * filtered 16-bit ones).
 * Result: 0 when the frame was queued; 1 as for kel_vout_put_frame, or for a size below 16, a
 * transfer or primaries outside their enumerations, or a negative max_luminance. Nothing is
 * queued on failure.
 * Thread safety: any thread; pushes from several threads take turns. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_put_frame_ex(KEL_VOUT_HANDLE handle, const KEL_VOUT_FRAME_T* frame,
                                                       const KEL_VOUT_FRAME_INFO_T* info);

/* Sets the instance's clock: from this instant it reads now_us + rate * elapsed (microseconds).
 * rate 0 pauses it; 0.25 to 4 play slow or fast; any other rate is taken as 1. A correction
 * of less than one refresh at an unchanged rate (a host following its audio clock) is slewed:
 * worked off at 5 % of the clock's pace, so that the frames move by a twentieth of a refresh per
 * refresh at most and a jittery audio clock makes no frame skip or repeat (where the frame rate
 * is close to the refresh rate a correction of nearly a refresh can still make one frame skip or
 * repeat, once, as it must); anything else takes effect at once. Call it at start, seek, pause, speed changes, and
 * as often as you like to follow the audio. Until the first call, the clock starts at the first
 * timed frame's pts when that frame is pushed and runs at rate 1.
 * Result: 0; 1 for a null handle or an instance being destroyed (nothing changes).
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_set_clock(KEL_VOUT_HANDLE handle, int64_t now_us, double rate);

/* Waits until at most `frames` frames wait for the render thread, or timeout_ms pass, handling
 * messages sent to the calling thread meanwhile (as kel_vout_snapshot does). A decoder thread
 * pushes ahead with kel_vout_wait_queue(h, 8, ...), then kel_vout_put_frame_ex.
 * Result: 0 when reached; 1 on a timeout, a null handle, frames outside 0..75, or an instance
 * being destroyed.
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_wait_queue(KEL_VOUT_HANDLE handle, int32_t frames, int32_t timeout_ms);

/* The picture as the stream means it, for kel_vout_set_transform. */
#define KEL_VOUT_FLIP_H 1   /* mirror left-right */
#define KEL_VOUT_FLIP_V 2   /* upside down */
typedef struct kel_vout_transform_t {
    uint32_t size;              /* sizeof(KEL_VOUT_TRANSFORM_T) */
    int32_t  rotation;          /* clockwise degrees: 0, 90, 180 or 270, applied after the flip */
    int32_t  flip;              /* KEL_VOUT_FLIP_* bits, applied to the frame first */
    int32_t  sar_num, sar_den;  /* sample (pixel) aspect ratio; 0/0 or n/n: square pixels */
    int32_t  crop_x, crop_y, crop_width, crop_height;
                                /* the part of each frame to show, frame pixels; all four 0:
                                   the whole frame */
    int32_t  dar_num, dar_den;  /* display aspect override for VOUT_PREFERRED; 0/0: from the
                                   crop, the sample aspect ratio and the rotation */
} KEL_VOUT_TRANSFORM_T;

/* Sets how the frames pushed from now on are shown: first the crop (clipped to each frame, so a
 * crop reaching past a frame is never refused; one with nothing inside the frame shows the whole
 * frame; negative values are refused), then the flip, then the
 * rotation. The transform travels with each frame through the queue: frames already waiting keep
 * the one they were pushed with; a still picture is shown again with the new one at once. A
 * crop at an odd offset samples chroma at the matching position. VOUT_PREFERRED places the child
 * with the shown picture's proportions: crop width x sar_num to crop height x sar_den, swapped for
 * 90 and 270, or dar_num : dar_den when set; VOUT_4_3 and VOUT_16_9 keep their window shapes and
 * VOUT_NORMAL fills the area, the transformed picture stretched over them. The snapshot shows
 * the transformed picture. A zero numerator (FFmpeg's 0/1 for an unknown sample aspect ratio)
 * means square pixels, or no override. A null transform restores the identity.
 * From FFmpeg: rotation from the stream's display matrix (av_display_rotation_get gives degrees
 * counter-clockwise: rotation = (360 - round(angle)) % 360, in quarter turns), sar from
 * AVFrame.sample_aspect_ratio, the crop from AVFrame.crop_* (left, top, width - left - right,
 * height - top - bottom).
 * Result: 0; 1, with nothing changed, for a null handle, a size below
 * sizeof(KEL_VOUT_TRANSFORM_T), a rotation other than the four, unknown flip bits, a negative
 * ratio term, a zero denominator under a non-zero numerator, a ratio term above 65535, or a
 * negative crop value.
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_set_transform(KEL_VOUT_HANDLE handle, const KEL_VOUT_TRANSFORM_T* transform);

/* Overlays over the video (subtitles, an on-screen display, a logo), for kel_vout_set_overlay. */
#define KEL_VOUT_OVERLAY_PICTURE 0  /* x, y, w, h in the shown picture's pixels */
#define KEL_VOUT_OVERLAY_WINDOW  1  /* x, y, w, h in the child window's client pixels */
#define KEL_VOUT_MAX_OVERLAYS 16
typedef struct kel_vout_overlay_t {
    uint32_t size;            /* sizeof(KEL_VOUT_OVERLAY_T) */
    int32_t  width, height;   /* the bitmap, 1..4096 each */
    int32_t  stride;          /* bytes between rows, >= width * 4 */
    const uint8_t* bgra;      /* premultiplied B, G, R, A, top row first */
    int32_t  coords;          /* KEL_VOUT_OVERLAY_PICTURE or _WINDOW */
    int32_t  x, y, w, h;      /* destination; w or h 0: the bitmap's own size */
    int32_t  opacity;         /* 0..255, multiplies the bitmap's alpha; 255: as it is */
} KEL_VOUT_OVERLAY_T;

/* Sets overlay `id` (0..KEL_VOUT_MAX_OVERLAYS - 1), replacing what that id showed; a null
 * overlay removes it (0 also when there was none). The bitmap is copied before the call returns.
 * Every presented picture and every snapshot shows the overlays over the video, in id order,
 * blended into the presented R, G, B as out = src * o + dst * (1 - a * o), with src the
 * premultiplied bitmap, a its alpha and o = opacity / 255; scaled bilinearly where w or h differ
 * from the bitmap's size, clipped to the child window. A PICTURE overlay moves and scales with the
 * picture (the transformed one: after the crop, flip and rotation), so a subtitle stays on the same
 * part of the picture in any window size; a WINDOW overlay keeps its pixel size and position in
 * the child window (an on-screen display). Overlays stay until replaced or removed, across frame
 * sizes, resizes and device resets; a change over a still picture is shown at once, without a
 * new frame. A bitmap larger than the device's largest texture is not shown.
 * Result: 0; 1, with nothing changed, for a null handle, an id outside, a size below
 * sizeof(KEL_VOUT_OVERLAY_T), a null bitmap, a width or height outside 1..4096, a stride below
 * width * 4 (or above 1 << 24), a negative w or h, an unknown coords, an opacity outside 0..255,
 * more than 64 MiB of overlay bitmaps on the instance, or an instance being destroyed.
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_set_overlay(KEL_VOUT_HANDLE handle, int32_t id,
                                                      const KEL_VOUT_OVERLAY_T* overlay);

/* How HDR frames (PQ and HLG) are brought into an SDR display's range, for
 * kel_vout_set_tone_mapping. Each curve takes the brightest of a pixel's linear R, G and B and
 * scales all three alike (hues stay; desaturation is left to the content). */
typedef enum { KEL_VOUT_TONEMAP_BT2390 = 0, KEL_VOUT_TONEMAP_HABLE = 1,
               KEL_VOUT_TONEMAP_CLIP = 2 } KEL_VOUT_TONEMAP;

/* Chooses the instance's tone curve and the luminance shown as SDR white (the default: BT.2390,
 * 100 cd/m2). Linear light is counted in units of that white: a 1000 cd/m2 highlight is 10.
 *   BT2390: ITU-R BT.2390's EETF in the PQ domain: from black to its knee (1.5 * maxLum - 0.5
 *           of the source's PQ range, maxLum being SDR white in that range) the picture is
 *           untouched; above, a Hermite spline takes the source's peak (max_luminance) exactly
 *           to SDR white; anything brighter than that peak is held at white. A source no brighter
 *           than SDR white is shown as it is, clipped at white.
 *   HABLE:  the filmic curve of Hable (Uncharted 2), normalised so that the peak is white:
 *           softer in the mid-tones, dimmer overall.
 *   CLIP:   linear light as it is, everything above SDR white clipped.
 * A still picture is shown again with the new setting at once.
 * Result: 0; 1, with nothing changed, for a null handle, an unknown curve, sdr_white_nits
 * outside 80..400, or an instance being destroyed.
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_set_tone_mapping(KEL_VOUT_HANDLE handle, int32_t curve,
                                                           int32_t sdr_white_nits);

/* Changes the aspect mode; the window is re-placed on the render thread's next pass.
 * A value outside DISPLAY_MODE fills the whole client area.
 * Result: 0; 1 for a null handle.
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_set_display_mode(KEL_VOUT_HANDLE handle, DISPLAY_MODE d_mode);

/* Reads the current aspect mode into dmode.
 * Result: 0; 1 for a null handle or a null dmode (dmode is not written).
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_get_display_mode(KEL_VOUT_HANDLE handle,
                                                           KEL_VOUT_OUT(DISPLAY_MODE) dmode);

/* Captures the picture as the render thread presents it with its next paint: the child
 * window's whole client area, as packed RGB (3 bytes per pixel, R, G, B), top row first, rows
 * tightly packed. With a null rgb, only reports the child window's current size in *width and
 * *height and returns at once. Costs nothing unless called; the render thread never waits for
 * the caller. While waiting, the calling thread keeps handling sent messages.
 * Result: 0 when rgb holds the picture (width * height * 3 bytes) and *width, *height its size;
 * 1 for a null handle, a bufsize below width * height * 3 (the size is still reported), no
 * paint within timeout_ms, or an instance being destroyed.
 * Thread safety: any thread; concurrent calls on one instance are served one after another. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_snapshot(KEL_VOUT_HANDLE handle, uint8_t* rgb, int32_t bufsize,
                                                   int32_t* width, int32_t* height, int32_t timeout_ms);

/* What an instance has done since it was created, for kel_vout_get_stats. */
typedef struct kel_vout_stats_t {
    uint32_t size;             /* set by the caller to sizeof(KEL_VOUT_STATS_T) */
    uint32_t queued;           /* frames waiting now */
    uint64_t pushed;           /* pushes accepted */
    uint64_t refused;          /* pushes answered 1 */
    uint64_t dropped;          /* accepted frames never presented (ring full, replaced) */
    uint64_t presented;        /* frames presented for the first time */
    uint64_t repaints;         /* presents of a picture already shown */
    uint64_t device_resets;    /* device or context re-creations and resets: Direct3D counts a
                                  reset for each new child size and each recovery from a lost
                                  device; OpenGL a context made anew with a re-created window */
    double   render_fps;       /* first presentations per second, counted in one-second windows
                                  (the last window that closed: updated about once a second) */
    double   last_latency_ms;  /* push to present of the last presented frame */
    uint64_t late;                 /* timed frames dropped: past due, or a later one due at
                                      the same refresh */
    double   refresh_hz;           /* the refresh rate the instance presents against */
    double   timing_error_p50_ms;  /* |shown - due| over the last 600 timed frames shown */
    double   timing_error_p99_ms;
    int64_t  shown_pts_us;         /* pts of the frame on screen; KEL_VOUT_PTS_NONE if none */
} KEL_VOUT_STATS_T;

/* Fills the fields of *stats that stats->size covers (a caller built against an older, shorter
 * record gets only what it knows). Counters only grow; whenever no push is in progress and the
 * render thread is idle, pushed == presented + dropped + queued. Frames dropped include those the ring let go (full,
 * over its byte bound or the queue limit), those the render thread took but could not
 * present (a lost device, the host's window gone) and the late ones. render_fps is 0 when no
 * frame was presented in the last second. refresh_hz is the system's figure for the display the
 * child window is on (60 until a render pass has asked, or where the system has none and no
 * presents measured it). The timing errors are the presents' wall-clock distance from the due
 * time of the timed frames they showed while the clock ran (0 before any); shown_pts_us is
 * KEL_VOUT_PTS_NONE while the picture on screen is an untimed frame or the start picture. Reading costs a few atomic loads; it never waits for the render thread.
 * Result: 0; 1 for a null handle or stats, or a size smaller than the first two fields
 * (nothing is written then).
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_get_stats(KEL_VOUT_HANDLE handle, KEL_VOUT_STATS_T* stats);

/* The most frames that may wait for the render thread: 1 to 75 (the default, as before). A host
 * that paces its own pushes sets 2 or 3, so that pushes slightly faster than the display can
 * never build up seconds of lag: a push beyond the limit drops the oldest waiting frames.
 * Lowering it drops frames beyond it at the next push. The 256 MiB bound on waiting frames
 * holds whatever the limit.
 * Result: 0; 1 for a null handle or frames outside 1..75 (nothing changes then).
 * Thread safety: any thread. */
KEL_VOUT_API int32_t KEL_VOUT_CALL kel_vout_set_queue_limit(KEL_VOUT_HANDLE handle, int32_t frames);

/* Log levels of kel_vout_set_log_callback. */
#define KEL_VOUT_LOG_ERROR 0
#define KEL_VOUT_LOG_WARNING 1
#define KEL_VOUT_LOG_INFO 2
#define KEL_VOUT_LOG_DEBUG 3

/* Receives one log line (no line break) of `level`; user is the pointer given with it. */
typedef void(KEL_VOUT_CALL* kel_vout_log_fn)(void* user, int32_t level, const char* message);

/* Sends the library's log lines up to max_level to fn: every failing Windows, WGL, OpenGL or
 * Direct3D call with its name and the system's words for the error, why a creation failed, device
 * loss and recovery (info), traces (debug). A null fn switches it off, which is the default.
 * fn is called on the thread that logs, render threads included, and never while the library
 * holds a lock: it may call the library's functions, but should return quickly. When this
 * returns, no call of the previous fn runs any more (unless it is called from within fn).
 * Thread safety: any thread; process-wide. */
KEL_VOUT_API void KEL_VOUT_CALL kel_vout_set_log_callback(kel_vout_log_fn fn, void* user, int32_t max_level);

/* Loads a BMP file into pBuf, which the caller sizes. For 24- and 32-bit files (uncompressed,
 * or 32-bit with the standard colour masks) writes width * height * 3 bytes of packed R, G, B,
 * top row first; for uncompressed 8-bit files the palette indices as stored, from the pixel
 * data to the end of the file. Then sets Width, Height (positive) and bufSize, the byte count
 * written. A sound file of another kind (other depths, run-length compression, other masks)
 * sets only Width, Height and bufSize. A missing, unreadable, truncated or inconsistent file,
 * one above 256 MiB, or a null Filename writes nothing at all. With a null pBuf only the three
 * sizes are reported, so a host can size its buffer first.
 * Thread safety: any thread. */
KEL_VOUT_API void KEL_VOUT_CALL LoadBMPData(unsigned char* pBuf, KEL_VOUT_OUT(int) bufSize,
                                           KEL_VOUT_OUT(int) Width, KEL_VOUT_OUT(int) Height,
                                           const char* Filename);

#ifdef __cplusplus
}
#endif

#endif /* KEL_VOUT_H */
