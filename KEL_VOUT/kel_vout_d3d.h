// kel_vout_d3d: the Direct3D 9 output backend. The host's thread constructs, starts and
// destroys it; its render thread owns the child window, its device context and the Direct3D
// device, and draws the frames.
#ifndef KEL_VOUT_D3D_H
#define KEL_VOUT_D3D_H

#include "kel_vout_base.h"

class kel_vout_d3d final : public kel_vout_base {
public:
    kel_vout_d3d();
    ~kel_vout_d3d();

protected:
    bool create_window() override;
    bool destroy_window() override;
    bool init_kel_vout_display_t(kel_vout_display_t* obj) override;
    bool release_kel_vout_display_t(kel_vout_display_t* obj) override;

private:
    static DWORD WINAPI d3d_widget_event_loop(PVOID* arg);
    static int32_t d3d_createEmbedWin(kel_vout_display_t* obj);

    friend class kel_vout_base;
};

#endif
