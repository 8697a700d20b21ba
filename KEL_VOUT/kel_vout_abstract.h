// The display state an instance shares with its render thread, the lock types, and the abstract
// interface every backend implements. Host thread and render thread both read this state.
#ifndef KEL_VOUT_ABSTRACT_H
#define KEL_VOUT_ABSTRACT_H

#include <windows.h>

#include <atomic>
#include <vector>

#include "kel_vout_global.h"
#include "overlay.h"
#include "picture_pool.h"
#include "tone_map.h"
#include "vout_stats.h"

class kel_direct3d;
class kel_direct3d11;
class kel_opengl;
class kel_vout_base;
typedef class kel_direct3d KEL_D3D;
typedef class kel_opengl KEL_OPENGL;

typedef struct vout_lock_t {
    HANDLE mutex;
} vout_lock_t;

typedef void (*f_lock)(vout_lock_t* lock);
typedef void (*f_unlock)(vout_lock_t* lock);

typedef struct vout_display_cfg_t {
    bool is_ch_display_size;  // the render thread recomputes the placement and clears it
    bool is_fullscreen;       // the render thread re-creates the child window and clears it
    DISPLAY_MODE display_mode;
    struct {
        const char* title;
        uint32_t width;
        uint32_t height;
        struct {
            uint32_t num;
            uint32_t den;
        } sar;
    } display;
    struct {
        int32_t horizontal;
        int32_t vertical;
    } align;
    bool is_display_filled;
    struct {
        int32_t num;
        int32_t den;
    } zoom;
} vout_display_cfg_t, VOUT_DISPLAY_CFG_T;

// A host's request for a copy of the next presented picture. The host's thread asks and waits;
// the render thread answers after its next paint and never waits for the host.
struct vout_snapshot_t {
    HANDLE call_lock{};                // one request at a time
    HANDLE mutex{};                    // guards everything below but `pending`
    HANDLE ready{};                    // manual-reset event: the answer is in `pixels`
    std::atomic<bool> pending{false};  // polled by the render thread after every paint
    std::vector<uint8_t> pixels;       // packed RGB, top row first
    int32_t width{};
    int32_t height{};
    bool ok{};                         // false: the render thread could not make the copy
};

struct kel_vout_display_t {
    // Each flag is written by one side and polled by the other without a lock.
    std::atomic<bool> created{false};  // the render thread has its window and runs its loop
    std::atomic<bool> done{false};     // stop request to the render thread
    // The render thread's part in a teardown: running (0), stopped by the host while it ran (1,
    // counted among the teardowns under way), ended (2). Each side moves it once.
    std::atomic<int> teardown{0};
    VOUT_MODE vout_mode{};
    vout_lock_t locker{};          // display_mode, is_ch_display_size, window re-creation
    vout_lock_t release_locker{};  // held for the whole teardown
    f_lock lock{};
    f_unlock unlock{};
    VOUT_DISPLAY_CFG_T cfg{};
    VOUT_DISPLAY_PLACE_T place{};  // width/height: parent's client size; pix_*: last picture
    RECT rect_parent{};            // the parent's client rectangle on screen, as last seen
    RECT child_rect{};             // where the child window sits in the parent's client area
    bool exposed{};                // the window system asked for a paint (render thread only)
    void* window_xid{};            // the host's parent window
    void* embed_xid{};             // our child window
    HDC hDC{};
    HGLRC hRenderRC{};
    KEL_D3D* kel_d3d{};
    kel_direct3d11* kel_d3d11{};
    KEL_OPENGL* kel_gl{};
    PICTURE_T picture{};  // the render thread's current frame
    HANDLE vot_pid{};     // the render thread
    HMODULE module{};     // the render thread's reference on our module, released as it ends
    kel_vout_base* owner{};  // the instance this record belongs to, which the render thread holds
    SOURCE_FORMAT source_format{};
    Picture_Pool* picture_pool{};
    vout_snapshot_t snapshot;
    vout_stats stats;
    // How pushed frames are shown (kel_vout_set_transform): each push stamps its frame with it,
    // and the render thread gives a still picture a newer one. Written under the lock, which
    // pushes and the render thread take shared.
    SRWLOCK transform_lock = SRWLOCK_INIT;
    picture_transform transform{};
    std::atomic<uint32_t> transform_version{0};
    // The instance's clock (kel_vout_set_clock, or the first timed push), written by the host's
    // threads and copied by the render thread each pass, under the lock.
    SRWLOCK clock_lock = SRWLOCK_INIT;
    media_clock clock;
    std::atomic<int64_t> refresh_period_us{16667};  // the render thread's refresh, for the slew
    // The host's overlays (kel_vout_set_overlay), written by the host's threads under the lock;
    // the render thread copies them when the version moves.
    SRWLOCK overlay_lock = SRWLOCK_INIT;
    overlay_store overlays;
    std::atomic<uint32_t> overlay_version{0};
    // How HDR frames are shown (kel_vout_set_tone_mapping): the curve in the high 16 bits, SDR
    // white in cd/m2 in the low ones.
    std::atomic<uint32_t> tone_setting{uint32_t(kDefaultSdrWhite)};
};

class kel_vout_abstract {
public:
    kel_vout_abstract();
    ~kel_vout_abstract();

    virtual bool kel_vout_set_display_mode(DISPLAY_MODE display_mode) = 0;
    virtual DISPLAY_MODE kel_vout_get_display_mode() = 0;

protected:
    virtual bool create_window() = 0;
    virtual bool destroy_window() = 0;
    virtual bool init_kel_vout_display_t(kel_vout_display_t* obj) = 0;
    virtual bool release_kel_vout_display_t(kel_vout_display_t* obj) = 0;
};

// The library's trace hook, printf conventions: a debug line to the host's log callback.
void kel_vout_logInfo(const char* format, ...);

#endif
