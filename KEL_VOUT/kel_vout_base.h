// kel_vout_base: what every output instance has whatever draws it: the display state shared
// with the render thread, the staging frame, the aspect-mode calls, the frame pushes and the
// factory. Runs on the host's thread.
#ifndef KEL_VOUT_BASE_H
#define KEL_VOUT_BASE_H

#include "kel_vout_abstract.h"

class kel_vout_base : public kel_vout_abstract {
public:
    // The instance for cfg->vout_mode with its render thread running, or null.
    static kel_vout_base* create_instance(KEL_VOUT_CFG_T* cfg);
    // Stops the render thread, frees everything and deletes the instance by its concrete class.
    static bool destroy_instance(kel_vout_base* instance);

    bool kel_vout_set_display_mode(DISPLAY_MODE display_mode) override;
    DISPLAY_MODE kel_vout_get_display_mode() override;

    // Queue one frame; false (nothing queued) when the push is refused or the instance stops.
    bool kel_put_pool(const uint8_t* buf, int bufsize, int pix_width, int pix_height);
    bool kel_put_pool_yuv(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int linesize,
                          int pix_width, int pix_height);

protected:
    kel_vout_base();
    ~kel_vout_base();

    // Everything the factory does once the backend object exists: staging buffer, display
    // state, configuration, render thread, and the wait for it. On false the caller destroys
    // the object (destroy_window, then its destructor).
    bool start(const KEL_VOUT_CFG_T* cfg);

    static void lock(vout_lock_t* lock);
    static void unlock(vout_lock_t* lock);
    void init_locker(vout_lock_t* lock);
    void destroy_locker(vout_lock_t* lock);

    kel_vout_display_t m_obj;
    PICTURE_T m_picture;  // staging frame; only the pushes touch it
};

#endif
