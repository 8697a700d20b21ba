// kel_vout_d3d11: the Direct3D 11 output backend. The host's thread constructs, starts and
// destroys it; its render thread owns the child window, the device and the swap chain, and
// draws the frames.
#ifndef KEL_VOUT_D3D11_H
#define KEL_VOUT_D3D11_H

#include "kel_vout_base.h"

class kel_vout_d3d11 final : public kel_vout_base {
public:
    kel_vout_d3d11();
    ~kel_vout_d3d11();

protected:
    bool create_window() override;
    bool destroy_window() override;
    bool init_kel_vout_display_t(kel_vout_display_t* obj) override;
    bool release_kel_vout_display_t(kel_vout_display_t* obj) override;

private:
    static DWORD WINAPI d3d11_render_thread(PVOID* arg);
    static int32_t run(kel_vout_display_t* obj);

    friend class kel_vout_base;
};

#endif
