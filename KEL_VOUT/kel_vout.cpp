// The exported C functions: argument checks, then the instance. Called on the host's threads.
#include "kel_vout.h"

#include <cstring>

#include "glInfo.h"
#include "kel_vout_base.h"
#include "locker.h"

static Locker global_lock;

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
    return kel_vout_base::create_instance(cfg);
}

int32_t KEL_VOUT_CALL kel_vout_destroy(KEL_VOUT_HANDLE* handle)
{
    if (!handle || !*handle)
        return 1;
    if (!kel_vout_base::destroy_instance(static_cast<kel_vout_base*>(*handle)))
        return 1;
    *handle = nullptr;
    return 0;
}

int32_t KEL_VOUT_CALL kel_vout_put_buffer_pool(KEL_VOUT_HANDLE handle, const uint8_t* buf, int bufsize,
                                               int pix_width, int pix_height)
{
    if (!handle)
        return 1;
    return static_cast<kel_vout_base*>(handle)->kel_put_pool(buf, bufsize, pix_width, pix_height) ? 0 : 1;
}

int32_t KEL_VOUT_CALL kel_vout_put_buffer_pool_yuv(KEL_VOUT_HANDLE handle, const uint8_t* ybuf, const uint8_t* ubuf,
                                                   const uint8_t* vbuf, int linesize, int pix_width, int pix_height)
{
    if (!handle)
        return 1;
    return static_cast<kel_vout_base*>(handle)->kel_put_pool_yuv(ybuf, ubuf, vbuf, linesize, pix_width, pix_height)
               ? 0
               : 1;
}

int32_t KEL_VOUT_CALL kel_vout_set_display_mode(KEL_VOUT_HANDLE handle, DISPLAY_MODE d_mode)
{
    if (!handle)
        return 1;
    return static_cast<kel_vout_base*>(handle)->kel_vout_set_display_mode(d_mode) ? 0 : 1;
}

int32_t KEL_VOUT_CALL kel_vout_get_display_mode(KEL_VOUT_HANDLE handle, DISPLAY_MODE* dmode)
{
    if (!handle || !dmode)
        return 1;
    *dmode = static_cast<kel_vout_base*>(handle)->kel_vout_get_display_mode();
    return 0;
}

int32_t KEL_VOUT_CALL kel_vout_snapshot(KEL_VOUT_HANDLE handle, uint8_t* rgb, int32_t bufsize, int32_t* width,
                                        int32_t* height, int32_t timeout_ms)
{
    if (!handle)
        return 1;
    return static_cast<kel_vout_base*>(handle)->snapshot(rgb, bufsize, width, height, timeout_ms);
}

void KEL_VOUT_CALL LoadBMPData(unsigned char* pBuf, int* bufSize, int* Width, int* Height, const char* Filename)
{
    if (!bufSize || !Width || !Height)
        return;
    glInfo::LoadBMPData(pBuf, *bufSize, *Width, *Height, Filename);
}

}  // extern "C"
