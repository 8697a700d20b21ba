// kel_vout_wgl: the OpenGL (WGL) output backend. The host's thread constructs, starts and
// destroys it; its render thread owns the child window, its device context and the OpenGL
// context, and draws the frames.
#ifndef KEL_VOUT_WGL_H
#define KEL_VOUT_WGL_H

#include "kel_vout_base.h"

class kel_vout_wgl final : public kel_vout_base {
public:
    kel_vout_wgl();
    ~kel_vout_wgl();

protected:
    bool create_window() override;
    bool destroy_window() override;
    bool init_kel_vout_display_t(kel_vout_display_t* obj) override;
    bool release_kel_vout_display_t(kel_vout_display_t* obj) override;

private:
    static DWORD WINAPI wgl_widget_event_loop(PVOID* arg);
    static int32_t wgl_createEmbedWin(kel_vout_display_t* obj);

    friend class kel_vout_base;
};

#endif
